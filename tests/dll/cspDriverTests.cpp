// The provider library loaded at run time and driven through its entry points as CryptoAPI does. Each
// test gets its own data root (registry, certificate store and trace file) and its own load of the
// library; the test certificates are installed with the store class, as the install export does.
#include "certificates/libCertificate.h"
#include "certificates/libCertificateStore.h"
#include "dll/cspDriver.h"
#include "platform/TVarnoRegedit.h"
#include "support/testCerts.h"
#include "support/testRoot.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

namespace {

using testcerts::Bytes;

const char* kProviderName = "Varno Base Cryptographic Provider Server";
const DWORD kUnset = 0xDEADBEEF;

// Every call: the BOOL and the last error read right after it, the error preset so that a call that
// does not set it is caught.
#define CSP_OK(call)                                                                                         \
    do {                                                                                                     \
        SetLastError(kUnset);                                                                                \
        BOOL ok_ = (call);                                                                                   \
        DWORD error_ = GetLastError();                                                                       \
        EXPECT_EQ(TRUE, ok_) << #call;                                                                       \
        EXPECT_EQ(0u, error_) << #call;                                                                      \
    } while (0)

// A clean-up call: it succeeds and leaves the caller's last error as it was.
#define CSP_CLEANS(call)                                                                                     \
    do {                                                                                                     \
        SetLastError(kUnset);                                                                                \
        BOOL ok_ = (call);                                                                                   \
        DWORD error_ = GetLastError();                                                                       \
        EXPECT_EQ(TRUE, ok_) << #call;                                                                       \
        EXPECT_EQ(kUnset, error_) << #call;                                                                  \
    } while (0)

#define CSP_FAILS(code, call)                                                                                \
    do {                                                                                                     \
        SetLastError(kUnset);                                                                                \
        BOOL ok_ = (call);                                                                                   \
        DWORD error_ = GetLastError();                                                                       \
        EXPECT_EQ(FALSE, ok_) << #call;                                                                      \
        EXPECT_EQ(static_cast<DWORD>(code), error_) << #call << " error 0x" << std::hex << error_;           \
    } while (0)

// A service certificate in the personal store: key, certificate and its container name.
struct TServiceCert {
    TServiceCert(const testcerts::TTestKey& key, const Bytes& serial) : Key(key) {
        testcerts::TTestCertOptions opt;
        opt.Serial = serial;
        opt.CommonName = "Driver Test " + testcerts::ToHex(serial);
        Cert = testcerts::TTestCert::SelfSigned(Key, opt);
        Serial = Cert.SerialHex();
    }
    testcerts::TTestKey Key;
    testcerts::TTestCert Cert;
    std::string Serial;
};

bool InstallInStore(const TServiceCert& sc, const char* providerName) {
    TCertificate cert;
    std::string pem = sc.Cert.Pem();
    if (!cert.LoadCert_FromMemory(0, pem.data(), static_cast<uint32_t>(pem.size()), providerName, false))
        return false;
    cert.StoreType = LU_STORE_TYPE_MY;
    TCertificateStore store;
    return store.InstallCert(&cert, providerName);
}

bool StoreToken(const std::string& serial, const std::string& token) {
    TVarnoRegedit reg(HKEY_CURRENT_USER);
    return reg.SetGrupoName(GRUPO_NAME_CERTIFICATE, serial.c_str(), KEY_WOW64_64KEY) &&
           reg.RegSetValueW("Token", GRUPO_NAME_CERTIFICATE, REG_BINARY, token.data(),
                            static_cast<DWORD>(token.size()));
}

// A service that answers at once: nothing listens there.
bool AimAtClosedPort() {
    TVarnoRegedit reg;
    const char host[] = "127.0.0.1:1";
    return reg.SetGrupoName(GRUPO_NAME_CONEX, "Conex", KEY_WOW64_32KEY) &&
           reg.RegSetValueW("CNX_ServiceHost", GRUPO_NAME_CONEX, REG_SZ, host, sizeof(host));
}

// "CSP_Compatibility" as an administrator would set it.
bool SetCompatibility(DWORD value) {
    TVarnoRegedit reg;
    return reg.SetGrupoName(GRUPO_NAME_CONEX, "Conex", KEY_WOW64_32KEY) &&
           reg.RegSetValueW("CSP_Compatibility", GRUPO_NAME_CONEX, REG_DWORD, &value, sizeof(value));
}

using testcerts::OpenSSLSign;

Bytes Reversed(Bytes b) {
    std::reverse(b.begin(), b.end());
    return b;
}

Bytes Pattern(size_t n, uint8_t start = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(start + i);
    return b;
}

class CspDriver : public ::testing::Test {
  protected:
    CspDriver()
        : Main(testcerts::TTestKey::Rsa(2048), {0x4A, 0x1B, 0x2C, 0x3D}),
          Second(testcerts::TTestKey::Rsa(1024), {0x7E, 0x01}),
          Foreign(testcerts::TTestKey::Rsa(1024), {0x33, 0x44}) {}

    void SetUp() override {
        ASSERT_TRUE(InstallInStore(Main, kProviderName));
        ASSERT_TRUE(InstallInStore(Second, kProviderName));
        ASSERT_TRUE(InstallInStore(Foreign, "Some Other Provider"));
        ASSERT_TRUE(AimAtClosedPort());
        ASSERT_TRUE(SetCompatibility(Compatibility()));
        ASSERT_TRUE(Csp.Load()) << Csp.Error;
    }
    void TearDown() override { Csp.Unload(); }
    // These suites hold the provider to its refusals; CspCompat below runs with the default.
    virtual DWORD Compatibility() const { return 0; }

    HCRYPTPROV Acquire(const std::string& container, DWORD flags = 0) {
        TAdvapiVTable vtable;
        HCRYPTPROV prov = 0;
        CSP_OK(Csp.CPAcquireContext(&prov, container.c_str(), flags, &vtable.Table));
        EXPECT_TRUE(vtable.Unchanged());
        EXPECT_NE(0u, prov);
        return prov;
    }

    HCRYPTHASH Hash(HCRYPTPROV prov, ALG_ID alg, const Bytes& value) {
        HCRYPTHASH hash = 0;
        CSP_OK(Csp.CPCreateHash(prov, alg, 0, 0, &hash));
        if (!value.empty()) CSP_OK(Csp.CPSetHashParam(prov, hash, HP_HASHVAL, value.data(), 0));
        return hash;
    }

    DWORD HashDword(HCRYPTPROV prov, HCRYPTHASH hash, DWORD param) {
        DWORD value = kUnset, size = sizeof(value);
        CSP_OK(Csp.CPGetHashParam(prov, hash, param, reinterpret_cast<BYTE*>(&value), &size, 0));
        EXPECT_EQ(4u, size);
        return value;
    }

    std::string TraceText() {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(Root.Path()))
            if (entry.path().filename() == "WIN32_LUKeyCSP.log") return ReadWholeFile(entry.path().string());
        return "";
    }
    static size_t Occurrences(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
            ++n;
        return n;
    }
    size_t StoreReads() { return Occurrences(TraceText(), "<TLumidra::Load_CertStore>"); }

    TTestRoot Root;
    TServiceCert Main;
    TServiceCert Second;
    TServiceCert Foreign;
    TCspLibrary Csp;
};

} // namespace

// ---------------------------------------------------------------------------------------------------
// Library and context calls

TEST_F(CspDriver, ExportsTheTwentyEightEntryPoints) {
    EXPECT_EQ(0, Csp.Missing);
}

TEST_F(CspDriver, AcquireChecksArgumentsAndFlags) {
    HCRYPTPROV prov = 0;
    TAdvapiVTable vtable;
    CSP_FAILS(NTE_INVALID_PARAMETER, Csp.CPAcquireContext(&prov, nullptr, 0, &vtable.Table));
    CSP_FAILS(NTE_INVALID_PARAMETER,
              Csp.CPAcquireContext(&prov, nullptr, CRYPT_VERIFYCONTEXT, &vtable.Table));
    CSP_FAILS(NTE_INVALID_PARAMETER, Csp.CPAcquireContext(nullptr, Main.Serial.c_str(), 0, &vtable.Table));
    for (DWORD flag : std::vector<DWORD>{CRYPT_NEWKEYSET, CRYPT_DELETEKEYSET, CRYPT_VERIFYCONTEXT,
                                         CRYPT_MACHINE_KEYSET, CRYPT_DEFAULT_CONTAINER_OPTIONAL, 0x10000000u})
        CSP_FAILS(NTE_BAD_FLAGS, Csp.CPAcquireContext(&prov, Main.Serial.c_str(), flag, &vtable.Table));
    CSP_FAILS(NTE_BAD_FLAGS, Csp.CPAcquireContext(&prov, Main.Serial.c_str(),
                                                  CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET, &vtable.Table));
    CSP_FAILS(NTE_NO_KEY, Csp.CPAcquireContext(&prov, "0102", 0, &vtable.Table));
    CSP_FAILS(NTE_NO_KEY, Csp.CPAcquireContext(&prov, Foreign.Serial.c_str(), 0, &vtable.Table));
    EXPECT_EQ(0u, prov);
    EXPECT_TRUE(vtable.Unchanged());

    // Each failure closed its session again; the store, unchanged, was read by the first one only.
    std::string trace = TraceText();
    EXPECT_EQ(1u, Occurrences(trace, "<TLumidra::Load_CertStore>"));
    EXPECT_EQ(2u, Occurrences(trace, "Flag CRYPT_NEWKEYSET: Is not Implemented"));
    EXPECT_EQ(1u, Occurrences(trace, "Flag CRYPT_DELETEKEYSET: Is not Implemented"));

    // A context opened now is a normal one.
    HCRYPTPROV silent = Acquire(Main.Serial, CRYPT_SILENT);
    CSP_CLEANS(Csp.CPReleaseContext(silent, 0));
}

TEST_F(CspDriver, ContainerNameIsMatchedUpperCased) {
    std::string lower = Main.Serial;
    for (char& c : lower)
        c = static_cast<char>(tolower(c));
    ASSERT_NE(lower, Main.Serial);
    HCRYPTPROV prov = Acquire(lower);
    char name[64] = {0};
    DWORD size = sizeof(name);
    CSP_OK(Csp.CPGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &size, 0));
    EXPECT_EQ(Main.Serial, name);
    EXPECT_EQ(Main.Serial.size() + 1, size);
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
}

TEST_F(CspDriver, ProviderParameters) {
    HCRYPTPROV prov = Acquire(Main.Serial);
    const std::string name = kProviderName;
    DWORD size = 0;
    CSP_OK(Csp.CPGetProvParam(prov, PP_NAME, nullptr, &size, 0));
    EXPECT_EQ(name.size() + 1, size);
    std::vector<char> buffer(name.size(), 'x');
    size = static_cast<DWORD>(buffer.size());
    CSP_FAILS(ERROR_MORE_DATA,
              Csp.CPGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(buffer.data()), &size, 0));
    EXPECT_EQ(name.size() + 1, size);
    EXPECT_EQ(std::vector<char>(name.size(), '\0'), buffer);
    buffer.resize(name.size() + 1);
    CSP_OK(Csp.CPGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(buffer.data()), &size, 0));
    EXPECT_EQ(name, buffer.data());

    DWORD value = 0;
    size = 4;
    CSP_FAILS(ERROR_NO_MORE_ITEMS,
              Csp.CPGetProvParam(prov, PP_ENUMALGS, reinterpret_cast<BYTE*>(&value), &size, CRYPT_FIRST));
    CSP_FAILS(ERROR_INVALID_PARAMETER,
              Csp.CPGetProvParam(prov, PP_USE_HARDWARE_RNG, reinterpret_cast<BYTE*>(&value), &size, 0));
    CSP_FAILS(NTE_BAD_TYPE,
              Csp.CPGetProvParam(prov, PP_ADMIN_PIN, reinterpret_cast<BYTE*>(&value), &size, 0));
    CSP_FAILS(NTE_INVALID_PARAMETER, Csp.CPGetProvParam(prov, PP_NAME, nullptr, nullptr, 0));
    CSP_OK(Csp.CPGetProvParam(prov, PP_VERSION, reinterpret_cast<BYTE*>(&value), &size, 0));
    EXPECT_EQ(0x9999u, value);

    for (DWORD param : std::vector<DWORD>{PP_KEYEXCHANGE_PIN, PP_SIGNATURE_PIN, PP_CLIENT_HWND, 0xFFFFu})
        CSP_FAILS(NTE_BAD_TYPE, Csp.CPSetProvParam(prov, param, reinterpret_cast<BYTE*>(&value), 0));
    CSP_FAILS(NTE_INVALID_PARAMETER, Csp.CPSetProvParam(prov, PP_KEYEXCHANGE_PIN, nullptr, 0));
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
}

TEST_F(CspDriver, RefusingEntryPointsNeedNoContext) {
    BYTE buffer[16];
    DWORD len = sizeof(buffer);
    HCRYPTKEY key = 0;
    HCRYPTHASH hash = 0;
    CSP_FAILS(NTE_NOT_SUPPORTED, Csp.CPGenRandom(0, sizeof(buffer), buffer));
    CSP_FAILS(NTE_NOT_SUPPORTED, Csp.CPDecrypt(0, 0, 0, TRUE, 0, buffer, &len));
    CSP_FAILS(NTE_NOT_SUPPORTED, Csp.CPDeriveKey(0, CALG_3DES, 0, 0, &key));
    CSP_FAILS(NTE_NOT_SUPPORTED, Csp.CPDuplicateHash(0, 0, nullptr, 0, &hash));
    CSP_FAILS(NTE_NOT_SUPPORTED, Csp.CPDuplicateKey(0, 0, nullptr, 0, &key));
    CSP_FAILS(NTE_NOT_SUPPORTED, Csp.CPGenKey(0, AT_SIGNATURE, 0, &key));
    CSP_FAILS(NTE_NOT_SUPPORTED, Csp.CPHashData(0, 0, buffer, sizeof(buffer), 0));
    CSP_FAILS(NTE_NOT_SUPPORTED, Csp.CPHashSessionKey(0, 0, 0, 0));
    CSP_FAILS(NTE_NOT_SUPPORTED, Csp.CPImportKey(0, buffer, sizeof(buffer), 0, 0, &key));

    // The same with an open context and garbage everywhere else.
    HCRYPTPROV prov = Acquire(Main.Serial);
    CSP_FAILS(NTE_NOT_SUPPORTED, Csp.CPHashData(prov, 0x1234, nullptr, 99, 0));
    CSP_FAILS(NTE_NOT_SUPPORTED, Csp.CPGenRandom(prov, 99, nullptr));
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
}

TEST_F(CspDriver, TheStoreIsReadWhenTheFirstContextOpens) {
    // Loading read nothing; the provider name needs a context only for the call itself.
    EXPECT_EQ(0u, StoreReads());
    HCRYPTPROV a = Acquire(Main.Serial);
    EXPECT_EQ(1u, StoreReads());
    char name[64];
    DWORD size = sizeof(name);
    CSP_OK(Csp.CPGetProvParam(a, PP_NAME, reinterpret_cast<BYTE*>(name), &size, 0));
    EXPECT_STREQ(kProviderName, name);

    HCRYPTPROV b = Acquire(Second.Serial);
    EXPECT_EQ(1u, StoreReads());
    CSP_CLEANS(Csp.CPReleaseContext(a, 0));
    CSP_CLEANS(Csp.CPReleaseContext(b, 0));

    // Opened and released in turn: the list read then serves while the store stays as it was...
    a = Acquire(Main.Serial);
    CSP_CLEANS(Csp.CPReleaseContext(a, 0));
    b = Acquire(Second.Serial);
    CSP_CLEANS(Csp.CPReleaseContext(b, 0));
    EXPECT_EQ(1u, StoreReads());
    // ...and a certificate removed while no context was open is gone at the next one.
    TCertificate removed;
    std::string pem = Second.Cert.Pem();
    ASSERT_TRUE(
        removed.LoadCert_FromMemory(0, pem.data(), static_cast<uint32_t>(pem.size()), kProviderName, false));
    ASSERT_TRUE(TCertificateStore().RemoveAllCertProvider("MY", kProviderName, &removed));
    TAdvapiVTable vtable;
    HCRYPTPROV none = 0;
    CSP_FAILS(NTE_NO_KEY, Csp.CPAcquireContext(&none, Second.Serial.c_str(), 0, &vtable.Table));
    EXPECT_EQ(2u, StoreReads());
    a = Acquire(Main.Serial);
    CSP_CLEANS(Csp.CPReleaseContext(a, 0));
    EXPECT_EQ(2u, StoreReads());

    // A released or never issued provider handle.
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPReleaseContext(a, 0));
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPReleaseContext(0, 0));
}

TEST_F(CspDriver, ReleasingAContextReleasesItsKeysAndHashesOnly) {
    HCRYPTPROV a = Acquire(Main.Serial);
    HCRYPTPROV b = Acquire(Main.Serial);
    EXPECT_NE(a, b);
    HCRYPTKEY userKey = 0, otherKey = 0;
    CSP_OK(Csp.CPGetUserKey(a, AT_SIGNATURE, &userKey));
    CSP_OK(Csp.CPGetUserKey(b, AT_SIGNATURE, &otherKey));
    HCRYPTHASH hash = Hash(a, CALG_SHA1, Pattern(20));
    HCRYPTHASH otherHash = Hash(b, CALG_SHA1, Pattern(20));
    // Hash handles are not tied to the context they are used with.
    EXPECT_EQ(20u, HashDword(b, hash, HP_HASHSIZE));
    CSP_CLEANS(Csp.CPReleaseContext(a, 0));
    DWORD size = 4, value = 0;
    CSP_FAILS(ERROR_INVALID_HANDLE,
              Csp.CPGetHashParam(b, hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&value), &size, 0));
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPDestroyKey(b, userKey));
    EXPECT_EQ(20u, HashDword(b, otherHash, HP_HASHSIZE));
    CSP_CLEANS(Csp.CPDestroyKey(b, otherKey));
    CSP_CLEANS(Csp.CPReleaseContext(b, 0));
    // The last release took everything with it.
    HCRYPTPROV c = Acquire(Main.Serial);
    CSP_FAILS(ERROR_INVALID_HANDLE,
              Csp.CPGetHashParam(c, otherHash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&value), &size, 0));
    CSP_CLEANS(Csp.CPReleaseContext(c, 0));
}

TEST_F(CspDriver, UnloadOfThePinnedLibraryKeepsItsContextsAndTheLastError) {
    HCRYPTPROV prov = Acquire(Main.Serial);
    HCRYPTKEY key = 0;
    CSP_OK(Csp.CPGetUserKey(prov, AT_KEYEXCHANGE, &key));
    Hash(prov, CALG_SHA_256, Pattern(32));
    HCRYPTPROV none = 0;
    CSP_FAILS(NTE_NO_KEY, Csp.CPAcquireContext(&none, "FFFF", 0, nullptr));
    // advapi32 may unload right here; the application then reads the error of the failed call.
    Csp.Unload();
    EXPECT_EQ(static_cast<DWORD>(NTE_NO_KEY), GetLastError());
    SetLastError(static_cast<DWORD>(NTE_BAD_SIGNATURE));
    ASSERT_TRUE(Csp.Load()) << Csp.Error;
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_SIGNATURE), GetLastError());
    // The first context pinned the library: the unload left it in place, the context still open.
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPReleaseContext(prov, 0));
}

// ---------------------------------------------------------------------------------------------------
// Hashes

TEST_F(CspDriver, HashParameters) {
    HCRYPTPROV prov = Acquire(Main.Serial);
    HCRYPTHASH sha256 = Hash(prov, CALG_SHA_256, {});
    EXPECT_EQ(32u, HashDword(prov, sha256, HP_HASHSIZE));
    EXPECT_EQ(static_cast<DWORD>(CALG_SHA_256), HashDword(prov, sha256, HP_ALGID));
    DWORD size = 0;
    CSP_OK(Csp.CPGetHashParam(prov, sha256, HP_HASHSIZE, nullptr, &size, 0));
    EXPECT_EQ(4u, size);

    // The value before it was set: its length only.
    Bytes untouched(32, 0xEE);
    size = 32;
    CSP_OK(Csp.CPGetHashParam(prov, sha256, HP_HASHVAL, untouched.data(), &size, 0));
    EXPECT_EQ(32u, size);
    EXPECT_EQ(Bytes(32, 0xEE), untouched);

    HCRYPTHASH none = Hash(prov, 0, {});
    EXPECT_EQ(0u, HashDword(prov, none, HP_HASHSIZE));
    HCRYPTHASH failed = 0x55;
    CSP_FAILS(NTE_FAIL, Csp.CPCreateHash(prov, CALG_SSL3_SHAMD5, 0, 0, &failed));
    CSP_FAILS(NTE_FAIL, Csp.CPCreateHash(prov, CALG_HMAC, 0, 0, &failed));
    EXPECT_EQ(0x55u, failed);
    CSP_FAILS(NTE_INVALID_PARAMETER, Csp.CPCreateHash(prov, CALG_SHA1, 0, 0, nullptr));

    // SHA-1 reads exactly 20 bytes of a longer buffer.
    Bytes source = Pattern(64);
    HCRYPTHASH sha1 = Hash(prov, CALG_SHA1, source);
    Bytes value(20, 0);
    size = 20;
    CSP_OK(Csp.CPGetHashParam(prov, sha1, HP_HASHVAL, value.data(), &size, 0));
    EXPECT_EQ(Bytes(source.begin(), source.begin() + 20), value);
    Bytes shortBuffer(19, 0xEE);
    size = 19;
    CSP_FAILS(ERROR_MORE_DATA, Csp.CPGetHashParam(prov, sha1, HP_HASHVAL, shortBuffer.data(), &size, 0));
    EXPECT_EQ(20u, size);
    EXPECT_EQ(Bytes(19, 0xEE), shortBuffer);

    CSP_FAILS(NTE_BAD_TYPE, Csp.CPSetHashParam(prov, sha1, HP_HMAC_INFO, value.data(), 0));
    CSP_FAILS(NTE_BAD_HASH, Csp.CPSetHashParam(prov, sha1, HP_HASHVAL, nullptr, 0));
    CSP_FAILS(NTE_BAD_HASH, Csp.CPGetHashParam(prov, sha1, HP_ALGID, value.data(), nullptr, 0));

    CSP_CLEANS(Csp.CPDestroyHash(prov, sha1));
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPDestroyHash(prov, sha1));
    CSP_FAILS(NTE_INVALID_PARAMETER, Csp.CPDestroyHash(prov, 0));
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
}

// ---------------------------------------------------------------------------------------------------
// Keys

TEST_F(CspDriver, UserKeysAndKeyParameters) {
    HCRYPTPROV prov = Acquire(Main.Serial);
    HCRYPTKEY k1 = 0, k2 = 0;
    CSP_OK(Csp.CPGetUserKey(prov, AT_SIGNATURE, &k1));
    CSP_OK(Csp.CPGetUserKey(prov, 77, &k2));
    EXPECT_NE(k1, k2);
    EXPECT_NE(prov, k1);
    CSP_FAILS(NTE_INVALID_PARAMETER, Csp.CPGetUserKey(prov, AT_SIGNATURE, nullptr));

    DWORD value = 0, size = 4;
    CSP_OK(Csp.CPGetKeyParam(prov, k1, KP_KEYLEN, reinterpret_cast<BYTE*>(&value), &size, 0));
    EXPECT_EQ(2048u, value);
    CSP_OK(Csp.CPGetKeyParam(prov, k1, KP_BLOCKLEN, reinterpret_cast<BYTE*>(&value), &size, 0));
    EXPECT_EQ(2048u, value);
    // hKey is not looked at: one never issued answers from the context key.
    CSP_OK(Csp.CPGetKeyParam(prov, 0x1234567, KP_ALGID, reinterpret_cast<BYTE*>(&value), &size, 0));
    EXPECT_EQ(static_cast<DWORD>(CALG_RSA_KEYX), value);
    BYTE two[2];
    size = 2;
    CSP_FAILS(ERROR_MORE_DATA, Csp.CPGetKeyParam(prov, k1, KP_ALGID, two, &size, 0));
    EXPECT_EQ(2u, size);
    size = 0;
    CSP_OK(Csp.CPGetKeyParam(prov, k1, KP_CERTIFICATE, nullptr, &size, 0));
    EXPECT_EQ(Main.Cert.Der().size(), size);

    DWORD padding = 4;
    CSP_FAILS(NTE_BAD_FLAGS, Csp.CPSetKeyParam(prov, k1, KP_PADDING, reinterpret_cast<BYTE*>(&padding), 0));
    padding = ZERO_PADDING;
    CSP_OK(Csp.CPSetKeyParam(prov, k1, KP_PADDING, reinterpret_cast<BYTE*>(&padding), 0));
    DWORD mode = CRYPT_MODE_CBC;
    CSP_FAILS(NTE_BAD_TYPE, Csp.CPSetKeyParam(prov, k1, KP_MODE, reinterpret_cast<BYTE*>(&mode), 0));
    CSP_FAILS(NTE_BAD_HASH, Csp.CPSetKeyParam(prov, k1, KP_PADDING, nullptr, 0));

    CSP_CLEANS(Csp.CPDestroyKey(prov, k1));
    CSP_CLEANS(Csp.CPDestroyKey(prov, k2));
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPDestroyKey(prov, k1));
    CSP_FAILS(NTE_INVALID_PARAMETER, Csp.CPDestroyKey(prov, 0));
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
}

TEST_F(CspDriver, PublicKeyBlob) {
    HCRYPTPROV prov = Acquire(Main.Serial);
    HCRYPTKEY key = 0;
    CSP_OK(Csp.CPGetUserKey(prov, AT_KEYEXCHANGE, &key));
    DWORD size = 0;
    CSP_OK(Csp.CPExportKey(prov, key, 0, PUBLICKEYBLOB, 0, nullptr, &size));
    ASSERT_EQ(276u, size);
    Bytes blob(size, 0xEE);
    CSP_OK(Csp.CPExportKey(prov, key, 0, PUBLICKEYBLOB, 0, blob.data(), &size));
    EXPECT_EQ(276u, size);
    Bytes header = {0x06, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00, 0x52, 0x53,
                    0x41, 0x31, 0x00, 0x08, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00};
    EXPECT_EQ(header, Bytes(blob.begin(), blob.begin() + 20));
    EXPECT_EQ(Reversed(Main.Key.Modulus()), Bytes(blob.begin() + 20, blob.end()));

    Bytes shortBuffer(275, 0xEE);
    size = 275;
    CSP_FAILS(ERROR_MORE_DATA, Csp.CPExportKey(prov, key, 0, PUBLICKEYBLOB, 0, shortBuffer.data(), &size));
    EXPECT_EQ(275u, size);
    EXPECT_EQ(Bytes(275, 0xEE), shortBuffer);

    size = 276;
    CSP_FAILS(NTE_BAD_KEY_STATE, Csp.CPExportKey(prov, key, 0, PRIVATEKEYBLOB, 0, blob.data(), &size));
    CSP_FAILS(NTE_BAD_KEY, Csp.CPExportKey(prov, key, 0, SIMPLEBLOB, 0, blob.data(), &size));
    CSP_FAILS(NTE_BAD_TYPE, Csp.CPExportKey(prov, key, 0, OPAQUEKEYBLOB, 0, blob.data(), &size));
    CSP_FAILS(NTE_BAD_TYPE, Csp.CPExportKey(prov, key, 0, PLAINTEXTKEYBLOB, 0, blob.data(), &size));
    CSP_FAILS(NTE_BAD_TYPE, Csp.CPExportKey(prov, key, 0, SYMMETRICWRAPKEYBLOB, 0, blob.data(), &size));
    EXPECT_EQ(276u, size);
    CSP_FAILS(NTE_INVALID_PARAMETER, Csp.CPExportKey(prov, key, 0, PUBLICKEYBLOB, 0, blob.data(), nullptr));
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
}

TEST_F(CspDriver, PublicKeyBlobExponents) {
    // A one-byte exponent, and one beyond the blob's 32-bit field.
    TServiceCert three(testcerts::TTestKey::Rsa(1024, 3), {0x03, 0x03});
    TServiceCert large(testcerts::TTestKey::Rsa(1024, 4294967311ul), {0x05, 0x05});
    ASSERT_TRUE(InstallInStore(three, kProviderName));
    ASSERT_TRUE(InstallInStore(large, kProviderName));

    HCRYPTPROV prov = Acquire(three.Serial);
    HCRYPTKEY key = 0;
    CSP_OK(Csp.CPGetUserKey(prov, AT_KEYEXCHANGE, &key));
    Bytes blob(148);
    DWORD size = static_cast<DWORD>(blob.size());
    CSP_OK(Csp.CPExportKey(prov, key, 0, PUBLICKEYBLOB, 0, blob.data(), &size));
    EXPECT_EQ(148u, size);
    EXPECT_EQ(Bytes({0x00, 0x04, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00}),
              Bytes(blob.begin() + 12, blob.begin() + 20));
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));

    prov = Acquire(large.Serial);
    CSP_OK(Csp.CPGetUserKey(prov, AT_KEYEXCHANGE, &key));
    size = static_cast<DWORD>(blob.size());
    CSP_FAILS(NTE_BAD_KEY, Csp.CPExportKey(prov, key, 0, PUBLICKEYBLOB, 0, blob.data(), &size));
    CSP_FAILS(NTE_BAD_KEY, Csp.CPExportKey(prov, key, 0, PUBLICKEYBLOB, 0, nullptr, &size));
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
}

// ---------------------------------------------------------------------------------------------------
// Signatures

TEST_F(CspDriver, VerifiesAnOpenSSLSignatureInCryptoApiOrder) {
    HCRYPTPROV prov = Acquire(Main.Serial);
    const struct {
        ALG_ID alg;
        const EVP_MD* md;
    } algs[] = {{CALG_SHA1, EVP_sha1()},
                {CALG_SHA_256, EVP_sha256()},
                {CALG_SHA_384, EVP_sha384()},
                {CALG_SHA_512, EVP_sha512()},
                {CALG_MD5, EVP_md5()}};
    for (const auto& a : algs) {
        Bytes value = Pattern(static_cast<size_t>(EVP_MD_get_size(a.md)), 9);
        HCRYPTHASH hash = Hash(prov, a.alg, value);
        Bytes signature = Reversed(OpenSSLSign(Main.Key, a.md, value));
        ASSERT_EQ(256u, signature.size());
        CSP_OK(Csp.CPVerifySignature(prov, hash, signature.data(), 256, 0, nullptr, 0));
        // Big-endian as OpenSSL wrote it is not CryptoAPI's order.
        Bytes bigEndian = Reversed(signature);
        CSP_FAILS(NTE_BAD_SIGNATURE, Csp.CPVerifySignature(prov, hash, bigEndian.data(), 256, 0, nullptr, 0));
        for (size_t pos : {size_t(0), size_t(100), size_t(254)}) {
            Bytes changed = signature;
            changed[pos] ^= 0x01;
            CSP_FAILS(NTE_BAD_SIGNATURE,
                      Csp.CPVerifySignature(prov, hash, changed.data(), 256, 0, nullptr, 0));
        }
        CSP_CLEANS(Csp.CPDestroyHash(prov, hash));
    }
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
}

TEST_F(CspDriver, VerifyRefusals) {
    HCRYPTPROV prov = Acquire(Main.Serial);
    Bytes value = Pattern(32);
    HCRYPTHASH hash = Hash(prov, CALG_SHA_256, value);
    Bytes signature = Reversed(OpenSSLSign(Main.Key, EVP_sha256(), value));
    CSP_FAILS(NTE_INVALID_PARAMETER, Csp.CPVerifySignature(prov, hash, nullptr, 256, 0, nullptr, 0));
    CSP_FAILS(NTE_INVALID_PARAMETER, Csp.CPVerifySignature(prov, 0, signature.data(), 256, 0, nullptr, 0));
    CSP_FAILS(NTE_FAIL, Csp.CPVerifySignature(prov, hash, signature.data(), 255, 0, nullptr, 0));
    CSP_FAILS(NTE_BAD_FLAGS,
              Csp.CPVerifySignature(prov, hash, signature.data(), 256, 0, nullptr, CRYPT_X931_FORMAT));
    CSP_FAILS(NTE_BAD_SIGNATURE,
              Csp.CPVerifySignature(prov, hash, signature.data(), 256, 0, nullptr, CRYPT_TYPE2_FORMAT));
    // Another certificate's context verifies with its own key.
    HCRYPTPROV other = Acquire(Second.Serial);
    HCRYPTHASH otherHash = Hash(other, CALG_SHA_256, value);
    CSP_FAILS(NTE_FAIL, Csp.CPVerifySignature(other, otherHash, signature.data(), 256, 0, nullptr, 0));
    Bytes otherSignature = Reversed(OpenSSLSign(Second.Key, EVP_sha256(), value));
    CSP_OK(Csp.CPVerifySignature(other, otherHash, otherSignature.data(), 128, 0, nullptr, 0));
    // Hash handles belong to no context.
    CSP_OK(Csp.CPVerifySignature(prov, otherHash, signature.data(), 256, 0, nullptr, 0));
    CSP_CLEANS(Csp.CPReleaseContext(other, 0));
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
}

TEST_F(CspDriver, SignRunsTheLoginBeforeAnythingElse) {
    HCRYPTPROV prov = Acquire(Main.Serial);
    HCRYPTHASH hash = Hash(prov, CALG_SHA_256, Pattern(32));
    DWORD len = 0;
    CSP_FAILS(NTE_INVALID_PARAMETER, Csp.CPSignHash(prov, hash, AT_SIGNATURE, nullptr, 0, nullptr, nullptr));
    CSP_FAILS(NTE_INVALID_PARAMETER, Csp.CPSignHash(prov, 0, AT_SIGNATURE, nullptr, 0, nullptr, &len));
    // No token stored for the certificate: the login refuses, even the X9.31 flag is not reached.
    CSP_FAILS(NTE_FAIL, Csp.CPSignHash(prov, hash, AT_SIGNATURE, nullptr, 0, nullptr, &len));
    CSP_FAILS(NTE_FAIL, Csp.CPSignHash(prov, hash, AT_SIGNATURE, nullptr, CRYPT_X931_FORMAT, nullptr, &len));
    EXPECT_EQ(0u, len);

    ASSERT_TRUE(StoreToken(Main.Serial, "0123456789012345678901234567890123456789"));
    CSP_FAILS(NTE_BAD_FLAGS,
              Csp.CPSignHash(prov, hash, AT_SIGNATURE, nullptr, CRYPT_X931_FORMAT, nullptr, &len));
    // With the login passed, the private-key step is the signing service's.
    CSP_FAILS(NTE_SYS_ERR, Csp.CPSignHash(prov, hash, AT_SIGNATURE, nullptr, 0, nullptr, &len));
    EXPECT_EQ(0u, len);

    // A value never set fails in the key operation (DigestInfo of the wrong length), not at the door.
    HCRYPTHASH empty = Hash(prov, CALG_SHA_256, {});
    CSP_FAILS(NTE_INVALID_PARAMETER, Csp.CPSignHash(prov, empty, AT_SIGNATURE, nullptr, 0, nullptr, &len));

    // CRYPT_NOHASHOID is an option of that one call, and a failed signature leaves the hash usable.
    CSP_FAILS(NTE_SYS_ERR, Csp.CPSignHash(prov, hash, AT_SIGNATURE, nullptr, CRYPT_NOHASHOID, nullptr, &len));
    EXPECT_EQ(static_cast<DWORD>(CALG_SHA_256), HashDword(prov, hash, HP_ALGID));
    EXPECT_EQ(32u, HashDword(prov, hash, HP_HASHSIZE));
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
}

TEST_F(CspDriver, EncryptCollectsThenNeedsTheSigningService) {
    HCRYPTPROV prov = Acquire(Main.Serial);
    HCRYPTKEY key = 0;
    CSP_OK(Csp.CPGetUserKey(prov, AT_KEYEXCHANGE, &key));
    Bytes data = Pattern(40);
    DWORD len = 20;
    CSP_OK(Csp.CPEncrypt(prov, key, 0, FALSE, 0, data.data(), &len, 256));
    EXPECT_EQ(20u, len);
    CSP_FAILS(NTE_INVALID_PARAMETER, Csp.CPEncrypt(prov, key, 0, FALSE, 0, data.data(), nullptr, 256));
    HCRYPTHASH hash = Hash(prov, CALG_SHA1, Pattern(20));
    CSP_FAILS(NTE_FAIL, Csp.CPEncrypt(prov, key, hash, TRUE, 0, data.data(), &len, 256));
    CSP_FAILS(NTE_FAIL, Csp.CPEncrypt(prov, key, 0, TRUE, 0, nullptr, &len, 256));
    ASSERT_TRUE(StoreToken(Main.Serial, "token-of-the-test"));
    CSP_FAILS(NTE_SYS_ERR, Csp.CPEncrypt(prov, key, 0, TRUE, 0, nullptr, &len, 256));
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
}

// ---------------------------------------------------------------------------------------------------
// Handles that were never issued, were released, or are of another kind

TEST_F(CspDriver, RandomAndStaleHandlesNeverReachAnObject) {
    HCRYPTPROV prov = Acquire(Main.Serial);
    HCRYPTKEY key = 0;
    CSP_OK(Csp.CPGetUserKey(prov, AT_SIGNATURE, &key));
    Bytes value = Pattern(32);
    HCRYPTHASH hash = Hash(prov, CALG_SHA_256, value);
    HCRYPTPROV released = Acquire(Main.Serial);
    CSP_CLEANS(Csp.CPReleaseContext(released, 0));
    HCRYPTHASH destroyed = Hash(prov, CALG_SHA1, {});
    CSP_CLEANS(Csp.CPDestroyHash(prov, destroyed));

    Bytes buffer(512, 0);
    Bytes signature = Reversed(OpenSSLSign(Main.Key, EVP_sha256(), value));
    const DWORD invalid = ERROR_INVALID_HANDLE;

    std::vector<ULONG_PTR> bad = {released, destroyed, hash, prov + 1, prov - 8, hash + 16, ~ULONG_PTR(0), 1};
    std::mt19937_64 random(4242);
    for (int i = 0; i < 200; ++i)
        bad.push_back(static_cast<ULONG_PTR>(random()));
    for (int i = 0; i < 50; ++i)
        bad.push_back(prov + (random() % 4096) - 2048);

    for (ULONG_PTR h : bad) {
        if (h == prov || h == key) continue;
        SCOPED_TRACE(testing::Message() << "handle 0x" << std::hex << h);
        DWORD len = 64;
        HCRYPTKEY outKey = 0;
        HCRYPTHASH outHash = 0;
        // As provider handle, for every working entry point.
        CSP_FAILS(invalid, Csp.CPReleaseContext(h, 0));
        CSP_FAILS(invalid, Csp.CPGetProvParam(h, PP_NAME, buffer.data(), &len, 0));
        CSP_FAILS(invalid, Csp.CPSetProvParam(h, PP_NAME, buffer.data(), 0));
        CSP_FAILS(invalid, Csp.CPGetUserKey(h, AT_SIGNATURE, &outKey));
        CSP_FAILS(invalid, Csp.CPDestroyKey(h, key));
        CSP_FAILS(invalid, Csp.CPGetKeyParam(h, key, KP_KEYLEN, buffer.data(), &len, 0));
        CSP_FAILS(invalid, Csp.CPSetKeyParam(h, key, KP_PADDING, buffer.data(), 0));
        CSP_FAILS(invalid, Csp.CPCreateHash(h, CALG_SHA1, 0, 0, &outHash));
        CSP_FAILS(invalid, Csp.CPDestroyHash(h, hash));
        CSP_FAILS(invalid, Csp.CPGetHashParam(h, hash, HP_HASHSIZE, buffer.data(), &len, 0));
        CSP_FAILS(invalid, Csp.CPSetHashParam(h, hash, HP_HASHVAL, buffer.data(), 0));
        CSP_FAILS(invalid, Csp.CPSignHash(h, hash, AT_SIGNATURE, nullptr, 0, nullptr, &len));
        CSP_FAILS(invalid, Csp.CPVerifySignature(h, hash, signature.data(), 256, 0, nullptr, 0));
        CSP_FAILS(invalid, Csp.CPEncrypt(h, key, 0, FALSE, 0, buffer.data(), &len, 256));
        CSP_FAILS(invalid, Csp.CPExportKey(h, key, 0, PUBLICKEYBLOB, 0, buffer.data(), &len));
        // As key handle.
        CSP_FAILS(invalid, Csp.CPDestroyKey(prov, h));
        CSP_FAILS(invalid, Csp.CPEncrypt(prov, h, 0, FALSE, 0, buffer.data(), &len, 256));
        CSP_FAILS(invalid, Csp.CPExportKey(prov, h, 0, PUBLICKEYBLOB, 0, buffer.data(), &len));
        // As hash handle (the real hash handle served above as a handle of the wrong kind).
        if (h == hash) continue;
        CSP_FAILS(invalid, Csp.CPDestroyHash(prov, h));
        CSP_FAILS(invalid, Csp.CPGetHashParam(prov, h, HP_HASHSIZE, buffer.data(), &len, 0));
        CSP_FAILS(invalid, Csp.CPSetHashParam(prov, h, HP_HASHVAL, buffer.data(), 0));
        CSP_FAILS(invalid, Csp.CPSignHash(prov, h, AT_SIGNATURE, nullptr, 0, nullptr, &len));
        CSP_FAILS(invalid, Csp.CPVerifySignature(prov, h, signature.data(), 256, 0, nullptr, 0));
        CSP_FAILS(invalid, Csp.CPEncrypt(prov, key, h, TRUE, 0, nullptr, &len, 256));
    }
    // A key handle is no hash handle.
    DWORD len = 64;
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPGetHashParam(prov, key, HP_HASHSIZE, buffer.data(), &len, 0));
    // Null provider handle and null key handle.
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPGetProvParam(0, PP_NAME, buffer.data(), &len, 0));
    CSP_FAILS(NTE_INVALID_PARAMETER, Csp.CPExportKey(prov, 0, 0, PUBLICKEYBLOB, 0, buffer.data(), &len));

    // Everything valid still works afterwards.
    CSP_OK(Csp.CPVerifySignature(prov, hash, signature.data(), 256, 0, nullptr, 0));
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
}

TEST_F(CspDriver, HandlesOfAnotherKindAreRefusedAndHarmNothing) {
    HCRYPTPROV prov = Acquire(Main.Serial);
    HCRYPTPROV other = Acquire(Second.Serial);
    HCRYPTKEY key = 0;
    CSP_OK(Csp.CPGetUserKey(prov, AT_SIGNATURE, &key));
    Bytes value = Pattern(32);
    HCRYPTHASH hash = Hash(prov, CALG_SHA_256, value);
    Bytes buffer(512, 0);
    DWORD len = static_cast<DWORD>(buffer.size());

    // A key handle as context handle.
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPGetProvParam(key, PP_NAME, buffer.data(), &len, 0));
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPReleaseContext(key, 0));
    HCRYPTHASH made = 0;
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPCreateHash(key, CALG_SHA1, 0, 0, &made));
    // A hash handle as key handle, a context handle as key handle, a key handle as hash handle.
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPDestroyKey(prov, hash));
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPExportKey(prov, hash, 0, PUBLICKEYBLOB, 0, nullptr, &len));
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPDestroyKey(prov, prov));
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPDestroyKey(prov, other));
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPEncrypt(prov, prov, 0, FALSE, 0, nullptr, &len, 0));
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPDestroyHash(prov, key));

    // Every handle still works, and the session count is right: the last release empties the store's
    // list, and a new context reads it again.
    EXPECT_EQ(32u, HashDword(prov, hash, HP_HASHSIZE));
    len = 0;
    CSP_OK(Csp.CPExportKey(prov, key, 0, PUBLICKEYBLOB, 0, nullptr, &len));
    EXPECT_EQ(276u, len);
    len = static_cast<DWORD>(buffer.size());
    CSP_OK(Csp.CPGetProvParam(other, PP_CONTAINER, buffer.data(), &len, 0));
    EXPECT_EQ(Second.Serial, std::string(reinterpret_cast<char*>(buffer.data())));
    CSP_CLEANS(Csp.CPDestroyKey(prov, key));
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
    CSP_CLEANS(Csp.CPReleaseContext(other, 0));
    // The last release left nothing open; the unchanged store is not read again.
    size_t reads = StoreReads();
    HCRYPTPROV again = Acquire(Main.Serial);
    EXPECT_EQ(reads, StoreReads());
    CSP_CLEANS(Csp.CPReleaseContext(again, 0));
}

// ---------------------------------------------------------------------------------------------------
// Threads and exceptions

TEST_F(CspDriver, ConcurrentCallersAreSerialised) {
    Bytes value = Pattern(32);
    Bytes signature = Reversed(OpenSSLSign(Main.Key, EVP_sha256(), value));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                HCRYPTPROV prov = 0;
                HCRYPTHASH hash = 0;
                bool ok = Csp.CPAcquireContext(&prov, Main.Serial.c_str(), 0, nullptr) &&
                          Csp.CPCreateHash(prov, CALG_SHA_256, 0, 0, &hash) &&
                          Csp.CPSetHashParam(prov, hash, HP_HASHVAL, value.data(), 0) &&
                          Csp.CPVerifySignature(prov, hash, signature.data(), 256, 0, nullptr, 0) &&
                          GetLastError() == 0 && Csp.CPDestroyHash(prov, hash) &&
                          Csp.CPReleaseContext(prov, 0);
                if (!ok) ++failures;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(0, failures.load());
}

#ifdef LUCSP_TEST_HOOKS
TEST_F(CspDriver, AnExceptionInAnEntryPointGivesErrorUnwindAndReleasesTheLock) {
    HCRYPTPROV prov = Acquire(Main.Serial);
    setenv("LUCSP_TEST_THROW_IN", "CPGetProvParam", 1);
    DWORD len = 64;
    Bytes buffer(64);
    CSP_FAILS(ERROR_UNWIND, Csp.CPGetProvParam(prov, PP_NAME, buffer.data(), &len, 0));
    setenv("LUCSP_TEST_THROW_IN", "CPAcquireContext", 1);
    HCRYPTPROV other = 0;
    CSP_FAILS(ERROR_UNWIND, Csp.CPAcquireContext(&other, Main.Serial.c_str(), 0, nullptr));
    unsetenv("LUCSP_TEST_THROW_IN");

    // Another thread gets the lock: it was released on the way out.
    BOOL fromOtherThread = FALSE;
    std::thread other_thread([&] {
        DWORD size = 64;
        fromOtherThread = Csp.CPGetProvParam(prov, PP_NAME, buffer.data(), &size, 0);
    });
    other_thread.join();
    EXPECT_EQ(TRUE, fromOtherThread);
    // Only the first context is open: its release leaves nothing open, and the next context opens.
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
    HCRYPTPROV again = Acquire(Main.Serial);
    EXPECT_EQ(1u, StoreReads());
    CSP_CLEANS(Csp.CPReleaseContext(again, 0));
}
#endif

// ---------------------------------------------------------------------------------------------------
// "CSP_Compatibility" 1, the default: what common CryptoAPI clients need

namespace {

class CspCompat : public CspDriver {
  protected:
    DWORD Compatibility() const override { return 1; }

    Bytes HashValue(HCRYPTPROV prov, HCRYPTHASH hash) {
        DWORD size = 0;
        CSP_OK(Csp.CPGetHashParam(prov, hash, HP_HASHVAL, nullptr, &size, 0));
        Bytes value(size);
        CSP_OK(Csp.CPGetHashParam(prov, hash, HP_HASHVAL, value.data(), &size, 0));
        return value;
    }
};

Bytes Digest(const EVP_MD* md, const Bytes& data) {
    Bytes out(static_cast<size_t>(EVP_MD_get_size(md)));
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &len, md, nullptr);
    return out;
}

} // namespace

// The failures the strict suites see as NTE_FAIL and NTE_SYS_ERR come as the smart-card codes of their
// class: no token, service unreachable (a closed port), for a signature and for CPEncrypt alike.
TEST_F(CspCompat, FailureClassesHaveCodesOfTheirOwn) {
    HCRYPTPROV prov = Acquire(Main.Serial);
    HCRYPTHASH hash = Hash(prov, CALG_SHA_256, Pattern(32));
    HCRYPTKEY key = 0;
    CSP_OK(Csp.CPGetUserKey(prov, AT_KEYEXCHANGE, &key));
    Bytes data = Pattern(20);
    DWORD len = 0, dataLen = 20;
    CSP_FAILS(SCARD_E_NO_SMARTCARD, Csp.CPSignHash(prov, hash, AT_SIGNATURE, nullptr, 0, nullptr, &len));
    CSP_OK(Csp.CPEncrypt(prov, key, 0, FALSE, 0, data.data(), &dataLen, 256));
    CSP_FAILS(SCARD_E_NO_SMARTCARD, Csp.CPEncrypt(prov, key, 0, TRUE, 0, nullptr, &dataLen, 256));
    ASSERT_TRUE(StoreToken(Main.Serial, "token-of-the-test"));
    CSP_FAILS(SCARD_E_READER_UNAVAILABLE,
              Csp.CPSignHash(prov, hash, AT_SIGNATURE, nullptr, 0, nullptr, &len));
    dataLen = 20;
    CSP_OK(Csp.CPEncrypt(prov, key, 0, FALSE, 0, data.data(), &dataLen, 256));
    CSP_FAILS(SCARD_E_READER_UNAVAILABLE, Csp.CPEncrypt(prov, key, 0, TRUE, 0, nullptr, &dataLen, 256));
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
}

TEST_F(CspCompat, HashDataAccumulatesUntilTheValueIsRead) {
    HCRYPTPROV prov = Acquire(Main.Serial);
    const Bytes message = Pattern(1000, 3);
    const struct {
        ALG_ID alg;
        const EVP_MD* md;
    } algs[] = {{CALG_MD5, EVP_md5()},
                {CALG_SHA1, EVP_sha1()},
                {CALG_SHA_256, EVP_sha256()},
                {CALG_SHA_384, EVP_sha384()},
                {CALG_SHA_512, EVP_sha512()}};
    for (const auto& a : algs) {
        HCRYPTHASH hash = Hash(prov, a.alg, {});
        CSP_OK(Csp.CPHashData(prov, hash, message.data(), 600, 0));
        CSP_OK(Csp.CPHashData(prov, hash, nullptr, 0, 0));
        CSP_OK(Csp.CPHashData(prov, hash, message.data() + 600, 400, CRYPT_USERDATA));
        EXPECT_EQ(Digest(a.md, message), HashValue(prov, hash)) << a.alg;
        CSP_FAILS(NTE_BAD_HASH_STATE, Csp.CPHashData(prov, hash, message.data(), 1, 0));
        EXPECT_EQ(Digest(a.md, message), HashValue(prov, hash)) << a.alg;
        CSP_CLEANS(Csp.CPDestroyHash(prov, hash));
    }
    // Nothing hashed: the value of no data, as CryptoAPI gives it.
    HCRYPTHASH empty = Hash(prov, CALG_SHA_256, {});
    EXPECT_EQ(Digest(EVP_sha256(), {}), HashValue(prov, empty));

    // A value of the caller's ends hashing; bad arguments are refused.
    HCRYPTHASH set = Hash(prov, CALG_SHA1, Pattern(20));
    CSP_FAILS(NTE_BAD_HASH_STATE, Csp.CPHashData(prov, set, message.data(), 1, 0));
    EXPECT_EQ(Pattern(20), HashValue(prov, set));
    HCRYPTHASH open = Hash(prov, CALG_SHA1, {});
    CSP_FAILS(NTE_BAD_FLAGS, Csp.CPHashData(prov, open, message.data(), 1, 0x10));
    CSP_FAILS(NTE_INVALID_PARAMETER, Csp.CPHashData(prov, open, nullptr, 5, 0));
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPHashData(prov, 0x1234, message.data(), 1, 0));
    CSP_FAILS(NTE_INVALID_PARAMETER, Csp.CPHashData(prov, 0, message.data(), 1, 0));
    // MD2 and the bare row take a value only.
    for (ALG_ID alg : {static_cast<ALG_ID>(CALG_MD2), static_cast<ALG_ID>(0)}) {
        HCRYPTHASH valueOnly = Hash(prov, alg, {});
        CSP_FAILS(NTE_BAD_ALGID, Csp.CPHashData(prov, valueOnly, message.data(), 1, 0));
    }

    // A duplicate goes on from where the original stood, each on its own.
    HCRYPTHASH original = Hash(prov, CALG_SHA_256, {});
    CSP_OK(Csp.CPHashData(prov, original, message.data(), 500, 0));
    HCRYPTHASH copy = 0;
    CSP_OK(Csp.CPDuplicateHash(prov, original, nullptr, 0, &copy));
    EXPECT_NE(original, copy);
    CSP_OK(Csp.CPHashData(prov, copy, message.data() + 500, 500, 0));
    EXPECT_EQ(Digest(EVP_sha256(), message), HashValue(prov, copy));
    EXPECT_EQ(Digest(EVP_sha256(), Bytes(message.begin(), message.begin() + 500)), HashValue(prov, original));
    DWORD reserved = 0;
    CSP_FAILS(NTE_INVALID_PARAMETER, Csp.CPDuplicateHash(prov, original, &reserved, 0, &copy));
    CSP_FAILS(NTE_BAD_FLAGS, Csp.CPDuplicateHash(prov, original, nullptr, 1, &copy));
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPDuplicateHash(prov, 0x999, nullptr, 0, &copy));

    // The hashed value is what a signature is checked against.
    HCRYPTHASH hashed = Hash(prov, CALG_SHA_256, {});
    CSP_OK(Csp.CPHashData(prov, hashed, message.data(), static_cast<DWORD>(message.size()), 0));
    Bytes signature = Reversed(OpenSSLSign(Main.Key, EVP_sha256(), Digest(EVP_sha256(), message)));
    CSP_OK(Csp.CPVerifySignature(prov, hashed, signature.data(), 256, 0, nullptr, 0));
    CSP_FAILS(NTE_BAD_HASH_STATE, Csp.CPHashData(prov, hashed, message.data(), 1, 0));
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
}

TEST_F(CspCompat, Ssl3ShaMd5IsAValueOfThirtySixBytesWithoutDigestInfo) {
    HCRYPTPROV prov = Acquire(Main.Serial);
    const Bytes message = Pattern(300, 7);
    Bytes value = Digest(EVP_md5(), message);
    Bytes sha1 = Digest(EVP_sha1(), message);
    value.insert(value.end(), sha1.begin(), sha1.end());
    HCRYPTHASH hash = Hash(prov, CALG_SSL3_SHAMD5, {});
    EXPECT_EQ(36u, HashDword(prov, hash, HP_HASHSIZE));
    CSP_FAILS(NTE_BAD_ALGID, Csp.CPHashData(prov, hash, message.data(), 1, 0));
    CSP_OK(Csp.CPSetHashParam(prov, hash, HP_HASHVAL, value.data(), 0));
    EXPECT_EQ(value, HashValue(prov, hash));
    // Type 1 padding over the 36 bytes themselves, as TLS 1.0 and 1.1 sign them.
    Bytes signature = Reversed(OpenSSLSign(Main.Key, nullptr, value));
    ASSERT_EQ(256u, signature.size());
    CSP_OK(Csp.CPVerifySignature(prov, hash, signature.data(), 256, 0, nullptr, 0));

    HCRYPTHASH failed = 0x55;
    CSP_FAILS(NTE_BAD_ALGID, Csp.CPCreateHash(prov, CALG_HMAC, 0, 0, &failed));
    CSP_FAILS(NTE_BAD_ALGID, Csp.CPCreateHash(prov, CALG_MD4, 0, 0, &failed));
    EXPECT_EQ(0x55u, failed);
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
}

TEST_F(CspCompat, VerifyContextHasNoPrivateKeyAndReadsNoStore) {
    TAdvapiVTable vtable;
    HCRYPTPROV verify = 0;
    CSP_OK(Csp.CPAcquireContext(&verify, nullptr, CRYPT_VERIFYCONTEXT, &vtable.Table));
    EXPECT_TRUE(vtable.Unchanged());
    HCRYPTPROV named = 0;
    CSP_OK(
        Csp.CPAcquireContext(&named, Main.Serial.c_str(), CRYPT_VERIFYCONTEXT | CRYPT_SILENT, &vtable.Table));
    EXPECT_EQ(0u, StoreReads());
    HCRYPTPROV refused = 0;
    CSP_FAILS(NTE_BAD_FLAGS,
              Csp.CPAcquireContext(&refused, nullptr, CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET, &vtable.Table));
    CSP_FAILS(NTE_INVALID_PARAMETER,
              Csp.CPAcquireContext(nullptr, nullptr, CRYPT_VERIFYCONTEXT, &vtable.Table));
    EXPECT_EQ(0u, refused);

    // Hashing and parameters work; everything that needs the private key is NTE_BAD_KEY.
    HCRYPTHASH hash = Hash(verify, CALG_SHA_256, {});
    const Bytes message = Pattern(64);
    CSP_OK(Csp.CPHashData(verify, hash, message.data(), 64, 0));
    DWORD size = 0;
    CSP_OK(Csp.CPGetProvParam(verify, PP_NAME, nullptr, &size, 0));
    BYTE buffer[512];
    size = sizeof(buffer);
    CSP_FAILS(NTE_BAD_KEY, Csp.CPSignHash(verify, hash, AT_KEYEXCHANGE, nullptr, 0, buffer, &size));
    HCRYPTKEY key = 0;
    CSP_FAILS(NTE_BAD_KEY, Csp.CPGetUserKey(verify, AT_KEYEXCHANGE, &key));
    size = 4;
    CSP_FAILS(NTE_BAD_KEY, Csp.CPGetKeyParam(verify, 0, KP_KEYLEN, buffer, &size, 0));
    CSP_FAILS(NTE_BAD_KEY, Csp.CPSetKeyParam(verify, 0, KP_PADDING, buffer, 0));
    size = sizeof(buffer);
    CSP_FAILS(NTE_BAD_KEY, Csp.CPGetProvParam(verify, PP_CONTAINER, buffer, &size, 0));

    // A signature is checked with a public key handed in, here a key of a regular context.
    Bytes signature = Reversed(OpenSSLSign(Main.Key, EVP_sha256(), Digest(EVP_sha256(), message)));
    CSP_FAILS(NTE_BAD_KEY, Csp.CPVerifySignature(verify, hash, signature.data(), 256, 0, nullptr, 0));
    HCRYPTPROV prov = Acquire(Main.Serial);
    CSP_OK(Csp.CPGetUserKey(prov, AT_KEYEXCHANGE, &key));
    CSP_OK(Csp.CPVerifySignature(verify, hash, signature.data(), 256, key, nullptr, 0));
    // ...or an imported PUBLICKEYBLOB, which outlives the context it was exported from.
    Bytes blob(1024);
    DWORD blobLen = static_cast<DWORD>(blob.size());
    CSP_OK(Csp.CPExportKey(prov, key, 0, PUBLICKEYBLOB, 0, blob.data(), &blobLen));
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
    HCRYPTKEY imported = 0;
    CSP_OK(Csp.CPImportKey(verify, blob.data(), blobLen, 0, 0, &imported));
    CSP_OK(Csp.CPVerifySignature(verify, hash, signature.data(), 256, imported, nullptr, 0));
    signature[10] ^= 1;
    CSP_FAILS(NTE_BAD_SIGNATURE,
              Csp.CPVerifySignature(verify, hash, signature.data(), 256, imported, nullptr, 0));
    CSP_FAILS(NTE_BAD_DATA, Csp.CPImportKey(verify, blob.data(), 40, 0, 0, &imported));
    blob[0] = PRIVATEKEYBLOB;
    CSP_FAILS(NTE_BAD_TYPE, Csp.CPImportKey(verify, blob.data(), blobLen, 0, 0, &imported));

    // The verify contexts are outside the session count: releasing them changes nothing for others.
    prov = Acquire(Main.Serial);
    CSP_CLEANS(Csp.CPReleaseContext(verify, 0));
    CSP_CLEANS(Csp.CPReleaseContext(named, 0));
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPGetHashParam(verify, hash, HP_HASHVAL, nullptr, &size, 0));
    CSP_OK(Csp.CPGetUserKey(prov, AT_KEYEXCHANGE, &key));
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
}

TEST_F(CspCompat, EnumeratesContainersAndAlgorithms) {
    TAdvapiVTable vtable;
    HCRYPTPROV verify = 0;
    CSP_OK(Csp.CPAcquireContext(&verify, nullptr, CRYPT_VERIFYCONTEXT, &vtable.Table));
    DWORD size = 0;
    CSP_OK(Csp.CPGetProvParam(verify, PP_ENUMCONTAINERS, nullptr, &size, CRYPT_FIRST));
    EXPECT_EQ(std::max(Main.Serial.size(), Second.Serial.size()) + 1, size);
    std::vector<std::string> names;
    std::vector<char> name(64);
    size = 2;
    CSP_FAILS(ERROR_MORE_DATA, Csp.CPGetProvParam(verify, PP_ENUMCONTAINERS,
                                                  reinterpret_cast<BYTE*>(name.data()), &size, CRYPT_FIRST));
    for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
        size = static_cast<DWORD>(name.size());
        SetLastError(kUnset);
        if (!Csp.CPGetProvParam(verify, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name.data()), &size,
                                flags)) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
            break;
        }
        names.emplace_back(name.data());
        ASSERT_LT(names.size(), 10u);
    }
    // The provider's certificates only, each once.
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{Main.Serial, Second.Serial}), names);

    HCRYPTPROV prov = Acquire(Second.Serial);
    std::vector<PROV_ENUMALGS> algs;
    for (DWORD flags = CRYPT_FIRST;; flags = CRYPT_NEXT) {
        PROV_ENUMALGS item;
        size = sizeof(item);
        if (!Csp.CPGetProvParam(prov, PP_ENUMALGS, reinterpret_cast<BYTE*>(&item), &size, flags)) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
            break;
        }
        algs.push_back(item);
        ASSERT_LT(algs.size(), 20u);
    }
    auto bits = [&](ALG_ID alg) -> DWORD {
        for (const auto& a : algs)
            if (a.aiAlgid == alg) return a.dwBitLen;
        return 0;
    };
    EXPECT_EQ(9u, algs.size());
    EXPECT_EQ(128u, bits(CALG_MD5));
    EXPECT_EQ(160u, bits(CALG_SHA1));
    EXPECT_EQ(512u, bits(CALG_SHA_512));
    EXPECT_EQ(288u, bits(CALG_SSL3_SHAMD5));
    EXPECT_EQ(1024u, bits(CALG_RSA_KEYX));
    EXPECT_EQ(1024u, bits(CALG_RSA_SIGN));
    EXPECT_STREQ("SHA256", algs[3].szName);
    EXPECT_EQ(7u, algs[3].dwNameLen);

    PROV_ENUMALGS_EX ex;
    size = sizeof(ex);
    CSP_OK(Csp.CPGetProvParam(verify, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&ex), &size, CRYPT_FIRST));
    EXPECT_EQ(static_cast<ALG_ID>(CALG_MD2), ex.aiAlgid);
    size = 4;
    CSP_FAILS(ERROR_MORE_DATA,
              Csp.CPGetProvParam(verify, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&ex), &size, CRYPT_NEXT));
    EXPECT_EQ(sizeof(ex), size);
    CSP_OK(Csp.CPGetProvParam(verify, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&ex), &size, CRYPT_NEXT));
    EXPECT_EQ(static_cast<ALG_ID>(CALG_MD5), ex.aiAlgid);
    EXPECT_EQ(128u, ex.dwDefaultLen);
    EXPECT_STREQ("MD5", ex.szLongName);
    CSP_CLEANS(Csp.CPReleaseContext(prov, 0));
    CSP_CLEANS(Csp.CPReleaseContext(verify, 0));
}

TEST_F(CspCompat, CleanUpCallsKeepTheFailuresError) {
    HCRYPTPROV prov = Acquire(Main.Serial);
    HCRYPTHASH hash = Hash(prov, CALG_SHA_256, {});
    HCRYPTKEY key = 0;
    CSP_OK(Csp.CPGetUserKey(prov, AT_KEYEXCHANGE, &key));
    DWORD value = 0, size = sizeof(value);
    for (int call = 0; call < 3; ++call) {
        EXPECT_FALSE(Csp.CPGetHashParam(prov, hash, 0x7FFF, reinterpret_cast<BYTE*>(&value), &size, 0));
        const DWORD failure = GetLastError();
        EXPECT_EQ(static_cast<DWORD>(NTE_BAD_TYPE), failure);
        BOOL ok = call == 0   ? Csp.CPDestroyHash(prov, hash)
                  : call == 1 ? Csp.CPDestroyKey(prov, key)
                              : Csp.CPReleaseContext(prov, 0);
        EXPECT_TRUE(ok);
        EXPECT_EQ(failure, GetLastError()) << call;
        if (call == 0) hash = Hash(prov, CALG_SHA_256, {});
    }
    // A failing clean-up call still reports its own error.
    CSP_FAILS(ERROR_INVALID_HANDLE, Csp.CPReleaseContext(prov, 0));
}
