// Linux: the provider library is dlopen()ed and driven through its CP* entry points as advapi32 would.
#include "CryptoClient.h"

#include "LucspErrors.h"
#include "os/platOS.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>

namespace {

typedef BOOL (*TCPAcquireContext)(HCRYPTPROV*, LPCSTR, DWORD, PVTableProvStruc);
typedef BOOL (*TCPReleaseContext)(HCRYPTPROV, DWORD);
typedef BOOL (*TCPGetProvParam)(HCRYPTPROV, DWORD, BYTE*, DWORD*, DWORD);
typedef BOOL (*TCPCreateHash)(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH*);
typedef BOOL (*TCPSetHashParam)(HCRYPTPROV, HCRYPTHASH, DWORD, const BYTE*, DWORD);
typedef BOOL (*TCPGetHashParam)(HCRYPTPROV, HCRYPTHASH, DWORD, BYTE*, DWORD*, DWORD);
typedef BOOL (*TCPSignHash)(HCRYPTPROV, HCRYPTHASH, DWORD, LPCWSTR, DWORD, BYTE*, DWORD*);
typedef BOOL (*TCPVerifySignature)(HCRYPTPROV, HCRYPTHASH, const BYTE*, DWORD, HCRYPTKEY, LPCWSTR, DWORD);
typedef BOOL (*TCPDestroyHash)(HCRYPTPROV, HCRYPTHASH);
typedef BOOL (*TCPGetUserKey)(HCRYPTPROV, DWORD, HCRYPTKEY*);
typedef BOOL (*TCPExportKey)(HCRYPTPROV, HCRYPTKEY, HCRYPTKEY, DWORD, DWORD, BYTE*, DWORD*);
typedef BOOL (*TCPDestroyKey)(HCRYPTPROV, HCRYPTKEY);
typedef HRESULT (*TDllInstall)(BOOL, PCWSTR);
typedef BOOL (*TRegisterCertificate)(const char*, int, const char*, int);
typedef BOOL (*TUnregisterCertificate)(const char*, int);

const char kLibraryFile[] = "Varno_LUCSP_Server.so";

bool IsFile(const std::string& path) {
    return !path.empty() && access(path.c_str(), R_OK) == 0;
}

// Next to the executable first (an installed tool), then the library of the build tree the tool came from.
std::string DefaultLibrary() {
    std::string exe = osExecutablePath();
    size_t slash = exe.rfind('/');
    if (slash != std::string::npos) {
        std::string beside = exe.substr(0, slash + 1) + kLibraryFile;
        if (IsFile(beside)) return beside;
    }
#ifdef LUCSP_BUILD_LIBRARY
    if (IsFile(LUCSP_BUILD_LIBRARY)) return LUCSP_BUILD_LIBRARY;
#endif
    return kLibraryFile;
}

} // namespace

struct TCryptoClient::TImpl {
    void* Handle = nullptr;
    std::string Path;
    TCPAcquireContext AcquireContext = nullptr;
    TCPReleaseContext ReleaseContext = nullptr;
    TCPGetProvParam GetProvParam = nullptr;
    TCPCreateHash CreateHash = nullptr;
    TCPSetHashParam SetHashParam = nullptr;
    TCPGetHashParam GetHashParam = nullptr;
    TCPSignHash SignHash = nullptr;
    TCPVerifySignature VerifySignature = nullptr;
    TCPDestroyHash DestroyHash = nullptr;
    TCPGetUserKey GetUserKey = nullptr;
    TCPExportKey ExportKey = nullptr;
    TCPDestroyKey DestroyKey = nullptr;
    TDllInstall DllInstall = nullptr;
    TRegisterCertificate RegisterCertificate = nullptr;
    TUnregisterCertificate UnregisterCertificate = nullptr;

    ~TImpl() {
        if (Handle) dlclose(Handle);
    }
};

TCryptoClient::TCryptoClient() : Impl(new TImpl) {}

TCryptoClient::~TCryptoClient() {}

std::string TCryptoClient::LibraryPath() const {
    return Impl->Path;
}

uint32_t TCryptoClient::Open(const std::string& libraryPath) {
    if (Impl->Handle) return 0;
    Impl->Path = libraryPath.empty() ? DefaultLibrary() : libraryPath;
    // A bare name would make dlopen search the system paths; a name with a slash is a file.
    std::string path = Impl->Path;
    if (!libraryPath.empty() && path.find('/') == std::string::npos) path = "./" + path;
    dlerror();
    // Kept mapped until the process ends: the Linux stand-ins of the registry and the certificate store
    // hold process-wide tables for the life of the process, as the system services they replace do, and
    // unmapping the library would orphan them. Its teardown runs at exit instead of at dlclose.
    Impl->Handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!Impl->Handle) {
        const char* err = dlerror();
        LoadErrorText = err ? err : "";
        Failed = "dlopen";
        return LUCSP_ERROR_MOD_NOT_FOUND;
    }
    struct TSym {
        const char* Name;
        void** Slot;
    } syms[] = {
        {"CPAcquireContext", reinterpret_cast<void**>(&Impl->AcquireContext)},
        {"CPReleaseContext", reinterpret_cast<void**>(&Impl->ReleaseContext)},
        {"CPGetProvParam", reinterpret_cast<void**>(&Impl->GetProvParam)},
        {"CPCreateHash", reinterpret_cast<void**>(&Impl->CreateHash)},
        {"CPSetHashParam", reinterpret_cast<void**>(&Impl->SetHashParam)},
        {"CPGetHashParam", reinterpret_cast<void**>(&Impl->GetHashParam)},
        {"CPSignHash", reinterpret_cast<void**>(&Impl->SignHash)},
        {"CPVerifySignature", reinterpret_cast<void**>(&Impl->VerifySignature)},
        {"CPDestroyHash", reinterpret_cast<void**>(&Impl->DestroyHash)},
        {"CPGetUserKey", reinterpret_cast<void**>(&Impl->GetUserKey)},
        {"CPExportKey", reinterpret_cast<void**>(&Impl->ExportKey)},
        {"CPDestroyKey", reinterpret_cast<void**>(&Impl->DestroyKey)},
        {"DllInstall", reinterpret_cast<void**>(&Impl->DllInstall)},
        {"TrelisServer_RegisterCertificate", reinterpret_cast<void**>(&Impl->RegisterCertificate)},
        {"TrelisServer_UnregisterCertificate", reinterpret_cast<void**>(&Impl->UnregisterCertificate)},
    };
    for (const TSym& s : syms) {
        *s.Slot = dlsym(Impl->Handle, s.Name);
        if (!*s.Slot) {
            // advapi32 refuses a provider that lacks an entry point; so does the tool.
            LoadErrorText = std::string("the library has no export ") + s.Name;
            Failed = "dlsym";
            dlclose(Impl->Handle);
            Impl->Handle = nullptr;
            return LUCSP_ERROR_PROC_NOT_FOUND;
        }
    }
    LoadErrorText.clear();
    return 0;
}

uint32_t TCryptoClient::AcquireContext(TProv* prov, const char* container, DWORD flags) {
    // advapi32 hands the provider a version-3 record with its own callbacks; the provider fills in its
    // description. No callbacks exist here.
    VTableProvStruc vtable;
    std::memset(&vtable, 0, sizeof(vtable));
    vtable.Version = 3;
    vtable.dwProvType = PROV_RSA_FULL;
    HCRYPTPROV h = 0;
    SetLastError(0);
    BOOL ok = Impl->AcquireContext(&h, container, flags, &vtable);
    if (ok) *prov = h;
    return Result(ok, "CPAcquireContext");
}

uint32_t TCryptoClient::ReleaseContext(TProv prov) {
    SetLastError(0);
    return Result(Impl->ReleaseContext(prov, 0), "CPReleaseContext");
}

uint32_t TCryptoClient::GetProvParam(TProv prov, DWORD param, BYTE* data, DWORD* len) {
    SetLastError(0);
    return Result(Impl->GetProvParam(prov, param, data, len, 0), "CPGetProvParam");
}

uint32_t TCryptoClient::CreateHash(TProv prov, ALG_ID alg, THash* hash) {
    HCRYPTHASH h = 0;
    SetLastError(0);
    BOOL ok = Impl->CreateHash(prov, alg, 0, 0, &h);
    if (ok) *hash = h;
    return Result(ok, "CPCreateHash");
}

uint32_t TCryptoClient::SetHashParam(TProv prov, THash hash, DWORD param, const BYTE* data) {
    SetLastError(0);
    return Result(Impl->SetHashParam(prov, hash, param, data, 0), "CPSetHashParam");
}

uint32_t TCryptoClient::GetHashParam(TProv prov, THash hash, DWORD param, BYTE* data, DWORD* len) {
    SetLastError(0);
    return Result(Impl->GetHashParam(prov, hash, param, data, len, 0), "CPGetHashParam");
}

uint32_t TCryptoClient::SignHash(TProv prov, THash hash, DWORD keySpec, DWORD flags, BYTE* sig, DWORD* len) {
    SetLastError(0);
    return Result(Impl->SignHash(prov, hash, keySpec, nullptr, flags, sig, len), "CPSignHash");
}

uint32_t TCryptoClient::VerifySignature(TProv prov, THash hash, const BYTE* sig, DWORD len, TKey pubKey,
                                        DWORD flags) {
    SetLastError(0);
    return Result(Impl->VerifySignature(prov, hash, sig, len, pubKey, nullptr, flags), "CPVerifySignature");
}

uint32_t TCryptoClient::DestroyHash(TProv prov, THash hash) {
    SetLastError(0);
    return Result(Impl->DestroyHash(prov, hash), "CPDestroyHash");
}

uint32_t TCryptoClient::GetUserKey(TProv prov, DWORD keySpec, TKey* key) {
    HCRYPTKEY h = 0;
    SetLastError(0);
    BOOL ok = Impl->GetUserKey(prov, keySpec, &h);
    if (ok) *key = h;
    return Result(ok, "CPGetUserKey");
}

uint32_t TCryptoClient::ExportKey(TProv prov, TKey key, DWORD blobType, BYTE* data, DWORD* len) {
    SetLastError(0);
    return Result(Impl->ExportKey(prov, key, 0, blobType, 0, data, len), "CPExportKey");
}

uint32_t TCryptoClient::DestroyKey(TProv prov, TKey key) {
    SetLastError(0);
    return Result(Impl->DestroyKey(prov, key), "CPDestroyKey");
}

uint32_t TCryptoClient::DllInstall(bool install, HRESULT* result) {
    // regsvr32 /n /i passes the text after /i:, an empty one here.
    static const WCHAR empty[1] = {0};
    SetLastError(0);
    *result = Impl->DllInstall(install ? TRUE : FALSE, empty);
    Failed = "DllInstall";
    return 0;
}

uint32_t TCryptoClient::RegisterCertificate(const std::string& certificate, const std::string& token) {
    SetLastError(0);
    BOOL ok = Impl->RegisterCertificate(certificate.data(), static_cast<int>(certificate.size()),
                                        token.data(), static_cast<int>(token.size()));
    return Result(ok, "TrelisServer_RegisterCertificate");
}

uint32_t TCryptoClient::UnregisterCertificate(const std::string& certificate) {
    SetLastError(0);
    BOOL ok = Impl->UnregisterCertificate(certificate.data(), static_cast<int>(certificate.size()));
    return Result(ok, "TrelisServer_UnregisterCertificate");
}
