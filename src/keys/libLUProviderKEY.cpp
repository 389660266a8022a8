#include "keys/libLUProviderKEY.h"

#include "platform/platDebug.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

// ---------------------------------------------------------------------------------------------------
// TDataEncryptDecrypt

TDataEncryptDecrypt::TDataEncryptDecrypt() : IsSigned(false) {
    TRACE(DBHEAD_L, "<%s>\n", LU_FN);
    TRACE(DBHEAD_L, "</%s>\n", LU_FN);
}

TDataEncryptDecrypt::~TDataEncryptDecrypt() {
    TRACE(DBHEAD_L, "<%s>\n", LU_FN);
    Clear();
    TRACE(DBHEAD_L, "</%s>\n", LU_FN);
}

void TDataEncryptDecrypt::Clear() {
    Hash.Clear();
    HashID.Clear();
    DataValueInput.Clear();
    DataValueBase64.Clear();
    DataValuePadded.Clear();
    ClearSignature();
}

void TDataEncryptDecrypt::ClearSignature() {
    DataResult.Clear();
    IsSigned = false;
}

bool TDataEncryptDecrypt::ComputeHashID(int IndiceID) {
    TRACE(DBHEAD_L, "<%s IndiceID=[%d]>\n", LU_FN, IndiceID);
    bool result = false;
    char textID[32];
    snprintf(textID, sizeof(textID), "ID%d", IndiceID);
    Hash.Clear();
    HashID.Clear();
    DataValueBase64.Clear();
    if (Hash.Add(textID) &&
        (DataValueInput.LenFileData == 0 ||
         Hash.Add(DataValueInput.FileData, static_cast<int>(DataValueInput.LenFileData))) &&
        Hash.Compute_MD5() && Hash.digestHexAscii && HashID.AddString(Hash.digestHexAscii)) {
        char* base64 =
            Hash.Encode_Base64(DataValuePadded.FileData, static_cast<int>(DataValuePadded.LenFileData), 1);
        if (base64) {
            result = DataValueBase64.AddString(base64) != 0;
            free(base64);
        }
    }
    if (!result) {
        TRACE(DBERRO_0, "Falha ao criar o HashID\n");
        DataValueBase64.Clear();
    }
    TRACE(DBHEAD_L, "</%s result=[%d]>\n", LU_FN, result);
    return result;
}

bool TDataEncryptDecrypt::LoadDataResultBase64(const char* SetDataResultBase64) {
    TRACE(DBHEAD_L, "<%s SetDataResultBase64=[%p]>\n", LU_FN, static_cast<const void*>(SetDataResultBase64));
    bool result = false;
    if (!SetDataResultBase64) {
        TRACE(DBERRO_0, "Parametro invalido, SetDataResultBase64=[%p]\n",
              static_cast<const void*>(SetDataResultBase64));
    } else {
        DataResult.Clear();
        result = Hash.Decode_Base64(SetDataResultBase64, &DataResult) != 0;
        if (!result) TRACE(DBERRO_0, "Falha ao Decodificar SetDataResultBase64=[%s]\n", SetDataResultBase64);
    }
    TRACE(DBHEAD_L, "</%s result=[%d]>\n", LU_FN, result);
    return result;
}

// ---------------------------------------------------------------------------------------------------
// TLUProviderKey

TLUProviderKey::TLUProviderKey()
    : KeyType(LUK_TNone), certificate(nullptr), ProviderSession(nullptr), KeyPadding(TKP_PAD_PKCS1),
      KeyPaddingPKCS1Type(TKS1_Type1_PrivateKey), AlgId(CALG_RSA_KEYX), LegacyKeySpec(0), CacheValid(false),
      CacheIsEncrypt(false), CacheIsUsePrivateKey(false), CacheKeyPadding(0), CacheKeyPaddingPKCS1Type(0) {
    TRACE(DBHEAD_L, "<%s>\n", LU_FN);
    memset(TokenLocal, 0, sizeof(TokenLocal));
    TRACE(DBHEAD_L, "</%s>\n", LU_FN);
}

TLUProviderKey::~TLUProviderKey() {
    TRACE(DBHEAD_L, "<%s>\n", LU_FN);
    // The token must not outlive the key in memory.
    memset(TokenLocal, 0, sizeof(TokenLocal));
    TRACE(DBHEAD_L, "</%s>\n", LU_FN);
}

void TLUProviderKey::CacheForget() {
    CacheValid = false;
    LastDataEncryptDecrypt.Clear();
}

int TLUProviderKey::SetParam(DWORD paramSetType, const BYTE* paramValue, DWORD dwFlags) {
    TRACE(DBHEAD_0, "<%s paramSetType=[%X] paramValue=[%p] dwFlags=[%X]>\n", LU_FN,
          static_cast<unsigned>(paramSetType), static_cast<const void*>(paramValue),
          static_cast<unsigned>(dwFlags));
    int result = 0;
    if (!paramValue) {
        TRACE(DBERRO_0, "Parametro HASH é nulo\n");
        result = NTE_BAD_HASH;
    } else if (paramSetType == KP_PADDING) {
        DWORD dwordTmp = 0;
        memcpy(&dwordTmp, paramValue, sizeof(dwordTmp));
        switch (dwordTmp) {
        case PKCS5_PADDING:
            TRACE(DBINFO_0, "Setting ParamKeyPadding P_MODE=[PKCS5_PADDING][TKP_PAD_PKCS5]\n");
            KeyPadding = TKP_PAD_PKCS5;
            break;
        case RANDOM_PADDING:
            TRACE(DBINFO_0, "Setting ParamKeyPadding=[RANDOM_PADDING][TKP_PAD_RANDOM]\n");
            KeyPadding = TKP_PAD_RANDOM;
            break;
        case ZERO_PADDING:
            TRACE(DBINFO_0, "Setting ParamKeyPadding=[ZERO_PADDING][TKP_PAD_ZERO]\n");
            KeyPadding = TKP_PAD_ZERO;
            break;
        default:
            TRACE(DBERRO_0, "Erro setting ParamKeyPadding dwordTmp=[%d] não é suportado\n",
                  static_cast<int>(dwordTmp));
            result = NTE_BAD_FLAGS;
            break;
        }
    } else if (paramSetType == KP_MODE) {
        if (KeyType == LUK_TCertificate) {
            TRACE(DBERRO_0, "Não é possivel setar o KP_MODE quando o tipo da chave é LUK_TCertificate\n");
            result = NTE_BAD_TYPE;
        } else {
            TRACE(DBERRO_0, "KeyType=[%d] não foi implementada\n", KeyType);
            result = NTE_SYS_ERR;
        }
    } else {
        TRACE(DBERRO_0, "paramSetType=[%X] não foi implementado.\n", static_cast<unsigned>(paramSetType));
        result = NTE_BAD_TYPE;
    }
    TRACE(DBHEAD_0, "</%s result=[0x%08X]>\n", LU_FN, static_cast<unsigned>(result));
    return result;
}

int TLUProviderKey::GetParam(DWORD paramGetType, BYTE* paramValue, DWORD* paramSize, DWORD dwFlags) {
    TRACE(DBHEAD_0, "<%s paramGetType=[%X] paramValue=[%p] paramSize=[%p] dwFlags=[%X]>\n", LU_FN,
          static_cast<unsigned>(paramGetType), static_cast<void*>(paramValue), static_cast<void*>(paramSize),
          static_cast<unsigned>(dwFlags));
    int result = 0;
    DWORD dwordValue = 0;
    const BYTE* value = nullptr;
    DWORD sizeValue = 0;
    if (!paramSize) {
        TRACE(DBERRO_0, "Parametro invalido, paramSize=[%p]\n", static_cast<void*>(paramSize));
        result = NTE_BAD_HASH;
    } else {
        switch (paramGetType) {
        case KP_PERMISSIONS:
            dwordValue = CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_EXPORT_KEY | CRYPT_IMPORT_KEY;
            TRACE(DBINFO_0, "Reading KP_PERMISSIONS=[%d]\n", static_cast<int>(dwordValue));
            break;
        case KP_ALGID:
            dwordValue = AlgId;
            TRACE(DBINFO_0, "Reading KP_ALGID=[%X]\n", static_cast<unsigned>(dwordValue));
            break;
        case KP_KEYLEN:
        case KP_CERTIFICATE:
            // Both read the certificate, which only a certificate key has.
            if (KeyType != LUK_TCertificate || !certificate) {
                TRACE(DBERRO_0, "KeyType=[%d] não foi implementada\n", KeyType);
                result = NTE_SYS_ERR;
            } else if (paramGetType == KP_KEYLEN) {
                dwordValue = static_cast<DWORD>(certificate->KeyLenght);
                TRACE(DBINFO_0, "Reading KP_KEYLEN=[%d]\n", static_cast<int>(dwordValue));
            } else {
                value = certificate->CertFileBIN.FileData;
                sizeValue = certificate->CertFileBIN.LenFileData;
            }
            break;
        default:
            TRACE(DBERRO_0, "paramGetType=[%X] não foi implementado '%s'\n",
                  static_cast<unsigned>(paramGetType), LU_FN);
            result = NTE_BAD_TYPE;
            break;
        }
        if (result == 0 && !value) {
            value = reinterpret_cast<const BYTE*>(&dwordValue);
            sizeValue = sizeof(dwordValue);
        }
        if (result == 0) {
            if (!paramValue) {
                *paramSize = sizeValue;
            } else if (*paramSize < sizeValue) {
                TRACE(DBERRO_0,
                      "Tamanho do parametro é maior do que o alocado, paramSize=[%d], SizeBuffReturn=[%d]\n",
                      static_cast<int>(*paramSize), static_cast<int>(sizeValue));
                result = ERROR_MORE_DATA;
            } else {
                if (sizeValue) memcpy(paramValue, value, sizeValue);
                *paramSize = sizeValue;
            }
        }
    }
    TRACE(DBHEAD_0, "</%s result=[0x%08X]>\n", LU_FN, static_cast<unsigned>(result));
    return result;
}

// ---------------------------------------------------------------------------------------------------
// TLUListProviderKey

TLUListProviderKey::~TLUListProviderKey() {
    Clear();
}

TLUProviderKey* TLUListProviderKey::AddNewKey() {
    TRACE(DBHEAD_L, "<%s>\n", LU_FN);
    TLUProviderKey* newKey = new (std::nothrow) TLUProviderKey();
    if (!newKey) {
        TRACE(DBERRO_0, "Falha ao alocar TLUProviderKey\n");
    } else if (!Add(newKey)) {
        TRACE(DBERRO_0, "Falha ao adicionar newKey=[%p]\n", static_cast<void*>(newKey));
        delete newKey;
        newKey = nullptr;
    }
    TRACE(DBHEAD_L, "</%s result=[%p]>\n", LU_FN, static_cast<void*>(newKey));
    return newKey;
}

TLUProviderKey* TLUListProviderKey::AddNewKey(TCertificate* CertToLoad) {
    TRACE(DBHEAD_L, "<%s CertToLoad=[%p]>\n", LU_FN, static_cast<void*>(CertToLoad));
    TLUProviderKey* newKey = nullptr;
    if (!CertToLoad) {
        // A certificate key without certificate would break the invariant every operation relies on.
        TRACE(DBERRO_0, "Falha ao criar nova chave para carregar o Certificate\n");
    } else {
        newKey = AddNewKey();
        if (!newKey) {
            TRACE(DBERRO_0, "Falha ao criar nova chave para carregar o Certificate\n");
        } else {
            newKey->KeyType = LUK_TCertificate;
            newKey->certificate = CertToLoad;
            TRACE(DBINFO_0, "Adicionando uma Chave com KeyType=[%d]\n", LUK_TCertificate);
        }
    }
    TRACE(DBHEAD_L, "</%s result=[%p]>\n", LU_FN, static_cast<void*>(newKey));
    return newKey;
}

bool TLUListProviderKey::Add(TLUProviderKey* key) {
    TRACE(DBHEAD_L, "<%s key=[%p]>\n", LU_FN, static_cast<void*>(key));
    bool result = TVarnoList::Add(key);
    TRACE(DBHEAD_L, "</%s result=[%d]>\n", LU_FN, result);
    return result;
}

int TLUListProviderKey::Count() {
    return static_cast<int>(TVarnoList::Count);
}

TLUProviderKey* TLUListProviderKey::Delete(TLUProviderKey* key) {
    TRACE(DBHEAD_L, "<%s key=[%p]>\n", LU_FN, static_cast<void*>(key));
    TLUProviderKey* result = nullptr;
    if (key && TVarnoList::Delete(static_cast<const void*>(key))) result = key;
    TRACE(DBHEAD_L, "</%s result=[%p]>\n", LU_FN, static_cast<void*>(result));
    return result;
}

bool TLUListProviderKey::Clear() {
    TRACE(DBHEAD_L, "<%s>\n", LU_FN);
    for (uint32_t i = 0; i < TVarnoList::Count; ++i) {
        delete static_cast<TLUProviderKey*>(Items[i]);
        Items[i] = nullptr;
    }
    bool result = TVarnoList::Clear();
    TRACE(DBHEAD_L, "</%s result=[%d]>\n", LU_FN, result);
    return result;
}
