#include "certificates/libCertificate.h"
#include "platform/platDebug.h"
#include "support/testCerts.h"
#include "support/testRoot.h"
#include "support/testTrace.h"

#include <gtest/gtest.h>

#include <memory>

#include <openssl/asn1.h>

#include <cstring>
#include <string>
#include <vector>

using namespace testcerts;

namespace {

// Every test runs with the trace log on at every level, so that each trace line is formatted and
// failure messages can be checked.
class CertTest : public ::testing::Test {
  protected:
    void SetUp() override { TraceLog = std::make_unique<TTestTrace>(Root.Path()); }
    void TearDown() override { TraceLog.reset(); }
    std::string Trace() { return TraceLog->Text(); }

    static bool Load(TCertificate& cert, const std::string& text, bool walk = false,
                     const char* provider = nullptr) {
        return cert.LoadCert_FromMemory(0, text.data(), static_cast<uint32_t>(text.size()), provider, walk);
    }
    static Bytes Buffer(const TVarnoMemory& mem) {
        return Bytes(mem.FileData, mem.FileData + mem.LenFileData);
    }
    static void ExpectEmpty(const TCertificate& cert) {
        EXPECT_FALSE(cert.hasCertFile);
        EXPECT_EQ(nullptr, cert.x509Cert);
        EXPECT_EQ(nullptr, cert.rsaPublicKey);
        EXPECT_EQ(nullptr, cert.SerialNumber);
        EXPECT_EQ(nullptr, cert.PrintSHA1);
        EXPECT_EQ(nullptr, cert.PrintSHA256);
        EXPECT_EQ(nullptr, cert.SubjectName);
        EXPECT_EQ(0u, cert.CertFile.LenFileData);
        EXPECT_EQ(0u, cert.CertFileBIN.LenFileData);
        EXPECT_EQ(0u, cert.PublicModulus.LenFileData);
        EXPECT_EQ(0u, cert.PublicExponent.LenFileData);
        EXPECT_STREQ("", cert.ProviderName);
        EXPECT_STREQ("", cert.NotBefore);
        EXPECT_STREQ("", cert.NotAfter);
    }

    TTestRoot Root;
    std::unique_ptr<TTestTrace> TraceLog;
};

std::string FormatTime(int type, const char* text) {
    char out[30];
    memset(out, 'x', sizeof(out));
    TCertificate::FormatAsn1Time(type, text, static_cast<int>(strlen(text)), out, sizeof(out));
    return out;
}

} // namespace

// ---------------------------------------------------------------------------------------------------
// Loading from text

TEST_F(CertTest, PemCrlfAndOneLineBase64LoadAlikeAndRawDerIsRefused) {
    TTestKey key = TTestKey::Rsa(2048);
    TTestCertOptions opt;
    opt.Serial = {0x12, 0x34, 0xAB, 0xCD};
    opt.CommonName = "Signer One";
    TTestCert cert = TTestCert::SelfSigned(key, opt);

    const std::string forms[] = {cert.Pem(), cert.PemCrlf(), cert.Base64OneLine()};
    for (const std::string& form : forms) {
        SCOPED_TRACE(form.substr(0, 40));
        TCertificate loaded;
        ASSERT_TRUE(Load(loaded, form));
        EXPECT_STREQ("1234ABCD", loaded.SerialNumber);
        EXPECT_EQ(cert.Sha1Hex(), loaded.PrintSHA1);
        EXPECT_EQ(cert.Sha256Hex(), loaded.PrintSHA256);
        EXPECT_EQ(40u, strlen(loaded.PrintSHA1));
        EXPECT_EQ(64u, strlen(loaded.PrintSHA256));
        EXPECT_EQ(256, loaded.KeyLenght);
        EXPECT_STREQ("Signer One", loaded.SubjectName);
        EXPECT_EQ(cert.SubjectOneLine(), loaded.SubjectLine);
        EXPECT_STREQ("/C=BR/O=LUCSP Test/CN=Signer One", loaded.SubjectLine);
        EXPECT_EQ(cert.Der(), Buffer(loaded.CertFileBIN));
        EXPECT_TRUE(loaded.hasCertFile);
        EXPECT_NE(nullptr, loaded.x509Cert);
        EXPECT_NE(nullptr, loaded.rsaPublicKey);
        // Without the walk the key parts stay empty.
        EXPECT_EQ(0u, loaded.PublicModulus.LenFileData);
        EXPECT_EQ(0u, loaded.PublicExponent.LenFileData);
    }

    Bytes der = cert.Der();
    TCertificate raw;
    EXPECT_FALSE(raw.LoadCert_FromMemory(0, der.data(), static_cast<uint32_t>(der.size()), "P", true));
    ExpectEmpty(raw);
    EXPECT_NE(std::string::npos, Trace().find("Falha na PEM_read_bio_X509 error=["));
    EXPECT_NE(std::string::npos, Trace().find("Falha ao carregar certificado\n"));
}

TEST_F(CertTest, FormatCertToReadRebuildsPemWith64CharacterLines) {
    TCertificate cert;
    TVarnoMemory in, out;
    std::string body(150, 'A');
    std::string text = "-----BEGIN CERTIFICATE-----\n" + body.substr(0, 70) + "\n" + body.substr(70) +
                       "\n-----END CERTIFICATE-----\n";
    in.AddString(text.c_str());
    ASSERT_TRUE(cert.FormatCert_ToRead(0, &in, &out));
    std::string expected = "-----BEGIN CERTIFICATE-----\n" + body.substr(0, 64) + "\n" + body.substr(64, 64) +
                           "\n" + body.substr(128) + "\n-----END CERTIFICATE-----";
    EXPECT_EQ(expected, std::string(reinterpret_cast<char*>(out.FileData), out.LenFileData));

    // CRLF and lone CR line ends go like LF ones and count nothing in the line length.
    for (const char* lineEnds : {"AB\r\nCD\r\n", "AB\rCD\r", "A\r\rB\n\rCD"}) {
        TVarnoMemory crIn;
        crIn.AddString(lineEnds);
        ASSERT_TRUE(cert.FormatCert_ToRead(0, &crIn, &out));
        EXPECT_EQ("-----BEGIN CERTIFICATE-----\nABCD\n-----END CERTIFICATE-----",
                  std::string(reinterpret_cast<char*>(out.FileData), out.LenFileData));
    }

    // In place is allowed.
    ASSERT_TRUE(cert.FormatCert_ToRead(0, &out, &out));
    EXPECT_EQ("-----BEGIN CERTIFICATE-----\nABCD\n-----END CERTIFICATE-----",
              std::string(reinterpret_cast<char*>(out.FileData), out.LenFileData));

    EXPECT_FALSE(cert.FormatCert_ToRead(0, nullptr, &out));
    EXPECT_FALSE(cert.FormatCert_ToRead(0, &in, nullptr));
}

TEST_F(CertTest, BadInputLeavesTheObjectEmpty) {
    TCertificate cert;
    EXPECT_FALSE(cert.LoadCert_FromMemory(0, nullptr, 10, "P"));
    ExpectEmpty(cert);
    EXPECT_FALSE(cert.LoadCert_FromMemory(0, static_cast<TVarnoMemory*>(nullptr), "P"));
    ExpectEmpty(cert);
    EXPECT_FALSE(Load(cert, ""));
    ExpectEmpty(cert);
    EXPECT_FALSE(Load(cert, "not a certificate at all"));
    ExpectEmpty(cert);
    // A truncated certificate.
    TTestCert good = TTestCert::SelfSigned(TTestKey::Rsa(1024));
    std::string b64 = good.Base64OneLine();
    EXPECT_FALSE(Load(cert, b64.substr(0, b64.size() / 2)));
    ExpectEmpty(cert);

    EXPECT_FALSE(cert.LoadCertFile_X509(true));
    EXPECT_NE(std::string::npos, Trace().find("Falha no LoadCertFile hasCertFile=[0]\n"));
    EXPECT_FALSE(cert.LoadCert_GetInfo());
    EXPECT_NE(std::string::npos, Trace().find("Certificado não foi carregado\n"));
}

TEST_F(CertTest, NewLoadReplacesAndFailedLoadEmptiesButKeepsCallerFields) {
    TTestCert first = TTestCert::SelfSigned(TTestKey::Rsa(1024));
    TTestCertOptions opt;
    opt.Serial = {0x42};
    TTestCert second = TTestCert::SelfSigned(TTestKey::Rsa(2048), opt);

    TCertificate cert;
    cert.StoreType = LU_STORE_TYPE_MY;
    ASSERT_TRUE(Load(cert, first.Pem(), true, "Provider A"));
    EXPECT_STREQ("Provider A", cert.ProviderName);
    EXPECT_EQ(128, cert.KeyLenght);
    ASSERT_TRUE(Load(cert, second.Pem(), false, nullptr));
    EXPECT_STREQ("42", cert.SerialNumber);
    EXPECT_STREQ("", cert.ProviderName);
    EXPECT_EQ(256, cert.KeyLenght);
    EXPECT_EQ(0u, cert.PublicModulus.LenFileData);

    // Reloading from the object's own text works.
    ASSERT_TRUE(cert.LoadCert_FromMemory(0, &cert.CertFile, "Provider B", true));
    EXPECT_STREQ("42", cert.SerialNumber);
    EXPECT_STREQ("Provider B", cert.ProviderName);
    EXPECT_EQ(256u, cert.PublicModulus.LenFileData);

    EXPECT_FALSE(Load(cert, "garbage"));
    ExpectEmpty(cert);
    EXPECT_EQ(LU_STORE_TYPE_MY, cert.StoreType);

    cert.Clear();
    EXPECT_EQ(LU_STORE_TYPE_MY, cert.StoreType);
}

// ---------------------------------------------------------------------------------------------------
// Serial number and subject

TEST_F(CertTest, SerialNumberIsTheUnsignedMagnitudeInUppercaseHex) {
    TTestKey key = TTestKey::Rsa(1024);
    struct Case {
        Bytes Serial;
        bool Negative;
        const char* Expected;
    } cases[] = {
        {{0x80, 0x01}, false, "8001"}, // DER content 00 80 01
        {{0xFF, 0xEE, 0xDD, 0xCC, 0xBB}, false, "FFEEDDCCBB"},
        {{0x01}, false, "01"},
        {{0x0A, 0xBC}, false, "0ABC"},
        {{0x00, 0x00, 0x7F}, false, "7F"}, // leading zero bytes are no part of the value
        {{0x12, 0x34}, true, "1234"},      // the sign is not shown
    };
    for (const Case& c : cases) {
        TTestCertOptions opt;
        opt.Serial = c.Serial;
        opt.NegativeSerial = c.Negative;
        TTestCert cert = TTestCert::SelfSigned(key, opt);
        TCertificate loaded;
        ASSERT_TRUE(Load(loaded, cert.Pem())) << c.Expected;
        EXPECT_STREQ(c.Expected, loaded.SerialNumber);
    }
    // The leading-0x00 case really has the sign byte in DER.
    TTestCertOptions opt;
    opt.Serial = {0x80, 0x01};
    EXPECT_EQ((Bytes{0x00, 0x80, 0x01}), TTestCert::SelfSigned(key, opt).SerialDerContent());
}

TEST_F(CertTest, SerialZeroAndSubjectWithoutCommonNameFail) {
    TTestKey key = TTestKey::Rsa(1024);
    TTestCertOptions zero;
    zero.Serial = {0x00};
    TCertificate cert;
    EXPECT_FALSE(Load(cert, TTestCert::SelfSigned(key, zero).Pem(), true, "P"));
    ExpectEmpty(cert);
    EXPECT_NE(std::string::npos, Trace().find("Falha ao recuperar o numero de serie, lenTmp=[0]"));

    TTestCertOptions noCn;
    noCn.NoCommonName = true;
    EXPECT_FALSE(Load(cert, TTestCert::SelfSigned(key, noCn).Pem()));
    ExpectEmpty(cert);
    EXPECT_NE(std::string::npos, Trace().find("Falha ao execute X509_NAME_get_text_by_NID\n"));
}

TEST_F(CertTest, EcKeyIsRefusedAtTheRsaStep) {
    TTestKey ec = TTestKey::Ec();
    TTestCert cert = TTestCert::SelfSigned(ec);
    ASSERT_NE(nullptr, cert.Get());
    TCertificate loaded;
    loaded.KeyLenght = 0;
    EXPECT_FALSE(Load(loaded, cert.Pem(), true, "P"));
    ExpectEmpty(loaded);
    EXPECT_NE(std::string::npos, Trace().find("Falha na PEM_read_bio_RSA_PUBKEY error=["));
    EXPECT_EQ(0, loaded.KeyLenght);
}

// ---------------------------------------------------------------------------------------------------
// Public key walk and raw operation

TEST_F(CertTest, PublicKeyWalkGivesModulusAndPaddedExponent) {
    struct Case {
        int Bits;
        unsigned long Exponent;
        uint32_t ModulusBytes;
        Bytes ExpectedExponent;
    } cases[] = {
        {1024, 65537, 128, {0x00, 0x01, 0x00, 0x01}}, // one-byte long-form lengths (0x81)
        {2048, 65537, 256, {0x00, 0x01, 0x00, 0x01}}, // two-byte lengths (0x82)
        {4096, 65537, 512, {0x00, 0x01, 0x00, 0x01}}, {1024, 3, 128, {0x00, 0x03}},
        {1032, 65537, 129, {0x00, 0x01, 0x00, 0x01}}, // odd byte count: the modulus keeps every byte
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Bits);
        TTestKey key = TTestKey::Rsa(c.Bits, c.Exponent);
        TCertificate loaded;
        ASSERT_TRUE(Load(loaded, TTestCert::SelfSigned(key).Pem(), true, "P"));
        EXPECT_EQ(static_cast<int>(c.ModulusBytes), loaded.KeyLenght);
        EXPECT_EQ(c.ModulusBytes, loaded.PublicModulus.LenFileData);
        EXPECT_EQ(key.Modulus(), Buffer(loaded.PublicModulus));
        EXPECT_EQ(c.ExpectedExponent, Buffer(loaded.PublicExponent));
        EXPECT_NE(std::string::npos, Trace().find("Setando KeyLenght=[" + std::to_string(c.ModulusBytes) +
                                                  "] TryLoadInfoPublickKey=[1]"));
    }
}

TEST_F(CertTest, RawPublicOperationMatchesTheKeyAndChecksItsInput) {
    TTestKey key = TTestKey::Rsa(2048);
    TCertificate cert;
    ASSERT_TRUE(Load(cert, TTestCert::SelfSigned(key).Pem(), true, "P"));
    const int n = cert.KeyLenght;

    Bytes block(static_cast<size_t>(n), 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    block[n - 20] = 0x00;
    for (int i = n - 19; i < n; ++i)
        block[static_cast<size_t>(i)] = static_cast<uint8_t>(i);

    // Verifying a signature: the public "decrypt" of the private result gives the block back.
    Bytes signature = key.PrivateRaw(block);
    ASSERT_EQ(static_cast<size_t>(n), signature.size());
    Bytes out(static_cast<size_t>(n), 0xAA);
    ASSERT_TRUE(cert.PublicKeyEncryptDecrypt(false, signature.data(), out.data(), n));
    EXPECT_EQ(block, out);

    // Public "encrypt" is the same arithmetic; OpenSSL's own result is the reference.
    ASSERT_TRUE(cert.PublicKeyEncryptDecrypt(true, block.data(), out.data(), n));
    EXPECT_EQ(key.PublicRaw(block), out);
    EXPECT_EQ(signature, key.PrivateRaw(block));

    // Wrong length, missing buffers, a value not below the modulus: false and the output untouched.
    Bytes untouched(static_cast<size_t>(n), 0x5A);
    out = untouched;
    EXPECT_FALSE(cert.PublicKeyEncryptDecrypt(true, block.data(), out.data(), n - 1));
    EXPECT_FALSE(cert.PublicKeyEncryptDecrypt(false, block.data(), out.data(), n + 1));
    EXPECT_FALSE(cert.PublicKeyEncryptDecrypt(true, nullptr, out.data(), n));
    EXPECT_FALSE(cert.PublicKeyEncryptDecrypt(true, block.data(), nullptr, n));
    Bytes tooLarge(static_cast<size_t>(n), 0xFF);
    EXPECT_FALSE(cert.PublicKeyEncryptDecrypt(true, tooLarge.data(), out.data(), n));
    EXPECT_FALSE(cert.PublicKeyEncryptDecrypt(false, tooLarge.data(), out.data(), n));
    EXPECT_EQ(untouched, out);
    std::string trace = Trace();
    EXPECT_NE(std::string::npos, trace.find("lenBuffInput=[255] RSA_size=[256]"));
    EXPECT_NE(std::string::npos,
              trace.find("Falha na RSA_public_encrypt lenComputed=[-1] lenBuffInput=[256] error=["));
    EXPECT_NE(std::string::npos,
              trace.find("Falha na RSA_public_decrypt lenComputed=[-1] lenBuffInput=[256] error=["));

    TCertificate empty;
    EXPECT_FALSE(empty.PublicKeyEncryptDecrypt(true, block.data(), out.data(), n));
    EXPECT_NE(std::string::npos,
              Trace().find("Parametro invalido, rsaPublicKey=[(nil)] não foi carregada\n"));
    EXPECT_EQ(untouched, out);
}

// ---------------------------------------------------------------------------------------------------
// Validity times

TEST_F(CertTest, FormatAsn1TimeShiftsZuluTimesToUtcMinus3) {
    EXPECT_EQ("31/12/2024 22:00:00", FormatTime(V_ASN1_UTCTIME, "250101010000Z"));
    EXPECT_EQ("31/12/2049 20:59:59", FormatTime(V_ASN1_UTCTIME, "491231235959Z"));
    EXPECT_EQ("31/12/1949 21:00:00", FormatTime(V_ASN1_UTCTIME, "500101000000Z"));
    EXPECT_EQ("15/06/2030 09:08:07", FormatTime(V_ASN1_UTCTIME, "300615120807Z"));
    EXPECT_EQ("29/02/2024 23:30:00", FormatTime(V_ASN1_GENERALIZEDTIME, "20240301023000Z"));
    EXPECT_EQ("28/02/2023 23:30:00", FormatTime(V_ASN1_GENERALIZEDTIME, "20230301023000Z"));
    EXPECT_EQ("29/02/2000 21:00:00", FormatTime(V_ASN1_GENERALIZEDTIME, "20000301000000Z"));
    EXPECT_EQ("28/02/2100 21:00:00", FormatTime(V_ASN1_GENERALIZEDTIME, "21000301000000Z"));
    EXPECT_EQ("30/04/2051 23:00:00", FormatTime(V_ASN1_GENERALIZEDTIME, "20510501020000Z"));
    // Without Z the time is taken as it stands; fractions are not Z.
    EXPECT_EQ("01/01/2025 01:00:00", FormatTime(V_ASN1_GENERALIZEDTIME, "20250101010000"));
    EXPECT_EQ("01/01/2025 01:00:00", FormatTime(V_ASN1_GENERALIZEDTIME, "20250101010000.5Z"));
    // Unreadable texts stay empty.
    EXPECT_EQ("", FormatTime(V_ASN1_UTCTIME, "2A0101010000Z"));
    EXPECT_EQ("", FormatTime(V_ASN1_UTCTIME, "25010101Z"));
    EXPECT_EQ("", FormatTime(V_ASN1_GENERALIZEDTIME, "250101010000Z"));
    EXPECT_EQ("", FormatTime(V_ASN1_UTCTIME, "251301010000Z"));
    EXPECT_EQ("", FormatTime(V_ASN1_UTCTIME, "250230010000Z"));
    EXPECT_EQ("", FormatTime(V_ASN1_OCTET_STRING, "250101010000Z"));
    char out[30] = "x";
    EXPECT_FALSE(TCertificate::FormatAsn1Time(V_ASN1_UTCTIME, nullptr, 0, out, sizeof(out)));
    EXPECT_STREQ("", out);
    EXPECT_FALSE(TCertificate::FormatAsn1Time(nullptr, out, sizeof(out)));

    ASN1_TIME* t = ASN1_TIME_new();
    ASSERT_EQ(1, ASN1_TIME_set_string(t, "20991231210000Z"));
    EXPECT_TRUE(TCertificate::FormatAsn1Time(t, out, sizeof(out)));
    EXPECT_STREQ("31/12/2099 18:00:00", out);
    ASN1_TIME_free(t);
}

TEST_F(CertTest, CertificateValidityTextsComeFromNotBeforeAndNotAfter) {
    TTestCertOptions opt;
    opt.NotBefore = "250101010000Z";
    opt.NotAfter = "491231235959Z";
    TCertificate cert;
    ASSERT_TRUE(Load(cert, TTestCert::SelfSigned(TTestKey::Rsa(1024), opt).Pem()));
    EXPECT_STREQ("31/12/2024 22:00:00", cert.NotBefore);
    EXPECT_STREQ("31/12/2049 20:59:59", cert.NotAfter);

    opt.NotAfter = "20500101000000Z"; // from 2050 on the certificate carries GeneralizedTime
    ASSERT_TRUE(Load(cert, TTestCert::SelfSigned(TTestKey::Rsa(1024), opt).Pem()));
    EXPECT_STREQ("31/12/2049 21:00:00", cert.NotAfter);
}

// ---------------------------------------------------------------------------------------------------
// The list

TEST_F(CertTest, ListOwnsItsCertificatesAndSearchesByExactSerial) {
    TTestKey key = TTestKey::Rsa(1024);
    TListCertificate list;
    const Bytes serials[] = {{0x0A, 0xBC, 0xDE}, {0xAB, 0xCD}, {0xAB, 0xCD}};
    for (const Bytes& serial : serials) {
        TTestCertOptions opt;
        opt.Serial = serial;
        TCertificate* cert = list.AddNewCert();
        ASSERT_NE(nullptr, cert);
        ASSERT_TRUE(Load(*cert, TTestCert::SelfSigned(key, opt).Pem(), true, "P"));
    }
    ASSERT_EQ(3u, list.Count);
    EXPECT_STREQ("0ABCDE", list.Get(0)->SerialNumber);
    EXPECT_EQ(nullptr, list.Get(3));
    EXPECT_EQ(nullptr, list.Get(-1));

    EXPECT_EQ(list.Get(1), list.Search_FromKeyName("ABCD")); // the first of two equal serials
    EXPECT_EQ(list.Get(0), list.Search_FromKeyName("0ABCDE"));
    EXPECT_EQ(nullptr, list.Search_FromKeyName("abcd"));
    EXPECT_EQ(nullptr, list.Search_FromKeyName("ABC"));
    EXPECT_EQ(nullptr, list.Search_FromKeyName("ABCDE"));
    EXPECT_EQ(nullptr, list.Search_FromKeyName(""));
    EXPECT_EQ(nullptr, list.Search_FromKeyName(nullptr));
    EXPECT_NE(std::string::npos,
              Trace().find("Procurando keyNameSearch=[abcd], count=[2], SerialNumber=[ABCD]\n"));

    // An empty certificate in the list is passed over.
    ASSERT_NE(nullptr, list.AddNewCert());
    EXPECT_EQ(nullptr, list.Search_FromKeyName("X"));

    TCertificate* own = new TCertificate();
    EXPECT_TRUE(list.Add(own));
    EXPECT_FALSE(list.Add(nullptr));
    EXPECT_EQ(5u, list.Count);
    EXPECT_EQ(own, list.Get(4));

    EXPECT_TRUE(list.Clear());
    EXPECT_EQ(0u, list.Count);
    EXPECT_EQ(nullptr, list.Get(0));
    ASSERT_NE(nullptr, list.AddNewCert()); // destroyed by the list's destructor
}
