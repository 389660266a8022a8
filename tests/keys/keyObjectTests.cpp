// Key objects: how they are made and their parameters.
#include "keys/libLUProviderKEY.h"
#include "keyTestSupport.h"

#include <gtest/gtest.h>

using keytest::Bytes;
using keytest::TCertKey;
using keytest::ToBytes;

TEST(KeyParam, ReadsFromTheCertificate) {
    TCertKey ck(2048);
    ASSERT_TRUE(ck.Loaded);
    TLUProviderKey& key = ck.KeyObject;
    DWORD value = 0, size = sizeof(value);
    ASSERT_EQ(0, key.GetParam(KP_KEYLEN, reinterpret_cast<BYTE*>(&value), &size, 0));
    EXPECT_EQ(2048u, value);
    EXPECT_EQ(4u, size);
    ASSERT_EQ(0, key.GetParam(KP_BLOCKLEN, reinterpret_cast<BYTE*>(&value), &size, 0));
    EXPECT_EQ(2048u, value);
    ASSERT_EQ(0, key.GetParam(KP_ALGID, reinterpret_cast<BYTE*>(&value), &size, 0));
    EXPECT_EQ(static_cast<DWORD>(CALG_RSA_KEYX), value);
    ASSERT_EQ(0, key.GetParam(KP_PERMISSIONS, reinterpret_cast<BYTE*>(&value), &size, 0));
    EXPECT_EQ(0xC3u, value);

    // The certificate's DER bytes; the size alone first.
    DWORD derSize = 0;
    ASSERT_EQ(0, key.GetParam(KP_CERTIFICATE, nullptr, &derSize, 0));
    Bytes der = ck.Cert.Der();
    ASSERT_EQ(der.size(), derSize);
    Bytes got(derSize);
    ASSERT_EQ(0, key.GetParam(KP_CERTIFICATE, got.data(), &derSize, 0));
    EXPECT_EQ(der, got);
}

TEST(KeyParam, ShortBufferAndRefusedTypes) {
    TCertKey ck(2048);
    TLUProviderKey& key = ck.KeyObject;
    BYTE two[2] = {0xAA, 0xBB};
    DWORD size = 2;
    EXPECT_EQ(ERROR_MORE_DATA, key.GetParam(KP_ALGID, two, &size, 0));
    EXPECT_EQ(2u, size);
    EXPECT_EQ(0xAA, two[0]);
    EXPECT_EQ(NTE_BAD_HASH, key.GetParam(KP_ALGID, two, nullptr, 0));
    size = 4;
    EXPECT_EQ(NTE_BAD_TYPE, key.GetParam(KP_IV, two, &size, 0));
    EXPECT_EQ(4u, size);

    TLUProviderKey empty;
    DWORD value = 0;
    size = 4;
    EXPECT_EQ(NTE_SYS_ERR, empty.GetParam(KP_KEYLEN, reinterpret_cast<BYTE*>(&value), &size, 0));
}

TEST(KeyParam, PaddingAndMode) {
    TCertKey ck(2048);
    TLUProviderKey& key = ck.KeyObject;
    EXPECT_EQ(TKP_PAD_PKCS1, key.KeyPadding);
    const struct {
        DWORD value;
        int padding;
    } map[] = {
        {PKCS5_PADDING, TKP_PAD_PKCS5}, {RANDOM_PADDING, TKP_PAD_RANDOM}, {ZERO_PADDING, TKP_PAD_ZERO}};
    for (const auto& m : map) {
        ASSERT_EQ(0, key.SetParam(KP_PADDING, reinterpret_cast<const BYTE*>(&m.value), 0));
        EXPECT_EQ(m.padding, key.KeyPadding);
    }
    DWORD four = 4;
    EXPECT_EQ(NTE_BAD_FLAGS, key.SetParam(KP_PADDING, reinterpret_cast<const BYTE*>(&four), 0));
    EXPECT_EQ(TKP_PAD_ZERO, key.KeyPadding);

    DWORD mode = CRYPT_MODE_CBC;
    EXPECT_EQ(NTE_BAD_TYPE, key.SetParam(KP_MODE, reinterpret_cast<const BYTE*>(&mode), 0));
    TLUProviderKey empty;
    EXPECT_EQ(NTE_SYS_ERR, empty.SetParam(KP_MODE, reinterpret_cast<const BYTE*>(&mode), 0));
    EXPECT_EQ(NTE_BAD_TYPE, key.SetParam(KP_IV, reinterpret_cast<const BYTE*>(&mode), 0));
    EXPECT_EQ(NTE_BAD_HASH, key.SetParam(KP_PADDING, nullptr, 0));
}

TEST(KeyObject, MadeForACertificateOrEmpty) {
    auto cert = std::make_shared<TCertificate>();
    cert->KeyLenght = 128;
    TLUProviderKey key(cert, AT_SIGNATURE);
    EXPECT_EQ(LUK_TCertificate, key.KeyType);
    EXPECT_EQ(cert, key.certificate);
    EXPECT_EQ(static_cast<DWORD>(AT_SIGNATURE), key.LegacyKeySpec);
    EXPECT_EQ(128, key.KeyLenght());
    TLUProviderKey empty;
    EXPECT_EQ(LUK_TNone, empty.KeyType);
    EXPECT_FALSE(empty.HasCertificate());
    EXPECT_EQ(0, empty.KeyLenght());
}
