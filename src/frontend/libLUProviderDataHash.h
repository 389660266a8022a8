// Hash objects behind the CSP's hash handles. A value reaches the object either from the application
// (HP_HASHVAL) or, for the algorithms OpenSSL digests, from data hashed in the object (CPHashData); the
// object also remembers which row of the hash table it belongs to.
#pragma once

#include "keys/libLUHashPaddingOID.h"
#include "platform/TVarnoMemory.h"

// OpenSSL's own name, declared here so that users of the class need no OpenSSL headers.
typedef struct evp_md_ctx_st EVP_MD_CTX;

class TLUProviderDataHash {
  public:
    TLUProviderDataHash();
    ~TLUProviderDataHash();
    TLUProviderDataHash(const TLUProviderDataHash&) = delete;
    TLUProviderDataHash& operator=(const TLUProviderDataHash&) = delete;

    // Hashing inside the provider does not exist; always NTE_FAIL. Kept for CPEncrypt with a hash
    // handle, which fails through it.
    int ComputeHash(TVarnoMemory* source, TLUProviderDataHash* hash);
    // HP_HASHVAL reads exactly LenHash bytes of the row from paramValue; it finishes the object.
    int SetParam(DWORD paramType, const BYTE* paramValue, DWORD dwFlags);
    // Reading HP_HASHVAL finishes a digesting object first.
    int GetParam(DWORD paramType, BYTE* paramValue, DWORD* paramSize, DWORD dwFlags);

    // Makes the object digest data: 0, NTE_BAD_ALGID when OpenSSL has no digest of the row (nothing
    // changes then), NTE_NO_MEMORY.
    int StartDigest();
    // More data into the value: NTE_BAD_ALGID without a digest, NTE_BAD_HASH_STATE once finished.
    int HashData(const BYTE* data, DWORD len);
    // The digest's value into DataValue, once; nothing for an object that does not digest. Called
    // before the value is read, signed or verified.
    int FinishValue();
    // This object becomes a copy of source (row, value, state and digest so far).
    int CopyFrom(const TLUProviderDataHash& source);

    TVarnoMemory DataValue;
    // Row of the hash table; set before the handle is handed out and never changed afterwards: per-call
    // options of a signature (CRYPT_NOHASHOID) do not touch it.
    const THashPaddingOIDInfo* HashPaddingOIDInfo;

  private:
    EVP_MD_CTX* Digest;
    // The value is final: set by the caller, or the digest finished.
    bool Finished;
};
