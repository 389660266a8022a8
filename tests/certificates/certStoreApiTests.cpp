// The CRYPT32 subset of the Linux stand-in, checked against CryptoAPI's documented behaviour.
#include "os/platTypes.h"
#include "support/testCerts.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace testcerts;

namespace {

const char kCertsKey[] = "Software\\Microsoft\\SystemCertificates\\";

class CertStoreApi : public ::testing::Test {
  protected:
    static TTestCert Make(const Bytes& serial, const std::string& cn = "Api Test") {
        TTestCertOptions opt;
        opt.Serial = serial;
        opt.CommonName = cn;
        return TTestCert::SelfSigned(TTestKey::Rsa(1024), opt);
    }
    static PCCERT_CONTEXT Create(const TTestCert& cert) {
        Bytes der = cert.Der();
        return CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                            static_cast<DWORD>(der.size()));
    }
    static HCERTSTORE Open(const char16_t* name, DWORD extraFlags = 0) {
        return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER | extraFlags,
                             name);
    }
    static std::vector<std::string> Thumbprints(HCERTSTORE store) {
        std::vector<std::string> out;
        PCCERT_CONTEXT ctx = nullptr;
        while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr)
            out.push_back(Sha1Of(ctx));
        std::sort(out.begin(), out.end());
        return out;
    }
    static std::string Sha1Of(PCCERT_CONTEXT ctx) {
        BYTE hash[20];
        DWORD len = sizeof(hash);
        if (!CertGetCertificateContextProperty(ctx, CERT_SHA1_HASH_PROP_ID, hash, &len)) return "";
        return ToHex(hash, len);
    }
    static std::string Text(const std::vector<char>& buffer, DWORD len) {
        return std::string(buffer.data(), len);
    }

    TTestRoot Root;
};

} // namespace

// ---------------------------------------------------------------------------------------------------
// Base64 conversions

TEST_F(CertStoreApi, BinaryToStringWritesPemWithCrLfAndReportsSizes) {
    Bytes data(100);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<BYTE>(i * 7);
    DWORD needed = 0;
    ASSERT_TRUE(CryptBinaryToStringA(data.data(), 100, CRYPT_STRING_BASE64HEADER, nullptr, &needed));
    // 100 bytes -> 136 characters: a line of 64, one of 64, one of 8, each with CR LF, plus the markers.
    const DWORD textLen = 29 + 64 + 2 + 64 + 2 + 8 + 2 + 27;
    EXPECT_EQ(textLen + 1, needed);
    DWORD neededW = 0;
    ASSERT_TRUE(CryptBinaryToStringW(data.data(), 100, CRYPT_STRING_BASE64HEADER, nullptr, &neededW));
    EXPECT_EQ(needed, neededW);

    std::vector<char> text(needed);
    DWORD len = needed - 1;
    EXPECT_FALSE(CryptBinaryToStringA(data.data(), 100, CRYPT_STRING_BASE64HEADER, text.data(), &len));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    len = needed;
    ASSERT_TRUE(CryptBinaryToStringA(data.data(), 100, CRYPT_STRING_BASE64HEADER, text.data(), &len));
    EXPECT_EQ(textLen, len);
    EXPECT_EQ('\0', text[len]);
    std::string s = Text(text, len);
    EXPECT_EQ(0u, s.find("-----BEGIN CERTIFICATE-----\r\n"));
    EXPECT_EQ(s.size() - 27, s.find("-----END CERTIFICATE-----\r\n"));
    EXPECT_EQ("\r\n", s.substr(29 + 64, 2));

    std::vector<char16_t> wide(neededW);
    DWORD lenW = neededW;
    ASSERT_TRUE(CryptBinaryToStringW(data.data(), 100, CRYPT_STRING_BASE64HEADER, wide.data(), &lenW));
    EXPECT_EQ(len, lenW);
    EXPECT_EQ(std::u16string(s.begin(), s.end()), std::u16string(wide.data(), lenW));

    // Plain Base64 without line ends, and LF only.
    DWORD plainLen = 0;
    ASSERT_TRUE(CryptBinaryToStringA(data.data(), 100, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, nullptr,
                                     &plainLen));
    EXPECT_EQ(137u, plainLen);
    std::vector<char> plain(plainLen + 3);
    plainLen += 3;
    ASSERT_TRUE(CryptBinaryToStringA(data.data(), 100, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCR, plain.data(),
                                     &plainLen));
    EXPECT_EQ(136u + 3u, plainLen);
    EXPECT_EQ(std::string::npos, Text(plain, plainLen).find('\r'));

    EXPECT_FALSE(CryptBinaryToStringA(nullptr, 10, CRYPT_STRING_BASE64HEADER, nullptr, &needed));
    EXPECT_FALSE(CryptBinaryToStringA(data.data(), 10, CRYPT_STRING_BASE64HEADER, nullptr, nullptr));
    EXPECT_FALSE(CryptBinaryToStringA(data.data(), 10, 0x0000000C, nullptr, &needed));
}

TEST_F(CertStoreApi, StringToBinaryReadsHeaderFormsAndRejectsBadText) {
    TTestCert cert = Make({0x01});
    Bytes der = cert.Der();
    // OpenSSL's PEM, PEM with CR LF, the certificate object's form (CRs inside lines, no final line end).
    std::string crInside = cert.PemCrlf();
    crInside.erase(crInside.size() - 2);
    for (const std::string& text : {cert.Pem(), cert.PemCrlf(), "junk before\n" + crInside}) {
        DWORD len = 0, skip = 99, used = 99;
        ASSERT_TRUE(CryptStringToBinaryA(text.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &len, nullptr,
                                         nullptr));
        EXPECT_EQ(der.size(), len);
        Bytes out(len);
        ASSERT_TRUE(CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()),
                                         CRYPT_STRING_BASE64HEADER, out.data(), &len, &skip, &used));
        EXPECT_EQ(der, out);
        EXPECT_EQ(text.find("-----BEGIN"), skip);
        EXPECT_EQ(static_cast<DWORD>(CRYPT_STRING_BASE64HEADER), used);
        len -= 1;
        EXPECT_FALSE(CryptStringToBinaryA(text.c_str(), 0, CRYPT_STRING_BASE64HEADER, out.data(), &len,
                                          nullptr, nullptr));
        EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    }

    std::string bare = cert.Base64OneLine();
    DWORD len = 0;
    EXPECT_FALSE(
        CryptStringToBinaryA(bare.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &len, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetLastError());
    ASSERT_TRUE(CryptStringToBinaryA(bare.c_str(), 0, CRYPT_STRING_BASE64, nullptr, &len, nullptr, nullptr));
    EXPECT_EQ(der.size(), len);
    DWORD used = 0;
    ASSERT_TRUE(
        CryptStringToBinaryA(bare.c_str(), 0, CRYPT_STRING_BASE64_ANY, nullptr, &len, nullptr, &used));
    EXPECT_EQ(static_cast<DWORD>(CRYPT_STRING_BASE64), used);

    const char* bad[] = {"-----BEGIN CERTIFICATE-----\nQUJD*EFG\n-----END CERTIFICATE-----",
                         "-----BEGIN CERTIFICATE-----\nQUJDR\n-----END CERTIFICATE-----",
                         "-----BEGIN CERTIFICATE-----\nQU==JD\n-----END CERTIFICATE-----",
                         "-----BEGIN CERTIFICATE-----\nQUJD\n"};
    for (const char* text : bad) {
        EXPECT_FALSE(
            CryptStringToBinaryA(text, 0, CRYPT_STRING_BASE64HEADER, nullptr, &len, nullptr, nullptr))
            << text;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), GetLastError());
    }
    EXPECT_FALSE(
        CryptStringToBinaryA(nullptr, 0, CRYPT_STRING_BASE64HEADER, nullptr, &len, nullptr, nullptr));
    EXPECT_FALSE(CryptStringToBinaryA("QUJD", 0, CRYPT_STRING_BASE64, nullptr, nullptr, nullptr, nullptr));

    // Round trip through the producer.
    DWORD textLen = 0;
    ASSERT_TRUE(CryptBinaryToStringA(der.data(), static_cast<DWORD>(der.size()), 0, nullptr, &textLen));
    std::vector<char> text(textLen);
    ASSERT_TRUE(CryptBinaryToStringA(der.data(), static_cast<DWORD>(der.size()), 0, text.data(), &textLen));
    Bytes back(der.size());
    len = static_cast<DWORD>(back.size());
    ASSERT_TRUE(CryptStringToBinaryA(text.data(), 0, 0, back.data(), &len, nullptr, nullptr));
    EXPECT_EQ(der, back);
}

// ---------------------------------------------------------------------------------------------------
// Contexts

TEST_F(CertStoreApi, ContextCarriesCryptoApiCertInfo) {
    TTestCert cert = Make({0x80, 0x01, 0x02}, "Info");
    PCCERT_CONTEXT ctx = Create(cert);
    ASSERT_NE(nullptr, ctx);
    EXPECT_EQ(cert.Der(), Bytes(ctx->pbCertEncoded, ctx->pbCertEncoded + ctx->cbCertEncoded));
    ASSERT_NE(nullptr, ctx->pCertInfo);
    const CERT_INFO& info = *ctx->pCertInfo;
    EXPECT_EQ(2u, info.dwVersion);
    // DER content 00 80 01 02, little-endian as CryptoAPI keeps it.
    EXPECT_EQ((Bytes{0x02, 0x01, 0x80, 0x00}),
              Bytes(info.SerialNumber.pbData, info.SerialNumber.pbData + info.SerialNumber.cbData));
    EXPECT_EQ(cert.IssuerDer(), Bytes(info.Issuer.pbData, info.Issuer.pbData + info.Issuer.cbData));
    EXPECT_STREQ("1.2.840.113549.1.1.11", info.SignatureAlgorithm.pszObjId);
    EXPECT_STREQ("1.2.840.113549.1.1.1", info.SubjectPublicKeyInfo.Algorithm.pszObjId);
    EXPECT_GT(info.SubjectPublicKeyInfo.PublicKey.cbData, 128u);
    EXPECT_GT(info.NotAfter.dwHighDateTime, info.NotBefore.dwHighDateTime - 1);
    EXPECT_EQ(cert.Sha1Hex(), Sha1Of(ctx));

    PCCERT_CONTEXT dup = CertDuplicateCertificateContext(ctx);
    EXPECT_EQ(ctx, dup);
    EXPECT_TRUE(CertFreeCertificateContext(dup));
    EXPECT_EQ(2u, ctx->pCertInfo->dwVersion); // still held once
    EXPECT_TRUE(CertFreeCertificateContext(ctx));

    Bytes der = cert.Der();
    EXPECT_EQ(nullptr, CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), 10));
    EXPECT_EQ(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG), GetLastError());
    EXPECT_EQ(nullptr, CertCreateCertificateContext(X509_ASN_ENCODING, nullptr, 0));
    EXPECT_EQ(nullptr, CertCreateCertificateContext(0, der.data(), static_cast<DWORD>(der.size())));

    // Unknown handles are refused, not followed.
    CERT_CONTEXT fake{};
    EXPECT_FALSE(CertFreeCertificateContext(&fake));
    EXPECT_EQ(static_cast<DWORD>(E_INVALIDARG), GetLastError());
    EXPECT_EQ(nullptr, CertDuplicateCertificateContext(&fake));
    DWORD len = 0;
    EXPECT_FALSE(CertGetCertificateContextProperty(&fake, CERT_SHA1_HASH_PROP_ID, nullptr, &len));
    EXPECT_FALSE(CertDeleteCertificateFromStore(&fake));
    int notAStore = 0;
    EXPECT_FALSE(CertCloseStore(&notAStore, 0));
    EXPECT_EQ(nullptr, CertEnumCertificatesInStore(&notAStore, nullptr));
    EXPECT_TRUE(CertCloseStore(nullptr, 0));
    EXPECT_TRUE(CertFreeCertificateContext(nullptr));
}

TEST_F(CertStoreApi, KeyProviderRecordRoundTripsWithParameters) {
    PCCERT_CONTEXT ctx = Create(Make({0x09}));
    ASSERT_NE(nullptr, ctx);
    DWORD len = 0;
    EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &len));
    EXPECT_EQ(static_cast<DWORD>(CRYPT_E_NOT_FOUND), GetLastError());

    std::u16string container = u"CONTAINER", prov = u"Some Provider";
    BYTE paramData[3] = {1, 2, 3};
    CRYPT_KEY_PROV_PARAM param{7, paramData, 3, 9};
    CRYPT_KEY_PROV_INFO info{&container[0], &prov[0], 24, 0x20, 1, &param, 2};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    container = u"CHANGED!!"; // the property is a copy

    ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &len));
    std::vector<BYTE> buffer(len);
    DWORD small = len - 1;
    EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &small));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(len, small);
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &len));
    const CRYPT_KEY_PROV_INFO* got = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    EXPECT_EQ(std::u16string(u"CONTAINER"), std::u16string(got->pwszContainerName));
    EXPECT_EQ(prov, std::u16string(got->pwszProvName));
    EXPECT_EQ(24u, got->dwProvType);
    EXPECT_EQ(0x20u, got->dwFlags);
    EXPECT_EQ(2u, got->dwKeySpec);
    ASSERT_EQ(1u, got->cProvParam);
    EXPECT_EQ(7u, got->rgProvParam[0].dwParam);
    EXPECT_EQ(9u, got->rgProvParam[0].dwFlags);
    ASSERT_EQ(3u, got->rgProvParam[0].cbData);
    EXPECT_EQ(0, memcmp(paramData, got->rgProvParam[0].pbData, 3));
    // Every pointer lies inside the caller's buffer.
    const BYTE* end = buffer.data() + buffer.size();
    EXPECT_TRUE(reinterpret_cast<const BYTE*>(got->pwszProvName) > buffer.data() &&
                reinterpret_cast<const BYTE*>(got->pwszProvName) < end);

    // Null strings survive; removing the property with null data.
    CRYPT_KEY_PROV_INFO noNames{nullptr, nullptr, 1, 0, 0, nullptr, 1};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &noNames));
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &len));
    buffer.assign(len, 0xEE);
    ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &len));
    EXPECT_EQ(nullptr, reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data())->pwszProvName);
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, nullptr));
    EXPECT_FALSE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &len));

    CRYPT_KEY_PROV_INFO broken{nullptr, nullptr, 1, 0, 2, nullptr, 1};
    EXPECT_FALSE(CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &broken));
    EXPECT_EQ(static_cast<DWORD>(E_INVALIDARG), GetLastError());
    CertFreeCertificateContext(ctx);
}

TEST_F(CertStoreApi, CompareUsesIssuerAndSignificantSerialBytes) {
    BYTE a[] = {0x01, 0x00}, b[] = {0x01}, c[] = {0x80}, d[] = {0x80, 0x00}, e[] = {0xFF, 0xFF}, f[] = {0xFF};
    CRYPT_INTEGER_BLOB A{2, a}, B{1, b}, C{1, c}, D{2, d}, E{2, e}, F{1, f};
    EXPECT_TRUE(CertCompareIntegerBlob(&A, &B));
    EXPECT_FALSE(CertCompareIntegerBlob(&C, &D)); // -128 and +128
    EXPECT_TRUE(CertCompareIntegerBlob(&E, &F));  // -1 both

    TTestCertOptions opt;
    opt.Serial = {0x55};
    opt.CommonName = "Igual";
    PCCERT_CONTEXT one = Create(TTestCert::SelfSigned(TTestKey::Rsa(1024), opt));
    PCCERT_CONTEXT sameId = Create(TTestCert::SelfSigned(TTestKey::RsaFresh(1024), opt));
    opt.Serial = {0x56};
    PCCERT_CONTEXT otherSerial = Create(TTestCert::SelfSigned(TTestKey::Rsa(1024), opt));
    opt.Serial = {0x55};
    opt.CommonName = "Outro Emissor";
    PCCERT_CONTEXT otherIssuer = Create(TTestCert::SelfSigned(TTestKey::Rsa(1024), opt));
    const DWORD enc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    EXPECT_TRUE(CertCompareCertificate(enc, one->pCertInfo, sameId->pCertInfo));
    EXPECT_FALSE(CertCompareCertificate(enc, one->pCertInfo, otherSerial->pCertInfo));
    EXPECT_FALSE(CertCompareCertificate(enc, one->pCertInfo, otherIssuer->pCertInfo));
    EXPECT_FALSE(CertCompareCertificate(enc, one->pCertInfo, nullptr));
    for (PCCERT_CONTEXT ctx : {one, sameId, otherSerial, otherIssuer})
        CertFreeCertificateContext(ctx);
}

// ---------------------------------------------------------------------------------------------------
// Stores

TEST_F(CertStoreApi, OpenFlagsAndPredefinedStores) {
    // The user's standard stores always exist; others only once created.
    HCERTSTORE my = Open(u"MY", CERT_STORE_OPEN_EXISTING_FLAG);
    ASSERT_NE(nullptr, my);
    EXPECT_TRUE(CertCloseStore(my, 0));
    EXPECT_EQ(nullptr, Open(u"Custom", CERT_STORE_OPEN_EXISTING_FLAG));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(nullptr, Open(u"Custom", CERT_STORE_READONLY_FLAG));
    HCERTSTORE custom = CertOpenSystemStoreA(0, "Custom");
    ASSERT_NE(nullptr, custom);
    CertCloseStore(custom, 0);
    custom = Open(u"custom", CERT_STORE_OPEN_EXISTING_FLAG); // names ignore case, as registry keys do
    ASSERT_NE(nullptr, custom);
    CertCloseStore(custom, 0);
    EXPECT_EQ(nullptr, Open(u"Custom", CERT_STORE_CREATE_NEW_FLAG));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
    EXPECT_EQ(nullptr, Open(u"Custom", CERT_STORE_DELETE_FLAG));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    EXPECT_EQ(nullptr, Open(u"Custom", CERT_STORE_OPEN_EXISTING_FLAG));

    EXPECT_EQ(nullptr, CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, u"MY"));
    EXPECT_EQ(nullptr, CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, 0, u"MY"));
    EXPECT_EQ(nullptr, Open(u"A\\B"));
    EXPECT_EQ(nullptr, Open(nullptr));
    EXPECT_EQ(nullptr, CertOpenSystemStoreA(0, nullptr));
    EXPECT_EQ(nullptr, CertOpenStore(reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(99)), 0, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER, u"MY"));
}

TEST_F(CertStoreApi, AddDispositionsPersistenceAndReadOnlyStores) {
    TTestCert cert = Make({0x61});
    PCCERT_CONTEXT ctx = Create(cert);
    BYTE name[] = {'A', 0, 0, 0};
    CRYPT_DATA_BLOB blob{sizeof(name), name};
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx, CERT_FRIENDLY_NAME_PROP_ID, 0, &blob));

    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    PCCERT_CONTEXT added = nullptr;
    ASSERT_TRUE(CertAddCertificateContextToStore(store, ctx, CERT_STORE_ADD_NEW, &added));
    ASSERT_NE(nullptr, added);
    EXPECT_NE(ctx, added);
    EXPECT_EQ(store, added->hCertStore);
    EXPECT_FALSE(CertAddCertificateContextToStore(store, ctx, CERT_STORE_ADD_NEW, nullptr));
    EXPECT_EQ(static_cast<DWORD>(CRYPT_E_EXISTS), GetLastError());
    EXPECT_TRUE(CertAddCertificateContextToStore(store, ctx, CERT_STORE_ADD_ALWAYS, nullptr));
    EXPECT_TRUE(CertAddCertificateContextToStore(store, ctx, CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
    EXPECT_EQ(1u, Thumbprints(store).size());
    EXPECT_FALSE(CertAddCertificateContextToStore(store, ctx, 9, nullptr));

    // A property set on a store's context is written through at once.
    BYTE other[] = {'B', 0, 0, 0};
    CRYPT_DATA_BLOB otherBlob{sizeof(other), other};
    ASSERT_TRUE(CertSetCertificateContextProperty(added, 1000, 0, &otherBlob));
    // added was replaced twice in the store; it still answers but is no longer an element.
    CertFreeCertificateContext(added);
    CertCloseStore(store, 0);

    HCERTSTORE readOnly = Open(u"MY", CERT_STORE_READONLY_FLAG);
    ASSERT_NE(nullptr, readOnly);
    PCCERT_CONTEXT stored = CertEnumCertificatesInStore(readOnly, nullptr);
    ASSERT_NE(nullptr, stored);
    EXPECT_EQ(cert.Sha1Hex(), Sha1Of(stored));
    DWORD len = sizeof(name);
    BYTE got[4] = {0};
    ASSERT_TRUE(CertGetCertificateContextProperty(stored, CERT_FRIENDLY_NAME_PROP_ID, got, &len));
    EXPECT_EQ(0, memcmp(name, got, sizeof(name)));
    len = 0;
    EXPECT_FALSE(CertGetCertificateContextProperty(stored, 1000, nullptr, &len));

    EXPECT_FALSE(CertSetCertificateContextProperty(stored, 1000, 0, &otherBlob));
    EXPECT_EQ(static_cast<DWORD>(E_ACCESSDENIED), GetLastError());
    EXPECT_FALSE(CertAddCertificateContextToStore(readOnly, ctx, CERT_STORE_ADD_ALWAYS, nullptr));
    EXPECT_EQ(static_cast<DWORD>(E_ACCESSDENIED), GetLastError());
    EXPECT_FALSE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(stored)));
    EXPECT_EQ(static_cast<DWORD>(E_ACCESSDENIED), GetLastError());
    CertFreeCertificateContext(stored);
    CertCloseStore(readOnly, 0);

    // USE_EXISTING adds the new context's missing properties to the stored one.
    ASSERT_TRUE(CertSetCertificateContextProperty(ctx, 1001, 0, &otherBlob));
    store = CertOpenSystemStoreA(0, "MY");
    ASSERT_TRUE(CertAddCertificateContextToStore(store, ctx, CERT_STORE_ADD_USE_EXISTING, nullptr));
    CertCloseStore(store, 0);
    store = CertOpenSystemStoreA(0, "MY");
    stored = CertEnumCertificatesInStore(store, nullptr);
    len = 0;
    EXPECT_TRUE(CertGetCertificateContextProperty(stored, 1001, nullptr, &len));
    EXPECT_EQ(4u, len);
    CertFreeCertificateContext(stored);
    CertCloseStore(store, 0);
    CertFreeCertificateContext(ctx);
}

TEST_F(CertStoreApi, DeletingDuringEnumerationGoesOnFromTheEnumeratedContext) {
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    std::vector<std::string> all;
    for (BYTE serial = 1; serial <= 4; ++serial) {
        TTestCert cert = Make({serial});
        Bytes der = cert.Der();
        ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                     static_cast<DWORD>(der.size()), CERT_STORE_ADD_NEW,
                                                     nullptr));
        all.push_back(cert.Sha1Hex());
    }
    CertCloseStore(store, 0);

    store = CertOpenSystemStoreA(0, "MY");
    std::vector<std::string> seen, deleted;
    PCCERT_CONTEXT ctx = nullptr;
    int index = 0;
    while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr) {
        seen.push_back(Sha1Of(ctx));
        if (index++ % 2 == 0) {
            deleted.push_back(Sha1Of(ctx));
            ASSERT_TRUE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(ctx)));
        }
    }
    EXPECT_EQ(static_cast<DWORD>(CRYPT_E_NOT_FOUND), GetLastError());
    std::sort(seen.begin(), seen.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, seen);
    EXPECT_EQ(2u, Thumbprints(store).size());
    CertCloseStore(store, 0);

    store = Open(u"MY", CERT_STORE_READONLY_FLAG);
    std::vector<std::string> left = Thumbprints(store);
    CertCloseStore(store, 0);
    ASSERT_EQ(2u, left.size());
    for (const std::string& gone : deleted)
        EXPECT_EQ(left.end(), std::find(left.begin(), left.end(), gone));
}

TEST_F(CertStoreApi, ContextsOutliveTheirClosedStoreAndDamagedEntriesAreSkipped) {
    TTestCert cert = Make({0x71});
    HCERTSTORE store = CertOpenSystemStoreA(0, "CA");
    Bytes der = cert.Der();
    PCCERT_CONTEXT ctx = nullptr;
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                 static_cast<DWORD>(der.size()), CERT_STORE_ADD_NEW, &ctx));
    EXPECT_FALSE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
    EXPECT_EQ(static_cast<DWORD>(CRYPT_E_PENDING_CLOSE), GetLastError());
    EXPECT_EQ(der, Bytes(ctx->pbCertEncoded, ctx->pbCertEncoded + ctx->cbCertEncoded));
    EXPECT_EQ(nullptr, CertEnumCertificatesInStore(store, nullptr)); // the handle itself is closed
    EXPECT_TRUE(CertFreeCertificateContext(ctx));

    // Entries that do not hold a readable blob are passed over.
    const std::string certs = std::string(kCertsKey) + "CA\\Certificates\\";
    const std::pair<const char*, Bytes> damaged[] = {
        {"0000000000000000000000000000000000000001", Bytes{1, 2, 3}},
        {"0000000000000000000000000000000000000002", Bytes{32, 0, 0, 0, 1, 0, 0, 0, 200, 0, 0, 0, 0x30}},
        {"0000000000000000000000000000000000000003", Bytes{2, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0, 1, 2, 3, 4}},
    };
    for (const auto& entry : damaged) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, (certs + entry.first).c_str(), 0, nullptr,
                                                 0, KEY_WRITE, nullptr, &key, nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Blob", 0, REG_BINARY, entry.second.data(),
                                                static_cast<DWORD>(entry.second.size())));
        RegCloseKey(key);
    }
    // A key-provider record that points outside its property is dropped, the certificate kept.
    Bytes withBadRecord;
    auto put = [&withBadRecord](DWORD v) {
        for (int i = 0; i < 4; ++i)
            withBadRecord.push_back(static_cast<BYTE>(v >> (8 * i)));
    };
    TTestCert second = Make({0x72});
    Bytes der2 = second.Der();
    put(CERT_KEY_PROV_INFO_PROP_ID);
    put(1);
    put(28);
    put(5000); // container offset far outside
    for (int i = 0; i < 6; ++i)
        put(0);
    put(32);
    put(1);
    put(static_cast<DWORD>(der2.size()));
    withBadRecord.insert(withBadRecord.end(), der2.begin(), der2.end());
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, (certs + second.Sha1Hex()).c_str(), 0,
                                             nullptr, 0, KEY_WRITE, nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Blob", 0, REG_BINARY, withBadRecord.data(),
                                            static_cast<DWORD>(withBadRecord.size())));
    RegCloseKey(key);

    store = Open(u"CA", CERT_STORE_READONLY_FLAG);
    ASSERT_NE(nullptr, store);
    std::vector<std::string> expected = {cert.Sha1Hex(), second.Sha1Hex()};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, Thumbprints(store));
    PCCERT_CONTEXT found = nullptr;
    DWORD len = 0;
    while ((found = CertEnumCertificatesInStore(store, found)) != nullptr)
        EXPECT_FALSE(CertGetCertificateContextProperty(found, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &len));
    CertCloseStore(store, 0);
}
