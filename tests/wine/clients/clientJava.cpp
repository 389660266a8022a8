// The CryptoAPI calls of Java's SunMSCAPI provider, in the order its native code makes them (OpenJDK,
// src/jdk.crypto.mscapi/windows/native/libsunmscapi/security.cpp):
//   KeyStore "Windows-MY" (CKeyStore.loadKeysOrCertificateChains): CertOpenSystemStore("MY"), per
//     certificate CryptAcquireCertificatePrivateKey(CRYPT_ACQUIRE_ALLOW_NCRYPT_KEY_FLAG |
//     CRYPT_ACQUIRE_SILENT_FLAG) as a probe, released, then again without the silent flag;
//     CryptGetUserKey(dwKeySpec), CryptSetKeyParam(KP_MODE, CRYPT_MODE_ECB) with its result ignored,
//     CryptGetKeyParam(KP_ALGID) must be an RSA algorithm.
//   Signature.sign (CSignature.signHash): CryptCreateHash(MapHashAlgorithm(name)) - on failure the
//     fallback to a PROV_RSA_AES context on the same container name (PP_CONTAINER) -,
//     CryptSetHashParam(HP_HASHVAL), CryptGetKeyParam(KP_ALGID) picks AT_KEYEXCHANGE for CALG_RSA_KEYX,
//     CryptSignHash twice (size, then value) with CRYPT_NOHASHOID for NONEwithRSA. NONEwithRSA names a
//     36-byte input "SHA1+MD5", which MapHashAlgorithm turns into CALG_SSL3_SHAMD5 (what SunJSSE signs
//     in TLS 1.0 and 1.1). The Java side reverses the result into big-endian order.
#include "../wineCheck.h"

#include <cstring>

namespace {

struct TJavaKey {
    HCRYPTPROV Prov = 0;
    HCRYPTKEY Key = 0;
    DWORD KeySpec = 0;
    BOOL CallerFree = FALSE;
};

bool LoadKey(TWineReport& report, PCCERT_CONTEXT cert, TJavaKey& out) {
    HCRYPTPROV probe = 0;
    DWORD spec = 0;
    BOOL free = FALSE;
    BOOL probed = CryptAcquireCertificatePrivateKey(
        cert, CRYPT_ACQUIRE_ALLOW_NCRYPT_KEY_FLAG | CRYPT_ACQUIRE_SILENT_FLAG, nullptr, &probe, &spec, &free);
    DWORD error = GetLastError();
    report.Check("KeyStore_SilentProbe", probed || error == static_cast<DWORD>(NTE_SILENT_CONTEXT),
                 "error %s", LastErrorText(error).c_str());
    if (probed && free) CryptReleaseContext(probe, 0);
    if (!report.Check("KeyStore_AcquireKey",
                      CryptAcquireCertificatePrivateKey(cert, CRYPT_ACQUIRE_ALLOW_NCRYPT_KEY_FLAG, nullptr,
                                                        &out.Prov, &out.KeySpec, &out.CallerFree) != FALSE,
                      "error %s", LastErrorText(GetLastError()).c_str()))
        return false;
    report.Check("KeyStore_NotCng", out.KeySpec != CERT_NCRYPT_KEY_SPEC, "dwKeySpec %lu",
                 static_cast<unsigned long>(out.KeySpec));
    if (!report.Check("KeyStore_GetUserKey", CryptGetUserKey(out.Prov, out.KeySpec, &out.Key) != FALSE,
                      "error %s", LastErrorText(GetLastError()).c_str()))
        return false;
    DWORD mode = CRYPT_MODE_ECB;
    CryptSetKeyParam(out.Key, KP_MODE, reinterpret_cast<BYTE*>(&mode), 0);
    DWORD algId = CALG_RSA_KEYX, len = sizeof(algId);
    CryptGetKeyParam(out.Key, KP_ALGID, reinterpret_cast<BYTE*>(&algId), &len, 0);
    return report.Check("KeyStore_RsaKey", (algId & ALG_TYPE_RSA) == ALG_TYPE_RSA, "KP_ALGID 0x%lX",
                        static_cast<unsigned long>(algId));
}

// CSignature.signHash; the result in Java's (big-endian) order.
bool SignHash(const TJavaKey& key, bool noHashOID, ALG_ID alg, const std::vector<BYTE>& hash,
              std::vector<BYTE>& signature, DWORD* error) {
    HCRYPTHASH h = 0;
    HCRYPTPROV alt = 0;
    bool ok = CryptCreateHash(key.Prov, alg, 0, 0, &h);
    if (!ok) {
        BYTE container[256] = {0};
        DWORD len = sizeof(container);
        CryptGetProvParam(key.Prov, PP_CONTAINER, container, &len, 0);
        ok = CryptAcquireContextA(&alt, reinterpret_cast<char*>(container), nullptr, PROV_RSA_AES, 0) &&
             CryptCreateHash(alt, alg, 0, 0, &h);
    }
    ok = ok && CryptSetHashParam(h, HP_HASHVAL, hash.data(), 0);
    DWORD keySpec = AT_SIGNATURE;
    ALG_ID keyAlg = 0;
    DWORD algLen = sizeof(keyAlg);
    ok = ok && CryptGetKeyParam(key.Key, KP_ALGID, reinterpret_cast<BYTE*>(&keyAlg), &algLen, 0);
    if (keyAlg == CALG_RSA_KEYX) keySpec = AT_KEYEXCHANGE;
    DWORD flags = noHashOID ? CRYPT_NOHASHOID : 0;
    DWORD len = 0;
    ok = ok && CryptSignHashA(h, keySpec, nullptr, flags, nullptr, &len);
    if (ok) {
        signature.resize(len);
        ok = CryptSignHashA(h, keySpec, nullptr, flags, signature.data(), &len);
        signature.resize(ok ? len : 0);
    }
    *error = ok ? 0 : GetLastError();
    if (h) CryptDestroyHash(h);
    if (alt) CryptReleaseContext(alt, 0);
    if (ok) signature = Reversed(signature);
    return ok;
}

} // namespace

int RunJavaPhase(const TWineOptions& options) {
    TWineReport report("java", options.CompatRequired);
    std::vector<BYTE> der, message, sha256, md5, sha1;
    if (!ReadCertAndMessage(report, options, der, message)) return report.Finish();
    if (!report.Check("Digests",
                      SystemDigest(CALG_SHA_256, message, sha256) && SystemDigest(CALG_MD5, message, md5) &&
                          SystemDigest(CALG_SHA1, message, sha1),
                      "rsaenh error %s", LastErrorText(GetLastError()).c_str()))
        return report.Finish();
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    if (!report.Check("KeyStore_OpenMY", store != nullptr, "error %s", LastErrorText(GetLastError()).c_str()))
        return report.Finish();
    int count = 0;
    PCCERT_CONTEXT cert = FindCertificate(store, der, &count);
    TJavaKey key;
    if (report.Check("KeyStore_FindCertificate", cert != nullptr, "not in MY") &&
        LoadKey(report, cert, key)) {
        std::vector<BYTE> signature;
        DWORD error = 0;
        if (report.Check("SHA256withRSA", SignHash(key, false, CALG_SHA_256, sha256, signature, &error),
                         "error %s", LastErrorText(error).c_str()))
            report.Check("SHA256withRSA_WriteFile",
                         WriteFileBytes(JoinPath(options.OutDir, "java_sha256.sig"), signature.data(),
                                        signature.size()));
        // The TLS 1.0/1.1 input: MD5 and SHA-1 of the same data, MD5 first.
        std::vector<BYTE> both = md5;
        both.insert(both.end(), sha1.begin(), sha1.end());
        if (report.Compat("NONEwithRSA_36", SignHash(key, true, CALG_SSL3_SHAMD5, both, signature, &error),
                          "error %s", LastErrorText(error).c_str()))
            report.Check("NONEwithRSA_36_WriteFile",
                         WriteFileBytes(JoinPath(options.OutDir, "java_none36.sig"), signature.data(),
                                        signature.size()));
    }
    // CKey.cleanUp.
    if (key.Key) CryptDestroyKey(key.Key);
    if (key.Prov && key.CallerFree) CryptReleaseContext(key.Prov, 0);
    if (cert) CertFreeCertificateContext(cert);
    CertCloseStore(store, 0);
    return report.Finish();
}
