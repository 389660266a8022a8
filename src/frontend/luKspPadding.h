// The padding of a key storage provider's SignHash and VerifySignature: the caller's padding info and
// flags turned into the hash row and block options of a signature.
#pragma once

#include "keys/libLUHashPaddingOID.h"
#include "keys/luBlockOptions.h"
#include "os/platNCrypt.h"

struct TLUKspPadding {
    // THT_NONE for PKCS #1 without algorithm: the value is signed without DigestInfo.
    const THashPaddingOIDInfo* Row;
    TLUBlockOptions Block;
};

// The row of a CNG hash algorithm name ("SHA256", ...); null for one that cannot be signed.
const THashPaddingOIDInfo* luKspHashRow(LPCWSTR algId);

// BCRYPT_PAD_PKCS1 (BCRYPT_PKCS1_PADDING_INFO, MD5 or SHA-1/256/384/512, or no algorithm) or
// BCRYPT_PAD_PSS (BCRYPT_PSS_PADDING_INFO, SHA-1/256/384/512 and the salt length), with
// NCRYPT_SILENT_FLAG at most besides. No padding at all is refused (NTE_BAD_FLAGS): it would be a raw
// private-key operation. A hash of another length than its algorithm's gives NTE_INVALID_PARAMETER.
int luKspParsePadding(const void* pPaddingInfo, DWORD dwFlags, DWORD cbHash, TLUKspPadding* out);
