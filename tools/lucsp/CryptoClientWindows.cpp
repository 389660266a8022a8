// Windows: the provider is reached through advapi32's CryptoAPI by its registered name; the install
// and certificate exports through LoadLibrary/GetProcAddress, as an installer does.
#include "CryptoClient.h"

#include "LucspErrors.h"
#include "platform/platProductNames.h"

#include <string>

namespace {

typedef HRESULT(WINAPI* TDllInstall)(BOOL, PCWSTR);
typedef BOOL(WINAPI* TRegisterCertificate)(const char*, int, const char*, int);
typedef BOOL(WINAPI* TUnregisterCertificate)(const char*, int);

const char kLibraryFile[] = LU_PRODUCT_CSP_DLL;

std::string ExecutableDir() {
    char path[MAX_PATH * 2] = {0};
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string exe(path, n);
    size_t slash = exe.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
}

std::string SystemMessage(DWORD code) {
    char* text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string s = n && text ? std::string(text, n) : std::string();
    if (text) LocalFree(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s;
}

} // namespace

struct TCryptoClient::TImpl {
    std::string Path;
    HMODULE Module = nullptr;
    TDllInstall DllInstall = nullptr;
    TRegisterCertificate RegisterCertificate = nullptr;
    TUnregisterCertificate UnregisterCertificate = nullptr;

    ~TImpl() {
        if (Module) FreeLibrary(Module);
    }
};

TCryptoClient::TCryptoClient() : Impl(new TImpl) {}

TCryptoClient::~TCryptoClient() {}

std::string TCryptoClient::LibraryPath() const {
    return Impl->Path;
}

uint32_t TCryptoClient::Open(const std::string& libraryPath) {
    if (!libraryPath.empty()) {
        Impl->Path = libraryPath;
    } else {
        // Beside the tool first; otherwise the loader's search (System32 for an installed provider).
        std::string beside = ExecutableDir() + kLibraryFile;
        Impl->Path = GetFileAttributesA(beside.c_str()) != INVALID_FILE_ATTRIBUTES ? beside : kLibraryFile;
    }
    return 0;
}

namespace {

// GetProcAddress hands back a generic function pointer; the export's real type goes through void(*)().
template <typename T> T Export(HMODULE module, const char* name) {
    return reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

uint32_t LoadExports(TCryptoClient::TImpl* impl, std::string& failed, std::string& loadError) {
    if (impl->Module) return 0;
    impl->Module = LoadLibraryA(impl->Path.c_str());
    if (!impl->Module) {
        DWORD code = GetLastError();
        failed = "LoadLibrary";
        loadError = impl->Path + ": " + SystemMessage(code);
        return code ? code : LUCSP_ERROR_MOD_NOT_FOUND;
    }
    impl->DllInstall = Export<TDllInstall>(impl->Module, "DllInstall");
    impl->RegisterCertificate =
        Export<TRegisterCertificate>(impl->Module, "TrelisServer_RegisterCertificate");
    impl->UnregisterCertificate =
        Export<TUnregisterCertificate>(impl->Module, "TrelisServer_UnregisterCertificate");
    if (!impl->DllInstall || !impl->RegisterCertificate || !impl->UnregisterCertificate) {
        failed = "GetProcAddress";
        loadError = impl->Path + " lacks DllInstall or the TrelisServer_ exports";
        FreeLibrary(impl->Module);
        impl->Module = nullptr;
        return LUCSP_ERROR_PROC_NOT_FOUND;
    }
    return 0;
}

} // namespace

uint32_t TCryptoClient::AcquireContext(TProv* prov, const char* container, DWORD flags) {
    HCRYPTPROV h = 0;
    SetLastError(0);
    BOOL ok = CryptAcquireContextA(&h, container, LUCSP_PROVIDER_NAME, PROV_RSA_FULL, flags);
    if (ok) *prov = h;
    return Result(ok, "CryptAcquireContextA");
}

uint32_t TCryptoClient::ReleaseContext(TProv prov) {
    SetLastError(0);
    return Result(CryptReleaseContext(prov, 0), "CryptReleaseContext");
}

uint32_t TCryptoClient::GetProvParam(TProv prov, DWORD param, BYTE* data, DWORD* len) {
    SetLastError(0);
    return Result(CryptGetProvParam(prov, param, data, len, 0), "CryptGetProvParam");
}

uint32_t TCryptoClient::CreateHash(TProv prov, ALG_ID alg, THash* hash) {
    HCRYPTHASH h = 0;
    SetLastError(0);
    BOOL ok = CryptCreateHash(prov, alg, 0, 0, &h);
    if (ok) *hash = h;
    return Result(ok, "CryptCreateHash");
}

uint32_t TCryptoClient::SetHashParam(TProv, THash hash, DWORD param, const BYTE* data) {
    SetLastError(0);
    return Result(CryptSetHashParam(hash, param, data, 0), "CryptSetHashParam");
}

uint32_t TCryptoClient::GetHashParam(TProv, THash hash, DWORD param, BYTE* data, DWORD* len) {
    SetLastError(0);
    return Result(CryptGetHashParam(hash, param, data, len, 0), "CryptGetHashParam");
}

uint32_t TCryptoClient::SignHash(TProv, THash hash, DWORD keySpec, DWORD flags, BYTE* sig, DWORD* len) {
    SetLastError(0);
    return Result(CryptSignHashA(hash, keySpec, nullptr, flags, sig, len), "CryptSignHashA");
}

uint32_t TCryptoClient::VerifySignature(TProv, THash hash, const BYTE* sig, DWORD len, TKey pubKey,
                                        DWORD flags) {
    SetLastError(0);
    return Result(CryptVerifySignatureA(hash, sig, len, pubKey, nullptr, flags), "CryptVerifySignatureA");
}

uint32_t TCryptoClient::DestroyHash(TProv, THash hash) {
    SetLastError(0);
    return Result(CryptDestroyHash(hash), "CryptDestroyHash");
}

uint32_t TCryptoClient::GetUserKey(TProv prov, DWORD keySpec, TKey* key) {
    HCRYPTKEY h = 0;
    SetLastError(0);
    BOOL ok = CryptGetUserKey(prov, keySpec, &h);
    if (ok) *key = h;
    return Result(ok, "CryptGetUserKey");
}

uint32_t TCryptoClient::ExportKey(TProv, TKey key, DWORD blobType, BYTE* data, DWORD* len) {
    SetLastError(0);
    return Result(CryptExportKey(key, 0, blobType, 0, data, len), "CryptExportKey");
}

uint32_t TCryptoClient::DestroyKey(TProv, TKey key) {
    SetLastError(0);
    return Result(CryptDestroyKey(key), "CryptDestroyKey");
}

uint32_t TCryptoClient::DllInstall(bool install, HRESULT* result) {
    if (uint32_t code = LoadExports(Impl.get(), Failed, LoadErrorText)) return code;
    SetLastError(0);
    *result = Impl->DllInstall(install ? TRUE : FALSE, L"");
    Failed = "DllInstall";
    return 0;
}

uint32_t TCryptoClient::RegisterCertificate(const std::string& certificate, const std::string& token) {
    if (uint32_t code = LoadExports(Impl.get(), Failed, LoadErrorText)) return code;
    SetLastError(0);
    BOOL ok = Impl->RegisterCertificate(certificate.data(), static_cast<int>(certificate.size()),
                                        token.data(), static_cast<int>(token.size()));
    return Result(ok, "TrelisServer_RegisterCertificate");
}

uint32_t TCryptoClient::UnregisterCertificate(const std::string& certificate) {
    if (uint32_t code = LoadExports(Impl.get(), Failed, LoadErrorText)) return code;
    SetLastError(0);
    BOOL ok = Impl->UnregisterCertificate(certificate.data(), static_cast<int>(certificate.size()));
    return Result(ok, "TrelisServer_UnregisterCertificate");
}
