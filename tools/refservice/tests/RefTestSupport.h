// Helpers shared by the reference signing service tests.
#pragma once

#include "RefCrypto.h"
#include "RefSigningService.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>

namespace reftest {

// A directory under the system's temporary folder, removed with its contents at the end.
class TTempDir {
  public:
    TTempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "refservice-XXXXXX").string();
        if (mkdtemp(tmpl.data())) Path = tmpl;
    }
    ~TTempDir() {
        std::error_code ec;
        if (!Path.empty()) std::filesystem::remove_all(Path, ec);
    }
    std::string File(const std::string& name) const { return Path + "/" + name; }
    std::string Path;
};

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline TRefBytes Sha256(const std::string& message) {
    TRefBytes md(32);
    unsigned int len = 0;
    EVP_Digest(message.data(), message.size(), md.data(), &len, EVP_sha256(), nullptr);
    return md;
}

// PKCS #1 v1.5 type 1 block for SHA-256: 00 01 FF.. 00 DigestInfo hash.
inline TRefBytes Pkcs1Block(const std::string& message, size_t modulusBytes) {
    static const uint8_t prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                     0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    TRefBytes tail(prefix, prefix + sizeof prefix);
    TRefBytes hash = Sha256(message);
    tail.insert(tail.end(), hash.begin(), hash.end());
    TRefBytes block(modulusBytes, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    block[modulusBytes - tail.size() - 1] = 0x00;
    std::copy(tail.begin(), tail.end(), block.end() - static_cast<long>(tail.size()));
    return block;
}

// OpenSSL's own PKCS #1 v1.5 SHA-256 verification with the certificate's public key.
inline bool VerifyWithCert(const std::string& certPEM, const std::string& message, const TRefBytes& sig) {
    std::string err;
    TRefX509 cert = TRefCrypto::CertFromPEM(certPEM, err);
    if (!cert) return false;
    EVP_PKEY* pub = X509_get0_pubkey(cert.get());
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = ctx && EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, pub) == 1 &&
              EVP_DigestVerify(ctx, sig.data(), sig.size(),
                               reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

inline std::string SignBody(const TRefBytes& block) {
    return "\"" + refBase64_Encode(block) + "\"";
}

// HTTPS client that verifies the server against the CA in caFile.
inline std::unique_ptr<httplib::SSLClient> Client(int port, const std::string& caFile,
                                                  const std::string& host = "127.0.0.1") {
    auto cli = std::make_unique<httplib::SSLClient>(host, port);
    cli->set_ca_cert_path(caFile.c_str());
    cli->enable_server_certificate_verification(true);
    cli->set_connection_timeout(5);
    cli->set_read_timeout(20);
    return cli;
}

inline httplib::Result PostSign(httplib::SSLClient& cli, const std::string& token, const std::string& body) {
    httplib::Headers headers{{TRefSigningService::TokenHeader, token}};
    return cli.Post(TRefSigningService::SignPath, headers, body, "application/json");
}

} // namespace reftest
