// What an installer does: load the provider, hand it the service certificate and its token, and take them
// out again; checked in the store and the registry as Windows shows them.
#include "wineCheck.h"

#include <cstring>

namespace {

typedef BOOL(WINAPI* TRegisterCertificate)(const char*, int, const char*, int);
typedef BOOL(WINAPI* TUnregisterCertificate)(const char*, int);

const DWORD kMarkError = 0x2BADF00D;

std::string TokenKeyPath(const std::string& serial) {
    return "SOFTWARE\\Varno\\Trelis_Server\\" + serial;
}

// The token stored for serial in the given view, or false when there is none.
bool ReadToken(const std::string& serial, REGSAM view, std::string& token) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, TokenKeyPath(serial).c_str(), 0, KEY_READ | view, &key) !=
        ERROR_SUCCESS)
        return false;
    BYTE data[1024];
    DWORD type = 0, len = sizeof(data);
    LONG rc = RegQueryValueExA(key, "Token", nullptr, &type, data, &len);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_BINARY) return false;
    token.assign(reinterpret_cast<char*>(data), len);
    return true;
}

// The token as the user's DPAPI opens it; empty when the value is not a blob of this user.
std::string Unprotected(const std::string& stored) {
    DATA_BLOB in{static_cast<DWORD>(stored.size()),
                 reinterpret_cast<BYTE*>(const_cast<char*>(stored.data()))};
    DATA_BLOB out{0, nullptr};
    if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out))
        return "";
    std::string plain(reinterpret_cast<char*>(out.pbData), out.cbData);
    LocalFree(out.pbData);
    return plain;
}

struct TLoadedProvider {
    HMODULE Module = nullptr;
    TRegisterCertificate Register = nullptr;
    TUnregisterCertificate Unregister = nullptr;
};

// Loads the provider as an installer does and checks that its start-up leaves the thread's last error alone.
bool LoadProvider(TWineReport& report, TLoadedProvider& provider) {
    PreloadSystemLibraries();
    SetLastError(kMarkError);
    provider.Module = LoadLibraryA(LUCSP_DLL_NAME);
    DWORD error = GetLastError();
    if (!report.Check("LoadLibrary", provider.Module != nullptr, "error %s", LastErrorText(error).c_str()))
        return false;
    report.Check("LoadLibraryKeepsLastError", error == kMarkError, "last error %s after the load",
                 LastErrorText(error).c_str());
    provider.Register = reinterpret_cast<TRegisterCertificate>(
        reinterpret_cast<void*>(GetProcAddress(provider.Module, "TrelisServer_RegisterCertificate")));
    provider.Unregister = reinterpret_cast<TUnregisterCertificate>(
        reinterpret_cast<void*>(GetProcAddress(provider.Module, "TrelisServer_UnregisterCertificate")));
    return report.Check("CertificateExports", provider.Register && provider.Unregister);
}

void UnloadProvider(TWineReport& report, TLoadedProvider& provider) {
    SetLastError(kMarkError);
    BOOL freed = FreeLibrary(provider.Module);
    DWORD error = GetLastError();
    report.Check("FreeLibrary", freed != FALSE);
    report.Check("FreeLibraryKeepsLastError", error == kMarkError, "last error %s after the unload",
                 LastErrorText(error).c_str());
}

} // namespace

int RunRegisterPhase(const TWineOptions& options) {
    TWineReport report("register", options.CompatRequired);
    std::vector<BYTE> pem, der;
    if (!report.Check("ReadCertificate", ReadFileBytes(options.CertFile, pem) && PemToDer(pem, der),
                      "cannot read %s", options.CertFile.c_str()))
        return report.Finish();
    // On Windows "MY" always exists; a fresh Wine prefix makes it on first open.
    HCERTSTORE store = OpenPersonalStore();
    if (!report.Check("OpenPersonalStore", store != nullptr, "error %s",
                      LastErrorText(GetLastError()).c_str()))
        return report.Finish();
    CertCloseStore(store, 0);
    int count = CountInPersonalStore(der);
    report.Check("NotInstalledBefore", count == 0, "%d copies in MY", count);
    TLoadedProvider provider;
    if (!LoadProvider(report, provider)) return report.Finish();
    const char* cert = reinterpret_cast<const char*>(pem.data());
    const int certLen = static_cast<int>(pem.size());
    const int tokenLen = static_cast<int>(options.Token.size());

    report.Check("RefusesNullToken", !provider.Register(cert, certLen, nullptr, 0));
    report.Check("RefusesEmptyToken", !provider.Register(cert, certLen, options.Token.c_str(), 0));
    report.Check("RefusesNullCertificate",
                 !provider.Register(nullptr, certLen, options.Token.c_str(), tokenLen));
    report.Check("RefusesGarbageCertificate", !provider.Register("-----BEGIN CERTIFICATE-----\nAAAA\n", 33,
                                                                 options.Token.c_str(), tokenLen));
    count = CountInPersonalStore(der);
    report.Check("NothingInstalledByRefusals", count == 0, "%d copies in MY", count);

    BOOL first = provider.Register(cert, certLen, options.Token.c_str(), tokenLen);
    report.Check("RegisterCertificate", first != FALSE, "error %s", LastErrorText(GetLastError()).c_str());
    BOOL second = provider.Register(cert, certLen, options.Token.c_str(), tokenLen);
    report.Check("RegisterCertificateAgain", second != FALSE, "error %s",
                 LastErrorText(GetLastError()).c_str());

    store = OpenPersonalStore();
    PCCERT_CONTEXT found = store ? FindCertificate(store, der, &count) : nullptr;
    report.Check("CertificateInPersonalStore", found != nullptr && count == 1, "%d copies in MY", count);
    if (found) {
        std::vector<BYTE> info = KeyProvInfoOf(found);
        if (report.Check("KeyProviderInfo", !info.empty(), "no CERT_KEY_PROV_INFO_PROP_ID")) {
            const CRYPT_KEY_PROV_INFO* prov = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(info.data());
            std::string container = WideToText(prov->pwszContainerName);
            std::string name = WideToText(prov->pwszProvName);
            report.Check("KeyProviderContainer", container == options.Serial, "container [%s], serial [%s]",
                         container.c_str(), options.Serial.c_str());
            report.Check("KeyProviderName", name == LUCSP_PROVIDER_NAME, "provider [%s]", name.c_str());
            report.Check("KeyProviderType", prov->dwProvType == PROV_RSA_FULL, "type %lu",
                         static_cast<unsigned long>(prov->dwProvType));
            report.Check("KeyProviderKeySpec", prov->dwKeySpec == AT_KEYEXCHANGE, "dwKeySpec %lu",
                         static_cast<unsigned long>(prov->dwKeySpec));
        }
        CertFreeCertificateContext(found);
    }

    std::string token;
    // Stored protected for the user: the value is no plain text, and DPAPI gives the token back.
    report.Check("TokenStored",
                 ReadToken(options.Serial, 0, token) && token.find(options.Token) == std::string::npos &&
                     Unprotected(token) == options.Token,
                 "HKCU\\%s Token missing, in plain text or different", TokenKeyPath(options.Serial).c_str());

    if (store) CertCloseStore(store, 0);
    UnloadProvider(report, provider);
    return report.Finish();
}

int RunUnregisterPhase(const TWineOptions& options) {
    TWineReport report("unregister", options.CompatRequired);
    std::vector<BYTE> pem, der;
    if (!report.Check("ReadCertificate", ReadFileBytes(options.CertFile, pem) && PemToDer(pem, der),
                      "cannot read %s", options.CertFile.c_str()))
        return report.Finish();
    int count = CountInPersonalStore(der);
    report.Check("InstalledBefore", count == 1, "%d copies in MY", count);
    TLoadedProvider provider;
    if (!LoadProvider(report, provider)) return report.Finish();
    const char* cert = reinterpret_cast<const char*>(pem.data());
    const int certLen = static_cast<int>(pem.size());

    report.Check("RefusesNullCertificate", !provider.Unregister(nullptr, certLen));
    report.Check("RefusesGarbageCertificate", !provider.Unregister("not a certificate", 17));
    BOOL removed = provider.Unregister(cert, certLen);
    report.Check("UnregisterCertificate", removed != FALSE, "error %s",
                 LastErrorText(GetLastError()).c_str());
    count = CountInPersonalStore(der);
    report.Check("CertificateRemovedFromStore", count == 0, "%d copies left in MY", count);
    std::string token;
    report.Check("TokenRemoved", !ReadToken(options.Serial, 0, token), "HKCU\\%s still holds a token",
                 TokenKeyPath(options.Serial).c_str());
    report.Check("UnregisterNotInstalled", provider.Unregister(cert, certLen) != FALSE);

    // Without its certificate the container is gone for applications too.
    HCRYPTPROV prov = 0;
    BOOL acquired =
        CryptAcquireContextA(&prov, options.Serial.c_str(), LUCSP_PROVIDER_NAME, PROV_RSA_FULL, 0);
    DWORD error = GetLastError();
    report.Check("ContainerGone", !acquired && error == static_cast<DWORD>(NTE_NO_KEY),
                 "acquired %d, error %s", acquired, LastErrorText(error).c_str());
    if (acquired) CryptReleaseContext(prov, 0);

    UnloadProvider(report, provider);
    return report.Finish();
}
