// The exports called directly, as advapi32 would but without its own handle checks: handles that were never
// issued, released handles and missing pointers must give error codes, never a crash.
#include "wineCheck.h"

#include <cstring>
#include <functional>
#include <iterator>
#include <string>

namespace {

// The record advapi32 passes to CPAcquireContext.
struct TVTableProvStruc {
    DWORD Version;
    FARPROC FuncVerifyImage;
    FARPROC FuncReturnhWnd;
    DWORD dwProvType;
    BYTE* pbContextInfo;
    DWORD cbContextInfo;
    LPSTR pszProvName;
};

typedef BOOL(WINAPI* TCPAcquireContext)(HCRYPTPROV*, LPCSTR, DWORD, TVTableProvStruc*);
typedef BOOL(WINAPI* TCPReleaseContext)(HCRYPTPROV, DWORD);
typedef BOOL(WINAPI* TCPGetProvParam)(HCRYPTPROV, DWORD, BYTE*, DWORD*, DWORD);
typedef BOOL(WINAPI* TCPSetProvParam)(HCRYPTPROV, DWORD, const BYTE*, DWORD);
typedef BOOL(WINAPI* TCPCreateHash)(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH*);
typedef BOOL(WINAPI* TCPDestroyHash)(HCRYPTPROV, HCRYPTHASH);
typedef BOOL(WINAPI* TCPSetHashParam)(HCRYPTPROV, HCRYPTHASH, DWORD, const BYTE*, DWORD);
typedef BOOL(WINAPI* TCPGetHashParam)(HCRYPTPROV, HCRYPTHASH, DWORD, BYTE*, DWORD*, DWORD);
typedef BOOL(WINAPI* TCPSignHash)(HCRYPTPROV, HCRYPTHASH, DWORD, LPCWSTR, DWORD, BYTE*, DWORD*);
typedef BOOL(WINAPI* TCPVerifySignature)(HCRYPTPROV, HCRYPTHASH, const BYTE*, DWORD, HCRYPTKEY, LPCWSTR,
                                         DWORD);
typedef BOOL(WINAPI* TCPGetUserKey)(HCRYPTPROV, DWORD, HCRYPTKEY*);
typedef BOOL(WINAPI* TCPDestroyKey)(HCRYPTPROV, HCRYPTKEY);
typedef BOOL(WINAPI* TCPGetKeyParam)(HCRYPTPROV, HCRYPTKEY, DWORD, BYTE*, DWORD*, DWORD);
typedef BOOL(WINAPI* TCPExportKey)(HCRYPTPROV, HCRYPTKEY, HCRYPTKEY, DWORD, DWORD, BYTE*, DWORD*);
typedef BOOL(WINAPI* TCPEncrypt)(HCRYPTPROV, HCRYPTKEY, HCRYPTHASH, BOOL, DWORD, BYTE*, DWORD*, DWORD);
typedef BOOL(WINAPI* TCPGenRandom)(HCRYPTPROV, DWORD, BYTE*);
typedef BOOL(WINAPI* TCPHashData)(HCRYPTPROV, HCRYPTHASH, const BYTE*, DWORD, DWORD);
typedef BOOL(WINAPI* TRegisterCertificate)(const char*, int, const char*, int);
typedef BOOL(WINAPI* TUnregisterCertificate)(const char*, int);

const char* const kExports[] = {
    "CPAcquireContext",
    "CPCreateHash",
    "CPDecrypt",
    "CPDeriveKey",
    "CPDestroyHash",
    "CPDestroyKey",
    "CPDuplicateHash",
    "CPDuplicateKey",
    "CPEncrypt",
    "CPExportKey",
    "CPGenKey",
    "CPGenRandom",
    "CPGetHashParam",
    "CPGetKeyParam",
    "CPGetProvParam",
    "CPGetUserKey",
    "CPHashData",
    "CPHashSessionKey",
    "CPImportKey",
    "CPReleaseContext",
    "CPSetHashParam",
    "CPSetKeyParam",
    "CPSetProvParam",
    "CPSignHash",
    "CPVerifySignature",
    "DllInstall",
    "TrelisServer_RegisterCertificate",
    "TrelisServer_UnregisterCertificate",
};

const DWORD kMarkError = 0x2BADF00D;

template <typename T> T Resolve(HMODULE module, const char* name) {
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// "FALSE with this last error" for one call.
bool Fails(BOOL ok, DWORD expected, DWORD* got) {
    *got = GetLastError();
    return !ok && *got == expected;
}

} // namespace

int RunDirectPhase(const TWineOptions& options) {
    TWineReport report("direct", options.CompatRequired);
    PreloadSystemLibraries();
    SetLastError(kMarkError);
    HMODULE module = LoadLibraryA(LUCSP_DLL_NAME);
    DWORD error = GetLastError();
    if (!report.Check("LoadLibrary", module != nullptr, "error %s", LastErrorText(error).c_str()))
        return report.Finish();
    report.Check("LoadLibraryKeepsLastError", error == kMarkError, "last error %s",
                 LastErrorText(error).c_str());

    int missing = 0;
    for (const char* name : kExports) {
        if (!GetProcAddress(module, name)) {
            ++missing;
            report.Check("Export", false, "%s not exported", name);
        }
    }
    report.Check("AllExports", missing == 0, "%d missing", missing);
    if (missing) {
        FreeLibrary(module);
        return report.Finish();
    }

    auto acquire = Resolve<TCPAcquireContext>(module, "CPAcquireContext");
    auto release = Resolve<TCPReleaseContext>(module, "CPReleaseContext");
    auto getProv = Resolve<TCPGetProvParam>(module, "CPGetProvParam");
    auto setProv = Resolve<TCPSetProvParam>(module, "CPSetProvParam");
    auto createHash = Resolve<TCPCreateHash>(module, "CPCreateHash");
    auto destroyHash = Resolve<TCPDestroyHash>(module, "CPDestroyHash");
    auto setHash = Resolve<TCPSetHashParam>(module, "CPSetHashParam");
    auto getHash = Resolve<TCPGetHashParam>(module, "CPGetHashParam");
    auto signHash = Resolve<TCPSignHash>(module, "CPSignHash");
    auto verify = Resolve<TCPVerifySignature>(module, "CPVerifySignature");
    auto getUserKey = Resolve<TCPGetUserKey>(module, "CPGetUserKey");
    auto destroyKey = Resolve<TCPDestroyKey>(module, "CPDestroyKey");
    auto getKey = Resolve<TCPGetKeyParam>(module, "CPGetKeyParam");
    auto exportKey = Resolve<TCPExportKey>(module, "CPExportKey");
    auto encrypt = Resolve<TCPEncrypt>(module, "CPEncrypt");
    auto genRandom = Resolve<TCPGenRandom>(module, "CPGenRandom");
    auto hashData = Resolve<TCPHashData>(module, "CPHashData");
    auto registerCert = Resolve<TRegisterCertificate>(module, "TrelisServer_RegisterCertificate");
    auto unregisterCert = Resolve<TUnregisterCertificate>(module, "TrelisServer_UnregisterCertificate");

    // Values that were never handed out: small numbers, all ones, an address on the stack, code.
    DWORD onStack = 0;
    const HCRYPTPROV garbage[] = {
        static_cast<HCRYPTPROV>(1),
        static_cast<HCRYPTPROV>(0x5EEDBEEF),
        ~static_cast<HCRYPTPROV>(0),
        reinterpret_cast<HCRYPTPROV>(&onStack),
        reinterpret_cast<HCRYPTPROV>(reinterpret_cast<void*>(&RunDirectPhase)),
    };
    BYTE buffer[512];
    DWORD len = 0;
    HCRYPTHASH newHash = 0;
    HCRYPTKEY newKey = 0;
    struct TGarbageCall {
        const char* Name;
        std::function<BOOL(HCRYPTPROV)> Call;
    };
    const TGarbageCall calls[] = {
        {"GetProvParam",
         [&](HCRYPTPROV h) { return getProv(h, PP_NAME, buffer, &(len = sizeof(buffer)), 0); }},
        {"SetProvParam", [&](HCRYPTPROV h) { return setProv(h, PP_KEYSET_SEC_DESCR, buffer, 0); }},
        {"CreateHash", [&](HCRYPTPROV h) { return createHash(h, CALG_SHA_256, 0, 0, &newHash); }},
        {"SetHashParam", [&](HCRYPTPROV h) { return setHash(h, h, HP_HASHVAL, buffer, 0); }},
        {"GetHashParam",
         [&](HCRYPTPROV h) { return getHash(h, h, HP_HASHVAL, buffer, &(len = sizeof(buffer)), 0); }},
        {"SignHash",
         [&](HCRYPTPROV h) {
             return signHash(h, h, AT_SIGNATURE, nullptr, 0, buffer, &(len = sizeof(buffer)));
         }},
        {"VerifySignature", [&](HCRYPTPROV h) { return verify(h, h, buffer, 256, h, nullptr, 0); }},
        {"GetUserKey", [&](HCRYPTPROV h) { return getUserKey(h, AT_SIGNATURE, &newKey); }},
        {"GetKeyParam",
         [&](HCRYPTPROV h) { return getKey(h, h, KP_ALGID, buffer, &(len = sizeof(buffer)), 0); }},
        {"ExportKey",
         [&](HCRYPTPROV h) { return exportKey(h, h, 0, PUBLICKEYBLOB, 0, buffer, &(len = sizeof(buffer))); }},
        {"Encrypt",
         [&](HCRYPTPROV h) { return encrypt(h, h, 0, TRUE, 0, buffer, &(len = 0), sizeof(buffer)); }},
        {"DestroyHash", [&](HCRYPTPROV h) { return destroyHash(h, h); }},
        {"DestroyKey", [&](HCRYPTPROV h) { return destroyKey(h, h); }},
        {"ReleaseContext", [&](HCRYPTPROV h) { return release(h, 0); }},
    };
    for (const TGarbageCall& call : calls) {
        int refused = 0;
        std::string detail;
        for (HCRYPTPROV bad : garbage) {
            SetLastError(kMarkError);
            BOOL result = call.Call(bad);
            DWORD got = GetLastError();
            if (!result && got == ERROR_INVALID_HANDLE)
                ++refused;
            else
                detail += " " + LastErrorText(got);
        }
        report.Check((std::string("Garbage_") + call.Name).c_str(),
                     refused == static_cast<int>(std::size(garbage)),
                     "%d of %d refused with ERROR_INVALID_HANDLE:%s", refused,
                     static_cast<int>(std::size(garbage)), detail.c_str());
    }
    report.Check("GarbageMadeNothing", newHash == 0 && newKey == 0);

    const HCRYPTPROV bad = garbage[1];
    report.Check("SignHashNullLength",
                 Fails(signHash(bad, bad, AT_SIGNATURE, nullptr, 0, buffer, nullptr),
                       static_cast<DWORD>(NTE_INVALID_PARAMETER), &error),
                 "%s", LastErrorText(error).c_str());
    report.Check(
        "VerifyNullSignature",
        Fails(verify(bad, bad, nullptr, 0, 0, nullptr, 0), static_cast<DWORD>(NTE_INVALID_PARAMETER), &error),
        "%s", LastErrorText(error).c_str());
    report.Check("ExportNullLength",
                 Fails(exportKey(bad, bad, 0, PUBLICKEYBLOB, 0, buffer, nullptr),
                       static_cast<DWORD>(NTE_INVALID_PARAMETER), &error),
                 "%s", LastErrorText(error).c_str());
    report.Check("DestroyHashNull",
                 Fails(destroyHash(bad, 0), ERROR_INVALID_HANDLE, &error) ||
                     error == static_cast<DWORD>(NTE_INVALID_PARAMETER),
                 "%s", LastErrorText(error).c_str());
    report.Check("GenRandomRefused",
                 Fails(genRandom(0, sizeof(buffer), buffer), static_cast<DWORD>(NTE_NOT_SUPPORTED), &error),
                 "%s", LastErrorText(error).c_str());
    // Refused whether hashing is on (the handles) or off ("CSP_Compatibility" 0, checked in the strict
    // phase).
    report.Check("HashDataBadHandles", !hashData(bad, bad, buffer, 16, 0), "%s",
                 LastErrorText(GetLastError()).c_str());

    HCRYPTPROV prov = 0;
    report.Check(
        "AcquireNullContainer",
        Fails(acquire(&prov, nullptr, 0, nullptr), static_cast<DWORD>(NTE_INVALID_PARAMETER), &error), "%s",
        LastErrorText(error).c_str());
    report.Check("AcquireNullHandle",
                 Fails(acquire(nullptr, options.Serial.c_str(), 0, nullptr),
                       static_cast<DWORD>(NTE_INVALID_PARAMETER), &error),
                 "%s", LastErrorText(error).c_str());
    report.Check("AcquireUnknownContainer",
                 Fails(acquire(&prov, "00DEADBEEF", 0, nullptr), static_cast<DWORD>(NTE_NO_KEY), &error),
                 "%s", LastErrorText(error).c_str());
    prov = 0;
    BOOL verifyOnly = acquire(&prov, options.Serial.c_str(), CRYPT_VERIFYCONTEXT, nullptr);
    report.Compat("AcquireVerifyContext", verifyOnly && prov != 0, "%s",
                  LastErrorText(GetLastError()).c_str());
    if (verifyOnly) release(prov, 0);

    // A real context, then its handles after they are gone.
    char provName[] = LUCSP_PROVIDER_NAME;
    TVTableProvStruc table = {3, nullptr, nullptr, PROV_RSA_FULL, nullptr, 0, provName};
    SetLastError(kMarkError);
    BOOL acquired = acquire(&prov, options.Serial.c_str(), 0, &table);
    error = GetLastError();
    if (report.Check("Acquire", acquired && prov != 0, "error %s", LastErrorText(error).c_str())) {
        report.Check("AcquireSetsSuccess", error == ERROR_SUCCESS, "last error %s",
                     LastErrorText(error).c_str());
        len = sizeof(buffer);
        memset(buffer, 0, sizeof(buffer));
        BOOL ok = getProv(prov, PP_CONTAINER, buffer, &len, 0);
        report.Check("Container", ok && options.Serial == reinterpret_cast<char*>(buffer), "[%s]",
                     reinterpret_cast<char*>(buffer));
        HCRYPTHASH hash = 0;
        if (report.Check("CreateHash", createHash(prov, CALG_SHA_256, 0, 0, &hash) && hash != 0, "error %s",
                         LastErrorText(GetLastError()).c_str())) {
            len = sizeof(buffer);
            // Nothing hashed and no value set: CryptoAPI signs the value of no data ("CSP_Compatibility" 0
            // refuses it, checked in the strict phase).
            report.Check("SignWithoutValue",
                         signHash(prov, hash, AT_SIGNATURE, nullptr, 0, buffer, &len) != FALSE, "error %s",
                         LastErrorText(GetLastError()).c_str());
            report.Check("HashOfOtherValueRefused",
                         Fails(setHash(prov, hash + 8, HP_HASHVAL, buffer, 0), ERROR_INVALID_HANDLE, &error),
                         "%s", LastErrorText(error).c_str());
            report.Check("DestroyHash", destroyHash(prov, hash) != FALSE);
            report.Check("DestroyHashTwice", Fails(destroyHash(prov, hash), ERROR_INVALID_HANDLE, &error),
                         "%s", LastErrorText(error).c_str());
        }
        HCRYPTKEY key1 = 0, key2 = 0;
        if (report.Check("TwoUserKeys", getUserKey(prov, AT_SIGNATURE, &key1) &&
                                            getUserKey(prov, AT_SIGNATURE, &key2) && key1 != key2)) {
            report.Check("DestroyKey", destroyKey(prov, key1) && destroyKey(prov, key2));
            report.Check("DestroyKeyTwice", Fails(destroyKey(prov, key1), ERROR_INVALID_HANDLE, &error), "%s",
                         LastErrorText(error).c_str());
        }
        report.Check("Release", release(prov, 0) != FALSE, "error %s", LastErrorText(GetLastError()).c_str());
        len = sizeof(buffer);
        report.Check("ReleasedHandle",
                     Fails(getProv(prov, PP_NAME, buffer, &len, 0), ERROR_INVALID_HANDLE, &error), "%s",
                     LastErrorText(error).c_str());
        report.Check("ReleaseTwice", Fails(release(prov, 0), ERROR_INVALID_HANDLE, &error), "%s",
                     LastErrorText(error).c_str());
    }

    report.Check("RegisterNulls", !registerCert(nullptr, 0, nullptr, 0));
    report.Check("RegisterNegativeLengths", !registerCert("x", -1, "y", -5));
    report.Check("UnregisterNull", !unregisterCert(nullptr, 0));
    report.Check("UnregisterGarbage", !unregisterCert("\x30\x82\xff\xff garbage", 12));

    SetLastError(kMarkError);
    BOOL freed = FreeLibrary(module);
    error = GetLastError();
    report.Check("FreeLibrary", freed != FALSE);
    report.Check("FreeLibraryKeepsLastError", error == kMarkError, "last error %s",
                 LastErrorText(error).c_str());
    return report.Finish();
}
