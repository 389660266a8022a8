// The CryptoAPI calls of .NET's RSACryptoServiceProvider on Windows, in the order dotnet/runtime makes
// them (src/libraries/System.Security.Cryptography/src/System/Security/Cryptography/CapiHelper.Windows.cs:
// SaveCspParameters, OpenCSP, AcquireCryptContext, CreateProvHandle, GetKeyParameter (KP_ALGID, KP_KEYLEN),
// ImportKeyBlob, ExportKeyBlob, SignValue, VerifySign; CreateHashHandle checks HP_HASHSIZE against the hash
// before HP_HASHVAL). SignHash returns the signature reversed into big-endian order, VerifyHash reverses
// it back.
//
//   new RSACryptoServiceProvider(new CspParameters(1, provider, serial) { Flags = UseExistingKey })
//     CryptAcquireContext(serial, provider, PROV_RSA_FULL, 0); CryptGetUserKey(AT_KEYEXCHANGE, KeyNumber -1);
//     CryptGetKeyParam(KP_ALGID) must be CALG_RSA_KEYX or CALG_RSA_SIGN
//   KeySize: CryptGetKeyParam(KP_KEYLEN), in bits
//   new RSACryptoServiceProvider(new CspParameters(1, provider)): no container, so CreateEphemeralKey and
//     CryptAcquireContext(NULL, provider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT); ImportParameters(public) is
//     CryptImportKey(PUBLICKEYBLOB)
#include "../wineCheck.h"

#include <cstring>

namespace {

const DWORD kKeyNumber = AT_KEYEXCHANGE; // CspParameters.KeyNumber -1 for RSA

// CapiHelper.CreateHashHandle.
bool CreateHashHandle(HCRYPTPROV prov, ALG_ID alg, const std::vector<BYTE>& hash, HCRYPTHASH* out) {
    HCRYPTHASH h = 0;
    if (!CryptCreateHash(prov, alg, 0, 0, &h)) return false;
    DWORD size = 0, sizeLen = sizeof(size);
    if (!CryptGetHashParam(h, HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &sizeLen, 0) ||
        size != hash.size() || !CryptSetHashParam(h, HP_HASHVAL, hash.data(), 0)) {
        DWORD error = GetLastError();
        CryptDestroyHash(h);
        SetLastError(size != hash.size() ? static_cast<DWORD>(NTE_BAD_HASH) : error);
        return false;
    }
    *out = h;
    return true;
}

// CapiHelper.SignValue with CALG_RSA_SIGN: big-endian result.
bool SignValue(HCRYPTPROV prov, ALG_ID alg, const std::vector<BYTE>& hash, std::vector<BYTE>& signature) {
    HCRYPTHASH h = 0;
    if (!CreateHashHandle(prov, alg, hash, &h)) return false;
    DWORD len = 0;
    bool ok = CryptSignHashA(h, kKeyNumber, nullptr, 0, nullptr, &len);
    if (ok) {
        signature.resize(len);
        ok = CryptSignHashA(h, kKeyNumber, nullptr, 0, signature.data(), &len);
    }
    DWORD error = GetLastError();
    CryptDestroyHash(h);
    SetLastError(error);
    if (!ok) return false;
    signature = Reversed(signature);
    return true;
}

// CapiHelper.VerifySign.
bool VerifySign(HCRYPTPROV prov, HCRYPTKEY key, ALG_ID alg, const std::vector<BYTE>& hash,
                const std::vector<BYTE>& signature) {
    std::vector<BYTE> little = Reversed(signature);
    HCRYPTHASH h = 0;
    if (!CreateHashHandle(prov, alg, hash, &h)) return false;
    bool ok = CryptVerifySignatureA(h, little.data(), static_cast<DWORD>(little.size()), key, nullptr, 0);
    DWORD error = GetLastError();
    CryptDestroyHash(h);
    SetLastError(error);
    return ok;
}

// CapiHelper.GetKeyParameter: size query, then the value.
bool KeyParameter(HCRYPTKEY key, DWORD param, DWORD& value) {
    return GetKeyDword(key, param, value);
}

} // namespace

int RunDotNetPhase(const TWineOptions& options) {
    TWineReport report("dotnet", options.CompatRequired);
    std::vector<BYTE> message, digest, digest1;
    if (!report.Check("ReadInputs",
                      ReadFileBytes(options.MsgFile, message) &&
                          SystemDigest(CALG_SHA_256, message, digest) &&
                          SystemDigest(CALG_SHA1, message, digest1),
                      "cannot read %s or hash it", options.MsgFile.c_str()))
        return report.Finish();

    HCRYPTPROV prov = 0;
    if (!report.Check("OpenCSP_Container",
                      CryptAcquireContextA(&prov, options.Serial.c_str(), LUCSP_PROVIDER_NAME, PROV_RSA_FULL,
                                           0) != FALSE,
                      "error %s", LastErrorText(GetLastError()).c_str()))
        return report.Finish();
    HCRYPTKEY key = 0;
    std::vector<BYTE> blob, signature;
    if (report.Check("GetUserKey", CryptGetUserKey(prov, kKeyNumber, &key) != FALSE, "error %s",
                     LastErrorText(GetLastError()).c_str())) {
        DWORD algId = 0;
        report.Check("KP_ALGID",
                     KeyParameter(key, KP_ALGID, algId) && (algId == CALG_RSA_KEYX || algId == CALG_RSA_SIGN),
                     "0x%lX, error %s", static_cast<unsigned long>(algId),
                     LastErrorText(GetLastError()).c_str());
        bool exported = report.Check("ExportParameters", ExportPublicKey(key, blob) && blob.size() > 20,
                                     "error %s", LastErrorText(GetLastError()).c_str());
        DWORD bitLen = 0;
        if (exported) memcpy(&bitLen, blob.data() + 12, 4);
        DWORD keySize = 0;
        bool got = KeyParameter(key, KP_KEYLEN, keySize);
        report.Compat("KeySize", got && keySize == bitLen, "%lu for a %lu-bit key, error %s",
                      static_cast<unsigned long>(keySize), static_cast<unsigned long>(bitLen),
                      LastErrorText(got ? 0 : GetLastError()).c_str());

        if (report.Check("SignHash_SHA256", SignValue(prov, CALG_SHA_256, digest, signature), "error %s",
                         LastErrorText(GetLastError()).c_str())) {
            report.Check("SignHash_WriteFile", WriteFileBytes(JoinPath(options.OutDir, "dotnet_sha256.sig"),
                                                              signature.data(), signature.size()));
            report.Check("VerifyHash", VerifySign(prov, key, CALG_SHA_256, digest, signature), "error %s",
                         LastErrorText(GetLastError()).c_str());
            std::vector<BYTE> tampered = signature;
            tampered[tampered.size() / 3] ^= 0x40;
            report.Check("VerifyHash_Tampered", !VerifySign(prov, key, CALG_SHA_256, digest, tampered));
            // The hash size is checked before the value is set: a SHA-1 digest under SHA-256 is refused.
            std::vector<BYTE> unused;
            bool wrong = SignValue(prov, CALG_SHA_256, digest1, unused);
            DWORD error = GetLastError();
            report.Check("SignHash_WrongSize", !wrong && error == static_cast<DWORD>(NTE_BAD_HASH),
                         "ok %d, error %s", wrong, LastErrorText(error).c_str());
        }
        std::vector<BYTE> signature1;
        if (report.Check("SignHash_SHA1", SignValue(prov, CALG_SHA1, digest1, signature1), "error %s",
                         LastErrorText(GetLastError()).c_str()))
            report.Check("SignHash_SHA1_WriteFile",
                         WriteFileBytes(JoinPath(options.OutDir, "dotnet_sha1.sig"), signature1.data(),
                                        signature1.size()));
        CryptDestroyKey(key);
    }
    report.Check("Dispose", CryptReleaseContext(prov, 0) != FALSE, "error %s",
                 LastErrorText(GetLastError()).c_str());

    // No container: an ephemeral context that only verifies, with the public key imported.
    HCRYPTPROV verifier = 0;
    BOOL opened =
        CryptAcquireContextA(&verifier, nullptr, LUCSP_PROVIDER_NAME, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
    if (report.Compat("OpenCSP_NoContainer", opened != FALSE, "error %s",
                      LastErrorText(GetLastError()).c_str())) {
        HCRYPTKEY imported = 0;
        BOOL ok = !blob.empty() &&
                  CryptImportKey(verifier, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &imported);
        if (report.Compat("ImportParameters", ok != FALSE, "error %s",
                          LastErrorText(GetLastError()).c_str())) {
            report.Compat("VerifyHash_ImportedKey",
                          !signature.empty() &&
                              VerifySign(verifier, imported, CALG_SHA_256, digest, signature),
                          "error %s", LastErrorText(GetLastError()).c_str());
            CryptDestroyKey(imported);
        }
        CryptReleaseContext(verifier, 0);
    }
    return report.Finish();
}
