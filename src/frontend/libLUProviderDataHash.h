// Hash objects behind the CSP's hash handles. The provider never hashes: the application hands in the
// finished value (HP_HASHVAL) and the object remembers which row of the hash table it belongs to.
#pragma once

#include "keys/libLUHashPaddingOID.h"
#include "platform/TVarnoMemory.h"

class TLUProviderDataHash {
  public:
    TLUProviderDataHash();
    ~TLUProviderDataHash();
    TLUProviderDataHash(const TLUProviderDataHash&) = delete;
    TLUProviderDataHash& operator=(const TLUProviderDataHash&) = delete;

    // Hashing inside the provider does not exist; always NTE_FAIL.
    int ComputeHash(TVarnoMemory* source, TLUProviderDataHash* hash);
    // HP_HASHVAL reads exactly LenHash bytes of the row from paramValue.
    int SetParam(DWORD paramType, const BYTE* paramValue, DWORD dwFlags);
    int GetParam(DWORD paramType, BYTE* paramValue, DWORD* paramSize, DWORD dwFlags);

    TVarnoMemory DataValue;
    // Row of the hash table; set before the handle is handed out and never changed afterwards: per-call
    // options of a signature (CRYPT_NOHASHOID) do not touch it.
    const THashPaddingOIDInfo* HashPaddingOIDInfo;
};
