// The handle lookups that open the CSP handlers; internal to the handlers of luCsp*.cpp.
#pragma once

#include "frontend/libLUProvider.h"
#include "frontend/libLUProviderDataHash.h"
#include "keys/libLUProviderKEY.h"

#include <memory>

using TLUKeyRef = std::shared_ptr<TLUProviderKey>;
using TLUHashRef = std::shared_ptr<TLUProviderDataHash>;

// A pointer in a trace field written as a 32-bit number.
inline int luPtrAsInt(const void* p) {
    return static_cast<int>(reinterpret_cast<intptr_t>(p));
}

// The session and the context key of hProv: every entry point with a provider handle starts here.
int luCspContextOf(HCRYPTPROV hProv, TLUProvider** session, TLUKeyRef* context);
// ...for a call that needs the context's key: a verify-only context has none (NTE_BAD_KEY).
int luCspKeyContextOf(HCRYPTPROV hProv, TLUProvider** session, TLUKeyRef* context);
// The session, the context key and the hash object of a hash entry point.
int luCspHashOf(HCRYPTPROV hProv, HCRYPTHASH hHash, TLUProvider** session, TLUKeyRef* context,
                TLUHashRef* hash);
// ...and for a signature entry point, the hash must know its algorithm.
int luCspSignedHashOf(HCRYPTPROV hProv, HCRYPTHASH hHash, TLUKeyRef* context, TLUHashRef* hash);
