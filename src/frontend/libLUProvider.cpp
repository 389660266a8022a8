#include "frontend/libLUProvider.h"

#include "frontend/libLumidra.h"
#include "frontend/luAppGlobal.h"
#include "platform/platDebug.h"
#include "platform/platRotPadroes.h"

#include <cstring>

TLUProvider* gLUProvider = nullptr;

// ---------------------------------------------------------------------------------------------------
// Free functions of the CSP glue

BOOL luConvResultNTE(DWORD result) {
    if (result == 0) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    SetLastError(result);
    TRACE(DBERRO_0, "Setando SetLastError=[%s]\n", GetLastErrorText());
    return FALSE;
}

int luGetProvSessionFromKey(TLUProvider** hProvSessionResult, HCRYPTPROV hProviderKey) {
    TRACE(DBHEAD_L, "<%s hProvSessionResult=[%p] hProviderKey=[%p]>\n", LU_FN,
          static_cast<void*>(hProvSessionResult), reinterpret_cast<void*>(hProviderKey));
    int result = 0;
    if (!hProvSessionResult || !gLUProvider) {
        TRACE(DBERRO_0, "Parametro invalido, hProvSessionResult=[%p] luProvider=[%p]\n",
              static_cast<void*>(hProvSessionResult), static_cast<void*>(gLUProvider));
        result = NTE_INVALID_PARAMETER;
    } else if (gLUProvider->ListProvKey.IndexOf(reinterpret_cast<const void*>(hProviderKey)) < 0) {
        TRACE(DBERRO_0, "hProviderKey=[%p] não existe na lista de ListProvKey\n",
              reinterpret_cast<void*>(hProviderKey));
        result = ERROR_INVALID_HANDLE;
    } else {
        *hProvSessionResult = reinterpret_cast<TLUProviderKey*>(hProviderKey)->ProviderSession;
    }
    TRACE(DBHEAD_L, "</%s result=[%d]>\n", LU_FN, result);
    return result;
}

int luCheckParamExt(TLUProvider* hProvSession, bool checkKey, ULONG_PTR hProviderKey, bool checkHash,
                    ULONG_PTR hProviderHash) {
    TRACE(DBHEAD_L, "<%s>\n", LU_FN);
    int result = 0;
    if (!hProvSession) {
        TRACE(DBERRO_0, "Parametro invalido, hProvSession=[%p]\n", static_cast<void*>(hProvSession));
        result = NTE_INVALID_PARAMETER;
    } else if (hProvSession != gLUProvider) {
        TRACE(DBERRO_0, "hProvSession=[%p] não existe na lista de ProvSession\n",
              static_cast<void*>(hProvSession));
        result = ERROR_INVALID_HANDLE;
    } else if (checkKey && !hProviderKey) {
        TRACE(DBERRO_0, "Parametro invalido, hProviderKey=[%p]\n", reinterpret_cast<void*>(hProviderKey));
        result = NTE_INVALID_PARAMETER;
    } else if (checkKey &&
               hProvSession->ListProvKey.IndexOf(reinterpret_cast<const void*>(hProviderKey)) < 0) {
        TRACE(DBERRO_0, "hProviderKey=[%p] não existe na lista de ListProvKey\n",
              reinterpret_cast<void*>(hProviderKey));
        result = ERROR_INVALID_HANDLE;
    } else if (checkHash && !hProviderHash) {
        TRACE(DBERRO_0, "Parametro invalido, hProviderHash=[%p]\n", reinterpret_cast<void*>(hProviderHash));
        result = NTE_INVALID_PARAMETER;
    } else if (checkHash &&
               hProvSession->ListProvDataHash.IndexOf(reinterpret_cast<const void*>(hProviderHash)) < 0) {
        TRACE(DBERRO_0, "hProviderHash=[%p] não existe na lista de ListProvDataHash\n",
              reinterpret_cast<void*>(hProviderHash));
        result = ERROR_INVALID_HANDLE;
    }
    TRACE(DBHEAD_L, "</%s result=[%d]>\n", LU_FN, result);
    return result;
}

int luCheckParamExt(TLUProvider* hProvSession) {
    return luCheckParamExt(hProvSession, false, 0, false, 0);
}

int luCheckParamExt(TLUProvider* hProvSession, ULONG_PTR hProviderKey) {
    return luCheckParamExt(hProvSession, true, hProviderKey, false, 0);
}

int luCheckParamExt(TLUProvider* hProvSession, ULONG_PTR hProviderKey, ULONG_PTR hProviderHash) {
    return luCheckParamExt(hProvSession, true, hProviderKey, true, hProviderHash);
}

// ---------------------------------------------------------------------------------------------------
// TLUProvider

TLUProvider::TLUProvider() : QtdProvSession(0) {
    TRACE(DBHEAD_L, "<%s>\n", LU_FN);
    TRACE(DBHEAD_L, "</%s>\n", LU_FN);
}

TLUProvider::~TLUProvider() {
    TRACE(DBHEAD_L, "<%s>\n", LU_FN);
    // Hashes first: nothing refers to them, while keys are looked up to the end.
    ListProvDataHash.Clear();
    ListProvKey.Clear();
    TRACE(DBHEAD_L, "</%s>\n", LU_FN);
}

int TLUProvider::OpenStorageProvider(TLUProvider** sessionOut) {
    TRACE(DBHEAD_0, "<%s>\n", LU_FN);
    int result = 0;
    if (!sessionOut) {
        TRACE(DBERRO_0, "Parametro invalido, hProvSession=[%p]\n", static_cast<void*>(sessionOut));
        result = NTE_INVALID_PARAMETER;
    } else {
        // A store that cannot be read only leaves the list empty: OpenKey then answers NTE_NO_KEY.
        if (QtdProvSession <= 0 && gLumidra) gLumidra->Load_CertStore();
        ++QtdProvSession;
        *sessionOut = this;
    }
    TRACE(DBHEAD_0, "</%s result=[%d] QtdSession=[%d]>\n", LU_FN, result, QtdProvSession);
    return result;
}

int TLUProvider::FreeProvider(TLUProvider* session, TLUProviderKey* hProviderKey) {
    TRACE(DBHEAD_0, "<%s hProvSession=[%d] hProviderKey=[%p]>\n", LU_FN, session ? 1 : 0,
          static_cast<void*>(hProviderKey));
    int result = 0;
    if (!session) {
        TRACE(DBERRO_0, "Parametro invalido, hProvSession=[%p]\n", static_cast<void*>(session));
        result = NTE_INVALID_PARAMETER;
    } else {
        if (QtdProvSession > 0) --QtdProvSession;
        if (QtdProvSession == 0) {
            ListProvKey.Clear();
            ListProvDataHash.Clear();
            if (gLumidra) gLumidra->ListCertificate.Clear();
        } else if (hProviderKey) {
            delete ListProvKey.Delete(hProviderKey);
        }
    }
    TRACE(DBHEAD_0, "</%s result=[0x%08X] QtdProvSession=[%d]>\n", LU_FN, static_cast<unsigned>(result),
          QtdProvSession);
    return result;
}

int TLUProvider::OpenKey(TLUProvider* /*session*/, TLUProviderKey** keyOut, const char* pszKeyName,
                         DWORD dwLegacyKeySpec, DWORD dwFlags) {
    TRACE(DBHEAD_0, "<%s hProviderKey=[%p], pszKeyName=[%p], dwLegacyKeySpec=[%08X], dwFlags=[%08X]>\n",
          LU_FN, static_cast<void*>(keyOut), static_cast<const void*>(pszKeyName),
          static_cast<unsigned>(dwLegacyKeySpec), static_cast<unsigned>(dwFlags));
    int result = 0;
    if (!keyOut || !pszKeyName) {
        TRACE(DBERRO_0, "Parametro invalido, hProviderKey=[%p], pszKeyName=[%p]\n",
              static_cast<void*>(keyOut), static_cast<const void*>(pszKeyName));
        result = NTE_INVALID_PARAMETER;
    } else {
        const char* nameUpper = ConvAnsiUpper(pszKeyName);
        TCertificate* cert = gLumidra ? gLumidra->ListCertificate.Search_FromKeyName(nameUpper) : nullptr;
        TLUProviderKey* key = nullptr;
        if (!cert) {
            TRACE(DBERRO_0, "Chave não foi encontrada, pszKeyName=[%s]\n", nameUpper);
            result = NTE_NO_KEY;
        } else if (!(key = ListProvKey.AddNewKey(cert))) {
            TRACE(DBERRO_0, "Falha ao adicionar o Certificado no ListProvKey\n");
            result = NTE_NO_MEMORY;
        } else {
            key->LegacyKeySpec = dwLegacyKeySpec;
            key->ProviderSession = this;
            *keyOut = key;
            TRACE(DBINFO_0, "pszKeyName=[%s] encontrada com sucesso, hProviderKey=[%p] Count=[%d]\n",
                  pszKeyName, static_cast<void*>(key), ListProvKey.Count());
        }
    }
    TRACE(DBHEAD_0, "</%s result=[%d]>\n", LU_FN, result);
    return result;
}

int TLUProvider::FreeKey(TLUProvider* session, TLUProviderKey* hProviderKey) {
    (void)session;
    TRACE(DBHEAD_0, "<%s hProviderKey=[%p]>\n", LU_FN, static_cast<void*>(hProviderKey));
    int result = 0;
    if (!hProviderKey) {
        TRACE(DBERRO_0, "Parametro invalido, hProviderKey=[%p]\n", static_cast<void*>(hProviderKey));
        result = NTE_INVALID_PARAMETER;
    } else if (!ListProvKey.Delete(hProviderKey)) {
        TRACE(DBERRO_0, "Falha ao remover o hProviderKey=[%p] do ListProvKey\n",
              static_cast<void*>(hProviderKey));
        result = NTE_NO_MEMORY;
    } else {
        delete hProviderKey;
        if (gLumidra) gLumidra->ClearSignToken();
    }
    TRACE(DBHEAD_0, "</%s result=[%d]>\n", LU_FN, result);
    return result;
}

int TLUProvider::CreateHash(TLUProvider* session, TLUProviderKey* hProviderKey, ALG_ID SetAlgID,
                            HCRYPTKEY hKey, DWORD dwFlags, TLUProviderDataHash** hProviderHash) {
    (void)session;
    TRACE(DBHEAD_0, "<%s hProviderKey=[%p], SetAlgID=[%p], hKey=[%p], dwFlags=[%08X], hProviderHash=[%p]>\n",
          LU_FN, static_cast<void*>(hProviderKey), reinterpret_cast<void*>(static_cast<uintptr_t>(SetAlgID)),
          reinterpret_cast<void*>(hKey), static_cast<unsigned>(dwFlags), static_cast<void*>(hProviderHash));
    int result = 0;
    TLUProviderDataHash* newHash = nullptr;
    if (!hProviderKey || !hProviderHash) {
        TRACE(DBERRO_0, "Parametro invalido, hProviderKey=[%p], hProviderHash=[%p]\n",
              static_cast<void*>(hProviderKey), static_cast<void*>(hProviderHash));
        result = NTE_INVALID_PARAMETER;
    } else if (!(newHash = ListProvDataHash.AddNewHash())) {
        TRACE(DBERRO_0, "Falha ao adicionar o Certificado no ListProvDataHash\n");
        result = NTE_NO_MEMORY;
    } else {
        result = TLUProviderKey::EncryptDecryptHashGetPaddingOIDInfo(&newHash->HashPaddingOIDInfo, SetAlgID);
        if (result != 0) {
            TRACE(DBERRO_0, "Falha ao recuperar THT_NONE para CRYPT_NOHASHOID\n");
            ListProvDataHash.Delete(newHash);
            delete newHash;
        } else {
            *hProviderHash = newHash;
        }
    }
    TRACE(DBHEAD_0, "</%s result=[%d]>\n", LU_FN, result);
    return result;
}

int TLUProvider::DestroyHash(TLUProvider* session, TLUProviderDataHash* hProviderHash) {
    (void)session;
    TRACE(DBHEAD_0, "<%s hProviderHash=[%p]>\n", LU_FN, static_cast<void*>(hProviderHash));
    int result = 0;
    if (!hProviderHash) {
        TRACE(DBERRO_0, "Parametro invalido, hProviderHash=[%p]\n", static_cast<void*>(hProviderHash));
        result = NTE_INVALID_PARAMETER;
    } else if (!ListProvDataHash.Delete(hProviderHash)) {
        TRACE(DBERRO_0, "Falha ao remover o hProviderHash=[%p] do ListProvDataHash\n",
              static_cast<void*>(hProviderHash));
        result = NTE_NO_MEMORY;
    } else {
        delete hProviderHash;
    }
    TRACE(DBHEAD_0, "</%s result=[%d]>\n", LU_FN, result);
    return result;
}

int TLUProvider::GetParam(TLUProvider* session, TLUProviderKey* hProviderKey, DWORD paramGetType,
                          BYTE* paramValue, DWORD* paramSize, DWORD dwFlags) {
    (void)session;
    TRACE(DBHEAD_0, "<%s paramGetType=[%X] paramValue=[%p] paramSize=[%p] dwFlags=[%X]>\n", LU_FN,
          static_cast<unsigned>(paramGetType), static_cast<void*>(paramValue), static_cast<void*>(paramSize),
          static_cast<unsigned>(dwFlags));
    int result = 0;
    DWORD dwordValue = 0;
    const void* value = nullptr;
    DWORD sizeValue = 0;
    if (!paramSize) {
        TRACE(DBERRO_0, "Parametro invalido, paramSize=[%p]\n", static_cast<void*>(paramSize));
        result = NTE_INVALID_PARAMETER;
    } else {
        const char* text = nullptr;
        bool isDword = true;
        switch (paramGetType) {
        case PP_ENUMALGS:
        case PP_ENUMCONTAINERS:
        case PP_ENUMALGS_EX:
            TRACE(DBERRO_0, "paramGetType=[%X] não foi implementado, retornando ERROR_NO_MORE_ITEMS\n",
                  static_cast<unsigned>(paramGetType));
            result = ERROR_NO_MORE_ITEMS;
            break;
        case PP_IMPTYPE:
            dwordValue = CRYPT_IMPL_MIXED | CRYPT_IMPL_REMOVABLE;
            break;
        case PP_NAME:
            text = LU_CSP_NAME;
            isDword = false;
            break;
        case PP_VERSION:
            dwordValue = 0x9999;
            break;
        case PP_CONTAINER:
        case PP_UNIQUE_CONTAINER:
            isDword = false;
            if (!hProviderKey || hProviderKey->KeyType != LUK_TCertificate || !hProviderKey->certificate ||
                !hProviderKey->certificate->SerialNumber) {
                TRACE(DBERRO_0, "Parametro invalido, hProviderKey=[%p]\n", static_cast<void*>(hProviderKey));
                result = NTE_BAD_KEY;
            } else {
                text = hProviderKey->certificate->SerialNumber;
            }
            break;
        case PP_PROVTYPE:
            dwordValue = PROV_RSA_FULL;
            break;
        case PP_KEYSTORAGE:
            dwordValue = CRYPT_SEC_DESCR;
            break;
        case PP_KEYSET_TYPE:
            dwordValue = 0;
            break;
        case PP_SIG_KEYSIZE_INC:
        case PP_KEYX_KEYSIZE_INC:
            dwordValue = 1024;
            break;
        case PP_USE_HARDWARE_RNG:
            TRACE(DBERRO_0, "paramGetType=[%X] não foi implementado, retornando ERROR_INVALID_PARAMETER\n",
                  static_cast<unsigned>(paramGetType));
            result = ERROR_INVALID_PARAMETER;
            break;
        case PP_KEYSPEC:
            dwordValue = AT_KEYEXCHANGE | AT_SIGNATURE;
            break;
        case PP_SMARTCARD_READER:
            text = "LUKeyCSP";
            isDword = false;
            break;
        default:
            TRACE(DBERRO_0, "paramGetType=[%X] não foi implementado, retornando NTE_BAD_TYPE\n",
                  static_cast<unsigned>(paramGetType));
            result = NTE_BAD_TYPE;
            break;
        }
        if (result == 0) {
            if (isDword) {
                value = &dwordValue;
                sizeValue = sizeof(dwordValue);
            } else {
                value = text;
                sizeValue = static_cast<DWORD>(strlen(text) + 1);
            }
            if (paramValue) {
                memset(paramValue, 0, *paramSize);
                if (*paramSize < sizeValue) {
                    TRACE(DBERRO_0,
                          "Tamanho do parametro é maior do que o alocado, paramSize=[%d], "
                          "SizeBuffReturn=[%d]\n",
                          static_cast<int>(*paramSize), static_cast<int>(sizeValue));
                    result = ERROR_MORE_DATA;
                } else {
                    memcpy(paramValue, value, sizeValue);
                }
            }
            *paramSize = sizeValue;
        }
    }
    TRACE(DBHEAD_0, "</%s result=[0x%08X]>\n", LU_FN, static_cast<unsigned>(result));
    return result;
}

int TLUProvider::SetParam(TLUProvider* session, TLUProviderKey* hProviderKey, DWORD paramSetType,
                          const BYTE* paramValue, DWORD dwFlags) {
    (void)session;
    (void)hProviderKey;
    TRACE(DBHEAD_0, "<%s paramSetType=[%X] paramValue=[%p] dwFlags=[%X]>\n", LU_FN,
          static_cast<unsigned>(paramSetType), static_cast<const void*>(paramValue),
          static_cast<unsigned>(dwFlags));
    int result = 0;
    if (!paramValue) {
        TRACE(DBERRO_0, "Parametro invalido, paramValue=[%p]\n", static_cast<const void*>(paramValue));
        result = NTE_INVALID_PARAMETER;
    } else {
        TRACE(DBERRO_0, "paramSetType=[%X] não foi implementado, retornando NTE_BAD_TYPE\n",
              static_cast<unsigned>(paramSetType));
        result = NTE_BAD_TYPE;
    }
    TRACE(DBHEAD_0, "</%s result=[0x%08X]>\n", LU_FN, static_cast<unsigned>(result));
    return result;
}

int TLUProvider::CopyDataResult(TLUProvider* session, TVarnoMemory* DataResult, BYTE* BuffToCopy,
                                DWORD* LenBuffToCopy, uint32_t MaxLenBuffToCopy, bool InvertBuffToCopy) {
    (void)session;
    TRACE(DBHEAD_0, "<%s BuffToCopy=[%p] LenBuffToCopy=[%p] MaxLenBuffToCopy=[%d] InvertBuffToCopy=[%d]>\n",
          LU_FN, static_cast<void*>(BuffToCopy), static_cast<void*>(LenBuffToCopy),
          static_cast<int>(MaxLenBuffToCopy), InvertBuffToCopy);
    int result = 0;
    if (!DataResult || !LenBuffToCopy) {
        TRACE(DBERRO_0, "Parametro invalido, DataResult=[%p] LenBuffToCopy=[%p]\n",
              static_cast<void*>(DataResult), static_cast<void*>(LenBuffToCopy));
        result = NTE_INVALID_PARAMETER;
    } else if (DataResult->LenFileData == 0) {
        TRACE(DBERRO_0, "Parametro invalido, DataResult->LenFileData=[%d]\n",
              static_cast<int>(DataResult->LenFileData));
        result = NTE_INVALID_PARAMETER;
    } else {
        const uint32_t len = DataResult->LenFileData;
        if (!BuffToCopy) {
            TRACE(DBINFO_0, "Retornando apenas o tamanho LenBuffToCopy=[%d]\n", static_cast<int>(len));
        } else if (len > MaxLenBuffToCopy) {
            TRACE(DBERRO_0,
                  "Tamanho do buffer a ser retornado é menor do que o recebido, MaxLenBuffToCopy=[%d] "
                  "LenFileData=[%d]\n",
                  static_cast<int>(MaxLenBuffToCopy), static_cast<int>(len));
            result = NTE_BAD_LEN;
        } else {
            if (InvertBuffToCopy) {
                TRACE(DBWARN_0, "Invertando Buffer de retorno para LITTLE-ENDIAN\n");
                for (uint32_t i = 0; i < len; ++i)
                    BuffToCopy[i] = DataResult->FileData[len - 1 - i];
            } else {
                memcpy(BuffToCopy, DataResult->FileData, len);
            }
            TRACE_DUMP(DBINFO_0, "Retornando DataValue", BuffToCopy, static_cast<int>(len));
        }
        *LenBuffToCopy = len;
    }
    TRACE(DBHEAD_0, "</%s result=[%d]>\n", LU_FN, result);
    return result;
}
