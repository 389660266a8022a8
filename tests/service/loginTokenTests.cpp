// The login step of a key: the stored token of its certificate, read from the current user's registry,
// handed to the signing-service client of the process.
#include "frontend/libLumidra.h"
#include "keys/libLUProviderKEY.h"
#include "platform/TVarnoRegedit.h"
#include "service/serviceTestSupport.h"

#include <cstring>
#include <string>

using namespace svctest;

namespace {

class LoginToken : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!gLumidra) {
            gLumidra = new TLumidra;
            OwnLumidra = true;
        }
        ASSERT_TRUE(Cert.LoadCert_FromMemory(0, S.Key.CertPEM.data(),
                                             static_cast<uint32_t>(S.Key.CertPEM.size()),
                                             "Varno Base Cryptographic Provider Server", false));
        ASSERT_NE(nullptr, Cert.SerialNumber);
        Key.KeyType = LUK_TCertificate;
        Key.certificate = &Cert;
    }
    void TearDown() override {
        if (OwnLumidra) {
            delete gLumidra;
            gLumidra = nullptr;
        }
    }
    void Store(HKEY root, const std::string& value, REGSAM view = KEY_WOW64_64KEY) {
        TVarnoRegedit reg(root);
        ASSERT_TRUE(reg.SetGrupoName(GRUPO_NAME_CERTIFICATE, Cert.SerialNumber, view));
        ASSERT_TRUE(reg.RegSetValueW("Token", GRUPO_NAME_CERTIFICATE, REG_BINARY, value.data(),
                                     static_cast<DWORD>(value.size())));
    }
    TLUConex& Conex() { return gLumidra->Conex; }

    TSharedService& S = Shared();
    TTestRoot Root; // a registry of the test's own
    bool OwnLumidra = false;
    TCertificate Cert;
    TLUProviderKey Key;
};

} // namespace

TEST_F(LoginToken, StoredTokenIsCopiedIntoTheClient) {
    std::string token(40, 'k');
    Store(HKEY_CURRENT_USER, token);
    TScopedTrace trace(Root.Path() + "/login.log");
    ASSERT_EQ(0, Key.VerifyLogin(false, 0));
    EXPECT_TRUE(Conex().TokenSign.Valid);
    EXPECT_TRUE(Conex().TokenSocket.Valid);
    EXPECT_EQ(token, Conex().TokenSign.Token);
    EXPECT_EQ(&Cert, Conex().certificate);
    // The client owns its copy: the key keeps none, and destroying the key cannot leave it dangling.
    EXPECT_EQ(0, Key.TokenLocal[0]);
    EXPECT_NE(static_cast<const void*>(Key.TokenLocal), static_cast<const void*>(Conex().TokenSign.Token));
    std::string text = trace.Text();
    EXPECT_NE(std::string::npos,
              text.find("Usando TokenLocalRegEdit, SerialNumber=[" + std::string(Cert.SerialNumber)));
    EXPECT_EQ(std::string::npos, text.find(token));
}

TEST_F(LoginToken, MissingOrUnusableTokensFailWithNteFail) {
    Store(HKEY_CURRENT_USER, "valid-token");
    ASSERT_EQ(0, Key.VerifyLogin(false, 0));
    // Only under the machine's key: not found, and the previous token is gone.
    {
        TVarnoRegedit user(HKEY_CURRENT_USER);
        ASSERT_TRUE(user.DeleteGrupoName(GRUPO_NAME_CERTIFICATE, Cert.SerialNumber, true));
    }
    Store(HKEY_LOCAL_MACHINE, "machine-token");
    EXPECT_EQ(NTE_FAIL, Key.VerifyLogin_LoadLocalToken(&Cert));
    EXPECT_FALSE(Conex().TokenSign.Valid);
    EXPECT_FALSE(Conex().Request_CheckTokenCode(true, true));

    Store(HKEY_CURRENT_USER, std::string(256, 'a'));
    EXPECT_EQ(NTE_FAIL, Key.VerifyLogin(false, 0));
    Store(HKEY_CURRENT_USER, std::string(300, 'a'));
    EXPECT_EQ(NTE_FAIL, Key.VerifyLogin(false, 0));
    Store(HKEY_CURRENT_USER, std::string("a\r\nb"));
    EXPECT_EQ(NTE_FAIL, Key.VerifyLogin(false, 0));
    Store(HKEY_CURRENT_USER, std::string(1, '\0'));
    EXPECT_EQ(NTE_FAIL, Key.VerifyLogin(false, 0));
    EXPECT_FALSE(Conex().TokenSign.Valid);

    std::string longest(255, 'b');
    Store(HKEY_CURRENT_USER, longest);
    ASSERT_EQ(0, Key.VerifyLogin(false, 0));
    EXPECT_EQ(longest, Conex().TokenSign.Token);
    // A terminator stored with the text is fine.
    Store(HKEY_CURRENT_USER, std::string("com-terminador") + '\0');
    ASSERT_EQ(0, Key.VerifyLogin(false, 0));
    EXPECT_STREQ("com-terminador", Conex().TokenSign.Token);
}

TEST_F(LoginToken, WrongKeysAndCertificates) {
    EXPECT_EQ(NTE_FAIL, Key.VerifyLogin_LoadLocalToken(nullptr));
    TLUProviderKey empty;
    EXPECT_EQ(NTE_SYS_ERR, empty.VerifyLogin(false, 0));
    EXPECT_EQ(NTE_FAIL, empty.VerifyLogin_LoadLocalToken(&Cert));
}

TEST_F(LoginToken, FailedLoginForgetsTheCachedResult) {
    Key.LastDataEncryptDecrypt.DataValueInput.AddString("entrada");
    Key.LastDataEncryptDecrypt.DataResult.AddString("assinatura antiga");
    EXPECT_EQ(NTE_FAIL, Key.VerifyLogin(false, 0));
    EXPECT_EQ(0u, Key.LastDataEncryptDecrypt.DataResult.LenFileData);
    EXPECT_EQ(0u, Key.LastDataEncryptDecrypt.DataValueInput.LenFileData);
}
