// Block padding of a key: every scheme, the length rules, and the PKCS #1 blocks a signature uses.
#include "keys/libLUProviderKEY.h"
#include "keyTestSupport.h"

#include <gtest/gtest.h>

using keytest::Bytes;
using keytest::Pattern;
using keytest::ToBytes;
using keytest::TSizedKey;

namespace {

int Pad(TSizedKey& k, const Bytes& input, bool isEncrypt, int padding, Bytes* out, int pkcs1Type = 1) {
    TVarnoMemory in, padded;
    if (!input.empty()) in.LoadFromMemory(input.data(), static_cast<uint32_t>(input.size()));
    int result = TLUProviderKey::EncryptDecryptPadding(in, &padded, k.KeyObject.KeyLenght(), isEncrypt,
                                                       TLUBlockOptions{padding, pkcs1Type});
    if (out) *out = ToBytes(padded);
    return result;
}

} // namespace

TEST(Padding, Pkcs1Type1AroundSha256DigestInfo) {
    TSizedKey k(256);
    Bytes input = Pattern(51);
    Bytes out;
    ASSERT_EQ(0, Pad(k, input, true, TKP_PAD_PKCS1, &out));
    EXPECT_EQ(keytest::Type1Block(input, 256), out);
    ASSERT_EQ(256u, out.size());
    EXPECT_EQ(0x00, out[0]);
    EXPECT_EQ(0x01, out[1]);
    for (int i = 2; i < 2 + 202; ++i)
        ASSERT_EQ(0xFF, out[i]) << i;
    EXPECT_EQ(0x00, out[204]);
}

TEST(Padding, Pkcs1NeedsElevenBytesOfRoom) {
    TSizedKey k(256);
    Bytes out;
    EXPECT_EQ(NTE_FAIL, Pad(k, Pattern(246), true, TKP_PAD_PKCS1, &out));
    ASSERT_EQ(0, Pad(k, Pattern(245), true, TKP_PAD_PKCS1, &out));
    Bytes expected = {0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    Bytes input = Pattern(245);
    expected.insert(expected.end(), input.begin(), input.end());
    EXPECT_EQ(expected, out);
}

TEST(Padding, DecryptDirectionUsesTheBareBlockWhateverThePadding) {
    TSizedKey k(256);
    Bytes out;
    for (int padding : {TKP_PAD_NONE, TKP_PAD_PKCS1, TKP_PAD_PKCS5, TKP_PAD_ZERO, TKP_PAD_RANDOM}) {
        ASSERT_EQ(0, Pad(k, Pattern(256), false, padding, &out)) << padding;
        EXPECT_EQ(Pattern(256), out);
        EXPECT_EQ(NTE_FAIL, Pad(k, Pattern(255), false, padding, &out)) << padding;
    }
}

TEST(Padding, FillSchemes) {
    TSizedKey k(256);
    Bytes out;
    ASSERT_EQ(0, Pad(k, Pattern(252), true, TKP_PAD_PKCS5, &out));
    EXPECT_EQ(Bytes(Pattern(252)), Bytes(out.begin(), out.begin() + 252));
    EXPECT_EQ(Bytes({0x04, 0x04, 0x04, 0x04}), Bytes(out.begin() + 252, out.end()));

    ASSERT_EQ(0, Pad(k, Pattern(255), true, TKP_PAD_ISO7816, &out));
    EXPECT_EQ(0x80, out.back());
    EXPECT_EQ(Pattern(255), Bytes(out.begin(), out.end() - 1));

    ASSERT_EQ(0, Pad(k, Pattern(200), true, TKP_PAD_ISO7816, &out));
    EXPECT_EQ(0x80, out[200]);
    EXPECT_EQ(Bytes(55, 0x00), Bytes(out.begin() + 201, out.end()));

    ASSERT_EQ(0, Pad(k, Pattern(100), true, TKP_PAD_ZERO, &out));
    EXPECT_EQ(Bytes(156, 0x00), Bytes(out.begin() + 100, out.end()));

    ASSERT_EQ(0, Pad(k, Pattern(100), true, TKP_PAD_RANDOM, &out));
    ASSERT_EQ(256u, out.size());
    EXPECT_EQ(Pattern(100), Bytes(out.begin(), out.begin() + 100));
    for (size_t i = 100; i < out.size(); ++i)
        ASSERT_NE(0x00, out[i]) << i;
}

TEST(Padding, Pkcs5FillByteIsTheLowByteOfTheCount) {
    TSizedKey k(512);
    Bytes out;
    ASSERT_EQ(0, Pad(k, Pattern(212), true, TKP_PAD_PKCS5, &out));
    ASSERT_EQ(512u, out.size());
    for (size_t i = 212; i < out.size(); ++i)
        ASSERT_EQ(300 & 0xFF, out[i]);
}

TEST(Padding, LengthRules) {
    TSizedKey k(256);
    Bytes out;
    // Longer than one block: refused before anything is built.
    EXPECT_EQ(NTE_FAIL, Pad(k, Pattern(257), true, TKP_PAD_PKCS1, &out));
    EXPECT_TRUE(out.empty());
    // No room for any padding, and no padding with room left.
    EXPECT_EQ(NTE_FAIL, Pad(k, Pattern(256), true, TKP_PAD_ZERO, &out));
    EXPECT_EQ(NTE_FAIL, Pad(k, Pattern(100), true, TKP_PAD_NONE, &out));
    ASSERT_EQ(0, Pad(k, Pattern(256), true, TKP_PAD_NONE, &out));
    EXPECT_EQ(Pattern(256), out);
}

TEST(Padding, Type2FillerNeverHoldsZero) {
    TSizedKey k(256);
    Bytes input = Pattern(51, 0);
    for (int round = 0; round < 50; ++round) {
        Bytes out;
        ASSERT_EQ(0, Pad(k, input, true, TKP_PAD_PKCS1, &out, TKS1_Type2_PublicKey));
        ASSERT_EQ(256u, out.size());
        EXPECT_EQ(0x00, out[0]);
        EXPECT_EQ(0x02, out[1]);
        size_t separator = 2;
        while (separator < out.size() && out[separator] != 0x00)
            ++separator;
        ASSERT_EQ(256u - 51 - 1, separator);
        EXPECT_EQ(input, Bytes(out.begin() + separator + 1, out.end()));
    }
}

TEST(Padding, RefusedSchemesAndKeys) {
    TSizedKey k(256);
    Bytes out;
    EXPECT_EQ(NTE_INVALID_PARAMETER, Pad(k, Pattern(51), true, TKP_PAD_PKCS1, &out, 3));
    EXPECT_EQ(NTE_INVALID_PARAMETER, Pad(k, Pattern(51), true, 6, &out));
    TVarnoMemory in;
    in.LoadFromMemory("abc", 3);
    EXPECT_EQ(NTE_INVALID_PARAMETER, TLUProviderKey::EncryptDecryptPadding(
                                         in, nullptr, 256, true, TLUBlockOptions{TKP_PAD_PKCS1, 1}));

    // A key without certificate builds no block at all.
    TLUProviderKey noCertificate;
    TVarnoMemory input, block;
    EXPECT_EQ(NTE_SYS_ERR,
              noCertificate.BuildBlock(nullptr, in, TLUBlockOptions{TKP_PAD_PKCS1, 1}, &input, &block));
}
