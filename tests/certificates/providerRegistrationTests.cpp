#include "certificates/libCertificate.h"
#include "certificates/libCertificateProvider.h"
#include "certificates/libCertificateStore.h"
#include "os/platCNG.h"
#include "platform/platDebug.h"
#include "support/testCerts.h"
#include "support/testRoot.h"
#include "support/testTrace.h"

#include <gtest/gtest.h>

#include <memory>

#include <string>

namespace {

const char kCsp[] = "Varno Base Cryptographic Provider Server";
const char kKsp[] = "Varno Key Storage Provider Server";
const char kCspDll[] = "Varno_LUCSP_Server.dll";
const char kKspDll[] = "Varno_LUKSP_Server.dll";

std::string ProviderPath(const char* name) {
    return std::string(LU_CSP_PROVIDER_BASE_PATH) + "\\" + name;
}

bool KeyExists(const std::string& path, REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool ReadValue(const std::string& path, REGSAM view, const char* name, DWORD* type, std::string* data) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    char buf[1024];
    DWORD size = sizeof(buf);
    LONG rc = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return false;
    data->assign(buf, size);
    return true;
}

std::string KspPath(const char* name) {
    return std::string(LU_CNG_PROVIDERS_KEY) + "\\" + name;
}

std::u16string Wide(const char* s) {
    std::u16string w;
    for (; *s; ++s)
        w.push_back(static_cast<char16_t>(static_cast<unsigned char>(*s)));
    return w;
}

class ProviderRegistration : public ::testing::Test {
  protected:
    void SetUp() override { TraceLog = std::make_unique<TTestTrace>(Root.Path()); }
    void TearDown() override { TraceLog.reset(); }
    std::string Trace() { return TraceLog->Text(); }

    // One certificate of the given provider in the personal store.
    void InstallCertificate(const char* provider, uint8_t serial) {
        testcerts::TTestCertOptions opt;
        opt.Serial = {0x70, serial};
        std::string pem = testcerts::TTestCert::SelfSigned(testcerts::TTestKey::Rsa(2048), opt).Pem();
        TCertificate cert;
        ASSERT_TRUE(
            cert.LoadCert_FromMemory(0, pem.data(), static_cast<uint32_t>(pem.size()), provider, false));
        cert.StoreType = LU_STORE_TYPE_MY;
        ASSERT_TRUE(TCertificateStore().InstallCert(&cert, provider));
    }
    size_t CertificatesOf(const char* provider) {
        TListCertificate list;
        TCertificateStore().LoadCert(&list, "MY", provider);
        return list.Count;
    }

    TTestRoot Root;
    std::unique_ptr<TTestTrace> TraceLog;
};

} // namespace

TEST_F(ProviderRegistration, InstallCSPWritesTheThreeValuesInTheChosenView) {
    TCertificateProvider provider;
    ASSERT_TRUE(provider.InstallCSP(kCsp, kCspDll, false));
    EXPECT_TRUE(KeyExists(ProviderPath(kCsp), KEY_WOW64_64KEY));
    EXPECT_FALSE(KeyExists(ProviderPath(kCsp), KEY_WOW64_32KEY));
    ASSERT_TRUE(provider.InstallCSP(kCsp, kCspDll, true));
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        DWORD type = 0;
        std::string data;
        ASSERT_TRUE(ReadValue(ProviderPath(kCsp), view, "Type", &type, &data));
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
        EXPECT_EQ(data, std::string("\x01\x00\x00\x00", 4));
        ASSERT_TRUE(ReadValue(ProviderPath(kCsp), view, "SigInFile", &type, &data));
        EXPECT_EQ(data, std::string(4, '\0'));
        ASSERT_TRUE(ReadValue(ProviderPath(kCsp), view, "Image Path", &type, &data));
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(data, std::string(kCspDll) + '\0'); // with its terminating null
    }
    EXPECT_FALSE(provider.InstallCSP(nullptr, kCspDll, false));
    EXPECT_FALSE(provider.InstallCSP(kCsp, "", false));
    EXPECT_FALSE(provider.InstallCSP("a\\b", kCspDll, false));
}

TEST_F(ProviderRegistration, InstallThenUninstallLeavesNothingBehind) {
    InstallCertificate(kCsp, 1);
    InstallCertificate("Other Provider", 2);
    InstallCertificate(kKsp, 4); // registered for the key storage provider
    {
        TCertificateProvider provider;
        ASSERT_TRUE(provider.InstallProvider(kKsp, kCsp, kKspDll, kCspDll));
        EXPECT_EQ(provider.LastStatus, 0);
    }
    EXPECT_TRUE(KeyExists(KspPath(kKsp), KEY_WOW64_64KEY));
    DWORD type = 0;
    std::string data;
    ASSERT_TRUE(ReadValue(KspPath(kKsp), KEY_WOW64_64KEY, "Aliases", &type, &data));
    EXPECT_EQ(data, std::string(kCsp) + '\0' + '\0');
    ASSERT_TRUE(ReadValue(KspPath(kKsp) + "\\UM", KEY_WOW64_64KEY, "Image", &type, &data));
    EXPECT_EQ(data, std::string(kKspDll) + '\0');
    ASSERT_TRUE(ReadValue(KspPath(kKsp) + "\\UM\\00010001", KEY_WOW64_64KEY, "Functions", &type, &data));
    EXPECT_EQ(data, std::string("KEY_STORAGE") + '\0' + '\0');
    ASSERT_TRUE(ReadValue(KspPath(kKsp) + "\\UM\\00010001", KEY_WOW64_64KEY, "Flags", &type, &data));
    EXPECT_EQ(data, std::string("\x01\x00\x00\x00", 4));
    // Listed in the default context's key storage function, once also after a second install.
    const std::string context = std::string(LU_CNG_CONTEXTS_KEY) + "\\Default\\00010001\\KEY_STORAGE";
    ASSERT_TRUE(TCertificateProvider().InstallProvider(kKsp, kCsp, kKspDll, kCspDll));
    ASSERT_TRUE(ReadValue(context, KEY_WOW64_64KEY, "Providers", &type, &data));
    EXPECT_EQ(data, std::string(kKsp) + '\0' + '\0');
    EXPECT_TRUE(KeyExists(ProviderPath(kCsp), KEY_WOW64_64KEY));
    EXPECT_TRUE(KeyExists(ProviderPath(kCsp), KEY_WOW64_32KEY));
    EXPECT_EQ(CertificatesOf(kCsp), 1u); // installing leaves the provider's own certificates alone
    EXPECT_EQ(CertificatesOf(kKsp), 1u);

    TCertificateProvider provider;
    ASSERT_TRUE(provider.UninstallProvider(kKsp, kCsp, true));
    EXPECT_FALSE(KeyExists(KspPath(kKsp), KEY_WOW64_64KEY));
    ASSERT_TRUE(ReadValue(context, KEY_WOW64_64KEY, "Providers", &type, &data));
    EXPECT_EQ(data, std::string(1, '\0'));
    EXPECT_FALSE(KeyExists(ProviderPath(kCsp), KEY_WOW64_64KEY));
    EXPECT_FALSE(KeyExists(ProviderPath(kCsp), KEY_WOW64_32KEY));
    EXPECT_EQ(CertificatesOf(kCsp), 0u);
    EXPECT_EQ(CertificatesOf(kKsp), 0u);
    EXPECT_EQ(CertificatesOf("Other Provider"), 1u);
    // The second UninstallCSP of the uninstall finds both keys gone.
    EXPECT_NE(Trace().find("Falha ao apagar NameProvider='" + std::string(kCsp) + "' in 64 Bits"),
              std::string::npos);
}

TEST_F(ProviderRegistration, InstallingTwiceRegistersAgain) {
    TCertificateProvider provider;
    ASSERT_TRUE(provider.InstallProvider(kKsp, kCsp, kKspDll, kCspDll));
    // The same object again, after an uninstall in between and over an existing registration.
    ASSERT_TRUE(provider.UninstallProvider(kKsp, kCsp, false));
    ASSERT_TRUE(provider.InstallProvider(kKsp, kCsp, kKspDll, kCspDll));
    EXPECT_TRUE(KeyExists(ProviderPath(kCsp), KEY_WOW64_64KEY));
    EXPECT_TRUE(KeyExists(ProviderPath(kCsp), KEY_WOW64_32KEY));
    const std::string removal =
        "<TCertificateProvider::UninstallProvider KSP_Name=[" + std::string(kKsp) + "]>";
    auto count = [&](const std::string& text) {
        size_t n = 0;
        for (size_t at = text.find(removal); at != std::string::npos; at = text.find(removal, at + 1))
            ++n;
        return n;
    };
    size_t before = count(Trace());
    ASSERT_TRUE(provider.InstallProvider(kKsp, kCsp, kKspDll, kCspDll));
    EXPECT_EQ(count(Trace()), before + 1); // the collision made it remove the registration first
    EXPECT_EQ(provider.LastStatus, 0);
    EXPECT_TRUE(KeyExists(KspPath(kKsp) + "\\UM\\00010001", KEY_WOW64_64KEY));
    EXPECT_TRUE(KeyExists(ProviderPath(kCsp), KEY_WOW64_32KEY));
}

TEST_F(ProviderRegistration, UninstallOfAnUnknownProviderKeepsTheCertificates) {
    InstallCertificate(kCsp, 3);
    TCertificateProvider provider;
    ASSERT_TRUE(provider.InstallCSP(kCsp, kCspDll, false));
    EXPECT_FALSE(provider.UninstallProvider(kKsp, kCsp, true));
    EXPECT_EQ(static_cast<uint32_t>(provider.LastStatus), 0xC0000225u);
    EXPECT_FALSE(KeyExists(ProviderPath(kCsp), KEY_WOW64_64KEY)); // the CSP keys go all the same
    EXPECT_EQ(CertificatesOf(kCsp), 1u);
    EXPECT_NE(
        Trace().find("Falha ao executar 'BCryptUnregisterProvider', ERRO:[STATUS_NOT_FOUND][ 3221226021 / "
                     "0xC0000225 ]"),
        std::string::npos)
        << Trace();
}

TEST_F(ProviderRegistration, InstallRemovesWhatOlderInstallationsLeft) {
    TCertificateProvider old;
    ASSERT_TRUE(old.InstallProvider(LU_LEGACY_KSP_NAME, LU_LEGACY_CSP_NAME, "old_ksp.dll", "old_csp.dll"));
    InstallCertificate(LU_LEGACY_CSP_NAME, 4);
    InstallCertificate(LU_LEGACY_KSP_NAME, 5);
    InstallCertificate(kCsp, 6);

    TCertificateProvider provider;
    ASSERT_TRUE(provider.InstallProvider(kKsp, kCsp, kKspDll, kCspDll));
    EXPECT_FALSE(KeyExists(KspPath(LU_LEGACY_KSP_NAME), KEY_WOW64_64KEY));
    EXPECT_FALSE(KeyExists(ProviderPath(LU_LEGACY_CSP_NAME), KEY_WOW64_64KEY));
    EXPECT_FALSE(KeyExists(ProviderPath(LU_LEGACY_CSP_NAME), KEY_WOW64_32KEY));
    EXPECT_EQ(CertificatesOf(LU_LEGACY_CSP_NAME), 0u);
    EXPECT_EQ(CertificatesOf(LU_LEGACY_KSP_NAME), 0u);
    EXPECT_EQ(CertificatesOf(kCsp), 1u);
    EXPECT_TRUE(KeyExists(KspPath(kKsp), KEY_WOW64_64KEY));
}

TEST_F(ProviderRegistration, CngStandInAnswersCollisionAndNotFound) {
    std::u16string name = Wide("Stand-in KSP"), alias = Wide("Alias"), image = Wide("x.dll"), fn = Wide("F");
    LPWSTR aliases[] = {reinterpret_cast<LPWSTR>(&alias[0])};
    LPWSTR functions[] = {reinterpret_cast<LPWSTR>(&fn[0])};
    CRYPT_INTERFACE_REG itf{NCRYPT_KEY_STORAGE_INTERFACE, CRYPT_LOCAL, 1, functions};
    PCRYPT_INTERFACE_REG itfs[] = {&itf};
    CRYPT_IMAGE_REG um{reinterpret_cast<LPWSTR>(&image[0]), 1, itfs};
    CRYPT_PROVIDER_REG reg{1, aliases, &um, nullptr};
    LPCWSTR n = reinterpret_cast<LPCWSTR>(name.c_str());

    EXPECT_EQ(osBCryptUnregisterProvider(n), LU_STATUS_NOT_FOUND);
    EXPECT_EQ(osBCryptRegisterProvider(n, 0, &reg), LU_STATUS_SUCCESS);
    EXPECT_EQ(osBCryptRegisterProvider(n, 0, &reg), LU_STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(osBCryptUnregisterProvider(n), LU_STATUS_SUCCESS);
    EXPECT_EQ(osBCryptUnregisterProvider(n), LU_STATUS_NOT_FOUND);

    EXPECT_EQ(osBCryptRegisterProvider(nullptr, 0, &reg), LU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(osBCryptRegisterProvider(n, 0, nullptr), LU_STATUS_INVALID_PARAMETER);
    CRYPT_PROVIDER_REG noImage{1, aliases, nullptr, nullptr};
    EXPECT_EQ(osBCryptRegisterProvider(n, 0, &noImage), LU_STATUS_INVALID_PARAMETER);
    CRYPT_INTERFACE_REG badItf{NCRYPT_KEY_STORAGE_INTERFACE, CRYPT_LOCAL, 2, nullptr};
    PCRYPT_INTERFACE_REG badItfs[] = {&badItf};
    CRYPT_IMAGE_REG badUm{reinterpret_cast<LPWSTR>(&image[0]), 1, badItfs};
    CRYPT_PROVIDER_REG bad{1, aliases, &badUm, nullptr};
    EXPECT_EQ(osBCryptRegisterProvider(n, 0, &bad), LU_STATUS_INVALID_PARAMETER);
    std::u16string sub = Wide("a\\b");
    EXPECT_EQ(osBCryptUnregisterProvider(reinterpret_cast<LPCWSTR>(sub.c_str())),
              LU_STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(KeyExists(KspPath("Stand-in KSP"), KEY_WOW64_64KEY));
}
