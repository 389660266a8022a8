// The provider object in-process: sessions, the handle table and its checks, result conversion and
// the copy of results to the caller; plus the generic list the library's lists are built on. The
// provider parameters are driven through the exports (tests/dll).
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

    ULONG_PTR context = 0, k1 = 0, k2 = 0;
    ASSERT_EQ(0, session->OpenKey(session, TLUHandleKind::Context, 0, &context, "0abcde", 0, 0));
    ASSERT_EQ(0, session->OpenKey(session, TLUHandleKind::Key, context, &k1, "0abcde", AT_SIGNATURE, 0));
    ASSERT_EQ(0, session->OpenKey(session, TLUHandleKind::Key, context, &k2, "0ABCDE", 0, 0));
    EXPECT_NE(k1, k2);
    std::shared_ptr<TLUProviderKey> key1, key2;
    ASSERT_EQ(0, luCheckKey(session, k1, &key1));
    ASSERT_EQ(0, luCheckKey(session, k2, &key2));
    EXPECT_EQ(static_cast<DWORD>(AT_SIGNATURE), key1->LegacyKeySpec);
    EXPECT_EQ(key1->certificate, key2->certificate);

    ULONG_PTR none = 0;
    EXPECT_EQ(NTE_NO_KEY, session->OpenKey(session, TLUHandleKind::Key, context, &none, "ABCDE", 0, 0));
    EXPECT_EQ(NTE_NO_KEY, session->OpenKey(session, TLUHandleKind::Key, context, &none, "0ABCDE ", 0, 0));
    EXPECT_EQ(0u, none);
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              session->OpenKey(session, TLUHandleKind::Key, context, nullptr, "0ABCDE", 0, 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              session->OpenKey(session, TLUHandleKind::Key, context, &none, nullptr, 0, 0));

    // Destroying one key leaves the other valid; the object lives on while it is held.
    ASSERT_EQ(0, session->FreeKey(session, k1));
    EXPECT_EQ(ERROR_INVALID_HANDLE, luCheckKey(session, k1, nullptr));
    EXPECT_EQ(0, luCheckKey(session, k2, nullptr));
    EXPECT_EQ(static_cast<DWORD>(AT_SIGNATURE), key1->LegacyKeySpec);
    EXPECT_EQ(NTE_NO_MEMORY, session->FreeKey(session, k1));
    EXPECT_EQ(NTE_INVALID_PARAMETER, session->FreeKey(session, 0));
    // A context is no key.
    EXPECT_EQ(NTE_NO_MEMORY, session->FreeKey(session, context));
    EXPECT_EQ(0, session->FreeProvider(session, context));
}

TEST_F(ProviderTest, ReleasingAContextReleasesWhatBelongsToIt) {
    TLUProvider* session = nullptr;
    std::string serial = OpenWithCertificate(&session);
    TLUProvider* second = nullptr;
    ASSERT_EQ(0, gLUProvider->OpenStorageProvider(&second));
    EXPECT_EQ(2, gLUProvider->QtdProvSession);

    ULONG_PTR first = 0, other = 0, key = 0, otherKey = 0;
    ASSERT_EQ(0, session->OpenKey(session, TLUHandleKind::Context, 0, &first, serial.c_str(), 0, 0));
    ASSERT_EQ(0, session->OpenKey(session, TLUHandleKind::Context, 0, &other, serial.c_str(), 0, 0));
    ASSERT_EQ(0, session->OpenKey(session, TLUHandleKind::Key, first, &key, serial.c_str(), 0, 0));
    ASSERT_EQ(0, session->OpenKey(session, TLUHandleKind::Key, other, &otherKey, serial.c_str(), 0, 0));
    HCRYPTHASH hash = 0, otherHash = 0;
    ASSERT_EQ(0, session->CreateHash(session, first, CALG_SHA1, 0, 0, &hash));
    ASSERT_EQ(0, session->CreateHash(session, other, CALG_SHA1, 0, 0, &otherHash));

    // Not the last: the context goes with its own key and hash; the other context keeps its own.
    ASSERT_EQ(0, session->FreeProvider(session, first));
    TLUProvider* found = nullptr;
    std::shared_ptr<TLUProviderKey> contextKey;
    EXPECT_EQ(ERROR_INVALID_HANDLE, luGetProvSessionFromKey(&found, first, &contextKey));
    EXPECT_EQ(ERROR_INVALID_HANDLE, luCheckKey(session, key, nullptr));
    EXPECT_EQ(ERROR_INVALID_HANDLE, luCheckHash(session, hash, nullptr));
    EXPECT_EQ(0, luGetProvSessionFromKey(&found, other, &contextKey));
    EXPECT_EQ(0, luCheckKey(session, otherKey, nullptr));
    EXPECT_EQ(0, luCheckHash(session, otherHash, nullptr));
    EXPECT_EQ(1u, gLumidra->ListCertificate.Count);

    ASSERT_EQ(0, session->FreeProvider(session, other));
    EXPECT_EQ(0, gLUProvider->QtdProvSession);
    // The certificate list stays for the next session, which checks it against the store.
    EXPECT_EQ(1u, gLumidra->ListCertificate.Count);
    EXPECT_EQ(0, gLUProvider->Handles.Count(TLUHandleKind::Context));
    EXPECT_EQ(0, gLUProvider->Handles.Count(TLUHandleKind::Key));
    EXPECT_EQ(0, gLUProvider->Handles.Count(TLUHandleKind::Hash));
    EXPECT_EQ(NTE_INVALID_PARAMETER, session->FreeProvider(nullptr, 0));
}

TEST_F(ProviderTest, HandlesAreFoundOnlyWithTheirKind) {
    TLUProvider* session = nullptr;
    std::string serial = OpenWithCertificate(&session);
    ULONG_PTR hp = 0, hk = 0;
    ASSERT_EQ(0, session->OpenKey(session, TLUHandleKind::Context, 0, &hp, serial.c_str(), 0, 0));
    ASSERT_EQ(0, session->OpenKey(session, TLUHandleKind::Key, hp, &hk, serial.c_str(), 0, 0));
    HCRYPTHASH hh = 0;
    ASSERT_EQ(0, session->CreateHash(session, hp, CALG_SHA_256, 0, 0, &hh));

    TLUProvider* out = nullptr;
    std::shared_ptr<TLUProviderKey> key;
    std::shared_ptr<TLUProviderDataHash> hash;
    EXPECT_EQ(NTE_INVALID_PARAMETER, luGetProvSessionFromKey(nullptr, hp, &key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, luGetProvSessionFromKey(&out, 0, &key));
    EXPECT_EQ(NTE_INVALID_PARAMETER, luCheckParamExt(nullptr));
    EXPECT_EQ(ERROR_INVALID_HANDLE, luCheckParamExt(reinterpret_cast<TLUProvider*>(hk)));
    EXPECT_EQ(NTE_INVALID_PARAMETER, luCheckKey(session, 0, &key));
    EXPECT_EQ(NTE_INVALID_PARAMETER, luCheckHash(session, 0, &hash));
    // Each handle is found with its own kind only.
    EXPECT_EQ(0, luGetProvSessionFromKey(&out, hp, &key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, luGetProvSessionFromKey(&out, hk, &key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, luGetProvSessionFromKey(&out, hh, &key));
    EXPECT_EQ(0, luCheckKey(session, hk, &key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, luCheckKey(session, hp, &key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, luCheckKey(session, hh, &key));
    EXPECT_EQ(0, luCheckHash(session, hh, &hash));
    EXPECT_EQ(ERROR_INVALID_HANDLE, luCheckHash(session, hk, &hash));
    EXPECT_EQ(ERROR_INVALID_HANDLE, luCheckHash(session, hp, &hash));
    EXPECT_FALSE(session->Handles.Remove(hp, TLUHandleKind::Key));
    EXPECT_FALSE(session->Handles.Remove(hk, TLUHandleKind::Hash));

    std::mt19937_64 random(20240601);
    for (int i = 0; i < 2000; ++i) {
        ULONG_PTR value = static_cast<ULONG_PTR>(random());
        if (value == hk || value == hh || value == hp || value == 0) continue;
        ASSERT_EQ(ERROR_INVALID_HANDLE, luGetProvSessionFromKey(&out, value, &key));
        ASSERT_EQ(ERROR_INVALID_HANDLE, luCheckKey(session, value, &key));
        ASSERT_EQ(ERROR_INVALID_HANDLE, luCheckHash(session, value, &hash));
    }

    // Without the provider object nothing is looked up at all.
    TLUProvider* saved = gLUProvider;
    gLUProvider = nullptr;
    EXPECT_EQ(NTE_INVALID_PARAMETER, luGetProvSessionFromKey(&out, hp, &key));
    gLUProvider = saved;
    EXPECT_EQ(0, session->FreeProvider(session, hp));
}

TEST_F(ProviderTest, CreateAndDestroyHash) {
    TLUProvider* session = nullptr;
    std::string serial = OpenWithCertificate(&session);
    ULONG_PTR hp = 0;
    ASSERT_EQ(0, session->OpenKey(session, TLUHandleKind::Context, 0, &hp, serial.c_str(), 0, 0));
    HCRYPTHASH hash = 0;
    // "CSP_Compatibility" as by default (no configuration table here): SSL3's SHA-MD5 exists, other
    // algorithms are CryptoAPI's NTE_BAD_ALGID.
    ASSERT_EQ(0, session->CreateHash(session, hp, CALG_SSL3_SHAMD5, 0, 0, &hash));
    ASSERT_EQ(0, session->DestroyHash(session, hash));
    hash = 0;
    EXPECT_EQ(NTE_BAD_ALGID, session->CreateHash(session, hp, CALG_HMAC, 0, 0, &hash));
    EXPECT_EQ(0u, hash);
    EXPECT_EQ(0, session->Handles.Count(TLUHandleKind::Hash));
    EXPECT_EQ(NTE_INVALID_PARAMETER, session->CreateHash(session, hp, CALG_SHA1, 0, 0, nullptr));
    EXPECT_EQ(NTE_INVALID_PARAMETER, session->CreateHash(session, 0, CALG_SHA1, 0, 0, &hash));
    ASSERT_EQ(0, session->CreateHash(session, hp, 0, 0, 0, &hash));
    std::shared_ptr<TLUProviderDataHash> object;
    ASSERT_EQ(0, luCheckHash(session, hash, &object));
    EXPECT_EQ(THT_NONE, object->HashPaddingOIDInfo->HashAlgType);
    ASSERT_EQ(0, session->DestroyHash(session, hash));
    EXPECT_EQ(0, session->Handles.Count(TLUHandleKind::Hash));
    EXPECT_EQ(NTE_NO_MEMORY, session->DestroyHash(session, hash));
    EXPECT_EQ(NTE_NO_MEMORY, session->DestroyHash(session, hp));
    EXPECT_EQ(NTE_INVALID_PARAMETER, session->DestroyHash(session, 0));
    EXPECT_EQ(0, session->FreeProvider(session, hp));
}
