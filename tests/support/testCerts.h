// Test-only keys and X.509 certificates made at run time with OpenSSL, so that no key material is
// committed. Everything here is for tests; the keys are throw-away.
//
//   TTestKey key = TTestKey::Rsa(2048);                 // cached per (bits, exponent) for the process
//   TTestCertOptions opt;  opt.Serial = {0x80, 0x01};     // serial 0x8001: DER gets a leading 0x00
//   TTestCert cert = TTestCert::SelfSigned(key, opt);
//   cert.Pem();  cert.PemCrlf();  cert.Base64OneLine();  cert.Der();  cert.SerialHex();
//
//   TTestKey caKey = TTestKey::Rsa(2048);  TTestCert ca = TTestCert::SelfSigned(caKey, caOpt);
//   TTestCert leaf = TTestCert::Issued(leafKey, leafOpt, ca, caKey);
//
// The private key stays available for the other half of an operation: PrivateRaw is the raw RSA
// private operation (no padding) that the remote service performs on a padded block.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;
typedef struct evp_md_st EVP_MD;
typedef struct x509_st X509;

namespace testcerts {

using Bytes = std::vector<uint8_t>;

class TTestKey {
  public:
    // A fresh RSA key; Rsa() returns one cached per (bits, exponent) so that a test binary makes each
    // size once. RsaFresh() always generates.
    static TTestKey Rsa(int bits, unsigned long exponent = 65537);
    static TTestKey RsaFresh(int bits, unsigned long exponent = 65537);
    // EC key on a named curve ("prime256v1", "secp384r1", ...).
    static TTestKey Ec(const char* curve = "prime256v1");

    EVP_PKEY* Get() const { return Key.get(); }
    bool IsRsa() const;
    int Bits() const;
    int SizeBytes() const { return (Bits() + 7) / 8; }

    std::string PrivatePem() const;
    std::string PublicPem() const;
    // Big-endian magnitude without sign byte (RSA only).
    Bytes Modulus() const;
    Bytes Exponent() const;
    // Raw RSA private operation (m^d mod n) over a block of exactly the modulus size; empty on failure.
    Bytes PrivateRaw(const Bytes& block) const;
    // Raw RSA public operation (m^e mod n), the reference for checking code under test.
    Bytes PublicRaw(const Bytes& block) const;

  private:
    std::shared_ptr<EVP_PKEY> Key;
};

struct TTestCertOptions {
    // Serial as big-endian magnitude bytes; empty gives a random positive 64-bit serial. {0} gives a
    // serial of 0. NegativeSerial makes the serial negative (DER two's complement).
    Bytes Serial;
    bool NegativeSerial = false;
    std::string CommonName = "LUCSP Test Certificate";
    bool NoCommonName = false; // subject without CN (only O)
    std::string Organization = "LUCSP Test";
    std::string Country = "BR";
    // Validity as ASN.1 time text: "YYMMDDhhmmssZ" (UTCTime) or "YYYYMMDDhhmmssZ" (GeneralizedTime).
    // Empty: now - 1 day / now + DaysValid.
    std::string NotBefore;
    std::string NotAfter;
    int DaysValid = 365;
    bool IsCA = false;
    std::string Digest = "SHA256"; // signature digest name for EVP_get_digestbyname
    // Text of a Netscape comment extension, none when empty: a knob for the certificate's DER length.
    std::string Comment;
};

class TTestCert {
  public:
    static TTestCert SelfSigned(const TTestKey& key, const TTestCertOptions& options = TTestCertOptions());
    // Issued by issuerCert/issuerKey; the issuer name is taken from issuerCert.
    static TTestCert Issued(const TTestKey& subjectKey, const TTestCertOptions& options,
                            const TTestCert& issuerCert, const TTestKey& issuerKey);
    // Parses PEM text; an empty (Get() null) object when it does not parse.
    static TTestCert FromPem(const std::string& pem);

    X509* Get() const { return Cert.get(); }

    // PEM with "\n" line ends and a final line end, as OpenSSL writes it.
    std::string Pem() const;
    std::string PemCrlf() const;
    // The Base64 body on one line, no markers.
    std::string Base64OneLine() const;
    Bytes Der() const;

    // The serial as the certificate object shows it: uppercase hex of the magnitude, no leading zeros.
    std::string SerialHex() const;
    // The DER content octets of the serial INTEGER (two's complement, with a sign byte if needed).
    Bytes SerialDerContent() const;
    std::string Sha1Hex() const;
    std::string Sha256Hex() const;
    std::string SubjectOneLine() const;
    Bytes IssuerDer() const;

  private:
    std::shared_ptr<X509> Cert;
};

std::string ToHex(const Bytes& bytes);
std::string ToHex(const uint8_t* bytes, size_t count);

// RSASSA-PKCS1-v1_5 by OpenSSL over a finished hash value (md null: the value bare); big-endian, empty
// on failure.
Bytes OpenSSLSign(const TTestKey& key, const EVP_MD* md, const Bytes& value);

} // namespace testcerts
