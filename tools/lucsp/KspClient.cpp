#include "KspClient.h"

#include "LucspErrors.h"
#include "os/platNCrypt.h"
#include "platform/platProductNames.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace {

// CNG's names are UTF-16 on both systems; the container is a hexadecimal serial, the hash a plain name.
std::basic_string<WCHAR> Wide(const std::string& s) {
    return std::basic_string<WCHAR>(s.begin(), s.end());
}

} // namespace

struct TKspClient::TImpl {
    void* Handle = nullptr;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* Table = nullptr;
};

TKspClient::TKspClient() : Impl(new TImpl) {}
TKspClient::~TKspClient() {}

uint32_t TKspClient::Open(const std::string& cspLibrary) {
#ifdef _WIN32
    // The installed DLL from the system folder, as its registration names it.
    (void)cspLibrary;
    HMODULE module = LoadLibraryExA(LU_PRODUCT_KSP_DLL, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    auto get = module ? reinterpret_cast<GetKeyStorageInterfaceFn>(
                            reinterpret_cast<void*>(GetProcAddress(module, "GetKeyStorageInterface")))
                      : nullptr;
#else
    std::string path = cspLibrary;
    const size_t at = path.rfind("Varno_LUCSP_Server");
    if (at != std::string::npos) path.replace(at, 18, "Varno_LUKSP_Server");
    if (path.find('/') == std::string::npos) path = "./" + path;
    Impl->Handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    auto get = Impl->Handle
                   ? reinterpret_cast<GetKeyStorageInterfaceFn>(dlsym(Impl->Handle, "GetKeyStorageInterface"))
                   : nullptr;
#endif
    if (!get || get(LU_WTEXT("Varno Key Storage Provider Server"), &Impl->Table, 0) != 0 || !Impl->Table) {
        Failed = "GetKeyStorageInterface";
        return LUCSP_ERROR_MOD_NOT_FOUND;
    }
    return 0;
}

uint32_t TKspClient::Sign(const std::string& container, const char* hashName,
                          const std::vector<uint8_t>& hash, bool pss, std::vector<uint8_t>& sig) {
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* t = Impl->Table;
    NCRYPT_PROV_HANDLE prov = 0;
    NCRYPT_KEY_HANDLE key = 0;
    const std::basic_string<WCHAR> name = Wide(container), alg = Wide(hashName);
    BCRYPT_PKCS1_PADDING_INFO pkcs1{alg.c_str()};
    BCRYPT_PSS_PADDING_INFO pssInfo{alg.c_str(), static_cast<ULONG>(hash.size())};
    void* info = pss ? static_cast<void*>(&pssInfo) : static_cast<void*>(&pkcs1);
    const DWORD flags = pss ? BCRYPT_PAD_PSS : BCRYPT_PAD_PKCS1;
    std::vector<uint8_t> h = hash;
    DWORD size = 0;
    SECURITY_STATUS s = t->OpenProvider(&prov, LU_WTEXT("Varno Key Storage Provider Server"), 0);
    Failed = "OpenProvider";
    if (s == 0) {
        Failed = "OpenKey";
        s = t->OpenKey(prov, &key, name.c_str(), 0, NCRYPT_SILENT_FLAG);
    }
    if (s == 0) {
        Failed = "SignHash";
        s = t->SignHash(prov, key, info, h.data(), static_cast<DWORD>(h.size()), nullptr, 0, &size, flags);
    }
    if (s == 0) {
        sig.assign(size, 0);
        s = t->SignHash(prov, key, info, h.data(), static_cast<DWORD>(h.size()), sig.data(), size, &size,
                        flags);
        sig.resize(size);
    }
    if (key) t->FreeKey(prov, key);
    if (prov) t->FreeProvider(prov);
    return static_cast<uint32_t>(s);
}
