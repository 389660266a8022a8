#include "keys/luResultCache.h"

#include "platform/platDebug.h"

#include <cstring>

TLUResultCache::TLUResultCache() : Valid(false), Options{TKP_PAD_NONE, 0} {}

bool TLUResultCache::Find(const TVarnoMemory& input, const TLUBlockOptions& options, TVarnoMemory* result) {
    TPlatLockGuard guard(Lock);
    if (!Valid || !result || options.KeyPadding != Options.KeyPadding ||
        options.KeyPaddingPKCS1Type != Options.KeyPaddingPKCS1Type)
        return false;
    // Equal MD5 digests alone do not prove equal input.
    if (input.LenFileData == 0 || input.LenFileData != Input.LenFileData ||
        memcmp(input.DigestMD5, Input.DigestMD5, sizeof(input.DigestMD5)) != 0 ||
        memcmp(input.FileData, Input.FileData, input.LenFileData) != 0)
        return false;
    TRACE(DBINFO_0, "Hash é identico ao assinado anterioremente\n");
    return result->LoadFromMemory(Result.FileData, Result.LenFileData) != 0;
}

bool TLUResultCache::Store(const TVarnoMemory& input, const TLUBlockOptions& options,
                           const TVarnoMemory& result) {
    TPlatLockGuard guard(Lock);
    Forget();
    if (!Input.LoadFromMemory(input.FileData, input.LenFileData) ||
        !Result.LoadFromMemory(result.FileData, result.LenFileData)) {
        Forget();
        return false;
    }
    // The block builder computed the input's MD5 already.
    memcpy(Input.DigestMD5, input.DigestMD5, sizeof(Input.DigestMD5));
    Options = options;
    Valid = true;
    return true;
}

void TLUResultCache::Forget() {
    TPlatLockGuard guard(Lock);
    Valid = false;
    Input.Clear();
    Result.Clear();
}

bool TLUResultCache::IsValid() const {
    TPlatLockGuard guard(Lock);
    return Valid;
}
