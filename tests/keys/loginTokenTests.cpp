// The login step of a key: the stored token of its certificate, read from the current user's registry
// into the caller's token for one operation. The key keeps nothing of it.
#include "keyTestSupport.h"
#include "platform/TVarnoRegedit.h"
#include "support/testRoot.h"
#include "support/testTrace.h"

#include <string>

using namespace keytest;

namespace {

class LoginToken : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(K.Loaded); }
    void Store(HKEY root, const std::string& value) {
        TVarnoRegedit reg(root);
        ASSERT_TRUE(reg.SetGrupoName(GRUPO_NAME_CERTIFICATE, K.Certificate->SerialNumber, KEY_WOW64_64KEY));
        ASSERT_TRUE(reg.RegSetValueW("Token", GRUPO_NAME_CERTIFICATE, REG_BINARY, value.data(),
                                     static_cast<DWORD>(value.size())));
    }
    int Login(TLULoginToken* token) { return K.KeyObject.VerifyLogin(false, 0, token); }

    TTestRoot Root; // a registry of the test's own
    TCertKey K{1024};
};

} // namespace

TEST_F(LoginToken, StoredTokenIsReadForTheCallerOnly) {
    std::string token(40, 'k');
    Store(HKEY_CURRENT_USER, token);
    TTestTrace trace(Root.Path());
    TLULoginToken read;
    ASSERT_EQ(0, Login(&read));
    EXPECT_EQ(token, read.Text);
    std::string text = trace.Text();
    EXPECT_NE(std::string::npos, text.find("Usando TokenLocalRegEdit, SerialNumber=[" +
                                           std::string(K.Certificate->SerialNumber)));
    EXPECT_EQ(std::string::npos, text.find(token));
    read.Clear();
    EXPECT_EQ(0, read.Text[0]);
}

TEST_F(LoginToken, MissingOrUnusableTokensFailWithNteFail) {
    TLULoginToken read;
    Store(HKEY_CURRENT_USER, "valid-token");
    ASSERT_EQ(0, Login(&read));
    // Only under the machine's key: not found, and nothing of the previous token is left.
    {
        TVarnoRegedit user(HKEY_CURRENT_USER);
        ASSERT_TRUE(user.DeleteGrupoName(GRUPO_NAME_CERTIFICATE, K.Certificate->SerialNumber, true));
    }
    Store(HKEY_LOCAL_MACHINE, "machine-token");
    EXPECT_EQ(NTE_FAIL, K.KeyObject.VerifyLogin_LoadLocalToken(K.Certificate.get(), &read));
    EXPECT_EQ(0, read.Text[0]);

    for (const std::string& bad :
         {std::string(256, 'a'), std::string(300, 'a'), std::string("a\r\nb"), std::string(1, '\0')}) {
        Store(HKEY_CURRENT_USER, bad);
        EXPECT_EQ(NTE_FAIL, Login(&read)) << bad.size();
        EXPECT_EQ(0, read.Text[0]);
    }
    std::string longest(255, 'b');
    Store(HKEY_CURRENT_USER, longest);
    ASSERT_EQ(0, Login(&read));
    EXPECT_EQ(longest, read.Text);
    // A terminator stored with the text is fine.
    Store(HKEY_CURRENT_USER, std::string("com-terminador") + '\0');
    ASSERT_EQ(0, Login(&read));
    EXPECT_STREQ("com-terminador", read.Text);
}

TEST_F(LoginToken, WrongKeysAndCertificates) {
    TLULoginToken read;
    EXPECT_EQ(NTE_FAIL, K.KeyObject.VerifyLogin_LoadLocalToken(nullptr, &read));
    EXPECT_EQ(NTE_FAIL, K.KeyObject.VerifyLogin_LoadLocalToken(K.Certificate.get(), nullptr));
    TLUProviderKey empty;
    EXPECT_EQ(NTE_SYS_ERR, empty.VerifyLogin(false, 0, &read));
    EXPECT_EQ(NTE_FAIL, empty.VerifyLogin_LoadLocalToken(K.Certificate.get(), &read));
}

TEST_F(LoginToken, FailedLoginForgetsTheCachedResult) {
    TVarnoMemory input, result;
    ASSERT_TRUE(input.AddString("entrada"));
    ASSERT_TRUE(input.hashCalcMD5());
    ASSERT_TRUE(result.AddString("assinatura antiga"));
    const TLUBlockOptions options{TKP_PAD_PKCS1, TKS1_Type1_PrivateKey};
    ASSERT_TRUE(K.KeyObject.Cache.Store(input, options, result));
    TLULoginToken read;
    EXPECT_EQ(NTE_FAIL, Login(&read));
    EXPECT_FALSE(K.KeyObject.Cache.IsValid());
    TVarnoMemory found;
    EXPECT_FALSE(K.KeyObject.Cache.Find(input, options, &found));
}

// Every login reads the registry as it is now, although the token's key stays open between logins: a
// token rewritten, a certificate unregistered and registered again with another token.
TEST_F(LoginToken, EveryLoginSeesTheTokenAsStoredNow) {
    TLULoginToken read;
    Store(HKEY_CURRENT_USER, "primeiro");
    ASSERT_EQ(0, Login(&read));
    EXPECT_STREQ("primeiro", read.Text);
    Store(HKEY_CURRENT_USER, "segundo");
    ASSERT_EQ(0, Login(&read));
    EXPECT_STREQ("segundo", read.Text);
    {
        TVarnoRegedit user(HKEY_CURRENT_USER);
        ASSERT_TRUE(user.DeleteGrupoName(GRUPO_NAME_CERTIFICATE, K.Certificate->SerialNumber, true));
    }
    EXPECT_EQ(NTE_FAIL, Login(&read));
    EXPECT_EQ(0, read.Text[0]);
    Store(HKEY_CURRENT_USER, "terceiro");
    ASSERT_EQ(0, Login(&read));
    EXPECT_STREQ("terceiro", read.Text);
}
