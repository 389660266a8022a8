#include "platform/TVarnoMemory.h"
#include "platform/platHASH.h"
#include "platform/platMutex.h"
#include "platform/platRotPadroes.h"
#include "platform/shells/platThread.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>

TEST(Hashing, PublishedVectors) {
    TPlatHASH h;
    h.Add("abc");
    ASSERT_EQ(1, h.Compute_SHA256());
    EXPECT_STREQ("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", h.digestHexAscii);
    EXPECT_EQ(32, h.LenDigest);
    ASSERT_EQ(1, h.Compute_MD5());
    EXPECT_STREQ("900150983CD24FB0D6963F7D28E17F72", h.digestHexAscii);
    TPlatHASH empty;
    ASSERT_EQ(1, empty.Compute_SHA256());
    EXPECT_STREQ("E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855", empty.digestHexAscii);
}

TEST(Hashing, AccumulatesAcrossAdds) {
    TPlatHASH h;
    EXPECT_EQ(0, h.Add("x", 0));
    EXPECT_EQ(0, h.Add(nullptr, 3));
    h.Add("ab", 2);
    h.Add("c");
    BYTE out[16];
    ASSERT_EQ(1, h.Compute_MD5(out));
    EXPECT_EQ(0x90, out[0]);
    EXPECT_EQ(0x72, out[15]);
}

TEST(Base64, LineBreaksAndOneLine) {
    TPlatHASH h;
    BYTE data[49];
    for (int i = 0; i < 49; ++i)
        data[i] = static_cast<BYTE>(i);
    char* t48 = h.Encode_Base64(data, 48, 0);
    EXPECT_EQ(64u, strlen(t48));
    char* t49 = h.Encode_Base64(data, 49, 0);
    EXPECT_EQ(69u, strlen(t49));
    EXPECT_EQ('\n', t49[64]);
    char* one = h.Encode_Base64(data, 49, 1);
    EXPECT_EQ(68u, strlen(one));
    EXPECT_EQ(nullptr, strchr(one, '\n'));
    TVarnoMemory back;
    ASSERT_EQ(1, h.Decode_Base64(one, &back));
    EXPECT_EQ(49u, back.LenFileData);
    EXPECT_EQ(0, memcmp(data, back.FileData, 49));
    char* empty = h.Encode_Base64(data, 0, 0);
    EXPECT_STREQ("", empty);
    free(t48);
    free(t49);
    free(one);
    free(empty);
}

TEST(Base64, BadInputLeavesOutputAlone) {
    TPlatHASH h;
    TVarnoMemory out;
    out.AddString("keep");
    EXPECT_EQ(0, h.Decode_Base64("", &out));
    EXPECT_EQ(0, h.Decode_Base64("!!!!", &out));
    EXPECT_EQ(0, h.Decode_Base64(nullptr, &out));
    EXPECT_EQ(0, h.Decode_Base64("QUJD", nullptr));
    EXPECT_EQ(4u, out.LenFileData);
    EXPECT_EQ(1, h.Decode_Base64("QUJD", &out));
    EXPECT_EQ(std::string("keepABC"), std::string(reinterpret_cast<char*>(out.FileData)));
}

TEST(Routines, Crc32CheckValue) {
    EXPECT_EQ(0xCBF43926u, CRC32Calc(reinterpret_cast<const BYTE*>("123456789"), 9));
    EXPECT_EQ(0u, CRC32Calc(nullptr, 0));
}

TEST(Routines, HexAndReversal) {
    const BYTE b[] = {0x0A, 0xFF};
    char* hex = ConvertToHexAscii(b, 2);
    EXPECT_STREQ("0AFF", hex);
    free(hex);
    char* none = ConvertToHexAscii(b, 0);
    EXPECT_STREQ("", none);
    free(none);
    BYTE d[3] = {0};
    const BYTE s[3] = {1, 2, 3};
    EXPECT_EQ(3, memcpy_InverterBytes(d, s, 3));
    EXPECT_EQ(3, d[0]);
    EXPECT_EQ(1, d[2]);
    EXPECT_EQ(0, memcpy_InverterBytes(nullptr, s, 3));
    BYTE x[4];
    const BYTE mask[] = {0xFF};
    EXPECT_EQ(1, XorWithMask(mask, 1, s, 3, x));
    EXPECT_EQ(0xFE, x[0]);
    EXPECT_EQ(0, XorWithMask(mask, 0, s, 3, x));
}

TEST(Routines, RemoveBytePatternAdjacent) {
    char text[] = "ab\n\ncd\n";
    int removed = RemoveBytePattern(reinterpret_cast<BYTE*>(text), sizeof(text),
                                    reinterpret_cast<const BYTE*>("\n"), 1);
    EXPECT_EQ(3, removed);
    EXPECT_STREQ("abcd", text);
}

TEST(Routines, RandomBytesFromCsprng) {
    TVarnoMemory m;
    EXPECT_EQ(25, RandomGenerateBuffer(&m, 25, 0));
    EXPECT_EQ(25u, m.LenFileData);
    TVarnoMemory big;
    ASSERT_EQ(4096, RandomGenerateBuffer(&big, 4096, 0));
    std::set<BYTE> seen;
    for (uint32_t i = 0; i < big.LenFileData; ++i) {
        EXPECT_NE(0, big.FileData[i]);
        seen.insert(big.FileData[i]);
    }
    // Every non-zero value, 255 included, turns up in 4 KiB of uniform bytes.
    EXPECT_EQ(255u, seen.size());
    TVarnoMemory a, b;
    RandomGenerateBuffer(&a, 32, 1);
    RandomGenerateBuffer(&b, 32, 1);
    EXPECT_NE(0, memcmp(a.FileData, b.FileData, 32));
    EXPECT_EQ(0, RandomGenerateBuffer(nullptr, 5, 1));
    EXPECT_EQ(0, RandomGenerateBuffer(&a, 0, 1));
}

TEST(Routines, CreatePathOneLevelMapped) {
    TTestRoot root;
    EXPECT_EQ(1, CreatePath("C:\\Varno"));
    EXPECT_EQ(1, CreatePath("C:\\Varno\\008\\"));
    EXPECT_EQ(0, CreatePath("C:\\Varno\\008"));
    EXPECT_EQ(0, CreatePath("C:\\Missing\\Deep"));
    struct stat st;
    EXPECT_EQ(0, stat((root.Path() + "/C/Varno/008").c_str(), &st));
}

TEST(Routines, TextConversions) {
    EXPECT_STREQ("WIN32", GetPlatformName());
    EXPECT_STREQ("ABC\xC7", ConvAnsiUpper("abc\xE7"));
    char* first = ConvAnsiUpper("a");
    for (int i = 0; i < 49; ++i)
        ConvAnsiUpper("b");
    char* fifty_first = ConvAnsiUpper("c");
    EXPECT_EQ(first, fifty_first);
    WCHAR* w = ConvAnsiToWideTemp("Ab");
    EXPECT_EQ(0, CompareNameWide("Ab", w));
    EXPECT_EQ(-1, CompareNameWide("AB", w));
    EXPECT_EQ(-1, CompareNameWide("Abc", w));
    EXPECT_STREQ("Ab", ConvWideToAnsiTemp(w));
    WCHAR buf[3] = {9, 9, 9};
    ConvAnsiToWideBuffer(buf, "xy");
    EXPECT_EQ(u'x', buf[0]);
    EXPECT_EQ(9, buf[2]);
    EXPECT_STREQ("", GetFileVersionText(ConvAnsiToWideTemp("/etc/hostname")));
}

// Each thread has rings of its own: a text stays valid however many texts other threads take meanwhile.
TEST(Routines, RingTextsAreNotTouchedByOtherThreads) {
    const char* mine = ConvAnsiUpper("rawsignature");
    WCHAR* wide = ConvAnsiToWideTemp("id");
    std::thread other([] {
        for (int i = 0; i < 200; ++i) {
            ConvAnsiUpper(std::string(static_cast<size_t>(i) + 100, 'x').c_str());
            ConvAnsiToWideTemp(std::string(static_cast<size_t>(i) + 100, 'y').c_str());
        }
    });
    other.join();
    EXPECT_STREQ("RAWSIGNATURE", mine);
    EXPECT_EQ(0, CompareNameWide("id", wide));
}

TEST(Routines, LastErrorTextKeepsCode) {
    SetLastError(0x80090006u);
    EXPECT_EQ(0, strncmp(GetLastErrorText(), "0x80090006", 10));
    EXPECT_EQ(0x80090006u, GetLastError());
}

TEST(Mutex, RecursiveAndExclusive) {
    TPlatMutex m;
    ASSERT_EQ(1, m.Lock());
    ASSERT_EQ(1, m.Lock(0));
    std::atomic<int> got{-1};
    std::thread t([&] { got = m.Lock(50); });
    t.join();
    EXPECT_EQ(0, got.load());
    m.Unlock();
    std::thread t2([&] { got = m.Lock(50); });
    t2.join();
    EXPECT_EQ(0, got.load());
    m.Unlock();
    std::thread t3([&] {
        got = m.Lock(1000);
        if (got) m.Unlock();
    });
    t3.join();
    EXPECT_EQ(1, got.load());
}

TEST(ThreadShell, StopAndElapsed) {
    TPlatThread t;
    EXPECT_EQ(0, t.Stop());
    EXPECT_EQ(0, t.IsRunning());
    TPlatElapsed e;
    ElapsedStart(e);
    EXPECT_EQ(1, ElapsedReached(e, 0));
    EXPECT_EQ(0, ElapsedReached(e, 100000));
}
