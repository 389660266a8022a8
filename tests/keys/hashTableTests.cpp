// The hash algorithm table, its lookups and the DigestInfo (prefix + value) that a signature covers.
#include "keys/libLUProviderKEY.h"
#include "keyTestSupport.h"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

using keytest::Bytes;
using keytest::Pattern;
using keytest::ToBytes;

namespace {

const THashPaddingOIDInfo* Row(THashAlgType type) {
    const THashPaddingOIDInfo* row = nullptr;
    EXPECT_EQ(0, TLUProviderKey::EncryptDecryptHashGetPaddingOIDInfo(&row, type));
    return row;
}

// The DER DigestInfo that OpenSSL builds for this digest and value.
Bytes OpenSSLDigestInfo(int nid, const Bytes& value) {
    X509_SIG* sig = X509_SIG_new();
    X509_ALGOR* alg = nullptr;
    ASN1_OCTET_STRING* digest = nullptr;
    X509_SIG_getm(sig, &alg, &digest);
    X509_ALGOR_set0(alg, OBJ_nid2obj(nid), V_ASN1_NULL, nullptr);
    ASN1_OCTET_STRING_set(digest, value.data(), static_cast<int>(value.size()));
    unsigned char* der = nullptr;
    int len = i2d_X509_SIG(sig, &der);
    Bytes out(der, der + (len > 0 ? len : 0));
    OPENSSL_free(der);
    X509_SIG_free(sig);
    return out;
}

} // namespace

TEST(HashTable, EightRowsInOrderWithTheirSizes) {
    const struct {
        int type;
        ALG_ID alg;
        int lenHash;
        int lenPrefix;
    } expected[] = {{THT_NONE, 0, 0, 0},
                    {THT_MD2, CALG_MD2, 16, 18},
                    {THT_MD5, CALG_MD5, 16, 18},
                    {THT_SHA1, CALG_SHA1, 20, 15},
                    {THT_SHA256, CALG_SHA_256, 32, 19},
                    {THT_SHA384, CALG_SHA_384, 48, 19},
                    {THT_SHA512, CALG_SHA_512, 64, 19},
                    {THT_SSL3_SHAMD5, CALG_SSL3_SHAMD5, 36, 0}};
    for (int i = 0; i < LU_QTD_HASH_PADDING_OID; ++i) {
        const THashPaddingOIDInfo& row = HashPaddingOIDInfo[i];
        EXPECT_EQ(expected[i].type, row.HashAlgType);
        EXPECT_EQ(expected[i].alg, row.AlgId);
        EXPECT_EQ(expected[i].lenHash, row.LenHash);
        EXPECT_EQ(expected[i].lenPrefix, row.LenBuffPaddingOID);
        // The prefix ends with the OCTET STRING header of the value.
        if (row.LenBuffPaddingOID) {
            EXPECT_EQ(0x04, row.BuffPaddingOID[row.LenBuffPaddingOID - 2]);
            EXPECT_EQ(row.LenHash, row.BuffPaddingOID[row.LenBuffPaddingOID - 1]);
        }
        for (int b = row.LenBuffPaddingOID; b < 64; ++b)
            ASSERT_EQ(0, row.BuffPaddingOID[b]);
    }
}

TEST(HashTable, PrefixesEqualTheDigestInfoOpenSSLBuilds) {
    const struct {
        THashAlgType type;
        int nid;
    } rows[] = {{THT_MD2, NID_md2},       {THT_MD5, NID_md5},       {THT_SHA1, NID_sha1},
                {THT_SHA256, NID_sha256}, {THT_SHA384, NID_sha384}, {THT_SHA512, NID_sha512}};
    for (const auto& r : rows) {
        const THashPaddingOIDInfo* row = Row(r.type);
        ASSERT_NE(nullptr, row);
        Bytes value = Pattern(static_cast<size_t>(row->LenHash), 0x30);
        TVarnoMemory hash;
        hash.LoadFromMemory(value.data(), static_cast<uint32_t>(value.size()));
        TVarnoMemory out;
        ASSERT_EQ(0, TLUProviderKey::EncryptDecryptHashPaddingOID(&hash, &out, row, true));
        EXPECT_EQ(OpenSSLDigestInfo(r.nid, value), ToBytes(out)) << r.type;
    }
}

TEST(HashTable, Lookups) {
    const THashPaddingOIDInfo* row = nullptr;
    ASSERT_EQ(0,
              TLUProviderKey::EncryptDecryptHashGetPaddingOIDInfo(&row, static_cast<ALG_ID>(CALG_SHA_256)));
    EXPECT_EQ(&HashPaddingOIDInfo[4], row);
    ASSERT_EQ(0, TLUProviderKey::EncryptDecryptHashGetPaddingOIDInfo(&row, static_cast<ALG_ID>(0)));
    EXPECT_EQ(&HashPaddingOIDInfo[0], row);
    ASSERT_EQ(0, TLUProviderKey::EncryptDecryptHashGetPaddingOIDInfo(&row, THT_SHA1));
    EXPECT_EQ(&HashPaddingOIDInfo[3], row);

    // Misses leave the out pointer alone.
    const THashPaddingOIDInfo* untouched = &HashPaddingOIDInfo[6];
    EXPECT_EQ(NTE_FAIL, TLUProviderKey::EncryptDecryptHashGetPaddingOIDInfo(&untouched,
                                                                            static_cast<ALG_ID>(CALG_HMAC)));
    EXPECT_EQ(NTE_FAIL,
              TLUProviderKey::EncryptDecryptHashGetPaddingOIDInfo(&untouched, static_cast<THashAlgType>(8)));
    EXPECT_EQ(&HashPaddingOIDInfo[6], untouched);
    EXPECT_EQ(NTE_INVALID_PARAMETER, TLUProviderKey::EncryptDecryptHashGetPaddingOIDInfo(nullptr, THT_NONE));
}

TEST(HashTable, Ssl3ShaMd5IsSignedWithoutDigestInfo) {
    const THashPaddingOIDInfo* row = nullptr;
    ASSERT_EQ(
        0, TLUProviderKey::EncryptDecryptHashGetPaddingOIDInfo(&row, static_cast<ALG_ID>(CALG_SSL3_SHAMD5)));
    Bytes value = Pattern(36, 0x40);
    TVarnoMemory hash;
    hash.LoadFromMemory(value.data(), static_cast<uint32_t>(value.size()));
    TVarnoMemory out;
    ASSERT_EQ(0, TLUProviderKey::EncryptDecryptHashPaddingOID(&hash, &out, row, true));
    EXPECT_EQ(value, ToBytes(out));
    hash.LoadFromMemory(value.data(), 35);
    EXPECT_EQ(NTE_INVALID_PARAMETER, TLUProviderKey::EncryptDecryptHashPaddingOID(&hash, &out, row, true));
}

TEST(HashTable, DigestInfoOfSha256Is51Bytes) {
    TVarnoMemory hash;
    Bytes value = Pattern(32);
    hash.LoadFromMemory(value.data(), 32);
    TVarnoMemory out;
    ASSERT_EQ(0, TLUProviderKey::EncryptDecryptHashPaddingOID(&hash, &out, Row(THT_SHA256), true));
    ASSERT_EQ(51u, out.LenFileData);
    EXPECT_EQ(Bytes(HashPaddingOIDInfo[4].BuffPaddingOID, HashPaddingOIDInfo[4].BuffPaddingOID + 19),
              Bytes(out.FileData, out.FileData + 19));
    EXPECT_EQ(value, Bytes(out.FileData + 19, out.FileData + 51));
}

TEST(HashTable, NoneTakesAnyLengthUnchanged) {
    for (size_t n : {size_t(1), size_t(20), size_t(32), size_t(100)}) {
        TVarnoMemory hash;
        Bytes value = Pattern(n);
        hash.LoadFromMemory(value.data(), static_cast<uint32_t>(n));
        TVarnoMemory out;
        ASSERT_EQ(0, TLUProviderKey::EncryptDecryptHashPaddingOID(&hash, &out, Row(THT_NONE), true));
        EXPECT_EQ(value, ToBytes(out));
    }
}

TEST(HashTable, RefusedInputs) {
    TVarnoMemory hash;
    Bytes value = Pattern(20);
    hash.LoadFromMemory(value.data(), 20);
    TVarnoMemory out;
    out.LoadFromMemory("keep", 4);
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              TLUProviderKey::EncryptDecryptHashPaddingOID(&hash, &out, Row(THT_SHA256), true));
    EXPECT_EQ(NTE_FAIL, TLUProviderKey::EncryptDecryptHashPaddingOID(&hash, &out, Row(THT_SHA1), false));
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              TLUProviderKey::EncryptDecryptHashPaddingOID(nullptr, &out, Row(THT_SHA1), true));
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              TLUProviderKey::EncryptDecryptHashPaddingOID(&hash, nullptr, Row(THT_SHA1), true));
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              TLUProviderKey::EncryptDecryptHashPaddingOID(&hash, &out, nullptr, true));
    // Refusals happen before the output is touched.
    EXPECT_EQ(Bytes({'k', 'e', 'e', 'p'}), ToBytes(out));
}
