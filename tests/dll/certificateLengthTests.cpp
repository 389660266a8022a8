// Certificates of every DER length register, list, open a context and sign through the built library,
// beside an entry of the provider that cannot be read.
#include "dll/dllHarness.h"
#include "support/testCerts.h"
#include "support/testExec.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace dllharness;
using namespace testcerts;

namespace {

const char16_t kProviderW[] = u"Varno Base Cryptographic Provider Server";

struct TSizedCert {
    TTestKey Key;
    TTestCert Cert;
};

// A self-signed certificate of exactly derLength bytes: a comment and the common name's length make up
// the difference. A length field that grows by a byte skips a total for one key size, so two sizes.
TSizedCert CertOfDerLength(size_t derLength) {
    for (int bits : {1024, 512}) {
        TTestKey key = TTestKey::Rsa(bits);
        for (size_t cnChars = 1; cnChars <= 3; ++cnChars) {
            TTestCertOptions opt;
            opt.Serial = {0x51, static_cast<uint8_t>(derLength >> 8), static_cast<uint8_t>(derLength)};
            opt.Organization.clear();
            opt.Country.clear();
            opt.CommonName = std::string(cnChars, 'L');
            long pad = 1;
            for (int step = 0; step < 6 && pad > 0; ++step) {
                opt.Comment = std::string(static_cast<size_t>(pad), 'x');
                TTestCert cert = TTestCert::SelfSigned(key, opt);
                long diff = static_cast<long>(derLength) - static_cast<long>(cert.Der().size());
                if (diff == 0) return {key, cert};
                pad += diff;
            }
        }
    }
    return {TTestKey::Rsa(1024), TTestCert()};
}

// An entry of this provider whose key is not RSA, added as another tool would add it.
bool AddUnreadableEntry() {
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    if (!store) return false;
    Bytes der = TTestCert::SelfSigned(TTestKey::Ec()).Der();
    PCCERT_CONTEXT ctx = nullptr;
    std::u16string container(u"EC01"), provider(kProviderW);
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = &container[0];
    info.pwszProvName = &provider[0];
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = AT_KEYEXCHANGE;
    bool ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                               static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS, &ctx) &&
              CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
    if (ctx) CertFreeCertificateContext(ctx);
    CertCloseStore(store, 0);
    return ok;
}

// Register, open a context by the serial, sign a SHA-256 value and have the provider verify it,
// unregister.
bool RegisterAndSign(TCspApi& api, const std::string& pem, const std::string& token,
                     const std::string& serial) {
    if (!api.TrelisServer_RegisterCertificate(pem.data(), static_cast<int>(pem.size()), token.data(),
                                              static_cast<int>(token.size())))
        return false;
    HCRYPTPROV prov = 0;
    VTableProvStruc vt = MakeVTable();
    bool ok = api.CPAcquireContext(&prov, serial.c_str(), 0, &vt);
    HCRYPTHASH hash = 0;
    Bytes value(32, 0x5A), sig;
    DWORD len = 0;
    ok = ok && api.CPCreateHash(prov, CALG_SHA_256, 0, 0, &hash) &&
         api.CPSetHashParam(prov, hash, HP_HASHVAL, value.data(), 0) &&
         api.CPSignHash(prov, hash, AT_SIGNATURE, nullptr, 0, nullptr, &len) && (sig.resize(len), true) &&
         api.CPSignHash(prov, hash, AT_SIGNATURE, nullptr, 0, sig.data(), &len) &&
         api.CPVerifySignature(prov, hash, sig.data(), len, 0, nullptr, 0);
    if (hash) api.CPDestroyHash(prov, hash);
    if (prov) ok = api.CPReleaseContext(prov, 0) && ok;
    return api.TrelisServer_UnregisterCertificate(pem.data(), static_cast<int>(pem.size())) && ok;
}

} // namespace

TEST(CertificateLength, EveryDerLengthRegistersListsAndSignsBesideAnUnreadableEntry) {
    // Every registration writes the store durably: on a memory file system the flushes cost nothing.
    const char* tmpdir = getenv("TMPDIR");
    const std::string previousTmpdir = tmpdir ? tmpdir : "";
    if (std::filesystem::is_directory("/dev/shm")) setenv("TMPDIR", "/dev/shm", 1);
    TTestRoot root;
    if (tmpdir)
        setenv("TMPDIR", previousTmpdir.c_str(), 1);
    else
        unsetenv("TMPDIR");
    TRefSigningService service;
    ASSERT_TRUE(service.Start()) << service.LastError();
    std::string caFile = root.Path() + "/service-ca.pem";
    std::ofstream(caFile, std::ios::binary) << service.CA_CertPEM();
    ASSERT_TRUE(WriteEndpointSettings("127.0.0.1:" + std::to_string(service.Port()), caFile,
                                      5000 * testTimeScale(), false, ""));
    ASSERT_TRUE(AddUnreadableEntry());
    TCspApi api;
    ASSERT_TRUE(api.Load(LUCSP_DLL_PATH)) << api.Error;

    std::vector<size_t> failed;
    for (size_t length = 400; length <= 2100; ++length) {
        TSizedCert sized = CertOfDerLength(length);
        ASSERT_NE(nullptr, sized.Cert.Get()) << "no certificate of " << length << " bytes";
        std::string token = "length-" + std::to_string(length);
        ASSERT_TRUE(service.Key_AddPEM(sized.Key.PrivatePem(), sized.Cert.Pem(), token))
            << service.LastError();
        // Registration texts with either line end; the store's own text has CRLF ones.
        std::string pem = length % 2 ? sized.Cert.PemCrlf() : sized.Cert.Pem();
        if (!RegisterAndSign(api, pem, token, sized.Cert.SerialHex())) failed.push_back(length);
    }
    EXPECT_EQ(std::vector<size_t>(), failed);
    api.Unload();
}
