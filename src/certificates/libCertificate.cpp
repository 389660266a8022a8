// The RSA handle, its size and the raw public operations are OpenSSL 1.1 interfaces that 3.0 marks
// deprecated; this file is the one place that uses them.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "certificates/libCertificate.h"

#include "platform/platDebug.h"
#include "platform/platTraceScope.h"
#include "platform/platRotPadroes.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

const char kPemHeader[] = "-----BEGIN CERTIFICATE-----";
const char kPemFooter[] = "-----END CERTIFICATE-----";
const uint32_t kPemLineChars = 64;

// OpenSSL's text for its latest error; the queue is emptied so that the next failure reports its own.
struct TOpenSSLError {
    TOpenSSLError() {
        unsigned long code = ERR_peek_last_error();
        Text[0] = '\0';
        if (code) ERR_error_string_n(code, Text, sizeof(Text));
        ERR_clear_error();
    }
    char Text[256];
};

// Certificates carry no encrypted PEM headers; refusing any password keeps the reader from ever
// prompting on a terminal.
int NoPassword(char*, int, int, void*) {
    return 0;
}

// DER length at pos; advances pos past the length bytes. Only the forms an RSA key needs (short form,
// 0x81, 0x82) are accepted.
bool ReadDerLength(const BYTE* buff, uint32_t lenBuff, uint32_t& pos, uint32_t& length) {
    if (pos >= lenBuff) return false;
    BYTE first = buff[pos++];
    if (first < 0x80) {
        length = first;
    } else if (first == 0x81) {
        if (pos + 1 > lenBuff) return false;
        length = buff[pos];
        pos += 1;
    } else if (first == 0x82) {
        if (pos + 2 > lenBuff) return false;
        length = (static_cast<uint32_t>(buff[pos]) << 8) | buff[pos + 1];
        pos += 2;
    } else {
        return false;
    }
    return length <= lenBuff - pos;
}

bool ReadDigits(const char* text, int count, int& value) {
    value = 0;
    for (int i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

int DaysInMonth(int month, int year) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) return 29;
    return days[month - 1];
}

char* DupString(const char* text) {
    size_t len = strlen(text);
    char* copy = static_cast<char*>(malloc(len + 1));
    if (copy) memcpy(copy, text, len + 1);
    return copy;
}

// The certificate's Base64 text, whatever its line ends and armour, as PEM of 64-character lines.
bool WrapPem(const TVarnoMemory* certData, TVarnoMemory* out) {
    if (!certData || !out) {
        TRACE(DBERRO_0, "Parametro invalido, certData=[%p] out=[%p]\n", static_cast<const void*>(certData),
              static_cast<void*>(out));
        return false;
    }
    TVarnoMemory text;
    if (!text.Add(certData->FileData, certData->LenFileData)) return false;
    // Every line end goes, CR included: a CR left in the Base64 could end up alone on the last line
    // after re-wrapping, which the PEM reader refuses.
    if (!text.DeleteString("\n") || !text.DeleteString("\r") || !text.DeleteString(kPemHeader) ||
        !text.DeleteString(kPemFooter))
        return false;
    out->Clear();
    if (!out->AddString(kPemHeader) || !out->Add("\n", 1)) return false;
    for (uint32_t pos = 0; pos < text.LenFileData; pos += kPemLineChars) {
        uint32_t piece = text.LenFileData - pos < kPemLineChars ? text.LenFileData - pos : kPemLineChars;
        if (!out->Add(text.FileData + pos, piece) || !out->Add("\n", 1)) return false;
    }
    return out->AddString(kPemFooter) != 0;
}

struct TBioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct TPKeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct TBnFree {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};
struct TMallocFree {
    void operator()(void* p) const { free(p); }
};

} // namespace

// ---------------------------------------------------------------------------------------------------
// TCertificate

TCertificate::TCertificate()
    : hasCertFile(false), x509Cert(nullptr), rsaPublicKey(nullptr), StoreType(0), SerialNumber(nullptr),
      PrintSHA1(nullptr), PrintSHA256(nullptr), SubjectName(nullptr), KeyLenght(0) {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    memset(ProviderName, 0, sizeof(ProviderName));
    memset(SubjectLine, 0, sizeof(SubjectLine));
    memset(NotBefore, 0, sizeof(NotBefore));
    memset(NotAfter, 0, sizeof(NotAfter));
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
}

TCertificate::~TCertificate() {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    Clear();
}

void TCertificate::FreeInfoTexts() {
    free(SerialNumber);
    SerialNumber = nullptr;
    free(PrintSHA1);
    PrintSHA1 = nullptr;
    free(PrintSHA256);
    PrintSHA256 = nullptr;
    free(SubjectName);
    SubjectName = nullptr;
}

void TCertificate::Clear() {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s x509Cert=[%p] rsaPublicKey=[%p]>\n", LU_FN, static_cast<void*>(x509Cert),
                static_cast<void*>(rsaPublicKey));
    FreeInfoTexts();
    memset(ProviderName, 0, sizeof(ProviderName));
    memset(NotBefore, 0, sizeof(NotBefore));
    memset(NotAfter, 0, sizeof(NotAfter));
    CertFile.Clear();
    CertFileBIN.Clear();
    PublicModulus.Clear();
    PublicExponent.Clear();
    RSA_free(rsaPublicKey);
    rsaPublicKey = nullptr;
    X509_free(x509Cert);
    x509Cert = nullptr;
    hasCertFile = false;
    TRACE_RESULT(1);
}

bool TCertificate::LoadCert_FromMemory(int certType, const void* certBuff, uint32_t lenCertBuff,
                                       const char* providerName, bool TryLoadInfoPublickKey) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s certType=[%d] certBuff=[%p] lenCertBuff=[%d]>\n", LU_FN, certType,
                certBuff, static_cast<int>(lenCertBuff));
    bool result = false;
    if (!certBuff) {
        TRACE(DBERRO_0, "Parametro invalido, certBuff=[%p] lenCertBuff=[%d]\n", certBuff,
              static_cast<int>(lenCertBuff));
        Clear();
    } else {
        TVarnoMemory certData;
        if (certData.LoadFromMemory(certBuff, lenCertBuff) && certData.FileData)
            result = LoadCert_FromMemory(certType, &certData, providerName, TryLoadInfoPublickKey);
        else
            Clear();
    }
    TRACE_RETURN(result);
}

bool TCertificate::LoadCert_FromMemory(int certType, TVarnoMemory* certData, const char* providerName,
                                       bool TryLoadInfoPublickKey) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s certType=[%d] certData=[%p] TryLoadInfoPublickKey=[%d]>\n", LU_FN,
                certType, static_cast<void*>(certData), TryLoadInfoPublickKey);
    // Every load starts empty; a source that is one of our own buffers is copied out first.
    TVarnoMemory ownCopy;
    if (certData && (certData == &CertFile || certData == &CertFileBIN || certData == &PublicModulus ||
                     certData == &PublicExponent)) {
        ownCopy.Add(certData->FileData, certData->LenFileData);
        certData = &ownCopy;
    }
    char providerCopy[sizeof(ProviderName)] = {0};
    if (providerName) snprintf(providerCopy, sizeof(providerCopy), "%s", providerName);
    Clear();
    if (!LoadCertSteps(certType, certData, TryLoadInfoPublickKey)) {
        Clear();
        TRACE_RETURN(false);
    }
    if (providerName) memcpy(ProviderName, providerCopy, sizeof(ProviderName));
    TRACE_RETURN(true);
}

bool TCertificate::LoadCertSteps(int certType, TVarnoMemory* certData, bool TryLoadInfoPublickKey) {
    if (!certData) {
        TRACE(DBERRO_0, "Parametro invalido, certData=[%p]\n", static_cast<void*>(certData));
        return false;
    }
    if (!FormatCert_ToRead(certType, certData, &CertFile)) return false;
    hasCertFile = true;
    if (!LoadCertFile_X509(TryLoadInfoPublickKey)) {
        TRACE(DBERRO_0, "Falha ao carregar certificado\n");
        return false;
    }
    if (!LoadCert_GetInfo()) return false;
    unsigned char* der = nullptr;
    int lenDer = i2d_X509(x509Cert, &der);
    if (lenDer <= 0 || !der) {
        TOpenSSLError err;
        TRACE(DBERRO_0, "Falha na i2d_X509 lenDer=[%d] error=[%s]\n", lenDer, err.Text);
        return false;
    }
    int added = CertFileBIN.Add(der, static_cast<uint32_t>(lenDer));
    OPENSSL_free(der);
    return added != 0;
}

bool TCertificate::FormatCert_ToRead(int certType, TVarnoMemory* certData, TVarnoMemory* out) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s certType=[%d] certData=[%p] out=[%p]>\n", LU_FN, certType,
                static_cast<void*>(certData), static_cast<void*>(out));
    TRACE_RETURN(WrapPem(certData, out));
}

bool TCertificate::LoadCertFile_X509(bool TryLoadInfoPublickKey) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s hasCertFile=[%d]>\n", LU_FN, hasCertFile);
    if (!ReadX509(TryLoadInfoPublickKey)) {
        Clear();
        TRACE_RETURN(false);
    }
    TRACE_RETURN(true);
}

bool TCertificate::ReadX509(bool TryLoadInfoPublickKey) {
    if (!hasCertFile || !CertFile.FileData) {
        TRACE(DBERRO_0, "Falha no LoadCertFile hasCertFile=[%d]\n", hasCertFile);
        return false;
    }
    X509_free(x509Cert);
    x509Cert = nullptr;
    RSA_free(rsaPublicKey);
    rsaPublicKey = nullptr;
    ERR_clear_error();

    std::unique_ptr<BIO, TBioFree> bio(
        BIO_new_mem_buf(CertFile.FileData, static_cast<int>(CertFile.LenFileData)));
    if (bio) x509Cert = PEM_read_bio_X509(bio.get(), nullptr, NoPassword, nullptr);
    if (!x509Cert) {
        TOpenSSLError err;
        TRACE(DBERRO_0, "Falha na PEM_read_bio_X509 error=[%s]\n", err.Text);
        return false;
    }
    std::unique_ptr<EVP_PKEY, TPKeyFree> publicKey(X509_get_pubkey(x509Cert));
    if (!publicKey) {
        TOpenSSLError err;
        TRACE(DBERRO_0, "Falha na X509_get_pubkey error=[%s]\n", err.Text);
        return false;
    }
    rsaPublicKey = EVP_PKEY_get1_RSA(publicKey.get());
    if (!rsaPublicKey) {
        TOpenSSLError err;
        TRACE(DBERRO_0, "Falha na PEM_read_bio_RSA_PUBKEY error=[%s]\n", err.Text);
        return false;
    }
    if (TryLoadInfoPublickKey && !LoadPublicKeyInfo()) return false;
    KeyLenght = RSA_size(rsaPublicKey);
    TRACE(DBINFO_0, "Setando KeyLenght=[%d] TryLoadInfoPublickKey=[%d]\n", KeyLenght, TryLoadInfoPublickKey);
    return true;
}

// Walks the PKCS#1 RSAPublicKey (SEQUENCE { INTEGER modulus, INTEGER publicExponent }) of the key.
bool TCertificate::LoadPublicKeyInfo() {
    TRACE(DBHEAD_L, "<%s rsaPublicKey=[%p]>\n", LU_FN, static_cast<void*>(rsaPublicKey));
    unsigned char* der = nullptr;
    PublicModulus.Clear();
    PublicExponent.Clear();
    bool result = false;
    int lenDerSigned = i2d_RSAPublicKey(rsaPublicKey, &der);
    if (lenDerSigned < 0) {
        TOpenSSLError err;
        TRACE(DBERRO_0, "Falha na i2d_RSAPublicKey error=[%s]\n", err.Text);
    } else {
        result = lenDerSigned == 0 || !der || ReadPublicKeyFields(der, lenDerSigned);
    }
    OPENSSL_free(der);
    if (!result) {
        PublicModulus.Clear();
        PublicExponent.Clear();
    }
    // The exit line shows the lengths read.
    TRACE(DBHEAD_L, "</%s result=[%d] PublicModulus=[%d] PublicExponent=[%d]>\n", LU_FN, result,
          static_cast<int>(PublicModulus.LenFileData), static_cast<int>(PublicExponent.LenFileData));
    return result;
}

bool TCertificate::ReadPublicKeyFields(const BYTE* der, int lenDerSigned) {
    const uint32_t lenDer = static_cast<uint32_t>(lenDerSigned);
    if (der[0] != 0x30) {
        TRACE(DBERRO_0,
              "Falha ao encontrar o identificado 0x30 do inicio da formatação, buffPosAtual[0]=[%02X]\n",
              der[0]);
        return false;
    }
    uint32_t pos = 1;
    uint32_t lenCampo = 0;
    if (!ReadDerLength(der, lenDer, pos, lenCampo)) {
        TRACE(DBERRO_0, "Falha no tamanho da sequencia, lenDer=[%d]\n", lenDerSigned);
        return false;
    }
    for (int campoAtual = 0; campoAtual < 2; ++campoAtual) {
        if (pos >= lenDer || der[pos] != 0x02) {
            TRACE(DBERRO_0,
                  "Falha ao encontrar o identificado inteiro do campoAtual=[%d], buffPosAtual[0]=[%02X]\n",
                  campoAtual, pos < lenDer ? der[pos] : 0);
            return false;
        }
        ++pos;
        if (!ReadDerLength(der, lenDer, pos, lenCampo) || lenCampo == 0) {
            TRACE(DBERRO_0, "Falha no tamanho do campoAtual=[%d], lenCampo=[%d] lenDer=[%d]\n", campoAtual,
                  static_cast<int>(lenCampo), lenDerSigned);
            return false;
        }
        const BYTE* content = der + pos;
        bool ok;
        if (campoAtual == 0) {
            // Only the DER sign byte goes; a modulus of an odd number of bytes keeps all its bytes.
            uint32_t skip = (lenCampo > 1 && content[0] == 0x00) ? 1 : 0;
            ok = PublicModulus.Add(content + skip, lenCampo - skip) != 0;
        } else {
            ok = lenCampo % 2 == 0 || PublicExponent.AddZeroBytes(1) != 0;
            ok = ok && PublicExponent.Add(content, lenCampo) != 0;
        }
        if (!ok) return false;
        pos += lenCampo;
    }
    return true;
}

bool TCertificate::LoadCert_GetInfo() {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s x509Cert=[%p]>\n", LU_FN, static_cast<void*>(x509Cert));
    if (!x509Cert) {
        TRACE(DBERRO_0, "Certificado não foi carregado\n");
        TRACE_RETURN(false);
    }
    FreeInfoTexts();
    if (!ReadSerialNumber() || !ReadFingerprints() || !ReadSubjectName()) TRACE_RETURN(false);
    FormatAsn1Time(X509_get0_notBefore(x509Cert), NotBefore, sizeof(NotBefore));
    FormatAsn1Time(X509_get0_notAfter(x509Cert), NotAfter, sizeof(NotAfter));
    TRACE(DBINFO_0, "SerialNumber=[%s] PrintSHA1=[%s] SubjectName=[%s] NotBefore=[%s] NotAfter=[%s]\n",
          SerialNumber, PrintSHA1, SubjectName, NotBefore, NotAfter);
    TRACE_RETURN(true);
}

bool TCertificate::ReadSerialNumber() {
    std::unique_ptr<BIGNUM, TBnFree> serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(x509Cert), nullptr));
    int lenTmp = serial ? (BN_num_bits(serial.get()) + 7) / 8 : 0;
    std::unique_ptr<BYTE, TMallocFree> buffTmpAlloc;
    if (lenTmp > 0) buffTmpAlloc.reset(static_cast<BYTE*>(malloc(static_cast<size_t>(lenTmp))));
    if (lenTmp == 0 || !buffTmpAlloc) {
        TRACE(DBERRO_0, "Falha ao recuperar o numero de serie, lenTmp=[%d], buffTmpAlloc=[%p]\n", lenTmp,
              static_cast<void*>(buffTmpAlloc.get()));
        return false;
    }
    int lenBin = BN_bn2bin(serial.get(), buffTmpAlloc.get());
    if (lenBin != lenTmp) {
        TRACE(DBERRO_0, "Falha na BN_bn2bin=[%d], lenTmp=[%d]\n", lenBin, lenTmp);
        return false;
    }
    SerialNumber = ConvertToHexAscii(buffTmpAlloc.get(), lenTmp);
    if (!SerialNumber) {
        TRACE(DBERRO_0, "Falha converter SerialNumber in HexAscii\n");
        return false;
    }
    return true;
}

bool TCertificate::ReadFingerprints() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int lenDigest = 0;
    if (!X509_digest(x509Cert, EVP_sha1(), digest, &lenDigest)) {
        TRACE(DBERRO_0, "Falha X509_digest fprint_type");
        return false;
    }
    PrintSHA1 = ConvertToHexAscii(digest, static_cast<int>(lenDigest));
    if (!PrintSHA1) {
        TRACE(DBERRO_0, "Falha converter PrintSHA1 in HexAscii\n");
        return false;
    }
    if (!X509_digest(x509Cert, EVP_sha256(), digest, &lenDigest)) {
        TRACE(DBERRO_0, "Falha X509_digest fprint_type");
        return false;
    }
    PrintSHA256 = ConvertToHexAscii(digest, static_cast<int>(lenDigest));
    if (!PrintSHA256) {
        TRACE(DBERRO_0, "Falha converter PrintSHA256 in HexAscii\n");
        return false;
    }
    return true;
}

bool TCertificate::ReadSubjectName() {
    X509_NAME* subject = X509_get_subject_name(x509Cert);
    if (!subject) {
        TRACE(DBERRO_0, "Falha ao execute X509_get_subject_name\n");
        return false;
    }
    if (!X509_NAME_oneline(subject, SubjectLine, sizeof(SubjectLine))) {
        TRACE(DBERRO_0, "Falha ao execute X509_NAME_oneline\n");
        return false;
    }
    char commonName[254] = {0};
    if (X509_NAME_get_text_by_NID(subject, NID_commonName, commonName, sizeof(commonName)) < 0) {
        TRACE(DBERRO_0, "Falha ao execute X509_NAME_get_text_by_NID\n");
        return false;
    }
    SubjectName = DupString(commonName);
    if (!SubjectName) {
        TRACE(DBERRO_0, "Falha ao alocar SubjectName, lenTmp=[%d]\n",
              static_cast<int>(strlen(commonName) + 1));
        return false;
    }
    return true;
}

bool TCertificate::FormatAsn1Time(const ASN1_TIME* asn1Time, char* textOut, size_t sizeTextOut) {
    if (!asn1Time) {
        if (textOut && sizeTextOut) textOut[0] = '\0';
        return false;
    }
    return FormatAsn1Time(ASN1_STRING_type(asn1Time),
                          reinterpret_cast<const char*>(ASN1_STRING_get0_data(asn1Time)),
                          ASN1_STRING_length(asn1Time), textOut, sizeTextOut);
}

bool TCertificate::FormatAsn1Time(int asn1Type, const char* timeText, int lenTimeText, char* textOut,
                                  size_t sizeTextOut) {
    if (!textOut || sizeTextOut == 0) return false;
    textOut[0] = '\0';
    if (!timeText) return false;

    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int pos = 0;
    if (asn1Type == V_ASN1_UTCTIME) {
        if (lenTimeText < 12 || !ReadDigits(timeText, 2, year)) return false;
        year += year < 50 ? 2000 : 1900;
        pos = 2;
    } else if (asn1Type == V_ASN1_GENERALIZEDTIME) {
        if (lenTimeText < 14 || !ReadDigits(timeText, 4, year)) return false;
        pos = 4;
    } else {
        return false;
    }
    if (!ReadDigits(timeText + pos, 2, month) || !ReadDigits(timeText + pos + 2, 2, day) ||
        !ReadDigits(timeText + pos + 4, 2, hour) || !ReadDigits(timeText + pos + 6, 2, minute) ||
        !ReadDigits(timeText + pos + 8, 2, second))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(month, year) || hour > 23 || minute > 59 ||
        second > 60)
        return false;
    pos += 10;

    // Zulu times are shown in the service's fixed local time, UTC-3.
    if (pos < lenTimeText && timeText[pos] == 'Z') {
        hour -= 3;
        if (hour < 0) {
            hour += 24;
            if (--day < 1) {
                if (--month < 1) {
                    month = 12;
                    --year;
                }
                day = DaysInMonth(month, year);
            }
        }
    }
    snprintf(textOut, sizeTextOut, "%02d/%02d/%04d %02d:%02d:%02d", day, month, year, hour, minute, second);
    return true;
}

bool TCertificate::LoadPublicKey(const BYTE* modulus, uint32_t lenModulus, uint32_t exponent) {
    BYTE e[4] = {static_cast<BYTE>(exponent >> 24), static_cast<BYTE>(exponent >> 16),
                 static_cast<BYTE>(exponent >> 8), static_cast<BYTE>(exponent)};
    RSA* rsa = RSA_new();
    BIGNUM* n = BN_bin2bn(modulus, static_cast<int>(lenModulus), nullptr);
    BIGNUM* pe = BN_bin2bn(e, 4, nullptr);
    if (!rsa || !n || !pe || RSA_set0_key(rsa, n, pe, nullptr) != 1) {
        RSA_free(rsa);
        BN_free(n);
        BN_free(pe);
        return false;
    }
    RSA_free(rsaPublicKey);
    rsaPublicKey = rsa;
    KeyLenght = RSA_size(rsaPublicKey);
    PublicModulus.Clear();
    PublicExponent.Clear();
    return PublicModulus.Add(modulus, lenModulus) && PublicExponent.Add(e, 4);
}

bool TCertificate::PublicKeyEncryptDecrypt(bool IsEncrypt, const BYTE* buffInput, BYTE* buffOutput,
                                           int lenBuffInput) {
    TRACE_SCOPE(DBHEAD_0, Int, "<%s IsEncrypt=[%d] buffInput=[%d] buffOutput=[%p] lenBuffInput=[%d]>\n",
                LU_FN, IsEncrypt, static_cast<int>(reinterpret_cast<intptr_t>(buffInput)),
                static_cast<void*>(buffOutput), lenBuffInput);
    if (!rsaPublicKey) {
        TRACE(DBERRO_0, "Parametro invalido, rsaPublicKey=[%p] não foi carregada\n",
              static_cast<void*>(rsaPublicKey));
        TRACE_RETURN(false);
    }
    int rsaSize = RSA_size(rsaPublicKey);
    if (!buffInput || !buffOutput || lenBuffInput != rsaSize || rsaSize <= 0) {
        TRACE(DBERRO_0,
              "Parametro invalido, buffInput=[%p] buffOutput=[%p] lenBuffInput=[%d] RSA_size=[%d]\n",
              static_cast<const void*>(buffInput), static_cast<void*>(buffOutput), lenBuffInput, rsaSize);
        TRACE_RETURN(false);
    }
    TRACE_DUMP(DBINFO_L, "RSA_public_decrypt: buffInput", buffInput, lenBuffInput);

    // The caller's buffer is written only with a complete result.
    std::unique_ptr<BYTE, TMallocFree> computed(static_cast<BYTE*>(malloc(static_cast<size_t>(rsaSize))));
    if (!computed) TRACE_RETURN(false);
    ERR_clear_error();
    int lenComputed =
        IsEncrypt ? RSA_public_encrypt(lenBuffInput, buffInput, computed.get(), rsaPublicKey, RSA_NO_PADDING)
                  : RSA_public_decrypt(lenBuffInput, buffInput, computed.get(), rsaPublicKey, RSA_NO_PADDING);
    if (lenComputed != lenBuffInput) {
        TOpenSSLError err;
        if (IsEncrypt)
            TRACE(DBERRO_0, "Falha na RSA_public_encrypt lenComputed=[%d] lenBuffInput=[%d] error=[%s]\n",
                  lenComputed, lenBuffInput, err.Text);
        else
            TRACE(DBERRO_0, "Falha na RSA_public_decrypt lenComputed=[%d] lenBuffInput=[%d] error=[%s]\n",
                  lenComputed, lenBuffInput, err.Text);
        TRACE_RETURN(false);
    }
    memcpy(buffOutput, computed.get(), static_cast<size_t>(lenComputed));
    TRACE_DUMP(DBINFO_L, IsEncrypt ? "RSA_public_encrypt: buffOutput" : "RSA_public_decrypt: buffOutput",
               buffOutput, lenComputed);
    TRACE_RETURN(true);
}

// ---------------------------------------------------------------------------------------------------
// TListCertificate

TListCertificate::~TListCertificate() {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    Clear();
}

bool TListCertificate::Add(TCertificate* certificate) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s certificate=[%p]>\n", LU_FN, static_cast<void*>(certificate));
    bool result = false;
    if (certificate) {
        try {
            std::shared_ptr<TCertificate> owned(certificate);
            TPlatLockGuard guard(Mutex);
            Items.push_back(std::move(owned));
            Count = static_cast<uint32_t>(Items.size());
            result = true;
        } catch (const std::bad_alloc&) {
            // shared_ptr's constructor deletes what it could not take over; push_back leaves owned to go.
        }
    }
    TRACE_RETURN(result);
}

TCertificate* TListCertificate::AddNewCert() {
    TRACE_SCOPE(DBHEAD_L, Pointer, "<%s>\n", LU_FN);
    TCertificate* certificate = new (std::nothrow) TCertificate();
    if (certificate && !Add(certificate)) certificate = nullptr;
    TRACE_RETURN(certificate);
}

TCertificate* TListCertificate::Get(int Indice) {
    TRACE_SCOPE(DBHEAD_L, Pointer, "<%s Indice=[%d]>\n", LU_FN, Indice);
    TCertificate* result = nullptr;
    {
        TPlatLockGuard guard(Mutex);
        if (Indice >= 0 && static_cast<size_t>(Indice) < Items.size())
            result = Items[static_cast<size_t>(Indice)].get();
    }
    TRACE_RETURN(result);
}

bool TListCertificate::Clear() {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s Count=[%d]>\n", LU_FN, static_cast<int>(Count));
    // Released after the lock: a certificate's destructor traces.
    std::vector<std::shared_ptr<TCertificate>> dropped;
    {
        TPlatLockGuard guard(Mutex);
        dropped.swap(Items);
        Count = 0;
    }
    dropped.clear();
    TRACE_RETURN(true);
}

std::shared_ptr<TCertificate> TListCertificate::Share_FromKeyName(const char* keyNameSearch) {
    TRACE_SCOPE(DBHEAD_L, Pointer, "<%s keyNameSearch=[%p]>\n", LU_FN,
                static_cast<const void*>(keyNameSearch));
    std::shared_ptr<TCertificate> result;
    if (keyNameSearch) {
        TPlatLockGuard guard(Mutex);
        for (size_t i = 0; i < Items.size() && !result; ++i) {
            const std::shared_ptr<TCertificate>& candidate = Items[i];
            TRACE(DBINFO_0, "Procurando keyNameSearch=[%s], count=[%d], SerialNumber=[%s]\n", keyNameSearch,
                  static_cast<int>(i), candidate->SerialNumber ? candidate->SerialNumber : "");
            if (candidate->SerialNumber && strcmp(candidate->SerialNumber, keyNameSearch) == 0)
                result = candidate;
        }
    }
    TRACE_RETURN_AS(result, static_cast<void*>(result.get()));
}

TCertificate* TListCertificate::Search_FromKeyName(const char* keyNameSearch) {
    return Share_FromKeyName(keyNameSearch).get();
}
