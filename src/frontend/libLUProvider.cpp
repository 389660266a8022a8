#include "frontend/libLUProvider.h"

#include "frontend/libLumidra.h"
#include "frontend/luProviderEnum.h"
#include "platform/platCopyOut.h"
#include "platform/platDebug.h"
#include "platform/platTraceScope.h"
#include "platform/platProductNames.h"
#include "platform/platRotPadroes.h"

#include <cstring>
#include <new>

TLUProvider* gLUProvider = nullptr;

// ---------------------------------------------------------------------------------------------------
// Free functions of the CSP glue

BOOL luConvResultNTE(DWORD result) {
    if (result != 0) {
        SetLastError(result);
        TRACE(DBERRO_0, "Setando SetLastError=[%s]\n", GetLastErrorText());
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

int luGetProvSessionFromKey(TLUProvider** hProvSessionResult, HCRYPTPROV hProviderKey,
                            std::shared_ptr<TLUProviderKey>* contextKey) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s hProvSessionResult=[%p] hProviderKey=[%p]>\n", LU_FN,
                static_cast<void*>(hProvSessionResult), reinterpret_cast<void*>(hProviderKey));
    int result = 0;
    std::shared_ptr<TLUProviderKey> found;
    if (!hProvSessionResult || !contextKey || !gLUProvider) {
        TRACE(DBERRO_0, "Parametro invalido, hProvSessionResult=[%p] luProvider=[%p]\n",
              static_cast<void*>(hProvSessionResult), static_cast<void*>(gLUProvider));
        result = NTE_INVALID_PARAMETER;
    } else if (!(found = gLUProvider->Handles.FindKey(hProviderKey, TLUHandleKind::Context))) {
        TRACE(DBERRO_0, "hProviderKey=[%p] não existe na lista de ListProvKey\n",
              reinterpret_cast<void*>(hProviderKey));
        result = ERROR_INVALID_HANDLE;
    } else {
        *hProvSessionResult = gLUProvider;
        *contextKey = std::move(found);
    }
    TRACE_RETURN(result);
}

int luCheckParamExt(TLUProvider* hProvSession) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s>\n", LU_FN);
    int result = 0;
    if (!hProvSession) {
        TRACE(DBERRO_0, "Parametro invalido, hProvSession=[%p]\n", static_cast<void*>(hProvSession));
        result = NTE_INVALID_PARAMETER;
    } else if (hProvSession != gLUProvider) {
        TRACE(DBERRO_0, "hProvSession=[%p] não existe na lista de ProvSession\n",
              static_cast<void*>(hProvSession));
        result = ERROR_INVALID_HANDLE;
    }
    TRACE_RETURN(result);
}

int luCheckKey(TLUProvider* hProvSession, HCRYPTKEY hKey, std::shared_ptr<TLUProviderKey>* key) {
    int result = luCheckParamExt(hProvSession);
    if (result != 0) return result;
    if (!hKey) {
        TRACE(DBERRO_0, "Parametro invalido, hProviderKey=[%p]\n", reinterpret_cast<void*>(hKey));
        return NTE_INVALID_PARAMETER;
    }
    std::shared_ptr<TLUProviderKey> found = hProvSession->Handles.FindKey(hKey, TLUHandleKind::Key);
    if (!found) {
        TRACE(DBERRO_0, "hProviderKey=[%p] não existe na lista de ListProvKey\n",
              reinterpret_cast<void*>(hKey));
        return ERROR_INVALID_HANDLE;
    }
    if (key) *key = std::move(found);
    return 0;
}

int luCheckHash(TLUProvider* hProvSession, HCRYPTHASH hHash, std::shared_ptr<TLUProviderDataHash>* hash) {
    int result = luCheckParamExt(hProvSession);
    if (result != 0) return result;
    if (!hHash) {
        TRACE(DBERRO_0, "Parametro invalido, hProviderHash=[%p]\n", reinterpret_cast<void*>(hHash));
        return NTE_INVALID_PARAMETER;
    }
    std::shared_ptr<TLUProviderDataHash> found = hProvSession->Handles.FindHash(hHash);
    if (!found) {
        TRACE(DBERRO_0, "hProviderHash=[%p] não existe na lista de ListProvDataHash\n",
              reinterpret_cast<void*>(hHash));
        return ERROR_INVALID_HANDLE;
    }
    if (hash) *hash = std::move(found);
    return 0;
}

// ---------------------------------------------------------------------------------------------------
// TLUProvider

TLUProvider::TLUProvider() : QtdProvSession(0) {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
}

TLUProvider::~TLUProvider() {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    Handles.Clear();
}

int TLUProvider::OpenStorageProvider(TLUProvider** sessionOut) {
    TRACE(DBHEAD_0, "<%s>\n", LU_FN);
    int result = 0;
    if (!sessionOut) {
        TRACE(DBERRO_0, "Parametro invalido, hProvSession=[%p]\n", static_cast<void*>(sessionOut));
        result = NTE_INVALID_PARAMETER;
    } else {
        // A store that cannot be read only leaves the list empty: OpenKey then answers NTE_NO_KEY.
        // Every session reloads the list when the store changed since it was read (keys of certificates
        // dropped then keep theirs); an unchanged store is not read again, also not by the first session
        // after the last one closed, so that a context per signature does not parse every certificate anew.
        if (gLumidra) gLumidra->Refresh_CertStore();
        ++QtdProvSession;
        *sessionOut = this;
    }
    TRACE(DBHEAD_0, "</%s result=[%d] QtdSession=[%d]>\n", LU_FN, result, QtdProvSession);
    return result;
}

int TLUProvider::FreeProvider(TLUProvider* session, ULONG_PTR hContext) {
    TRACE(DBHEAD_0, "<%s hProvSession=[%d] hProviderKey=[%p]>\n", LU_FN, session ? 1 : 0,
          reinterpret_cast<void*>(hContext));
    int result = 0;
    if (!session) {
        TRACE(DBERRO_0, "Parametro invalido, hProvSession=[%p]\n", static_cast<void*>(session));
        result = NTE_INVALID_PARAMETER;
    } else {
        if (hContext) Handles.Remove(hContext, TLUHandleKind::Context);
        if (QtdProvSession > 0) --QtdProvSession;
        // The certificate list stays, checked against the store at the next session.
        if (QtdProvSession == 0) Handles.ClearCertificateHandles();
    }
    TRACE(DBHEAD_0, "</%s result=[0x%08X] QtdProvSession=[%d]>\n", LU_FN, static_cast<unsigned>(result),
          QtdProvSession);
    return result;
}

int TLUProvider::OpenVerifyContext(ULONG_PTR* handleOut) {
    std::shared_ptr<TLUProviderKey> key;
    try {
        key = std::make_shared<TLUProviderKey>();
    } catch (const std::bad_alloc&) {
        TRACE(DBERRO_0, "Falha ao alocar TLUProviderKey\n");
        return NTE_NO_MEMORY;
    }
    ULONG_PTR handle = Handles.AddContext(key);
    if (!handle) return NTE_NO_MEMORY;
    *handleOut = handle;
    TRACE(DBINFO_0, "Contexto CRYPT_VERIFYCONTEXT aberto, hProviderKey=[%p]\n",
          reinterpret_cast<void*>(handle));
    return 0;
}

int TLUProvider::FreeVerifyContext(ULONG_PTR hContext) {
    return Handles.Remove(hContext, TLUHandleKind::Context) ? 0 : ERROR_INVALID_HANDLE;
}

int TLUProvider::OpenKey(TLUProvider* /*session*/, TLUHandleKind kind, ULONG_PTR owner, ULONG_PTR* handleOut,
                         const char* pszKeyName, DWORD dwLegacyKeySpec, DWORD dwFlags) {
    TRACE_SCOPE(DBHEAD_0, Int,
                "<%s hProviderKey=[%p], pszKeyName=[%p], dwLegacyKeySpec=[%08X], dwFlags=[%08X]>\n", LU_FN,
                static_cast<void*>(handleOut), static_cast<const void*>(pszKeyName),
                static_cast<unsigned>(dwLegacyKeySpec), static_cast<unsigned>(dwFlags));
    int result = 0;
    if (!handleOut || !pszKeyName) {
        TRACE(DBERRO_0, "Parametro invalido, hProviderKey=[%p], pszKeyName=[%p]\n",
              static_cast<void*>(handleOut), static_cast<const void*>(pszKeyName));
        result = NTE_INVALID_PARAMETER;
    } else {
        const char* nameUpper = ConvAnsiUpper(pszKeyName);
        std::shared_ptr<TCertificate> cert =
            gLumidra ? gLumidra->ListCertificate.Share_FromKeyName(nameUpper) : nullptr;
        std::shared_ptr<TLUProviderKey> key;
        ULONG_PTR handle = 0;
        if (!cert) {
            TRACE(DBERRO_0, "Chave não foi encontrada, pszKeyName=[%s]\n", nameUpper);
            result = NTE_NO_KEY;
        } else {
            try {
                key = std::make_shared<TLUProviderKey>(cert, dwLegacyKeySpec);
            } catch (const std::bad_alloc&) {
                TRACE(DBERRO_0, "Falha ao alocar TLUProviderKey\n");
            }
            if (key)
                handle =
                    kind == TLUHandleKind::Context ? Handles.AddContext(key) : Handles.AddKey(key, owner);
            if (!handle) {
                TRACE(DBERRO_0, "Falha ao adicionar o Certificado no ListProvKey\n");
                result = NTE_NO_MEMORY;
            } else {
                *handleOut = handle;
                TRACE(DBINFO_0, "pszKeyName=[%s] encontrada com sucesso, hProviderKey=[%p] Count=[%d]\n",
                      pszKeyName, reinterpret_cast<void*>(handle),
                      Handles.Count(TLUHandleKind::Context) + Handles.Count(TLUHandleKind::Key));
            }
        }
    }
    TRACE_RETURN(result);
}

int TLUProvider::ImportPublicKey(ULONG_PTR owner, const BYTE* blob, DWORD lenBlob, HCRYPTKEY* hKey) {
    std::shared_ptr<TLUProviderKey> key;
    int result = TLUProviderKey::ReadPublicKeyBlob(blob, lenBlob, &key);
    if (result != 0) return result;
    *hKey = Handles.AddKey(key, owner);
    return *hKey ? 0 : NTE_NO_MEMORY;
}

int TLUProvider::FreeKey(TLUProvider* session, HCRYPTKEY hKey) {
    (void)session;
    TRACE_SCOPE(DBHEAD_0, Int, "<%s hProviderKey=[%p]>\n", LU_FN, reinterpret_cast<void*>(hKey));
    int result = 0;
    if (!hKey) {
        TRACE(DBERRO_0, "Parametro invalido, hProviderKey=[%p]\n", reinterpret_cast<void*>(hKey));
        result = NTE_INVALID_PARAMETER;
    } else if (!Handles.Remove(hKey, TLUHandleKind::Key)) {
        TRACE(DBERRO_0, "Falha ao remover o hProviderKey=[%p] do ListProvKey\n",
              reinterpret_cast<void*>(hKey));
        result = NTE_NO_MEMORY;
    }
    TRACE_RETURN(result);
}

// The algorithm's row of a new hash, attached before its handle exists (no hash is ever seen without
// one); in compatibility mode its digest started as well.
static int AttachAlgorithm(TLUProviderDataHash& hash, ALG_ID algId, bool compat) {
    int result = TLUProviderKey::EncryptDecryptHashGetPaddingOIDInfo(&hash.HashPaddingOIDInfo, algId);
    // CryptoAPI's answer to an algorithm the provider does not have.
    if (result == NTE_FAIL && compat) return NTE_BAD_ALGID;
    if (result != 0) return result;
    if (!compat) return hash.HashPaddingOIDInfo->HashAlgType == THT_SSL3_SHAMD5 ? NTE_FAIL : 0;
    return hash.StartDigest() == NTE_NO_MEMORY ? NTE_NO_MEMORY : 0;
}

int TLUProvider::CreateHash(TLUProvider* session, HCRYPTPROV hContext, ALG_ID SetAlgID, HCRYPTKEY hKey,
                            DWORD dwFlags, HCRYPTHASH* hProviderHash) {
    (void)session;
    TRACE_SCOPE(DBHEAD_0, Int,
                "<%s hProviderKey=[%p], SetAlgID=[%p], hKey=[%p], dwFlags=[%08X], hProviderHash=[%p]>\n",
                LU_FN, reinterpret_cast<void*>(hContext),
                reinterpret_cast<void*>(static_cast<uintptr_t>(SetAlgID)), reinterpret_cast<void*>(hKey),
                static_cast<unsigned>(dwFlags), static_cast<void*>(hProviderHash));
    std::shared_ptr<TLUProviderDataHash> newHash;
    if (!hContext || !hProviderHash) {
        TRACE(DBERRO_0, "Parametro invalido, hProviderKey=[%p], hProviderHash=[%p]\n",
              reinterpret_cast<void*>(hContext), static_cast<void*>(hProviderHash));
        TRACE_RETURN(NTE_INVALID_PARAMETER);
    }
    try {
        newHash = std::make_shared<TLUProviderDataHash>();
    } catch (const std::bad_alloc&) {
        TRACE(DBERRO_0, "Falha ao alocar TLUProviderDataHash\n");
    }
    const bool compat = luCompatibility();
    const int result = newHash ? AttachAlgorithm(*newHash, SetAlgID, compat) : 0;
    if (result != 0) {
        TRACE(DBERRO_0, "Falha ao recuperar THT_NONE para CRYPT_NOHASHOID\n");
        TRACE_RETURN(result);
    }
    if (!newHash || !(*hProviderHash = Handles.AddHash(newHash, hContext))) {
        TRACE(DBERRO_0, "Falha ao adicionar o Certificado no ListProvDataHash\n");
        TRACE_RETURN(NTE_NO_MEMORY);
    }
    TRACE_RETURN(0);
}

int TLUProvider::DestroyHash(TLUProvider* session, HCRYPTHASH hProviderHash) {
    (void)session;
    TRACE_SCOPE(DBHEAD_0, Int, "<%s hProviderHash=[%p]>\n", LU_FN, reinterpret_cast<void*>(hProviderHash));
    int result = 0;
    if (!hProviderHash) {
        TRACE(DBERRO_0, "Parametro invalido, hProviderHash=[%p]\n", reinterpret_cast<void*>(hProviderHash));
        result = NTE_INVALID_PARAMETER;
    } else if (!Handles.Remove(hProviderHash, TLUHandleKind::Hash)) {
        TRACE(DBERRO_0, "Falha ao remover o hProviderHash=[%p] do ListProvDataHash\n",
              reinterpret_cast<void*>(hProviderHash));
        result = NTE_NO_MEMORY;
    }
    TRACE_RETURN(result);
}

int TLUProvider::DuplicateHash(HCRYPTPROV hContext, const TLUProviderDataHash& source,
                               HCRYPTHASH* hProviderHash) {
    std::shared_ptr<TLUProviderDataHash> copy;
    try {
        copy = std::make_shared<TLUProviderDataHash>();
    } catch (const std::bad_alloc&) {
        TRACE(DBERRO_0, "Falha ao alocar TLUProviderDataHash\n");
        return NTE_NO_MEMORY;
    }
    int result = copy->CopyFrom(source);
    if (result != 0) return result;
    *hProviderHash = Handles.AddHash(copy, hContext);
    return *hProviderHash ? 0 : NTE_NO_MEMORY;
}

namespace {

// The provider parameters of fixed value: a DWORD, or the text when there is one.
struct TProvParamRow {
    DWORD Param;
    DWORD Value;
    const char* Text;
};
const TProvParamRow kProvParams[] = {
    {PP_IMPTYPE, CRYPT_IMPL_MIXED | CRYPT_IMPL_REMOVABLE, nullptr},
    {PP_NAME, 0, LU_PRODUCT_CSP_NAME},
    {PP_VERSION, 0x9999, nullptr},
    {PP_PROVTYPE, PROV_RSA_FULL, nullptr},
    {PP_KEYSTORAGE, CRYPT_SEC_DESCR, nullptr},
    {PP_KEYSET_TYPE, 0, nullptr},
    {PP_SIG_KEYSIZE_INC, 1024, nullptr},
    {PP_KEYX_KEYSIZE_INC, 1024, nullptr},
    {PP_KEYSPEC, AT_KEYEXCHANGE | AT_SIGNATURE, nullptr},
    {PP_SMARTCARD_READER, 0, LU_PRODUCT_MODULE},
};

const TProvParamRow* FindProvParam(DWORD param) {
    for (const TProvParamRow& row : kProvParams)
        if (row.Param == param) return &row;
    return nullptr;
}

// The container's name: the serial number of the context's certificate.
const char* ContainerName(const TLUProviderKey* hProviderKey) {
    if (!hProviderKey || hProviderKey->KeyType != LUK_TCertificate || !hProviderKey->certificate ||
        !hProviderKey->certificate->SerialNumber) {
        TRACE(DBERRO_0, "Parametro invalido, hProviderKey=[%p]\n", static_cast<const void*>(hProviderKey));
        return nullptr;
    }
    return hProviderKey->certificate->SerialNumber;
}

} // namespace

int TLUProvider::GetParam(TLUProvider* session, TLUProviderKey* hProviderKey, DWORD paramGetType,
                          BYTE* paramValue, DWORD* paramSize, DWORD dwFlags) {
    (void)session;
    TRACE_SCOPE(DBHEAD_0, Hex, "<%s paramGetType=[%X] paramValue=[%p] paramSize=[%p] dwFlags=[%X]>\n", LU_FN,
                static_cast<unsigned>(paramGetType), static_cast<void*>(paramValue),
                static_cast<void*>(paramSize), static_cast<unsigned>(dwFlags));
    if (!paramSize) {
        TRACE(DBERRO_0, "Parametro invalido, paramSize=[%p]\n", static_cast<void*>(paramSize));
        TRACE_RETURN(NTE_INVALID_PARAMETER);
    }
    const char* text = nullptr;
    DWORD dwordValue = 0;
    if (paramGetType == PP_ENUMCONTAINERS || paramGetType == PP_ENUMALGS || paramGetType == PP_ENUMALGS_EX) {
        if (luCompatibility())
            TRACE_RETURN(
                paramGetType == PP_ENUMCONTAINERS
                    ? luEnumContainers(hProviderKey, QtdProvSession <= 0, paramValue, paramSize, dwFlags)
                    : luEnumAlgorithms(hProviderKey, paramGetType, paramValue, paramSize, dwFlags));
        TRACE(DBERRO_0, "paramGetType=[%X] não foi implementado, retornando ERROR_NO_MORE_ITEMS\n",
              static_cast<unsigned>(paramGetType));
        TRACE_RETURN(ERROR_NO_MORE_ITEMS);
    } else if (paramGetType == PP_CONTAINER || paramGetType == PP_UNIQUE_CONTAINER) {
        if (!(text = ContainerName(hProviderKey))) TRACE_RETURN(NTE_BAD_KEY);
    } else if (paramGetType == PP_USE_HARDWARE_RNG) {
        TRACE(DBERRO_0, "paramGetType=[%X] não foi implementado, retornando ERROR_INVALID_PARAMETER\n",
              static_cast<unsigned>(paramGetType));
        TRACE_RETURN(ERROR_INVALID_PARAMETER);
    } else if (const TProvParamRow* row = FindProvParam(paramGetType)) {
        text = row->Text;
        dwordValue = row->Value;
    } else {
        TRACE(DBERRO_0, "paramGetType=[%X] não foi implementado, retornando NTE_BAD_TYPE\n",
              static_cast<unsigned>(paramGetType));
        TRACE_RETURN(NTE_BAD_TYPE);
    }
    if (text)
        TRACE_RETURN(CopyOutValue(text, static_cast<DWORD>(strlen(text) + 1), paramValue, paramSize,
                                  *paramSize, kCopyProvParam));
    TRACE_RETURN(
        CopyOutValue(&dwordValue, sizeof(dwordValue), paramValue, paramSize, *paramSize, kCopyProvParam));
}

int TLUProvider::SetParam(TLUProvider* session, TLUProviderKey* hProviderKey, DWORD paramSetType,
                          const BYTE* paramValue, DWORD dwFlags) {
    (void)session;
    (void)hProviderKey;
    TRACE_SCOPE(DBHEAD_0, Hex, "<%s paramSetType=[%X] paramValue=[%p] dwFlags=[%X]>\n", LU_FN,
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
    TRACE_RETURN(result);
}

int TLUProvider::CopyDataResult(TLUProvider* session, const TVarnoMemory* DataResult, BYTE* BuffToCopy,
                                DWORD* LenBuffToCopy, uint32_t MaxLenBuffToCopy, bool InvertBuffToCopy) {
    (void)session;
    TRACE_SCOPE(DBHEAD_0, Int,
                "<%s BuffToCopy=[%p] LenBuffToCopy=[%p] MaxLenBuffToCopy=[%d] InvertBuffToCopy=[%d]>\n",
                LU_FN, static_cast<void*>(BuffToCopy), static_cast<void*>(LenBuffToCopy),
                static_cast<int>(MaxLenBuffToCopy), InvertBuffToCopy);
    int result = 0;
    if (!DataResult || !LenBuffToCopy) {
        TRACE(DBERRO_0, "Parametro invalido, DataResult=[%p] LenBuffToCopy=[%p]\n",
              static_cast<const void*>(DataResult), static_cast<void*>(LenBuffToCopy));
        result = NTE_INVALID_PARAMETER;
    } else if (DataResult->LenFileData == 0) {
        TRACE(DBERRO_0, "Parametro invalido, DataResult->LenFileData=[%d]\n",
              static_cast<int>(DataResult->LenFileData));
        result = NTE_INVALID_PARAMETER;
    } else {
        result = CopyOutValue(DataResult->FileData, DataResult->LenFileData, BuffToCopy, LenBuffToCopy,
                              MaxLenBuffToCopy, InvertBuffToCopy ? kCopyResultReversed : kCopyResult);
    }
    TRACE_RETURN(result);
}
