// The hash algorithms a signature can be made for, with the DER DigestInfo prefix that is placed in
// front of the hash value before padding (PKCS #1 v1.5, RFC 8017 section 9.2 note 1).
#pragma once

#include "os/platTypes.h"

enum THashAlgType : int {
    THT_NONE = 0,
    THT_MD2 = 1,
    THT_MD5 = 2,
    THT_SHA1 = 3,
    THT_SHA256 = 4,
    THT_SHA384 = 5,
    THT_SHA512 = 6,
    // SSL 3.0 / TLS 1.0 client authentication: MD5 then SHA-1 of the handshake, 36 bytes, signed without
    // DigestInfo.
    THT_SSL3_SHAMD5 = 7,
};

struct THashPaddingOIDInfo {
    int HashAlgType;
    ALG_ID AlgId;
    const WCHAR* PaddingDesc;
    // 0: any length (THT_NONE).
    int LenHash;
    // 0: no prefix.
    int LenBuffPaddingOID;
    BYTE BuffPaddingOID[64];
};

#define LU_QTD_HASH_PADDING_OID 8

// Constant table; callers keep pointers into it, so rows are never copied or changed.
extern const THashPaddingOIDInfo HashPaddingOIDInfo[LU_QTD_HASH_PADDING_OID];

typedef struct evp_md_st EVP_MD;
// OpenSSL's digest of a row of the table; null for rows that are no digest of their own (no algorithm,
// SSL3's SHA-MD5 pair) or that OpenSSL's default provider lacks (MD2).
const EVP_MD* luDigestOfRow(const THashPaddingOIDInfo* row);
