#include "frontend/luHandleTable.h"

#include <new>

ULONG_PTR TLUHandleTable::Add(TEntry entry, ULONG_PTR handle) {
    if (!handle) return 0;
    TPlatLockGuard guard(Mutex);
    try {
        return Entries.emplace(handle, std::move(entry)).second ? handle : 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

ULONG_PTR TLUHandleTable::AddContext(const std::shared_ptr<TLUProviderKey>& key) {
    return Add(TEntry{TLUHandleKind::Context, 0, key, nullptr}, reinterpret_cast<ULONG_PTR>(key.get()));
}

ULONG_PTR TLUHandleTable::AddKey(const std::shared_ptr<TLUProviderKey>& key, ULONG_PTR owner) {
    return Add(TEntry{TLUHandleKind::Key, owner, key, nullptr}, reinterpret_cast<ULONG_PTR>(key.get()));
}

ULONG_PTR TLUHandleTable::AddHash(const std::shared_ptr<TLUProviderDataHash>& hash, ULONG_PTR owner) {
    return Add(TEntry{TLUHandleKind::Hash, owner, nullptr, hash}, reinterpret_cast<ULONG_PTR>(hash.get()));
}

std::shared_ptr<TLUProviderKey> TLUHandleTable::FindKey(ULONG_PTR handle, TLUHandleKind kind) {
    TPlatLockGuard guard(Mutex);
    auto it = Entries.find(handle);
    if (it == Entries.end() || it->second.Kind != kind) return nullptr;
    return it->second.Key;
}

std::shared_ptr<TLUProviderDataHash> TLUHandleTable::FindHash(ULONG_PTR handle) {
    TPlatLockGuard guard(Mutex);
    auto it = Entries.find(handle);
    if (it == Entries.end() || it->second.Kind != TLUHandleKind::Hash) return nullptr;
    return it->second.Hash;
}

bool TLUHandleTable::Remove(ULONG_PTR handle, TLUHandleKind kind) {
    // The objects are released after the lock: their destructors trace.
    std::map<ULONG_PTR, TEntry> removed;
    {
        TPlatLockGuard guard(Mutex);
        auto it = Entries.find(handle);
        if (it == Entries.end() || it->second.Kind != kind) return false;
        removed.insert(Entries.extract(it));
        if (kind == TLUHandleKind::Context) {
            for (auto owned = Entries.begin(); owned != Entries.end();) {
                if (owned->second.Owner == handle)
                    removed.insert(Entries.extract(owned++));
                else
                    ++owned;
            }
        }
    }
    return true;
}

void TLUHandleTable::Clear() {
    std::map<ULONG_PTR, TEntry> removed;
    {
        TPlatLockGuard guard(Mutex);
        removed.swap(Entries);
    }
}

void TLUHandleTable::ClearCertificateHandles() {
    std::map<ULONG_PTR, TEntry> removed;
    {
        TPlatLockGuard guard(Mutex);
        auto kept = [&](const TEntry& entry) {
            if (entry.Kind == TLUHandleKind::Context) return !entry.Key->HasCertificate();
            auto owner = Entries.find(entry.Owner);
            return owner != Entries.end() && !owner->second.Key->HasCertificate();
        };
        // Keys and hashes first, while their owners are still there to be asked.
        for (auto it = Entries.begin(); it != Entries.end();) {
            if (it->second.Kind != TLUHandleKind::Context && !kept(it->second))
                removed.insert(Entries.extract(it++));
            else
                ++it;
        }
        for (auto it = Entries.begin(); it != Entries.end();) {
            if (!kept(it->second))
                removed.insert(Entries.extract(it++));
            else
                ++it;
        }
    }
}

int TLUHandleTable::Count(TLUHandleKind kind) {
    TPlatLockGuard guard(Mutex);
    int count = 0;
    for (const auto& entry : Entries)
        if (entry.second.Kind == kind) ++count;
    return count;
}
