// The RSA operations of a key: the local public-key operation, verification against OpenSSL
// signatures, the one-entry result cache, and the private-key step that needs the signing service.
#include "frontend/libLUProviderDataHash.h"
#include "keys/libLUProviderKEY.h"
#include "keyTestSupport.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <gtest/gtest.h>

using keytest::Bytes;
using keytest::Pattern;
using keytest::TCertKey;
using keytest::ToBytes;

namespace {

// RSASSA-PKCS1-v1_5 signature by OpenSSL over a finished hash value, big-endian.
Bytes OpenSSLSign(const testcerts::TTestKey& key, const EVP_MD* md, const Bytes& value) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key.Get(), nullptr);
    Bytes sig;
    size_t len = 0;
    if (ctx && EVP_PKEY_sign_init(ctx) > 0 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0 &&
        (!md || EVP_PKEY_CTX_set_signature_md(ctx, md) > 0) &&
        EVP_PKEY_sign(ctx, nullptr, &len, value.data(), value.size()) > 0) {
        sig.resize(len);
        if (EVP_PKEY_sign(ctx, sig.data(), &len, value.data(), value.size()) > 0)
            sig.resize(len);
        else
            sig.clear();
    }
    EVP_PKEY_CTX_free(ctx);
    return sig;
}

const THashPaddingOIDInfo* RowOf(THashAlgType type) {
    const THashPaddingOIDInfo* row = nullptr;
    TLUProviderKey::EncryptDecryptHashGetPaddingOIDInfo(&row, type);
    return row;
}

struct THash {
    THash(THashAlgType type, const Bytes& value) {
        Hash.HashPaddingOIDInfo = RowOf(type);
        Hash.DataValue.LoadFromMemory(value.data(), static_cast<uint32_t>(value.size()));
    }
    TLUProviderDataHash Hash;
};

// Two different 128-byte blocks with the same MD5 (the published collision of Wang et al.).
Bytes FromHex(const char* hex) {
    Bytes out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    return out;
}
const char* kCollisionA =
    "d131dd02c5e6eec4693d9a0698aff95c2fcab58712467eab4004583eb8fb7f8955ad340609f4b30283e48883257141"
    "5a085125e8f7cdc99fd91dbdf280373c5bd8823e3156348f5bae6dacd436c919c6dd53e2b487da03fd02396306d2"
    "48cda0e99f33420f577ee8ce54b67080a80d1ec69821bcb6a8839396f9652b6ff72a70";
const char* kCollisionB =
    "d131dd02c5e6eec4693d9a0698aff95c2fcab50712467eab4004583eb8fb7f8955ad340609f4b30283e4888325f141"
    "5a085125e8f7cdc99fd91dbd7280373c5bd8823e3156348f5bae6dacd436c919c6dd53e23487da03fd02396306d2"
    "48cda0e99f33420f577ee8ce54b67080280d1ec69821bcb6a8839396f965ab6ff72a70";

int Operate(TLUProviderKey& key, const Bytes& input, bool isEncrypt, bool usePrivate, Bytes* out) {
    TVarnoMemory in, result;
    if (!input.empty()) in.LoadFromMemory(input.data(), static_cast<uint32_t>(input.size()));
    int code = key.EncryptDecrypt(&in, &result, isEncrypt, usePrivate);
    if (out) *out = ToBytes(result);
    return code;
}

} // namespace

TEST(KeyOperation, PublicKeyOperationIsTheRawRsaOfThePaddedBlock) {
    TCertKey ck(2048);
    ASSERT_TRUE(ck.Loaded);
    Bytes input = Pattern(51);
    Bytes out;
    ASSERT_EQ(0, Operate(ck.KeyObject, input, true, false, &out));
    EXPECT_EQ(ck.Key.PublicRaw(keytest::Type1Block(input, 256)), out);
    EXPECT_EQ(keytest::Type1Block(input, 256), ToBytes(ck.KeyObject.LastDataEncryptDecrypt.DataValuePadded));
}

TEST(KeyOperation, VerifiesOpenSSLSignaturesOfEveryHash) {
    TCertKey ck(2048);
    const struct {
        THashAlgType type;
        const EVP_MD* md;
    } algs[] = {{THT_MD5, EVP_md5()},       {THT_SHA1, EVP_sha1()},     {THT_SHA256, EVP_sha256()},
                {THT_SHA384, EVP_sha384()}, {THT_SHA512, EVP_sha512()}, {THT_NONE, nullptr}};
    for (const auto& a : algs) {
        Bytes value = Pattern(a.md ? static_cast<size_t>(EVP_MD_get_size(a.md)) : 36, 7);
        Bytes sig = OpenSSLSign(ck.Key, a.md, value);
        ASSERT_EQ(256u, sig.size());
        THash hash(a.type, value);
        TVarnoMemory signature;
        signature.LoadFromMemory(sig.data(), static_cast<uint32_t>(sig.size()));
        EXPECT_EQ(0, ck.KeyObject.VerifySignatureHash(&hash.Hash, &signature, a.type)) << a.type;

        // Another value of the same length is not signed by it.
        Bytes other = value;
        other[0] ^= 0x01;
        THash otherHash(a.type, other);
        EXPECT_EQ(NTE_BAD_SIGNATURE, ck.KeyObject.VerifySignatureHash(&otherHash.Hash, &signature, a.type));
    }
}

TEST(KeyOperation, VerifyRefusals) {
    TCertKey ck(2048);
    Bytes value = Pattern(32);
    Bytes sig = OpenSSLSign(ck.Key, EVP_sha256(), value);
    THash hash(THT_SHA256, value);

    // One byte short of the modulus: refused by the padding step.
    TVarnoMemory shortSig;
    shortSig.LoadFromMemory(sig.data() + 1, 255);
    EXPECT_EQ(NTE_FAIL, ck.KeyObject.VerifySignatureHash(&hash.Hash, &shortSig, THT_SHA256));

    // A changed byte inside the signature.
    Bytes changed = sig;
    changed[128] ^= 0x40;
    TVarnoMemory bad;
    bad.LoadFromMemory(changed.data(), 256);
    EXPECT_EQ(NTE_BAD_SIGNATURE, ck.KeyObject.VerifySignatureHash(&hash.Hash, &bad, THT_SHA256));

    // Not below the modulus: no signature of this key at all.
    TVarnoMemory beyond;
    Bytes ones(256, 0xFF);
    beyond.LoadFromMemory(ones.data(), 256);
    EXPECT_EQ(NTE_BAD_SIGNATURE, ck.KeyObject.VerifySignatureHash(&hash.Hash, &beyond, THT_SHA256));
    Bytes modulus = ck.Key.Modulus();
    beyond.LoadFromMemory(modulus.data(), static_cast<uint32_t>(modulus.size()));
    EXPECT_EQ(NTE_BAD_SIGNATURE, ck.KeyObject.VerifySignatureHash(&hash.Hash, &beyond, THT_SHA256));

    // Type 2 blocks carry random filler: a comparison of whole blocks never matches.
    TVarnoMemory good;
    good.LoadFromMemory(sig.data(), 256);
    ck.KeyObject.KeyPaddingPKCS1Type = TKS1_Type2_PublicKey;
    EXPECT_EQ(NTE_BAD_SIGNATURE, ck.KeyObject.VerifySignatureHash(&hash.Hash, &good, THT_SHA256));
    ck.KeyObject.KeyPaddingPKCS1Type = TKS1_Type1_PrivateKey;
    EXPECT_EQ(0, ck.KeyObject.VerifySignatureHash(&hash.Hash, &good, THT_SHA256));

    EXPECT_EQ(NTE_INVALID_PARAMETER, ck.KeyObject.VerifySignatureHash(nullptr, &good, THT_SHA256));
    EXPECT_EQ(NTE_INVALID_PARAMETER, ck.KeyObject.VerifySignatureHash(&hash.Hash, nullptr, THT_SHA256));
    EXPECT_EQ(NTE_FAIL, ck.KeyObject.VerifySignatureHash(&hash.Hash, &good, 9));
}

TEST(KeyOperation, NoHashOidSignsTheBareValueInAType1Block) {
    TCertKey ck(2048);
    Bytes value = Pattern(32);
    THash hash(THT_NONE, value);
    TVarnoMemory result;
    ASSERT_EQ(0, ck.KeyObject.EncryptDecryptHash(&hash.Hash, &result, THT_NONE, true, false));
    EXPECT_EQ(keytest::Type1Block(value, 256), ToBytes(ck.KeyObject.LastDataEncryptDecrypt.DataValuePadded));
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              ck.KeyObject.EncryptDecryptHash(nullptr, &result, THT_NONE, true, false));
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              ck.KeyObject.EncryptDecryptHash(&hash.Hash, nullptr, THT_NONE, true, false));
}

TEST(KeyOperation, CacheAnswersOnlyTheSameCall) {
    TCertKey ck(2048);
    TLUProviderKey& key = ck.KeyObject;
    Bytes input = Pattern(51);
    Bytes first, again;
    ASSERT_EQ(0, Operate(key, input, true, false, &first));

    // Mark the cached result: a call answered from the cache returns the mark.
    auto mark = [&key]() { memset(key.LastDataEncryptDecrypt.DataResult.FileData, 0x5A, 256); };
    const Bytes marked(256, 0x5A);
    mark();
    ASSERT_EQ(0, Operate(key, input, true, false, &again));
    EXPECT_EQ(marked, again);

    // Another block type of the same input is a new operation.
    key.KeyPaddingPKCS1Type = TKS1_Type2_PublicKey;
    ASSERT_EQ(0, Operate(key, input, true, false, &again));
    EXPECT_NE(marked, again);
    key.KeyPaddingPKCS1Type = TKS1_Type1_PrivateKey;
    ASSERT_EQ(0, Operate(key, input, true, false, &again));
    EXPECT_EQ(first, again);

    // Another padding scheme.
    mark();
    key.KeyPadding = TKP_PAD_ZERO;
    ASSERT_EQ(0, Operate(key, input, true, false, &again));
    EXPECT_NE(marked, again);
    key.KeyPadding = TKP_PAD_PKCS1;

    // Another direction (a bare block, so that only the direction differs).
    Bytes block = Pattern(256, 0);
    key.KeyPadding = TKP_PAD_NONE;
    ASSERT_EQ(0, Operate(key, block, false, false, &again));
    mark();
    ASSERT_EQ(0, Operate(key, block, true, false, &again));
    EXPECT_NE(marked, again);
    key.KeyPadding = TKP_PAD_PKCS1;

    // Another key use: the private key is never answered by a public result.
    ASSERT_EQ(0, Operate(key, input, true, false, &again));
    mark();
    EXPECT_EQ(NTE_SYS_ERR, Operate(key, input, true, true, &again));
    EXPECT_TRUE(again.empty());
}

TEST(KeyOperation, CacheComparesTheWholeInputNotItsMd5) {
    TCertKey ck(2048);
    Bytes a = FromHex(kCollisionA), b = FromHex(kCollisionB);
    ASSERT_EQ(128u, a.size());
    ASSERT_NE(a, b);
    TVarnoMemory ma, mb;
    ma.LoadFromMemory(a.data(), 128);
    mb.LoadFromMemory(b.data(), 128);
    ASSERT_TRUE(ma.hashCalcMD5());
    ASSERT_TRUE(mb.hashCalcMD5());
    ASSERT_EQ(0, memcmp(ma.DigestMD5, mb.DigestMD5, 16));

    Bytes outA, outB;
    ASSERT_EQ(0, Operate(ck.KeyObject, a, true, false, &outA));
    ASSERT_EQ(0, Operate(ck.KeyObject, b, true, false, &outB));
    EXPECT_EQ(ck.Key.PublicRaw(keytest::Type1Block(b, 256)), outB);
    EXPECT_NE(outA, outB);
}

TEST(KeyOperation, FailuresClearTheCache) {
    TCertKey ck(2048);
    TLUProviderKey& key = ck.KeyObject;
    Bytes input = Pattern(51);
    ASSERT_EQ(0, Operate(key, input, true, false, nullptr));
    memset(key.LastDataEncryptDecrypt.DataResult.FileData, 0x5A, 256);

    // Empty input: the buffer's MD5 refuses it, and nothing of the last call survives.
    EXPECT_EQ(NTE_SYS_ERR, Operate(key, Bytes(), true, false, nullptr));
    EXPECT_EQ(0u, key.LastDataEncryptDecrypt.DataValueInput.LenFileData);
    EXPECT_EQ(0u, key.LastDataEncryptDecrypt.DataResult.LenFileData);
    Bytes again;
    ASSERT_EQ(0, Operate(key, input, true, false, &again));
    EXPECT_EQ(ck.Key.PublicRaw(keytest::Type1Block(input, 256)), again);

    // Longer than the block: refused by the padding, before any private-key request.
    EXPECT_EQ(NTE_FAIL, Operate(key, Pattern(257), true, true, nullptr));
    EXPECT_EQ(0u, key.LastDataEncryptDecrypt.DataResult.LenFileData);
    EXPECT_EQ(NTE_INVALID_PARAMETER, key.EncryptDecrypt(nullptr, nullptr, true, false));
}

TEST(KeyOperation, PrivateKeyNeedsTheSigningService) {
    TCertKey ck(2048);
    Bytes out;
    // No signing-service client in this process: the request step fails and is not cached.
    EXPECT_EQ(NTE_SYS_ERR, Operate(ck.KeyObject, Pattern(51), true, true, &out));
    EXPECT_EQ(NTE_SYS_ERR, Operate(ck.KeyObject, Pattern(51), true, true, &out));
    EXPECT_TRUE(out.empty());

    TLUProviderKey noCertificate;
    EXPECT_EQ(NTE_SYS_ERR, Operate(noCertificate, Pattern(51), true, false, nullptr));
}
