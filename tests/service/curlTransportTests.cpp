#include "platform/platHASH.h"
#include "platform/platStringJSON.h"
#include "service/libCurl.h"
#include "service/serviceTestSupport.h"

#include <curl/curl.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace svctest;

namespace {

// The quoted Base64 of a block the shared key accepts: 00 01 FF.. 00 and a few bytes of value.
std::string ValidBody(size_t modulusBytes) {
    std::string block(modulusBytes, '\xFF');
    block[0] = 0;
    block[1] = 1;
    block[modulusBytes - 9] = 0;
    memcpy(&block[modulusBytes - 8], "VALUE123", 8);
    TPlatHASH hash;
    char* b64 = hash.Encode_Base64(block.data(), static_cast<int>(block.size()), 1);
    std::string body = std::string("\"") + (b64 ? b64 : "") + "\"";
    free(b64);
    return body;
}

class CurlTransport : public ::testing::Test {
  protected:
    CurlTransport() : S(Shared()), Faults(S.Service) {
        Header.AddString(("TokenPSC: " + S.Token).c_str());
        Body.AddString(ValidBody(S.Key.ModulusBytes).c_str());
        URL = S.Service.SignURL();
    }
    bool Post(TVarnoMemory* recv, const char* caFile) {
        return Curl.Request(true, URL.c_str(), caFile, &Header, recv, &Body);
    }

    TSharedService& S;
    TFaultScope Faults;
    TLibCurl Curl;
    TVarnoMemory Header, Body, Recv;
    std::string URL;
};

} // namespace

TEST_F(CurlTransport, PostReachesServiceWithHeadersAndZeroTerminatedBody) {
    ASSERT_TRUE(Post(&Recv, S.CAFile.c_str()));
    EXPECT_EQ(CURLE_OK, Curl.resultCurl);
    EXPECT_EQ(200, Curl.HttpStatus);
    ASSERT_GT(Recv.LenFileData, 1u);
    // One terminator byte after the server's last byte, counted in the length.
    EXPECT_EQ(0, Recv.FileData[Recv.LenFileData - 1]);
    EXPECT_EQ('}', Recv.FileData[Recv.LenFileData - 2]);
    EXPECT_NE(nullptr, strstr(reinterpret_cast<char*>(Recv.FileData), "\"signatures\""));

    TRefStats st = S.Service.Stats();
    EXPECT_EQ(1u, st.Requests);
    EXPECT_EQ(1u, st.Signed);
    EXPECT_EQ(S.Token, st.LastToken);
    EXPECT_EQ("Trelis_Server LUKeyCSP", st.LastUserAgent);
    EXPECT_EQ("application/json", st.LastContentType);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(Body.FileData)), st.LastBody);
}

TEST_F(CurlTransport, PeerIsAlwaysVerified) {
    // No CA named: the system store, which does not know the test CA.
    EXPECT_FALSE(Post(&Recv, nullptr));
    EXPECT_EQ(CURLE_PEER_FAILED_VERIFICATION, Curl.resultCurl);
    // A CA that did not issue the server's certificate.
    TRefSigningService other;
    ASSERT_TRUE(other.CA_Generate(1024));
    std::string otherCA = S.Root.Path() + "/other-ca.pem";
    std::ofstream(otherCA, std::ios::binary) << other.CA_CertPEM();
    EXPECT_FALSE(Post(&Recv, otherCA.c_str()));
    EXPECT_EQ(CURLE_PEER_FAILED_VERIFICATION, Curl.resultCurl);
    EXPECT_EQ(0u, Recv.LenFileData);
    EXPECT_EQ(0u, S.Service.RequestCount());
}

TEST_F(CurlTransport, MissingCAFileFailsBeforeSending) {
    TScopedTrace trace(S.Root.Path() + "/missing-ca.log");
    std::string missing = S.Root.Path() + "/no-such-ca.pem";
    EXPECT_FALSE(Post(&Recv, missing.c_str()));
    EXPECT_EQ(0u, S.Service.RequestCount());
    EXPECT_NE(std::string::npos,
              trace.Text().find("Não foi possivel encontrar a CA para verificar o Peer, FileName_CAPeer=[" +
                                missing));
}

TEST_F(CurlTransport, ErrorStatusIsATransportSuccessWithItsBody) {
    Faults.Set(TRefFaultMode::Http500Html);
    ASSERT_TRUE(Post(&Recv, S.CAFile.c_str()));
    EXPECT_EQ(500, Curl.HttpStatus);
    EXPECT_NE(nullptr, strstr(reinterpret_cast<char*>(Recv.FileData), "<html"));
    // The JSON form refuses the same answer.
    TPlatStringJSON json;
    EXPECT_FALSE(Curl.Request(true, URL.c_str(), S.CAFile.c_str(), &Header, &json, &Body));
}

TEST_F(CurlTransport, JsonFormParsesTheAnswer) {
    TPlatStringJSON json;
    ASSERT_TRUE(Curl.Request(true, URL.c_str(), S.CAFile.c_str(), &Header, &json, &Body));
    const char* sigs = json.GetValue("signatures");
    ASSERT_NE(nullptr, sigs);
    EXPECT_EQ('[', sigs[0]);
}

TEST_F(CurlTransport, SlowServiceEndsAtTheTimeLimit) {
    Faults.Set(TRefFaultMode::Delay, 3000);
    Curl.TimeoutMs = 400;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(Post(&Recv, S.CAFile.c_str()));
    long long ms = ElapsedMs(t0);
    EXPECT_EQ(CURLE_OPERATION_TIMEDOUT, Curl.resultCurl);
    EXPECT_GE(ms, 350);
    EXPECT_LT(ms, 2000);
    EXPECT_EQ(0u, Recv.LenFileData);
    // The next request, with the service well again, goes through.
    Faults.Set(TRefFaultMode::None);
    Curl.TimeoutMs = LU_CURL_DEFAULT_TIMEOUT_MS;
    EXPECT_TRUE(Post(&Recv, S.CAFile.c_str()));
}

TEST_F(CurlTransport, OversizedAnswerFails) {
    Curl.MaxRecvBytes = 64;
    EXPECT_FALSE(Post(&Recv, S.CAFile.c_str()));
    EXPECT_EQ(CURLE_WRITE_ERROR, Curl.resultCurl);
    EXPECT_EQ(0u, Recv.LenFileData);
    Curl.MaxRecvBytes = LU_CURL_MAX_RECV_BYTES;
    EXPECT_TRUE(Post(&Recv, S.CAFile.c_str()));
}

TEST_F(CurlTransport, TruncatedAnswerFails) {
    Faults.Set(TRefFaultMode::Truncated);
    EXPECT_FALSE(Post(&Recv, S.CAFile.c_str()));
    EXPECT_NE(CURLE_OK, Curl.resultCurl);
}

TEST_F(CurlTransport, ServiceDownFailsQuickly) {
    // A port that nobody listens on: bind a socket's port through a stopped service.
    TRefSigningService gone;
    gone.CA_LoadPEM(S.Service.CA_CertPEM(), S.Service.CA_KeyPEM());
    ASSERT_TRUE(gone.Start(0, false));
    std::string url = gone.SignURL();
    gone.Stop();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(Curl.Request(true, url.c_str(), S.CAFile.c_str(), &Header, &Recv, &Body));
    EXPECT_EQ(CURLE_COULDNT_CONNECT, Curl.resultCurl);
    EXPECT_LT(ElapsedMs(t0), 2000);
}

TEST_F(CurlTransport, BadArgumentsAreRefusedWithoutTraffic) {
    TVarnoMemory twoLines;
    twoLines.AddString("TokenPSC: x\r\nX-Injected: 1");
    EXPECT_FALSE(Curl.Request(true, URL.c_str(), S.CAFile.c_str(), &twoLines, &Recv, &Body));
    EXPECT_FALSE(Curl.Request(true, nullptr, S.CAFile.c_str(), &Header, &Recv, &Body));
    EXPECT_FALSE(Curl.Request(true, "", S.CAFile.c_str(), &Header, &Recv, &Body));
    EXPECT_EQ(0u, S.Service.RequestCount());
}

TEST_F(CurlTransport, EmptyPostSendsNoBody) {
    TVarnoMemory empty;
    ASSERT_TRUE(Curl.Request(true, URL.c_str(), S.CAFile.c_str(), &Header, &Recv, &empty));
    EXPECT_EQ(400, Curl.HttpStatus);
    EXPECT_EQ("", S.Service.Stats().LastBody);
    // Without a target the answer is dropped.
    EXPECT_TRUE(Curl.Request(true, URL.c_str(), S.CAFile.c_str(), &Header,
                             static_cast<TVarnoMemory*>(nullptr), &Body));
    EXPECT_EQ(2u, S.Service.RequestCount());
}

TEST_F(CurlTransport, ReceiveHookSeesEveryByteAndCanDropThem) {
    struct Ctx {
        size_t seen = 0;
        bool keep = true;
    } ctx;
    Curl.FuncRecv = [](void* c, const void*, size_t n) {
        static_cast<Ctx*>(c)->seen += n;
        return static_cast<Ctx*>(c)->keep;
    };
    Curl.FuncRecvCtx = &ctx;
    ASSERT_TRUE(Post(&Recv, S.CAFile.c_str()));
    EXPECT_EQ(Recv.LenFileData - 1, ctx.seen);
    ctx.keep = false;
    ASSERT_TRUE(Post(&Recv, S.CAFile.c_str()));
    EXPECT_EQ(1u, Recv.LenFileData);
}

TEST_F(CurlTransport, WireTraceMasksTheToken) {
    std::string text;
    {
        TScopedTrace trace(S.Root.Path() + "/wire.log");
        ASSERT_TRUE(Post(&Recv, S.CAFile.c_str()));
        text = trace.Text();
    }
    EXPECT_EQ(std::string::npos, text.find(S.Token));
    EXPECT_NE(std::string::npos, text.find("TokenPSC: ****\r\n"));
    EXPECT_NE(std::string::npos, text.find("=> Send header\n"));
    EXPECT_NE(std::string::npos, text.find("<= Recv header:\n"));
    EXPECT_NE(std::string::npos, text.find("=> Send data\n"));
    EXPECT_NE(std::string::npos, text.find("<= Recv data\n"));
    EXPECT_NE(std::string::npos, text.find("Send SSL data"));
    // Without DBINFO_U nothing of the wire is written.
    {
        TScopedTrace trace(S.Root.Path() + "/nowire.log", DBERRO_0 | DBHEAD_L);
        ASSERT_TRUE(Post(&Recv, S.CAFile.c_str()));
        text = trace.Text();
    }
    EXPECT_EQ(std::string::npos, text.find("Send header"));
    EXPECT_NE(std::string::npos, text.find("TLibCurl::Request"));
}

TEST(WireTraceMask, EveryFormOfTheTokenHeaderAndTheTokenTextAreMasked) {
    const struct {
        const char* In;
        const char* Token;
        const char* Out;
    } cases[] = {
        {"POST / HTTP/1.1\r\nTokenPSC: segredo-123\r\nAccept: */*\r\n", nullptr,
         "POST / HTTP/1.1\r\nTokenPSC: ****\r\nAccept: */*\r\n"},
        {"tokenpsc:x\n", nullptr, "tokenpsc:****\n"},
        {"TOKENPSC:  a-very-long-token-value-that-runs-to-the-end", nullptr, "TOKENPSC:  ****"},
        // To the end of the line, whatever the value holds.
        {"TokenPSC: ab]SECRET rest\r\nAccept: */*\r\n", nullptr, "TokenPSC: ****\r\nAccept: */*\r\n"},
        // HTTP/2 header lines as libcurl's verbose text shows them.
        {"h2h3 [tokenpsc: segredo]\n", nullptr, "h2h3 [tokenpsc: ****\n"},
        // The token's text anywhere else, as a service that echoes it puts it.
        {"{\"id\":\"ab] c\",\"x\":\"ab] cab] c\"}", "ab] c", "{\"id\":\"****\",\"x\":\"********\"}"},
        // Other names and the bare word are left alone.
        {"X-TokenPSC2: keep\r\n", nullptr, "X-TokenPSC2: keep\r\n"},
        {"TokenPSC", nullptr, "TokenPSC"},
        {"TokenPSC: \r\n", nullptr, "TokenPSC: \r\n"},
        {"", "tok", ""},
        {"keep", "", "keep"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.Out, TLibCurl::MaskToken(c.In, strlen(c.In), c.Token)) << c.In;
}

TEST_F(CurlTransport, ConnectionIsKeptBetweenRequestsAndRenewedWhenClosed) {
    std::string text;
    {
        TScopedTrace trace(S.Root.Path() + "/reuse.log", DBINFO_U);
        ASSERT_TRUE(Post(&Recv, S.CAFile.c_str()));
        ASSERT_TRUE(Post(&Recv, S.CAFile.c_str()));
        text = trace.Text();
    }
    EXPECT_NE(std::string::npos, text.find("Re-using existing connection"));
    // The service drops idle connections after a second: the next request opens a new one by itself.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(Post(&Recv, S.CAFile.c_str()));
    EXPECT_EQ(3u, S.Service.Stats().Signed);
    // A different CA file never rides on a connection verified with another one.
    TRefSigningService other;
    ASSERT_TRUE(other.CA_Generate(1024));
    std::string otherCA = S.Root.Path() + "/other-ca-2.pem";
    std::ofstream(otherCA, std::ios::binary) << other.CA_CertPEM();
    EXPECT_FALSE(Post(&Recv, otherCA.c_str()));
    EXPECT_TRUE(Post(&Recv, S.CAFile.c_str()));
}

// Handles of one owner read a CA setting once: a later TLS connection of the same setting is verified
// against the kept store, not against the file as it is now. Another setting is read from its file, and
// no request rides on a connection verified against another setting.
TEST_F(CurlTransport, SharedHandlesReadTheCAFileOnceAndNeverMixSettings) {
    TLibCurlShared shared;
    TLibCurl first, second;
    first.Shared = &shared;
    second.Shared = &shared;
    std::string caFile = S.Root.Path() + "/ca-read-once.pem";
    std::ofstream(caFile, std::ios::binary) << S.Service.CA_CertPEM();
    ASSERT_TRUE(first.Request(true, URL.c_str(), caFile.c_str(), &Header, &Recv, &Body));
    // The file now names a CA that did not issue the server's certificate.
    TRefSigningService other;
    ASSERT_TRUE(other.CA_Generate(1024));
    std::ofstream(caFile, std::ios::binary | std::ios::trunc) << other.CA_CertPEM();
    // The service drops idle connections after a second: these make new TLS connections.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(second.Request(true, URL.c_str(), caFile.c_str(), &Header, &Recv, &Body));
    EXPECT_TRUE(first.Request(true, URL.c_str(), caFile.c_str(), &Header, &Recv, &Body));
    // Another setting, read from its file: the wrong CA, refused, also over the shared connections.
    std::string otherCA = S.Root.Path() + "/other-ca-3.pem";
    std::ofstream(otherCA, std::ios::binary) << other.CA_CertPEM();
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(second.Request(true, URL.c_str(), otherCA.c_str(), &Header, &Recv, &Body));
        EXPECT_EQ(CURLE_PEER_FAILED_VERIFICATION, second.resultCurl);
    }
    // A new setting is read from its file.
    std::string newCA = S.Root.Path() + "/ca-new-setting.pem";
    std::ofstream(newCA, std::ios::binary) << S.Service.CA_CertPEM();
    EXPECT_TRUE(first.Request(true, URL.c_str(), newCA.c_str(), &Header, &Recv, &Body));
    EXPECT_TRUE(second.Request(true, URL.c_str(), newCA.c_str(), &Header, &Recv, &Body));
    EXPECT_FALSE(first.Request(true, URL.c_str(), otherCA.c_str(), &Header, &Recv, &Body));
}

// A CA setting whose file did not verify the server is not kept: once the file is put right, the next
// request reads it again instead of failing on what the first one read.
TEST_F(CurlTransport, ACAFileThatDidNotVerifyTheServerIsNotKept) {
    TLibCurlShared shared;
    TLibCurl curl;
    curl.Shared = &shared;
    std::string caFile = S.Root.Path() + "/ca-put-right.pem";
    TRefSigningService other;
    ASSERT_TRUE(other.CA_Generate(1024));
    std::ofstream(caFile, std::ios::binary) << other.CA_CertPEM();
    EXPECT_FALSE(curl.Request(true, URL.c_str(), caFile.c_str(), &Header, &Recv, &Body));
    EXPECT_EQ(CURLE_PEER_FAILED_VERIFICATION, curl.resultCurl);
    std::ofstream(caFile, std::ios::binary | std::ios::trunc) << "nao e um certificado\n";
    EXPECT_FALSE(curl.Request(true, URL.c_str(), caFile.c_str(), &Header, &Recv, &Body));
    std::ofstream(caFile, std::ios::binary | std::ios::trunc) << S.Service.CA_CertPEM();
    EXPECT_TRUE(curl.Request(true, URL.c_str(), caFile.c_str(), &Header, &Recv, &Body)) << curl.resultCurl;
}

// The first requests of a setting, made at once by several threads, all verify the server: none is
// handed a store that another request has not finished reading.
TEST_F(CurlTransport, ConcurrentFirstRequestsOfASettingAllVerifyTheServer) {
    const int threads = 6;
    for (int round = 0; round < 5; ++round) {
        TLibCurlShared shared;
        std::vector<std::unique_ptr<TLibCurl>> handles;
        for (int t = 0; t < threads; ++t) {
            handles.push_back(std::make_unique<TLibCurl>());
            handles.back()->Shared = &shared;
        }
        std::atomic<int> good{0};
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&, t] {
                TVarnoMemory header, body, recv;
                header.AddString(("TokenPSC: " + S.Token).c_str());
                body.AddString(ValidBody(S.Key.ModulusBytes).c_str());
                for (int i = 0; i < 3; ++i)
                    if (handles[t]->Request(true, URL.c_str(), S.CAFile.c_str(), &header, &recv, &body))
                        ++good;
            });
        for (auto& th : pool)
            th.join();
        EXPECT_EQ(threads * 3, good.load()) << "round " << round;
    }
}
