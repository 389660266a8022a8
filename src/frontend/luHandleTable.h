// The provider's table of every handle it has handed out. A handle is the address of its object, kept
// as an opaque number; the table records its kind and the context it was made through, and a handle is
// only ever used after it has been found here with the kind the call expects. Lookups hand out shared
// ownership, so an object stays alive for the call that uses it even when another call removes it.
#pragma once

#include "frontend/libLUProviderDataHash.h"
#include "keys/libLUProviderKEY.h"
#include "platform/platMutex.h"

#include <map>
#include <memory>

enum class TLUHandleKind { Context, Key, Hash };

class TLUHandleTable {
  public:
    TLUHandleTable() = default;
    TLUHandleTable(const TLUHandleTable&) = delete;
    TLUHandleTable& operator=(const TLUHandleTable&) = delete;

    // The new handle (the object's address), 0 when it could not be recorded. owner is the context a
    // key or hash is made through (0 for a context).
    ULONG_PTR AddContext(const std::shared_ptr<TLUProviderKey>& key);
    ULONG_PTR AddKey(const std::shared_ptr<TLUProviderKey>& key, ULONG_PTR owner);
    ULONG_PTR AddHash(const std::shared_ptr<TLUProviderDataHash>& hash, ULONG_PTR owner);

    // The object of handle when it is of the kind asked for, else null.
    std::shared_ptr<TLUProviderKey> FindKey(ULONG_PTR handle, TLUHandleKind kind);
    std::shared_ptr<TLUProviderDataHash> FindHash(ULONG_PTR handle);

    // Forgets handle when it is of the kind given; a context takes every key and hash made through it
    // along. False when there was no such handle.
    bool Remove(ULONG_PTR handle, TLUHandleKind kind);
    void Clear();
    // Clear, except the contexts without certificate (CRYPT_VERIFYCONTEXT) and the keys (imported) and
    // hashes made through them: they hold nothing of the certificate list.
    void ClearCertificateHandles();
    int Count(TLUHandleKind kind);

  private:
    struct TEntry {
        TLUHandleKind Kind;
        ULONG_PTR Owner;
        std::shared_ptr<TLUProviderKey> Key;
        std::shared_ptr<TLUProviderDataHash> Hash;
    };
    ULONG_PTR Add(TEntry entry, ULONG_PTR handle);

    TPlatMutex Mutex;
    std::map<ULONG_PTR, TEntry> Entries;
};
