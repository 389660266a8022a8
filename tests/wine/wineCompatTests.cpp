// The provider behaviours that CryptoAPI clients rely on beyond signing a hash value handed in: verify-only
// contexts, enumeration, the key length in bits, hashing inside the provider, the SSL3 SHA-MD5 hash, and the
// caller's last error kept by successful clean-up calls. The "strict" phase runs with "CSP_Compatibility"
// = 0, where the provider refuses hashing, CALG_SSL3_SHAMD5 and verify-only contexts again.
#include "wineCheck.h"

#include <cstring>

namespace {

struct THashAlg {
    ALG_ID Alg;
    const char* Name;
};

const THashAlg kHashAlgs[] = {
    {CALG_MD5, "MD5"},        {CALG_SHA1, "SHA1"},      {CALG_SHA_256, "SHA256"},
    {CALG_SHA_384, "SHA384"}, {CALG_SHA_512, "SHA512"},
};

// Reports one call as "FALSE with this last error" (a compatibility check when compat); the last error is
// read here, after the call.
bool ExpectRefused(TWineReport& report, bool compat, const char* name, BOOL ok, DWORD expected) {
    DWORD got = GetLastError();
    bool refused = !ok && got == expected;
    const char* fmt = "ok %d, error %s, expected %s";
    if (compat)
        return report.Compat(name, refused, fmt, ok, LastErrorText(got).c_str(),
                             LastErrorText(expected).c_str());
    return report.Check(name, refused, fmt, ok, LastErrorText(got).c_str(), LastErrorText(expected).c_str());
}

// The container names of PP_ENUMCONTAINERS, CRYPT_FIRST then onwards until ERROR_NO_MORE_ITEMS; *maxLen is
// the size the first size query answered, *end the error that ended the list.
bool EnumContainers(HCRYPTPROV prov, std::vector<std::string>& names, DWORD* maxLen, DWORD* end) {
    names.clear();
    *maxLen = 0;
    if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, nullptr, maxLen, CRYPT_FIRST)) {
        *end = GetLastError();
        return false;
    }
    std::vector<BYTE> buffer(*maxLen ? *maxLen : 1);
    for (DWORD flags = CRYPT_FIRST; names.size() < 64; flags = CRYPT_NEXT) {
        DWORD len = static_cast<DWORD>(buffer.size());
        if (!CryptGetProvParam(prov, PP_ENUMCONTAINERS, buffer.data(), &len, flags)) {
            *end = GetLastError();
            return *end == ERROR_NO_MORE_ITEMS;
        }
        names.emplace_back(reinterpret_cast<char*>(buffer.data()),
                           strnlen(reinterpret_cast<char*>(buffer.data()), len));
    }
    *end = 0;
    return false;
}

// PP_ENUMALGS (PROV_ENUMALGS) or PP_ENUMALGS_EX (PROV_ENUMALGS_EX): the algorithm ids with their default
// bit lengths.
bool EnumAlgs(HCRYPTPROV prov, DWORD param, std::vector<std::pair<ALG_ID, DWORD>>& algs, DWORD* end) {
    algs.clear();
    for (DWORD flags = CRYPT_FIRST; algs.size() < 64; flags = CRYPT_NEXT) {
        PROV_ENUMALGS_EX ex = {};
        DWORD len = param == PP_ENUMALGS_EX ? sizeof(PROV_ENUMALGS_EX) : sizeof(PROV_ENUMALGS);
        if (!CryptGetProvParam(prov, param, reinterpret_cast<BYTE*>(&ex), &len, flags)) {
            *end = GetLastError();
            return *end == ERROR_NO_MORE_ITEMS && !algs.empty();
        }
        DWORD bits =
            param == PP_ENUMALGS_EX ? ex.dwDefaultLen : reinterpret_cast<PROV_ENUMALGS*>(&ex)->dwBitLen;
        algs.emplace_back(ex.aiAlgid, bits);
    }
    *end = 0;
    return false;
}

bool Lists(const std::vector<std::pair<ALG_ID, DWORD>>& algs, ALG_ID alg, DWORD bits) {
    for (const auto& a : algs)
        if (a.first == alg && (bits == 0 || a.second == bits)) return true;
    return false;
}

// Hashes data in two pieces through the provider and reads the value.
bool HashInProvider(HCRYPTPROV prov, ALG_ID alg, const std::vector<BYTE>& data, HCRYPTHASH* hash,
                    std::vector<BYTE>& value, DWORD* error) {
    *hash = 0;
    size_t half = data.size() / 2;
    DWORD len = 0;
    bool ok = CryptCreateHash(prov, alg, 0, 0, hash) &&
              CryptHashData(*hash, data.data(), static_cast<DWORD>(half), 0) &&
              CryptHashData(*hash, data.data() + half, static_cast<DWORD>(data.size() - half), 0) &&
              CryptGetHashParam(*hash, HP_HASHVAL, nullptr, &len, 0);
    if (ok) {
        value.resize(len);
        ok = CryptGetHashParam(*hash, HP_HASHVAL, value.data(), &len, 0);
    }
    *error = ok ? 0 : GetLastError();
    return ok;
}

void CheckVerifyContext(TWineReport& report, const TWineOptions& options, const std::vector<BYTE>& message) {
    HCRYPTPROV prov = 0;
    BOOL opened =
        CryptAcquireContextA(&prov, nullptr, LUCSP_PROVIDER_NAME, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
    if (!report.Compat("VerifyContext_NullContainer", opened != FALSE, "error %s",
                       LastErrorText(GetLastError()).c_str()))
        return;
    std::vector<std::string> names;
    DWORD maxLen = 0, end = 0;
    bool listed = EnumContainers(prov, names, &maxLen, &end);
    bool found = false;
    for (const std::string& name : names)
        found = found || name == options.Serial;
    report.Compat("PP_ENUMCONTAINERS", listed && found && maxLen >= options.Serial.size() + 1,
                  "%u names, serial %s, size query %lu, ended with %s", static_cast<unsigned>(names.size()),
                  found ? "listed" : "missing", static_cast<unsigned long>(maxLen),
                  LastErrorText(end).c_str());

    std::vector<BYTE> expected, value;
    HCRYPTHASH hash = 0;
    DWORD error = 0;
    bool hashed = SystemDigest(CALG_SHA_256, message, expected) &&
                  HashInProvider(prov, CALG_SHA_256, message, &hash, value, &error);
    report.Compat("VerifyContext_HashData", hashed && value == expected, "error %s",
                  LastErrorText(error).c_str());
    if (hash) {
        std::vector<BYTE> sig(512);
        DWORD len = static_cast<DWORD>(sig.size());
        ExpectRefused(report, true, "VerifyContext_SignRefused",
                      CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, sig.data(), &len),
                      static_cast<DWORD>(NTE_BAD_KEY));
        CryptDestroyHash(hash);
    }
    HCRYPTKEY key = 0;
    BOOL gotKey = CryptGetUserKey(prov, AT_KEYEXCHANGE, &key);
    ExpectRefused(report, true, "VerifyContext_NoUserKey", gotKey, static_cast<DWORD>(NTE_BAD_KEY));
    if (gotKey) CryptDestroyKey(key);
    report.Compat("VerifyContext_Release", CryptReleaseContext(prov, 0) != FALSE, "error %s",
                  LastErrorText(GetLastError()).c_str());

    opened = CryptAcquireContextA(&prov, options.Serial.c_str(), LUCSP_PROVIDER_NAME, PROV_RSA_FULL,
                                  CRYPT_VERIFYCONTEXT);
    report.Compat("VerifyContext_WithContainer", opened != FALSE, "error %s",
                  LastErrorText(GetLastError()).c_str());
    if (opened) CryptReleaseContext(prov, 0);
}

void CheckKeyLengths(TWineReport& report, HCRYPTPROV prov) {
    HCRYPTKEY key = 0;
    std::vector<BYTE> blob;
    if (!report.Check("GetUserKey",
                      CryptGetUserKey(prov, AT_KEYEXCHANGE, &key) && ExportPublicKey(key, blob) &&
                          blob.size() > 20,
                      "error %s", LastErrorText(GetLastError()).c_str()))
        return;
    DWORD bitLen = 0, keyLen = 0, blockLen = 0;
    memcpy(&bitLen, blob.data() + 12, 4);
    bool got = GetKeyDword(key, KP_KEYLEN, keyLen);
    report.Compat("KP_KEYLEN_Bits", got && keyLen == bitLen, "%lu for a %lu-bit key",
                  static_cast<unsigned long>(keyLen), static_cast<unsigned long>(bitLen));
    got = GetKeyDword(key, KP_BLOCKLEN, blockLen);
    report.Compat("KP_BLOCKLEN_Bits", got && blockLen == bitLen, "%lu, error %s",
                  static_cast<unsigned long>(blockLen), LastErrorText(got ? 0 : GetLastError()).c_str());

    // A failed call, then a successful clean-up: the caller still sees the failure's error.
    DWORD bogus = 0;
    DWORD len = sizeof(bogus);
    BOOL failed = CryptGetKeyParam(key, 0x7FFF, reinterpret_cast<BYTE*>(&bogus), &len, 0);
    DWORD failure = GetLastError();
    BOOL destroyed = CryptDestroyKey(key);
    DWORD after = GetLastError();
    report.Compat("DestroyKeyKeepsLastError", !failed && failure != 0 && destroyed && after == failure,
                  "failure %s, after CryptDestroyKey (ok %d) %s", LastErrorText(failure).c_str(), destroyed,
                  LastErrorText(after).c_str());
}

void CheckEnumAlgs(TWineReport& report, HCRYPTPROV prov) {
    std::vector<std::pair<ALG_ID, DWORD>> algs;
    DWORD end = 0;
    bool listed = EnumAlgs(prov, PP_ENUMALGS, algs, &end);
    report.Compat(
        "PP_ENUMALGS",
        listed && Lists(algs, CALG_SHA_256, 256) && Lists(algs, CALG_SHA1, 160) &&
            Lists(algs, CALG_MD5, 128) && (Lists(algs, CALG_RSA_KEYX, 0) || Lists(algs, CALG_RSA_SIGN, 0)),
        "%u algorithms, ended with %s", static_cast<unsigned>(algs.size()), LastErrorText(end).c_str());
    listed = EnumAlgs(prov, PP_ENUMALGS_EX, algs, &end);
    report.Compat("PP_ENUMALGS_EX",
                  listed && Lists(algs, CALG_SHA_512, 512) &&
                      (Lists(algs, CALG_RSA_KEYX, 0) || Lists(algs, CALG_RSA_SIGN, 0)),
                  "%u algorithms, ended with %s", static_cast<unsigned>(algs.size()),
                  LastErrorText(end).c_str());
}

void CheckHashing(TWineReport& report, HCRYPTPROV prov, const std::vector<BYTE>& message,
                  const TWineOptions& options) {
    for (const THashAlg& a : kHashAlgs) {
        std::string tag = std::string("HashData_") + a.Name;
        std::vector<BYTE> expected, value;
        HCRYPTHASH hash = 0;
        DWORD error = 0;
        bool hashed = SystemDigest(a.Alg, message, expected) &&
                      HashInProvider(prov, a.Alg, message, &hash, value, &error);
        if (report.Compat(tag.c_str(), hashed && value == expected, "error %s, %u bytes",
                          LastErrorText(error).c_str(), static_cast<unsigned>(value.size()))) {
            BYTE more = 0;
            ExpectRefused(report, true, (tag + "_AfterValueRead").c_str(), CryptHashData(hash, &more, 1, 0),
                          static_cast<DWORD>(NTE_BAD_HASH_STATE));
            if (a.Alg == CALG_SHA_256) {
                // The finished value signed, for the Linux side to verify over the message.
                DWORD len = 0;
                std::vector<BYTE> sig;
                bool ok = CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, nullptr, &len);
                if (ok) {
                    sig.resize(len);
                    ok = CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, sig.data(), &len);
                }
                if (report.Compat("HashData_SHA256_Sign", ok, "error %s",
                                  LastErrorText(GetLastError()).c_str()))
                    report.Check("HashData_SHA256_WriteFile",
                                 WriteFileBytes(JoinPath(options.OutDir, "sig_hashdata_sha256.bin"),
                                                sig.data(), sig.size()));
            }
        }
        if (hash) CryptDestroyHash(hash);
    }

    // A value set by the caller ends hashing, as in CryptoAPI.
    std::vector<BYTE> digest;
    HCRYPTHASH hash = 0;
    if (SystemDigest(CALG_SHA_256, message, digest) && CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash)) {
        if (report.Check("HashData_SetValue", CryptSetHashParam(hash, HP_HASHVAL, digest.data(), 0) != FALSE))
            ExpectRefused(report, true, "HashData_AfterSetValue",
                          CryptHashData(hash, message.data(), static_cast<DWORD>(message.size()), 0),
                          static_cast<DWORD>(NTE_BAD_HASH_STATE));
        // A failed call, then a successful CryptDestroyHash: the caller still sees the failure's error.
        DWORD len = 4;
        BYTE buffer[4];
        BOOL failed = CryptGetHashParam(hash, 0x7FFF, buffer, &len, 0);
        DWORD failure = GetLastError();
        BOOL destroyed = CryptDestroyHash(hash);
        DWORD after = GetLastError();
        report.Compat("DestroyHashKeepsLastError", !failed && failure != 0 && destroyed && after == failure,
                      "failure %s, after CryptDestroyHash (ok %d) %s", LastErrorText(failure).c_str(),
                      destroyed, LastErrorText(after).c_str());
    }

    // CALG_SSL3_SHAMD5: 36 bytes (MD5, then SHA-1) set by the caller, signed without a DigestInfo.
    std::vector<BYTE> md5, sha1;
    bool inputs = SystemDigest(CALG_MD5, message, md5) && SystemDigest(CALG_SHA1, message, sha1);
    md5.insert(md5.end(), sha1.begin(), sha1.end());
    hash = 0;
    BOOL created = inputs && CryptCreateHash(prov, CALG_SSL3_SHAMD5, 0, 0, &hash);
    if (report.Compat("SSL3_SHAMD5_Create", created != FALSE, "error %s",
                      LastErrorText(GetLastError()).c_str())) {
        BYTE byte = 0;
        BOOL hashedData = CryptHashData(hash, &byte, 1, 0);
        report.Compat("SSL3_SHAMD5_HashDataRefused", !hashedData, "error %s",
                      LastErrorText(GetLastError()).c_str());
        std::vector<BYTE> sig;
        DWORD len = 0;
        bool ok = CryptSetHashParam(hash, HP_HASHVAL, md5.data(), 0) &&
                  CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, nullptr, &len);
        if (ok) {
            sig.resize(len);
            ok = CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, sig.data(), &len);
        }
        if (report.Compat("SSL3_SHAMD5_Sign", ok, "error %s", LastErrorText(GetLastError()).c_str()))
            report.Check("SSL3_SHAMD5_WriteFile",
                         WriteFileBytes(JoinPath(options.OutDir, "sig_shamd5.bin"), sig.data(), sig.size()));
        CryptDestroyHash(hash);
    }
    hash = 0;
    created = CryptCreateHash(prov, CALG_RC4, 0, 0, &hash);
    ExpectRefused(report, true, "UnknownAlgorithm_NTE_BAD_ALGID", created, static_cast<DWORD>(NTE_BAD_ALGID));
    if (created) CryptDestroyHash(hash);
}

} // namespace

int RunCompatPhase(const TWineOptions& options) {
    TWineReport report("compat", options.CompatRequired);
    std::vector<BYTE> message;
    if (!report.Check("ReadInputs", ReadFileBytes(options.MsgFile, message), "cannot read %s",
                      options.MsgFile.c_str()))
        return report.Finish();
    CheckVerifyContext(report, options, message);
    HCRYPTPROV prov = 0;
    if (!report.Check("CryptAcquireContext",
                      CryptAcquireContextA(&prov, options.Serial.c_str(), LUCSP_PROVIDER_NAME, PROV_RSA_FULL,
                                           0) != FALSE,
                      "error %s", LastErrorText(GetLastError()).c_str()))
        return report.Finish();
    CheckKeyLengths(report, prov);
    CheckEnumAlgs(report, prov);
    CheckHashing(report, prov, message, options);

    // A failed call, then a successful CryptReleaseContext of another context.
    HCRYPTPROV second = 0;
    if (CryptAcquireContextA(&second, options.Serial.c_str(), LUCSP_PROVIDER_NAME, PROV_RSA_FULL, 0)) {
        DWORD value = 0, len = sizeof(value);
        BOOL failed = CryptGetProvParam(second, 0x7FFF, reinterpret_cast<BYTE*>(&value), &len, 0);
        DWORD failure = GetLastError();
        BOOL released = CryptReleaseContext(second, 0);
        DWORD after = GetLastError();
        report.Compat("ReleaseContextKeepsLastError", !failed && failure != 0 && released && after == failure,
                      "failure %s, after CryptReleaseContext (ok %d) %s", LastErrorText(failure).c_str(),
                      released, LastErrorText(after).c_str());
    }
    report.Check("CryptReleaseContext", CryptReleaseContext(prov, 0) != FALSE, "error %s",
                 LastErrorText(GetLastError()).c_str());
    return report.Finish();
}

int RunStrictPhase(const TWineOptions& options) {
    TWineReport report("strict", options.CompatRequired);
    std::vector<BYTE> message;
    if (!report.Check("ReadInputs", ReadFileBytes(options.MsgFile, message), "cannot read %s",
                      options.MsgFile.c_str()))
        return report.Finish();
    HCRYPTPROV prov = 0;
    BOOL opened = CryptAcquireContextA(&prov, options.Serial.c_str(), LUCSP_PROVIDER_NAME, PROV_RSA_FULL,
                                       CRYPT_VERIFYCONTEXT);
    ExpectRefused(report, false, "VerifyContextRefused", opened, static_cast<DWORD>(NTE_BAD_FLAGS));
    if (opened) CryptReleaseContext(prov, 0);
    // The provider refuses a null container name before it looks at the flags.
    opened = CryptAcquireContextA(&prov, nullptr, LUCSP_PROVIDER_NAME, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
    ExpectRefused(report, false, "VerifyContextNullContainerRefused", opened,
                  static_cast<DWORD>(NTE_INVALID_PARAMETER));
    if (opened) CryptReleaseContext(prov, 0);

    if (!report.Check("CryptAcquireContext",
                      CryptAcquireContextA(&prov, options.Serial.c_str(), LUCSP_PROVIDER_NAME, PROV_RSA_FULL,
                                           0) != FALSE,
                      "error %s", LastErrorText(GetLastError()).c_str()))
        return report.Finish();
    HCRYPTHASH hash = 0;
    if (report.Check("CreateHash", CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash) != FALSE, "error %s",
                     LastErrorText(GetLastError()).c_str())) {
        ExpectRefused(report, false, "HashDataRefused",
                      CryptHashData(hash, message.data(), static_cast<DWORD>(message.size()), 0),
                      static_cast<DWORD>(NTE_NOT_SUPPORTED));
        BYTE sig[512];
        DWORD sigLen = sizeof(sig);
        report.Check("SignWithoutValueRefused",
                     !CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, sig, &sigLen), "error %s",
                     LastErrorText(GetLastError()).c_str());
        CryptDestroyHash(hash);
    }
    hash = 0;
    BOOL created = CryptCreateHash(prov, CALG_SSL3_SHAMD5, 0, 0, &hash);
    ExpectRefused(report, false, "SSL3_SHAMD5Refused", created, static_cast<DWORD>(NTE_FAIL));
    if (created) CryptDestroyHash(hash);
    hash = 0;
    created = CryptCreateHash(prov, CALG_RC4, 0, 0, &hash);
    ExpectRefused(report, false, "UnknownAlgorithm_NTE_FAIL", created, static_cast<DWORD>(NTE_FAIL));
    if (created) CryptDestroyHash(hash);
    BYTE buffer[64];
    DWORD len = sizeof(buffer);
    ExpectRefused(report, false, "PP_ENUMCONTAINERS_Empty",
                  CryptGetProvParam(prov, PP_ENUMCONTAINERS, buffer, &len, CRYPT_FIRST), ERROR_NO_MORE_ITEMS);
    len = sizeof(buffer);
    ExpectRefused(report, false, "PP_ENUMALGS_Empty",
                  CryptGetProvParam(prov, PP_ENUMALGS, buffer, &len, CRYPT_FIRST), ERROR_NO_MORE_ITEMS);
    // The key length in bits is a fault fix, not a compatibility feature: also here.
    CheckKeyLengths(report, prov);
    report.Check("CryptReleaseContext", CryptReleaseContext(prov, 0) != FALSE, "error %s",
                 LastErrorText(GetLastError()).c_str());
    return report.Finish();
}
