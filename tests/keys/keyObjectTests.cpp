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

// The public key blob read back is the key written: one codec for CPExportKey and CPImportKey.
TEST(PublicKeyBlob, ReadsBackWhatItWrites) {
    keytest::TCertKey key(2048, 65537);
    ASSERT_TRUE(key.Loaded);
    TVarnoMemory blob;
    ASSERT_EQ(0, key.KeyObject.BuildPublicKeyBlob(&blob));
    std::shared_ptr<TLUProviderKey> read;
    ASSERT_EQ(0, TLUProviderKey::ReadPublicKeyBlob(blob.FileData, blob.LenFileData, &read));
    ASSERT_TRUE(read && read->certificate);
    EXPECT_EQ(keytest::ToBytes(key.Certificate->PublicModulus),
              keytest::ToBytes(read->certificate->PublicModulus));
    EXPECT_EQ(key.KeyObject.KeyLenght(), read->KeyLenght());
    EXPECT_EQ(static_cast<ALG_ID>(CALG_RSA_KEYX), read->AlgId);
    TVarnoMemory again;
    ASSERT_EQ(0, read->BuildPublicKeyBlob(&again));
    EXPECT_EQ(keytest::ToBytes(blob), keytest::ToBytes(again));
}

TEST(PublicKeyBlob, RefusesWhatIsNoRsaPublicKey) {
    keytest::TCertKey key;
    ASSERT_TRUE(key.Loaded);
    TVarnoMemory blob;
    ASSERT_EQ(0, key.KeyObject.BuildPublicKeyBlob(&blob));
    const keytest::Bytes good = keytest::ToBytes(blob);
    struct {
        const char* Fault;
        size_t At;
        uint8_t Value;
        size_t Length;
    } cases[] = {
        {"short header", 0, PUBLICKEYBLOB, 19},
        {"another blob type", 0, PRIVATEKEYBLOB, good.size()},
        {"another magic", 11, '2', good.size()},
        {"modulus cut", 0, PUBLICKEYBLOB, good.size() - 1},
        {"exponent zero", 16, 0, 0},
    };
    for (const auto& c : cases) {
        keytest::Bytes bad = good;
        bad[c.At] = c.Value;
        if (c.Length == 0) std::fill(bad.begin() + 16, bad.begin() + 20, 0);
        std::shared_ptr<TLUProviderKey> read;
        EXPECT_EQ(NTE_BAD_DATA, TLUProviderKey::ReadPublicKeyBlob(
                                    bad.data(), static_cast<DWORD>(c.Length ? c.Length : bad.size()), &read))
            << c.Fault;
        EXPECT_FALSE(read) << c.Fault;
    }
}
