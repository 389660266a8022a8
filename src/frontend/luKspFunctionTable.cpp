// The key storage provider: the handler of GetKeyStorageInterface and the 26 functions of its table. Each
// runs in the CSP's entry frame (the provider's lock, traces, exceptions caught); a key is a context of the
// provider's handle table, so a signature takes the CSP's road (frontend/luSignPipeline) with CNG's
// padding and byte order. Decryption, key creation and everything else CNG offers is refused.
#include "frontend/luKspFunctionTable.h"

#include "frontend/libLUProvider.h"
#include "frontend/luAppGlobal.h"
#include "frontend/libLumidra.h"
#include "frontend/luEntryFrame.h"
#include "frontend/luKspPadding.h"
#include "frontend/luKspProperties.h"
#include "frontend/luKspProviders.h"
#include "frontend/luSignPipeline.h"
#include "os/platCNG.h"
#include "os/platNCrypt.h"
#include "os/platOS.h"
#include "platform/platDebug.h"
#include "platform/platRotPadroes.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using TKeyRef = std::shared_ptr<TLUProviderKey>;

// The frame's BOOL + last error as a SECURITY_STATUS; a handle of another kind is CNG's invalid handle.
template <typename TWork> SECURITY_STATUS RunStatus(TLUEntryFrame& frame, TWork work) {
    if (frame.Run(work)) return ERROR_SUCCESS;
    const DWORD code = GetLastError();
    if (code == static_cast<DWORD>(ERROR_INVALID_HANDLE)) return NTE_INVALID_HANDLE;
    if (code == static_cast<DWORD>(ERROR_UNWIND)) return NTE_INTERNAL_ERROR;
    return static_cast<SECURITY_STATUS>(code);
}

// The key object of hKey, opened through hProvider.
int KeyOf(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, TKeyRef* key) {
    if (!hProvider || !hKey) return NTE_INVALID_PARAMETER;
    int result = luKspProviders().CheckKey(hProvider, hKey);
    TLUProvider* session = nullptr;
    if (result == 0) result = luGetProvSessionFromKey(&session, hKey, key);
    if (result == 0) result = luCheckParamExt(session);
    return result == static_cast<int>(ERROR_INVALID_HANDLE) ? static_cast<int>(NTE_INVALID_HANDLE) : result;
}

int DoOpenProvider(NCRYPT_PROV_HANDLE* phProvider, DWORD dwFlags) {
    if (!phProvider || !gLUProvider) return NTE_INVALID_PARAMETER;
    if (dwFlags & ~static_cast<DWORD>(NCRYPT_SILENT_FLAG)) return NTE_BAD_FLAGS;
    int result = luKspProviders().Open(gLUProvider, phProvider);
    if (result == 0) luPinLibrary();
    return result;
}

int DoOpenKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE* phKey, LPCWSTR pszKeyName,
              DWORD dwLegacyKeySpec, DWORD dwFlags) {
    if (!phKey || !pszKeyName || !gLUProvider) return NTE_INVALID_PARAMETER;
    int result = luKspProviders().Check(hProvider);
    if (result != 0) return result;
    if (dwLegacyKeySpec != 0 && dwLegacyKeySpec != AT_KEYEXCHANGE && dwLegacyKeySpec != AT_SIGNATURE) {
        TRACE(DBERRO_0, "dwLegacyKeySpec invalido=[%u]\n", static_cast<unsigned>(dwLegacyKeySpec));
        return NTE_INVALID_PARAMETER;
    }
    // Keys are the current user's: a machine key is none of ours.
    if (dwFlags & ~static_cast<DWORD>(NCRYPT_SILENT_FLAG)) {
        TRACE(DBERRO_0, "dwFlags invalido=[%X]\n", static_cast<unsigned>(dwFlags));
        return NTE_BAD_FLAGS;
    }
    const std::string name = ConvWideToAnsiTemp(pszKeyName);
    TLUProvider* session = nullptr;
    result = gLUProvider->OpenStorageProvider(&session);
    if (result != 0) return result;
    ULONG_PTR handle = 0;
    result = session->OpenKey(session, TLUHandleKind::Context, 0, &handle, name.c_str(), dwLegacyKeySpec, 0);
    if (result == 0) result = luKspProviders().AddKey(hProvider, handle);
    if (result != 0) {
        session->FreeProvider(session, handle);
        return result == static_cast<int>(NTE_NO_KEY) ? static_cast<int>(NTE_BAD_KEYSET) : result;
    }
    *phKey = handle;
    return 0;
}

int DoFreeKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey) {
    TKeyRef key;
    int result = KeyOf(hProvider, hKey, &key);
    if (result == 0) result = luKspProviders().RemoveKey(hProvider, hKey);
    if (result == 0) result = gLUProvider->FreeProvider(gLUProvider, hKey);
    return result;
}

int DoGetKeyProperty(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, LPCWSTR pszProperty,
                     PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult) {
    TKeyRef key;
    int result = KeyOf(hProvider, hKey, &key);
    TLUKspValue value;
    if (result == 0) result = luKspKeyProperty(*key, hProvider, pszProperty, &value);
    if (result == 0)
        result = luKspCopyOut(value.data(), static_cast<DWORD>(value.size()), pbOutput, cbOutput, pcbResult);
    return result;
}

int DoGetProviderProperty(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty, PBYTE pbOutput, DWORD cbOutput,
                          DWORD* pcbResult) {
    int result = luKspProviders().Check(hProvider);
    TLUKspValue value;
    if (result == 0) result = luKspProviderProperty(pszProperty, &value);
    if (result == 0)
        result = luKspCopyOut(value.data(), static_cast<DWORD>(value.size()), pbOutput, cbOutput, pcbResult);
    return result;
}

int DoSignHash(TLUEntryFrame& frame, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, void* pPaddingInfo,
               PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature, DWORD* pcbResult,
               DWORD dwFlags) {
    if (!pcbResult || (!pbHashValue && cbHashValue)) return NTE_INVALID_PARAMETER;
    TKeyRef key;
    int result = KeyOf(hProvider, hKey, &key);
    TLUKspPadding padding{};
    if (result == 0) result = luKspParsePadding(pPaddingInfo, dwFlags, cbHashValue, &padding);
    if (result != 0) return result;
    const DWORD lenSignature = static_cast<DWORD>(key->KeyLenght());
    // A size query or a short buffer costs no request.
    if (pbSignature && cbSignature < lenSignature) {
        *pcbResult = lenSignature;
        return NTE_BUFFER_TOO_SMALL;
    }
    if (!pbSignature) return luKspCopyOut(nullptr, lenSignature, nullptr, 0, pcbResult);
    TVarnoMemory value;
    if (!value.Add(pbHashValue, cbHashValue)) return NTE_NO_MEMORY;
    TLUSignJob job;
    result = luSignOperation(
        frame, hKey, key, key, value,
        [&](TLUSignOptions* options) {
            *options = TLUSignOptions{padding.Row, padding.Block};
            return 0;
        },
        &job);
    // CNG keeps the RSA block's own big-endian order.
    if (result == 0)
        result =
            luKspCopyOut(job.Result.FileData, job.Result.LenFileData, pbSignature, cbSignature, pcbResult);
    return result;
}

int DoVerifySignature(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, void* pPaddingInfo,
                      PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature,
                      DWORD dwFlags) {
    if ((!pbHashValue && cbHashValue) || !pbSignature) return NTE_INVALID_PARAMETER;
    TKeyRef key;
    int result = KeyOf(hProvider, hKey, &key);
    TLUKspPadding padding{};
    if (result == 0) result = luKspParsePadding(pPaddingInfo, dwFlags, cbHashValue, &padding);
    if (result != 0) return result;
    if (cbSignature != static_cast<DWORD>(key->KeyLenght())) return NTE_BAD_SIGNATURE;
    TVarnoMemory value, signature;
    if (!value.Add(pbHashValue, cbHashValue) || !signature.Add(pbSignature, cbSignature))
        return NTE_NO_MEMORY;
    return key->VerifySignatureHash(value, padding.Row, signature, padding.Block);
}

int DoExportKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, NCRYPT_KEY_HANDLE hExportKey,
                LPCWSTR pszBlobType, PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult) {
    if (!pszBlobType || !pcbResult) return NTE_INVALID_PARAMETER;
    TKeyRef key;
    int result = KeyOf(hProvider, hKey, &key);
    if (result != 0) return result;
    if (hExportKey) return NTE_NOT_SUPPORTED;
    TVarnoMemory blob;
    if (luKspSameName(pszBlobType, LU_WTEXT("RSAPUBLICBLOB"))) {
        result = key->BuildRsaPublicBlob(&blob);
    } else if (luKspSameName(pszBlobType, LU_WTEXT("CAPIPUBLICBLOB"))) {
        result = key->BuildPublicKeyBlob(&blob);
    } else {
        // The private half is not here to give: private blobs and any other are refused.
        TRACE(DBERRO_0, "pszBlobType nao suportado=[%s]\n", ConvWideToAnsiTemp(pszBlobType));
        return NTE_NOT_SUPPORTED;
    }
    if (result == 0) result = luKspCopyOut(blob.FileData, blob.LenFileData, pbOutput, cbOutput, pcbResult);
    return result;
}

// One NCryptKeyName per call, in one allocation with its strings; the state is the next index.
int DoEnumKeys(NCRYPT_PROV_HANDLE hProvider, NCryptKeyName** ppKeyName, PVOID* ppEnumState, DWORD dwFlags) {
    if (!ppKeyName || !ppEnumState) return NTE_INVALID_PARAMETER;
    int result = luKspProviders().Check(hProvider);
    if (result != 0) return result;
    if (dwFlags & NCRYPT_MACHINE_KEY_FLAG) return NTE_NO_MORE_ITEMS;
    DWORD* next = static_cast<DWORD*>(*ppEnumState);
    if (!next) {
        if (gLumidra) gLumidra->Refresh_CertStore();
        next = static_cast<DWORD*>(calloc(1, sizeof(DWORD)));
        if (!next) return NTE_NO_MEMORY;
        *ppEnumState = next;
    }
    TCertificate* cert = nullptr;
    while (gLumidra && *next < gLumidra->ListCertificate.Count && !cert) {
        cert = gLumidra->ListCertificate.Get(static_cast<int>(*next));
        ++*next;
        if (cert && !cert->SerialNumber) cert = nullptr;
    }
    if (!cert) return NTE_NO_MORE_ITEMS;
    const std::basic_string<WCHAR> name(ConvAnsiToWideTemp(cert->SerialNumber));
    const std::basic_string<WCHAR> alg(LU_WTEXT("RSA"));
    const size_t size = sizeof(NCryptKeyName) + (name.size() + 1 + alg.size() + 1) * sizeof(WCHAR);
    NCryptKeyName* out = static_cast<NCryptKeyName*>(calloc(1, size));
    if (!out) return NTE_NO_MEMORY;
    WCHAR* text = reinterpret_cast<WCHAR*>(out + 1);
    memcpy(text, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    out->pszName = text;
    text += name.size() + 1;
    memcpy(text, alg.c_str(), (alg.size() + 1) * sizeof(WCHAR));
    out->pszAlgid = text;
    out->dwLegacyKeySpec = AT_KEYEXCHANGE;
    out->dwFlags = 0;
    *ppKeyName = out;
    return 0;
}

int DoEnumAlgorithms(NCRYPT_PROV_HANDLE hProvider, DWORD dwAlgClass, DWORD* pdwAlgCount,
                     NCryptAlgorithmName** ppAlgList) {
    if (!pdwAlgCount || !ppAlgList) return NTE_INVALID_PARAMETER;
    int result = luKspProviders().Check(hProvider);
    if (result != 0) return result;
    if (dwAlgClass != 0 && !(dwAlgClass & NCRYPT_SIGNATURE_OPERATION)) return NTE_NOT_SUPPORTED;
    const std::basic_string<WCHAR> alg(LU_WTEXT("RSA"));
    NCryptAlgorithmName* out =
        static_cast<NCryptAlgorithmName*>(calloc(1, sizeof(NCryptAlgorithmName) + (alg.size() + 1) * 2));
    if (!out) return NTE_NO_MEMORY;
    WCHAR* text = reinterpret_cast<WCHAR*>(out + 1);
    memcpy(text, alg.c_str(), (alg.size() + 1) * sizeof(WCHAR));
    out->pszName = text;
    out->dwClass = NCRYPT_SIGNATURE_INTERFACE;
    out->dwAlgOperations = NCRYPT_SIGNATURE_OPERATION;
    *pdwAlgCount = 1;
    *ppAlgList = out;
    return 0;
}

#define KSP_FRAME(frame, style) LU_ENTRY_FRAME(frame, style)

SECURITY_STATUS WINAPI KspOpenProvider(NCRYPT_PROV_HANDLE* phProvider, LPCWSTR pszProviderName,
                                       DWORD dwFlags) {
    KSP_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s phProvider=[%p] dwFlags=[%X]>\n", LU_FN, static_cast<void*>(phProvider),
          static_cast<unsigned>(dwFlags));
    (void)pszProviderName;
    return RunStatus(frame, [&] { return DoOpenProvider(phProvider, dwFlags); });
}

SECURITY_STATUS WINAPI KspFreeProvider(NCRYPT_PROV_HANDLE hProvider) {
    KSP_FRAME(frame, kEntryCleanup);
    TRACE(DBHEAD_E, "<%s hProvider=[%p]>\n", LU_FN, reinterpret_cast<void*>(hProvider));
    return RunStatus(frame, [&] { return luKspProviders().Free(hProvider); });
}

SECURITY_STATUS WINAPI KspOpenKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE* phKey, LPCWSTR pszKeyName,
                                  DWORD dwLegacyKeySpec, DWORD dwFlags) {
    KSP_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hProvider=[%p] pszKeyName=[%s] dwLegacyKeySpec=[%u] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hProvider), pszKeyName ? ConvWideToAnsiTemp(pszKeyName) : "(null)",
          static_cast<unsigned>(dwLegacyKeySpec), static_cast<unsigned>(dwFlags));
    return RunStatus(frame,
                     [&] { return DoOpenKey(hProvider, phKey, pszKeyName, dwLegacyKeySpec, dwFlags); });
}

SECURITY_STATUS WINAPI KspFreeKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey) {
    KSP_FRAME(frame, kEntryCleanup);
    TRACE(DBHEAD_E, "<%s hProvider=[%p] hKey=[%p]>\n", LU_FN, reinterpret_cast<void*>(hProvider),
          reinterpret_cast<void*>(hKey));
    return RunStatus(frame, [&] { return DoFreeKey(hProvider, hKey); });
}

SECURITY_STATUS WINAPI KspGetProviderProperty(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty,
                                              PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult,
                                              DWORD dwFlags) {
    KSP_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hProvider=[%p] pszProperty=[%s] cbOutput=[%u] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hProvider), pszProperty ? ConvWideToAnsiTemp(pszProperty) : "(null)",
          static_cast<unsigned>(cbOutput), static_cast<unsigned>(dwFlags));
    return RunStatus(
        frame, [&] { return DoGetProviderProperty(hProvider, pszProperty, pbOutput, cbOutput, pcbResult); });
}

SECURITY_STATUS WINAPI KspGetKeyProperty(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                         LPCWSTR pszProperty, PBYTE pbOutput, DWORD cbOutput,
                                         DWORD* pcbResult, DWORD dwFlags) {
    KSP_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hKey=[%p] pszProperty=[%s] cbOutput=[%u] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hKey), pszProperty ? ConvWideToAnsiTemp(pszProperty) : "(null)",
          static_cast<unsigned>(cbOutput), static_cast<unsigned>(dwFlags));
    return RunStatus(
        frame, [&] { return DoGetKeyProperty(hProvider, hKey, pszProperty, pbOutput, cbOutput, pcbResult); });
}

SECURITY_STATUS WINAPI KspSetProviderProperty(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty, PBYTE, DWORD,
                                              DWORD) {
    KSP_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hProvider=[%p] pszProperty=[%s]>\n", LU_FN, reinterpret_cast<void*>(hProvider),
          pszProperty ? ConvWideToAnsiTemp(pszProperty) : "(null)");
    return RunStatus(frame, [&] {
        int result = luKspProviders().Check(hProvider);
        return result != 0 ? result : luKspSetProperty(pszProperty);
    });
}

SECURITY_STATUS WINAPI KspSetKeyProperty(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                         LPCWSTR pszProperty, PBYTE, DWORD, DWORD) {
    KSP_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hKey=[%p] pszProperty=[%s]>\n", LU_FN, reinterpret_cast<void*>(hKey),
          pszProperty ? ConvWideToAnsiTemp(pszProperty) : "(null)");
    return RunStatus(frame, [&] {
        TKeyRef key;
        int result = KeyOf(hProvider, hKey, &key);
        return result != 0 ? result : luKspSetProperty(pszProperty);
    });
}

SECURITY_STATUS WINAPI KspFreeBuffer(PVOID pvInput) {
    KSP_FRAME(frame, kEntryRefusing);
    TRACE(DBHEAD_E, "<%s pvInput=[%p]>\n", LU_FN, pvInput);
    // Every buffer handed out (key names, algorithm lists, enumeration states) is one malloc block.
    return RunStatus(frame, [&] {
        free(pvInput);
        return 0;
    });
}

SECURITY_STATUS WINAPI KspSignHash(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, void* pPaddingInfo,
                                   PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature,
                                   DWORD* pcbResult, DWORD dwFlags) {
    KSP_FRAME(frame, kEntryWorking);
    TRACE(
        DBHEAD_E,
        "<%s hKey=[%p] pPaddingInfo=[%p] cbHashValue=[%u] pbSignature=[%p] cbSignature=[%u] dwFlags=[%X]>\n",
        LU_FN, reinterpret_cast<void*>(hKey), pPaddingInfo, static_cast<unsigned>(cbHashValue),
        static_cast<void*>(pbSignature), static_cast<unsigned>(cbSignature), static_cast<unsigned>(dwFlags));
    return RunStatus(frame, [&] {
        return DoSignHash(frame, hProvider, hKey, pPaddingInfo, pbHashValue, cbHashValue, pbSignature,
                          cbSignature, pcbResult, dwFlags);
    });
}

SECURITY_STATUS WINAPI KspVerifySignature(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                          void* pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue,
                                          PBYTE pbSignature, DWORD cbSignature, DWORD dwFlags) {
    KSP_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hKey=[%p] cbHashValue=[%u] cbSignature=[%u] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hKey), static_cast<unsigned>(cbHashValue),
          static_cast<unsigned>(cbSignature), static_cast<unsigned>(dwFlags));
    return RunStatus(frame, [&] {
        return DoVerifySignature(hProvider, hKey, pPaddingInfo, pbHashValue, cbHashValue, pbSignature,
                                 cbSignature, dwFlags);
    });
}

SECURITY_STATUS WINAPI KspExportKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                    NCRYPT_KEY_HANDLE hExportKey, LPCWSTR pszBlobType, NCryptBufferDesc*,
                                    PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult, DWORD dwFlags) {
    KSP_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hKey=[%p] pszBlobType=[%s] cbOutput=[%u] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hKey), pszBlobType ? ConvWideToAnsiTemp(pszBlobType) : "(null)",
          static_cast<unsigned>(cbOutput), static_cast<unsigned>(dwFlags));
    return RunStatus(frame, [&] {
        return DoExportKey(hProvider, hKey, hExportKey, pszBlobType, pbOutput, cbOutput, pcbResult);
    });
}

SECURITY_STATUS WINAPI KspEnumKeys(NCRYPT_PROV_HANDLE hProvider, LPCWSTR, NCryptKeyName** ppKeyName,
                                   PVOID* ppEnumState, DWORD dwFlags) {
    KSP_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hProvider=[%p] dwFlags=[%X]>\n", LU_FN, reinterpret_cast<void*>(hProvider),
          static_cast<unsigned>(dwFlags));
    return RunStatus(frame, [&] { return DoEnumKeys(hProvider, ppKeyName, ppEnumState, dwFlags); });
}

SECURITY_STATUS WINAPI KspIsAlgSupported(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszAlgId, DWORD dwFlags) {
    KSP_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s pszAlgId=[%s] dwFlags=[%X]>\n", LU_FN,
          pszAlgId ? ConvWideToAnsiTemp(pszAlgId) : "(null)", static_cast<unsigned>(dwFlags));
    return RunStatus(frame, [&] {
        int result = luKspProviders().Check(hProvider);
        if (result == 0 && !pszAlgId) result = NTE_INVALID_PARAMETER;
        if (result == 0 && !luKspSameName(pszAlgId, LU_WTEXT("RSA"))) result = NTE_NOT_SUPPORTED;
        return result;
    });
}

SECURITY_STATUS WINAPI KspEnumAlgorithms(NCRYPT_PROV_HANDLE hProvider, DWORD dwAlgClass, DWORD* pdwAlgCount,
                                         NCryptAlgorithmName** ppAlgList, DWORD dwFlags) {
    KSP_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s dwAlgClass=[%X] dwFlags=[%X]>\n", LU_FN, static_cast<unsigned>(dwAlgClass),
          static_cast<unsigned>(dwFlags));
    return RunStatus(frame, [&] { return DoEnumAlgorithms(hProvider, dwAlgClass, pdwAlgCount, ppAlgList); });
}

// The entries this provider does not offer: no lock, no argument looked at.
#define KSP_REFUSE(name, ...)                                                                                \
    SECURITY_STATUS WINAPI name(__VA_ARGS__) {                                                               \
        KSP_FRAME(frame, kEntryRefusing);                                                                    \
        TRACE(DBHEAD_E, "<%s>\n", LU_FN);                                                                    \
        return RunStatus(frame, [] { return luRefuseNotImplemented(#name); });                               \
    }

KSP_REFUSE(KspCreatePersistedKey, NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE*, LPCWSTR, LPCWSTR, DWORD, DWORD)
KSP_REFUSE(KspFinalizeKey, NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, DWORD)
KSP_REFUSE(KspDeleteKey, NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, DWORD)
KSP_REFUSE(KspEncrypt, NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, PBYTE, DWORD, void*, PBYTE, DWORD, DWORD*,
           DWORD)
KSP_REFUSE(KspDecrypt, NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, PBYTE, DWORD, void*, PBYTE, DWORD, DWORD*,
           DWORD)
KSP_REFUSE(KspImportKey, NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, LPCWSTR, NCryptBufferDesc*,
           NCRYPT_KEY_HANDLE*, PBYTE, DWORD, DWORD)
KSP_REFUSE(KspPromptUser, NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, LPCWSTR, DWORD)
KSP_REFUSE(KspNotifyChangeKey, NCRYPT_PROV_HANDLE, HANDLE*, DWORD)
KSP_REFUSE(KspSecretAgreement, NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, NCRYPT_KEY_HANDLE,
           NCRYPT_SECRET_HANDLE*, DWORD)
KSP_REFUSE(KspDeriveKey, NCRYPT_PROV_HANDLE, NCRYPT_SECRET_HANDLE, LPCWSTR, NCryptBufferDesc*, PBYTE, DWORD,
           DWORD*, ULONG)
KSP_REFUSE(KspFreeSecret, NCRYPT_PROV_HANDLE, NCRYPT_SECRET_HANDLE)

NCRYPT_KEY_STORAGE_FUNCTION_TABLE gKspFunctionTable = {
    {LU_NCRYPT_INTERFACE_MAJOR, LU_NCRYPT_INTERFACE_MINOR},
    KspOpenProvider,
    KspOpenKey,
    KspCreatePersistedKey,
    KspGetProviderProperty,
    KspGetKeyProperty,
    KspSetProviderProperty,
    KspSetKeyProperty,
    KspFinalizeKey,
    KspDeleteKey,
    KspFreeProvider,
    KspFreeKey,
    KspFreeBuffer,
    KspEncrypt,
    KspDecrypt,
    KspIsAlgSupported,
    KspEnumAlgorithms,
    KspEnumKeys,
    KspImportKey,
    KspExportKey,
    KspSignHash,
    KspVerifySignature,
    KspPromptUser,
    KspNotifyChangeKey,
    KspSecretAgreement,
    KspDeriveKey,
    KspFreeSecret,
};

} // namespace

NTSTATUS luKspGetInterface(LPCWSTR pszProviderName, NCRYPT_KEY_STORAGE_FUNCTION_TABLE** ppFunctionTable,
                           DWORD dwFlags) {
    LU_EXPORT_FRAME(frame, kEntryRefusing, "GetKeyStorageInterface");
    LU_ENTRY_TRACE(frame, DBHEAD_E, "<%s pszProviderName=[%s] dwFlags=[%X]>\n",
                   pszProviderName ? ConvWideToAnsiTemp(pszProviderName) : "(null)",
                   static_cast<unsigned>(dwFlags));
    const BOOL ok = frame.Run([&] {
        if (!ppFunctionTable) return static_cast<int>(NTE_INVALID_PARAMETER);
        *ppFunctionTable = &gKspFunctionTable;
        return 0;
    });
    return ok ? LU_STATUS_SUCCESS : LU_STATUS_INVALID_PARAMETER;
}
