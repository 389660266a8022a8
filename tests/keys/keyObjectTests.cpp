// Key objects: parameters, the owning list, and the block item of an operation.
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
    EXPECT_EQ(256u, value);
    EXPECT_EQ(4u, size);
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

TEST(KeyList, OwnsItsKeysAndHandsOutRemovedOnes) {
    TCertificate cert;
    TLUListProviderKey list;
    TLUProviderKey* a = list.AddNewKey(&cert);
    TLUProviderKey* b = list.AddNewKey(&cert);
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    EXPECT_NE(a, b);
    EXPECT_EQ(LUK_TCertificate, a->KeyType);
    EXPECT_EQ(&cert, a->certificate);
    EXPECT_EQ(2, list.Count());
    EXPECT_EQ(nullptr, list.AddNewKey(nullptr));
    EXPECT_EQ(2, list.Count());

    // A key that is not in the list: nothing removed, nothing destroyed.
    TLUProviderKey stranger;
    EXPECT_EQ(nullptr, list.Delete(&stranger));
    EXPECT_EQ(nullptr, list.Delete(nullptr));
    EXPECT_EQ(2, list.Count());

    TLUProviderKey* removed = list.Delete(a);
    EXPECT_EQ(a, removed);
    EXPECT_EQ(1, list.Count());
    EXPECT_LT(list.IndexOf(a), 0);
    delete removed;
    EXPECT_TRUE(list.Clear());
    EXPECT_EQ(0, list.Count());
}

TEST(DataEncryptDecrypt, HashIdAndBase64) {
    TDataEncryptDecrypt a, b;
    a.DataValueInput.LoadFromMemory("block", 5);
    b.DataValueInput.LoadFromMemory("block", 5);
    a.DataValuePadded.LoadFromMemory("\x00\x01\xFF", 3);
    ASSERT_TRUE(a.ComputeHashID(0));
    ASSERT_TRUE(b.ComputeHashID(0));
    EXPECT_STREQ(reinterpret_cast<char*>(a.HashID.FileData), reinterpret_cast<char*>(b.HashID.FileData));
    EXPECT_STREQ("C0709098E3A183E137F671E9920AC0DC", reinterpret_cast<char*>(a.HashID.FileData));
    EXPECT_STREQ("AAH/", reinterpret_cast<char*>(a.DataValueBase64.FileData));
    ASSERT_TRUE(b.ComputeHashID(1));
    EXPECT_STRNE(reinterpret_cast<char*>(a.HashID.FileData), reinterpret_cast<char*>(b.HashID.FileData));

    ASSERT_TRUE(a.LoadDataResultBase64("AAH/"));
    EXPECT_EQ(Bytes({0x00, 0x01, 0xFF}), ToBytes(a.DataResult));
    EXPECT_FALSE(a.LoadDataResultBase64(nullptr));
    a.IsSigned = true;
    a.ClearSignature();
    EXPECT_FALSE(a.IsSigned);
    EXPECT_EQ(0u, a.DataResult.LenFileData);
    a.Clear();
    EXPECT_EQ(0u, a.DataValueInput.LenFileData);
    EXPECT_EQ(0u, a.DataValuePadded.LenFileData);
}
