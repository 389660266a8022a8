#include "os/platOS.h"
#include "platform/TVarnoAppConfig.h"
#include "platform/platDebug.h"
#include "platform/platException.h"
#include "platform/platSecret.h"
#include "support/smtpSink.h"
#include "support/testHooks.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The process configuration as the library has it: base table plus the endpoint settings the report
// prints.
class TTestConfig : public TVarnoAppConfig {
  public:
    TTestConfig() {
        SetVariable(0, &VersionInstall, "VersionInstall", "7.1.2");
        AddGrupo(GRUPO_NAME_CONEX, "Conex");
        SetVariable(GRUPO_NAME_CONEX, &CNX_SetHomolog, "CNX_SetHomolog", 1);
        SetVariable(GRUPO_NAME_CONEX, &CNX_SetHomolog_EndPointVersion, "CNX_SetHomolog_EndPointVersion", 5);
        LoadValues(0);
    }
    char* VersionInstall = nullptr;
    int32_t CNX_SetHomolog = 0;
    int32_t CNX_SetHomolog_EndPointVersion = 0;
};

void FixedIdentity(std::string& host, std::string& user, std::string& dna) {
    host = "HOST<1>";
    user = "user&2";
    dna = "ABCDEF0123";
}

BOOL FakeEntryPoint(const char* name) {
    BOOL result = FALSE;
    LU_ENTRY_TRY(name)
    SetLastError(0);
    result = TRUE;
    LU_ENTRY_CATCH(name, result)
    return result;
}

class CrashReport : public ::testing::Test {
  protected:
    void SetUp() override {
        Saved = gPlatDebug;
        gPlatDebug = nullptr;
        Config = new TTestConfig();
        TPlatDebugConfig cfg{};
        cfg.TypeOut = 1;
        cfg.Level = 0xFFFFFFFFu;
        cfg.Flush = 1;
        TracePath = Root.Path() + "/trace.log";
        snprintf(cfg.FilePath, sizeof(cfg.FilePath), "%s", TracePath.c_str());
        Log.Config(1, cfg);
        gPlatDebug = &Log;
        ASSERT_TRUE(sysCrashReportConfig(Config, "https://signer.lucsp.invalid/Encrypt?a=1&b=2"));
        sysCrashReportSetIdentity(FixedIdentity);
        setenv("LUCSP_TEST_THROW_IN", "CPSignHash", 1);
    }
    void TearDown() override {
        unsetenv("LUCSP_TEST_THROW_IN");
        sysCrashReportConfig(nullptr, nullptr);
        sysCrashReportSetIdentity(nullptr);
        delete Config;
        gPlatDebug = Saved;
    }
    void SetMail(const std::string& url, const std::string& user = "", const std::string& password = "",
                 const std::string& ca = "") {
        Config->SetValue("MailURL", url.c_str());
        Config->SetValue("MailBox", "report@lucsp.test");
        Config->SetValue("MailUser", user.c_str());
        Config->SetValue("MailPassword", password.c_str());
        Config->SetValue("MailCAInfo", ca.c_str());
    }
    // A self-signed certificate for 127.0.0.1.
    void MakeCertificate() {
        CertPath = Root.Path() + "/cert.pem";
        KeyPath = Root.Path() + "/key.pem";
        std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost -addext "
                          "subjectAltName=IP:127.0.0.1,DNS:localhost -keyout " +
                          KeyPath + " -out " + CertPath + " >/dev/null 2>&1";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    TTestRoot Root;
    TPlatDebug Log;
    TPlatDebug* Saved = nullptr;
    TTestConfig* Config = nullptr;
    std::string TracePath, CertPath, KeyPath;
};

const char* const kLabels[] = {"<html><body>",
                               "<span style='font-family:\"Courier New\"'>",
                               "<br>##########################<br>",
                               "Message:<br>",
                               "",
                               "<br>##########################<br>",
                               "Function:",
                               "Line....:",
                               "<br>##########################<br>",
                               "PlatForm........: ",
                               "HostName........: ",
                               "UserName........: ",
                               "dna.............: ",
                               "VersionInstall..: ",
                               "Version_OS......: ",
                               "Version_Desktop.: ",
                               "Version_CSP.....: ",
                               "Version_System32: ",
                               "Version_SysWOW64: ",
                               "APP_COD_CLIENTE.: ",
                               "APP_NOME........: ",
                               "APP_NOME_CLIENTE: ",
                               "<br>##########################<br>",
                               "CNX_SetHomolog................: ",
                               "CNX_SetHomolog_EndPointVersion: ",
                               "URL_SignHash..................: ",
                               "<o:p></o:p></span></p>",
                               "</body></html>"};

} // namespace

TEST(CrashReportText, CodeIsTheCrcOfTheOleDate) {
    TOsLocalTime t{2024, 1, 2, 3, 4, 5, 6}; // OLE date 45293.127836
    EXPECT_EQ(sysCrashReportCode(t), "2701A5EE");
    EXPECT_EQ(sysCrashReportSubject("2701A5EE"), "TRELISSERVER / CRITICAL ERROR / REPORT: (2701A5EE)");
}

TEST(CrashReportText, NoFunctionLeavesOutItsBlockAndValuesAreEscaped) {
    TCrashReportData d;
    d.Message = "bad <b>\"x\" & 'y'";
    d.PlatForm = "WIN32";
    std::vector<std::string> lines = sysCrashReportLines(d);
    ASSERT_EQ(lines.size(), 25u);
    EXPECT_EQ(lines[4], "bad &lt;b&gt;&quot;x&quot; &amp; &#39;y&#39;<br>");
    EXPECT_EQ(lines[5], "<br>##########################<br>");
    EXPECT_EQ(lines[6], "PlatForm........: WIN32<br>");
    d.Function = "CPSignHash";
    d.Line = 42;
    lines = sysCrashReportLines(d);
    ASSERT_EQ(lines.size(), 28u);
    EXPECT_EQ(lines[6], "Function:CPSignHash<br>");
    EXPECT_EQ(lines[7], "Line....:42<br>");
}

TEST_F(CrashReport, ExceptionInAnEntryPointSendsExactlyOneMail) {
    LUCSP_SKIP_WITHOUT_TEST_HOOKS();
    TSmtpSink sink(Root.Path() + "/mail", {});
    SetMail("smtp://127.0.0.1:" + std::to_string(sink.Port));

    SetLastError(0);
    EXPECT_EQ(FakeEntryPoint("CPSignHash"), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNWIND));
    EXPECT_EQ(FakeEntryPoint("CPGetHashParam"), TRUE); // the hook names one entry point only
    EXPECT_EQ(GetLastError(), 0u);

    std::vector<std::string> mails = sink.Mails();
    ASSERT_EQ(mails.size(), 1u);
    const std::string& mail = mails[0];
    std::string subject = MailHeader(mail, "Subject");
    ASSERT_EQ(subject.rfind("TRELISSERVER / CRITICAL ERROR / REPORT: (", 0), 0u) << subject;
    std::string code = subject.substr(41, subject.size() - 42);
    EXPECT_FALSE(code.empty());
    EXPECT_EQ(code.find_first_not_of("0123456789ABCDEF"), std::string::npos) << code;
    EXPECT_EQ(MailHeader(mail, "From"), "<report@lucsp.test>");
    EXPECT_EQ(MailHeader(mail, "To"), "<report@lucsp.test>");
    EXPECT_NE(MailHeader(mail, "Content-Type").find("text/html"), std::string::npos);
    EXPECT_NE(sink.Meta(1).find("\"rcpt_tos\": [\"report@lucsp.test\"]"), std::string::npos) << sink.Meta(1);

    std::vector<std::string> lines = MailBodyLines(mail);
    ASSERT_EQ(lines.size(), sizeof(kLabels) / sizeof(kLabels[0]));
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].rfind(kLabels[i], 0), 0u) << i << ": " << lines[i];
    EXPECT_EQ(lines[4], "LUCSP_TEST_THROW_IN: CPSignHash<br>");
    EXPECT_EQ(lines[6], "Function:CPSignHash<br>");
    EXPECT_EQ(lines[9], "PlatForm........: WIN32<br>");
    EXPECT_EQ(lines[10], "HostName........: HOST&lt;1&gt;<br>");
    EXPECT_EQ(lines[11], "UserName........: user&amp;2<br>");
    EXPECT_EQ(lines[12], "dna.............: ABCDEF0123<br>");
    EXPECT_EQ(lines[13], "VersionInstall..: 7.1.2<br>");
    EXPECT_NE(lines[14].find("(Version "), std::string::npos) << lines[14];
    EXPECT_EQ(lines[19], "APP_COD_CLIENTE.: 0<br>");
    EXPECT_EQ(lines[20], "APP_NOME........: Trelis_Server<br>");
    EXPECT_EQ(lines[21], "APP_NOME_CLIENTE: Vestrum<br>");
    EXPECT_EQ(lines[23], "CNX_SetHomolog................: 1<br>");
    EXPECT_EQ(lines[24], "CNX_SetHomolog_EndPointVersion: 5<br>");
    EXPECT_EQ(lines[25],
              "URL_SignHash..................: https://signer.lucsp.invalid/Encrypt?a=1&amp;b=2<br>");

    std::string trace = ReadWholeFile(TracePath);
    EXPECT_NE(trace.find("Exception: Function=[CPSignHash]["), std::string::npos);
    EXPECT_NE(trace.find("exception=[LUCSP_TEST_THROW_IN: CPSignHash]"), std::string::npos);

    // A second exception: a second mail.
    EXPECT_EQ(FakeEntryPoint("CPSignHash"), FALSE);
    EXPECT_EQ(sink.Mails().size(), 2u);
}

TEST_F(CrashReport, TheDllEntryOnlyTraces) {
    TSmtpSink sink(Root.Path() + "/mail", {});
    SetMail("smtp://127.0.0.1:" + std::to_string(sink.Port));
    sysCathShowException(std::runtime_error("at load"), "DllEntryPoint", 7);
    EXPECT_TRUE(sink.Mails().empty());
    EXPECT_NE(ReadWholeFile(TracePath).find("Exception: Function=[DllEntryPoint][7], exception=[at load]"),
              std::string::npos);
}

TEST_F(CrashReport, WithoutMailURLNothingIsSentAndNothingWaits) {
    LUCSP_SKIP_WITHOUT_TEST_HOOKS();
    TSmtpSink sink(Root.Path() + "/mail", {});
    SetMail("");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FakeEntryPoint("CPSignHash"), FALSE);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNWIND));
    EXPECT_LT(took, std::chrono::milliseconds(200));
    EXPECT_TRUE(sink.Mails().empty());
    // The trace line is written all the same.
    EXPECT_NE(ReadWholeFile(TracePath).find("Exception: Function=[CPSignHash]"), std::string::npos);
}

TEST_F(CrashReport, LoginGoesOverStartTls) {
    LUCSP_SKIP_WITHOUT_TEST_HOOKS();
    MakeCertificate();
    // The password as earlier versions stored it, and protected for the machine.
    std::string protectedText;
    ASSERT_TRUE(platProtectSecretText("s3cret", protectedText));
    EXPECT_EQ(std::string::npos, protectedText.find("s3cret"));
    for (const std::string& stored : {std::string("s3cret"), protectedText}) {
        TSmtpSink sink(Root.Path() + "/mail" + std::to_string(stored.size()),
                       {"--cert", CertPath, "--key", KeyPath, "--starttls", "--auth", "reporter:s3cret"});
        SetMail("smtp://127.0.0.1:" + std::to_string(sink.Port), "reporter", stored, CertPath);
        EXPECT_EQ(FakeEntryPoint("CPSignHash"), FALSE);
        ASSERT_EQ(sink.Mails().size(), 1u);
        EXPECT_NE(sink.Meta(1).find("\"tls\": true"), std::string::npos) << sink.Meta(1);
        EXPECT_NE(sink.Meta(1).find("\"authenticated\": true"), std::string::npos);
        EXPECT_NE(sink.AuthLog().find("reporter tls=1 ok=1"), std::string::npos) << sink.AuthLog();
        EXPECT_EQ(std::string::npos, ReadWholeFile(TracePath).find("s3cret"));
    }
}

TEST_F(CrashReport, StartTlsIsTakenWhenOfferedEvenWithoutLogin) {
    LUCSP_SKIP_WITHOUT_TEST_HOOKS();
    MakeCertificate();
    TSmtpSink sink(Root.Path() + "/mail", {"--cert", CertPath, "--key", KeyPath, "--starttls"});
    SetMail("smtp://127.0.0.1:" + std::to_string(sink.Port), "", "", CertPath);
    EXPECT_EQ(FakeEntryPoint("CPSignHash"), FALSE);
    ASSERT_EQ(sink.Mails().size(), 1u);
    EXPECT_NE(sink.Meta(1).find("\"tls\": true"), std::string::npos) << sink.Meta(1);
}

TEST_F(CrashReport, NoStartTlsOfferedMeansNoLoginAndNoMail) {
    LUCSP_SKIP_WITHOUT_TEST_HOOKS();
    // The server would take the password in clear; the report must not give it.
    TSmtpSink sink(Root.Path() + "/mail", {"--auth", "reporter:s3cret", "--auth-in-clear"});
    SetMail("smtp://127.0.0.1:" + std::to_string(sink.Port), "reporter", "s3cret");
    SetLastError(0);
    EXPECT_EQ(FakeEntryPoint("CPSignHash"), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNWIND));
    EXPECT_TRUE(sink.Mails().empty());
    EXPECT_EQ(sink.AuthLog(), "");
    EXPECT_NE(ReadWholeFile(TracePath).find("Relatorio de erro nao enviado"), std::string::npos);
}

TEST_F(CrashReport, ImplicitTlsIsAccepted) {
    LUCSP_SKIP_WITHOUT_TEST_HOOKS();
    MakeCertificate();
    TSmtpSink sink(Root.Path() + "/mail", {"--cert", CertPath, "--key", KeyPath, "--smtps"});
    SetMail("smtps://127.0.0.1:" + std::to_string(sink.Port), "", "", CertPath);
    EXPECT_EQ(FakeEntryPoint("CPSignHash"), FALSE);
    ASSERT_EQ(sink.Mails().size(), 1u);
    EXPECT_NE(sink.Meta(1).find("\"tls\": true"), std::string::npos) << sink.Meta(1);
}

TEST_F(CrashReport, AServerThatNeverAnswersIsGivenUpInSeconds) {
    LUCSP_SKIP_WITHOUT_TEST_HOOKS();
    // Accepts the connection and says nothing.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t len = sizeof(a);
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    SetMail("smtp://127.0.0.1:" + std::to_string(ntohs(a.sin_port)));

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FakeEntryPoint("CPSignHash"), FALSE);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNWIND));
    EXPECT_LT(took, std::chrono::seconds(10));
    close(listener);
}

TEST_F(CrashReport, SettingsLiveInTheReportGroup) {
    // Declared in group "Report" of the configuration key and written back with empty defaults.
    TVarnoRegedit reg;
    ASSERT_TRUE(reg.SetGrupoName(GRUPO_NAME_REPORT, "Report", KEY_WOW64_32KEY));
    for (const char* name : {"MailURL", "MailBox", "MailUser", "MailPassword", "MailCAInfo"}) {
        DWORD size = 0;
        EXPECT_TRUE(reg.RegQueryValueW(name, GRUPO_NAME_REPORT, REG_SZ, nullptr, &size)) << name;
        EXPECT_EQ(size, 1u) << name;
    }
}
