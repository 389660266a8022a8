// The key storage provider's padding-info parsing and its provider properties and copy-out.
#include "frontend/luKspPadding.h"
#include "frontend/luKspProperties.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(KspPadding, InfoAndFlagsGiveRowAndBlock) {
    BCRYPT_PKCS1_PADDING_INFO sha256{u"SHA256"}, md5{u"MD5"}, none{nullptr}, unknown{u"SHA3-256"};
    BCRYPT_PSS_PADDING_INFO pss384{u"SHA384", 48}, pssMd5{u"MD5", 16}, pssNoAlg{nullptr, 20},
        pssHuge{u"SHA1", 70000};
    const struct {
        void* Info;
        DWORD Flags;
        DWORD CbHash;
        int Code;
        int HashAlg;
        int Padding;
        int Salt;
    } kCases[] = {
        {&sha256, BCRYPT_PAD_PKCS1, 32, 0, THT_SHA256, TKP_PAD_PKCS1, 0},
        {&sha256, BCRYPT_PAD_PKCS1 | NCRYPT_SILENT_FLAG, 32, 0, THT_SHA256, TKP_PAD_PKCS1, 0},
        {&md5, BCRYPT_PAD_PKCS1, 16, 0, THT_MD5, TKP_PAD_PKCS1, 0},
        {&none, BCRYPT_PAD_PKCS1, 36, 0, THT_NONE, TKP_PAD_PKCS1, 0},
        {nullptr, BCRYPT_PAD_PKCS1, 36, 0, THT_NONE, TKP_PAD_PKCS1, 0},
        {&pss384, BCRYPT_PAD_PSS, 48, 0, THT_SHA384, TKP_PAD_PSS, 48},
        {&sha256, BCRYPT_PAD_PKCS1, 20, NTE_INVALID_PARAMETER, 0, 0, 0},
        {&none, BCRYPT_PAD_PKCS1, 0, NTE_INVALID_PARAMETER, 0, 0, 0},
        {&unknown, BCRYPT_PAD_PKCS1, 32, NTE_NOT_SUPPORTED, 0, 0, 0},
        {&pssMd5, BCRYPT_PAD_PSS, 16, NTE_NOT_SUPPORTED, 0, 0, 0},
        {&pssNoAlg, BCRYPT_PAD_PSS, 20, NTE_INVALID_PARAMETER, 0, 0, 0},
        {nullptr, BCRYPT_PAD_PSS, 20, NTE_INVALID_PARAMETER, 0, 0, 0},
        {&pssHuge, BCRYPT_PAD_PSS, 20, NTE_INVALID_PARAMETER, 0, 0, 0},
        {&sha256, 0, 32, NTE_BAD_FLAGS, 0, 0, 0},
        {&sha256, NCRYPT_NO_PADDING_FLAG, 32, NTE_BAD_FLAGS, 0, 0, 0},
        {&sha256, BCRYPT_PAD_PKCS1 | BCRYPT_PAD_PSS, 32, NTE_BAD_FLAGS, 0, 0, 0},
        {&sha256, BCRYPT_PAD_OAEP, 32, NTE_BAD_FLAGS, 0, 0, 0},
    };
    int i = 0;
    for (const auto& c : kCases) {
        SCOPED_TRACE(i++);
        TLUKspPadding out{};
        ASSERT_EQ(c.Code, luKspParsePadding(c.Info, c.Flags, c.CbHash, &out));
        if (c.Code != 0) continue;
        ASSERT_NE(nullptr, out.Row);
        EXPECT_EQ(c.HashAlg, out.Row->HashAlgType);
        EXPECT_EQ(c.Padding, out.Block.KeyPadding);
        EXPECT_EQ(c.Salt, out.Block.SaltLength);
    }
}

TEST(KspProperties, ProviderTableAndCopyOut) {
    TLUKspValue value;
    ASSERT_EQ(0, luKspProviderProperty(u"Name", &value));
    EXPECT_EQ(std::u16string(u"Varno Key Storage Provider Server"),
              std::u16string(reinterpret_cast<const char16_t*>(value.data())));
    ASSERT_EQ(0, luKspProviderProperty(u"Impl Type", &value));
    EXPECT_EQ(sizeof(DWORD), value.size());
    ASSERT_EQ(0, luKspProviderProperty(u"Version", &value));
    EXPECT_EQ(NTE_NOT_FOUND, luKspProviderProperty(u"Max Name Length", &value));
    EXPECT_EQ(0, luKspSetProperty(u"Use Context"));
    EXPECT_EQ(NTE_NOT_SUPPORTED, luKspSetProperty(u"Length"));

    const BYTE bytes[4] = {1, 2, 3, 4};
    BYTE out[4] = {};
    DWORD got = 0;
    EXPECT_EQ(0, luKspCopyOut(bytes, 4, nullptr, 0, &got));
    EXPECT_EQ(4u, got);
    EXPECT_EQ(NTE_BUFFER_TOO_SMALL, luKspCopyOut(bytes, 4, out, 3, &got));
    EXPECT_EQ(4u, got);
    EXPECT_EQ(0, luKspCopyOut(bytes, 4, out, 4, &got));
    EXPECT_EQ(0, memcmp(bytes, out, 4));
    EXPECT_EQ(NTE_INVALID_PARAMETER, luKspCopyOut(bytes, 4, out, 4, nullptr));
}

} // namespace
