// register, unregister, list, install, uninstall: the library's install exports and the personal store.
#include "LucspCommands.h"
#include "LucspErrors.h"

#include "certificates/libCertificate.h"
#include "certificates/libCertificateStore.h"
#include "os/platOS.h"
#include "os/platTypes.h"
#include "platform/platProductNames.h"
#include "platform/platToken.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

typedef std::unique_ptr<X509, void (*)(X509*)> TX509Ptr;

struct TCertFile {
    std::string PEM; // what the export receives
    std::string Serial;
    std::string Subject;
};

std::string SerialHex(X509* cert) {
    std::unique_ptr<BIGNUM, void (*)(BIGNUM*)> bn(ASN1_INTEGER_to_BN(X509_get_serialNumber(cert), nullptr),
                                                  BN_free);
    if (!bn) return std::string();
    // Whole bytes in upper case, as the provider names the container (a leading zero nibble stays).
    std::vector<uint8_t> bytes(static_cast<size_t>(BN_num_bytes(bn.get())));
    BN_bn2bin(bn.get(), bytes.data());
    return lucspHex(bytes, true);
}

std::string NameText(X509_NAME* name) {
    std::unique_ptr<BIO, void (*)(BIO*)> bio(BIO_new(BIO_s_mem()), BIO_free_all);
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0) return std::string();
    char* data = nullptr;
    long len = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(len));
}

std::string TimeText(const ASN1_TIME* t) {
    struct tm tm;
    std::memset(&tm, 0, sizeof(tm));
    if (!t || !ASN1_TIME_to_tm(t, &tm)) return "?";
    char buf[40];
    std::strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

// The certificate as PEM, bare Base64 or DER; exactly one. The export gets it as PEM text.
bool LoadCertFile(TCommand& cmd, TCertFile& out) {
    std::string path, data;
    if (!cmd.Require("--cert", path)) return false;
    if (uint32_t code = lucspReadFile(path, data)) {
        cmd.Fail("cannot read " + path, code);
        return false;
    }
    std::vector<TX509Ptr> certs;
    if (data.find("-----BEGIN") != std::string::npos) {
        std::unique_ptr<BIO, void (*)(BIO*)> bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())),
                                                 BIO_free_all);
        while (X509* c = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr))
            certs.emplace_back(c, X509_free);
    } else {
        std::vector<uint8_t> der;
        if (!lucspParseBase64(data, der)) der.assign(data.begin(), data.end());
        const unsigned char* p = der.data();
        if (X509* c = d2i_X509(nullptr, &p, static_cast<long>(der.size()))) certs.emplace_back(c, X509_free);
    }
    if (certs.empty()) {
        cmd.Fail(path + " holds no X.509 certificate (PEM, Base64 or DER)", LUCSP_ERROR_INVALID_DATA);
        return false;
    }
    if (certs.size() > 1) {
        cmd.Fail(path + " holds " + std::to_string(certs.size()) + " certificates; give a file with one",
                 LUCSP_ERROR_INVALID_DATA);
        return false;
    }
    std::unique_ptr<BIO, void (*)(BIO*)> bio(BIO_new(BIO_s_mem()), BIO_free_all);
    char* pem = nullptr;
    if (!bio || !PEM_write_bio_X509(bio.get(), certs[0].get())) {
        cmd.Fail("cannot convert " + path + " to PEM", LUCSP_ERROR_FUNCTION_FAILED);
        return false;
    }
    long len = BIO_get_mem_data(bio.get(), &pem);
    out.PEM.assign(pem, static_cast<size_t>(len));
    out.Serial = SerialHex(certs[0].get());
    out.Subject = NameText(X509_get_subject_name(certs[0].get()));
    return true;
}

// The token as the service issued it: printable text of 1 to 255 bytes (the login reads at most that).
bool LoadToken(TCommand& cmd, std::string& token) {
    bool hasText = cmd.Args.Has("--token"), hasFile = cmd.Args.Has("--token-file");
    if (hasText == hasFile) {
        cmd.Usage("give either --token TOKEN or --token-file FILE");
        return false;
    }
    if (hasText) {
        token = cmd.Args.Get("--token");
    } else {
        std::string path = cmd.Args.Get("--token-file");
        if (uint32_t code = lucspReadFile(path, token)) {
            cmd.Fail("cannot read " + path, code);
            return false;
        }
        // A file written by an editor or echo ends with a line end that is not part of the token.
        while (!token.empty() && (token.back() == '\n' || token.back() == '\r'))
            token.pop_back();
    }
    if (token.empty() || token.size() >= LU_TOKEN_SIZE) {
        cmd.Fail("the token must have 1 to " + std::to_string(LU_TOKEN_SIZE - 1) + " bytes, not " +
                     std::to_string(token.size()),
                 LUCSP_ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!platTokenIsUsable(token.data(), token.size())) {
        cmd.Fail("the token holds control characters", LUCSP_ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

// The provider that the key-provider information of the certificate with this serial names, as the store
// holds it now; empty when there is none.
std::string StoredProvider(const std::string& serial) {
    TListCertificate list;
    TCertificateStore().LoadCert(&list, "MY", LU_PRODUCT_CSP_NAME, LU_PRODUCT_KSP_NAME);
    TCertificate* c = list.Search_FromKeyName(serial.c_str());
    return c ? c->ProviderName : "";
}

// Sets the process's provider override for one registration and puts the previous state back.
class TKeyProviderOverride {
  public:
    explicit TKeyProviderOverride(const std::string& provider) : Active(!provider.empty()) {
        if (!Active) return;
        HadValue = osGetEnvironment(LU_PRODUCT_KEY_PROVIDER_VARIABLE, Previous);
        osSetEnvironment(LU_PRODUCT_KEY_PROVIDER_VARIABLE, provider.c_str());
    }
    ~TKeyProviderOverride() {
        if (Active) osSetEnvironment(LU_PRODUCT_KEY_PROVIDER_VARIABLE, HadValue ? Previous.c_str() : nullptr);
    }

  private:
    bool Active;
    bool HadValue = false;
    std::string Previous;
};

int RunRegister(TCommand& cmd) {
    TCertFile cert;
    std::string token, provider;
    if (!LoadToken(cmd, token) || !LoadCertFile(cmd, cert)) return cmd.ExitCode;
    // Without --provider the library's CSP_KeyProvider setting decides.
    if (cmd.Args.Has("--provider") && !cmd.GetChoice("--provider", {"csp", "ksp"}, provider))
        return cmd.ExitCode;
    TCryptoClient client;
    if (!lucspOpenLibrary(cmd, client)) return cmd.ExitCode;
    {
        TKeyProviderOverride choice(provider);
        if (uint32_t code = client.RegisterCertificate(cert.PEM, token))
            return lucspFailCall(cmd, client, code, "container " + cert.Serial);
    }
    std::printf("registered container %s (%s) with a %zu-byte token\n", cert.Serial.c_str(),
                cert.Subject.c_str(), token.size());
    std::printf("key provider %s\n", StoredProvider(cert.Serial).c_str());
    return 0;
}

// Every certificate of this provider in the personal store, with its token: what an uninstaller takes
// out for the user who runs it.
int RunUnregisterAll(TCommand& cmd) {
    TListCertificate list;
    TCertificateStore store;
    SetLastError(0);
    if (!store.LoadCert(&list, "MY", LU_PRODUCT_CSP_NAME, LU_PRODUCT_KSP_NAME) &&
        GetLastError() != ERROR_FILE_NOT_FOUND) {
        DWORD code = GetLastError();
        return cmd.Fail("cannot read the personal store (MY)", code ? code : LUCSP_ERROR_FUNCTION_FAILED);
    }
    TCryptoClient client;
    if (list.Count && !lucspOpenLibrary(cmd, client)) return cmd.ExitCode;
    for (uint32_t i = 0; i < list.Count; ++i) {
        TCertificate* c = list.Get(static_cast<int>(i));
        if (!c || !c->SerialNumber || !c->x509Cert) continue;
        std::unique_ptr<BIO, void (*)(BIO*)> bio(BIO_new(BIO_s_mem()), BIO_free_all);
        char* pem = nullptr;
        if (!bio || !PEM_write_bio_X509(bio.get(), c->x509Cert))
            return cmd.Fail("cannot convert container " + std::string(c->SerialNumber) + " to PEM",
                            LUCSP_ERROR_FUNCTION_FAILED);
        long len = BIO_get_mem_data(bio.get(), &pem);
        if (uint32_t code = client.UnregisterCertificate(std::string(pem, static_cast<size_t>(len))))
            return lucspFailCall(cmd, client, code, std::string("container ") + c->SerialNumber);
        std::printf("unregistered container %s\n", c->SerialNumber);
    }
    std::printf("%u certificate(s) of %s removed\n", list.Count, LUCSP_PROVIDER_NAME);
    return 0;
}

int RunUnregister(TCommand& cmd) {
    if (cmd.Args.Has("--all")) {
        if (cmd.Args.Has("--cert")) return cmd.Usage("give either --cert FILE or --all");
        return RunUnregisterAll(cmd);
    }
    TCertFile cert;
    if (!LoadCertFile(cmd, cert)) return cmd.ExitCode;
    TCryptoClient client;
    if (!lucspOpenLibrary(cmd, client)) return cmd.ExitCode;
    if (uint32_t code = client.UnregisterCertificate(cert.PEM))
        return lucspFailCall(cmd, client, code, "container " + cert.Serial);
    std::printf("unregistered container %s (%s)\n", cert.Serial.c_str(), cert.Subject.c_str());
    return 0;
}

int RunList(TCommand& cmd) {
    bool serialsOnly = cmd.Args.Has("--serials");
    TListCertificate list;
    TCertificateStore store;
    SetLastError(0);
    if (!store.LoadCert(&list, "MY", LU_PRODUCT_CSP_NAME, LU_PRODUCT_KSP_NAME)) {
        DWORD code = GetLastError();
        // A user who never had a certificate may have no personal store yet.
        if (code != ERROR_FILE_NOT_FOUND)
            return cmd.Fail("cannot read the personal store (MY)", code ? code : LUCSP_ERROR_FUNCTION_FAILED);
    }
    for (uint32_t i = 0; i < list.Count; ++i) {
        TCertificate* c = list.Get(static_cast<int>(i));
        if (!c || !c->SerialNumber) continue;
        if (serialsOnly) {
            std::printf("%s\n", c->SerialNumber);
            continue;
        }
        std::string subject = c->x509Cert ? NameText(X509_get_subject_name(c->x509Cert))
                                          : std::string(c->SubjectName ? c->SubjectName : "");
        std::string from = c->x509Cert ? TimeText(X509_get0_notBefore(c->x509Cert)) : c->NotBefore;
        std::string to = c->x509Cert ? TimeText(X509_get0_notAfter(c->x509Cert)) : c->NotAfter;
        std::printf("container  %s\n", c->SerialNumber);
        std::printf("subject    %s\n", subject.c_str());
        std::printf("valid      %s .. %s\n", from.c_str(), to.c_str());
        std::printf("sha1       %s\n", c->PrintSHA1 ? c->PrintSHA1 : "");
        std::printf("key        RSA %d bits\n", c->KeyLenght * 8);
        std::printf("provider   %s\n", c->ProviderName);
        std::printf("token      %s\n\n", lucspHasToken(c->SerialNumber) ? "registered" : "missing");
    }
    if (!serialsOnly) std::printf("%u certificate(s) of %s\n", list.Count, LUCSP_PROVIDER_NAME);
    return 0;
}

int RunInstall(TCommand& cmd, bool install) {
    TCryptoClient client;
    if (!lucspOpenLibrary(cmd, client)) return cmd.ExitCode;
    HRESULT hr = 0;
    if (uint32_t code = client.DllInstall(install, &hr))
        return lucspFailCall(cmd, client, code, std::string());
    // As regsvr32 reads it: S_FALSE is a success (an uninstall that found no key storage provider).
    if (hr < 0)
        return cmd.Fail(std::string("DllInstall(") + (install ? "TRUE" : "FALSE") + ") of " +
                            client.LibraryPath() +
                            (install ? " did not register the key storage provider (the CSP entries are "
                                       "written anyway; see lucsp log)"
                                     : " did not remove the key storage provider (certificates were left in "
                                       "place; see lucsp log)"),
                        static_cast<uint32_t>(hr), true);
    if (hr == S_FALSE) {
        std::printf("%s: %s (no key storage provider was registered; the CSP entries were removed, "
                    "certificates left in place)\n",
                    install ? "installed" : "uninstalled", LUCSP_PROVIDER_NAME);
        return 0;
    }
    std::printf("%s: %s\n", install ? "installed" : "uninstalled", LUCSP_PROVIDER_NAME);
    return 0;
}

int RunInstallCmd(TCommand& cmd) {
    return RunInstall(cmd, true);
}

int RunUninstallCmd(TCommand& cmd) {
    return RunInstall(cmd, false);
}

} // namespace

void lucspAddCertCommands(std::vector<TCommandDef>& table) {
    const TOptionDef cert = {"--cert", "FILE", "the certificate (PEM, Base64 or DER)"};
    table.push_back(TCommandDef{
        "register",
        "--cert FILE (--token TOKEN | --token-file FILE) [--provider csp|ksp]",
        "Put a service certificate and its access token into this machine "
        "(TrelisServer_RegisterCertificate).",
        {cert,
         {"--token", "TOKEN", "the access token the service issued for this certificate"},
         {"--token-file", "FILE", "read the token from FILE (a final line end is dropped)"},
         {"--provider", "csp|ksp",
          "the provider the key-provider information names (default: the CSP_KeyProvider "
          "setting)"}},
        0,
        0,
        "The certificate goes into the current user's personal store (MY) with key-provider "
        "information that\n"
        "names the CSP (type PROV_RSA_FULL, dwKeySpec AT_KEYEXCHANGE) or, with --provider ksp or\n"
        "CSP_KeyProvider KSP, the key storage provider (type and dwKeySpec 0, as CNG clients\n"
        "expect), and the serial number as container; either provider opens it. The token goes\n"
        "to HKEY_CURRENT_USER\\SOFTWARE\\Varno\\Trelis_Server\\<serial>, value Token.\n",
        RunRegister,
        true});
    table.push_back(TCommandDef{
        "unregister",
        "--cert FILE | --all",
        "Take a certificate and its token out again (TrelisServer_UnregisterCertificate).",
        {cert,
         {"--all", nullptr,
          "every certificate of this provider (named for the CSP or the KSP) in the personal store"}},
        0,
        0,
        nullptr,
        RunUnregister,
        true});
    table.push_back(TCommandDef{"list",
                                "[--serials]",
                                "List this provider's certificates in the personal store: container "
                                "(serial), subject, validity, SHA-1.",
                                {{"--serials", nullptr, "print only the container names, one a line"}},
                                0,
                                0,
                                nullptr,
                                RunList,
                                false});
    table.push_back(TCommandDef{
        "install",
        "",
        "Register the provider (DllInstall(TRUE), as regsvr32 /n /i does).",
        {},
        0,
        0,
        "Writes the CSP entry under "
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\n"
        "in both registry views and registers the key storage provider. On Windows this needs an\n"
        "administrator and the DLL in the system folder (see docs/user-guide.md).\n",
        RunInstallCmd,
        true});
    table.push_back(
        TCommandDef{"uninstall",
                    "",
                    "Remove the provider and its certificates (DllInstall(FALSE), regsvr32 /n /u /i).",
                    {},
                    0,
                    0,
                    nullptr,
                    RunUninstallCmd,
                    true});
}
