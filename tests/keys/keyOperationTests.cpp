// What a key does on its own: the block of a private-key operation, verification against OpenSSL
// signatures, and the one-entry result cache.
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

using testcerts::OpenSSLSign;

const THashPaddingOIDInfo* RowOf(THashAlgType type) {
    const THashPaddingOIDInfo* row = nullptr;
    TLUProviderKey::EncryptDecryptHashGetPaddingOIDInfo(&row, type);
    return row;
}

// A buffer holding the given bytes.
struct Memory : TVarnoMemory {
    explicit Memory(const Bytes& b) {
        if (!b.empty()) LoadFromMemory(b.data(), static_cast<uint32_t>(b.size()));
    }
};

const TLUBlockOptions kType1{TKP_PAD_PKCS1, TKS1_Type1_PrivateKey};
const TLUBlockOptions kType2{TKP_PAD_PKCS1, TKS1_Type2_PublicKey};

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

int Build(const TLUProviderKey& key, const THashPaddingOIDInfo* row, const Bytes& value,
          const TLUBlockOptions& options, Bytes* input, Bytes* block) {
    TVarnoMemory in, out;
    int code = key.BuildBlock(row, Memory(value), options, &in, &out);
    if (input) *input = ToBytes(in);
    if (block) *block = ToBytes(out);
    return code;
}

int Verify(const TLUProviderKey& key, THashAlgType type, const Bytes& value, const Bytes& sig,
           const TLUBlockOptions& options = kType1) {
    return key.VerifySignatureHash(Memory(value), RowOf(type), Memory(sig), options);
}

} // namespace

TEST(KeyOperation, BlockIsTheDigestInfoInAType1Block) {
    TCertKey ck(2048);
    ASSERT_TRUE(ck.Loaded);
    Bytes value = Pattern(32), input, block;
    ASSERT_EQ(0, Build(ck.KeyObject, RowOf(THT_SHA256), value, kType1, &input, &block));
    ASSERT_EQ(51u, input.size());
    EXPECT_EQ(Bytes(value.begin(), value.end()), Bytes(input.begin() + 19, input.end()));
    EXPECT_EQ(keytest::Type1Block(input, 256), block);
    // What the key's private half makes of it is what OpenSSL's PKCS #1 signature is.
    EXPECT_EQ(OpenSSLSign(ck.Key, EVP_sha256(), value), ck.Key.PrivateRaw(block));

    // Without row (CRYPT_NOHASHOID, CPEncrypt): the value bare in the block.
    ASSERT_EQ(0, Build(ck.KeyObject, RowOf(THT_NONE), value, kType1, &input, &block));
    EXPECT_EQ(keytest::Type1Block(value, 256), block);
    ASSERT_EQ(0, Build(ck.KeyObject, nullptr, value, kType1, &input, &block));
    EXPECT_EQ(keytest::Type1Block(value, 256), block);
    // Building changes nothing of the key.
    EXPECT_EQ(TKP_PAD_PKCS1, ck.KeyObject.KeyPadding);
    EXPECT_EQ(TKS1_Type1_PrivateKey, ck.KeyObject.KeyPaddingPKCS1Type);
}

TEST(KeyOperation, BlockRefusals) {
    TCertKey ck(2048);
    // Empty input: no MD5 to know it by; longer than the block: refused by the padding.
    EXPECT_EQ(NTE_SYS_ERR, Build(ck.KeyObject, nullptr, Bytes(), kType1, nullptr, nullptr));
    EXPECT_EQ(NTE_FAIL, Build(ck.KeyObject, nullptr, Pattern(257), kType1, nullptr, nullptr));
    // A SHA-256 row with a value of another length (HP_HASHVAL never set).
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              Build(ck.KeyObject, RowOf(THT_SHA256), Bytes(), kType1, nullptr, nullptr));
    Memory value(Pattern(20));
    TVarnoMemory out;
    EXPECT_EQ(NTE_INVALID_PARAMETER, ck.KeyObject.BuildBlock(nullptr, value, kType1, nullptr, &out));
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
        EXPECT_EQ(0, Verify(ck.KeyObject, a.type, value, sig)) << a.type;

        // Another value of the same length is not signed by it.
        Bytes other = value;
        other[0] ^= 0x01;
        EXPECT_EQ(NTE_BAD_SIGNATURE, Verify(ck.KeyObject, a.type, other, sig));
    }
}

TEST(KeyOperation, VerifyRefusals) {
    TCertKey ck(2048);
    Bytes value = Pattern(32);
    Bytes sig = OpenSSLSign(ck.Key, EVP_sha256(), value);

    // One byte short of the modulus: refused by the padding step.
    EXPECT_EQ(NTE_FAIL, Verify(ck.KeyObject, THT_SHA256, value, Bytes(sig.begin() + 1, sig.end())));
    // A changed byte inside the signature.
    Bytes changed = sig;
    changed[128] ^= 0x40;
    EXPECT_EQ(NTE_BAD_SIGNATURE, Verify(ck.KeyObject, THT_SHA256, value, changed));
    // Not below the modulus: no signature of this key at all.
    EXPECT_EQ(NTE_BAD_SIGNATURE, Verify(ck.KeyObject, THT_SHA256, value, Bytes(256, 0xFF)));
    EXPECT_EQ(NTE_BAD_SIGNATURE, Verify(ck.KeyObject, THT_SHA256, value, ck.Key.Modulus()));
    // Type 2 blocks carry random filler: a comparison of whole blocks never matches.
    EXPECT_EQ(NTE_BAD_SIGNATURE, Verify(ck.KeyObject, THT_SHA256, value, sig, kType2));
    EXPECT_EQ(0, Verify(ck.KeyObject, THT_SHA256, value, sig));

    EXPECT_EQ(NTE_INVALID_PARAMETER,
              ck.KeyObject.VerifySignatureHash(Memory(value), nullptr, Memory(sig), kType1));
    TLUProviderKey noCertificate;
    EXPECT_EQ(NTE_SYS_ERR, Verify(noCertificate, THT_SHA256, value, sig));
}

TEST(ResultCache, AnswersOnlyTheSameInputAndOptions) {
    TLUResultCache cache;
    Memory input(Pattern(51)), result(Pattern(256, 9));
    TVarnoMemory found;
    ASSERT_TRUE(input.hashCalcMD5());
    EXPECT_FALSE(cache.Find(input, kType1, &found));
    ASSERT_TRUE(cache.Store(input, kType1, result));
    ASSERT_TRUE(cache.Find(input, kType1, &found));
    EXPECT_EQ(Pattern(256, 9), ToBytes(found));

    // Another block type, another padding scheme, another input.
    EXPECT_FALSE(cache.Find(input, kType2, &found));
    EXPECT_FALSE(cache.Find(input, TLUBlockOptions{TKP_PAD_ZERO, 1}, &found));
    Memory other(Pattern(51, 2));
    ASSERT_TRUE(other.hashCalcMD5());
    EXPECT_FALSE(cache.Find(other, kType1, &found));

    cache.Forget();
    EXPECT_FALSE(cache.IsValid());
    EXPECT_FALSE(cache.Find(input, kType1, &found));
}

TEST(ResultCache, ComparesTheWholeInputNotItsMd5) {
    Bytes a = FromHex(kCollisionA), b = FromHex(kCollisionB);
    ASSERT_EQ(128u, a.size());
    ASSERT_NE(a, b);
    Memory ma(a), mb(b);
    TVarnoMemory found;
    ASSERT_TRUE(ma.hashCalcMD5());
    ASSERT_TRUE(mb.hashCalcMD5());
    ASSERT_EQ(0, memcmp(ma.DigestMD5, mb.DigestMD5, 16));

    TLUResultCache cache;
    ASSERT_TRUE(cache.Store(ma, kType1, Memory(Pattern(128))));
    EXPECT_TRUE(cache.Find(ma, kType1, &found));
    EXPECT_FALSE(cache.Find(mb, kType1, &found));
}

TEST(KeyOperation, PrivateResultIsCheckedWithThePublicKey) {
    TCertKey k;
    ASSERT_TRUE(k.Loaded);
    const size_t len = static_cast<size_t>(k.Certificate->KeyLenght);
    Bytes block = keytest::Type1Block(Pattern(35), len);
    Bytes good = k.Key.PrivateRaw(block);
    ASSERT_EQ(len, good.size());
    TVarnoMemory sent, answer;
    keytest::Load(sent, block);
    keytest::Load(answer, good);
    EXPECT_EQ(0, k.KeyObject.CheckPrivateResult(sent, answer));

    // The key's genuine result for a neighbouring block, one byte flipped, one byte short, all ones
    // (beyond the modulus): none is the answer to this block.
    Bytes other = block;
    other.back() ^= 0x01;
    Bytes flipped = good;
    flipped[len / 2] ^= 0x80;
    const Bytes wrong[] = {k.Key.PrivateRaw(other), flipped, Bytes(good.begin() + 1, good.end()),
                           Bytes(len, 0xFF)};
    for (const Bytes& w : wrong) {
        keytest::Load(answer, w);
        EXPECT_EQ(NTE_SYS_ERR, k.KeyObject.CheckPrivateResult(sent, answer));
    }
    TLUProviderKey empty;
    keytest::Load(answer, good);
    EXPECT_EQ(NTE_SYS_ERR, empty.CheckPrivateResult(sent, answer));
}
