// The whole road through the real tool, the real library and a real HTTPS signing service on loopback:
// register, list, sign, verify (by the provider and by OpenSSL), export the key, unregister.
#include "lucspProcess.h"
#include "support/testRoot.h"

#include "RefSigningService.h"
#include "os/platTypes.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

namespace {

typedef std::vector<uint8_t> TBytes;

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
    return ReadWholeFile(path);
}

TBytes FromHex(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    TBytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

std::string ToHex(const TBytes& data) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (uint8_t b : data) {
        s += d[b >> 4];
        s += d[b & 15];
    }
    return s;
}

TBytes Digest(const EVP_MD* md, const std::string& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out, &len, md, nullptr);
    return TBytes(out, out + len);
}

// PKCS #1 v1.5 verification of a big-endian signature with the certificate's key; md null checks the
// bare value (CRYPT_NOHASHOID).
bool OpenSSLVerify(const std::string& certPEM, const EVP_MD* md, const TBytes& hash, const TBytes& sig) {
    std::unique_ptr<BIO, void (*)(BIO*)> bio(
        BIO_new_mem_buf(certPEM.data(), static_cast<int>(certPEM.size())), BIO_free_all);
    std::unique_ptr<X509, void (*)(X509*)> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr),
                                                X509_free);
    if (!cert) return false;
    std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> ctx(
        EVP_PKEY_CTX_new(X509_get0_pubkey(cert.get()), nullptr), EVP_PKEY_CTX_free);
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
        (md && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) <= 0))
        return false;
    return EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), hash.data(), hash.size()) == 1;
}

std::string PublicKeyPEM(const std::string& certPEM) {
    std::unique_ptr<BIO, void (*)(BIO*)> in(BIO_new_mem_buf(certPEM.data(), static_cast<int>(certPEM.size())),
                                            BIO_free_all);
    std::unique_ptr<X509, void (*)(X509*)> cert(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr),
                                                X509_free);
    std::unique_ptr<BIO, void (*)(BIO*)> out(BIO_new(BIO_s_mem()), BIO_free_all);
    if (!cert || !PEM_write_bio_PUBKEY(out.get(), X509_get0_pubkey(cert.get()))) return std::string();
    char* data = nullptr;
    long len = BIO_get_mem_data(out.get(), &data);
    return std::string(data, static_cast<size_t>(len));
}

const std::string kCspName = "Varno Base Cryptographic Provider Server";
const std::string kKspName = "Varno Key Storage Provider Server";

// The key-provider information of the personal store's certificates, as crypt32 hands it out.
struct TKeyProvInfo {
    std::string Container, Name;
    DWORD ProvType = 0, KeySpec = 0;
};

std::string Narrow(const WCHAR* text) {
    std::string out;
    for (; text && *text; ++text)
        out += static_cast<char>(*text);
    return out;
}

std::vector<TKeyProvInfo> StoredKeyProvInfo() {
    std::vector<TKeyProvInfo> out;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, u"MY");
    PCCERT_CONTEXT ctx = nullptr;
    while (store && (ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr) {
        DWORD len = 0;
        if (!CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &len)) continue;
        std::vector<BYTE> data(len);
        if (!CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, data.data(), &len)) continue;
        auto info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(data.data());
        out.push_back(TKeyProvInfo{Narrow(info->pwszContainerName), Narrow(info->pwszProvName),
                                   info->dwProvType, info->dwKeySpec});
    }
    if (store) CertCloseStore(store, 0);
    return out;
}

const char kSkipText[] =
    "the library answered SCARD_E_READER_UNAVAILABLE without sending a request to the service: the remote "
    "signing path is not wired in this build yet";

class LucspEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        Root.reset(new TTestRoot);
        ASSERT_TRUE(Service.Key_Generate("e2e-token-0123456789", "LUCSP Tool Test", 2048,
                                         TRefSerialTopBit::Random, &Key))
            << Service.LastError();
        ASSERT_TRUE(Service.Start(0)) << Service.LastError();
        CaFile = Root->Path() + "/ca.pem";
        CertFile = Root->Path() + "/signer.pem";
        WriteText(CaFile, Service.CA_CertPEM());
        WriteText(CertFile, Key.CertPEM);
        ASSERT_EQ(
            lucspRun({"config", "set", "CNX_ServiceHost", "127.0.0.1:" + std::to_string(Service.Port())})
                .ExitCode,
            0);
        ASSERT_EQ(lucspRun({"config", "set", "CNX_CAFile", CaFile}).ExitCode, 0);
        TLucspResult reg = lucspRun({"register", "--cert", CertFile, "--token", Key.Token});
        ASSERT_EQ(reg.ExitCode, 0) << reg.Err;
        EXPECT_EQ(reg.Out, "registered container " + Key.SerialHex + " (" + Subject +
                               ") with a 20-byte token\nkey provider " + kCspName + "\n");
    }

    void TearDown() override {
        Service.Stop();
        Root.reset();
    }

    // A sign that failed because the library never asked the service; the test is then skipped.
    bool NotWired(const TLucspResult& r, uint64_t requestsBefore) {
        return r.ExitCode != 0 && r.Err.find("SCARD_E_READER_UNAVAILABLE") != std::string::npos &&
               Service.RequestCount() == requestsBefore;
    }

    std::unique_ptr<TTestRoot> Root;
    TRefSigningService Service;
    TRefKeyInfo Key;
    std::string CaFile, CertFile;
    // RFC 2253 order, as the tool prints it.
    const std::string Subject = "CN=LUCSP Tool Test,O=Reference Signing Service";
};

TEST_F(LucspEndToEnd, ListShowsTheRegisteredCertificateWithItsToken) {
    TLucspResult r = lucspRun({"list"});
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_NE(r.Out.find("container  " + Key.SerialHex + "\n"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("subject    " + Subject + "\n"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("key        RSA 2048 bits\n"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("token      registered\n"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find(" UTC .. "), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("1 certificate(s)"), std::string::npos) << r.Out;
    EXPECT_EQ(lucspRun({"list", "--serials"}).Out, Key.SerialHex + "\n");
}

TEST_F(LucspEndToEnd, ExportedPublicKeyIsTheCertificates) {
    TLucspResult pem = lucspRun({"export-pubkey", "--container", Key.SerialHex});
    ASSERT_EQ(pem.ExitCode, 0) << pem.Err;
    EXPECT_EQ(pem.Out, PublicKeyPEM(Key.CertPEM));
    // The blob: header, "RSA1", 2048 bits, exponent 65537, then the modulus least significant byte first.
    std::string blobFile = Root->Path() + "/key.blob";
    TLucspResult blob =
        lucspRun({"export-pubkey", "--container", Key.SerialHex, "--format", "blob", "--out", blobFile});
    ASSERT_EQ(blob.ExitCode, 0) << blob.Err;
    std::string bytes = ReadText(blobFile);
    ASSERT_EQ(bytes.size(), 276u);
    EXPECT_EQ(ToHex(TBytes(bytes.begin(), bytes.begin() + 20)), "0602000000a40000525341310008000001000100");
    EXPECT_EQ(lucspRun({"export-pubkey", "--container", Key.SerialHex, "--format", "hex"}).Out,
              ToHex(TBytes(bytes.begin(), bytes.end())) + "\n");
    // The container name is matched in upper case.
    std::string lower = Key.SerialHex;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    EXPECT_EQ(lucspRun({"export-pubkey", "--container", lower}).Out, pem.Out);
}

TEST_F(LucspEndToEnd, SignatureVerifiesWithOpenSSLAndWithTheProvider) {
    const std::string message = "the provider signs only the hash";
    TBytes hash = Digest(EVP_sha256(), message);
    uint64_t before = Service.RequestCount();
    TLucspResult s =
        lucspRun({"sign", "--container", Key.SerialHex, "--alg", "sha256", "--hash", ToHex(hash)});
    if (NotWired(s, before)) GTEST_SKIP() << kSkipText;
    ASSERT_EQ(s.ExitCode, 0) << s.Err;
    EXPECT_EQ(Service.RequestCount(), before + 1) << "the length query and the copy share one request";
    TBytes sig = FromHex(s.Out);
    ASSERT_EQ(sig.size(), 256u);
    // CryptoAPI order by default: reversed, it is the PKCS #1 signature OpenSSL checks.
    TBytes bigEndian(sig.rbegin(), sig.rend());
    EXPECT_TRUE(OpenSSLVerify(Key.CertPEM, EVP_sha256(), hash, bigEndian));
    EXPECT_FALSE(OpenSSLVerify(Key.CertPEM, EVP_sha256(), Digest(EVP_sha256(), "other"), bigEndian));

    TLucspResult v = lucspRun({"verify", "--container", Key.SerialHex, "--alg", "sha256", "--hash",
                               ToHex(hash), "--signature", s.Out});
    EXPECT_EQ(v.ExitCode, 0) << v.Err;
    EXPECT_EQ(v.Out.rfind("signature OK (2048 bits, sha256, container " + Key.SerialHex, 0), 0u) << v.Out;
    // One bit off: NTE_BAD_SIGNATURE, one line, exit 1.
    TBytes bad = sig;
    bad[100] ^= 0x01;
    TLucspResult vb = lucspRun({"verify", "--container", Key.SerialHex, "--alg", "sha256", "--hash",
                                ToHex(hash), "--signature", ToHex(bad)});
    EXPECT_EQ(lucspCheckFailureLine(vb), "");
    EXPECT_EQ(vb.ExitCode, 1);
    EXPECT_NE(vb.Err.find("0x80090006 NTE_BAD_SIGNATURE"), std::string::npos) << vb.Err;
}

// Through the key storage provider: PKCS #1 and PSS (salt as long as the hash, MGF1 with the same hash),
// big-endian as asked, each checked by OpenSSL.
TEST_F(LucspEndToEnd, KspSignsPkcs1AndPss) {
    const std::string message = "signed through CNG";
    for (const char* padding : {"pkcs1", "pss"}) {
        SCOPED_TRACE(padding);
        TBytes hash = Digest(EVP_sha384(), message);
        TLucspResult s =
            lucspRun({"sign", "--container", Key.SerialHex, "--alg", "sha384", "--hash", ToHex(hash),
                      "--provider", "ksp", "--padding", padding, "--order", "big-endian"});
        ASSERT_EQ(s.ExitCode, 0) << s.Err;
        TBytes sig = FromHex(s.Out);
        ASSERT_EQ(sig.size(), 256u);
        if (std::string(padding) == "pkcs1") {
            EXPECT_TRUE(OpenSSLVerify(Key.CertPEM, EVP_sha384(), hash, sig));
            continue;
        }
        std::unique_ptr<BIO, void (*)(BIO*)> bio(
            BIO_new_mem_buf(Key.CertPEM.data(), static_cast<int>(Key.CertPEM.size())), BIO_free_all);
        std::unique_ptr<X509, void (*)(X509*)> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr),
                                                    X509_free);
        ASSERT_TRUE(cert);
        std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> ctx(
            EVP_PKEY_CTX_new(X509_get0_pubkey(cert.get()), nullptr), EVP_PKEY_CTX_free);
        ASSERT_TRUE(ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
                    EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING) == 1 &&
                    EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha384()) == 1 &&
                    EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), 48) == 1);
        EXPECT_EQ(1, EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), hash.data(), hash.size()));
    }
    TLucspResult refused = lucspRun({"sign", "--container", Key.SerialHex, "--alg", "sha256", "--hash",
                                     ToHex(Digest(EVP_sha256(), message)), "--padding", "pss"});
    EXPECT_NE(refused.ExitCode, 0);
}

TEST_F(LucspEndToEnd, EveryAlgorithmFormatAndOrder) {
    const std::string data = "0123456789 payload";
    const std::string dataFile = Root->Path() + "/payload.txt";
    WriteText(dataFile, data);
    struct TAlg {
        const char* Name;
        const EVP_MD* Md;
    } algs[] = {
        {"sha1", EVP_sha1()}, {"sha256", EVP_sha256()}, {"sha384", EVP_sha384()}, {"sha512", EVP_sha512()}};
    for (const TAlg& a : algs) {
        SCOPED_TRACE(a.Name);
        TBytes hash = Digest(a.Md, data);
        std::string sigFile = Root->Path() + "/" + a.Name + ".sig";
        uint64_t before = Service.RequestCount();
        // --file: the tool hashes, the provider signs the hash; raw big-endian bytes for OpenSSL.
        TLucspResult s = lucspRun({"sign", "--container", Key.SerialHex, "--alg", a.Name, "--file", dataFile,
                                   "--order", "big-endian", "--format", "raw", "--out", sigFile});
        if (NotWired(s, before)) GTEST_SKIP() << kSkipText;
        ASSERT_EQ(s.ExitCode, 0) << s.Err;
        std::string raw = ReadText(sigFile);
        TBytes sig(raw.begin(), raw.end());
        EXPECT_TRUE(OpenSSLVerify(Key.CertPEM, a.Md, hash, sig));
        // PKCS #1 v1.5 is deterministic: --hash gives the same signature, here in Base64 and CryptoAPI order.
        TLucspResult b = lucspRun({"sign", "--container", Key.SerialHex, "--alg", a.Name, "--hash",
                                   ToHex(hash), "--format", "base64"});
        ASSERT_EQ(b.ExitCode, 0) << b.Err;
        TLucspResult vb = lucspRun({"verify", "--container", Key.SerialHex, "--alg", a.Name, "--file",
                                    dataFile, "--signature", b.Out, "--format", "base64"});
        EXPECT_EQ(vb.ExitCode, 0) << vb.Err;
        TLucspResult vr =
            lucspRun({"verify", "--container", Key.SerialHex, "--alg", a.Name, "--hash", ToHex(hash),
                      "--signature-file", sigFile, "--format", "raw", "--order", "big-endian"});
        EXPECT_EQ(vr.ExitCode, 0) << vr.Err;
    }
}

TEST_F(LucspEndToEnd, NoHashOidSignsTheBareHash) {
    TBytes hash = Digest(EVP_sha256(), "bare");
    uint64_t before = Service.RequestCount();
    TLucspResult s = lucspRun({"sign", "--container", Key.SerialHex, "--alg", "sha256", "--hash", ToHex(hash),
                               "--no-hash-oid", "--order", "big-endian"});
    if (NotWired(s, before)) GTEST_SKIP() << kSkipText;
    ASSERT_EQ(s.ExitCode, 0) << s.Err;
    TBytes sig = FromHex(s.Out);
    EXPECT_TRUE(OpenSSLVerify(Key.CertPEM, nullptr, hash, sig));
    EXPECT_FALSE(OpenSSLVerify(Key.CertPEM, EVP_sha256(), hash, sig));
}

TEST_F(LucspEndToEnd, RepeatPrintsTheFiguresAndSignsEachTimeRemotely) {
    TBytes hash = Digest(EVP_sha256(), "figures");
    uint64_t before = Service.RequestCount();
    TLucspResult s = lucspRun(
        {"sign", "--container", Key.SerialHex, "--alg", "sha256", "--hash", ToHex(hash), "--repeat", "5"});
    if (NotWired(s, before)) GTEST_SKIP() << kSkipText;
    ASSERT_EQ(s.ExitCode, 0) << s.Err;
    // Each repetition opens a new context, so the provider's one-entry cache cannot answer for the service.
    EXPECT_EQ(Service.RequestCount(), before + 5);
    EXPECT_NE(s.Err.find("lucsp sign: 5 signature(s) of 2048 bits with sha256; per signature: avg "),
              std::string::npos)
        << s.Err;
    EXPECT_EQ(FromHex(s.Out).size(), 256u);
}

TEST_F(LucspEndToEnd, ServiceFailuresEndInOneLineWithinTheTimeout) {
    TBytes hash = Digest(EVP_sha256(), "failures");
    std::vector<std::string> sign = {"sign",   "--container", Key.SerialHex, "--alg",
                                     "sha256", "--hash",      ToHex(hash)};
    uint64_t before = Service.RequestCount();
    TRefFault fault;
    fault.Mode = TRefFaultMode::Http500Html;
    Service.Fault_Set(fault);
    TLucspResult r500 = lucspRun(sign, {}, 60000);
    if (NotWired(r500, before)) GTEST_SKIP() << kSkipText;
    EXPECT_EQ(lucspCheckFailureLine(r500), "");
    EXPECT_NE(r500.Err.find("0x8010001F SCARD_E_UNEXPECTED"), std::string::npos) << r500.Err;
    EXPECT_NE(r500.Err.find("service failed"), std::string::npos) << r500.Err;
    EXPECT_NE(r500.Err.find("CPSignHash failed"), std::string::npos) << r500.Err;

    // A service that never answers: the library's request time-out ends the call.
    ASSERT_EQ(lucspRun({"config", "set", "CNX_TO_MS_HTTP_Request", "1500"}).ExitCode, 0);
    fault.Mode = TRefFaultMode::Delay;
    fault.DelayMs = 8000;
    Service.Fault_Set(fault);
    auto t0 = std::chrono::steady_clock::now();
    TLucspResult slow = lucspRun(sign, {}, 60000);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(lucspCheckFailureLine(slow), "");
    EXPECT_NE(slow.Err.find("SCARD_E_READER_UNAVAILABLE"), std::string::npos) << slow.Err;
    EXPECT_LT(seconds, 7.5);
    Service.Fault_Set(TRefFault());

    // A token the service does not know: refused (401), a class of its own.
    ASSERT_EQ(lucspRun({"register", "--cert", CertFile, "--token", "not-the-token"}).ExitCode, 0);
    TLucspResult refused = lucspRun(sign, {}, 60000);
    EXPECT_EQ(lucspCheckFailureLine(refused), "");
    EXPECT_NE(refused.Err.find("0x8010006B SCARD_W_WRONG_CHV"), std::string::npos) << refused.Err;
    EXPECT_NE(refused.Err.find("token refused"), std::string::npos) << refused.Err;

    // No service at all.
    Service.Stop();
    TLucspResult down = lucspRun(sign, {}, 60000);
    EXPECT_EQ(lucspCheckFailureLine(down), "");
    EXPECT_NE(down.Err.find("SCARD_E_READER_UNAVAILABLE"), std::string::npos) << down.Err;
}

TEST_F(LucspEndToEnd, UnregisterTakesTheCertificateAndTokenOut) {
    TLucspResult u = lucspRun({"unregister", "--cert", CertFile});
    ASSERT_EQ(u.ExitCode, 0) << u.Err;
    EXPECT_EQ(u.Out, "unregistered container " + Key.SerialHex + " (" + Subject + ")\n");
    EXPECT_EQ(lucspRun({"list", "--serials"}).Out, "");
    EXPECT_NE(lucspRun({"list"}).Out.find("0 certificate(s)"), std::string::npos);
    TLucspResult s =
        lucspRun({"sign", "--container", Key.SerialHex, "--alg", "sha1", "--hash", std::string(40, '0')});
    EXPECT_EQ(lucspCheckFailureLine(s), "");
    EXPECT_NE(s.Err.find("0x8009000D NTE_NO_KEY"), std::string::npos) << s.Err;
    // Unregistering again is not an error.
    EXPECT_EQ(lucspRun({"unregister", "--cert", CertFile}).ExitCode, 0);
}

// The provider the key-provider information names: --provider for one registration, else the
// CSP_KeyProvider setting. Either way the certificate is listed, both providers sign with it (checked by
// OpenSSL) and unregister takes it out. The first case registers over the CSP's registration of SetUp.
TEST_F(LucspEndToEnd, RegisterNamesTheChosenKeyProvider) {
    const struct {
        const char* Setting;
        const char* Flag;
        const std::string& Name;
        DWORD ProvType, KeySpec;
    } kCases[] = {
        {"CSP", "ksp", kKspName, 0, 0},
        {"KSP", "csp", kCspName, PROV_RSA_FULL, AT_KEYEXCHANGE}, // the option beats the setting
        {"ksp", nullptr, kKspName, 0, 0},
        {"CSP", nullptr, kCspName, PROV_RSA_FULL, AT_KEYEXCHANGE},
    };
    const TBytes hash = Digest(EVP_sha256(), "either provider");
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.Setting) + " " + (c.Flag ? c.Flag : "-"));
        ASSERT_EQ(lucspRun({"config", "set", "CSP_KeyProvider", c.Setting}).ExitCode, 0);
        std::vector<std::string> reg = {"register", "--cert", CertFile, "--token", Key.Token};
        if (c.Flag) reg.insert(reg.end(), {"--provider", c.Flag});
        TLucspResult r = lucspRun(reg);
        ASSERT_EQ(r.ExitCode, 0) << r.Err;
        EXPECT_NE(r.Out.find("key provider " + c.Name + "\n"), std::string::npos) << r.Out;
        std::vector<TKeyProvInfo> infos = StoredKeyProvInfo();
        ASSERT_EQ(infos.size(), 1u);
        EXPECT_EQ(infos[0].Container, Key.SerialHex);
        EXPECT_EQ(infos[0].Name, c.Name);
        EXPECT_EQ(infos[0].ProvType, c.ProvType);
        EXPECT_EQ(infos[0].KeySpec, c.KeySpec);
        EXPECT_NE(lucspRun({"list"}).Out.find("provider   " + c.Name + "\n"), std::string::npos);
        for (const char* provider : {"ksp", "csp"}) {
            TLucspResult s = lucspRun({"sign", "--container", Key.SerialHex, "--alg", "sha256", "--hash",
                                       ToHex(hash), "--provider", provider, "--order", "big-endian"});
            ASSERT_EQ(s.ExitCode, 0) << provider << ": " << s.Err;
            EXPECT_TRUE(OpenSSLVerify(Key.CertPEM, EVP_sha256(), hash, FromHex(s.Out))) << provider;
        }
        ASSERT_EQ(lucspRun({"unregister", "--cert", CertFile}).ExitCode, 0);
        EXPECT_TRUE(StoredKeyProvInfo().empty());
        EXPECT_EQ(lucspRun({"list", "--serials"}).Out, "");
    }
    // A setting that names neither refuses the registration with its own code and installs nothing.
    ASSERT_EQ(lucspRun({"config", "set", "CSP_KeyProvider", "CNG"}).ExitCode, 0);
    TLucspResult bad = lucspRun({"register", "--cert", CertFile, "--token", Key.Token});
    EXPECT_EQ(lucspCheckFailureLine(bad), "");
    EXPECT_NE(bad.Err.find("0x80090014 NTE_BAD_PROV_TYPE"), std::string::npos) << bad.Err;
    EXPECT_TRUE(StoredKeyProvInfo().empty());
    TLucspResult badFlag =
        lucspRun({"register", "--cert", CertFile, "--token", Key.Token, "--provider", "cng"});
    EXPECT_NE(badFlag.ExitCode, 0);
}

TEST_F(LucspEndToEnd, OverlongTokenIsRefusedAndInstallsNothing) {
    // The login reads at most 255 bytes back, so a longer token could never sign: refused up front.
    ASSERT_EQ(lucspRun({"unregister", "--cert", CertFile}).ExitCode, 0);
    TLucspResult bad = lucspRun({"register", "--cert", CertFile, "--token", std::string(300, 'x')});
    EXPECT_EQ(lucspCheckFailureLine(bad), "");
    EXPECT_NE(bad.Err.find("0x00000057 ERROR_INVALID_PARAMETER"), std::string::npos) << bad.Err;
    EXPECT_EQ(lucspRun({"list", "--serials"}).Out, "");
}

bool PortAccepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    return ok;
}

TEST(LucspServe, RunsTheServiceWritesItsFilesAndStopsOnSigterm) {
    TTestRoot root;
    std::string ca = root.Path() + "/ca.pem", cert = root.Path() + "/cert.pem",
                token = root.Path() + "/token";
    TLucspBackground serve;
    ASSERT_TRUE(serve.Start({"serve", "--token", "serve-token", "--cn", "Serve Test", "--ca-out", ca,
                             "--cert-out", cert, "--token-out", token, "--die-with-parent"}));
    std::string listening = serve.WaitForLine("LISTENING 127.0.0.1:", 60000);
    ASSERT_NE(listening, "") << serve.Output();
    int port = std::stoi(listening.substr(std::string("LISTENING 127.0.0.1:").size()));
    EXPECT_TRUE(PortAccepts(port));
    std::string keyLine = serve.WaitForLine("KEY SERIAL=", 1000);
    ASSERT_NE(keyLine, "");
    EXPECT_NE(keyLine.find(" TOKEN=serve-token BITS=2048 CN=Serve Test"), std::string::npos) << keyLine;
    EXPECT_EQ(ReadText(token), "serve-token\n");
    EXPECT_NE(ReadText(ca).find("BEGIN CERTIFICATE"), std::string::npos);

    // The tool's own road against it: configure, register from the written files, sign.
    ASSERT_EQ(lucspRun({"config", "set", "CNX_ServiceHost", "127.0.0.1:" + std::to_string(port)}).ExitCode,
              0);
    ASSERT_EQ(lucspRun({"config", "set", "CNX_CAFile", ca}).ExitCode, 0);
    TLucspResult reg = lucspRun({"register", "--cert", cert, "--token-file", token});
    ASSERT_EQ(reg.ExitCode, 0) << reg.Err;
    std::string serial = keyLine.substr(11, keyLine.find(' ', 11) - 11);
    EXPECT_EQ(lucspRun({"list", "--serials"}).Out, serial + "\n");
    TBytes hash = Digest(EVP_sha256(), "serve");
    TLucspResult s = lucspRun(
        {"sign", "--container", serial, "--alg", "sha256", "--hash", ToHex(hash), "--order", "big-endian"});
    if (s.ExitCode == 0) {
        EXPECT_TRUE(OpenSSLVerify(ReadText(cert), EVP_sha256(), hash, FromHex(s.Out)));
    } else {
        EXPECT_EQ(lucspCheckFailureLine(s), "");
        EXPECT_NE(s.Err.find("SCARD_E_READER_UNAVAILABLE"), std::string::npos) << s.Err;
    }
    EXPECT_EQ(serve.Stop(), 0);
    EXPECT_FALSE(PortAccepts(port));
    if (s.ExitCode != 0) GTEST_SKIP() << kSkipText;
}

TEST(LucspServe, PortInUseIsOneLine) {
    TTestRoot root;
    TRefSigningService busy;
    ASSERT_TRUE(busy.Start(0));
    TLucspResult r =
        lucspRun({"serve", "--port", std::to_string(busy.Port()), "--key-bits", "1024"}, {}, 60000);
    EXPECT_EQ(lucspCheckFailureLine(r), "");
    EXPECT_NE(r.Err.find("cannot start the service"), std::string::npos) << r.Err;
}

TEST(LucspInstall, InstallAndUninstallReportTheirOutcome) {
    TTestRoot root;
    for (const char* cmd : {"install", "install", "uninstall"}) {
        TLucspResult r = lucspRun({cmd});
        SCOPED_TRACE(cmd);
        EXPECT_FALSE(r.TimedOut);
        if (r.ExitCode == 0) {
            EXPECT_EQ(r.Out.rfind(std::string(cmd) + "ed: Varno Base Cryptographic Provider Server", 0), 0u)
                << r.Out;
        } else {
            EXPECT_EQ(lucspCheckFailureLine(r), "");
            EXPECT_NE(r.Err.find("DllInstall("), std::string::npos) << r.Err;
        }
    }
}

} // namespace
