// The in-process server answered over real HTTPS on loopback.
#include "RefJson.h"
#include "RefTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace reftest;

namespace {

class RefServer : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        Dir = new TTempDir;
        Svc = new TRefSigningService;
        ASSERT_TRUE(Svc->Key_Generate("token-A", "Signer A", 2048, TRefSerialTopBit::Set, &KeyA))
            << Svc->LastError();
        ASSERT_TRUE(Svc->Key_Generate("token-B", "Signer B", 1024, TRefSerialTopBit::Clear, &KeyB))
            << Svc->LastError();
        ASSERT_TRUE(Svc->Start()) << Svc->LastError();
        CAFile = Dir->File("ca.pem");
        WriteText(CAFile, Svc->CA_CertPEM());
    }
    static void TearDownTestSuite() {
        delete Svc;
        delete Dir;
        Svc = nullptr;
        Dir = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(Svc, nullptr);
        Svc->Fault_Set(TRefFault());
        Svc->Stats_Reset();
        Cli = Client(Svc->Port(), CAFile);
    }

    static std::string ExpectedElement(const TRefKeyInfo& key, const TRefBytes& block,
                                       TRefBytes* sig = nullptr) {
        TRefBytes s;
        EXPECT_TRUE(Svc->Key_Sign(key.Token, block, s));
        if (sig) *sig = s;
        return "{\"id\":\"" + TRefCrypto::Sha256Hex(block).substr(0, 32) + "\",\"rawSignature\":\"" +
               refBase64_Encode(s) + "\"}";
    }

    httplib::Result Sign(const std::string& body, const std::string& token = KeyA.Token) {
        return PostSign(*Cli, token, body);
    }

    std::map<std::string, TRefJsonValue> Control(const std::string& method, const std::string& path,
                                                 const std::string& body = "", int expectStatus = 200) {
        auto res =
            method == "GET" ? Cli->Get(path.c_str()) : Cli->Post(path.c_str(), body, "application/json");
        std::map<std::string, TRefJsonValue> m;
        EXPECT_TRUE(res) << httplib::to_string(res.error());
        if (res) {
            EXPECT_EQ(res->status, expectStatus) << res->body;
            if (expectStatus == 200) {
                EXPECT_TRUE(refJson_ParseFlatObject(res->body, m)) << res->body;
            }
        }
        return m;
    }

    static TTempDir* Dir;
    static TRefSigningService* Svc;
    static TRefKeyInfo KeyA, KeyB;
    static std::string CAFile;
    std::unique_ptr<httplib::SSLClient> Cli;
};
TTempDir* RefServer::Dir = nullptr;
TRefSigningService* RefServer::Svc = nullptr;
TRefKeyInfo RefServer::KeyA, RefServer::KeyB;
std::string RefServer::CAFile;

} // namespace

TEST_F(RefServer, SignsPkcs1BlockWithTheKeyTheTokenSelects) {
    for (const TRefKeyInfo* key : {&KeyA, &KeyB}) {
        TRefBytes block = Pkcs1Block("hello " + key->SubjectCN, key->ModulusBytes);
        auto res = Sign(SignBody(block), key->Token);
        ASSERT_TRUE(res) << httplib::to_string(res.error());
        EXPECT_EQ(res->status, 200);
        EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
        TRefBytes sig;
        EXPECT_EQ(res->body, "{\"signatures\":[" + ExpectedElement(*key, block, &sig) + "]}");
        EXPECT_TRUE(VerifyWithCert(key->CertPEM, "hello " + key->SubjectCN, sig));
    }
    EXPECT_EQ(KeyA.ModulusBytes, 256u);
    EXPECT_EQ(KeyB.ModulusBytes, 128u);
    TRefStats st = Svc->Stats();
    EXPECT_EQ(st.Requests, 2u);
    EXPECT_EQ(st.Signed, 2u);
    EXPECT_EQ(st.Rejected, 0u);
    EXPECT_EQ(st.LastToken, "token-B");
    EXPECT_EQ(st.LastContentType, "application/json");
}

TEST_F(RefServer, TlsIsVerifiedAgainstTheGeneratedCaForIpAndLocalhost) {
    auto byName = Client(Svc->Port(), CAFile, "localhost");
    auto res = PostSign(*byName, KeyA.Token, SignBody(Pkcs1Block("x", 256)));
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 200);

    // Another CA must not be able to vouch for this server.
    std::string err;
    TRefPKey otherKey = TRefCrypto::GenerateRSA(1024, err);
    TRefX509 otherCA = TRefCrypto::IssueCert(otherKey.get(), "Other CA", TRefCertKind::CA, otherKey.get(),
                                             nullptr, TRefSerialTopBit::Clear, err);
    WriteText(Dir->File("other.pem"), TRefCrypto::CertToPEM(otherCA.get()));
    auto stranger = Client(Svc->Port(), Dir->File("other.pem"));
    auto bad = PostSign(*stranger, KeyA.Token, SignBody(Pkcs1Block("x", 256)));
    EXPECT_FALSE(bad);
    EXPECT_EQ(bad.error(), httplib::Error::SSLServerVerification);
}

TEST_F(RefServer, AcceptsSlashEscapesInTheRequestBody) {
    // Search a block whose Base64 has a "/" so the escape is really exercised.
    TRefBytes block;
    std::string b64;
    for (int i = 0; b64.find('/') == std::string::npos; ++i) {
        block = Pkcs1Block("slash " + std::to_string(i), KeyA.ModulusBytes);
        b64 = refBase64_Encode(block);
    }
    std::string escaped;
    for (char c : b64)
        escaped += c == '/' ? std::string("\\/") : std::string(1, c);
    auto res = Sign(" \"" + escaped + "\"\r\n");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(res->body, "{\"signatures\":[" + ExpectedElement(KeyA, block) + "]}");
}

TEST_F(RefServer, UnknownOrMissingTokenIs401) {
    std::string body = SignBody(Pkcs1Block("m", 256));
    auto res = Sign(body, "no-such-token");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    EXPECT_EQ(res->body, "unknown token\n");
    res = Sign(body, KeyA.Token + "x");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    res = Cli->Post(TRefSigningService::SignPath, body, "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    EXPECT_EQ(res->body, "missing TokenPSC header\n");
    // The header name is not case-sensitive in HTTP.
    res = Cli->Post(TRefSigningService::SignPath, httplib::Headers{{"tokenpsc", KeyA.Token}}, body,
                    "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    TRefStats st = Svc->Stats();
    EXPECT_EQ(st.Requests, 4u);
    EXPECT_EQ(st.Rejected, 3u);
    EXPECT_EQ(st.Signed, 1u);
}

TEST_F(RefServer, MalformedBodyOrWrongBlockLengthIs400) {
    TRefBytes good = Pkcs1Block("m", 256);
    std::string b64 = refBase64_Encode(good);
    struct TCase {
        std::string Body;
        std::string Why;
    };
    const TCase cases[] = {
        {"", "empty"},
        {b64, "no quotes"},
        {"{\"data\":\"" + b64 + "\"}", "object"},
        {"[\"" + b64 + "\"]", "array"},
        {"\"" + b64 + "\"\"" + b64 + "\"", "two strings"},
        {"\"" + b64.substr(1) + "\"", "broken Base64"},
        {"\"" + b64 + "\n\"", "line break inside"},
        {SignBody(TRefBytes(good.begin(), good.end() - 1)), "255 bytes"},
        {SignBody(Pkcs1Block("m", 128)), "block of key B sent with token A"},
        {SignBody(TRefBytes(257, 0)), "257 bytes"},
        {SignBody(TRefBytes(256, 0xFF)), "above the modulus"},
    };
    for (const auto& c : cases) {
        auto res = Sign(c.Body);
        ASSERT_TRUE(res) << c.Why;
        EXPECT_EQ(res->status, 400) << c.Why << ": " << res->body;
        EXPECT_EQ(res->get_header_value("Content-Type"), "text/plain") << c.Why;
    }
    EXPECT_EQ(Svc->Stats().Rejected, std::size(cases));
    EXPECT_EQ(Svc->Stats().Signed, 0u);
}

TEST_F(RefServer, BodyAboveOneMebibyteIs413AndAtTheLimitIsRead) {
    std::string atLimit = "\"" + std::string(TRefSigningService::MaxBodyBytes - 2, 'A') + "\"";
    auto res = Sign(atLimit);
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 400) << "read and judged: a valid string of the wrong length";
    res = Sign(atLimit + " ");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 413);
    TRefStats st = Svc->Stats();
    EXPECT_EQ(st.Requests, 2u);
    EXPECT_EQ(st.Rejected, 2u);
    // The connection state survives: the next request is served normally.
    res = Sign(SignBody(Pkcs1Block("after", 256)));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
}

TEST_F(RefServer, CounterCountsEveryRequestToTheSignPathOnly) {
    EXPECT_EQ(Svc->RequestCount(), 0u);
    std::string body = SignBody(Pkcs1Block("same", 256));
    ASSERT_TRUE(Sign(body));
    EXPECT_EQ(Svc->RequestCount(), 1u);
    ASSERT_TRUE(Sign(body));
    EXPECT_EQ(Svc->RequestCount(), 2u);
    auto res = Cli->Get(TRefSigningService::SignPath);
    ASSERT_TRUE(res);
    EXPECT_EQ(Svc->RequestCount(), 3u) << "any method counts";
    ASSERT_TRUE(Cli->Get("/elsewhere"));
    ASSERT_TRUE(Cli->Get("/_control/stats"));
    EXPECT_EQ(Svc->RequestCount(), 3u);
    EXPECT_EQ(Svc->Stats().LastBody, body);
}

TEST_F(RefServer, FaultModesShapeTheAnswer) {
    TRefBytes block = Pkcs1Block("fault", 256), sig;
    const std::string id = TRefCrypto::Sha256Hex(block).substr(0, 32);
    const std::string good = ExpectedElement(KeyA, block, &sig);
    TRefBytes shortSig(sig.begin(), sig.end() - 1), wrong = sig;
    for (auto& b : wrong)
        b ^= 0x5A;
    struct TCase {
        TRefFaultMode Mode;
        int Status;
        std::string Body;
    };
    const TCase cases[] = {
        {TRefFaultMode::None, 200, "{\"signatures\":[" + good + "]}"},
        {TRefFaultMode::Delay, 200, "{\"signatures\":[" + good + "]}"},
        {TRefFaultMode::NoSignatures, 200, "{\"signature\":[" + good + "]}"},
        {TRefFaultMode::EmptyArray, 200, "{\"signatures\":[]}"},
        {TRefFaultMode::BadBase64, 200,
         "{\"signatures\":[{\"id\":\"" + id + "\",\"rawSignature\":\"%%not*base64!%%\"}]}"},
        {TRefFaultMode::ShortSignature, 200,
         "{\"signatures\":[{\"id\":\"" + id + "\",\"rawSignature\":\"" + refBase64_Encode(shortSig) +
             "\"}]}"},
        {TRefFaultMode::NoRawSignature, 200, "{\"signatures\":[{\"id\":\"" + id + "\"}]}"},
        {TRefFaultMode::TwoElements, 200,
         "{\"signatures\":[" + good + ",{\"id\":\"" + id + "-2\",\"rawSignature\":\"" +
             refBase64_Encode(wrong) + "\"}]}"},
        {TRefFaultMode::Pretty, 200,
         "{\r\n\t\"signatures\" : [\r\n\t\t{\r\n\t\t\t\"id\" : \"" + id +
             "\",\r\n\t\t\t\"rawSignature\" : \"" + refBase64_Encode(sig) + "\"\r\n\t\t}\r\n\t]\r\n}\r\n"},
    };
    for (const auto& c : cases) {
        Svc->Fault_Set({c.Mode, 0, 0});
        auto res = Sign(SignBody(block));
        ASSERT_TRUE(res) << refFault_Name(c.Mode);
        EXPECT_EQ(res->status, c.Status) << refFault_Name(c.Mode);
        EXPECT_EQ(res->body, c.Body) << refFault_Name(c.Mode);
    }
    TRefStats st = Svc->Stats();
    EXPECT_EQ(st.Requests, std::size(cases));
    EXPECT_EQ(st.Faulted, std::size(cases) - 1);
}

TEST_F(RefServer, Http500HtmlComesBeforeTokenAndBodyChecks) {
    Svc->Fault_Set({TRefFaultMode::Http500Html, 0, 0});
    for (const std::string& token : {KeyA.Token, std::string("unknown")}) {
        auto res = Sign("not json", token);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 500);
        EXPECT_EQ(res->get_header_value("Content-Type"), "text/html");
        EXPECT_EQ(res->body.rfind("<!DOCTYPE html>", 0), 0u);
        EXPECT_EQ(res->body.find("signatures"), std::string::npos);
    }
    EXPECT_EQ(Svc->Stats().Faulted, 2u);
}

TEST_F(RefServer, SlashEscapeModeSendsEveryslashEscaped) {
    Svc->Fault_Set({TRefFaultMode::SlashEscape, 0, 0});
    TRefBytes block, sig;
    std::string plain;
    // A signature whose Base64 holds at least one "/".
    for (int i = 0; plain.find('/') == std::string::npos; ++i) {
        block = Pkcs1Block("escape " + std::to_string(i), 256);
        plain = "{\"signatures\":[" + ExpectedElement(KeyA, block, &sig) + "]}";
    }
    auto res = Sign(SignBody(block));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    std::string expected;
    for (char c : plain)
        expected += c == '/' ? std::string("\\/") : std::string(1, c);
    EXPECT_EQ(res->body, expected);
    EXPECT_NE(res->body.find("\\/"), std::string::npos);
    for (size_t i = res->body.find('/'); i != std::string::npos; i = res->body.find('/', i + 1))
        EXPECT_EQ(res->body[i - 1], '\\') << "bare slash at " << i;
}

TEST_F(RefServer, TruncatedAnswerIsATransportFailure) {
    Svc->Fault_Set({TRefFaultMode::Truncated, 0, 0});
    auto res = Sign(SignBody(Pkcs1Block("cut", 256)));
    EXPECT_FALSE(res);
    EXPECT_EQ(res.error(), httplib::Error::Read);
    EXPECT_EQ(Svc->Stats().Signed, 1u);
}

TEST_F(RefServer, DelayAndFaultCountRevertToCorrectAnswers) {
    Svc->Fault_Set({TRefFaultMode::EmptyArray, 300, 2});
    std::string body = SignBody(Pkcs1Block("count", 256));
    for (int i = 0; i < 2; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        auto res = Sign(body);
        auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->body, "{\"signatures\":[]}");
        EXPECT_GE(ms.count(), 300);
    }
    EXPECT_EQ(Svc->Fault_Get().Mode, TRefFaultMode::None);
    auto res = Sign(body);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body.rfind("{\"signatures\":[{\"id\":", 0), 0u);
    EXPECT_EQ(Svc->Stats().Faulted, 2u);
}

TEST_F(RefServer, ControlEndpointFlipsFaultsAndReportsCounters) {
    auto st = Control("POST", "/_control/fault", "{\"mode\":\"http500\",\"count\":1}");
    EXPECT_EQ(st["faultMode"].Text, "http500");
    EXPECT_EQ(st["faultCount"].Integer, 1);
    std::string body = SignBody(Pkcs1Block("ctl", 256));
    auto res = Sign(body);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 500);
    res = Sign(body);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);

    st = Control("GET", "/_control/stats");
    EXPECT_EQ(st["requests"].Integer, 2);
    EXPECT_EQ(st["signed"].Integer, 1);
    EXPECT_EQ(st["faulted"].Integer, 1);
    EXPECT_EQ(st["faultMode"].Text, "none");
    EXPECT_EQ(st["lastToken"].Text, KeyA.Token);
    EXPECT_EQ(st["lastBody"].Text, body);

    Control("POST", "/_control/fault", "{\"mode\":\"twoelements\",\"delayMs\":5}");
    EXPECT_EQ(Svc->Fault_Get().Mode, TRefFaultMode::TwoElements);
    EXPECT_EQ(Svc->Fault_Get().DelayMs, 5u);
    for (const char* bad : {"{\"mode\":\"explode\"}", "{\"mode\":1}", "{\"delayMs\":-1}",
                            "{\"delayMs\":600001}", "{\"color\":\"red\"}", "mode=none", "{\"mode\":\"none\""})
        Control("POST", "/_control/fault", bad, 400);
    EXPECT_EQ(Svc->Fault_Get().Mode, TRefFaultMode::TwoElements) << "a refused request changes nothing";

    st = Control("POST", "/_control/reset");
    EXPECT_EQ(st["requests"].Integer, 0);
    EXPECT_EQ(st["faultMode"].Text, "none");
    EXPECT_EQ(Svc->RequestCount(), 0u);
}

TEST(RefServerLifecycle, StopEndsPendingDelaysAndAllowsRestartWithoutControl) {
    TRefSigningService svc;
    TRefKeyInfo key;
    ASSERT_TRUE(svc.Key_Generate("", "Lifecycle", 1024, TRefSerialTopBit::Random, &key)) << svc.LastError();
    EXPECT_EQ(key.Token.size(), 32u) << "an empty token is replaced by a random one";
    ASSERT_TRUE(svc.Start(0, false)) << svc.LastError();
    EXPECT_FALSE(svc.Start()) << "already running";
    TTempDir dir;
    WriteText(dir.File("ca.pem"), svc.CA_CertPEM());

    auto cli = Client(svc.Port(), dir.File("ca.pem"));
    auto res = cli->Get("/_control/stats");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404) << "control switched off";

    svc.Fault_Set({TRefFaultMode::Delay, 60000, 0});
    int pendingStatus = 0;
    std::thread waiter([&] {
        auto c = Client(svc.Port(), dir.File("ca.pem"));
        auto r = PostSign(*c, key.Token, SignBody(Pkcs1Block("wait", 128)));
        pendingStatus = r ? r->status : -1;
    });
    while (svc.Stats().Faulted == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    auto t0 = std::chrono::steady_clock::now();
    svc.Stop();
    waiter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_FALSE(svc.IsRunning());
    EXPECT_EQ(pendingStatus, 503);

    // Same port again after a stop, same CA and keys.
    int port = svc.Port();
    EXPECT_EQ(port, 0);
    svc.Fault_Set(TRefFault());
    ASSERT_TRUE(svc.Start(0, true)) << svc.LastError();
    int second = svc.Port();
    svc.Stop();
    ASSERT_TRUE(svc.Start(second, true)) << svc.LastError();
    EXPECT_EQ(svc.Port(), second);
    TRefSigningService rival;
    ASSERT_TRUE(rival.CA_LoadPEM(svc.CA_CertPEM(), svc.CA_KeyPEM()));
    EXPECT_FALSE(rival.Start(second));
    EXPECT_EQ(rival.LastError(), "cannot listen on 127.0.0.1:" + std::to_string(second));
    EXPECT_FALSE(rival.Start(70000));
    auto again = Client(svc.Port(), dir.File("ca.pem"));
    res = PostSign(*again, key.Token, SignBody(Pkcs1Block("again", 128)));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
}

TEST(RefServerLifecycle, KeysSaveAndLoadThroughADirectory) {
    TTempDir dir;
    TRefSigningService first;
    TRefKeyInfo a, b;
    ASSERT_TRUE(first.Key_Generate("tok-1", "Dir One", 1024, TRefSerialTopBit::Set, &a));
    ASSERT_TRUE(first.Key_Generate("tok-2", "Dir Two", 1024, TRefSerialTopBit::Clear, &b));
    ASSERT_TRUE(first.Key_SaveDir(dir.Path)) << first.LastError();
    EXPECT_EQ(ReadText(dir.File(a.SerialHex + ".token")), "tok-1\n");
    EXPECT_EQ(std::filesystem::status(dir.File(a.SerialHex + ".key")).permissions() &
                  std::filesystem::perms::others_read,
              std::filesystem::perms::none);

    TRefSigningService second;
    ASSERT_TRUE(second.Key_LoadDir(dir.Path)) << second.LastError();
    EXPECT_EQ(second.CA_CertPEM(), first.CA_CertPEM());
    auto keys = second.Key_List();
    ASSERT_EQ(keys.size(), 2u);
    TRefBytes block = Pkcs1Block("dir", 128), s1, s2;
    ASSERT_TRUE(first.Key_Sign("tok-2", block, s1));
    ASSERT_TRUE(second.Key_Sign("tok-2", block, s2));
    EXPECT_EQ(s1, s2);
    EXPECT_FALSE(second.Key_Sign("tok-3", block, s2));

    // Missing token file, or no keys at all: refused with a reason.
    std::filesystem::remove(dir.File(b.SerialHex + ".token"));
    TRefSigningService third;
    EXPECT_FALSE(third.Key_LoadDir(dir.Path));
    EXPECT_NE(third.LastError().find(".token"), std::string::npos) << third.LastError();
    TTempDir empty;
    EXPECT_FALSE(third.Key_LoadDir(empty.Path));
    EXPECT_FALSE(third.Key_LoadDir(empty.File("missing")));
}

TEST(RefServerLifecycle, GivenTlsCertificateIsServedInsteadOfAnIssuedOne) {
    std::string err;
    // TLS at the default security level needs 2048-bit keys in the chain.
    TRefPKey caKey = TRefCrypto::GenerateRSA(2048, err), tlsKey = TRefCrypto::GenerateRSA(2048, err);
    ASSERT_TRUE(caKey && tlsKey) << err;
    TRefX509 ca = TRefCrypto::IssueCert(caKey.get(), "Own CA", TRefCertKind::CA, caKey.get(), nullptr,
                                        TRefSerialTopBit::Clear, err);
    TRefX509 tls = TRefCrypto::IssueCert(tlsKey.get(), "localhost", TRefCertKind::TlsServer, caKey.get(),
                                         ca.get(), TRefSerialTopBit::Random, err);
    ASSERT_TRUE(ca && tls) << err;

    TRefSigningService svc;
    EXPECT_FALSE(svc.TLS_LoadPEM(TRefCrypto::CertToPEM(tls.get()), TRefCrypto::KeyToPEM(caKey.get())));
    ASSERT_TRUE(svc.TLS_LoadPEM(TRefCrypto::CertToPEM(tls.get()), TRefCrypto::KeyToPEM(tlsKey.get())));
    TRefKeyInfo key;
    ASSERT_TRUE(svc.Key_Generate("t", "Own TLS", 1024, TRefSerialTopBit::Random, &key));
    ASSERT_TRUE(svc.Start()) << svc.LastError();
    EXPECT_EQ(svc.TLS_CertPEM(), TRefCrypto::CertToPEM(tls.get()));

    TTempDir dir;
    WriteText(dir.File("own.pem"), TRefCrypto::CertToPEM(ca.get()));
    WriteText(dir.File("generated.pem"), svc.CA_CertPEM());
    auto own = Client(svc.Port(), dir.File("own.pem"));
    auto res = PostSign(*own, "t", SignBody(Pkcs1Block("own", 128)));
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    auto generated = Client(svc.Port(), dir.File("generated.pem"));
    res = PostSign(*generated, "t", SignBody(Pkcs1Block("own", 128)));
    EXPECT_EQ(res.error(), httplib::Error::SSLServerVerification);
}

// One kept-alive connection carries any number of sign requests.
TEST_F(RefServer, KeepAliveHasNoRequestLimit) {
    int sockets = 0;
    Cli->set_keep_alive(true);
    Cli->set_socket_options([&sockets](socket_t) { ++sockets; });
    TRefBytes block = Pkcs1Block("keep-alive", KeyA.ModulusBytes);
    for (int i = 0; i < 25; ++i) {
        auto res = Sign(SignBody(block));
        ASSERT_TRUE(res) << httplib::to_string(res.error());
        ASSERT_EQ(200, res->status);
    }
    EXPECT_EQ(1, sockets);
    EXPECT_EQ(25u, Svc->RequestCount());
}

// More clients than any fixed pool of workers are served at the same time: each connection has its
// own thread, so all of them are inside the (delayed) sign handler together.
TEST(RefServerParallel, EveryConnectionServedAtOnce) {
    TTempDir dir;
    TRefSigningService svc;
    TRefKeyInfo key;
    ASSERT_TRUE(svc.Key_Generate("token-P", "Signer P", 1024, TRefSerialTopBit::Clear, &key))
        << svc.LastError();
    ASSERT_TRUE(svc.Start()) << svc.LastError();
    std::string ca = dir.File("ca.pem");
    WriteText(ca, svc.CA_CertPEM());
    TRefFault slow;
    slow.DelayMs = 60000;
    svc.Fault_Set(slow);
    const int kClients = 16;
    std::vector<std::thread> clients;
    std::string body = SignBody(Pkcs1Block("parallel", key.ModulusBytes));
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&] {
            auto cli = Client(svc.Port(), ca);
            cli->set_read_timeout(120);
            PostSign(*cli, key.Token, body);
        });
    // Bounded wait: a queued request never reaches the handler while the others sleep there.
    for (int i = 0; i < 3000 && svc.RequestCount() < kClients; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(static_cast<uint64_t>(kClients), svc.RequestCount());
    svc.Stop();
    for (auto& t : clients)
        t.join();
}
