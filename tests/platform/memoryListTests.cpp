#include "platform/TVarnoList.h"
#include "platform/TVarnoMemory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <openssl/md5.h>
#include <string>

namespace {
std::string Bytes(const TVarnoMemory& m) {
    return std::string(reinterpret_cast<const char*>(m.FileData), m.LenFileData);
}
} // namespace

TEST(ByteBuffer, AppendKindsKeepTerminator) {
    TVarnoMemory m;
    EXPECT_EQ(1, m.Add("", 0));
    ASSERT_NE(nullptr, m.FileData);
    EXPECT_EQ(0u, m.LenFileData);
    EXPECT_EQ(0, m.FileData[0]);

    const BYTE aa = 0xAA, seq[] = {1, 2, 3};
    m.Add(&aa, 1);
    m.AddInverted(seq, 3);
    EXPECT_EQ(std::string("\xAA\x03\x02\x01", 4), Bytes(m));
    EXPECT_EQ(0, m.FileData[m.LenFileData]);

    m.AddZeroBytes(2);
    EXPECT_EQ(6u, m.LenFileData);
    EXPECT_EQ(0, m.AddString(nullptr));
    m.AddFormat("%s-%d", "x", 5);
    EXPECT_EQ(std::string("\xAA\x03\x02\x01\0\0x-5", 9), Bytes(m));
}

TEST(ByteBuffer, XorMaskRepeats) {
    TVarnoMemory m;
    const BYTE mask[] = {0x01, 0x02, 0x04};
    const BYTE src[7] = {0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(1, m.AddWithXOR(0, mask, 3, src, 7, 0));
    EXPECT_EQ(std::string("\x01\x02\x04\x01\x02\x04\x01", 7), Bytes(m));
    EXPECT_EQ(0, m.AddWithXOR(0, mask, 3, src, 0, 0));
}

TEST(ByteBuffer, InsertAtPosition) {
    TVarnoMemory m;
    m.AddString("abef");
    EXPECT_EQ(1, m.AddWithXOR(2, nullptr, 0, "cd", 2, 0));
    EXPECT_EQ("abcdef", Bytes(m));
    EXPECT_EQ(1, m.AddWithXOR(1, nullptr, 0, "XY", 2, 1));
    EXPECT_EQ("aYXbcdef", Bytes(m));
}

TEST(ByteBuffer, DeleteBytesBoundsAreOverflowSafe) {
    TVarnoMemory m;
    m.AddString("0123456789");
    EXPECT_EQ(1, m.DeleteBytes(7, 3));
    EXPECT_EQ("0123456", Bytes(m));
    EXPECT_EQ(0, m.DeleteBytes(5, 3));
    EXPECT_EQ(0, m.DeleteBytes(1, 0xFFFFFFFFu));
    EXPECT_EQ(0, m.DeleteBytes(0xFFFFFFF0u, 0x20u));
    EXPECT_EQ("0123456", Bytes(m));
    EXPECT_EQ(1, m.DeleteBytes(1, 2));
    EXPECT_EQ("03456", Bytes(m));
    EXPECT_EQ(0, m.FileData[m.LenFileData]);
}

TEST(ByteBuffer, DeleteStringRemovesEveryOccurrence) {
    TVarnoMemory m;
    m.AddString("-----BEGIN CERTIFICATE-----\nQUJD\nREVG\n-----END CERTIFICATE-----\n");
    EXPECT_EQ(1, m.DeleteString("\n"));
    EXPECT_EQ(1, m.DeleteString("-----BEGIN CERTIFICATE-----"));
    EXPECT_EQ(1, m.RemoveString("-----END CERTIFICATE-----"));
    EXPECT_EQ("QUJDREVG", Bytes(m));
    EXPECT_EQ(1, m.DeleteString("zz"));
    EXPECT_EQ(1, m.DeleteString(""));
    EXPECT_EQ(0, m.DeleteString(nullptr));
    EXPECT_EQ("QUJDREVG", Bytes(m));
    TVarnoMemory empty;
    EXPECT_EQ(1, empty.DeleteString("a"));
}

TEST(ByteBuffer, Md5OfContent) {
    TVarnoMemory m;
    BYTE before[16];
    memcpy(before, m.DigestMD5, 16);
    EXPECT_EQ(0, m.hashCalcMD5());
    EXPECT_EQ(0, memcmp(before, m.DigestMD5, 16));
    m.AddString("abc");
    ASSERT_EQ(1, m.hashCalcMD5());
    const BYTE expect[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                             0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    EXPECT_EQ(0, memcmp(expect, m.DigestMD5, 16));
    m.LoadFromMemory("xy", 2);
    EXPECT_EQ("xy", Bytes(m));
    const BYTE zero[16] = {0};
    EXPECT_EQ(0, memcmp(zero, m.DigestMD5, 16));
    EXPECT_EQ(0, m.LoadFromMemory(nullptr, 5));
    EXPECT_EQ(0u, m.LenFileData);
}

TEST(ObjectList, OrderIndicesAndDuplicates) {
    TVarnoList list;
    int a = 0, b = 0;
    EXPECT_TRUE(list.Add(nullptr));
    EXPECT_EQ(-1, list.IndexOf(nullptr));
    EXPECT_TRUE(list.Add(&a));
    EXPECT_TRUE(list.Add(&b));
    EXPECT_TRUE(list.Add(&a));
    EXPECT_EQ(4u, list.Count);
    EXPECT_EQ(1, list.IndexOf(&a));
    EXPECT_TRUE(list.Delete(static_cast<const void*>(&a)));
    EXPECT_EQ(2, list.IndexOf(&a));
    EXPECT_EQ(&b, list.GetItem(1u));
    EXPECT_EQ(nullptr, list.GetItem(static_cast<uint32_t>(-1)));
    EXPECT_FALSE(list.Delete(7u));
    EXPECT_FALSE(list.Delete(static_cast<const void*>(&list)));
}

TEST(ObjectList, DeleteLastLeavesEmpty) {
    TVarnoList list;
    int a = 0;
    list.Add(&a);
    EXPECT_TRUE(list.Delete(0));
    EXPECT_EQ(0u, list.Count);
    EXPECT_EQ(nullptr, list.GetItem(0u));
    EXPECT_FALSE(list.Delete(0));
    EXPECT_EQ(-1, list.IndexOf(&a));
}

TEST(ObjectList, ClearFreesRawBlocksOnRequest) {
    TVarnoList list;
    for (int i = 0; i < 5; ++i)
        list.Add(malloc(16));
    EXPECT_TRUE(list.Clear(true));
    EXPECT_EQ(0u, list.Count);
    EXPECT_EQ(nullptr, list.GetItem(0u));
}
