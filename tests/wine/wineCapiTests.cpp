// What an application does: CryptoAPI through advapi32 (and crypt32 for the certificate's key), selecting
// the provider by name and the container by the certificate's serial number. Signatures and the public
// key go to files for the Linux side to verify with OpenSSL.
#include "wineCheck.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

struct THashCase {
    ALG_ID Alg;
    const char* Name; // also OpenSSL's digest name
};

const THashCase kHashCases[] = {
    {CALG_SHA1, "sha1"},
    {CALG_SHA_256, "sha256"},
    {CALG_SHA_384, "sha384"},
    {CALG_SHA_512, "sha512"},
};

bool GetProvText(HCRYPTPROV prov, DWORD param, std::string& text) {
    DWORD len = 0;
    if (!CryptGetProvParam(prov, param, nullptr, &len, 0) || len == 0) return false;
    std::vector<BYTE> data(len);
    if (!CryptGetProvParam(prov, param, data.data(), &len, 0)) return false;
    text.assign(reinterpret_cast<char*>(data.data()), strnlen(reinterpret_cast<char*>(data.data()), len));
    return true;
}

bool GetProvDword(HCRYPTPROV prov, DWORD param, DWORD& value) {
    DWORD len = sizeof(value);
    return CryptGetProvParam(prov, param, reinterpret_cast<BYTE*>(&value), &len, 0) && len == sizeof(value);
}

DWORD ElapsedMs(LARGE_INTEGER start, LARGE_INTEGER frequency) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<DWORD>((now.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart);
}

void CheckProviderParams(TWineReport& report, HCRYPTPROV prov, const TWineOptions& options) {
    std::string text;
    report.Check("PP_NAME", GetProvText(prov, PP_NAME, text) && text == LUCSP_PROVIDER_NAME, "[%s]",
                 text.c_str());
    report.Check("PP_CONTAINER", GetProvText(prov, PP_CONTAINER, text) && text == options.Serial, "[%s]",
                 text.c_str());
    DWORD value = 0;
    report.Check("PP_PROVTYPE", GetProvDword(prov, PP_PROVTYPE, value) && value == PROV_RSA_FULL, "%lu",
                 static_cast<unsigned long>(value));
    report.Check("PP_IMPTYPE", GetProvDword(prov, PP_IMPTYPE, value) && value == (CRYPT_IMPL_MIXED | 8),
                 "%lu", static_cast<unsigned long>(value));
    BYTE small[8];
    DWORD len = sizeof(small);
    BOOL ok = CryptGetProvParam(prov, PP_NAME, small, &len, 0);
    DWORD error = GetLastError();
    report.Check("PP_NAME_ShortBuffer", !ok && error == ERROR_MORE_DATA && len == sizeof(LUCSP_PROVIDER_NAME),
                 "ok %d, error %s, len %lu", ok, LastErrorText(error).c_str(),
                 static_cast<unsigned long>(len));
}

// The key of the container: its parameters and its public key, which must be the certificate's.
bool CheckUserKey(TWineReport& report, HCRYPTPROV prov, const std::vector<BYTE>& der,
                  const TWineOptions& options, HCRYPTKEY& key, std::vector<BYTE>& blob) {
    if (!report.Check("CryptGetUserKey", CryptGetUserKey(prov, AT_SIGNATURE, &key) != FALSE, "error %s",
                      LastErrorText(GetLastError()).c_str()))
        return false;
    std::vector<BYTE> value;
    DWORD algId = 0;
    if (GetKeyBytes(key, KP_ALGID, value) && value.size() == sizeof(DWORD)) memcpy(&algId, value.data(), 4);
    report.Check("KP_ALGID", algId == CALG_RSA_KEYX, "0x%lX", static_cast<unsigned long>(algId));
    report.Check("KP_CERTIFICATE", GetKeyBytes(key, KP_CERTIFICATE, value) && value == der,
                 "%u bytes, certificate has %u", static_cast<unsigned>(value.size()),
                 static_cast<unsigned>(der.size()));

    if (!report.Check("ExportPublicKey", ExportPublicKey(key, blob), "error %s",
                      LastErrorText(GetLastError()).c_str()))
        return false;
    DWORD bitLen = 0;
    if (blob.size() >= 20) memcpy(&bitLen, blob.data() + 12, 4);
    static const BYTE header[] = {PUBLICKEYBLOB, 2, 0, 0, 0x00, 0xA4, 0, 0, 'R', 'S', 'A', '1'};
    report.Check("PublicKeyBlobLayout",
                 blob.size() == 20 + bitLen / 8 && bitLen >= 1024 && memcmp(blob.data(), header, 12) == 0,
                 "%u bytes, bitlen %lu", static_cast<unsigned>(blob.size()),
                 static_cast<unsigned long>(bitLen));
    // In bits, as CryptoAPI defines it (.NET's KeySize reads it).
    DWORD keyLen = 0;
    GetKeyDword(key, KP_KEYLEN, keyLen);
    report.Compat("KP_KEYLEN", keyLen == bitLen, "%lu for a %lu-bit key", static_cast<unsigned long>(keyLen),
                  static_cast<unsigned long>(bitLen));
    report.Check("WritePublicKeyBlob",
                 WriteFileBytes(JoinPath(options.OutDir, "pubkey.blob"), blob.data(), blob.size()));

    DWORD len = static_cast<DWORD>(blob.size() - 1);
    std::vector<BYTE> shortBuffer(len);
    BOOL ok = CryptExportKey(key, 0, PUBLICKEYBLOB, 0, shortBuffer.data(), &len);
    DWORD error = GetLastError();
    report.Check("ExportShortBuffer", !ok && error == ERROR_MORE_DATA, "ok %d, error %s", ok,
                 LastErrorText(error).c_str());
    len = 0;
    ok = CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &len);
    error = GetLastError();
    report.Check("ExportPrivateRefused", !ok && error == static_cast<DWORD>(NTE_BAD_KEY_STATE),
                 "ok %d, error %s", ok, LastErrorText(error).c_str());
    return true;
}

void CheckSignature(TWineReport& report, HCRYPTPROV prov, HCRYPTKEY key, const THashCase& hashCase,
                    const std::vector<BYTE>& message, const std::vector<BYTE>& blob,
                    const TWineOptions& options) {
    std::string tag = std::string("Sign_") + hashCase.Name;
    std::vector<BYTE> digest;
    if (!report.Check((tag + "_Digest").c_str(), SystemDigest(hashCase.Alg, message, digest),
                      "rsaenh error %s", LastErrorText(GetLastError()).c_str()))
        return;
    HCRYPTHASH hash = 0;
    if (!report.Check((tag + "_CreateHash").c_str(),
                      CryptCreateHash(prov, hashCase.Alg, 0, 0, &hash) != FALSE, "error %s",
                      LastErrorText(GetLastError()).c_str()))
        return;
    report.Check((tag + "_SetHashValue").c_str(),
                 CryptSetHashParam(hash, HP_HASHVAL, digest.data(), 0) != FALSE, "error %s",
                 LastErrorText(GetLastError()).c_str());
    DWORD algId = 0, len = sizeof(algId);
    report.Check((tag + "_HP_ALGID").c_str(),
                 CryptGetHashParam(hash, HP_ALGID, reinterpret_cast<BYTE*>(&algId), &len, 0) &&
                     algId == hashCase.Alg,
                 "0x%lX", static_cast<unsigned long>(algId));

    DWORD sigLen = 0;
    BOOL ok = CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, nullptr, &sigLen);
    report.Check((tag + "_Length").c_str(), ok && sigLen == blob.size() - 20, "ok %d, length %lu, error %s",
                 ok, static_cast<unsigned long>(sigLen), LastErrorText(GetLastError()).c_str());
    if (ok && sigLen > 1) {
        std::vector<BYTE> shortBuffer(sigLen - 1);
        DWORD shortLen = sigLen - 1;
        BOOL shortOk = CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, shortBuffer.data(), &shortLen);
        DWORD error = GetLastError();
        report.Check((tag + "_ShortBuffer").c_str(),
                     !shortOk && error == static_cast<DWORD>(NTE_BAD_LEN) && shortLen == sigLen,
                     "ok %d, error %s, length %lu", shortOk, LastErrorText(error).c_str(),
                     static_cast<unsigned long>(shortLen));
    }
    std::vector<BYTE> signature(sigLen ? sigLen : 1);
    ok = CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &sigLen);
    if (report.Check(tag.c_str(), ok && sigLen == signature.size(), "error %s",
                     LastErrorText(GetLastError()).c_str())) {
        report.Check((tag + "_WriteFile").c_str(),
                     WriteFileBytes(JoinPath(options.OutDir, std::string("sig_") + hashCase.Name + ".bin"),
                                    signature.data(), signature.size()));
        // advapi32 hands a description to the provider as wide text; it does not change the signature.
        std::vector<BYTE> again(signature.size());
        DWORD againLen = static_cast<DWORD>(again.size());
        BOOL againOk = CryptSignHashA(hash, AT_SIGNATURE, "LUCSP acceptance", 0, again.data(), &againLen);
        report.Check((tag + "_WithDescription").c_str(), againOk && again == signature, "ok %d, error %s",
                     againOk, LastErrorText(GetLastError()).c_str());

        BOOL verified = CryptVerifySignatureA(hash, signature.data(), sigLen, key, nullptr, 0);
        report.Check((tag + "_Verify").c_str(), verified != FALSE, "error %s",
                     LastErrorText(GetLastError()).c_str());
        std::vector<BYTE> tampered = signature;
        tampered[tampered.size() / 2] ^= 0x01;
        verified = CryptVerifySignatureA(hash, tampered.data(), sigLen, key, nullptr, 0);
        DWORD error = GetLastError();
        report.Check((tag + "_VerifyTampered").c_str(),
                     !verified && error == static_cast<DWORD>(NTE_BAD_SIGNATURE), "ok %d, error %s", verified,
                     LastErrorText(error).c_str());
        DWORD systemError = 0;
        report.Check((tag + "_VerifiedByRsaenh").c_str(),
                     SystemVerify(hashCase.Alg, digest, blob, signature, &systemError), "error %s",
                     LastErrorText(systemError).c_str());
    }
    report.Check((tag + "_DestroyHash").c_str(), CryptDestroyHash(hash) != FALSE, "error %s",
                 LastErrorText(GetLastError()).c_str());
}

// CPEncrypt makes no block but PKCS #1 type 1: asked for zero padding it refuses, so that it cannot be
// used to decrypt what was encrypted to the certificate.
void CheckEncryptZeroPaddingRefused(TWineReport& report, const TWineOptions& options) {
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    if (!CryptAcquireContextA(&prov, options.Serial.c_str(), LUCSP_PROVIDER_NAME, PROV_RSA_FULL, 0)) {
        report.Check("EncryptZeroPadding_Acquire", false, "error %s", LastErrorText(GetLastError()).c_str());
        return;
    }
    if (report.Check("EncryptZeroPadding_GetUserKey", CryptGetUserKey(prov, AT_KEYEXCHANGE, &key) != FALSE,
                     "error %s", LastErrorText(GetLastError()).c_str())) {
        DWORD padding = ZERO_PADDING;
        CryptSetKeyParam(key, KP_PADDING, reinterpret_cast<BYTE*>(&padding), 0);
        BYTE data[512] = {0x01};
        DWORD len = 16;
        BOOL ok = CryptEncrypt(key, 0, TRUE, 0, data, &len, sizeof(data));
        DWORD error = GetLastError();
        report.Check("EncryptZeroPaddingRefused", !ok && error == static_cast<DWORD>(NTE_BAD_FLAGS),
                     "ok %d, error %s", ok, LastErrorText(error).c_str());
        CryptDestroyKey(key);
    }
    CryptReleaseContext(prov, 0);
}

typedef BOOL(WINAPI* TRegisterCertificate)(const char*, int, const char*, int);
typedef BOOL(WINAPI* TUnregisterCertificate)(const char*, int);

// The certificate taken out of the store and put back while a context stays open: the next
// CryptAcquireContext sees each change, without every context being closed first.
void CheckStoreChangesWhileAContextIsOpen(TWineReport& report, const TWineOptions& options) {
    std::vector<BYTE> pem;
    if (!report.Check("StoreChange_ReadCert", ReadFileBytes(options.CertFile, pem) && !pem.empty())) return;
    HCRYPTPROV held = 0, next = 0;
    if (!report.Check("StoreChange_Acquire",
                      CryptAcquireContextA(&held, options.Serial.c_str(), LUCSP_PROVIDER_NAME, PROV_RSA_FULL,
                                           0) != FALSE,
                      "error %s", LastErrorText(GetLastError()).c_str()))
        return;
    // advapi32 has the provider loaded for the open context: this is the same module.
    HMODULE module = LoadLibraryA(LUCSP_DLL_NAME);
    auto registerCert = reinterpret_cast<TRegisterCertificate>(
        reinterpret_cast<void*>(GetProcAddress(module, "TrelisServer_RegisterCertificate")));
    auto unregisterCert = reinterpret_cast<TUnregisterCertificate>(
        reinterpret_cast<void*>(GetProcAddress(module, "TrelisServer_UnregisterCertificate")));
    if (report.Check("StoreChange_Exports", registerCert && unregisterCert)) {
        const char* text = reinterpret_cast<const char*>(pem.data());
        const int lenText = static_cast<int>(pem.size());
        report.Check("StoreChange_Unregister", unregisterCert(text, lenText) != FALSE);
        BOOL found =
            CryptAcquireContextA(&next, options.Serial.c_str(), LUCSP_PROVIDER_NAME, PROV_RSA_FULL, 0);
        DWORD error = GetLastError();
        report.Check("UnregisteredGoneWhileAContextIsOpen", !found && error == static_cast<DWORD>(NTE_NO_KEY),
                     "ok %d, error %s", found, LastErrorText(error).c_str());
        if (found) CryptReleaseContext(next, 0);
        report.Check("StoreChange_Register", registerCert(text, lenText, options.Token.data(),
                                                          static_cast<int>(options.Token.size())) != FALSE);
        found = CryptAcquireContextA(&next, options.Serial.c_str(), LUCSP_PROVIDER_NAME, PROV_RSA_FULL, 0);
        report.Check("RegisteredFoundWhileAContextIsOpen", found != FALSE, "error %s",
                     LastErrorText(GetLastError()).c_str());
        if (found) CryptReleaseContext(next, 0);
    }
    if (module) FreeLibrary(module);
    CryptReleaseContext(held, 0);
}

// Hosts whose threads come and go (thread pools, a thread per request), with the trace on: each thread
// leaves per-thread texts behind, and their release at thread end once corrupted the process heap.
void CheckThreadsThatComeAndGo(TWineReport& report, const TWineOptions& options,
                               const std::vector<BYTE>& message) {
    if (getenv("LUCSP_WINE_EMULATED")) {
        report.Note("ThreadsComeAndGo left out: under qemu-user a Wine thread that ends ends the process");
        return;
    }
    std::vector<BYTE> digest;
    if (!report.Check("ThreadsComeAndGo_Digest", SystemDigest(CALG_SHA_256, message, digest))) return;
    std::atomic<int> signatures{0};
    const int rounds = 4, threads = 8;
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&] {
                HCRYPTPROV prov = 0;
                if (!CryptAcquireContextA(&prov, options.Serial.c_str(), LUCSP_PROVIDER_NAME, PROV_RSA_FULL,
                                          0))
                    return;
                std::vector<BYTE> signature;
                DWORD error = 0;
                if (SignDigest(prov, AT_SIGNATURE, CALG_SHA_256, digest, signature, &error)) ++signatures;
                CryptReleaseContext(prov, 0);
            });
        for (auto& thread : pool)
            thread.join();
    }
    report.Check("ThreadsComeAndGo", signatures.load() == rounds * threads, "%d of %d signatures",
                 signatures.load(), rounds * threads);
}

} // namespace

int RunCapiPhase(const TWineOptions& options) {
    TWineReport report("capi", options.CompatRequired);
    std::vector<BYTE> der, message;
    if (!ReadCertAndMessage(report, options, der, message)) return report.Finish();

    HCRYPTPROV prov = 0;
    BOOL acquired =
        CryptAcquireContextA(&prov, options.Serial.c_str(), LUCSP_PROVIDER_NAME, PROV_RSA_FULL, 0);
    if (!report.Check("CryptAcquireContext", acquired != FALSE, "error %s",
                      LastErrorText(GetLastError()).c_str()))
        return report.Finish();
    CheckProviderParams(report, prov, options);

    HCRYPTKEY key = 0;
    std::vector<BYTE> blob;
    if (CheckUserKey(report, prov, der, options, key, blob)) {
        for (const THashCase& hashCase : kHashCases)
            CheckSignature(report, prov, key, hashCase, message, blob, options);
        report.Check("CryptDestroyKey", CryptDestroyKey(key) != FALSE, "error %s",
                     LastErrorText(GetLastError()).c_str());
    }
    HCRYPTHASH hash = 0;
    BOOL created = CryptCreateHash(prov, CALG_RC4, 0, 0, &hash);
    report.Check("CreateHashUnknownAlgorithm", !created, "error %s", LastErrorText(GetLastError()).c_str());
    if (created) CryptDestroyHash(hash);
    report.Check("CryptReleaseContext", CryptReleaseContext(prov, 0) != FALSE, "error %s",
                 LastErrorText(GetLastError()).c_str());

    // The container name is matched whatever its case.
    std::string lower = options.Serial;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return static_cast<char>(tolower(c)); });
    acquired = CryptAcquireContextA(&prov, lower.c_str(), LUCSP_PROVIDER_NAME, PROV_RSA_FULL, CRYPT_SILENT);
    report.Check("AcquireLowerCaseContainer", acquired != FALSE, "error %s",
                 LastErrorText(GetLastError()).c_str());
    if (acquired) CryptReleaseContext(prov, 0);

    acquired = CryptAcquireContextA(&prov, "00DEADBEEF", LUCSP_PROVIDER_NAME, PROV_RSA_FULL, 0);
    DWORD error = GetLastError();
    report.Check("AcquireUnknownContainer", !acquired && error == static_cast<DWORD>(NTE_NO_KEY),
                 "ok %d, error %s", acquired, LastErrorText(error).c_str());
    if (acquired) CryptReleaseContext(prov, 0);

    // Two contexts: releasing one leaves the other working.
    HCRYPTPROV first = 0, second = 0;
    BOOL both = CryptAcquireContextA(&first, options.Serial.c_str(), LUCSP_PROVIDER_NAME, PROV_RSA_FULL, 0) &&
                CryptAcquireContextA(&second, options.Serial.c_str(), LUCSP_PROVIDER_NAME, PROV_RSA_FULL, 0);
    if (report.Check("TwoContexts", both != FALSE, "error %s", LastErrorText(GetLastError()).c_str())) {
        report.Check("ReleaseFirstContext", CryptReleaseContext(first, 0) != FALSE);
        std::vector<BYTE> digest, signature;
        DWORD signError = 0;
        bool signedOk = SystemDigest(CALG_SHA_256, message, digest) &&
                        SignDigest(second, AT_SIGNATURE, CALG_SHA_256, digest, signature, &signError);
        report.Check("SignWithSecondContext", signedOk, "error %s", LastErrorText(signError).c_str());
        if (signedOk)
            report.Check("WriteSecondContextSignature",
                         WriteFileBytes(JoinPath(options.OutDir, "sig_context2_sha256.bin"), signature.data(),
                                        signature.size()));
        report.Check("ReleaseSecondContext", CryptReleaseContext(second, 0) != FALSE);
    } else {
        if (first) CryptReleaseContext(first, 0);
    }

    CheckEncryptZeroPaddingRefused(report, options);
    CheckStoreChangesWhileAContextIsOpen(report, options);
    CheckThreadsThatComeAndGo(report, options, message);

    // advapi32 loads the provider for each first context and unloads it with the last one.
    LARGE_INTEGER frequency, start;
    QueryPerformanceFrequency(&frequency);
    const int cycles = 5;
    int good = 0;
    DWORD worst = 0;
    for (int i = 0; i < cycles; ++i) {
        QueryPerformanceCounter(&start);
        if (CryptAcquireContextA(&prov, options.Serial.c_str(), LUCSP_PROVIDER_NAME, PROV_RSA_FULL, 0) &&
            CryptReleaseContext(prov, 0))
            ++good;
        worst = std::max(worst, ElapsedMs(start, frequency));
    }
    report.Check("LoadUnloadCycles", good == cycles, "%d of %d cycles worked", good, cycles);
    report.Note("load/unload cycle: worst %lu ms", static_cast<unsigned long>(worst));
    return report.Finish();
}

int RunCertKeyPhase(const TWineOptions& options) {
    TWineReport report("certkey", options.CompatRequired);
    std::vector<BYTE> der, message;
    if (!ReadCertAndMessage(report, options, der, message)) return report.Finish();
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT cert = FindInstalledCertificate(report, der, &store);
    if (!store) return report.Finish();
    if (cert) {
        HCRYPTPROV prov = 0;
        DWORD keySpec = 0;
        BOOL callerFree = FALSE;
        BOOL acquired = CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &keySpec, &callerFree);
        if (report.Check("CryptAcquireCertificatePrivateKey", acquired != FALSE, "error %s",
                         LastErrorText(GetLastError()).c_str())) {
            report.Check("KeySpec", keySpec == AT_KEYEXCHANGE, "%lu", static_cast<unsigned long>(keySpec));
            std::string container;
            DWORD len = 0;
            if (CryptGetProvParam(prov, PP_CONTAINER, nullptr, &len, 0) && len) {
                std::vector<BYTE> data(len);
                if (CryptGetProvParam(prov, PP_CONTAINER, data.data(), &len, 0))
                    container.assign(reinterpret_cast<char*>(data.data()));
            }
            report.Check("Container", container == options.Serial, "[%s]", container.c_str());
            std::vector<BYTE> digest, signature, blob;
            DWORD error = 0;
            bool signedOk = SystemDigest(CALG_SHA_256, message, digest) &&
                            SignDigest(prov, keySpec, CALG_SHA_256, digest, signature, &error);
            if (report.Check("SignSHA256", signedOk, "error %s", LastErrorText(error).c_str())) {
                report.Check("WriteSignature",
                             WriteFileBytes(JoinPath(options.OutDir, "sig_certkey_sha256.bin"),
                                            signature.data(), signature.size()));
                HCRYPTKEY key = 0;
                if (CryptGetUserKey(prov, keySpec, &key)) {
                    if (ExportPublicKey(key, blob))
                        report.Check("VerifiedByRsaenh",
                                     SystemVerify(CALG_SHA_256, digest, blob, signature, &error), "error %s",
                                     LastErrorText(error).c_str());
                    CryptDestroyKey(key);
                }
            }
            if (callerFree) report.Check("ReleaseContext", CryptReleaseContext(prov, 0) != FALSE);
        }
        CertFreeCertificateContext(cert);
    }
    CertCloseStore(store, 0);
    return report.Finish();
}
