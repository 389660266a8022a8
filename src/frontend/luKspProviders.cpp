#include "frontend/luKspProviders.h"

#include "frontend/libLUProvider.h"
#include "platform/platDebug.h"

#include <new>

int TLUKspProviders::Open(TLUProvider* provider, NCRYPT_PROV_HANDLE* phProvider) {
    if (!provider || !phProvider) return NTE_INVALID_PARAMETER;
    std::unique_ptr<TEntry> entry(new (std::nothrow) TEntry);
    if (!entry) return NTE_NO_MEMORY;
    TLUProvider* session = nullptr;
    int result = provider->OpenStorageProvider(&session);
    if (result != 0) return result;
    entry->Provider = session;
    // The entry's address is the handle: unique while it lives, never a key's.
    const NCRYPT_PROV_HANDLE handle = reinterpret_cast<NCRYPT_PROV_HANDLE>(entry.get());
    TPlatLockGuard guard(Mutex);
    Providers[handle] = std::move(entry);
    *phProvider = handle;
    return 0;
}

int TLUKspProviders::Free(NCRYPT_PROV_HANDLE hProvider) {
    TPlatLockGuard guard(Mutex);
    auto it = Providers.find(hProvider);
    if (it == Providers.end() || !it->second->Open) {
        TRACE(DBERRO_0, "hProvider=[%p] desconhecido\n", reinterpret_cast<void*>(hProvider));
        return NTE_INVALID_HANDLE;
    }
    it->second->Open = false;
    ReleaseIfUnused(hProvider);
    return 0;
}

int TLUKspProviders::Check(NCRYPT_PROV_HANDLE hProvider) {
    TPlatLockGuard guard(Mutex);
    if (Providers.count(hProvider)) return 0;
    TRACE(DBERRO_0, "hProvider=[%p] desconhecido\n", reinterpret_cast<void*>(hProvider));
    return NTE_INVALID_HANDLE;
}

int TLUKspProviders::AddKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey) {
    TPlatLockGuard guard(Mutex);
    auto it = Providers.find(hProvider);
    if (it == Providers.end()) return NTE_INVALID_HANDLE;
    Keys[hKey] = hProvider;
    ++it->second->Keys;
    return 0;
}

int TLUKspProviders::CheckKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey) {
    TPlatLockGuard guard(Mutex);
    auto it = Keys.find(hKey);
    if (it != Keys.end() && it->second == hProvider) return 0;
    TRACE(DBERRO_0, "hKey=[%p] desconhecida em hProvider=[%p]\n", reinterpret_cast<void*>(hKey),
          reinterpret_cast<void*>(hProvider));
    return NTE_INVALID_HANDLE;
}

int TLUKspProviders::RemoveKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey) {
    TPlatLockGuard guard(Mutex);
    auto it = Keys.find(hKey);
    if (it == Keys.end() || it->second != hProvider) return NTE_INVALID_HANDLE;
    Keys.erase(it);
    auto provider = Providers.find(hProvider);
    if (provider != Providers.end()) --provider->second->Keys;
    ReleaseIfUnused(hProvider);
    return 0;
}

void TLUKspProviders::ReleaseIfUnused(NCRYPT_PROV_HANDLE hProvider) {
    auto it = Providers.find(hProvider);
    if (it == Providers.end() || it->second->Open || it->second->Keys > 0) return;
    it->second->Provider->FreeProvider(it->second->Provider, 0);
    Providers.erase(it);
}

TLUKspProviders& luKspProviders() {
    // Never destroyed: the process's end runs no provider code.
    static TLUKspProviders* table = new TLUKspProviders;
    return *table;
}
