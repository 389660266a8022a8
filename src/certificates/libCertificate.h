// One X.509 certificate of the signing service and the ordered list of those the provider offers.
// OpenSSL libcrypto does the parsing, digesting and the raw RSA arithmetic.
#pragma once

#include "platform/TVarnoMemory.h"
#include "platform/platMutex.h"
#include "os/platTypes.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// OpenSSL's own handle names, declared here so that users of the class need no OpenSSL headers.
typedef struct x509_st X509;
typedef struct rsa_st RSA;
typedef struct asn1_string_st ASN1_TIME;

// Store chosen by TCertificateStore::InstallCert.
#define LU_STORE_TYPE_ROOT 1
#define LU_STORE_TYPE_CA 2
#define LU_STORE_TYPE_MY 3

class TCertificate {
  public:
    TCertificate();
    ~TCertificate();
    TCertificate(const TCertificate&) = delete;
    TCertificate& operator=(const TCertificate&) = delete;

    // Releases everything a load filled; KeyLenght, SubjectLine and StoreType stay as they are.
    void Clear();

    // Loads a certificate given as PEM (any line ends) or as bare Base64; raw DER is refused. With
    // TryLoadInfoPublickKey the modulus and exponent are extracted into PublicModulus/PublicExponent.
    // On failure the object is left empty.
    bool LoadCert_FromMemory(int certType, const void* certBuff, uint32_t lenCertBuff,
                             const char* providerName, bool TryLoadInfoPublickKey = false);
    bool LoadCert_FromMemory(int certType, TVarnoMemory* certData, const char* providerName,
                             bool TryLoadInfoPublickKey = false);

    // Normalises certificate text into PEM with 64-character lines and no line end after the footer.
    bool FormatCert_ToRead(int certType, TVarnoMemory* certData, TVarnoMemory* out);
    // Parses CertFile into x509Cert and rsaPublicKey; sets KeyLenght.
    bool LoadCertFile_X509(bool TryLoadInfoPublickKey);
    // Derives SerialNumber, the prints, the subject texts and the validity texts from x509Cert.
    bool LoadCert_GetInfo();

    // A public key without certificate (an imported PUBLICKEYBLOB): modulus big-endian, exponent;
    // fills rsaPublicKey, PublicModulus, PublicExponent and KeyLenght.
    bool LoadPublicKey(const BYTE* modulus, uint32_t lenModulus, uint32_t exponent);

    // Raw RSA public operation without padding; lenBuffInput must equal KeyLenght and buffOutput must
    // hold as many bytes. Blocks are big-endian.
    bool PublicKeyEncryptDecrypt(bool IsEncrypt, const BYTE* buffInput, BYTE* buffOutput, int lenBuffInput);

    // ASN.1 time (UTCTime 23 / GeneralizedTime 24) as "DD/MM/YYYY hh:mm:ss", moved to UTC-3 when the
    // time is in Zulu form. textOut (at least 30 bytes) is left empty when the time cannot be read.
    static bool FormatAsn1Time(const ASN1_TIME* asn1Time, char* textOut, size_t sizeTextOut);
    static bool FormatAsn1Time(int asn1Type, const char* timeText, int lenTimeText, char* textOut,
                               size_t sizeTextOut);

    TVarnoMemory CertFile;
    TVarnoMemory CertFileBIN;
    TVarnoMemory PublicModulus;
    TVarnoMemory PublicExponent;
    bool hasCertFile;
    X509* x509Cert;
    RSA* rsaPublicKey;
    int32_t StoreType;
    char* SerialNumber;
    char* PrintSHA1;
    char* PrintSHA256;
    char* SubjectName;
    char ProviderName[1024];
    char SubjectLine[1024];
    char NotBefore[30];
    char NotAfter[30];
    int32_t KeyLenght;

  private:
    bool LoadPublicKeyInfo();
    // The steps of the loads above, each false with a trace line at the first thing that fails.
    bool LoadCertSteps(int certType, TVarnoMemory* certData, bool TryLoadInfoPublickKey);
    bool ReadX509(bool TryLoadInfoPublickKey);
    bool ReadPublicKeyFields(const BYTE* der, int lenDerSigned);
    bool ReadSerialNumber();
    bool ReadFingerprints();
    bool ReadSubjectName();
    void FreeInfoTexts();
};

// Owns its certificates with shared ownership: a key made for a certificate keeps it alive after the
// list has dropped it (the store changed, the last context closed). Their order is that of insertion.
class TListCertificate {
  public:
    TListCertificate() = default;
    ~TListCertificate();
    TListCertificate(const TListCertificate&) = delete;
    TListCertificate& operator=(const TListCertificate&) = delete;

    // Takes certificate over (also when it fails).
    bool Add(TCertificate* certificate);
    // A new empty certificate already in the list, or null when the list refused it.
    TCertificate* AddNewCert();
    TCertificate* Get(int Indice);
    // Drops every certificate (those still held elsewhere live on), then empties the list.
    bool Clear();
    // First certificate whose SerialNumber equals keyNameSearch exactly (case-sensitive).
    TCertificate* Search_FromKeyName(const char* keyNameSearch);
    // The same, shared.
    std::shared_ptr<TCertificate> Share_FromKeyName(const char* keyNameSearch);

    // Number of certificates; written only under the list's lock.
    uint32_t Count = 0;

  private:
    TPlatMutex Mutex;
    std::vector<std::shared_ptr<TCertificate>> Items;
};
