// Certificates, raw RSA, Base64 and JSON pieces of the reference signing service.
#include "RefJson.h"
#include "RefTestSupport.h"

#include <gtest/gtest.h>
#include <openssl/x509v3.h>

#include <ctime>

using namespace reftest;

namespace {

struct TIssued {
    TRefPKey Key;
    TRefX509 Cert;
};

class RefCryptoCerts : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::string err;
        CAKey = TRefCrypto::GenerateRSA(2048, err).release();
        ASSERT_NE(CAKey, nullptr) << err;
        CACert = TRefCrypto::IssueCert(CAKey, "Test CA", TRefCertKind::CA, CAKey, nullptr,
                                       TRefSerialTopBit::Clear, err)
                     .release();
        ASSERT_NE(CACert, nullptr) << err;
    }
    static void TearDownTestSuite() {
        X509_free(CACert);
        EVP_PKEY_free(CAKey);
    }
    static TIssued Issue(TRefCertKind kind, TRefSerialTopBit topBit, int bits = 1024) {
        std::string err;
        TIssued out;
        out.Key = TRefCrypto::GenerateRSA(bits, err);
        EXPECT_TRUE(out.Key) << err;
        out.Cert = TRefCrypto::IssueCert(out.Key.get(), "Signer Test", kind, CAKey, CACert, topBit, err);
        EXPECT_TRUE(out.Cert) << err;
        return out;
    }
    static EVP_PKEY* CAKey;
    static X509* CACert;
};
EVP_PKEY* RefCryptoCerts::CAKey = nullptr;
X509* RefCryptoCerts::CACert = nullptr;

time_t AsTime(const ASN1_TIME* t) {
    struct tm tm {};
    ASN1_TIME_to_tm(t, &tm);
    return timegm(&tm);
}

} // namespace

TEST_F(RefCryptoCerts, SignerCertificateIsV3IssuedByCaWithValidityAndCn) {
    TIssued s = Issue(TRefCertKind::Signer, TRefSerialTopBit::Random);
    ASSERT_TRUE(s.Cert);
    X509* c = s.Cert.get();
    EXPECT_EQ(X509_get_version(c), 2);
    EXPECT_EQ(TRefCrypto::SubjectCN(c), "Signer Test");
    EXPECT_EQ(X509_NAME_cmp(X509_get_issuer_name(c), X509_get_subject_name(CACert)), 0);
    EXPECT_EQ(X509_verify(c, CAKey), 1);
    EXPECT_EQ(X509_check_ca(c), 0);
    EXPECT_EQ(X509_check_ca(CACert), 1);
    EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(c), s.Key.get()), 1);

    time_t now = time(nullptr);
    EXPECT_NEAR(static_cast<double>(AsTime(X509_get0_notBefore(c))), static_cast<double>(now - 86400), 120);
    EXPECT_NEAR(static_cast<double>(AsTime(X509_get0_notAfter(c))), static_cast<double>(now + 365 * 86400),
                120);

    // The whole chain verifies with OpenSSL's verifier.
    X509_STORE* store = X509_STORE_new();
    X509_STORE_add_cert(store, CACert);
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    X509_STORE_CTX_init(ctx, store, c, nullptr);
    EXPECT_EQ(X509_verify_cert(ctx), 1) << X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx));
    X509_STORE_CTX_free(ctx);
    X509_STORE_free(store);
}

TEST_F(RefCryptoCerts, SerialIsPositiveAndTopBitCanBeForced) {
    TIssued high = Issue(TRefCertKind::Signer, TRefSerialTopBit::Set);
    TIssued low = Issue(TRefCertKind::Signer, TRefSerialTopBit::Clear);
    TRefBytes highDer = TRefCrypto::SerialDER(high.Cert.get());
    TRefBytes lowDer = TRefCrypto::SerialDER(low.Cert.get());
    ASSERT_EQ(highDer.size(), 17u);
    EXPECT_EQ(highDer[0], 0x00);
    EXPECT_GE(highDer[1], 0x80);
    ASSERT_EQ(lowDer.size(), 16u);
    EXPECT_GT(lowDer[0], 0x00);
    EXPECT_LT(lowDer[0], 0x80);

    // The hexadecimal serial carries the value only: no sign byte, upper case.
    std::string hex = TRefCrypto::SerialHex(high.Cert.get());
    EXPECT_EQ(hex.size(), 32u);
    EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_NE(std::string("89ABCDEF").find(hex[0]), std::string::npos);
    EXPECT_NE(TRefCrypto::SerialHex(low.Cert.get()), hex);
}

TEST_F(RefCryptoCerts, TlsCertificateNamesLocalhostAndLoopbackOnly) {
    TIssued t = Issue(TRefCertKind::TlsServer, TRefSerialTopBit::Clear);
    EXPECT_EQ(X509_check_host(t.Cert.get(), "localhost", 0, 0, nullptr), 1);
    EXPECT_EQ(X509_check_ip_asc(t.Cert.get(), "127.0.0.1", 0), 1);
    EXPECT_NE(X509_check_host(t.Cert.get(), "example.com", 0, 0, nullptr), 1);
    EXPECT_NE(X509_check_ip_asc(t.Cert.get(), "10.0.0.1", 0), 1);
    EXPECT_EQ(X509_check_purpose(t.Cert.get(), X509_PURPOSE_SSL_SERVER, 0), 1);
}

TEST_F(RefCryptoCerts, KeyMustMatchItsCertificateAndTokenBeUnique) {
    TIssued s = Issue(TRefCertKind::Signer, TRefSerialTopBit::Random);
    TIssued other = Issue(TRefCertKind::Signer, TRefSerialTopBit::Random);
    std::string keyPEM = TRefCrypto::KeyToPEM(s.Key.get()), certPEM = TRefCrypto::CertToPEM(s.Cert.get());
    TRefSigningService svc;
    EXPECT_FALSE(svc.Key_AddPEM(TRefCrypto::KeyToPEM(other.Key.get()), certPEM, "tok"));
    EXPECT_NE(svc.LastError().find("does not match"), std::string::npos) << svc.LastError();
    EXPECT_FALSE(svc.Key_AddPEM(keyPEM, "not a certificate", "tok"));
    // Blanks inside only; no other controls.
    for (const char* bad : {" lead", "trail ", "tab\there"})
        EXPECT_FALSE(svc.Key_AddPEM(keyPEM, certPEM, bad)) << bad;
    EXPECT_TRUE(svc.Key_AddPEM(keyPEM, certPEM, "tok")) << svc.LastError();
    EXPECT_FALSE(
        svc.Key_AddPEM(TRefCrypto::KeyToPEM(other.Key.get()), TRefCrypto::CertToPEM(other.Cert.get()), "tok"))
        << "a token selects exactly one key";

    // Small values give results with leading zero bytes: the result keeps the full modulus length.
    TRefBytes one(128, 0), sig;
    one[127] = 1;
    ASSERT_TRUE(svc.Key_Sign("tok", one, sig));
    EXPECT_EQ(sig, one);
}

TEST(RefBase64, EncodesStandardAlphabetAndDecodesStrictly) {
    EXPECT_EQ(refBase64_Encode({}), "");
    EXPECT_EQ(refBase64_Encode({'f'}), "Zg==");
    EXPECT_EQ(refBase64_Encode({'f', 'o'}), "Zm8=");
    EXPECT_EQ(refBase64_Encode({'f', 'o', 'o'}), "Zm9v");
    EXPECT_EQ(refBase64_Encode({0xFB, 0xFF, 0xBF}), "+/+/");

    TRefBytes all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i);
    TRefBytes back;
    ASSERT_TRUE(refBase64_Decode(refBase64_Encode(all), back));
    EXPECT_EQ(back, all);
    EXPECT_EQ(refBase64_Encode(TRefBytes(256, 0)).size(), 344u);

    for (const char* bad :
         {"Zg=", "Zg", "Z===", "Zg==Zg==", "Zh==", "Zm9=", "Zm9v\n", "Zm 9", "Zm-v", "Zm_v", "=Zm9"})
        EXPECT_FALSE(refBase64_Decode(bad, back)) << bad;
}

TEST(RefJson, SignBodyIsOneStringWithSlashEscapesOnly) {
    std::string b64;
    EXPECT_TRUE(refJson_ParseSignBody("\"QUJD\"", b64));
    EXPECT_EQ(b64, "QUJD");
    EXPECT_TRUE(refJson_ParseSignBody(" \r\n\"a\\/b+/==\"\n", b64));
    EXPECT_EQ(b64, "a/b+/==");
    for (const char* bad :
         {"", "\"\"", "QUJD", "\"QUJD", "QUJD\"", "\"QU JD\"", "\"QU\\nJD\"", "\"QU\\u0041\"",
          "\"QUJD\"\"QUJD\"", "[\"QUJD\"]", "\"QUJD\" x", "{\"a\":\"QUJD\"}", "\"QUJD\\\""})
        EXPECT_FALSE(refJson_ParseSignBody(bad, b64)) << bad;
}

TEST(RefJson, FlatObjectReadsKnownValueKindsAndRefusesTheRest) {
    std::map<std::string, TRefJsonValue> m;
    ASSERT_TRUE(refJson_ParseFlatObject(
        " { \"mode\" : \"a\\\"\\u00e9\\/\", \"n\":-12, \"z\":0, \"t\":true, \"f\":false, \"x\":null } ", m));
    EXPECT_EQ(m["mode"].Kind, TRefJsonValue::IsString);
    EXPECT_EQ(m["mode"].Text, "a\"\xC3\xA9/");
    EXPECT_EQ(m["n"].Integer, -12);
    EXPECT_EQ(m["z"].Kind, TRefJsonValue::IsInteger);
    EXPECT_TRUE(m["t"].Bool);
    EXPECT_EQ(m["f"].Kind, TRefJsonValue::IsBool);
    EXPECT_FALSE(m["f"].Bool);
    EXPECT_EQ(m["x"].Kind, TRefJsonValue::IsNull);
    ASSERT_TRUE(refJson_ParseFlatObject("{}", m));
    EXPECT_TRUE(m.empty());
    for (const char* bad :
         {"", "{", "{\"a\":1,}", "{\"a\":1} x", "{\"a\":{}}", "{\"a\":[1]}", "{\"a\":1.5}", "{\"a\":01}",
          "{\"a\":1,\"a\":2}", "{a:1}", "{\"a\":\"\\ud800\"}", "{\"a\":tru}", "{\"a\":99999999999999999999}"})
        EXPECT_FALSE(refJson_ParseFlatObject(bad, m)) << bad;
}

TEST(RefJson, QuoteEscapesControlCharactersButNotSlash) {
    EXPECT_EQ(refJson_Quote("a/b"), "\"a/b\"");
    EXPECT_EQ(refJson_Quote("\"\\\n\x01"), "\"\\\"\\\\\\n\\u0001\"");
}
