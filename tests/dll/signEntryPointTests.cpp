// Signing through the provider's entry points, the library loaded from its built file, against a
// reference signing service on loopback.
#include "platform/TVarnoRegedit.h"
#include "dll/dllHarness.h"
#include "platform/platSecret.h"
#include "support/testExec.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace dllharness;

namespace {

using Bytes = std::vector<uint8_t>;

struct TE2E {
    TTestRoot Root;
    TRefSigningService Service;
    TRefKeyInfo Key;
    std::string Token = "e2e-token-0123456789-0123456789-abcdefg";
    std::string CAFile, TraceDir;
    int Port = 0;
    TCspApi Api;
    bool Ready = false;
};

const int kTimeoutMs = 1500 * testTimeScale();

std::unique_ptr<TE2E>& EnvSlot() {
    static std::unique_ptr<TE2E> env;
    return env;
}

// The library is unloaded when the tests are done, as an application frees it, not left to the
// process's exit.
class TUnloadAtEnd : public ::testing::Environment {
  public:
    void TearDown() override {
        if (EnvSlot()) EnvSlot()->Api.Unload();
    }
};
const ::testing::Environment* const kUnloadAtEnd = ::testing::AddGlobalTestEnvironment(new TUnloadAtEnd);

TE2E& Env() {
    std::unique_ptr<TE2E>& env = EnvSlot();
    if (env) return *env;
    env = std::make_unique<TE2E>();
    TE2E& e = *env;
    if (!e.Service.Key_Generate(e.Token, "Assinante E2E", 2048, TRefSerialTopBit::Set, &e.Key) ||
        !e.Service.Start()) {
        ADD_FAILURE() << "reference service: " << e.Service.LastError();
        return e;
    }
    e.Port = e.Service.Port();
    e.CAFile = e.Root.Path() + "/service-ca.pem";
    std::ofstream(e.CAFile, std::ios::binary) << e.Service.CA_CertPEM();
    e.TraceDir = e.Root.Path() + "/trace";
    std::filesystem::create_directories(e.TraceDir);
    if (!WriteEndpointSettings("127.0.0.1:" + std::to_string(e.Port), e.CAFile, kTimeoutMs, true,
                               e.TraceDir)) {
        ADD_FAILURE() << "endpoint settings not written";
        return e;
    }
    if (!e.Api.Load(LUCSP_DLL_PATH)) {
        ADD_FAILURE() << e.Api.Error;
        return e;
    }
    if (!e.Api.TrelisServer_RegisterCertificate(e.Key.CertPEM.data(), static_cast<int>(e.Key.CertPEM.size()),
                                                e.Token.data(), static_cast<int>(e.Token.size()))) {
        ADD_FAILURE() << "certificate registration failed";
        return e;
    }
    e.Ready = true;
    return e;
}

std::string TraceText() {
    std::string all;
    for (const auto& f : std::filesystem::directory_iterator(Env().TraceDir))
        all += ReadWholeFile(f.path().string());
    return all;
}

const EVP_MD* MdOf(ALG_ID alg) {
    switch (alg) {
    case CALG_SHA1:
        return EVP_sha1();
    case CALG_SHA_256:
        return EVP_sha256();
    case CALG_SHA_384:
        return EVP_sha384();
    case CALG_SHA_512:
        return EVP_sha512();
    default:
        return nullptr;
    }
}

Bytes Digest(ALG_ID alg, const std::string& message) {
    Bytes md(EVP_MAX_MD_SIZE);
    unsigned len = 0;
    EVP_Digest(message.data(), message.size(), md.data(), &len, MdOf(alg), nullptr);
    md.resize(len);
    return md;
}

// OpenSSL's own check: RSASSA-PKCS1-v1_5 over the hash (md given), or the bare recovered block (md null).
bool OpenSSLVerify(const std::string& certPEM, const Bytes& bigEndianSig, const Bytes& hash,
                   const EVP_MD* md) {
    BIO* bio = BIO_new_mem_buf(certPEM.data(), static_cast<int>(certPEM.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (!cert) return false;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(X509_get0_pubkey(cert), nullptr);
    bool ok = false;
    if (md) {
        ok = ctx && EVP_PKEY_verify_init(ctx) == 1 &&
             EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
             EVP_PKEY_CTX_set_signature_md(ctx, md) == 1 &&
             EVP_PKEY_verify(ctx, bigEndianSig.data(), bigEndianSig.size(), hash.data(), hash.size()) == 1;
    } else {
        Bytes out(bigEndianSig.size());
        size_t outLen = out.size();
        ok = ctx && EVP_PKEY_verify_recover_init(ctx) == 1 &&
             EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
             EVP_PKEY_verify_recover(ctx, out.data(), &outLen, bigEndianSig.data(), bigEndianSig.size()) ==
                 1 &&
             Bytes(out.begin(), out.begin() + static_cast<long>(outLen)) == hash;
    }
    EVP_PKEY_CTX_free(ctx);
    X509_free(cert);
    return ok;
}

class SignEntryPoints : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(E.Ready);
        E.Service.Fault_Set(TRefFault());
        VTableProvStruc vt = MakeVTable();
        ASSERT_TRUE(E.Api.CPAcquireContext(&Prov, E.Key.SerialHex.c_str(), 0, &vt))
            << std::hex << GetLastError();
        E.Service.Stats_Reset();
    }
    void TearDown() override {
        E.Service.Fault_Set(TRefFault());
        if (Prov) {
            EXPECT_TRUE(E.Api.CPReleaseContext(Prov, 0));
        }
    }
    HCRYPTHASH NewHash(ALG_ID alg, const Bytes& value) {
        HCRYPTHASH h = 0;
        EXPECT_TRUE(E.Api.CPCreateHash(Prov, alg, 0, 0, &h));
        EXPECT_TRUE(E.Api.CPSetHashParam(Prov, h, HP_HASHVAL, value.data(), 0));
        return h;
    }
    // Length query, then the signature; the signature comes back in CryptoAPI's little-endian order.
    bool Sign(HCRYPTHASH h, Bytes& sig, DWORD flags = 0) { return SignIn(Prov, h, sig, flags); }
    bool SignIn(HCRYPTPROV prov, HCRYPTHASH h, Bytes& sig, DWORD flags = 0) {
        DWORD len = 0;
        if (!E.Api.CPSignHash(prov, h, AT_SIGNATURE, nullptr, flags, nullptr, &len)) return false;
        sig.assign(len, 0);
        if (!E.Api.CPSignHash(prov, h, AT_SIGNATURE, nullptr, flags, sig.data(), &len)) return false;
        sig.resize(len);
        return true;
    }
    // A context of its own, a new hash of text in it, signed and checked by the provider.
    bool SignInOwnContext(const std::string& text) {
        HCRYPTPROV prov = 0;
        VTableProvStruc vt = MakeVTable();
        if (!E.Api.CPAcquireContext(&prov, E.Key.SerialHex.c_str(), 0, &vt)) return false;
        HCRYPTHASH h = 0;
        Bytes value = Digest(CALG_SHA_256, text), sig;
        bool ok = E.Api.CPCreateHash(prov, CALG_SHA_256, 0, 0, &h) &&
                  E.Api.CPSetHashParam(prov, h, HP_HASHVAL, value.data(), 0) && SignIn(prov, h, sig) &&
                  E.Api.CPVerifySignature(prov, h, sig.data(), static_cast<DWORD>(sig.size()), 0, nullptr, 0);
        if (h) E.Api.CPDestroyHash(prov, h);
        return E.Api.CPReleaseContext(prov, 0) && ok;
    }
    // Makes the next sign request wait at the service, and waits until one does.
    TRefFault StallNextRequest() {
        TRefFault f;
        f.DelayMs = static_cast<unsigned>(kTimeoutMs / 2);
        f.Count = 1;
        E.Service.Fault_Set(f);
        return f;
    }
    bool WaitForStalledRequest(uint64_t faultedBefore) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
        while (E.Service.Stats().Faulted == faultedBefore) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
    // A failing signature: FALSE with the code of its class, in time, and a trace line naming the cause.
    void ExpectSignFailure(const std::string& cause, LONG code) {
        HCRYPTHASH h = NewHash(CALG_SHA_256, Digest(CALG_SHA_256, "failing " + cause));
        DWORD len = 0;
        auto t0 = std::chrono::steady_clock::now();
        SetLastError(0);
        EXPECT_FALSE(E.Api.CPSignHash(Prov, h, AT_SIGNATURE, nullptr, 0, nullptr, &len));
        EXPECT_EQ(static_cast<DWORD>(code), GetLastError());
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
                      .count();
        EXPECT_LT(ms, kTimeoutMs + 1500);
        EXPECT_NE(std::string::npos, TraceText().find(cause)) << cause;
        EXPECT_TRUE(E.Api.CPDestroyHash(Prov, h));
    }

    TE2E& E = Env();
    HCRYPTPROV Prov = 0;
};

} // namespace

TEST_F(SignEntryPoints, SignaturesVerifyWithOpenSSLForEveryHash) {
    for (ALG_ID alg : {CALG_SHA1, CALG_SHA_256, CALG_SHA_384, CALG_SHA_512}) {
        SCOPED_TRACE(alg);
        Bytes hash = Digest(alg, "documento para assinar");
        HCRYPTHASH h = NewHash(alg, hash);
        Bytes sig;
        ASSERT_TRUE(Sign(h, sig)) << std::hex << GetLastError();
        ASSERT_EQ(E.Key.ModulusBytes, sig.size());
        // The provider's own verification takes the little-endian form.
        EXPECT_TRUE(
            E.Api.CPVerifySignature(Prov, h, sig.data(), static_cast<DWORD>(sig.size()), 0, nullptr, 0));
        Bytes bigEndian(sig.rbegin(), sig.rend());
        EXPECT_TRUE(OpenSSLVerify(E.Key.CertPEM, bigEndian, hash, MdOf(alg)));
        EXPECT_TRUE(E.Api.CPDestroyHash(Prov, h));
    }
    EXPECT_EQ(4u, E.Service.RequestCount());
}

TEST_F(SignEntryPoints, SameValueTwiceMakesOneRequest) {
    Bytes hash = Digest(CALG_SHA_256, "uma vez so");
    HCRYPTHASH h = NewHash(CALG_SHA_256, hash);
    Bytes first, second;
    ASSERT_TRUE(Sign(h, first));
    ASSERT_TRUE(Sign(h, second));
    EXPECT_EQ(first, second);
    EXPECT_EQ(1u, E.Service.RequestCount());
    EXPECT_EQ(E.Token, E.Service.Stats().LastToken);
    EXPECT_TRUE(E.Api.CPDestroyHash(Prov, h));
}

TEST_F(SignEntryPoints, NoHashOidSignsTheBareValue) {
    Bytes value = Digest(CALG_SHA_256, "sem prefixo");
    HCRYPTHASH h = NewHash(CALG_SHA_256, value);
    Bytes sig;
    ASSERT_TRUE(Sign(h, sig, CRYPT_NOHASHOID));
    Bytes bigEndian(sig.rbegin(), sig.rend());
    EXPECT_TRUE(OpenSSLVerify(E.Key.CertPEM, bigEndian, value, nullptr));
    EXPECT_FALSE(OpenSSLVerify(E.Key.CertPEM, bigEndian, value, EVP_sha256()));

    // The flag was for that call: the hash keeps its algorithm, and the next plain signature of the same
    // hash carries the DigestInfo again (a new request: the block differs).
    DWORD alg = 0, size = sizeof(alg);
    ASSERT_TRUE(E.Api.CPGetHashParam(Prov, h, HP_ALGID, reinterpret_cast<BYTE*>(&alg), &size, 0));
    EXPECT_EQ(static_cast<DWORD>(CALG_SHA_256), alg);
    ASSERT_TRUE(E.Api.CPGetHashParam(Prov, h, HP_HASHSIZE, reinterpret_cast<BYTE*>(&alg), &size, 0));
    EXPECT_EQ(32u, alg);
    ASSERT_TRUE(Sign(h, sig));
    Bytes plain(sig.rbegin(), sig.rend());
    EXPECT_TRUE(OpenSSLVerify(E.Key.CertPEM, plain, value, EVP_sha256()));
    EXPECT_TRUE(E.Api.CPVerifySignature(Prov, h, sig.data(), static_cast<DWORD>(sig.size()), 0, nullptr, 0));
    EXPECT_EQ(2u, E.Service.RequestCount());
    EXPECT_TRUE(E.Api.CPDestroyHash(Prov, h));
}

// Each failure of the service reaches the caller as the code of its class (CSP_Compatibility 1, the
// default), and the trace names the class.
TEST_F(SignEntryPoints, EveryServiceFailureHasTheCodeOfItsClassAndTheNextCallWorks) {
    const struct {
        TRefFaultMode Mode;
        unsigned DelayMs;
        const char* Cause;
        LONG Code;
        const char* Class;
    } cases[] = {
        {TRefFaultMode::Delay, static_cast<unsigned>(kTimeoutMs + 1500), "Timeout was reached",
         SCARD_E_READER_UNAVAILABLE, "service-unreachable"},
        {TRefFaultMode::Http500Html, 0, "HttpStatus=[500]", SCARD_E_UNEXPECTED, "service-failed"},
        {TRefFaultMode::NoSignatures, 0,
         "Não foram encontradas as informações das 'signatures' da URL_SignHash", SCARD_E_COMM_DATA_LOST,
         "answer-unusable"},
        {TRefFaultMode::EmptyArray, 0, "Não foi possivel fazer o parse das 'signatures' da URL_SignHash",
         SCARD_E_COMM_DATA_LOST, "answer-unusable"},
        {TRefFaultMode::BadBase64, 0, "rawSignature não é Base64 valido", SCARD_E_COMM_DATA_LOST,
         "answer-unusable"},
        {TRefFaultMode::ShortSignature, 0, "Tamanho da rawSignature invalido", SCARD_E_COMM_DATA_LOST,
         "answer-unusable"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Cause);
        TRefFault f;
        f.Mode = c.Mode;
        f.DelayMs = c.DelayMs;
        E.Service.Fault_Set(f);
        ExpectSignFailure(c.Cause, c.Code);
        EXPECT_NE(std::string::npos, TraceText().find(std::string("classe=[") + c.Class + "]"));
        E.Service.Fault_Set(TRefFault());
        HCRYPTHASH h = NewHash(CALG_SHA_256, Digest(CALG_SHA_256, std::string("depois de ") + c.Cause));
        Bytes sig;
        EXPECT_TRUE(Sign(h, sig));
        EXPECT_TRUE(E.Api.CPDestroyHash(Prov, h));
    }
}

TEST_F(SignEntryPoints, EscapedSlashesAreRead) {
    TRefFault f;
    f.Mode = TRefFaultMode::SlashEscape;
    E.Service.Fault_Set(f);
    for (int i = 0; i < 4; ++i) {
        Bytes hash = Digest(CALG_SHA_256, "barra " + std::to_string(i));
        HCRYPTHASH h = NewHash(CALG_SHA_256, hash);
        Bytes sig;
        ASSERT_TRUE(Sign(h, sig));
        Bytes bigEndian(sig.rbegin(), sig.rend());
        EXPECT_TRUE(OpenSSLVerify(E.Key.CertPEM, bigEndian, hash, EVP_sha256()));
        EXPECT_TRUE(E.Api.CPDestroyHash(Prov, h));
    }
}

TEST_F(SignEntryPoints, ServiceDownThenBack) {
    E.Service.Stop();
    ExpectSignFailure("Couldn't connect to server", SCARD_E_READER_UNAVAILABLE);
    ASSERT_TRUE(E.Service.Start(E.Port));
    HCRYPTHASH h = NewHash(CALG_SHA_256, Digest(CALG_SHA_256, "de volta"));
    Bytes sig;
    EXPECT_TRUE(Sign(h, sig));
    EXPECT_TRUE(E.Api.CPDestroyHash(Prov, h));
}

TEST_F(SignEntryPoints, RejectedAndMissingTokens) {
    TVarnoRegedit user(HKEY_CURRENT_USER);
    ASSERT_TRUE(user.SetGrupoName(GRUPO_NAME_CERTIFICATE, E.Key.SerialHex.c_str(), KEY_WOW64_64KEY));
    std::string wrong = "not-the-token";
    ASSERT_TRUE(user.RegSetValueW("Token", GRUPO_NAME_CERTIFICATE, REG_BINARY, wrong.data(),
                                  static_cast<DWORD>(wrong.size())));
    ExpectSignFailure("HttpStatus=[401]", SCARD_W_WRONG_CHV);

    // No stored token: the login fails as a missing smart card would, and nothing is sent.
    ASSERT_TRUE(user.DeleteGrupoName(GRUPO_NAME_CERTIFICATE, E.Key.SerialHex.c_str(), true));
    E.Service.Stats_Reset();
    HCRYPTHASH h = NewHash(CALG_SHA_256, Digest(CALG_SHA_256, "sem token"));
    DWORD len = 0;
    EXPECT_FALSE(E.Api.CPSignHash(Prov, h, AT_SIGNATURE, nullptr, 0, nullptr, &len));
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_NO_SMARTCARD), GetLastError());
    // A token of 256 bytes has no room for its end: refused the same way.
    TVarnoRegedit again(HKEY_CURRENT_USER);
    ASSERT_TRUE(again.SetGrupoName(GRUPO_NAME_CERTIFICATE, E.Key.SerialHex.c_str(), KEY_WOW64_64KEY));
    std::string full(256, 't');
    ASSERT_TRUE(again.RegSetValueW("Token", GRUPO_NAME_CERTIFICATE, REG_BINARY, full.data(), 256));
    EXPECT_FALSE(E.Api.CPSignHash(Prov, h, AT_SIGNATURE, nullptr, 0, nullptr, &len));
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_NO_SMARTCARD), GetLastError());
    EXPECT_EQ(0u, E.Service.RequestCount());

    // A token stored as plain text by an earlier version still signs.
    ASSERT_TRUE(again.RegSetValueW("Token", GRUPO_NAME_CERTIFICATE, REG_BINARY, E.Token.data(),
                                   static_cast<DWORD>(E.Token.size())));
    Bytes legacy;
    EXPECT_TRUE(Sign(h, legacy));
    // One protected for another user, or damaged, is refused like a missing one.
    std::string blob;
    ASSERT_TRUE(platProtectSecret(E.Token, false, blob));
    blob[blob.size() / 2] ^= 1;
    ASSERT_TRUE(again.RegSetValueW("Token", GRUPO_NAME_CERTIFICATE, REG_BINARY, blob.data(),
                                   static_cast<DWORD>(blob.size())));
    HCRYPTHASH other = NewHash(CALG_SHA_256, Digest(CALG_SHA_256, "token danificado"));
    EXPECT_FALSE(E.Api.CPSignHash(Prov, other, AT_SIGNATURE, nullptr, 0, nullptr, &len));
    EXPECT_EQ(static_cast<DWORD>(SCARD_E_NO_SMARTCARD), GetLastError());
    EXPECT_NE(std::string::npos, TraceText().find("Token protegido nao pode ser aberto"));
    EXPECT_TRUE(E.Api.CPDestroyHash(Prov, other));

    // Registered again, the token works.
    ASSERT_TRUE(E.Api.TrelisServer_RegisterCertificate(E.Key.CertPEM.data(),
                                                       static_cast<int>(E.Key.CertPEM.size()), E.Token.data(),
                                                       static_cast<int>(E.Token.size())));
    Bytes sig;
    EXPECT_TRUE(Sign(h, sig));
    EXPECT_TRUE(E.Api.CPDestroyHash(Prov, h));
}

TEST_F(SignEntryPoints, TokenOutlivesDestroyedKeysAndNeverReachesTheTrace) {
    // A user key logs in and is destroyed; the next signature of the context logs in again itself.
    HCRYPTKEY user = 0;
    ASSERT_TRUE(E.Api.CPGetUserKey(Prov, AT_SIGNATURE, &user));
    ASSERT_TRUE(E.Api.CPDestroyKey(Prov, user));
    HCRYPTHASH h = NewHash(CALG_SHA_256, Digest(CALG_SHA_256, "chave destruida"));
    Bytes sig;
    EXPECT_TRUE(Sign(h, sig));
    EXPECT_TRUE(E.Api.CPDestroyHash(Prov, h));
    std::string trace = TraceText();
    EXPECT_NE(std::string::npos, trace.find("TokenPSC: ****"));
    EXPECT_EQ(std::string::npos, trace.find(E.Token));
}

// The request of a signature runs without the provider's lock: while one waits at the service, the
// same process's other calls, signatures in other contexts included, go on.
TEST_F(SignEntryPoints, ConcurrentCallsGoOnWhileASignatureWaitsForTheService) {
    HCRYPTHASH h = NewHash(CALG_SHA_256, Digest(CALG_SHA_256, "assinatura lenta"));
    uint64_t faulted = E.Service.Stats().Faulted;
    StallNextRequest();
    std::atomic<bool> done{false};
    bool signedSlow = false;
    Bytes slowSig;
    std::thread slow([&] {
        signedSlow = Sign(h, slowSig);
        done = true;
    });
    ASSERT_TRUE(WaitForStalledRequest(faulted));
    BYTE name[256];
    DWORD len = sizeof(name);
    EXPECT_TRUE(E.Api.CPGetProvParam(Prov, PP_NAME, name, &len, 0)) << std::hex << GetLastError();
    EXPECT_TRUE(SignInOwnContext("enquanto a outra espera"));
    EXPECT_FALSE(done.load()) << "the other calls waited for the stalled signature";
    slow.join();
    EXPECT_TRUE(signedSlow) << std::hex << GetLastError();
    EXPECT_TRUE(
        E.Api.CPVerifySignature(Prov, h, slowSig.data(), static_cast<DWORD>(slowSig.size()), 0, nullptr, 0));
    EXPECT_TRUE(E.Api.CPDestroyHash(Prov, h));
}

// Releasing a context while its signature is on the way frees nothing that call still uses: it ends
// with ERROR_INVALID_HANDLE, and the provider goes on.
TEST_F(SignEntryPoints, ConcurrentReleaseOfTheSigningContext) {
    HCRYPTPROV other = 0;
    VTableProvStruc vt = MakeVTable();
    ASSERT_TRUE(E.Api.CPAcquireContext(&other, E.Key.SerialHex.c_str(), 0, &vt));
    HCRYPTHASH h = 0;
    Bytes value = Digest(CALG_SHA_256, "contexto liberado");
    ASSERT_TRUE(E.Api.CPCreateHash(other, CALG_SHA_256, 0, 0, &h));
    ASSERT_TRUE(E.Api.CPSetHashParam(other, h, HP_HASHVAL, value.data(), 0));
    uint64_t faulted = E.Service.Stats().Faulted;
    StallNextRequest();
    bool signedSlow = true;
    DWORD slowError = 0;
    std::thread slow([&] {
        Bytes sig;
        signedSlow = SignIn(other, h, sig);
        slowError = GetLastError();
    });
    ASSERT_TRUE(WaitForStalledRequest(faulted));
    EXPECT_TRUE(E.Api.CPReleaseContext(other, 0));
    slow.join();
    EXPECT_FALSE(signedSlow);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), slowError);
    EXPECT_TRUE(SignInOwnContext("depois da liberacao"));
}

// Threads in contexts of their own sign at the same time; every signature is right.
TEST_F(SignEntryPoints, ConcurrentSignaturesInOwnContexts) {
    const int threads = 6, each = 8;
    std::atomic<int> good{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int i = 0; i < each; ++i)
                if (SignInOwnContext("thread " + std::to_string(t) + " valor " + std::to_string(i))) ++good;
        });
    for (auto& th : pool)
        th.join();
    EXPECT_EQ(threads * each, good.load());
    EXPECT_EQ(static_cast<uint64_t>(threads * each), E.Service.Stats().Signed);
}

namespace {

struct TStoreEntry {
    bool Found = false;
    std::string Container, Provider, FriendlyName;
    DWORD ProvType = 0, KeySpec = 0;
};

std::string Narrow(const WCHAR* w) {
    std::string s;
    for (; w && *w; ++w)
        s += static_cast<char>(*w);
    return s;
}

// The personal store's entry whose key container is the serial number, as an application would find it.
TStoreEntry FindInMyStore(const std::string& serial) {
    TStoreEntry entry;
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    if (!store) return entry;
    PCCERT_CONTEXT ctx = nullptr;
    while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr) {
        DWORD size = 0;
        if (!CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) || size == 0)
            continue;
        std::vector<BYTE> buf(size);
        if (!CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &size)) continue;
        auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
        if (Narrow(info->pwszContainerName) != serial) continue;
        entry.Found = true;
        entry.Container = Narrow(info->pwszContainerName);
        entry.Provider = Narrow(info->pwszProvName);
        entry.ProvType = info->dwProvType;
        entry.KeySpec = info->dwKeySpec;
        size = 0;
        if (CertGetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size) && size) {
            std::vector<BYTE> name(size);
            if (CertGetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, name.data(), &size))
                entry.FriendlyName = Narrow(reinterpret_cast<const WCHAR*>(name.data()));
        }
        CertFreeCertificateContext(ctx);
        break;
    }
    CertCloseStore(store, 0);
    return entry;
}

bool ReadToken(const std::string& serial, std::string& token) {
    TVarnoRegedit user(HKEY_CURRENT_USER);
    if (!user.SetGrupoName(GRUPO_NAME_CERTIFICATE, serial.c_str(), KEY_WOW64_64KEY)) return false;
    char buf[1024] = {0};
    DWORD len = sizeof(buf);
    if (!user.RegQueryValueW("Token", GRUPO_NAME_CERTIFICATE, REG_BINARY, buf, &len)) return false;
    token.assign(buf, len);
    return true;
}

class CertificateExports : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(E.Ready);
        ASSERT_TRUE(E.Service.Key_Generate("", "Outro Assinante", 1024, TRefSerialTopBit::Random, &Other));
    }
    BOOL Register(const std::string& cert, const std::string& token) {
        return E.Api.TrelisServer_RegisterCertificate(cert.data(), static_cast<int>(cert.size()),
                                                      token.data(), static_cast<int>(token.size()));
    }
    BOOL Unregister(const std::string& cert) {
        return E.Api.TrelisServer_UnregisterCertificate(cert.data(), static_cast<int>(cert.size()));
    }

    TE2E& E = Env();
    TRefKeyInfo Other;
};

} // namespace

TEST_F(CertificateExports, RegisterPutsCertificateAndTokenInPlace) {
    ASSERT_TRUE(Register(Other.CertPEM, "token-a"));
    TStoreEntry entry = FindInMyStore(Other.SerialHex);
    ASSERT_TRUE(entry.Found);
    EXPECT_EQ("Varno Base Cryptographic Provider Server", entry.Provider);
    EXPECT_EQ(1u, entry.ProvType);
    EXPECT_EQ(1u, entry.KeySpec);
    EXPECT_EQ("Outro Assinante", entry.FriendlyName);
    // The token is stored protected for this user: no value and no file holds its text.
    const std::string secret = "token-a-" + std::string(24, 's');
    ASSERT_TRUE(Register(Other.CertPEM, secret));
    std::string token, plain;
    ASSERT_TRUE(ReadToken(Other.SerialHex, token));
    EXPECT_EQ(std::string::npos, token.find(secret));
    ASSERT_TRUE(platRevealSecret(token, plain));
    EXPECT_EQ(secret, plain);
    for (const auto& f : std::filesystem::recursive_directory_iterator(E.Root.Path())) {
        if (f.is_regular_file()) {
            EXPECT_EQ(std::string::npos, ReadWholeFile(f.path().string()).find(secret)) << f.path();
        }
    }
    // A second registration rewrites the token.
    ASSERT_TRUE(Register(Other.CertPEM, "token-b"));
    ASSERT_TRUE(ReadToken(Other.SerialHex, token));
    ASSERT_TRUE(platRevealSecret(token, plain));
    EXPECT_EQ("token-b", plain);

    ASSERT_TRUE(Unregister(Other.CertPEM));
    EXPECT_FALSE(FindInMyStore(Other.SerialHex).Found);
    EXPECT_FALSE(ReadToken(Other.SerialHex, token));
    // Not installed: still TRUE.
    EXPECT_TRUE(Unregister(Other.CertPEM));
}

TEST_F(CertificateExports, BadInputInstallsNothing) {
    const std::string& cert = Other.CertPEM;
    EXPECT_FALSE(E.Api.TrelisServer_RegisterCertificate(cert.data(), static_cast<int>(cert.size()), "t", 0));
    EXPECT_FALSE(
        E.Api.TrelisServer_RegisterCertificate(cert.data(), static_cast<int>(cert.size()), nullptr, 1));
    EXPECT_FALSE(E.Api.TrelisServer_RegisterCertificate(nullptr, 10, "t", 1));
    EXPECT_FALSE(E.Api.TrelisServer_RegisterCertificate(cert.data(), -5, "t", 1));
    EXPECT_FALSE(
        Register("-----BEGIN CERTIFICATE-----\nnot a certificate\n-----END CERTIFICATE-----\n", "t"));
    // Tokens the login could never send.
    EXPECT_FALSE(Register(cert, std::string(256, 'x')));
    EXPECT_FALSE(Register(cert, "linha\r\nX-Outro: 1"));
    EXPECT_FALSE(FindInMyStore(Other.SerialHex).Found);
    std::string token;
    EXPECT_FALSE(ReadToken(Other.SerialHex, token));
    EXPECT_FALSE(E.Api.TrelisServer_UnregisterCertificate(nullptr, 3));
    EXPECT_FALSE(E.Api.TrelisServer_UnregisterCertificate(cert.data(), 0));
    // The stored value must stay below 256 bytes, terminator included when the caller passes one.
    std::string longest(255, 'y');
    EXPECT_FALSE(E.Api.TrelisServer_RegisterCertificate(cert.data(), static_cast<int>(cert.size()),
                                                        longest.c_str(), 256));
    EXPECT_TRUE(E.Api.TrelisServer_RegisterCertificate(cert.data(), static_cast<int>(cert.size()),
                                                       longest.c_str(), 255));
    EXPECT_TRUE(E.Api.TrelisServer_RegisterCertificate(cert.data(), static_cast<int>(cert.size()),
                                                       longest.c_str() + 1, 255));
    EXPECT_TRUE(Unregister(cert));
}

// ---------------------------------------------------------------------------------------------------
// The service's answer is checked; CPEncrypt is no decryption oracle

TEST_F(SignEntryPoints, WrongSignatureOfTheRightLengthFailsAndIsNotCached) {
    TRefFault f;
    f.Mode = TRefFaultMode::WrongSignature;
    E.Service.Fault_Set(f);
    ExpectSignFailure("não confere com a chave publica do certificado", SCARD_E_COMM_DATA_LOST);
    // The same value again, against a healthy service: asked again (nothing was cached) and right.
    HCRYPTHASH h =
        NewHash(CALG_SHA_256, Digest(CALG_SHA_256, "failing não confere com a chave publica do certificado"));
    E.Service.Fault_Set(TRefFault());
    E.Service.Stats_Reset();
    Bytes sig;
    ASSERT_TRUE(Sign(h, sig)) << std::hex << GetLastError();
    EXPECT_EQ(1u, E.Service.RequestCount());
    EXPECT_TRUE(E.Api.CPVerifySignature(Prov, h, sig.data(), static_cast<DWORD>(sig.size()), 0, nullptr, 0));
    EXPECT_TRUE(E.Api.CPDestroyHash(Prov, h));
}

namespace {

struct TBnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
using TBn = std::unique_ptr<BIGNUM, TBnFree>;

TBn BnOf(const Bytes& b) {
    return TBn(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr));
}
Bytes BytesOf(const BIGNUM* b, size_t len) {
    Bytes out(len);
    BN_bn2binpad(b, out.data(), static_cast<int>(len));
    return out;
}

struct TPublicKey {
    TBn N, E;
};
TPublicKey PublicKeyOf(const std::string& certPEM) {
    TPublicKey k;
    BIO* bio = BIO_new_mem_buf(certPEM.data(), static_cast<int>(certPEM.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    BIGNUM *n = nullptr, *e = nullptr;
    EVP_PKEY_get_bn_param(X509_get0_pubkey(cert), "n", &n);
    EVP_PKEY_get_bn_param(X509_get0_pubkey(cert), "e", &e);
    X509_free(cert);
    k.N.reset(n);
    k.E.reset(e);
    return k;
}

// A PKCS #1 v1.5 encryption to the certificate's key, made with OpenSSL.
Bytes EncryptToCertificate(const std::string& certPEM, const std::string& secret) {
    BIO* bio = BIO_new_mem_buf(certPEM.data(), static_cast<int>(certPEM.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(X509_get0_pubkey(cert), nullptr);
    Bytes out(512);
    size_t len = out.size();
    bool ok = ctx && EVP_PKEY_encrypt_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_encrypt(ctx, out.data(), &len, reinterpret_cast<const unsigned char*>(secret.data()),
                               secret.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    X509_free(cert);
    out.resize(ok ? len : 0);
    return out;
}

} // namespace

TEST_F(SignEntryPoints, EncryptIsNoDecryptionOracle) {
    const size_t k = E.Key.ModulusBytes;
    const std::string secret = "segredo cifrado para o certificado";
    Bytes c = EncryptToCertificate(E.Key.CertPEM, secret);
    ASSERT_EQ(k, c.size());
    TPublicKey pub = PublicKeyOf(E.Key.CertPEM);
    ASSERT_TRUE(pub.N && pub.E);
    BN_CTX* bn = BN_CTX_new();

    // Blinded ciphertext c*r^e that fits k-1 bytes, so that zero padding (data, then one zero byte) would
    // give the block (c*r^e)*256; a second call with the data 1 gives 256 itself: their quotient is m*r.
    TBn r(BN_new()), blinded(BN_new()), re(BN_new());
    Bytes blindedData;
    for (int tries = 0; tries < 4096 && blindedData.empty(); ++tries) {
        BN_rand_range(r.get(), pub.N.get());
        BN_mod_exp(re.get(), r.get(), pub.E.get(), pub.N.get(), bn);
        BN_mod_mul(blinded.get(), BnOf(c).get(), re.get(), pub.N.get(), bn);
        if (BN_num_bytes(blinded.get()) <= static_cast<int>(k - 1))
            blindedData = BytesOf(blinded.get(), k - 1);
    }
    BN_CTX_free(bn);
    ASSERT_FALSE(blindedData.empty());
    Bytes one(k - 1, 0);
    one.back() = 1;

    HCRYPTKEY key = 0;
    ASSERT_TRUE(E.Api.CPGetUserKey(Prov, AT_KEYEXCHANGE, &key));
    for (DWORD padding : {static_cast<DWORD>(ZERO_PADDING), static_cast<DWORD>(RANDOM_PADDING),
                          static_cast<DWORD>(PKCS5_PADDING)}) {
        SCOPED_TRACE(padding);
        ASSERT_TRUE(E.Api.CPSetKeyParam(Prov, key, KP_PADDING, reinterpret_cast<BYTE*>(&padding), 0));
        for (const Bytes* data : {&blindedData, &one}) {
            Bytes buf = *data;
            buf.resize(k);
            DWORD len = static_cast<DWORD>(data->size());
            SetLastError(0);
            EXPECT_FALSE(E.Api.CPEncrypt(Prov, key, 0, TRUE, 0, buf.data(), &len, static_cast<DWORD>(k)));
            EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), GetLastError());
        }
    }
    EXPECT_EQ(0u, E.Service.RequestCount());
    EXPECT_NE(std::string::npos, TraceText().find("somente PKCS #1 tipo 1"));
    EXPECT_TRUE(E.Api.CPDestroyKey(Prov, key));
    // KP_PADDING stays on the context (no value sets PKCS #1 back): a fresh one for the rest.
    ASSERT_TRUE(E.Api.CPReleaseContext(Prov, 0));
    Prov = 0;
    VTableProvStruc vt = MakeVTable();
    ASSERT_TRUE(E.Api.CPAcquireContext(&Prov, E.Key.SerialHex.c_str(), 0, &vt));

    // With PKCS #1 type 1 the service only ever sees 00 01 FF..FF 00 || data: more than k-11 bytes are
    // refused, whether given at once or collected over several calls.
    ASSERT_TRUE(E.Api.CPGetUserKey(Prov, AT_KEYEXCHANGE, &key));
    Bytes big(k - 10, 0x42);
    big.resize(k);
    DWORD len = static_cast<DWORD>(k - 10);
    EXPECT_FALSE(E.Api.CPEncrypt(Prov, key, 0, TRUE, 0, big.data(), &len, static_cast<DWORD>(k)));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_LEN), GetLastError());
    len = static_cast<DWORD>(k - 11);
    EXPECT_TRUE(E.Api.CPEncrypt(Prov, key, 0, FALSE, 0, big.data(), &len, static_cast<DWORD>(k)));
    len = 1;
    EXPECT_FALSE(E.Api.CPEncrypt(Prov, key, 0, FALSE, 0, big.data(), &len, static_cast<DWORD>(k)));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_LEN), GetLastError());
    EXPECT_EQ(0u, E.Service.RequestCount());

    // Two final calls each sign only their own data: the result turned back with the public key is the
    // type 1 block of that data alone.
    for (const std::string& part : {std::string("primeira parte"), std::string("segunda")}) {
        SCOPED_TRACE(part);
        Bytes buf(part.begin(), part.end());
        buf.resize(k);
        DWORD half = static_cast<DWORD>(part.size() / 2);
        ASSERT_TRUE(E.Api.CPEncrypt(Prov, key, 0, FALSE, 0, buf.data(), &half, static_cast<DWORD>(k)));
        // The rest of the data at the front of a buffer of the whole block, as dwBufLen says.
        Bytes rest(buf.begin() + static_cast<long>(part.size() / 2), buf.end());
        rest.resize(k);
        DWORD restLen = static_cast<DWORD>(part.size() - part.size() / 2);
        ASSERT_TRUE(E.Api.CPEncrypt(Prov, key, 0, TRUE, 0, rest.data(), &restLen, static_cast<DWORD>(k)))
            << std::hex << GetLastError();
        ASSERT_EQ(k, restLen);
        Bytes sig(rest.begin(), rest.begin() + static_cast<long>(k));
        EXPECT_TRUE(OpenSSLVerify(E.Key.CertPEM, sig, Bytes(part.begin(), part.end()), nullptr));
    }
    EXPECT_TRUE(E.Api.CPDestroyKey(Prov, key));
}

// A final CPEncrypt waits for the service while another thread adds data to the same key: the waiting call
// signs only what it took, and the other thread's data is still there for its own final call.
TEST_F(SignEntryPoints, EncryptDataAddedWhileAFinalCallWaitsIsKeptForItsOwnFinalCall) {
    const size_t k = E.Key.ModulusBytes;
    HCRYPTKEY key = 0;
    ASSERT_TRUE(E.Api.CPGetUserKey(Prov, AT_KEYEXCHANGE, &key));
    const std::string first = "primeiro chamador", second = "segundo chamador";
    uint64_t faulted = E.Service.Stats().Faulted;
    StallNextRequest();
    Bytes firstResult(first.begin(), first.end());
    firstResult.resize(k);
    BOOL firstOk = FALSE;
    std::thread slow([&] {
        DWORD len = static_cast<DWORD>(first.size());
        firstOk = E.Api.CPEncrypt(Prov, key, 0, TRUE, 0, firstResult.data(), &len, static_cast<DWORD>(k));
    });
    ASSERT_TRUE(WaitForStalledRequest(faulted));
    Bytes data(second.begin(), second.end());
    DWORD len = static_cast<DWORD>(data.size());
    EXPECT_TRUE(E.Api.CPEncrypt(Prov, key, 0, FALSE, 0, data.data(), &len, static_cast<DWORD>(k)));
    slow.join();
    ASSERT_TRUE(firstOk);
    EXPECT_TRUE(OpenSSLVerify(E.Key.CertPEM, firstResult, Bytes(first.begin(), first.end()), nullptr));
    Bytes secondResult(k);
    len = 0;
    ASSERT_TRUE(E.Api.CPEncrypt(Prov, key, 0, TRUE, 0, secondResult.data(), &len, static_cast<DWORD>(k)))
        << std::hex << GetLastError();
    ASSERT_EQ(k, len);
    EXPECT_TRUE(OpenSSLVerify(E.Key.CertPEM, secondResult, Bytes(second.begin(), second.end()), nullptr));
    EXPECT_TRUE(E.Api.CPDestroyKey(Prov, key));
}
