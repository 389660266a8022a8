// Hash objects: the value handed in with HP_HASHVAL and the parameters read back.
#include "frontend/libLUProviderDataHash.h"
#include "keys/libLUProviderKEY.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct THashObject {
    explicit THashObject(ALG_ID alg) {
        EXPECT_EQ(0, TLUProviderKey::EncryptDecryptHashGetPaddingOIDInfo(&Hash.HashPaddingOIDInfo, alg));
    }
    DWORD Dword(DWORD param) {
        DWORD value = 0xFFFFFFFF, size = sizeof(value);
        EXPECT_EQ(0, Hash.GetParam(param, reinterpret_cast<BYTE*>(&value), &size, 0));
        EXPECT_EQ(4u, size);
        return value;
    }
    TLUProviderDataHash Hash;
};

} // namespace

TEST(HashObject, AlgorithmAndSize) {
    THashObject sha256(CALG_SHA_256);
    EXPECT_EQ(static_cast<DWORD>(CALG_SHA_256), sha256.Dword(HP_ALGID));
    EXPECT_EQ(32u, sha256.Dword(HP_HASHSIZE));
    THashObject none(0);
    EXPECT_EQ(0u, none.Dword(HP_ALGID));
    EXPECT_EQ(0u, none.Dword(HP_HASHSIZE));

    // The size alone.
    DWORD size = 0;
    EXPECT_EQ(0, sha256.Hash.GetParam(HP_HASHSIZE, nullptr, &size, 0));
    EXPECT_EQ(4u, size);
}

TEST(HashObject, ValueNotSetYetGivesOnlyItsLength) {
    THashObject sha1(CALG_SHA1);
    std::vector<BYTE> buffer(20, 0xEE);
    DWORD size = 3;
    EXPECT_EQ(0, sha1.Hash.GetParam(HP_HASHVAL, buffer.data(), &size, 0));
    EXPECT_EQ(20u, size);
    EXPECT_EQ(std::vector<BYTE>(20, 0xEE), buffer);
}

TEST(HashObject, SetReadsExactlyTheHashLength) {
    THashObject sha1(CALG_SHA1);
    std::vector<BYTE> source(64);
    for (size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<BYTE>(i + 1);
    ASSERT_EQ(0, sha1.Hash.SetParam(HP_HASHVAL, source.data(), 0));
    EXPECT_EQ(20u, sha1.Hash.DataValue.LenFileData);

    std::vector<BYTE> out(20, 0);
    DWORD size = 20;
    ASSERT_EQ(0, sha1.Hash.GetParam(HP_HASHVAL, out.data(), &size, 0));
    EXPECT_EQ(std::vector<BYTE>(source.begin(), source.begin() + 20), out);

    // One byte short: the needed length, nothing copied.
    std::vector<BYTE> shortBuffer(19, 0xEE);
    size = 19;
    EXPECT_EQ(ERROR_MORE_DATA, sha1.Hash.GetParam(HP_HASHVAL, shortBuffer.data(), &size, 0));
    EXPECT_EQ(20u, size);
    EXPECT_EQ(std::vector<BYTE>(19, 0xEE), shortBuffer);

    // Setting again replaces the value.
    ASSERT_EQ(0, sha1.Hash.SetParam(HP_HASHVAL, source.data() + 30, 0));
    size = 20;
    ASSERT_EQ(0, sha1.Hash.GetParam(HP_HASHVAL, out.data(), &size, 0));
    EXPECT_EQ(std::vector<BYTE>(source.begin() + 30, source.begin() + 50), out);
}

TEST(HashObject, RefusedCalls) {
    THashObject sha256(CALG_SHA_256);
    BYTE value[32] = {1};
    DWORD size = 4;
    EXPECT_EQ(NTE_BAD_HASH, sha256.Hash.SetParam(HP_HASHVAL, nullptr, 0));
    EXPECT_EQ(NTE_BAD_TYPE, sha256.Hash.SetParam(HP_HASHSIZE, value, 0));
    EXPECT_EQ(NTE_BAD_HASH, sha256.Hash.GetParam(HP_ALGID, value, nullptr, 0));
    EXPECT_EQ(NTE_BAD_TYPE, sha256.Hash.GetParam(HP_HMAC_INFO, value, &size, 0));
    EXPECT_EQ(4u, size);

    TLUProviderDataHash noRow;
    EXPECT_EQ(NTE_BAD_HASH, noRow.SetParam(HP_HASHVAL, value, 0));
    EXPECT_EQ(NTE_FAIL, noRow.GetParam(HP_ALGID, value, &size, 0));
    EXPECT_EQ(NTE_FAIL, noRow.ComputeHash(&noRow.DataValue, &noRow));
    EXPECT_EQ(NTE_FAIL, sha256.Hash.ComputeHash(&sha256.Hash.DataValue, &sha256.Hash));
}
