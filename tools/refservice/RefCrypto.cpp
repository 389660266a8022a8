#include "RefCrypto.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <cstring>

namespace {

struct TBioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};
struct TCtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct TBnFree {
    void operator()(BIGNUM* p) const { BN_free(p); }
};
struct TAsn1IntFree {
    void operator()(ASN1_INTEGER* p) const { ASN1_INTEGER_free(p); }
};
using TBio = std::unique_ptr<BIO, TBioFree>;
using TCtx = std::unique_ptr<EVP_PKEY_CTX, TCtxFree>;
using TBn = std::unique_ptr<BIGNUM, TBnFree>;

const long kDay = 24L * 60 * 60;

std::string BioText(BIO* bio) {
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    return len > 0 ? std::string(data, static_cast<size_t>(len)) : std::string();
}

bool AddExt(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
    if (!ext) return false;
    int ok = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    return ok == 1;
}

bool AddName(X509_NAME* name, const char* field, const std::string& value) {
    return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0) == 1;
}

bool SetRandomSerial(X509* cert, TRefSerialTopBit topBit) {
    uint8_t raw[16];
    if (!TRefCrypto::RandomBytes(raw, sizeof raw)) return false;
    if (topBit == TRefSerialTopBit::Set)
        raw[0] |= 0x80;
    else if (topBit == TRefSerialTopBit::Clear)
        raw[0] &= 0x7F;
    // Keep the length fixed: a zero first byte would shorten the serial.
    if ((raw[0] & 0x7F) == 0) raw[0] |= 0x01;
    TBn bn(BN_bin2bn(raw, sizeof raw, nullptr));
    if (!bn) return false;
    std::unique_ptr<ASN1_INTEGER, TAsn1IntFree> serial(BN_to_ASN1_INTEGER(bn.get(), nullptr));
    return serial && X509_set_serialNumber(cert, serial.get()) == 1;
}

} // namespace

std::string TRefCrypto::OpenSSLError(const char* What) {
    std::string text = What;
    unsigned long code;
    while ((code = ERR_get_error()) != 0) {
        char buf[256];
        ERR_error_string_n(code, buf, sizeof buf);
        text += ": ";
        text += buf;
    }
    return text;
}

TRefPKey TRefCrypto::GenerateRSA(int Bits, std::string& Err) {
    if (Bits < 1024 || Bits > 8192 || Bits % 8 != 0) {
        Err = "RSA key size must be a multiple of 8 between 1024 and 8192, got " + std::to_string(Bits);
        return nullptr;
    }
    TCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), Bits) <= 0 || EVP_PKEY_generate(ctx.get(), &key) <= 0) {
        Err = OpenSSLError("RSA key generation failed");
        return nullptr;
    }
    return TRefPKey(key);
}

TRefX509 TRefCrypto::IssueCert(EVP_PKEY* SubjectKey, const std::string& CommonName, TRefCertKind Kind,
                               EVP_PKEY* IssuerKey, X509* IssuerCert, TRefSerialTopBit TopBit,
                               std::string& Err) {
    if (!SubjectKey || !IssuerKey || CommonName.empty()) {
        Err = "certificate needs a subject key, an issuer key and a common name";
        return nullptr;
    }
    TRefX509 cert(X509_new());
    bool ok =
        cert && X509_set_version(cert.get(), 2) == 1 && SetRandomSerial(cert.get(), TopBit) &&
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kDay) &&
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), (Kind == TRefCertKind::CA ? 3650 : 365) * kDay) &&
        X509_set_pubkey(cert.get(), SubjectKey) == 1;
    X509_NAME* name = ok ? X509_get_subject_name(cert.get()) : nullptr;
    ok = ok && AddName(name, "O", "Reference Signing Service") && AddName(name, "CN", CommonName) &&
         X509_set_issuer_name(cert.get(), IssuerCert ? X509_get_subject_name(IssuerCert) : name) == 1;
    if (!ok) {
        Err = OpenSSLError("certificate fields");
        return nullptr;
    }

    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, IssuerCert ? IssuerCert : cert.get(), cert.get(), nullptr, nullptr, 0);
    X509* c = cert.get();
    switch (Kind) {
    case TRefCertKind::CA:
        ok = AddExt(c, &v3, NID_basic_constraints, "critical,CA:TRUE") &&
             AddExt(c, &v3, NID_key_usage, "critical,keyCertSign,cRLSign");
        break;
    case TRefCertKind::TlsServer:
        ok = AddExt(c, &v3, NID_basic_constraints, "critical,CA:FALSE") &&
             AddExt(c, &v3, NID_key_usage, "critical,digitalSignature,keyEncipherment") &&
             AddExt(c, &v3, NID_ext_key_usage, "serverAuth") &&
             AddExt(c, &v3, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
        break;
    case TRefCertKind::Signer:
        ok = AddExt(c, &v3, NID_basic_constraints, "critical,CA:FALSE") &&
             AddExt(c, &v3, NID_key_usage, "critical,digitalSignature,nonRepudiation") &&
             AddExt(c, &v3, NID_ext_key_usage, "clientAuth,emailProtection");
        break;
    }
    ok = ok && AddExt(c, &v3, NID_subject_key_identifier, "hash");
    // A root has no authority key identifier to name but its own.
    if (ok && IssuerCert) ok = AddExt(c, &v3, NID_authority_key_identifier, "keyid:always");
    if (!ok || X509_sign(c, IssuerKey, EVP_sha256()) <= 0) {
        Err = OpenSSLError("certificate extensions or signature");
        return nullptr;
    }
    return cert;
}

std::string TRefCrypto::CertToPEM(X509* Cert) {
    TBio bio(BIO_new(BIO_s_mem()));
    if (!bio || !Cert || PEM_write_bio_X509(bio.get(), Cert) != 1) return std::string();
    return BioText(bio.get());
}

std::string TRefCrypto::KeyToPEM(EVP_PKEY* Key) {
    TBio bio(BIO_new(BIO_s_mem()));
    if (!bio || !Key || PEM_write_bio_PrivateKey(bio.get(), Key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return std::string();
    return BioText(bio.get());
}

TRefX509 TRefCrypto::CertFromPEM(const std::string& PEM, std::string& Err) {
    TBio bio(BIO_new_mem_buf(PEM.data(), static_cast<int>(PEM.size())));
    TRefX509 cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!cert) Err = OpenSSLError("no PEM certificate");
    return cert;
}

TRefPKey TRefCrypto::KeyFromPEM(const std::string& PEM, std::string& Err) {
    TBio bio(BIO_new_mem_buf(PEM.data(), static_cast<int>(PEM.size())));
    // An empty passphrase callback: encrypted keys fail instead of prompting on the terminal.
    auto noPass = [](char*, int, int, void*) -> int { return 0; };
    TRefPKey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPass, nullptr) : nullptr);
    if (!key) Err = OpenSSLError("no unencrypted PEM private key");
    return key;
}

std::string TRefCrypto::SerialHex(X509* Cert) {
    TBn bn(ASN1_INTEGER_to_BN(X509_get0_serialNumber(Cert), nullptr));
    if (!bn) return std::string();
    char* hex = BN_bn2hex(bn.get());
    std::string text = hex ? hex : "";
    OPENSSL_free(hex);
    return text;
}

TRefBytes TRefCrypto::SerialDER(X509* Cert) {
    const ASN1_INTEGER* serial = X509_get0_serialNumber(Cert);
    unsigned char* der = nullptr;
    int len = i2d_ASN1_INTEGER(serial, &der);
    TRefBytes result;
    // Skip the tag and the (short-form) length of the INTEGER.
    if (len > 2) result.assign(der + 2, der + len);
    OPENSSL_free(der);
    return result;
}

std::string TRefCrypto::SubjectCN(X509* Cert) {
    char buf[256] = {0};
    if (X509_NAME_get_text_by_NID(X509_get_subject_name(Cert), NID_commonName, buf, sizeof buf) < 0)
        return std::string();
    return buf;
}

bool TRefCrypto::IsRSA(EVP_PKEY* Key) {
    return Key && EVP_PKEY_is_a(Key, "RSA");
}

size_t TRefCrypto::ModulusBytes(EVP_PKEY* Key) {
    int size = Key ? EVP_PKEY_get_size(Key) : 0;
    return size > 0 ? static_cast<size_t>(size) : 0;
}

bool TRefCrypto::RawPrivate(EVP_PKEY* Key, const TRefBytes& Block, TRefBytes& Result, std::string& Err) {
    size_t modLen = ModulusBytes(Key);
    if (!IsRSA(Key) || Block.size() != modLen) {
        Err = "block of " + std::to_string(Block.size()) + " bytes for a key of " + std::to_string(modLen) +
              " bytes";
        return false;
    }
    TCtx ctx(EVP_PKEY_CTX_new(Key, nullptr));
    Result.assign(modLen, 0);
    size_t outLen = Result.size();
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) <= 0 ||
        EVP_PKEY_sign(ctx.get(), Result.data(), &outLen, Block.data(), Block.size()) <= 0 ||
        outLen != modLen) {
        Err = OpenSSLError("raw RSA private operation failed");
        Result.clear();
        return false;
    }
    return true;
}

bool TRefCrypto::RandomBytes(uint8_t* Data, size_t Len) {
    return RAND_bytes(Data, static_cast<int>(Len)) == 1;
}

std::string TRefCrypto::RandomToken() {
    uint8_t raw[16];
    if (!RandomBytes(raw, sizeof raw)) return std::string();
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (uint8_t b : raw) {
        token += digits[b >> 4];
        token += digits[b & 15];
    }
    return token;
}

std::string TRefCrypto::Sha256Hex(const TRefBytes& Data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    if (EVP_Digest(Data.data(), Data.size(), md, &mdLen, EVP_sha256(), nullptr) != 1) return std::string();
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < mdLen; ++i) {
        hex += digits[md[i] >> 4];
        hex += digits[md[i] & 15];
    }
    return hex;
}

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
    const char* p = c ? std::strchr(kAlphabet, c) : nullptr;
    return p ? static_cast<int>(p - kAlphabet) : -1;
}
} // namespace

std::string refBase64_Encode(const TRefBytes& Data) {
    std::string text;
    text.reserve((Data.size() + 2) / 3 * 4);
    for (size_t i = 0; i < Data.size(); i += 3) {
        uint32_t n = static_cast<uint32_t>(Data[i]) << 16;
        size_t rest = Data.size() - i;
        if (rest > 1) n |= static_cast<uint32_t>(Data[i + 1]) << 8;
        if (rest > 2) n |= Data[i + 2];
        text += kAlphabet[(n >> 18) & 63];
        text += kAlphabet[(n >> 12) & 63];
        text += rest > 1 ? kAlphabet[(n >> 6) & 63] : '=';
        text += rest > 2 ? kAlphabet[n & 63] : '=';
    }
    return text;
}

bool refBase64_Decode(const std::string& Text, TRefBytes& Data) {
    Data.clear();
    if (Text.size() % 4 != 0) return false;
    Data.reserve(Text.size() / 4 * 3);
    for (size_t i = 0; i < Text.size(); i += 4) {
        bool last = i + 4 == Text.size();
        int pad = 0;
        if (last && Text[i + 3] == '=') pad = Text[i + 2] == '=' ? 2 : 1;
        uint32_t n = 0;
        for (int k = 0; k < 4; ++k) {
            int v = k < 4 - pad ? Base64Value(Text[i + k]) : 0;
            if (v < 0) return false;
            n = (n << 6) | static_cast<uint32_t>(v);
        }
        // Bits below the last whole byte must be zero, otherwise two texts would decode alike.
        if ((pad == 1 && (n & 0xFF) != 0) || (pad == 2 && (n & 0xFFFF) != 0)) return false;
        Data.push_back(static_cast<uint8_t>(n >> 16));
        if (pad < 2) Data.push_back(static_cast<uint8_t>(n >> 8));
        if (pad < 1) Data.push_back(static_cast<uint8_t>(n));
    }
    return true;
}
