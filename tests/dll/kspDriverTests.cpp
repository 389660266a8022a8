// The key storage provider loaded from its built file and driven through its function table the way
// ncrypt.dll drives it, replaying the call orders of real CNG clients, against the reference signing
// service on loopback; every signature is checked with OpenSSL. The certificate is registered through
// the CSP library, loaded beside it as on Windows.
#include "dll/dllHarness.h"
#include "os/platNCrypt.h"
#include "support/testExec.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

using namespace dllharness;

namespace {

using Bytes = std::vector<uint8_t>;

struct TKspEnv {
    TTestRoot Root;
    TRefSigningService Service;
    TRefKeyInfo Key;
    std::string Token = "ksp-token-0123456789-0123456789-abcdef";
    TCspApi Csp;
    void* Library = nullptr;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* Table = nullptr;
    bool Ready = false;
};

TKspEnv& Env() {
    static std::unique_ptr<TKspEnv> env;
    if (env) return *env;
    env = std::make_unique<TKspEnv>();
    TKspEnv& e = *env;
    if (!e.Service.Key_Generate(e.Token, "Assinante KSP", 2048, TRefSerialTopBit::Set, &e.Key) ||
        !e.Service.Start()) {
        ADD_FAILURE() << "reference service: " << e.Service.LastError();
        return e;
    }
    const std::string caFile = e.Root.Path() + "/service-ca.pem";
    std::ofstream(caFile, std::ios::binary) << e.Service.CA_CertPEM();
    if (!WriteEndpointSettings("127.0.0.1:" + std::to_string(e.Service.Port()), caFile,
                               1500 * testTimeScale(), false, "")) {
        ADD_FAILURE() << "endpoint settings not written";
        return e;
    }
    if (!e.Csp.Load(LUCSP_CSP_LIBRARY) ||
        !e.Csp.TrelisServer_RegisterCertificate(e.Key.CertPEM.data(), static_cast<int>(e.Key.CertPEM.size()),
                                                e.Token.data(), static_cast<int>(e.Token.size()))) {
        ADD_FAILURE() << "certificate registration: " << e.Csp.Error;
        return e;
    }
    e.Library = dlopen(LUCSP_KSP_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    auto get = e.Library
                   ? reinterpret_cast<GetKeyStorageInterfaceFn>(dlsym(e.Library, "GetKeyStorageInterface"))
                   : nullptr;
    if (!get || get(u"Varno Key Storage Provider Server", &e.Table, 0) != 0 || !e.Table) {
        ADD_FAILURE() << "GetKeyStorageInterface: " << (e.Library ? "failed" : dlerror());
        return e;
    }
    e.Ready = true;
    return e;
}

std::u16string Wide(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

Bytes Digest(const EVP_MD* md, const std::string& message) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned len = 0;
    EVP_Digest(message.data(), message.size(), out.data(), &len, md, nullptr);
    out.resize(len);
    return out;
}

// The TLS 1.0/1.1 client signature's input: MD5 then SHA-1 of the handshake, no DigestInfo.
Bytes Md5Sha1(const std::string& message) {
    Bytes a = Digest(EVP_md5(), message), b = Digest(EVP_sha1(), message);
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const EVP_MD* MdOf(const char16_t* alg) {
    const std::u16string a = alg ? alg : u"";
    if (a == u"MD5") return EVP_md5();
    if (a == u"SHA1") return EVP_sha1();
    if (a == u"SHA256") return EVP_sha256();
    if (a == u"SHA384") return EVP_sha384();
    if (a == u"SHA512") return EVP_sha512();
    return nullptr;
}

// OpenSSL's verification of a CNG (big-endian) signature: PKCS #1 v1.5 with DigestInfo of md, without
// DigestInfo (md null), or PSS with MGF1 of md and the salt length.
bool OpenSSLVerify(const Bytes& sig, const Bytes& hash, const EVP_MD* md, bool pss, int salt) {
    const std::string& pem = Env().Key.CertPEM;
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (!cert) return false;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(X509_get0_pubkey(cert), nullptr);
    bool ok = ctx && EVP_PKEY_verify_init(ctx) == 1;
    if (ok && pss)
        ok = EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) == 1 &&
             EVP_PKEY_CTX_set_signature_md(ctx, md) == 1 && EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, md) == 1 &&
             EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, salt) == 1;
    else if (ok)
        ok = EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
             (!md || EVP_PKEY_CTX_set_signature_md(ctx, md) == 1);
    ok = ok && EVP_PKEY_verify(ctx, sig.data(), sig.size(), hash.data(), hash.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    X509_free(cert);
    return ok;
}

class KspDriver : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(E.Ready);
        E.Service.Fault_Set(TRefFault());
        T = E.Table;
    }
    NCRYPT_PROV_HANDLE OpenProvider() {
        NCRYPT_PROV_HANDLE prov = 0;
        EXPECT_EQ(0, T->OpenProvider(&prov, u"Varno Key Storage Provider Server", 0));
        return prov;
    }
    NCRYPT_KEY_HANDLE OpenKey(NCRYPT_PROV_HANDLE prov, DWORD spec = 0, DWORD flags = 0) {
        NCRYPT_KEY_HANDLE key = 0;
        std::u16string name = Wide(E.Key.SerialHex);
        EXPECT_EQ(0, T->OpenKey(prov, &key, name.c_str(), spec, flags));
        return key;
    }
    SECURITY_STATUS KeyDword(NCRYPT_PROV_HANDLE prov, NCRYPT_KEY_HANDLE key, const char16_t* name, DWORD* v) {
        DWORD got = 0;
        SECURITY_STATUS s =
            T->GetKeyProperty(prov, key, name, reinterpret_cast<PBYTE>(v), sizeof(*v), &got, 0);
        if (s == 0) {
            EXPECT_EQ(sizeof(DWORD), got);
        }
        return s;
    }
    // Size query, then the signature into a buffer of that size (Chromium's order).
    SECURITY_STATUS Sign(NCRYPT_PROV_HANDLE prov, NCRYPT_KEY_HANDLE key, void* info, const Bytes& hash,
                         DWORD flags, Bytes* sig) {
        DWORD size = 0;
        Bytes h = hash;
        SECURITY_STATUS s =
            T->SignHash(prov, key, info, h.data(), static_cast<DWORD>(h.size()), nullptr, 0, &size, flags);
        if (s != 0) return s;
        sig->assign(size, 0);
        s = T->SignHash(prov, key, info, h.data(), static_cast<DWORD>(h.size()), sig->data(), size, &size,
                        flags);
        sig->resize(size);
        return s;
    }
    TKspEnv& E = Env();
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* T = nullptr;
};

TEST_F(KspDriver, TableIsVersionOneWithEveryEntry) {
    EXPECT_EQ(1, T->Version.MajorVersion);
    EXPECT_EQ(0, T->Version.MinorVersion);
    void* const* entries = reinterpret_cast<void* const*>(&T->OpenProvider);
    for (int i = 0; i < LU_NCRYPT_TABLE_ENTRIES; ++i)
        EXPECT_NE(nullptr, entries[i]) << "entry " << i;
}

// .NET: CngKey.Open (src/libraries/System.Security.Cryptography/src/System/Security/Cryptography/
// CngKey.Open.cs in dotnet/runtime) opens the key with dwLegacyKeySpec 0 and NCRYPT_SILENT_FLAG for
// CngKeyOpenOptions.Silent; RSACng's constructor checks "Algorithm Group"; CngKey.KeySize
// (CngKey.Properties / CngKey.cs) reads "PublicKeyLength" and falls back to "Length"; CngKey.IsEphemeral
// reads the "CLR IsEphemeral" property, absent here (only NTE_NOT_FOUND counts as absent);
// RSACng.SignHash (RSACng.SignVerify.cs) hands a buffer of KeySize/8 bytes without a size query, PSS
// with the salt as long as the hash; ExportParameters(false) exports BCRYPT_RSAPUBLIC_BLOB.
TEST_F(KspDriver, DotNetRsaCng) {
    NCRYPT_PROV_HANDLE prov = OpenProvider();
    NCRYPT_KEY_HANDLE key = OpenKey(prov, 0, NCRYPT_SILENT_FLAG);
    char16_t group[16] = {};
    DWORD got = 0;
    ASSERT_EQ(0, T->GetKeyProperty(prov, key, u"Algorithm Group", reinterpret_cast<PBYTE>(group),
                                   sizeof(group), &got, 0));
    EXPECT_EQ(std::u16string(u"RSA"), std::u16string(group));
    BYTE flag = 0;
    EXPECT_EQ(NTE_NOT_FOUND, T->GetKeyProperty(prov, key, u"CLR IsEphemeral", &flag, 1, &got, 0));
    DWORD bits = 0, length = 0;
    ASSERT_EQ(0, KeyDword(prov, key, u"PublicKeyLength", &bits));
    ASSERT_EQ(0, KeyDword(prov, key, u"Length", &length));
    EXPECT_EQ(2048u, bits);
    EXPECT_EQ(bits, length);

    const struct {
        DWORD Flags;
        const char16_t* Alg;
    } kSigns[] = {{BCRYPT_PAD_PKCS1, u"SHA256"}, {BCRYPT_PAD_PSS, u"SHA256"}, {BCRYPT_PAD_PSS, u"SHA384"}};
    for (const auto& c : kSigns) {
        SCOPED_TRACE(std::string(c.Alg, c.Alg + std::char_traits<char16_t>::length(c.Alg)));
        Bytes hash = Digest(MdOf(c.Alg), "dotnet");
        BCRYPT_PSS_PADDING_INFO pss{c.Alg, static_cast<ULONG>(hash.size())};
        BCRYPT_PKCS1_PADDING_INFO pkcs1{c.Alg};
        void* info = c.Flags == BCRYPT_PAD_PSS ? static_cast<void*>(&pss) : static_cast<void*>(&pkcs1);
        Bytes sig(bits / 8);
        DWORD size = 0;
        ASSERT_EQ(0, T->SignHash(prov, key, info, hash.data(), static_cast<DWORD>(hash.size()), sig.data(),
                                 static_cast<DWORD>(sig.size()), &size, c.Flags));
        EXPECT_EQ(sig.size(), size);
        EXPECT_TRUE(
            OpenSSLVerify(sig, hash, MdOf(c.Alg), c.Flags == BCRYPT_PAD_PSS, static_cast<int>(hash.size())));
        EXPECT_EQ(0, T->VerifySignature(prov, key, info, hash.data(), static_cast<DWORD>(hash.size()),
                                        sig.data(), static_cast<DWORD>(sig.size()), c.Flags));
        sig[10] ^= 1;
        EXPECT_EQ(NTE_BAD_SIGNATURE,
                  T->VerifySignature(prov, key, info, hash.data(), static_cast<DWORD>(hash.size()),
                                     sig.data(), static_cast<DWORD>(sig.size()), c.Flags));
    }

    DWORD size = 0;
    ASSERT_EQ(0, T->ExportKey(prov, key, 0, u"RSAPUBLICBLOB", nullptr, nullptr, 0, &size, 0));
    Bytes blob(size);
    ASSERT_EQ(0, T->ExportKey(prov, key, 0, u"RSAPUBLICBLOB", nullptr, blob.data(), size, &size, 0));
    BCRYPT_RSAKEY_BLOB header;
    memcpy(&header, blob.data(), sizeof(header));
    EXPECT_EQ(static_cast<ULONG>(BCRYPT_RSAPUBLIC_MAGIC), header.Magic);
    EXPECT_EQ(2048u, header.BitLength);
    EXPECT_EQ(sizeof(header) + header.cbPublicExp + header.cbModulus, blob.size());
    EXPECT_EQ(0, T->FreeKey(prov, key));
    EXPECT_EQ(0, T->FreeProvider(prov));
}

// Chromium's client certificate (net/ssl/ssl_platform_key_win.cc, SSLPlatformKeyCNG): the key's
// "Algorithm Group" and "Length" decide the algorithms offered; each signature asks NCryptSignHash for
// the size first, then signs: PKCS #1 with the hash's name, without one for TLS 1.0/1.1's MD5+SHA-1, and
// PSS with the salt as long as the hash (TLS 1.3). Salt 0 is what other PSS callers may ask for.
TEST_F(KspDriver, ChromiumClientCertificateSignatures) {
    NCRYPT_PROV_HANDLE prov = OpenProvider();
    NCRYPT_KEY_HANDLE key = OpenKey(prov);
    DWORD bits = 0;
    ASSERT_EQ(0, KeyDword(prov, key, u"Length", &bits));
    const struct {
        DWORD Flags;
        const char16_t* Alg;
        int Salt; // -1: the hash's length
    } kCases[] = {
        {BCRYPT_PAD_PKCS1, u"SHA1", 0},   {BCRYPT_PAD_PKCS1, u"SHA256", 0}, {BCRYPT_PAD_PKCS1, u"SHA384", 0},
        {BCRYPT_PAD_PKCS1, u"SHA512", 0}, {BCRYPT_PAD_PKCS1, u"MD5", 0},    {BCRYPT_PAD_PKCS1, nullptr, 0},
        {BCRYPT_PAD_PSS, u"SHA1", -1},    {BCRYPT_PAD_PSS, u"SHA256", -1},  {BCRYPT_PAD_PSS, u"SHA384", -1},
        {BCRYPT_PAD_PSS, u"SHA512", -1},  {BCRYPT_PAD_PSS, u"SHA256", 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(::testing::Message()
                     << c.Flags << " " << (c.Alg ? "hash" : "md5+sha1") << " salt " << c.Salt);
        Bytes hash = c.Alg ? Digest(MdOf(c.Alg), "chromium handshake") : Md5Sha1("chromium handshake");
        const int salt = c.Salt < 0 ? static_cast<int>(hash.size()) : c.Salt;
        BCRYPT_PSS_PADDING_INFO pss{c.Alg, static_cast<ULONG>(salt)};
        BCRYPT_PKCS1_PADDING_INFO pkcs1{c.Alg};
        const bool isPss = c.Flags == BCRYPT_PAD_PSS;
        Bytes sig;
        ASSERT_EQ(0, Sign(prov, key, isPss ? static_cast<void*>(&pss) : static_cast<void*>(&pkcs1), hash,
                          c.Flags, &sig));
        EXPECT_EQ(bits / 8, sig.size());
        EXPECT_TRUE(OpenSSLVerify(sig, hash, MdOf(c.Alg), isPss, salt));
    }
    EXPECT_EQ(0, T->FreeKey(prov, key));
    EXPECT_EQ(0, T->FreeProvider(prov));
}

// signtool (mssign32 through CryptAcquireCertificatePrivateKey) releases the provider before the key
// it signs with: the key keeps its provider alive until it goes.
TEST_F(KspDriver, SigntoolFreesProviderBeforeKey) {
    NCRYPT_PROV_HANDLE prov = OpenProvider();
    NCRYPT_KEY_HANDLE key = OpenKey(prov, AT_SIGNATURE);
    ASSERT_EQ(0, T->FreeProvider(prov));
    EXPECT_EQ(NTE_INVALID_HANDLE, T->FreeProvider(prov));
    Bytes hash = Digest(EVP_sha256(), "signtool"), sig;
    BCRYPT_PKCS1_PADDING_INFO pkcs1{u"SHA256"};
    ASSERT_EQ(0, Sign(prov, key, &pkcs1, hash, BCRYPT_PAD_PKCS1, &sig));
    EXPECT_TRUE(OpenSSLVerify(sig, hash, EVP_sha256(), false, 0));
    EXPECT_EQ(0, T->FreeKey(prov, key));
    EXPECT_EQ(NTE_INVALID_HANDLE, T->FreeKey(prov, key));
    NCRYPT_KEY_HANDLE again = 0;
    std::u16string name = Wide(E.Key.SerialHex);
    EXPECT_EQ(NTE_INVALID_HANDLE, T->OpenKey(prov, &again, name.c_str(), 0, 0));
}

// certutil -csp "<provider>" -key: NCryptEnumKeys until NTE_NO_MORE_ITEMS, each name freed with
// NCryptFreeBuffer and the state at the end; then each key opened by its name, its certificate read.
TEST_F(KspDriver, CertutilEnumeratesKeys) {
    NCRYPT_PROV_HANDLE prov = OpenProvider();
    std::vector<std::u16string> names;
    PVOID state = nullptr;
    NCryptKeyName* name = nullptr;
    SECURITY_STATUS s;
    while ((s = T->EnumKeys(prov, nullptr, &name, &state, 0)) == 0) {
        names.emplace_back(name->pszName);
        EXPECT_EQ(std::u16string(u"RSA"), std::u16string(name->pszAlgid));
        T->FreeBuffer(name);
    }
    EXPECT_EQ(NTE_NO_MORE_ITEMS, s);
    T->FreeBuffer(state);
    ASSERT_NE(names.end(), std::find(names.begin(), names.end(), Wide(E.Key.SerialHex)));
    for (const auto& n : names) {
        NCRYPT_KEY_HANDLE key = 0;
        ASSERT_EQ(0, T->OpenKey(prov, &key, n.c_str(), 0, 0));
        DWORD size = 0;
        ASSERT_EQ(0, T->GetKeyProperty(prov, key, u"SmartCardKeyCertificate", nullptr, 0, &size, 0));
        Bytes der(size);
        ASSERT_EQ(0, T->GetKeyProperty(prov, key, u"SmartCardKeyCertificate", der.data(), size, &size, 0));
        const unsigned char* p = der.data();
        X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
        EXPECT_NE(nullptr, cert);
        X509_free(cert);
        EXPECT_EQ(0, T->FreeKey(prov, key));
    }
    EXPECT_EQ(0, T->FreeProvider(prov));
}

// One case per refused call: the code a caller gets.
TEST_F(KspDriver, RefusedCalls) {
    NCRYPT_PROV_HANDLE prov = OpenProvider();
    NCRYPT_KEY_HANDLE key = OpenKey(prov);
    Bytes h256 = Digest(EVP_sha256(), "refused"), sig(256);
    BCRYPT_PKCS1_PADDING_INFO pkcs1{u"SHA256"};
    BCRYPT_PSS_PADDING_INFO bigSalt{u"SHA256", 256 - 32 - 1};
    DWORD size = 0;
    auto sign = [&](void* info, Bytes hash, DWORD flags, DWORD cb) {
        return T->SignHash(prov, key, info, hash.data(), static_cast<DWORD>(hash.size()), sig.data(), cb,
                           &size, flags);
    };
    EXPECT_EQ(NTE_BAD_FLAGS, sign(&pkcs1, h256, 0, 256));
    EXPECT_EQ(NTE_BAD_FLAGS, sign(nullptr, Bytes(256, 1), NCRYPT_NO_PADDING_FLAG, 256));
    EXPECT_EQ(NTE_INVALID_PARAMETER, sign(&pkcs1, Bytes(20, 1), BCRYPT_PAD_PKCS1, 256));
    EXPECT_EQ(NTE_INVALID_PARAMETER, sign(&bigSalt, h256, BCRYPT_PAD_PSS, 256));
    EXPECT_EQ(NTE_BUFFER_TOO_SMALL, sign(&pkcs1, h256, BCRYPT_PAD_PKCS1, 255));
    EXPECT_EQ(256u, size);

    E.Service.Fault_Set(TRefFault{TRefFaultMode::WrongSignature, 0, 1});
    BCRYPT_PSS_PADDING_INFO pss{u"SHA256", 32};
    EXPECT_NE(0, sign(&pss, h256, BCRYPT_PAD_PSS, 256));

    NCRYPT_KEY_HANDLE none = 0;
    EXPECT_EQ(NTE_BAD_KEYSET, T->OpenKey(prov, &none, u"00DEADBEEF", 0, 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER, T->OpenKey(prov, &none, Wide(E.Key.SerialHex).c_str(), 3, 0));
    std::u16string lower = Wide(E.Key.SerialHex);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char16_t c) { return c >= u'A' && c <= u'F' ? c + 32 : c; });
    ASSERT_EQ(0, T->OpenKey(prov, &none, lower.c_str(), AT_KEYEXCHANGE, 0));
    EXPECT_EQ(0, T->FreeKey(prov, none));

    BYTE small[2];
    EXPECT_EQ(NTE_NOT_FOUND, T->GetKeyProperty(prov, key, u"Unknown", small, sizeof(small), &size, 0));
    EXPECT_EQ(NTE_BUFFER_TOO_SMALL, T->GetKeyProperty(prov, key, u"Name", small, sizeof(small), &size, 0));
    EXPECT_EQ((E.Key.SerialHex.size() + 1) * 2, size);
    EXPECT_EQ(0, T->SetKeyProperty(prov, key, u"HWND Handle", small, sizeof(small), 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, T->SetKeyProperty(prov, key, u"Export Policy", small, sizeof(small), 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED,
              T->ExportKey(prov, key, 0, u"RSAPRIVATEBLOB", nullptr, nullptr, 0, &size, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, T->Decrypt(prov, key, sig.data(), 256, nullptr, sig.data(), 256, &size, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, T->IsAlgSupported(prov, u"ECDSA_P256", 0));
    EXPECT_EQ(0, T->IsAlgSupported(prov, u"RSA", 0));

    EXPECT_EQ(0, T->FreeKey(prov, key));
    EXPECT_EQ(NTE_INVALID_HANDLE, sign(&pkcs1, h256, BCRYPT_PAD_PKCS1, 256));
    EXPECT_EQ(0, T->FreeProvider(prov));
}

} // namespace
