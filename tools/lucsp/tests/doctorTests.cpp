// lucsp doctor on a real installation (the library installed with DllInstall, a certificate and token
// registered, the reference service on loopback), and with one thing broken at a time. Also the whole
// signature through a CONNECT proxy named by CNX_Proxy.
#include "lucspProcess.h"
#include "support/connectProxy.h"
#include "support/smtpSink.h"
#include "support/testRoot.h"

#include "RefSigningService.h"
#include "os/platTypes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

namespace {

class LucspDoctor : public ::testing::Test {
  protected:
    void SetUp() override {
        Root.reset(new TTestRoot);
        ASSERT_TRUE(Service.Key_Generate("doctor-token-0123456789", "Doctor Test", 2048,
                                         TRefSerialTopBit::Random, &Key))
            << Service.LastError();
        ASSERT_TRUE(Service.Start(0)) << Service.LastError();
        CaFile = Root->Path() + "/ca.pem";
        std::string certFile = Root->Path() + "/signer.pem";
        std::ofstream(CaFile, std::ios::binary) << Service.CA_CertPEM();
        std::ofstream(certFile, std::ios::binary) << Key.CertPEM;
        ASSERT_EQ(lucspRun({"install"}).ExitCode, 0);
        Set("CNX_ServiceHost", "127.0.0.1:" + std::to_string(Service.Port()));
        Set("CNX_CAFile", CaFile);
        TLucspResult reg = lucspRun({"register", "--cert", certFile, "--token", Key.Token});
        ASSERT_EQ(reg.ExitCode, 0) << reg.Err;
    }
    void TearDown() override {
        Service.Stop();
        Root.reset();
    }
    void Set(const std::string& name, const std::string& value) {
        TLucspResult r = lucspRun({"config", "set", name, value});
        ASSERT_EQ(r.ExitCode, 0) << r.Err;
    }
    // The line of one step, empty when the output has none.
    static std::string StepLine(const std::string& out, const std::string& verdict, const std::string& step) {
        std::string prefix = verdict + std::string(6 - verdict.size(), ' ') + step;
        for (size_t at = 0; at < out.size();) {
            size_t end = out.find('\n', at);
            std::string line = out.substr(at, end == std::string::npos ? std::string::npos : end - at);
            if (line.compare(0, prefix.size(), prefix) == 0) return line;
            if (end == std::string::npos) break;
            at = end + 1;
        }
        return std::string();
    }
    // A failed run: exit status 1, the step's FAIL line with its code, and the one stderr line naming it.
    void ExpectFailedStep(const TLucspResult& r, const std::string& step, const std::string& code) {
        EXPECT_EQ(r.ExitCode, 1) << r.Out;
        std::string line = StepLine(r.Out, "FAIL", step);
        EXPECT_NE(line.find(code), std::string::npos) << r.Out;
        EXPECT_EQ(lucspCheckFailureLine(r), "") << r.Err;
        EXPECT_NE(r.Err.find("lucsp doctor: step '" + step), std::string::npos) << r.Err;
        EXPECT_NE(r.Err.find(code), std::string::npos) << r.Err;
    }

    std::unique_ptr<TTestRoot> Root;
    TRefSigningService Service;
    TRefKeyInfo Key;
    std::string CaFile;
};

} // namespace

TEST_F(LucspDoctor, GoodInstallationPassesEveryStepWithOneSignature) {
    uint64_t before = Service.RequestCount();
    TLucspResult r = lucspRun({"doctor"});
    EXPECT_EQ(r.ExitCode, 0) << r.Out << r.Err;
    EXPECT_EQ(r.Err, "");
    for (const char* step : {"provider (64-bit view)", "provider (32-bit view)", "settings", "key provider",
                             "CA file", "service host resolves", "TCP to 127.0.0.1:", "TLS to 127.0.0.1:",
                             "test signature", "KSP registration", "KSP test signature"})
        EXPECT_NE(StepLine(r.Out, "ok", step), "") << step << "\n" << r.Out;
    std::string cert = StepLine(r.Out, "ok", "certificate " + Key.SerialHex);
    EXPECT_NE(cert.find("days), token present, key provider CSP"), std::string::npos) << r.Out;
    EXPECT_NE(StepLine(r.Out, "ok", "test signature").find("verified by the provider and by OpenSSL"),
              std::string::npos);
    EXPECT_EQ(r.Out.find("FAIL"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("doctor: 12 of 12 check(s) passed\n"), std::string::npos) << r.Out;
    // The TLS probe carries no token; only the test signature is signed.
    EXPECT_EQ(Service.RequestCount(), before + 3);
    EXPECT_EQ(Service.Stats().Signed, 2u);
}

// A certificate registered for the KSP is checked and signed with as one for the CSP; a key-provider
// setting that names neither is a failed step of its own.
TEST_F(LucspDoctor, KspRegisteredCertificateAndBadKeyProviderSetting) {
    std::string certFile = Root->Path() + "/signer.pem";
    ASSERT_EQ(lucspRun({"register", "--cert", certFile, "--token", Key.Token, "--provider", "ksp"}).ExitCode,
              0);
    TLucspResult r = lucspRun({"doctor"});
    EXPECT_EQ(r.ExitCode, 0) << r.Out << r.Err;
    EXPECT_NE(StepLine(r.Out, "ok", "certificate " + Key.SerialHex).find("key provider KSP"),
              std::string::npos)
        << r.Out;
    EXPECT_NE(StepLine(r.Out, "ok", "KSP test signature"), "") << r.Out;
    Set("CSP_KeyProvider", "both");
    ExpectFailedStep(lucspRun({"doctor", "--no-sign"}), "key provider", "0x80090014 NTE_BAD_PROV_TYPE");
}

TEST_F(LucspDoctor, MissingCAFileIsNamedWithItsCode) {
    Set("CNX_CAFile", Root->Path() + "/no-such-ca.pem");
    TLucspResult r = lucspRun({"doctor"});
    ExpectFailedStep(r, "CA file", "0x00000002 ERROR_FILE_NOT_FOUND");
    EXPECT_NE(StepLine(r.Out, "skip", "TLS"), "") << r.Out;
    EXPECT_NE(StepLine(r.Out, "skip", "test signature"), "") << r.Out;
    // A file that holds no certificate.
    std::ofstream(CaFile, std::ios::binary) << "not a certificate\n";
    Set("CNX_CAFile", CaFile);
    ExpectFailedStep(lucspRun({"doctor"}), "CA file", "0x0000000D ERROR_INVALID_DATA");
}

TEST_F(LucspDoctor, WrongHostOrPortIsNamedWithItsCode) {
    Set("CNX_ServiceHost", "no-such-host.invalid");
    TLucspResult r = lucspRun({"doctor"});
    ExpectFailedStep(r, "service host resolves", "0x00002AF9 WSAHOST_NOT_FOUND");
    Set("CNX_ServiceHost", "127.0.0.1:" + std::to_string(FreeLoopbackPort()));
    ExpectFailedStep(lucspRun({"doctor"}), "TCP to 127.0.0.1:", "0x0000274D WSAECONNREFUSED");
    Set("CNX_ServiceHost", "bad/host?x");
    ExpectFailedStep(lucspRun({"doctor"}), "settings", "0x0000000D ERROR_INVALID_DATA");
}

TEST_F(LucspDoctor, UntrustedServiceCertificateFailsTheTLSStep) {
    TRefSigningService other;
    ASSERT_TRUE(other.CA_Generate(1024));
    std::ofstream(CaFile, std::ios::binary) << other.CA_CertPEM();
    ExpectFailedStep(lucspRun({"doctor"}), "TLS to 127.0.0.1:", "0x800B0109 CERT_E_UNTRUSTEDROOT");
}

TEST_F(LucspDoctor, AbsentTokenNamesTheCertificate) {
    std::string key = "SOFTWARE\\Varno\\Trelis_Server\\" + Key.SerialHex;
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &h),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(h, "Token"), ERROR_SUCCESS);
    RegCloseKey(h);
    TLucspResult r = lucspRun({"doctor"});
    ExpectFailedStep(r, "certificate " + Key.SerialHex, "0x8010000C SCARD_E_NO_SMARTCARD");
    EXPECT_NE(StepLine(r.Out, "FAIL", "test signature").find("0x8009000D NTE_NO_KEY"), std::string::npos)
        << r.Out;
    // --no-sign leaves the signature out, the token is still missing.
    ExpectFailedStep(lucspRun({"doctor", "--no-sign"}), "certificate " + Key.SerialHex,
                     "SCARD_E_NO_SMARTCARD");
}

TEST_F(LucspDoctor, UninstalledProviderFailsBothViews) {
    ASSERT_EQ(lucspRun({"uninstall"}).ExitCode, 0);
    TLucspResult r = lucspRun({"doctor", "--no-sign"});
    ExpectFailedStep(r, "provider (64-bit view)", "0x00000002 ERROR_FILE_NOT_FOUND");
    EXPECT_NE(StepLine(r.Out, "FAIL", "provider (32-bit view)"), "") << r.Out;
}

// The whole road through a CONNECT proxy set by CNX_Proxy: the proxy sees nothing but CONNECT requests,
// what it carries is TLS, and the service's certificate is still checked against CNX_CAFile.
TEST_F(LucspDoctor, SignatureThroughAConnectProxyOnLoopback) {
    TConnectProxy proxy;
    ASSERT_TRUE(proxy.Start());
    Set("CNX_Proxy", proxy.URL());
    uint64_t before = Service.RequestCount();
    TLucspResult s =
        lucspRun({"sign", "--container", Key.SerialHex, "--alg", "sha256", "--hash", std::string(64, 'a')});
    ASSERT_EQ(s.ExitCode, 0) << s.Err;
    EXPECT_EQ(Service.RequestCount(), before + 1);
    std::string connect = "CONNECT 127.0.0.1:" + std::to_string(Service.Port()) + " HTTP/1.1";
    EXPECT_EQ(proxy.Requests(), std::vector<std::string>{connect});
    EXPECT_EQ(proxy.TunnelFirstBytes(), std::vector<int>{0x16});

    TLucspResult d = lucspRun({"doctor"});
    EXPECT_EQ(d.ExitCode, 0) << d.Out << d.Err;
    EXPECT_NE(StepLine(d.Out, "ok", "settings").find("proxy " + proxy.URL()), std::string::npos) << d.Out;
    EXPECT_NE(StepLine(d.Out, "ok", "proxy host resolves"), "") << d.Out;
    EXPECT_NE(StepLine(d.Out, "ok", "TCP to").find("through " + proxy.URL()), std::string::npos) << d.Out;
    for (const std::string& line : proxy.Requests())
        EXPECT_EQ(line, connect);
    // The KSP library keeps a connection of its own for its test signature.
    EXPECT_EQ(proxy.Requests().size(), 5u);

    // A proxy that is down: the request fails, nothing reaches the service another way.
    Set("CNX_Proxy", "http://127.0.0.1:" + std::to_string(FreeLoopbackPort()));
    before = Service.RequestCount();
    TLucspResult down =
        lucspRun({"sign", "--container", Key.SerialHex, "--alg", "sha256", "--hash", std::string(64, 'a')});
    EXPECT_NE(down.ExitCode, 0);
    EXPECT_NE(down.Err.find("SCARD_E_READER_UNAVAILABLE"), std::string::npos) << down.Err;
    EXPECT_NE(down.Err.find("service unreachable"), std::string::npos) << down.Err;
    EXPECT_EQ(Service.RequestCount(), before);
}

TEST_F(LucspDoctor, UnregisterAllTakesEveryCertificateAndItsTokenOut) {
    // A second certificate, its key-provider information naming the KSP: taken out as well.
    TRefKeyInfo other;
    ASSERT_TRUE(
        Service.Key_Generate("doctor-token-ksp", "Doctor KSP", 2048, TRefSerialTopBit::Random, &other));
    std::string otherFile = Root->Path() + "/other.pem";
    std::ofstream(otherFile, std::ios::binary) << other.CertPEM;
    ASSERT_EQ(
        lucspRun({"register", "--cert", otherFile, "--token", other.Token, "--provider", "ksp"}).ExitCode, 0);
    TLucspResult r = lucspRun({"unregister", "--all"});
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_NE(r.Out.find("unregistered container " + Key.SerialHex + "\n"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("unregistered container " + other.SerialHex + "\n"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("2 certificate(s) of Varno Base Cryptographic Provider Server removed\n"),
              std::string::npos)
        << r.Out;
    EXPECT_EQ(lucspRun({"list", "--serials"}).Out, "");
    HKEY h = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, ("SOFTWARE\\Varno\\Trelis_Server\\" + Key.SerialHex).c_str(),
                            0, KEY_READ | KEY_WOW64_64KEY, &h),
              ERROR_SUCCESS);
    ExpectFailedStep(lucspRun({"doctor", "--no-sign"}), "certificates", "0x8009000D NTE_NO_KEY");
    // Nothing left: still a success. Both options at once: a usage failure.
    EXPECT_EQ(lucspRun({"unregister", "--all"}).ExitCode, 0);
    EXPECT_EQ(lucspRun({"unregister", "--all", "--cert", "x.pem"}).ExitCode, 2);
}
