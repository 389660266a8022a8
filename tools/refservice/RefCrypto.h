// Key, certificate and encoding helpers of the reference signing service (OpenSSL 3 EVP API).
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct TRefPKeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct TRefX509Free {
    void operator()(X509* p) const { X509_free(p); }
};
using TRefPKey = std::unique_ptr<EVP_PKEY, TRefPKeyFree>;
using TRefX509 = std::unique_ptr<X509, TRefX509Free>;
using TRefBytes = std::vector<uint8_t>;

// Top bit of the first serial byte. With it set, the DER INTEGER needs a leading 0x00,
// which certificate readers have to strip.
enum class TRefSerialTopBit { Random, Set, Clear };

enum class TRefCertKind {
    CA,        // self-signed root that issues the others
    TlsServer, // CN and SAN "localhost", IP 127.0.0.1
    Signer     // a signing certificate whose key the service holds
};

class TRefCrypto {
  public:
    // Every function returns an empty value / false on failure and sets Err with OpenSSL's reason.
    static TRefPKey GenerateRSA(int Bits, std::string& Err);

    // Issuer null: self-signed with SubjectKey. Validity is now-1 day .. now+1 year
    // (CA: +10 years).
    static TRefX509 IssueCert(EVP_PKEY* SubjectKey, const std::string& CommonName, TRefCertKind Kind,
                              EVP_PKEY* IssuerKey, X509* IssuerCert, TRefSerialTopBit TopBit,
                              std::string& Err);

    static std::string CertToPEM(X509* Cert);
    static std::string KeyToPEM(EVP_PKEY* Key);
    static TRefX509 CertFromPEM(const std::string& PEM, std::string& Err);
    static TRefPKey KeyFromPEM(const std::string& PEM, std::string& Err);

    // Upper-case hexadecimal of the serial's value, without the DER sign byte.
    static std::string SerialHex(X509* Cert);
    static TRefBytes SerialDER(X509* Cert); // contents octets of the DER INTEGER
    static std::string SubjectCN(X509* Cert);

    static bool IsRSA(EVP_PKEY* Key);
    static size_t ModulusBytes(EVP_PKEY* Key);

    // Raw RSA private-key operation (no padding): Block must be ModulusBytes long and below the modulus.
    static bool RawPrivate(EVP_PKEY* Key, const TRefBytes& Block, TRefBytes& Result, std::string& Err);

    static bool RandomBytes(uint8_t* Data, size_t Len);
    static std::string RandomToken(); // 32 hexadecimal characters
    static std::string Sha256Hex(const TRefBytes& Data);

    static std::string OpenSSLError(const char* What);
};

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string refBase64_Encode(const TRefBytes& Data);
// Strict: length a multiple of 4, only alphabet characters, padding only at the end, zero spare bits.
bool refBase64_Decode(const std::string& Text, TRefBytes& Data);
