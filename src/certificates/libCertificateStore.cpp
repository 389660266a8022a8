#include "certificates/libCertificateStore.h"

#include "platform/TVarnoMemory.h"
#include "platform/platDebug.h"
#include "platform/platTraceScope.h"
#include "platform/platKeptKey.h"
#include "platform/platRotPadroes.h"

#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

const DWORD kCertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const DWORD kFriendlyNameChars = 1024;

// Widened byte by byte, zero-terminated; the narrow texts of the library are single-byte.
std::vector<WCHAR> Widen(const char* text, size_t maxChars = 0) {
    std::vector<WCHAR> out;
    for (size_t i = 0; text && text[i] && (maxChars == 0 || i < maxChars); ++i)
        out.push_back(static_cast<WCHAR>(static_cast<unsigned char>(text[i])));
    out.push_back(0);
    return out;
}

// Same length and each byte equal to its UTF-16 code unit: the inverse of Widen.
bool SameProviderName(const char* name, const WCHAR* wide) {
    if (!name || !wide) return false;
    size_t i = 0;
    for (; name[i] && wide[i]; ++i)
        if (static_cast<WCHAR>(static_cast<unsigned char>(name[i])) != wide[i]) return false;
    return name[i] == 0 && wide[i] == 0;
}

// One of the provider names asked for; otherName may be null.
bool NamesProvider(const char* name, const char* otherName, const WCHAR* wide) {
    return SameProviderName(name, wide) || (otherName && SameProviderName(otherName, wide));
}

const char* Narrow(const WCHAR* wide) {
    return wide ? ConvWideToAnsiTemp(wide) : "";
}

// The DER bytes of a certificate's PEM text, through CryptStringToBinaryA as the store sees them; a new
// buffer (free()) or null.
BYTE* DecodeCertFile(TCertificate* certificate, DWORD& LenFileCertBIN) {
    LenFileCertBIN = 0;
    const char* text =
        certificate->CertFile.FileData ? reinterpret_cast<const char*>(certificate->CertFile.FileData) : "";
    DWORD lenText = certificate->CertFile.LenFileData;
    if (lenText == 0 ||
        !CryptStringToBinaryA(text, lenText, CRYPT_STRING_BASE64HEADER, nullptr, &LenFileCertBIN, nullptr,
                              nullptr) ||
        LenFileCertBIN == 0) {
        TRACE(DBERRO_0, "Falha na CryptStringToBinaryA, LenFileCertBIN=[%d]\n",
              static_cast<int>(LenFileCertBIN));
        return nullptr;
    }
    BYTE* FileCertBIN = static_cast<BYTE*>(malloc(LenFileCertBIN));
    if (!FileCertBIN) {
        TRACE(DBERRO_0, "Falha ao alocar memoria FileCertBIN, LenFileCertBIN=[%d]\n",
              static_cast<int>(LenFileCertBIN));
        return nullptr;
    }
    if (!CryptStringToBinaryA(text, lenText, CRYPT_STRING_BASE64HEADER, FileCertBIN, &LenFileCertBIN, nullptr,
                              nullptr)) {
        TRACE(DBERRO_0, "Falha na CryptStringToBinaryA, FileCertBIN=[%p] LenFileCertBIN=[%d]\n",
              static_cast<void*>(FileCertBIN), static_cast<int>(LenFileCertBIN));
        free(FileCertBIN);
        return nullptr;
    }
    return FileCertBIN;
}

PCCERT_CONTEXT CreateContextFromCertFile(TCertificate* certificate) {
    DWORD LenFileCertBIN = 0;
    BYTE* FileCertBIN = DecodeCertFile(certificate, LenFileCertBIN);
    if (!FileCertBIN) return nullptr;
    PCCERT_CONTEXT context = CertCreateCertificateContext(kCertEncoding, FileCertBIN, LenFileCertBIN);
    if (!context)
        TRACE(DBERRO_0, "Falha ao converter o certificado internamente ERRO=[%s]\n", GetLastErrorText());
    free(FileCertBIN);
    return context;
}

// The key-provider record of a property buffer, or null when the buffer cannot hold one.
const CRYPT_KEY_PROV_INFO* AsKeyProvInfo(const BYTE* data, DWORD lenData) {
    return data && lenData >= sizeof(CRYPT_KEY_PROV_INFO) ? reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(data)
                                                          : nullptr;
}

} // namespace

bool TCertificateStore::GetContexParam(PCCERT_CONTEXT certContext, DWORD propId, BYTE** data,
                                       DWORD* lenData) {
    if (!data) return false;
    *data = nullptr;
    DWORD lenTmp = 0;
    if (lenData) *lenData = 0;
    if (!certContext) {
        TRACE(DBERRO_0, "Parametro invalido, certContext=[%p] propId=[%d]\n",
              static_cast<const void*>(certContext), static_cast<int>(propId));
        return false;
    }
    if (!CertGetCertificateContextProperty(certContext, propId, nullptr, &lenTmp)) {
        TRACE(DBERRO_0, "Falha no CertGetCertificateContextProperty para pegar o lenTmp, ERRO=[%s]\n",
              GetLastErrorText());
        return true;
    }
    if (lenTmp == 0) {
        TRACE(DBERRO_0, "Paramentro invalido, lenTmp=[%d]\n", static_cast<int>(lenTmp));
        return true;
    }
    BYTE* dataParam = static_cast<BYTE*>(calloc(lenTmp, 1));
    if (!dataParam) {
        TRACE(DBERRO_0, "Falha ao alocar dataParam, lenTmp=[%d] ERRO=[%s]\n", static_cast<int>(lenTmp),
              GetLastErrorText());
        return false;
    }
    if (!CertGetCertificateContextProperty(certContext, propId, dataParam, &lenTmp)) {
        TRACE(DBERRO_0, "Falha no CertGetCertificateContextProperty alocado, ERRO=[%s]\n",
              GetLastErrorText());
        free(dataParam);
        return false;
    }
    *data = dataParam;
    if (lenData) *lenData = lenTmp;
    return true;
}

namespace {

// The key provider (providerName with its provider type and dwKeySpec, the serial number as container) and
// friendly name of a personal certificate.
bool SetKeyProvider(PCCERT_CONTEXT context, TCertificate* certificate, const char* providerName,
                    DWORD provType, DWORD keySpec) {
    if (!providerName || !certificate->SerialNumber || !certificate->SubjectName) {
        TRACE(DBERRO_0, "Parametro invalido, providerName=[%p] SerialNumber=[%p] SubjectName=[%p]\n",
              static_cast<const void*>(providerName), static_cast<void*>(certificate->SerialNumber),
              static_cast<void*>(certificate->SubjectName));
        return false;
    }
    std::vector<WCHAR> containerName = Widen(certificate->SerialNumber);
    std::vector<WCHAR> provName = Widen(providerName);
    CRYPT_KEY_PROV_INFO keyProvInfo;
    memset(&keyProvInfo, 0, sizeof(keyProvInfo));
    keyProvInfo.pwszContainerName = containerName.data();
    keyProvInfo.pwszProvName = provName.data();
    keyProvInfo.dwProvType = provType;
    keyProvInfo.dwFlags = 0;
    keyProvInfo.cProvParam = 0;
    keyProvInfo.rgProvParam = nullptr;
    keyProvInfo.dwKeySpec = keySpec;
    TRACE(DBINFO_0,
          "Setando CERT_KEY_PROV_INFO_PROP_ID, dwKeySpec=[0x%X] dwProvType=[0x%X], pwszProvName=[%s], "
          "pwszContainerName=[%s]\n",
          static_cast<unsigned>(keyProvInfo.dwKeySpec), static_cast<unsigned>(keyProvInfo.dwProvType),
          Narrow(keyProvInfo.pwszProvName), Narrow(keyProvInfo.pwszContainerName));
    if (!CertSetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, 0, &keyProvInfo)) {
        TRACE(DBERRO_0, "Erro CertSetCertificateContextProperty CERT_KEY_PROV_INFO_PROP_ID ERRO=[%s]\n",
              GetLastErrorText());
        return false;
    }

    std::vector<WCHAR> friendlyName = Widen(certificate->SubjectName, kFriendlyNameChars - 1);
    CRYPT_DATA_BLOB friendlyBlob;
    friendlyBlob.cbData = static_cast<DWORD>(friendlyName.size() * sizeof(WCHAR));
    friendlyBlob.pbData = reinterpret_cast<BYTE*>(friendlyName.data());
    TRACE(DBINFO_0, "Setando CERT_FRIENDLY_NAME_PROP_ID=[%s]\n", Narrow(friendlyName.data()));
    if (!CertSetCertificateContextProperty(context, CERT_FRIENDLY_NAME_PROP_ID, 0, &friendlyBlob)) {
        TRACE(DBERRO_0, "Erro CertSetCertificateContextProperty CERT_FRIENDLY_NAME_PROP_ID ERRO=[%s]\n",
              GetLastErrorText());
        return false;
    }
    return true;
}

// The entry's certificate as PEM text into certText; lenText its length.
bool ContextAsPem(PCCERT_CONTEXT context, TVarnoMemory& certText, DWORD& lenText) {
    DWORD lenBuffCert = 0;
    BOOL sized = CryptBinaryToStringW(context->pbCertEncoded, context->cbCertEncoded,
                                      CRYPT_STRING_BASE64HEADER, nullptr, &lenBuffCert);
    if (!sized || lenBuffCert == 0) {
        TRACE(DBERRO_0, "Erro CryptBinaryToString, GetSize result=[%d] lenBuffCert=[%d]\n", sized,
              static_cast<int>(lenBuffCert));
        return false;
    }
    certText.Clear();
    if (!certText.AddZeroBytes(lenBuffCert + 1)) return false;
    lenText = lenBuffCert + 1;
    BOOL produced =
        CryptBinaryToStringA(context->pbCertEncoded, context->cbCertEncoded, CRYPT_STRING_BASE64HEADER,
                             reinterpret_cast<char*>(certText.FileData), &lenText);
    if (!produced) {
        TRACE(DBERRO_0, "Erro CryptBinaryToString, result=[%d] lenBuffCert=[%d]\n", produced,
              static_cast<int>(lenBuffCert));
        return false;
    }
    return true;
}

// The store a certificate of its type goes to; a personal one gets its key provider and friendly name
// first. Null (with a trace line) when that fails.
const char* StoreForCertificate(PCCERT_CONTEXT context, TCertificate* certificate, const char* providerName,
                                DWORD provType, DWORD keySpec) {
    switch (certificate->StoreType) {
    case LU_STORE_TYPE_ROOT:
        return "ROOT";
    case LU_STORE_TYPE_CA:
        return "CA";
    case LU_STORE_TYPE_MY:
        return SetKeyProvider(context, certificate, providerName, provType, keySpec) ? "MY" : nullptr;
    default:
        TRACE(DBERRO_0, "Parametro invalido, StoreType=[%d]\n", certificate->StoreType);
        return nullptr;
    }
}

// Opens the store and adds the certificate.
bool AddToStore(PCCERT_CONTEXT context, const char* storeName) {
    std::vector<WCHAR> storeNameW = Widen(storeName);
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                      CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG, storeNameW.data());
    if (!store) {
        TRACE(DBERRO_0, "Falha ao abrir CertOpenStore ERRO=[%s]\n", GetLastErrorText());
        return false;
    }
    bool added = CertAddCertificateContextToStore(store, context, CERT_STORE_ADD_ALWAYS, nullptr) != 0;
    if (!added) TRACE(DBERRO_0, "Falha no CertAddCertificateContextToStore ERRO=[%s]\n", GetLastErrorText());
    CertCloseStore(store, 0);
    return added;
}

// The entries of the store to delete (duplicated contexts): those of the provider, or the one
// certificate. False when the enumeration failed.
bool CollectProviderCerts(TCertificateStore& owner, HCERTSTORE store, PCCERT_CONTEXT removeContext,
                          const char* ProviderNameCompare, const char* otherProviderName,
                          std::vector<PCCERT_CONTEXT>& toDelete) {
    bool result = true;
    PCCERT_CONTEXT context = nullptr;
    BYTE* keyProvData = nullptr;
    DWORD lenKeyProvData = 0;
    while ((context = CertEnumCertificatesInStore(store, context)) != nullptr) {
        free(keyProvData);
        keyProvData = nullptr;
        if (removeContext &&
            !CertCompareCertificate(kCertEncoding, context->pCertInfo, removeContext->pCertInfo))
            continue;
        bool gotParam =
            owner.GetContexParam(context, CERT_KEY_PROV_INFO_PROP_ID, &keyProvData, &lenKeyProvData);
        const CRYPT_KEY_PROV_INFO* keyProvInfo = AsKeyProvInfo(keyProvData, lenKeyProvData);
        if (!gotParam || !keyProvInfo) {
            TRACE(DBERRO_0, "Falha na GetContexParam\n");
            if (!gotParam) {
                result = false;
                break;
            }
            continue;
        }
        if (ProviderNameCompare) {
            if (!keyProvInfo->pwszProvName) {
                TRACE(DBERRO_0,
                      "Parametros invalidos, ProviderNameCompare=[%p] tmpKeyProvInfo->pwszProvName=[%p]\n",
                      static_cast<const void*>(ProviderNameCompare),
                      static_cast<const void*>(keyProvInfo->pwszProvName));
                continue;
            }
            TRACE(DBINFO_0, "ProviderNameCompare=[%s] pwszProvName=[%s]\n", ProviderNameCompare,
                  Narrow(keyProvInfo->pwszProvName));
            if (!NamesProvider(ProviderNameCompare, otherProviderName, keyProvInfo->pwszProvName)) continue;
        }
        PCCERT_CONTEXT duplicate = CertDuplicateCertificateContext(context);
        if (!duplicate) {
            TRACE(DBERRO_0, "Falha na CertDuplicateCertificateContext\n");
            result = false;
            break;
        }
        toDelete.push_back(duplicate);
    }
    if (!context)
        TRACE(DBERRO_0, "Falha na CertEnumCertificatesInStore, tmpCertContext=[%p]\n",
              static_cast<const void*>(context));
    free(keyProvData);
    if (context) CertFreeCertificateContext(context);
    return result;
}

} // namespace

bool TCertificateStore::LoadCert(TListCertificate* listCert, const char* StoreName, const char* providerName,
                                 const char* otherProviderName) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s listCert=[%p]>\n", LU_FN, static_cast<void*>(listCert));
    bool result = false;
    if (!listCert || !StoreName) {
        TRACE(DBERRO_0, "Parametro invalido, listCert=[%p] StoreName=[%p]\n", static_cast<void*>(listCert),
              static_cast<const void*>(StoreName));
        TRACE_RETURN(false);
    }
    listCert->Clear();

    std::vector<WCHAR> storeNameW = Widen(StoreName);
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                      CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, storeNameW.data());
    if (!store) {
        TRACE(DBERRO_0, "Falha ao abrir CertOpenStore StoreName=[%s] ERRO=[%s]\n", StoreName,
              GetLastErrorText());
        TRACE_RETURN(false);
    }

    PCCERT_CONTEXT context = nullptr;
    BYTE* keyProvData = nullptr;
    DWORD lenKeyProvData = 0;
    TVarnoMemory certText;
    result = true;
    int position = -1;
    while ((context = CertEnumCertificatesInStore(store, context)) != nullptr) {
        ++position;
        free(keyProvData);
        keyProvData = nullptr;
        if (!GetContexParam(context, CERT_KEY_PROV_INFO_PROP_ID, &keyProvData, &lenKeyProvData)) {
            result = false;
            break;
        }
        const CRYPT_KEY_PROV_INFO* keyProvInfo = AsKeyProvInfo(keyProvData, lenKeyProvData);
        if (!keyProvInfo) continue;
        TRACE(DBINFO_0, "LoadCert: pwszContainerName=[%s] pwszProvName=[%s]\n",
              Narrow(keyProvInfo->pwszContainerName), Narrow(keyProvInfo->pwszProvName));
        if (!keyProvInfo->pwszProvName) continue;
        if (providerName && !NamesProvider(providerName, otherProviderName, keyProvInfo->pwszProvName))
            continue;

        DWORD lenText = 0;
        if (!ContextAsPem(context, certText, lenText)) {
            result = false;
            break;
        }

        std::unique_ptr<TCertificate> certificate(new TCertificate());
        if (!certificate->LoadCert_FromMemory(0, certText.FileData, lenText,
                                              Narrow(keyProvInfo->pwszProvName), true)) {
            // One entry that cannot be read must not take the others' contexts with it.
            TRACE(DBERRO_0,
                  "Certificado ignorado, nao foi possivel carregar, posicao=[%d] pwszContainerName=[%s]\n",
                  position, Narrow(keyProvInfo->pwszContainerName));
            continue;
        }
        if (!listCert->Add(certificate.release())) {
            result = false;
            break;
        }
    }
    free(keyProvData);
    if (context) CertFreeCertificateContext(context);
    CertCloseStore(store, 0);

    // A failure of the store itself, not of one entry, empties the list.
    if (!result) listCert->Clear();
    TRACE_RETURN(result);
}

namespace {

void AppendTime(std::string* out, const FILETIME& ft) {
    char text[24];
    snprintf(text, sizeof(text), "%08X%08X", static_cast<unsigned>(ft.dwHighDateTime),
             static_cast<unsigned>(ft.dwLowDateTime));
    *out += text;
}

} // namespace

std::string TCertificateStore::ChangeStamp(const char* StoreName) {
    std::string stamp;
    if (!StoreName) return stamp;
    // Windows keeps a user's system store in this key, and so does the Linux stand-in; an entry's key
    // gets a new write time whenever its value is rewritten. Every context asks: the key stays open.
    const std::string path =
        std::string("Software\\Microsoft\\SystemCertificates\\") + StoreName + "\\Certificates";
    DWORD subKeys = 0;
    platKeptKeyRead(HKEY_CURRENT_USER, path, 0, nullptr, [&](HKEY key) {
        stamp.clear();
        subKeys = 0;
        FILETIME written{0, 0};
        LONG status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, nullptr, &written);
        if (status != ERROR_SUCCESS) return status;
        stamp = std::to_string(subKeys) + ":";
        AppendTime(&stamp, written);
        char name[256];
        for (DWORD i = 0;; ++i) {
            DWORD lenName = sizeof(name);
            FILETIME entryWritten{0, 0};
            status = RegEnumKeyExA(key, i, name, &lenName, nullptr, nullptr, nullptr, &entryWritten);
            if (status == ERROR_KEY_DELETED) return status;
            if (status != ERROR_SUCCESS) break;
            stamp += ";";
            stamp.append(name, lenName);
            stamp += "@";
            AppendTime(&stamp, entryWritten);
        }
        return static_cast<LONG>(ERROR_SUCCESS);
    });
    TRACE(DBINFO_L, "ChangeStamp StoreName=[%s] SubKeys=[%d]\n", StoreName, static_cast<int>(subKeys));
    return stamp;
}

bool TCertificateStore::InstallCert(TCertificate* certificate, const char* providerName, DWORD provType,
                                    DWORD keySpec) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s certificate=[%p] providerName=[%p]>\n", LU_FN,
                static_cast<void*>(certificate), static_cast<const void*>(providerName));
    if (!certificate) {
        TRACE(DBERRO_0, "Parametro invalido, certificate=[%p]\n", static_cast<void*>(certificate));
        TRACE_RETURN(false);
    }
    PCCERT_CONTEXT context = CreateContextFromCertFile(certificate);
    if (!context) TRACE_RETURN(false);
    const char* storeName = StoreForCertificate(context, certificate, providerName, provType, keySpec);
    bool result = storeName && AddToStore(context, storeName);
    CertFreeCertificateContext(context);
    TRACE_RETURN(result);
}

bool TCertificateStore::RemoveAllCertProvider(const char* StoreName, const char* ProviderNameCompare,
                                              TCertificate* certRemove, const char* otherProviderName) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s StoreName=[%p] ProviderNameCompare=[%p] certRemove=[%p]>\n", LU_FN,
                static_cast<const void*>(StoreName), static_cast<const void*>(ProviderNameCompare),
                static_cast<void*>(certRemove));
    if (!StoreName) {
        TRACE(DBERRO_0, "Parametros invalidos, StoreName=[%p]\n", static_cast<const void*>(StoreName));
        TRACE_RETURN(false);
    }
    HCERTSTORE store = CertOpenSystemStoreA(0, StoreName);
    if (!store) {
        TRACE(DBERRO_0, "Falha ao abrir CertOpenSystemStoreA StoreName=[%s] ERRO=[%s]\n", StoreName,
              GetLastErrorText());
        TRACE_RETURN(false);
    }
    PCCERT_CONTEXT removeContext = certRemove ? CreateContextFromCertFile(certRemove) : nullptr;
    std::vector<PCCERT_CONTEXT> toDelete;
    bool result =
        (!certRemove || removeContext) &&
        CollectProviderCerts(*this, store, removeContext, ProviderNameCompare, otherProviderName, toDelete);
    // Deleting only after the enumeration: some stores (Wine's) restart or loop when an entry
    // disappears under a running enumeration.
    for (PCCERT_CONTEXT duplicate : toDelete) {
        if (!result) {
            CertFreeCertificateContext(duplicate);
        } else if (!CertDeleteCertificateFromStore(duplicate)) {
            TRACE(DBERRO_0, "Falha na CertDeleteCertificateFromStore\n");
            result = false;
        }
    }
    // Wine's system stores keep deletions in memory until a commit, and its CertCloseStore does not
    // commit them; on Windows the commit finds nothing left to write.
    if (result && !toDelete.empty() && !CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr))
        TRACE(DBERRO_0, "Falha na CertControlStore CERT_STORE_CTRL_COMMIT ERRO=[%s]\n", GetLastErrorText());
    if (removeContext) CertFreeCertificateContext(removeContext);
    CertCloseStore(store, 0);
    TRACE_RETURN(result);
}
