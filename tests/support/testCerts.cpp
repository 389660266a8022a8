#include "support/testCerts.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace testcerts {

namespace {

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("testCerts: ") + what);
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(len));
}

Bytes BnBytes(const BIGNUM* bn) {
    Bytes out(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    return out;
}

Bytes RawRsa(EVP_PKEY* key, const Bytes& block, bool usePrivate) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    Bytes out;
    if (!ctx) return out;
    int ok = usePrivate ? EVP_PKEY_decrypt_init(ctx) : EVP_PKEY_encrypt_init(ctx);
    if (ok > 0 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING) > 0) {
        size_t len = 0;
        ok = usePrivate ? EVP_PKEY_decrypt(ctx, nullptr, &len, block.data(), block.size())
                        : EVP_PKEY_encrypt(ctx, nullptr, &len, block.data(), block.size());
        if (ok > 0) {
            out.resize(len);
            ok = usePrivate ? EVP_PKEY_decrypt(ctx, out.data(), &len, block.data(), block.size())
                            : EVP_PKEY_encrypt(ctx, out.data(), &len, block.data(), block.size());
            if (ok > 0)
                out.resize(len);
            else
                out.clear();
        }
    }
    EVP_PKEY_CTX_free(ctx);
    return out;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    Check(ext != nullptr, "X509V3_EXT_conf_nid");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

void SetTime(ASN1_TIME* target, const std::string& text, long defaultDays) {
    if (text.empty())
        Check(X509_gmtime_adj(target, defaultDays * 24L * 3600L) != nullptr, "X509_gmtime_adj");
    else
        Check(ASN1_TIME_set_string(target, text.c_str()) == 1, "ASN1_TIME_set_string");
}

TTestCert Build(const TTestKey& subjectKey, const TTestCertOptions& opt, X509* issuerCert,
                EVP_PKEY* issuerKey);

} // namespace

// ---------------------------------------------------------------------------------------------------

TTestKey TTestKey::RsaFresh(int bits, unsigned long exponent) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
    Check(ctx != nullptr, "EVP_PKEY_CTX_new_id");
    BIGNUM* e = BN_new();
    BN_set_word(e, exponent);
    EVP_PKEY* key = nullptr;
    bool ok = EVP_PKEY_keygen_init(ctx) > 0 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, bits) > 0 &&
              EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, e) > 0 && EVP_PKEY_keygen(ctx, &key) > 0;
    BN_free(e);
    EVP_PKEY_CTX_free(ctx);
    Check(ok && key, "RSA key generation");
    TTestKey result;
    result.Key.reset(key, EVP_PKEY_free);
    return result;
}

TTestKey TTestKey::Rsa(int bits, unsigned long exponent) {
    static std::mutex mutex;
    static std::map<std::pair<int, unsigned long>, TTestKey> cache;
    std::lock_guard<std::mutex> lock(mutex);
    auto it = cache.find({bits, exponent});
    if (it != cache.end()) return it->second;
    TTestKey key = RsaFresh(bits, exponent);
    cache.emplace(std::make_pair(bits, exponent), key);
    return key;
}

TTestKey TTestKey::Ec(const char* curve) {
    EVP_PKEY* key = EVP_EC_gen(curve);
    Check(key != nullptr, "EC key generation");
    TTestKey result;
    result.Key.reset(key, EVP_PKEY_free);
    return result;
}

bool TTestKey::IsRsa() const {
    return Key && EVP_PKEY_get_base_id(Key.get()) == EVP_PKEY_RSA;
}

int TTestKey::Bits() const {
    return Key ? EVP_PKEY_get_bits(Key.get()) : 0;
}

std::string TTestKey::PrivatePem() const {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, Key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    std::string text = BioText(bio);
    BIO_free(bio);
    return text;
}

std::string TTestKey::PublicPem() const {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PUBKEY(bio, Key.get());
    std::string text = BioText(bio);
    BIO_free(bio);
    return text;
}

Bytes TTestKey::Modulus() const {
    BIGNUM* n = nullptr;
    Bytes out;
    if (IsRsa() && EVP_PKEY_get_bn_param(Key.get(), OSSL_PKEY_PARAM_RSA_N, &n)) out = BnBytes(n);
    BN_free(n);
    return out;
}

Bytes TTestKey::Exponent() const {
    BIGNUM* e = nullptr;
    Bytes out;
    if (IsRsa() && EVP_PKEY_get_bn_param(Key.get(), OSSL_PKEY_PARAM_RSA_E, &e)) out = BnBytes(e);
    BN_free(e);
    return out;
}

Bytes TTestKey::PrivateRaw(const Bytes& block) const {
    return RawRsa(Key.get(), block, true);
}

Bytes TTestKey::PublicRaw(const Bytes& block) const {
    return RawRsa(Key.get(), block, false);
}

// ---------------------------------------------------------------------------------------------------

namespace {

TTestCert Build(const TTestKey& subjectKey, const TTestCertOptions& opt, X509* issuerCert,
                EVP_PKEY* issuerKey) {
    X509* cert = X509_new();
    Check(cert != nullptr, "X509_new");
    std::shared_ptr<X509> holder(cert, X509_free);
    X509_set_version(cert, 2);

    ASN1_INTEGER* serial = nullptr;
    if (opt.Serial.empty()) {
        uint8_t random[8];
        RAND_bytes(random, sizeof(random));
        random[0] = static_cast<uint8_t>((random[0] & 0x7F) | 0x10);
        BIGNUM* bn = BN_bin2bn(random, sizeof(random), nullptr);
        serial = BN_to_ASN1_INTEGER(bn, nullptr);
        BN_free(bn);
    } else {
        BIGNUM* bn = BN_bin2bn(opt.Serial.data(), static_cast<int>(opt.Serial.size()), nullptr);
        if (opt.NegativeSerial) BN_set_negative(bn, 1);
        serial = BN_to_ASN1_INTEGER(bn, nullptr);
        BN_free(bn);
    }
    Check(serial != nullptr, "serial");
    X509_set_serialNumber(cert, serial);
    ASN1_INTEGER_free(serial);

    SetTime(X509_getm_notBefore(cert), opt.NotBefore, -1);
    SetTime(X509_getm_notAfter(cert), opt.NotAfter, opt.DaysValid);

    X509_NAME* name = X509_get_subject_name(cert);
    auto addText = [name](const char* field, const std::string& value) {
        if (!value.empty())
            X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
    };
    addText("C", opt.Country);
    addText("O", opt.Organization);
    if (!opt.NoCommonName) addText("CN", opt.CommonName);

    X509_set_issuer_name(cert, issuerCert ? X509_get_subject_name(issuerCert) : name);
    Check(X509_set_pubkey(cert, subjectKey.Get()) == 1, "X509_set_pubkey");

    X509* extIssuer = issuerCert ? issuerCert : cert;
    AddExtension(cert, extIssuer, NID_basic_constraints, opt.IsCA ? "critical,CA:TRUE" : "CA:FALSE");
    AddExtension(cert, extIssuer, NID_key_usage,
                 opt.IsCA ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,nonRepudiation");
    AddExtension(cert, extIssuer, NID_subject_key_identifier, "hash");
    if (!opt.Comment.empty()) AddExtension(cert, extIssuer, NID_netscape_comment, opt.Comment.c_str());

    const EVP_MD* md = EVP_get_digestbyname(opt.Digest.c_str());
    Check(md != nullptr, "digest");
    Check(X509_sign(cert, issuerKey, md) > 0, "X509_sign");

    // A round trip through PEM so that the object holds exactly what a reader of the text sees.
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    TTestCert result = TTestCert::FromPem(BioText(bio));
    BIO_free(bio);
    Check(result.Get() != nullptr, "round trip");
    return result;
}

} // namespace

TTestCert TTestCert::SelfSigned(const TTestKey& key, const TTestCertOptions& options) {
    return Build(key, options, nullptr, key.Get());
}

TTestCert TTestCert::Issued(const TTestKey& subjectKey, const TTestCertOptions& options,
                            const TTestCert& issuerCert, const TTestKey& issuerKey) {
    return Build(subjectKey, options, issuerCert.Get(), issuerKey.Get());
}

TTestCert TTestCert::FromPem(const std::string& pem) {
    TTestCert result;
    if (pem.empty()) return result;
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (cert) result.Cert.reset(cert, X509_free);
    return result;
}

std::string TTestCert::Pem() const {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, Cert.get());
    std::string text = BioText(bio);
    BIO_free(bio);
    return text;
}

std::string TTestCert::PemCrlf() const {
    std::string out;
    for (char c : Pem()) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string TTestCert::Base64OneLine() const {
    const std::string pem = Pem();
    std::string out;
    size_t pos = 0;
    while (pos < pem.size()) {
        size_t end = pem.find('\n', pos);
        if (end == std::string::npos) end = pem.size();
        std::string line = pem.substr(pos, end - pos);
        if (line.rfind("-----", 0) != 0) out += line;
        pos = end + 1;
    }
    return out;
}

Bytes TTestCert::Der() const {
    unsigned char* der = nullptr;
    int len = i2d_X509(Cert.get(), &der);
    Bytes out;
    if (len > 0) out.assign(der, der + len);
    OPENSSL_free(der);
    return out;
}

std::string TTestCert::SerialHex() const {
    BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(Cert.get()), nullptr);
    std::string hex = bn ? ToHex(BnBytes(bn)) : std::string();
    BN_free(bn);
    return hex;
}

Bytes TTestCert::SerialDerContent() const {
    unsigned char* der = nullptr;
    int len = i2d_ASN1_INTEGER(const_cast<ASN1_INTEGER*>(X509_get0_serialNumber(Cert.get())), &der);
    Bytes out;
    if (len > 2) {
        // Tag, then a short or long form length.
        size_t pos = 1;
        size_t lenBytes = (der[pos] & 0x80) ? (der[pos] & 0x7F) : 0;
        pos += 1 + lenBytes;
        out.assign(der + pos, der + len);
    }
    OPENSSL_free(der);
    return out;
}

std::string TTestCert::Sha1Hex() const {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    X509_digest(Cert.get(), EVP_sha1(), md, &len);
    return ToHex(md, len);
}

std::string TTestCert::Sha256Hex() const {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    X509_digest(Cert.get(), EVP_sha256(), md, &len);
    return ToHex(md, len);
}

std::string TTestCert::SubjectOneLine() const {
    char buff[1024];
    X509_NAME_oneline(X509_get_subject_name(Cert.get()), buff, sizeof(buff));
    return buff;
}

Bytes TTestCert::IssuerDer() const {
    unsigned char* der = nullptr;
    int len = i2d_X509_NAME(X509_get_issuer_name(Cert.get()), &der);
    Bytes out;
    if (len > 0) out.assign(der, der + len);
    OPENSSL_free(der);
    return out;
}

std::string ToHex(const uint8_t* bytes, size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
    }
    return out;
}

std::string ToHex(const Bytes& bytes) {
    return ToHex(bytes.data(), bytes.size());
}

Bytes OpenSSLSign(const TTestKey& key, const EVP_MD* md, const Bytes& value) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key.Get(), nullptr);
    Bytes sig;
    size_t len = 0;
    if (ctx && EVP_PKEY_sign_init(ctx) > 0 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0 &&
        (!md || EVP_PKEY_CTX_set_signature_md(ctx, md) > 0) &&
        EVP_PKEY_sign(ctx, nullptr, &len, value.data(), value.size()) > 0) {
        sig.resize(len);
        if (EVP_PKEY_sign(ctx, sig.data(), &len, value.data(), value.size()) > 0)
            sig.resize(len);
        else
            sig.clear();
    }
    EVP_PKEY_CTX_free(ctx);
    return sig;
}

} // namespace testcerts
