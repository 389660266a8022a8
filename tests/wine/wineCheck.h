// Shared pieces of the Windows acceptance programs: one line per check, a closing count, the options
// that the acceptance script hands over, and small file and text helpers.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

// The name under which the provider registers itself; applications select it by this name.
#define LUCSP_PROVIDER_NAME "Varno Base Cryptographic Provider Server"
#define LUCSP_DLL_NAME "Varno_LUCSP_Server.dll"

struct TWineOptions {
    std::string CertFile; // PEM of the signing certificate
    std::string Token;    // its access token at the service
    std::string Serial;   // its serial number as the service prints it (upper-case hex)
    std::string MsgFile;  // the message that the signatures cover
    std::string OutDir;   // where signatures and blobs go for the Linux side
    // The checks of the client-compatibility features (hashing inside the provider, CALG_SSL3_SHAMD5,
    // verify-only contexts, enumeration, key length in bits, last error kept by clean-up calls): while
    // false their failures are reported as expected ("XFAIL") and do not fail the phase.
    bool CompatRequired = false;
};

class TWineReport {
  public:
    explicit TWineReport(const char* phase, bool compatRequired = false)
        : Phase(phase), CompatRequired(compatRequired) {}
    // Prints "PASS phase/name" or "FAIL phase/name: detail"; returns ok.
    bool Check(const char* name, bool ok, const char* fmt = nullptr, ...)
        __attribute__((format(printf, 4, 5)));
    // A check of a client-compatibility feature: like Check when those are required, otherwise a failure
    // prints "XFAIL phase/name: detail" and is only counted, and a pass prints "XPASS phase/name".
    bool Compat(const char* name, bool ok, const char* fmt = nullptr, ...)
        __attribute__((format(printf, 4, 5)));
    // A line without a verdict (timings, notes).
    void Note(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // "N passed, N failed" (and ", N expected failures" when there were some); the process exit code.
    int Finish();
    int Failed() const { return failed; }

  private:
    void Report(const char* verdict, const char* name, const char* fmt, va_list args);

    const char* Phase;
    bool CompatRequired;
    int passed = 0;
    int failed = 0;
    int expectedFailures = 0;
};

// Last error as "0x%08lX" text, for the failure details.
std::string LastErrorText(DWORD error);

bool ReadFileBytes(const std::string& path, std::vector<BYTE>& data);
bool WriteFileBytes(const std::string& path, const BYTE* data, size_t len);
std::string JoinPath(const std::string& dir, const std::string& name);
std::string ToUpper(std::string text);
std::string HexText(const BYTE* data, size_t len);

// Signs digest through prov with a hash object of alg (HP_HASHVAL, then CryptSignHash with flags); the
// signature in CryptoAPI's byte order. *error is the last error of the failing call.
bool SignDigest(HCRYPTPROV prov, DWORD keySpec, ALG_ID alg, const std::vector<BYTE>& digest,
                std::vector<BYTE>& signature, DWORD* error, DWORD flags = 0);
bool ExportPublicKey(HCRYPTKEY key, std::vector<BYTE>& blob);
bool GetKeyBytes(HCRYPTKEY key, DWORD param, std::vector<BYTE>& value);
// A 32-bit key parameter; false unless exactly four bytes came back.
bool GetKeyDword(HCRYPTKEY key, DWORD param, DWORD& value);
std::vector<BYTE> Reversed(std::vector<BYTE> data);

// The certificate's DER from its PEM text.
bool PemToDer(const std::vector<BYTE>& pem, std::vector<BYTE>& der);

// The digest of data made by Windows' own provider (rsaenh), as an application computes it.
bool SystemDigest(ALG_ID alg, const std::vector<BYTE>& data, std::vector<BYTE>& digest);

// Verifies a CryptoAPI (little-endian) signature over a digest with Windows' own provider, using an
// exported PUBLICKEYBLOB of the signer.
bool SystemVerify(ALG_ID alg, const std::vector<BYTE>& digest, const std::vector<BYTE>& publicKeyBlob,
                  const std::vector<BYTE>& signature, DWORD* error);

// Loads the system DLLs that the provider imports, as a running application already has them: what their
// own start-up does to the thread's last error is then not counted against the provider's.
void PreloadSystemLibraries();

// The personal store of the current user, created if missing (a fresh Wine prefix has none).
HCERTSTORE OpenPersonalStore();
// The store's certificates equal to der; their count in *count.
PCCERT_CONTEXT FindCertificate(HCERTSTORE store, const std::vector<BYTE>& der, int* count);
// Copies of der in the personal store as it is now: a store opened earlier keeps what it read then.
int CountInPersonalStore(const std::vector<BYTE>& der);

// The certificate's CERT_KEY_PROV_INFO_PROP_ID record (a CRYPT_KEY_PROV_INFO); empty when it has none.
std::vector<BYTE> KeyProvInfoOf(PCCERT_CONTEXT cert);
// The provider's UTF-16 names, narrowed code unit by code unit.
std::string WideToText(const wchar_t* text);

// The phase's inputs: the certificate's DER and the message; a failure is reported as "ReadInputs".
bool ReadCertAndMessage(TWineReport& report, const TWineOptions& options, std::vector<BYTE>& der,
                        std::vector<BYTE>& message);
// The installed certificate in the personal store, reported as "OpenPersonalStore" and "FindCertificate";
// *store stays open for the caller (null when it could not be opened).
PCCERT_CONTEXT FindInstalledCertificate(TWineReport& report, const std::vector<BYTE>& der, HCERTSTORE* store);

// Phases, one per process: the provider is loaded and unloaded as an installer and an application do.
int RunRegisterPhase(const TWineOptions& options);
int RunUnregisterPhase(const TWineOptions& options);
int RunDirectPhase(const TWineOptions& options);
int RunCapiPhase(const TWineOptions& options);
int RunCertKeyPhase(const TWineOptions& options);
// The provider behaviours that clients depend on, with the default settings and with
// "CSP_Compatibility" = 0 (the script sets the value before the strict phase).
int RunCompatPhase(const TWineOptions& options);
int RunStrictPhase(const TWineOptions& options);
// Call sequences of real clients (clients/).
int RunCrypt32Phase(const TWineOptions& options);
int RunDotNetPhase(const TWineOptions& options);
int RunJavaPhase(const TWineOptions& options);
// The key storage provider through its function table.
int RunKspPhase(const TWineOptions& options);
// The store entry of a certificate registered for the key storage provider.
int RunKspCertPhase(const TWineOptions& options);
