#include "platform/platHASH.h"
#include "service/libDataEncryptDecrypt.h"
#include "service/libLUConex.h"
#include "service/serviceTestSupport.h"

#include <cstring>
#include <string>

using namespace svctest;

namespace {

TRefBytes Block(size_t modulusBytes, const std::string& value) {
    TRefBytes b(modulusBytes, 0xFF);
    b[0] = 0;
    b[1] = 1;
    b[modulusBytes - value.size() - 1] = 0;
    memcpy(&b[modulusBytes - value.size()], value.data(), value.size());
    return b;
}

std::string Hex(const BYTE* p, size_t n) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

class SignRequest : public ::testing::Test {
  protected:
    SignRequest() : S(Shared()), Faults(S.Service) {
        URL = S.Service.SignURL();
        Conex.URL_SignHash = URL.c_str();
        Conex.FileName_CAPeer = S.CAFile.c_str();
        Conex.TimeoutMs = 3000;
        Prepare("hash value one");
    }
    void Prepare(const std::string& value) {
        Item.Clear();
        Item.DataValueInput.Add(value.data(), static_cast<uint32_t>(value.size()));
        Plain = Block(S.Key.ModulusBytes, value);
        Item.DataValuePadded.Add(Plain.data(), static_cast<uint32_t>(Plain.size()));
        ASSERT_TRUE(S.Service.Key_Sign(S.Token, Plain, Expected));
    }
    // The request of the fixture's item with the token given (Token when null).
    bool Sign(const char* alias = "Janela", const char* token = nullptr) {
        return Conex.Request_EncryptDecrypt(&Item, "4A1B", token ? token : Token.c_str(), true, alias);
    }
    std::string Result() const { return Hex(Item.DataResult.FileData, Item.DataResult.LenFileData); }
    // A request that must fail with the given trace text, leaving no result and no extra damage.
    void ExpectFailure(const std::string& traceText) {
        TScopedTrace trace(S.Root.Path() + "/fail.log", DBERRO_0);
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(Sign());
        EXPECT_LT(ElapsedMs(t0), 3000 + 1500);
        EXPECT_FALSE(Item.IsSigned);
        EXPECT_EQ(0u, Item.DataResult.LenFileData);
        EXPECT_NE(std::string::npos, trace.Text().find(traceText)) << trace.Text();
    }

    TSharedService& S;
    TFaultScope Faults;
    TLUConex Conex;
    TDataEncryptDecrypt Item;
    TRefBytes Plain, Expected;
    std::string URL;
    std::string Token;
};

} // namespace

TEST_F(SignRequest, SignsOneBlockWithTheExactWireFormat) {
    Token = S.Token;
    ASSERT_TRUE(Sign());
    EXPECT_TRUE(Item.IsSigned);
    EXPECT_EQ(Hex(Expected.data(), Expected.size()), Result());
    EXPECT_EQ(0, Conex.Request_CodErro);
    EXPECT_STREQ("Ocorreu um erro interno. Tente novamente.", Conex.Request_MsgErro);

    TRefStats st = S.Service.Stats();
    EXPECT_EQ(1u, st.Requests);
    EXPECT_EQ(S.Token, st.LastToken);
    // One JSON string: a 2048-bit block is 344 Base64 characters between two quotes.
    ASSERT_EQ(346u, st.LastBody.size());
    EXPECT_EQ('"', st.LastBody.front());
    EXPECT_EQ('"', st.LastBody.back());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(Item.DataValueBase64.FileData)),
              st.LastBody.substr(1, st.LastBody.size() - 2));
    // HashID: MD5 of "ID0" followed by the input.
    TPlatHASH md5;
    md5.Add("ID0");
    md5.Add(Item.DataValueInput.FileData, static_cast<int>(Item.DataValueInput.LenFileData));
    ASSERT_TRUE(md5.Compute_MD5());
    EXPECT_STREQ(md5.digestHexAscii, reinterpret_cast<char*>(Item.HashID.FileData));

    // A second request for another block gives that block's signature.
    Prepare("hash value two");
    ASSERT_TRUE(Sign());
    EXPECT_EQ(Hex(Expected.data(), Expected.size()), Result());
    EXPECT_EQ(2u, S.Service.RequestCount());
}

TEST_F(SignRequest, WithoutTokenNothingIsSent) {
    ExpectFailure("Erro ao Verificar o TOKEN\n");
    EXPECT_FALSE(Conex.Request_EncryptDecrypt(&Item, "4A1B", nullptr, true, "Janela"));
    EXPECT_EQ(0u, S.Service.RequestCount());
}

TEST_F(SignRequest, TokenIsCheckedBeforeUse) {
    std::string longest(LU_TOKEN_SIZE - 1, 'a');
    TLUConexToken token;
    EXPECT_TRUE(token.SetToken(longest.c_str()));
    EXPECT_EQ(longest, token.Token);
    EXPECT_TRUE(token.Valid);
    // Refused tokens never reach a header line: too long, line breaks, empty, none.
    const std::string tooLong(LU_TOKEN_SIZE, 'a');
    for (const char* bad : {tooLong.c_str(), "abc\r\nX-Other: 1", "", static_cast<const char*>(nullptr)}) {
        EXPECT_FALSE(token.SetToken(bad));
        EXPECT_FALSE(token.Valid);
        EXPECT_EQ(nullptr, token.Token);
    }
    ExpectFailure("Erro ao Verificar o TOKEN\n");
    Token = "abc\r\nX-Other: 1";
    ExpectFailure("Erro ao Verificar o TOKEN\n");
    EXPECT_EQ(0u, S.Service.RequestCount());
}

TEST_F(SignRequest, RejectedTokenFails) {
    Token = "not-a-known-token";
    ExpectFailure("HttpStatus=[401]");
    EXPECT_EQ(401, Conex.Request_CodErro);
    EXPECT_EQ(1u, S.Service.RequestCount());
}

TEST_F(SignRequest, EveryBadAnswerFailsAndTheNextCallSucceeds) {
    Token = S.Token;
    const struct {
        TRefFaultMode Mode;
        const char* Trace;
    } cases[] = {
        {TRefFaultMode::Http500Html, "HttpStatus=[500]"},
        {TRefFaultMode::NoSignatures,
         "Não foram encontradas as informações das 'signatures' da URL_SignHash\n"},
        {TRefFaultMode::EmptyArray, "Não foi possivel fazer o parse das 'signatures' da URL_SignHash\n"},
        {TRefFaultMode::BadBase64, "rawSignature não é Base64 valido"},
        {TRefFaultMode::ShortSignature, "Tamanho da rawSignature invalido"},
        {TRefFaultMode::NoRawSignature, "Não foi encontrado objetos esperados, valID=["},
        {TRefFaultMode::Truncated, "Erro curl_easy_perform, resultCurl=["},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(refFault_Name(c.Mode));
        // A good signature before each fault: the failure must not leave it behind.
        ASSERT_TRUE(Sign());
        Faults.Set(c.Mode, 0, 1);
        ExpectFailure(c.Trace);
        ASSERT_TRUE(Sign());
        EXPECT_EQ(Hex(Expected.data(), Expected.size()), Result());
    }
}

TEST_F(SignRequest, TokenNeverReachesTheTraceWhateverItHoldsOrTheServiceEchoes) {
    std::string longest;
    for (size_t i = 0; longest.size() < LU_TOKEN_SIZE - 1; ++i)
        longest += "0123456789abcdefghijklmnopqrstuv"[(i * 7 + i / 32) % 32];
    longest.resize(LU_TOKEN_SIZE - 1);
    for (const std::string& token :
         {std::string("tok]SECRET-REST-OF-TOKEN"), std::string("a b] c:d [X: secret]"), longest}) {
        SCOPED_TRACE(token);
        ASSERT_TRUE(S.Service.Key_AddPEM(S.Key.KeyPEM, S.Key.CertPEM, token)) << S.Service.LastError();
        Token = token;
        std::string text;
        {
            TScopedTrace trace(S.Root.Path() + "/token.log");
            EXPECT_TRUE(Sign());
            Faults.Set(TRefFaultMode::EchoToken, 0, 1);
            EXPECT_FALSE(Sign());
            text = trace.Text();
        }
        EXPECT_NE(std::string::npos, text.find("TokenPSC: ****\r\n"));
        EXPECT_NE(std::string::npos,
                  text.find("rawSignature não é Base64 valido, id=[****] rawSignature=[****]"));
        // No piece of the token either: the mask runs to the end of the header line.
        for (size_t at = 0; at + 8 <= token.size(); ++at)
            ASSERT_EQ(std::string::npos, text.find(token.substr(at, 8))) << token.substr(at, 8);
    }
}

TEST_F(SignRequest, SlowServiceFailsAtTheLimit) {
    Token = S.Token;
    Conex.TimeoutMs = 500;
    Faults.Set(TRefFaultMode::Delay, 2500, 1);
    auto t0 = std::chrono::steady_clock::now();
    ExpectFailure("Timeout was reached");
    EXPECT_LT(ElapsedMs(t0), 1500);
    ASSERT_TRUE(Sign());
}

TEST_F(SignRequest, ServiceDownFails) {
    Token = S.Token;
    TRefSigningService gone;
    gone.CA_LoadPEM(S.Service.CA_CertPEM(), S.Service.CA_KeyPEM());
    ASSERT_TRUE(gone.Start(0, false));
    std::string url = gone.SignURL();
    gone.Stop();
    Conex.URL_SignHash = url.c_str();
    ExpectFailure("Couldn't connect to server");
}

TEST_F(SignRequest, EscapedSlashesAndSecondElements) {
    Token = S.Token;
    // Find a block whose signature's Base64 has a "/" so that the escape is really exercised.
    TPlatHASH b64;
    for (int i = 0;; ++i) {
        ASSERT_LT(i, 50);
        Prepare("value " + std::to_string(i));
        char* text = b64.Encode_Base64(Expected.data(), static_cast<int>(Expected.size()), 1);
        bool hasSlash = text && strchr(text, '/');
        free(text);
        if (hasSlash) break;
    }
    Faults.Set(TRefFaultMode::SlashEscape, 0, 1);
    ASSERT_TRUE(Sign());
    EXPECT_EQ(Hex(Expected.data(), Expected.size()), Result());
    // Only the first element of the array counts.
    Faults.Set(TRefFaultMode::TwoElements, 0, 1);
    ASSERT_TRUE(Sign());
    EXPECT_EQ(Hex(Expected.data(), Expected.size()), Result());
}

TEST_F(SignRequest, PrettyPrintedAnswerIsRead) {
    Token = S.Token;
    Faults.Set(TRefFaultMode::Pretty, 0, 1);
    ASSERT_TRUE(Sign());
    EXPECT_TRUE(Item.IsSigned);
    EXPECT_EQ(Hex(Expected.data(), Expected.size()), Result());
}

TEST_F(SignRequest, BadArgumentsAndMissingEndpoint) {
    Token = S.Token;
    TScopedTrace trace(S.Root.Path() + "/args.log", DBERRO_0);
    EXPECT_FALSE(Sign(nullptr));
    EXPECT_FALSE(Conex.Request_EncryptDecrypt(static_cast<TDataEncryptDecrypt*>(nullptr), "4A1B",
                                              Token.c_str(), true, "J"));
    EXPECT_FALSE(
        Conex.Request_EncryptDecrypt(static_cast<TListSignHash*>(nullptr), "4A1B", Token.c_str(), true, "J"));
    TListSignHash empty;
    EXPECT_FALSE(Conex.Request_EncryptDecrypt(&empty, "4A1B", Token.c_str(), true, "J"));
    std::string plain = "http://127.0.0.1:" + std::to_string(S.Service.Port()) + TRefSigningService::SignPath;
    Conex.URL_SignHash = plain.c_str();
    EXPECT_FALSE(Sign("J"));
    std::string text = trace.Text();
    EXPECT_NE(std::string::npos, text.find("URL_SignHash deve usar https"));
    EXPECT_NE(std::string::npos, text.find("Parametros Invalidos, listSignHash=["));
    EXPECT_NE(std::string::npos, text.find("Não foi encontrado nenhuma item na listSignHash->Count()=[0]\n"));
    EXPECT_EQ(0u, S.Service.RequestCount());
}

TEST(SignHashList, OwnsItsItemsOnlyWhenAsked) {
    TDataEncryptDecrypt outside;
    outside.DataResult.AddString("old");
    outside.IsSigned = true;
    {
        TListSignHash borrowed;
        borrowed.ClearInDestroy = false;
        EXPECT_TRUE(borrowed.Add(&outside));
        EXPECT_FALSE(borrowed.Add(nullptr));
        EXPECT_EQ(1, borrowed.Count());
        EXPECT_EQ(&outside, borrowed.Get(0));
        EXPECT_EQ(nullptr, borrowed.Get(1));
        EXPECT_EQ(nullptr, borrowed.Get(-1));
        borrowed.ClearSignature();
        EXPECT_FALSE(outside.IsSigned);
        EXPECT_EQ(0u, outside.DataResult.LenFileData);
    }
    TListSignHash owning;
    EXPECT_TRUE(owning.ClearInDestroy);
    EXPECT_TRUE(owning.Add(new TDataEncryptDecrypt));
    EXPECT_TRUE(owning.Add(new TDataEncryptDecrypt));
    EXPECT_TRUE(owning.Clear());
    EXPECT_EQ(0, owning.Count());
    EXPECT_TRUE(owning.Add(new TDataEncryptDecrypt));
    // The rest is released by the destructor (checked by the sanitizer build).
}

TEST(SignBlockItem, HashIdAndBase64) {
    TDataEncryptDecrypt a, b;
    a.DataValueInput.LoadFromMemory("block", 5);
    b.DataValueInput.LoadFromMemory("block", 5);
    a.DataValuePadded.LoadFromMemory("\x00\x01\xFF", 3);
    ASSERT_TRUE(a.ComputeHashID(0));
    ASSERT_TRUE(b.ComputeHashID(0));
    EXPECT_STREQ(reinterpret_cast<char*>(a.HashID.FileData), reinterpret_cast<char*>(b.HashID.FileData));
    EXPECT_STREQ("C0709098E3A183E137F671E9920AC0DC", reinterpret_cast<char*>(a.HashID.FileData));
    EXPECT_STREQ("AAH/", reinterpret_cast<char*>(a.DataValueBase64.FileData));
    ASSERT_TRUE(b.ComputeHashID(1));
    EXPECT_STRNE(reinterpret_cast<char*>(a.HashID.FileData), reinterpret_cast<char*>(b.HashID.FileData));

    ASSERT_TRUE(a.LoadDataResultBase64("AAH/"));
    EXPECT_EQ(TRefBytes({0x00, 0x01, 0xFF}),
              TRefBytes(a.DataResult.FileData, a.DataResult.FileData + a.DataResult.LenFileData));
    EXPECT_FALSE(a.LoadDataResultBase64(nullptr));
    a.IsSigned = true;
    a.ClearSignature();
    EXPECT_FALSE(a.IsSigned);
    EXPECT_EQ(0u, a.DataResult.LenFileData);
    a.Clear();
    EXPECT_EQ(0u, a.DataValueInput.LenFileData);
    EXPECT_EQ(0u, a.DataValuePadded.LenFileData);
}
