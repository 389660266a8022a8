// crypt32's own signing with the provider's key, as mail, document and certificate tools use it: crypt32
// finds the key through the certificate's key-provider information and hashes the content itself
// (CryptCreateHash, CryptHashData, CryptSignHash on the provider). The outputs go to files that the
// acceptance script verifies with OpenSSL: CMS with "openssl cms -verify", the certificate with
// "openssl verify".
#include "../wineCheck.h"

#include <cstring>

namespace {

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// CryptSignMessage over one content part, with the size query first as applications do.
bool SignMessage(CRYPT_SIGN_MESSAGE_PARA& para, BOOL detached, const std::vector<BYTE>& content,
                 std::vector<BYTE>& out, DWORD* error) {
    const BYTE* parts[] = {content.data()};
    DWORD sizes[] = {static_cast<DWORD>(content.size())};
    DWORD len = 0;
    BOOL ok = CryptSignMessage(&para, detached, 1, parts, sizes, nullptr, &len);
    if (ok) {
        out.resize(len);
        ok = CryptSignMessage(&para, detached, 1, parts, sizes, out.data(), &len);
        out.resize(ok ? len : 0);
    }
    *error = ok ? 0 : GetLastError();
    return ok != FALSE;
}

// Checks one signed message locally with crypt32 as well (its verification uses the certificate in the
// message and Wine's own provider).
bool VerifiedByCrypt32(const std::vector<BYTE>& blob, BOOL detached, const std::vector<BYTE>& content) {
    CRYPT_VERIFY_MESSAGE_PARA para = {};
    para.cbSize = sizeof(para);
    para.dwMsgAndCertEncodingType = kEncoding;
    if (detached) {
        const BYTE* parts[] = {content.data()};
        DWORD sizes[] = {static_cast<DWORD>(content.size())};
        return CryptVerifyDetachedMessageSignature(&para, 0, blob.data(), static_cast<DWORD>(blob.size()), 1,
                                                   parts, sizes, nullptr) != FALSE;
    }
    DWORD len = 0;
    if (!CryptVerifyMessageSignature(&para, 0, blob.data(), static_cast<DWORD>(blob.size()), nullptr, &len,
                                     nullptr))
        return false;
    std::vector<BYTE> recovered(len);
    return CryptVerifyMessageSignature(&para, 0, blob.data(), static_cast<DWORD>(blob.size()),
                                       recovered.data(), &len, nullptr) &&
           std::vector<BYTE>(recovered.begin(), recovered.begin() + len) == content;
}

void CheckMessages(TWineReport& report, PCCERT_CONTEXT cert, const std::vector<BYTE>& message,
                   const TWineOptions& options) {
    CRYPT_SIGN_MESSAGE_PARA para = {};
    para.cbSize = sizeof(para);
    para.dwMsgEncodingType = kEncoding;
    para.pSigningCert = cert;
    para.HashAlgorithm.pszObjId = const_cast<char*>(szOID_NIST_sha256);
    para.cMsgCert = 1;
    para.rgpMsgCert = &cert;

    struct TCase {
        const char* Name;
        BOOL Detached;
        bool SignedAttributes;
        const char* File;
    };
    static const TCase cases[] = {
        {"SignMessage_Detached", TRUE, false, "cms_detached.p7s"},
        {"SignMessage_Attached", FALSE, false, "cms_attached.p7s"},
        {"SignMessage_SignedAttributes", TRUE, true, "cms_attrs.p7s"},
    };
    // A signing-time attribute makes crypt32 add the content-type and message-digest attributes and
    // sign their encoding instead of the content.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    BYTE timeDer[32];
    DWORD timeLen = sizeof(timeDer);
    bool timeOk =
        CryptEncodeObject(X509_ASN_ENCODING, szOID_RSA_signingTime, &now, timeDer, &timeLen) != FALSE;
    report.Check("EncodeSigningTime", timeOk, "error %s", LastErrorText(GetLastError()).c_str());
    CRYPT_ATTR_BLOB timeBlob = {timeLen, timeDer};
    CRYPT_ATTRIBUTE signingTime = {const_cast<char*>(szOID_RSA_signingTime), 1, &timeBlob};

    for (const TCase& c : cases) {
        para.cAuthAttr = c.SignedAttributes && timeOk ? 1 : 0;
        para.rgAuthAttr = para.cAuthAttr ? &signingTime : nullptr;
        std::vector<BYTE> blob;
        DWORD error = 0;
        bool ok = SignMessage(para, c.Detached, message, blob, &error);
        if (report.Compat(c.Name, ok, "FALSE, last error %s", LastErrorText(error).c_str())) {
            report.Check((std::string(c.Name) + "_WriteFile").c_str(),
                         WriteFileBytes(JoinPath(options.OutDir, c.File), blob.data(), blob.size()));
            report.Check((std::string(c.Name) + "_VerifiedByCrypt32").c_str(),
                         VerifiedByCrypt32(blob, c.Detached, message), "error %s",
                         LastErrorText(GetLastError()).c_str());
        }
    }
}

// A self-signed certificate over the signer's own public key: the to-be-signed part is what
// CryptSignCertificate signs; CryptSignAndEncodeCertificate makes the whole certificate.
void CheckCertificates(TWineReport& report, PCCERT_CONTEXT cert, const TWineOptions& options) {
    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
    BOOL callerFree = FALSE;
    if (!report.Check("AcquireCertificatePrivateKey",
                      CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &keySpec, &callerFree) !=
                          FALSE,
                      "error %s", LastErrorText(GetLastError()).c_str()))
        return;

    BYTE nameDer[128];
    DWORD nameLen = sizeof(nameDer);
    bool named = CertStrToNameA(X509_ASN_ENCODING, "CN=LUCSP crypt32 self-signed, O=LUCSP acceptance",
                                CERT_X500_NAME_STR, nullptr, nameDer, &nameLen, nullptr) != FALSE;
    report.Check("EncodeName", named, "error %s", LastErrorText(GetLastError()).c_str());
    BYTE serial[] = {0x2A, 0x14};
    CERT_INFO info = {};
    info.dwVersion = CERT_V1;
    info.SerialNumber = {sizeof(serial), serial};
    info.SignatureAlgorithm.pszObjId = const_cast<char*>(szOID_RSA_SHA256RSA);
    info.Issuer = {nameLen, nameDer};
    info.Subject = info.Issuer;
    ULARGE_INTEGER t;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    const ULONGLONG hour = 36000000000ULL;
    ULARGE_INTEGER from, to;
    from.QuadPart = t.QuadPart - hour;
    to.QuadPart = t.QuadPart + 24 * hour;
    info.NotBefore = {from.LowPart, from.HighPart};
    info.NotAfter = {to.LowPart, to.HighPart};
    info.SubjectPublicKeyInfo = cert->pCertInfo->SubjectPublicKeyInfo;

    DWORD tbsLen = 0;
    std::vector<BYTE> tbs;
    bool encoded =
        named && CryptEncodeObject(X509_ASN_ENCODING, X509_CERT_TO_BE_SIGNED, &info, nullptr, &tbsLen);
    if (encoded) {
        tbs.resize(tbsLen);
        encoded = CryptEncodeObject(X509_ASN_ENCODING, X509_CERT_TO_BE_SIGNED, &info, tbs.data(), &tbsLen);
        tbs.resize(tbsLen);
    }
    if (report.Check("EncodeToBeSigned", encoded, "error %s", LastErrorText(GetLastError()).c_str())) {
        CRYPT_ALGORITHM_IDENTIFIER alg = {const_cast<char*>(szOID_RSA_SHA256RSA), {0, nullptr}};
        DWORD sigLen = 0;
        BOOL ok = CryptSignCertificate(prov, keySpec, X509_ASN_ENCODING, tbs.data(), tbsLen, &alg, nullptr,
                                       nullptr, &sigLen);
        std::vector<BYTE> signature(sigLen ? sigLen : 1);
        if (ok)
            ok = CryptSignCertificate(prov, keySpec, X509_ASN_ENCODING, tbs.data(), tbsLen, &alg, nullptr,
                                      signature.data(), &sigLen);
        DWORD error = GetLastError();
        if (report.Compat("SignCertificate", ok != FALSE, "FALSE, last error %s",
                          LastErrorText(error).c_str())) {
            signature.resize(sigLen);
            // As CryptSignHash returns it (little-endian); the encoders reverse it into the certificate.
            report.Check("SignCertificate_WriteFiles",
                         WriteFileBytes(JoinPath(options.OutDir, "cert_tbs.der"), tbs.data(), tbs.size()) &&
                             WriteFileBytes(JoinPath(options.OutDir, "cert_sig.bin"), signature.data(),
                                            signature.size()));
        }

        DWORD certLen = 0;
        ok = CryptSignAndEncodeCertificate(prov, keySpec, X509_ASN_ENCODING, X509_CERT_TO_BE_SIGNED, &info,
                                           &alg, nullptr, nullptr, &certLen);
        std::vector<BYTE> encodedCert(certLen ? certLen : 1);
        if (ok)
            ok = CryptSignAndEncodeCertificate(prov, keySpec, X509_ASN_ENCODING, X509_CERT_TO_BE_SIGNED,
                                               &info, &alg, nullptr, encodedCert.data(), &certLen);
        error = GetLastError();
        if (report.Compat("SignAndEncodeCertificate", ok != FALSE, "FALSE, last error %s",
                          LastErrorText(error).c_str())) {
            encodedCert.resize(certLen);
            PCCERT_CONTEXT made =
                CertCreateCertificateContext(X509_ASN_ENCODING, encodedCert.data(), certLen);
            report.Check("SignAndEncodeCertificate_Parses", made != nullptr, "error %s",
                         LastErrorText(GetLastError()).c_str());
            if (made) {
                // crypt32's own check of the signature with the public key in the certificate.
                report.Check("SignAndEncodeCertificate_VerifiedByCrypt32",
                             CryptVerifyCertificateSignature(0, X509_ASN_ENCODING, encodedCert.data(),
                                                             certLen,
                                                             &made->pCertInfo->SubjectPublicKeyInfo) != FALSE,
                             "error %s", LastErrorText(GetLastError()).c_str());
                CertFreeCertificateContext(made);
            }
            report.Check("SignAndEncodeCertificate_WriteFile",
                         WriteFileBytes(JoinPath(options.OutDir, "cert_selfsigned.der"), encodedCert.data(),
                                        encodedCert.size()));
        }
    }
    if (callerFree) CryptReleaseContext(prov, 0);
}

} // namespace

int RunCrypt32Phase(const TWineOptions& options) {
    TWineReport report("crypt32", options.CompatRequired);
    std::vector<BYTE> der, message;
    if (!ReadCertAndMessage(report, options, der, message)) return report.Finish();
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT cert = FindInstalledCertificate(report, der, &store);
    if (!store) return report.Finish();
    if (cert) {
        CheckMessages(report, cert, message, options);
        CheckCertificates(report, cert, options);
        CertFreeCertificateContext(cert);
    }
    CertCloseStore(store, 0);
    return report.Finish();
}
