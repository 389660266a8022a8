#include "certificates/libCertificateStore.h"
#include "platform/platDebug.h"
#include "support/testCerts.h"
#include "support/testRoot.h"
#include "support/testTrace.h"

#include <gtest/gtest.h>

#include <memory>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace testcerts;

namespace {

const char kProvider[] = "Varno Base Cryptographic Provider Server";

// A private registry and certificate stores per test, with the trace log on at every level.
class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override { TraceLog = std::make_unique<TTestTrace>(Root.Path()); }
    void TearDown() override { TraceLog.reset(); }
    std::string Trace() { return TraceLog->Text(); }

    // A loaded certificate object for a new self-signed certificate.
    static TTestCert MakeCert(const Bytes& serial, const std::string& cn, int bits = 1024) {
        TTestCertOptions opt;
        opt.Serial = serial;
        opt.CommonName = cn;
        return TTestCert::SelfSigned(TTestKey::Rsa(bits), opt);
    }
    static bool Install(const TTestCert& cert, const char* provider, int storeType = LU_STORE_TYPE_MY) {
        TCertificate object;
        std::string pem = cert.Pem();
        if (!object.LoadCert_FromMemory(0, pem.data(), static_cast<uint32_t>(pem.size()), provider, false))
            return false;
        object.StoreType = storeType;
        return TCertificateStore().InstallCert(&object, provider);
    }
    // Adds a certificate with an optional key-provider record straight through CRYPT32.
    static void AddRaw(const char* storeName, const TTestCert& cert, const char16_t* provName,
                       const char16_t* container = u"X") {
        HCERTSTORE store = CertOpenSystemStoreA(0, storeName);
        ASSERT_NE(nullptr, store);
        Bytes der = cert.Der();
        PCCERT_CONTEXT ctx = nullptr;
        ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                     static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS,
                                                     &ctx));
        if (provName) {
            std::u16string c(container), p(provName);
            CRYPT_KEY_PROV_INFO info{};
            info.pwszContainerName = &c[0];
            info.pwszProvName = &p[0];
            info.dwProvType = PROV_RSA_FULL;
            info.dwKeySpec = AT_KEYEXCHANGE;
            ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
        }
        CertFreeCertificateContext(ctx);
        CertCloseStore(store, 0);
    }
    static int CountInStore(const char* storeName) {
        HCERTSTORE store = CertOpenSystemStoreA(0, storeName);
        int count = 0;
        PCCERT_CONTEXT ctx = nullptr;
        while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr)
            ++count;
        CertCloseStore(store, 0);
        return count;
    }
    static std::vector<std::string> Serials(TListCertificate& list) {
        std::vector<std::string> out;
        for (uint32_t i = 0; i < list.Count; ++i)
            out.push_back(list.Get(static_cast<int>(i))->SerialNumber);
        return out;
    }

    TTestRoot Root;
    std::unique_ptr<TTestTrace> TraceLog;
};

} // namespace

TEST_F(StoreTest, InstalledCertificateIsLoadedBackOnlyForItsExactProvider) {
    TTestCert mine = MakeCert({0x80, 0x00, 0x00, 0x01}, "Titular Um", 2048);
    TTestCert other = MakeCert({0x22}, "Outro Provedor");
    TTestCert bare = MakeCert({0x33}, "Sem Propriedade");
    TTestCert upper = MakeCert({0x44}, "Caixa Diferente");
    ASSERT_TRUE(Install(mine, kProvider));
    ASSERT_TRUE(Install(other, "Microsoft Enhanced Cryptographic Provider v1.0"));
    ASSERT_TRUE(Install(upper, "VARNO BASE CRYPTOGRAPHIC PROVIDER SERVER"));
    AddRaw("MY", bare, nullptr);
    EXPECT_EQ(4, CountInStore("MY"));

    TListCertificate list;
    TCertificateStore store;
    ASSERT_TRUE(store.LoadCert(&list, "MY", kProvider));
    ASSERT_EQ(1u, list.Count);
    TCertificate* loaded = list.Get(0);
    EXPECT_STREQ("80000001", loaded->SerialNumber);
    EXPECT_EQ(loaded, list.Search_FromKeyName("80000001"));
    EXPECT_STREQ(kProvider, loaded->ProviderName);
    EXPECT_STREQ("Titular Um", loaded->SubjectName);
    EXPECT_EQ(mine.Sha1Hex(), loaded->PrintSHA1);
    EXPECT_EQ(256, loaded->KeyLenght);
    EXPECT_EQ(256u, loaded->PublicModulus.LenFileData); // loaded with the key walk
    EXPECT_EQ(4u, loaded->PublicExponent.LenFileData);
    EXPECT_NE(std::string::npos, Trace().find("LoadCert: pwszContainerName=[80000001] pwszProvName=[" +
                                              std::string(kProvider) + "]\n"));

    // Without a name: every certificate that has a key-provider record.
    ASSERT_TRUE(store.LoadCert(&list, "MY", nullptr));
    EXPECT_EQ(3u, list.Count);
    EXPECT_EQ(nullptr, list.Search_FromKeyName("33"));

    // Another store holds none of them.
    ASSERT_TRUE(store.LoadCert(&list, "CA", kProvider));
    EXPECT_EQ(0u, list.Count);
}

TEST_F(StoreTest, InstallWritesKeyProviderRecordAndFriendlyName) {
    TTestCert cert = MakeCert({0x0A, 0xBC}, "Nome Amigavel");
    ASSERT_TRUE(Install(cert, kProvider));

    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    PCCERT_CONTEXT ctx = CertEnumCertificatesInStore(store, nullptr);
    ASSERT_NE(nullptr, ctx);
    EXPECT_EQ(cert.Der(), Bytes(ctx->pbCertEncoded, ctx->pbCertEncoded + ctx->cbCertEncoded));

    TCertificateStore helper;
    BYTE* data = nullptr;
    DWORD len = 0;
    ASSERT_TRUE(helper.GetContexParam(ctx, CERT_KEY_PROV_INFO_PROP_ID, &data, &len));
    ASSERT_NE(nullptr, data);
    const CRYPT_KEY_PROV_INFO* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(data);
    EXPECT_EQ(std::u16string(u"0ABC"), std::u16string(info->pwszContainerName));
    EXPECT_EQ(std::u16string(u"Varno Base Cryptographic Provider Server"),
              std::u16string(info->pwszProvName));
    EXPECT_EQ(1u, info->dwProvType);
    EXPECT_EQ(0u, info->dwFlags);
    EXPECT_EQ(0u, info->cProvParam);
    EXPECT_EQ(nullptr, info->rgProvParam);
    EXPECT_EQ(1u, info->dwKeySpec);
    free(data);

    ASSERT_TRUE(helper.GetContexParam(ctx, CERT_FRIENDLY_NAME_PROP_ID, &data, &len));
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(2u * 13u + 2u, len);
    EXPECT_EQ(std::u16string(u"Nome Amigavel"), std::u16string(reinterpret_cast<const char16_t*>(data)));
    free(data);

    // An absent property is no failure: null data.
    data = reinterpret_cast<BYTE*>(1);
    EXPECT_TRUE(helper.GetContexParam(ctx, 9999, &data, &len));
    EXPECT_EQ(nullptr, data);
    EXPECT_NE(
        std::string::npos,
        Trace().find("Falha no CertGetCertificateContextProperty para pegar o lenTmp, ERRO=[0x80092004"));
    EXPECT_FALSE(helper.GetContexParam(nullptr, CERT_KEY_PROV_INFO_PROP_ID, &data, &len));
    EXPECT_FALSE(helper.GetContexParam(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &len));

    CertFreeCertificateContext(ctx);
    CertCloseStore(store, 0);
    EXPECT_NE(std::string::npos,
              Trace().find("Setando CERT_KEY_PROV_INFO_PROP_ID, dwKeySpec=[0x1] dwProvType=[0x1], "
                           "pwszProvName=[Varno Base Cryptographic Provider Server], "
                           "pwszContainerName=[0ABC]\n"));
    EXPECT_NE(std::string::npos, Trace().find("Setando CERT_FRIENDLY_NAME_PROP_ID=[Nome Amigavel]\n"));

    // Installing again keeps one entry.
    ASSERT_TRUE(Install(cert, kProvider));
    EXPECT_EQ(1, CountInStore("MY"));
}

TEST_F(StoreTest, StoreTypeChoosesTheStoreAndOnlyMyGetsTheKeyLink) {
    TTestCert root = MakeCert({0x01}, "Raiz");
    TTestCert ca = MakeCert({0x02}, "Intermediaria");
    ASSERT_TRUE(Install(root, kProvider, LU_STORE_TYPE_ROOT));
    ASSERT_TRUE(Install(ca, kProvider, LU_STORE_TYPE_CA));
    EXPECT_FALSE(Install(MakeCert({0x03}, "Tipo Errado"), kProvider, 7));
    EXPECT_FALSE(Install(MakeCert({0x04}, "Tipo Zero"), kProvider, 0));
    EXPECT_EQ(1, CountInStore("ROOT"));
    EXPECT_EQ(1, CountInStore("CA"));
    EXPECT_EQ(0, CountInStore("MY"));

    HCERTSTORE store = CertOpenSystemStoreA(0, "ROOT");
    PCCERT_CONTEXT ctx = CertEnumCertificatesInStore(store, nullptr);
    ASSERT_NE(nullptr, ctx);
    DWORD len = 0;
    EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &len));
    EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &len));
    CertFreeCertificateContext(ctx);
    CertCloseStore(store, 0);

    TListCertificate list;
    ASSERT_TRUE(TCertificateStore().LoadCert(&list, "ROOT", nullptr));
    EXPECT_EQ(0u, list.Count);
}

TEST_F(StoreTest, BadArgumentsFailCleanly) {
    TCertificateStore store;
    TListCertificate list;
    EXPECT_FALSE(store.LoadCert(nullptr, "MY", kProvider));
    EXPECT_FALSE(store.LoadCert(&list, nullptr, kProvider));
    EXPECT_NE(std::string::npos, Trace().find("Parametro invalido, listCert=[(nil)] StoreName=["));
    EXPECT_FALSE(store.InstallCert(nullptr, kProvider));
    TCertificate empty;
    empty.StoreType = LU_STORE_TYPE_MY;
    EXPECT_FALSE(store.InstallCert(&empty, kProvider));
    EXPECT_NE(std::string::npos, Trace().find("Falha na CryptStringToBinaryA, LenFileCertBIN=[0]\n"));

    TCertificate loaded;
    std::string pem = MakeCert({0x05}, "Sem Provedor").Pem();
    ASSERT_TRUE(loaded.LoadCert_FromMemory(0, pem.data(), static_cast<uint32_t>(pem.size()), nullptr));
    loaded.StoreType = LU_STORE_TYPE_MY;
    EXPECT_FALSE(store.InstallCert(&loaded, nullptr));
    EXPECT_EQ(0, CountInStore("MY"));

    EXPECT_FALSE(store.RemoveAllCertProvider(nullptr, kProvider, nullptr));
    EXPECT_NE(std::string::npos, Trace().find("Parametros invalidos, StoreName=[(nil)]\n"));
    EXPECT_FALSE(store.RemoveAllCertProvider("MY", kProvider, &empty));
}

TEST_F(StoreTest, UnreadableCertificateOfTheProviderIsSkippedAndTheOthersStay) {
    ASSERT_TRUE(Install(MakeCert({0x10}, "Primeiro"), kProvider));
    TTestCert ec = TTestCert::SelfSigned(TTestKey::Ec());
    AddRaw("MY", ec, u"Varno Base Cryptographic Provider Server", u"EC01");
    ASSERT_TRUE(Install(MakeCert({0x11}, "Segundo"), kProvider));

    TListCertificate list;
    ASSERT_NE(nullptr, list.AddNewCert()); // anything held before goes
    EXPECT_TRUE(TCertificateStore().LoadCert(&list, "MY", kProvider));
    std::vector<std::string> serials = Serials(list);
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ((std::vector<std::string>{"10", "11"}), serials);
    EXPECT_NE(std::string::npos, Trace().find("Falha na PEM_read_bio_RSA_PUBKEY error=["));
    // The position is that of the store's enumeration.
    std::string text = Trace();
    size_t at = text.find("Certificado ignorado, nao foi possivel carregar, posicao=[");
    ASSERT_NE(std::string::npos, at);
    EXPECT_EQ(at + 59, text.find("] pwszContainerName=[EC01]\n", at)); // one digit
}

TEST_F(StoreTest, RemoveWithCertificateTakesOnlyEqualIssuerAndSerialOfTheProvider) {
    // Two certificates with the same issuer name and serial but different keys are "equal" for removal.
    TTestCertOptions opt;
    opt.Serial = {0x77, 0x01};
    opt.CommonName = "Mesmo Titular";
    TTestCert first = TTestCert::SelfSigned(TTestKey::Rsa(1024), opt);
    TTestCert sameIdOtherKey = TTestCert::SelfSigned(TTestKey::RsaFresh(1024), opt);
    ASSERT_NE(first.Sha1Hex(), sameIdOtherKey.Sha1Hex());
    TTestCert keep = MakeCert({0x77, 0x02}, "Mesmo Titular");
    ASSERT_TRUE(Install(first, kProvider));
    ASSERT_TRUE(Install(keep, kProvider));
    AddRaw("MY", sameIdOtherKey, u"Varno Base Cryptographic Provider Server", u"7701");
    EXPECT_EQ(3, CountInStore("MY"));

    // The same certificate under another provider stays when a provider is named.
    TTestCert otherProv = MakeCert({0x77, 0x01}, "Outro");
    AddRaw("MY", otherProv, u"Other Provider");

    TCertificate removeObj;
    std::string pem = first.PemCrlf();
    ASSERT_TRUE(removeObj.LoadCert_FromMemory(0, pem.data(), static_cast<uint32_t>(pem.size()), kProvider));
    // otherProv has another issuer name (its own CN), so only the first two match.
    ASSERT_TRUE(TCertificateStore().RemoveAllCertProvider("MY", kProvider, &removeObj));
    TListCertificate list;
    ASSERT_TRUE(TCertificateStore().LoadCert(&list, "MY", nullptr));
    // The store is read in thumbprint order: compare as sets.
    std::vector<std::string> serials = Serials(list);
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ((std::vector<std::string>{"7701", "7702"}), serials);
    TCertificate* survivor = list.Search_FromKeyName("7701");
    ASSERT_NE(nullptr, survivor);
    EXPECT_STREQ("Outro", survivor->SubjectName);
    EXPECT_NE(std::string::npos,
              Trace().find("Falha na CertEnumCertificatesInStore, tmpCertContext=[(nil)]\n"));
}

TEST_F(StoreTest, RemoveByProviderSkipsOthersAndCertificatesWithoutRecord) {
    TCertificateStore store;
    EXPECT_TRUE(store.RemoveAllCertProvider("MY", kProvider, nullptr)); // nothing to remove

    ASSERT_TRUE(Install(MakeCert({0x51}, "A"), kProvider));
    ASSERT_TRUE(Install(MakeCert({0x52}, "B"), kProvider));
    ASSERT_TRUE(Install(MakeCert({0x53}, "C"), "Trelis Legacy Provider"));
    AddRaw("MY", MakeCert({0x54}, "D"), nullptr);
    AddRaw("MY", MakeCert({0x55}, "E"), u"Varno Base Cryptographic Provider Serve"); // a prefix only

    ASSERT_TRUE(store.RemoveAllCertProvider("MY", kProvider, nullptr));
    EXPECT_EQ(3, CountInStore("MY"));
    EXPECT_NE(std::string::npos, Trace().find("Falha na GetContexParam\n"));
    EXPECT_NE(std::string::npos, Trace().find("ProviderNameCompare=[" + std::string(kProvider) +
                                              "] pwszProvName=[Trelis Legacy Provider]\n"));

    // Without a provider name: every certificate with a record goes, the bare one stays.
    ASSERT_TRUE(store.RemoveAllCertProvider("MY", nullptr, nullptr));
    EXPECT_EQ(1, CountInStore("MY"));
    TListCertificate list;
    ASSERT_TRUE(store.LoadCert(&list, "MY", nullptr));
    EXPECT_EQ(0u, list.Count);
}

TEST_F(StoreTest, StoreIsKeptInTheRegistryAndSharedBetweenProcesses) {
    TTestCert cert = MakeCert({0x0F, 0xED}, "Outro Processo");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        gPlatDebug = nullptr;
        _exit(Install(cert, kProvider) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(0, WEXITSTATUS(status));

    TListCertificate list;
    ASSERT_TRUE(TCertificateStore().LoadCert(&list, "MY", kProvider));
    ASSERT_EQ(1u, list.Count);
    EXPECT_STREQ("0FED", list.Get(0)->SerialNumber);

    // Where it lives: one key per certificate named by its SHA-1 thumbprint, value "Blob" ending with the
    // DER.
    std::string keyPath = "Software\\Microsoft\\SystemCertificates\\MY\\Certificates\\" + cert.Sha1Hex();
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_READ, &key));
    DWORD type = 0, size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Blob", nullptr, &type, nullptr, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    Bytes blob(size);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Blob", nullptr, &type, blob.data(), &size));
    RegCloseKey(key);
    Bytes der = cert.Der();
    ASSERT_GT(blob.size(), der.size());
    EXPECT_EQ(der, Bytes(blob.end() - static_cast<long>(der.size()), blob.end()));

    // Removal in another process is seen here too.
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        gPlatDebug = nullptr;
        _exit(TCertificateStore().RemoveAllCertProvider("MY", kProvider, nullptr) ? 0 : 1);
    }
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_EQ(0, WEXITSTATUS(status));
    ASSERT_TRUE(TCertificateStore().LoadCert(&list, "MY", kProvider));
    EXPECT_EQ(0u, list.Count);
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_READ, &key));
}
