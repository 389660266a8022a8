// The provider object in-process: sessions, key and hash lists, handle checks, result conversion and
// the copy of results to the caller; plus the generic list every object list is built on.
#include "frontend/libLUProvider.h"
#include "frontend/libLumidra.h"
#include "frontend/luAppGlobal.h"
#include "support/testCerts.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

using testcerts::Bytes;

// A provider object and certificate holder of this test only, installed as the process's.
class ProviderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(nullptr, gLUProvider);
        ASSERT_EQ(nullptr, gLumidra);
        gLumidra = new TLumidra();
        gLUProvider = new TLUProvider();
    }
    void TearDown() override {
        delete gLUProvider;
        gLUProvider = nullptr;
        delete gLumidra;
        gLumidra = nullptr;
    }
    // Opens a session and puts one certificate into the (empty, test-root) list; its serial text.
    std::string OpenWithCertificate(TLUProvider** session) {
        EXPECT_EQ(0, gLUProvider->OpenStorageProvider(session));
        testcerts::TTestCertOptions opt;
        opt.Serial = {0x0A, 0xBC, 0xDE};
        std::string pem = testcerts::TTestCert::SelfSigned(testcerts::TTestKey::Rsa(2048), opt).Pem();
        TCertificate* cert = gLumidra->ListCertificate.AddNewCert();
        EXPECT_TRUE(cert->LoadCert_FromMemory(0, pem.data(), static_cast<uint32_t>(pem.size()), "p", true));
        return cert->SerialNumber;
    }
    TTestRoot Root;
};

} // namespace

TEST(VarnoList, EdgeCases) {
    TVarnoList list;
    int a = 0, b = 0;
    EXPECT_TRUE(list.Add(nullptr));
    EXPECT_EQ(-1, list.IndexOf(nullptr));

    TVarnoList twice;
    ASSERT_TRUE(twice.Add(&a));
    ASSERT_TRUE(twice.Add(&b));
    ASSERT_TRUE(twice.Add(&a));
    EXPECT_TRUE(twice.Delete(static_cast<const void*>(&a)));
    EXPECT_EQ(2u, twice.Count);
    EXPECT_EQ(1, twice.IndexOf(&a));
    EXPECT_EQ(0, twice.IndexOf(&b));

    TVarnoList one;
    ASSERT_TRUE(one.Add(&a));
    EXPECT_TRUE(one.Delete(0));
    EXPECT_EQ(0u, one.Count);
    EXPECT_EQ(nullptr, one.GetItem(0));
    EXPECT_FALSE(one.Delete(0));

    ASSERT_TRUE(one.Add(&b));
    EXPECT_EQ(nullptr, one.GetItem(static_cast<uint32_t>(-1)));
    EXPECT_FALSE(one.Delete(-1));
    EXPECT_EQ(&b, one.GetItem(0));
}

TEST(ConvResult, SuccessClearsTheLastErrorAndFailuresPassTheCode) {
    SetLastError(1234);
    EXPECT_EQ(TRUE, luConvResultNTE(0));
    EXPECT_EQ(0u, GetLastError());
    EXPECT_EQ(FALSE, luConvResultNTE(static_cast<DWORD>(NTE_BAD_KEY)));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY), GetLastError());
    EXPECT_EQ(FALSE, luConvResultNTE(ERROR_INVALID_HANDLE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(ProviderTest, CopyDataResult) {
    TLUProvider* p = gLUProvider;
    Bytes data(256);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i);
    TVarnoMemory result;
    result.LoadFromMemory(data.data(), 256);

    Bytes buffer(256, 0xEE);
    DWORD len = 0;
    EXPECT_EQ(NTE_BAD_LEN, p->CopyDataResult(p, &result, buffer.data(), &len, 255, true));
    EXPECT_EQ(256u, len);
    EXPECT_EQ(Bytes(256, 0xEE), buffer);

    ASSERT_EQ(0, p->CopyDataResult(p, &result, buffer.data(), &len, 256, true));
    EXPECT_EQ(Bytes(data.rbegin(), data.rend()), buffer);
    ASSERT_EQ(0, p->CopyDataResult(p, &result, buffer.data(), &len, 256, false));
    EXPECT_EQ(data, buffer);

    len = 7;
    ASSERT_EQ(0, p->CopyDataResult(p, &result, nullptr, &len, 0, true));
    EXPECT_EQ(256u, len);

    // An empty result leaves the length cell alone.
    TVarnoMemory empty;
    len = 7;
    EXPECT_EQ(NTE_INVALID_PARAMETER, p->CopyDataResult(p, &empty, buffer.data(), &len, 256, true));
    EXPECT_EQ(7u, len);
    EXPECT_EQ(NTE_INVALID_PARAMETER, p->CopyDataResult(p, nullptr, buffer.data(), &len, 256, true));
    EXPECT_EQ(NTE_INVALID_PARAMETER, p->CopyDataResult(p, &result, buffer.data(), nullptr, 256, true));
}

TEST_F(ProviderTest, OpenKeyMatchesTheUpperCasedSerialAndMakesANewKeyEachTime) {
    TLUProvider* session = nullptr;
    std::string serial = OpenWithCertificate(&session);
    ASSERT_EQ(gLUProvider, session);
    ASSERT_EQ("0ABCDE", serial);

    TLUProviderKey* k1 = nullptr;
    TLUProviderKey* k2 = nullptr;
    ASSERT_EQ(0, session->OpenKey(session, &k1, "0abcde", AT_SIGNATURE, 0));
    ASSERT_EQ(0, session->OpenKey(session, &k2, "0ABCDE", 0, 0));
    EXPECT_NE(k1, k2);
    EXPECT_EQ(static_cast<DWORD>(AT_SIGNATURE), k1->LegacyKeySpec);
    EXPECT_EQ(session, k1->ProviderSession);
    EXPECT_EQ(k1->certificate, k2->certificate);

    TLUProviderKey* none = nullptr;
    EXPECT_EQ(NTE_NO_KEY, session->OpenKey(session, &none, "ABCDE", 0, 0));
    EXPECT_EQ(NTE_NO_KEY, session->OpenKey(session, &none, "0ABCDE ", 0, 0));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(NTE_INVALID_PARAMETER, session->OpenKey(session, nullptr, "0ABCDE", 0, 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER, session->OpenKey(session, &none, nullptr, 0, 0));

    // Destroying one key leaves the other valid.
    ASSERT_EQ(0, session->FreeKey(session, k1));
    EXPECT_EQ(ERROR_INVALID_HANDLE, luCheckParamExt(session, reinterpret_cast<ULONG_PTR>(k1)));
    EXPECT_EQ(0, luCheckParamExt(session, reinterpret_cast<ULONG_PTR>(k2)));
    TLUProvider* found = nullptr;
    EXPECT_EQ(0, luGetProvSessionFromKey(&found, reinterpret_cast<HCRYPTPROV>(k2)));
    EXPECT_EQ(session, found);
    EXPECT_EQ(NTE_NO_MEMORY, session->FreeKey(session, k1));
    EXPECT_EQ(NTE_INVALID_PARAMETER, session->FreeKey(session, nullptr));
    EXPECT_EQ(0, session->FreeProvider(session, nullptr));
}

TEST_F(ProviderTest, TheLastSessionEmptiesEverything) {
    TLUProvider* session = nullptr;
    std::string serial = OpenWithCertificate(&session);
    TLUProvider* second = nullptr;
    ASSERT_EQ(0, gLUProvider->OpenStorageProvider(&second));
    EXPECT_EQ(2, gLUProvider->QtdProvSession);

    TLUProviderKey* key = nullptr;
    TLUProviderKey* other = nullptr;
    ASSERT_EQ(0, session->OpenKey(session, &key, serial.c_str(), 0, 0));
    ASSERT_EQ(0, session->OpenKey(session, &other, serial.c_str(), 0, 0));
    TLUProviderDataHash* hash = nullptr;
    ASSERT_EQ(0, session->CreateHash(session, key, CALG_SHA1, 0, 0, &hash));
    const ULONG_PTR hk = reinterpret_cast<ULONG_PTR>(key), hh = reinterpret_cast<ULONG_PTR>(hash);
    EXPECT_EQ(0, luCheckParamExt(session, hk, hh));

    // Not the last: only the given key goes; the hash stays valid.
    ASSERT_EQ(0, session->FreeProvider(session, key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, luCheckParamExt(session, hk));
    EXPECT_EQ(0, luCheckParamExt(session, reinterpret_cast<ULONG_PTR>(other), hh));
    EXPECT_EQ(1u, gLumidra->ListCertificate.Count);

    ASSERT_EQ(0, session->FreeProvider(session, nullptr));
    EXPECT_EQ(0, gLUProvider->QtdProvSession);
    EXPECT_EQ(0u, gLumidra->ListCertificate.Count);
    EXPECT_EQ(0, gLUProvider->ListProvKey.Count());
    EXPECT_EQ(0u, gLUProvider->ListProvDataHash.Count);
    EXPECT_EQ(ERROR_INVALID_HANDLE, luCheckParamExt(session, reinterpret_cast<ULONG_PTR>(other)));
    EXPECT_EQ(NTE_INVALID_PARAMETER, session->FreeProvider(nullptr, nullptr));
}

TEST_F(ProviderTest, HandleChecksNeverTouchUnknownHandles) {
    TLUProvider* session = nullptr;
    std::string serial = OpenWithCertificate(&session);
    TLUProviderKey* key = nullptr;
    ASSERT_EQ(0, session->OpenKey(session, &key, serial.c_str(), 0, 0));
    TLUProviderDataHash* hash = nullptr;
    ASSERT_EQ(0, session->CreateHash(session, key, CALG_SHA_256, 0, 0, &hash));
    const ULONG_PTR hk = reinterpret_cast<ULONG_PTR>(key), hh = reinterpret_cast<ULONG_PTR>(hash);

    TLUProvider* out = nullptr;
    EXPECT_EQ(NTE_INVALID_PARAMETER, luGetProvSessionFromKey(nullptr, hk));
    EXPECT_EQ(ERROR_INVALID_HANDLE, luGetProvSessionFromKey(&out, 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER, luCheckParamExt(nullptr));
    EXPECT_EQ(ERROR_INVALID_HANDLE, luCheckParamExt(reinterpret_cast<TLUProvider*>(hk)));
    EXPECT_EQ(NTE_INVALID_PARAMETER, luCheckParamExt(session, 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER, luCheckParamExt(session, hk, 0));
    // A hash handle is no key handle and the other way round.
    EXPECT_EQ(ERROR_INVALID_HANDLE, luCheckParamExt(session, hh));
    EXPECT_EQ(ERROR_INVALID_HANDLE, luCheckParamExt(session, hk, hk));
    EXPECT_EQ(ERROR_INVALID_HANDLE, luGetProvSessionFromKey(&out, hh));

    std::mt19937_64 random(20240601);
    for (int i = 0; i < 2000; ++i) {
        ULONG_PTR value = static_cast<ULONG_PTR>(random());
        if (value == hk || value == hh || value == 0) continue;
        ASSERT_EQ(ERROR_INVALID_HANDLE, luGetProvSessionFromKey(&out, value));
        ASSERT_EQ(ERROR_INVALID_HANDLE, luCheckParamExt(session, value));
        ASSERT_EQ(ERROR_INVALID_HANDLE, luCheckParamExt(session, hk, value));
    }

    // Without the provider object nothing is looked up at all.
    TLUProvider* saved = gLUProvider;
    gLUProvider = nullptr;
    EXPECT_EQ(NTE_INVALID_PARAMETER, luGetProvSessionFromKey(&out, hk));
    gLUProvider = saved;
    EXPECT_EQ(0, session->FreeProvider(session, nullptr));
}

TEST_F(ProviderTest, CreateAndDestroyHash) {
    TLUProvider* session = nullptr;
    std::string serial = OpenWithCertificate(&session);
    TLUProviderKey* key = nullptr;
    ASSERT_EQ(0, session->OpenKey(session, &key, serial.c_str(), 0, 0));
    TLUProviderDataHash* hash = nullptr;
    EXPECT_EQ(NTE_FAIL, session->CreateHash(session, key, CALG_SSL3_SHAMD5, 0, 0, &hash));
    EXPECT_EQ(NTE_FAIL, session->CreateHash(session, key, CALG_HMAC, 0, 0, &hash));
    EXPECT_EQ(nullptr, hash);
    EXPECT_EQ(0u, session->ListProvDataHash.Count);
    EXPECT_EQ(NTE_INVALID_PARAMETER, session->CreateHash(session, key, CALG_SHA1, 0, 0, nullptr));
    EXPECT_EQ(NTE_INVALID_PARAMETER, session->CreateHash(session, nullptr, CALG_SHA1, 0, 0, &hash));
    ASSERT_EQ(0, session->CreateHash(session, key, 0, 0, 0, &hash));
    ASSERT_NE(nullptr, hash);
    EXPECT_EQ(THT_NONE, hash->HashPaddingOIDInfo->HashAlgType);
    ASSERT_EQ(0, session->DestroyHash(session, hash));
    EXPECT_EQ(0u, session->ListProvDataHash.Count);
    TLUProviderDataHash stranger;
    EXPECT_EQ(NTE_NO_MEMORY, session->DestroyHash(session, &stranger));
    EXPECT_EQ(NTE_INVALID_PARAMETER, session->DestroyHash(session, nullptr));
    EXPECT_EQ(0, session->FreeProvider(session, nullptr));
}

TEST_F(ProviderTest, ProviderParameters) {
    TLUProvider* session = nullptr;
    std::string serial = OpenWithCertificate(&session);
    TLUProviderKey* key = nullptr;
    ASSERT_EQ(0, session->OpenKey(session, &key, serial.c_str(), 0, 0));
    snprintf(LU_CSP_NAME, sizeof(LU_CSP_NAME), "%s", "Varno Base Cryptographic Provider Server");

    const struct {
        DWORD param;
        DWORD value;
    } dwords[] = {{PP_IMPTYPE, 11},
                  {PP_VERSION, 0x9999},
                  {PP_PROVTYPE, 1},
                  {PP_KEYSTORAGE, 1},
                  {PP_KEYSET_TYPE, 0},
                  {PP_SIG_KEYSIZE_INC, 1024},
                  {PP_KEYX_KEYSIZE_INC, 1024},
                  {PP_KEYSPEC, 3}};
    for (const auto& d : dwords) {
        DWORD value = 0xFFFFFFFF, size = sizeof(value);
        ASSERT_EQ(0, session->GetParam(session, key, d.param, reinterpret_cast<BYTE*>(&value), &size, 0))
            << d.param;
        EXPECT_EQ(d.value, value) << d.param;
        EXPECT_EQ(4u, size);
    }
    const struct {
        DWORD param;
        std::string text;
    } texts[] = {{PP_NAME, "Varno Base Cryptographic Provider Server"},
                 {PP_CONTAINER, serial},
                 {PP_UNIQUE_CONTAINER, serial},
                 {PP_SMARTCARD_READER, "LUKeyCSP"}};
    for (const auto& t : texts) {
        DWORD size = 0;
        ASSERT_EQ(0, session->GetParam(session, key, t.param, nullptr, &size, 0));
        ASSERT_EQ(t.text.size() + 1, size);
        std::vector<char> buffer(size + 4, 'x');
        DWORD capacity = static_cast<DWORD>(buffer.size());
        ASSERT_EQ(0, session->GetParam(session, key, t.param, reinterpret_cast<BYTE*>(buffer.data()),
                                       &capacity, 0));
        EXPECT_STREQ(t.text.c_str(), buffer.data());
        EXPECT_EQ(size, capacity);
        // The whole capacity is cleared first.
        EXPECT_EQ('\0', buffer.back());
    }
    std::vector<char> shortBuffer(41, 'x');
    DWORD size = 40;
    EXPECT_EQ(ERROR_MORE_DATA, session->GetParam(session, key, PP_NAME,
                                                 reinterpret_cast<BYTE*>(shortBuffer.data()), &size, 0));
    EXPECT_EQ(41u, size);
    EXPECT_EQ(std::vector<char>(40, '\0'), std::vector<char>(shortBuffer.begin(), shortBuffer.begin() + 40));
    EXPECT_EQ('x', shortBuffer[40]);

    const struct {
        DWORD param;
        int code;
    } refused[] = {{PP_ENUMALGS, ERROR_NO_MORE_ITEMS},    {PP_ENUMCONTAINERS, ERROR_NO_MORE_ITEMS},
                   {PP_ENUMALGS_EX, ERROR_NO_MORE_ITEMS}, {PP_USE_HARDWARE_RNG, ERROR_INVALID_PARAMETER},
                   {PP_KEYEXCHANGE_PIN, NTE_BAD_TYPE},    {0x7777, NTE_BAD_TYPE}};
    for (const auto& r : refused) {
        DWORD value = 0xABCD, len = 4;
        EXPECT_EQ(r.code, session->GetParam(session, key, r.param, reinterpret_cast<BYTE*>(&value), &len,
                                            CRYPT_FIRST));
        EXPECT_EQ(4u, len);
        EXPECT_EQ(0xABCDu, value);
    }
    EXPECT_EQ(NTE_INVALID_PARAMETER, session->GetParam(session, key, PP_NAME, nullptr, nullptr, 0));

    DWORD any = 1;
    EXPECT_EQ(NTE_BAD_TYPE,
              session->SetParam(session, key, PP_KEYEXCHANGE_PIN, reinterpret_cast<BYTE*>(&any), 0));
    EXPECT_EQ(NTE_BAD_TYPE, session->SetParam(session, key, 0, reinterpret_cast<BYTE*>(&any), 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER, session->SetParam(session, key, PP_NAME, nullptr, 0));
    EXPECT_EQ(0, session->FreeProvider(session, nullptr));
}
