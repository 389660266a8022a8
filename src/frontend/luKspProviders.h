// The provider handles a key storage provider hands out, and which provider each key was opened
// through. A provider lives while its handle is open or any of its keys is: callers such as signtool
// free the provider before its keys. A key is a context of the provider's handle table (kind Context),
// so a signature through it takes the CSP's road, with the same lookups after each unlocked phase.
#pragma once

#include "os/platNCrypt.h"
#include "platform/platMutex.h"

#include <map>
#include <memory>

class TLUProvider;

class TLUKspProviders {
  public:
    TLUKspProviders() = default;
    TLUKspProviders(const TLUKspProviders&) = delete;
    TLUKspProviders& operator=(const TLUKspProviders&) = delete;

    // A new provider handle holding a session of provider (which loads the certificate list).
    int Open(TLUProvider* provider, NCRYPT_PROV_HANDLE* phProvider);
    // Closes the handle; the session goes with the provider's last key.
    int Free(NCRYPT_PROV_HANDLE hProvider);
    // 0 for a provider that is alive (open, or freed with keys left); NTE_INVALID_HANDLE otherwise.
    int Check(NCRYPT_PROV_HANDLE hProvider);

    // A key (a context handle opened with a session of its own) recorded under its provider.
    int AddKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey);
    // 0 when hKey was opened through hProvider.
    int CheckKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey);
    // Forgets the key; the provider goes when it was freed and this was its last key.
    int RemoveKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey);

  private:
    struct TEntry {
        TLUProvider* Provider = nullptr;
        bool Open = true;
        int Keys = 0;
    };
    // The session of entry ends when nothing holds it any more; under Mutex.
    void ReleaseIfUnused(NCRYPT_PROV_HANDLE hProvider);

    TPlatMutex Mutex;
    std::map<NCRYPT_PROV_HANDLE, std::unique_ptr<TEntry>> Providers;
    std::map<NCRYPT_KEY_HANDLE, NCRYPT_PROV_HANDLE> Keys;
};

// The process's table; lives until the process ends.
TLUKspProviders& luKspProviders();
