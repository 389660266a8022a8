// The key storage provider's own entries: opening and freeing it, its properties, the algorithms it
// offers, and the buffers it hands out.
#include "frontend/libLUProvider.h"
#include "frontend/luAppGlobal.h"
#include "frontend/luEntryFrame.h"
#include "frontend/luKspHandlers.h"
#include "frontend/luKspProperties.h"
#include "frontend/luKspProviders.h"
#include "platform/platDebug.h"
#include "platform/platRotPadroes.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int DoOpenProvider(NCRYPT_PROV_HANDLE* phProvider, DWORD dwFlags) {
    if (!phProvider || !gLUProvider) return NTE_INVALID_PARAMETER;
    if (dwFlags & ~static_cast<DWORD>(NCRYPT_SILENT_FLAG)) return NTE_BAD_FLAGS;
    if (int result = luKspProviders().Open(gLUProvider, phProvider)) return result;
    luPinLibrary();
    return 0;
}

int DoGetProviderProperty(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty, PBYTE pbOutput, DWORD cbOutput,
                          DWORD* pcbResult) {
    if (int result = luKspProviders().Check(hProvider)) return result;
    TLUKspValue value;
    if (int result = luKspProviderProperty(pszProperty, &value)) return result;
    return luKspCopyOut(value.data(), static_cast<DWORD>(value.size()), pbOutput, cbOutput, pcbResult);
}

int DoSetProviderProperty(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty) {
    if (int result = luKspProviders().Check(hProvider)) return result;
    return luKspSetProperty(pszProperty);
}

int DoIsAlgSupported(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszAlgId) {
    if (int result = luKspProviders().Check(hProvider)) return result;
    if (!pszAlgId) return NTE_INVALID_PARAMETER;
    if (!luKspSameName(pszAlgId, LU_WTEXT("RSA"))) return NTE_NOT_SUPPORTED;
    return 0;
}

int DoEnumAlgorithms(NCRYPT_PROV_HANDLE hProvider, DWORD dwAlgClass, DWORD* pdwAlgCount,
                     NCryptAlgorithmName** ppAlgList) {
    if (!pdwAlgCount || !ppAlgList) return NTE_INVALID_PARAMETER;
    if (int result = luKspProviders().Check(hProvider)) return result;
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

SECURITY_STATUS WINAPI KspOpenProvider(NCRYPT_PROV_HANDLE* phProvider, LPCWSTR pszProviderName,
                                       DWORD dwFlags) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s phProvider=[%p] dwFlags=[%X]>\n", LU_FN, static_cast<void*>(phProvider),
          static_cast<unsigned>(dwFlags));
    (void)pszProviderName;
    return luKspRunStatus(frame, [&] { return DoOpenProvider(phProvider, dwFlags); });
}

SECURITY_STATUS WINAPI KspFreeProvider(NCRYPT_PROV_HANDLE hProvider) {
    LU_ENTRY_FRAME(frame, kEntryCleanup);
    TRACE(DBHEAD_E, "<%s hProvider=[%p]>\n", LU_FN, reinterpret_cast<void*>(hProvider));
    return luKspRunStatus(frame, [&] { return luKspProviders().Free(hProvider); });
}

SECURITY_STATUS WINAPI KspGetProviderProperty(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty,
                                              PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult,
                                              DWORD dwFlags) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hProvider=[%p] pszProperty=[%s] cbOutput=[%u] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hProvider), pszProperty ? ConvWideToAnsiTemp(pszProperty) : "(null)",
          static_cast<unsigned>(cbOutput), static_cast<unsigned>(dwFlags));
    return luKspRunStatus(
        frame, [&] { return DoGetProviderProperty(hProvider, pszProperty, pbOutput, cbOutput, pcbResult); });
}

SECURITY_STATUS WINAPI KspSetProviderProperty(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty, PBYTE, DWORD,
                                              DWORD) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hProvider=[%p] pszProperty=[%s]>\n", LU_FN, reinterpret_cast<void*>(hProvider),
          pszProperty ? ConvWideToAnsiTemp(pszProperty) : "(null)");
    return luKspRunStatus(frame, [&] { return DoSetProviderProperty(hProvider, pszProperty); });
}

SECURITY_STATUS WINAPI KspFreeBuffer(PVOID pvInput) {
    LU_ENTRY_FRAME(frame, kEntryRefusing);
    TRACE(DBHEAD_E, "<%s pvInput=[%p]>\n", LU_FN, pvInput);
    // Every buffer handed out (key names, algorithm lists, enumeration states) is one malloc block.
    return luKspRunStatus(frame, [&] {
        free(pvInput);
        return 0;
    });
}

SECURITY_STATUS WINAPI KspIsAlgSupported(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszAlgId, DWORD dwFlags) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s pszAlgId=[%s] dwFlags=[%X]>\n", LU_FN,
          pszAlgId ? ConvWideToAnsiTemp(pszAlgId) : "(null)", static_cast<unsigned>(dwFlags));
    return luKspRunStatus(frame, [&] { return DoIsAlgSupported(hProvider, pszAlgId); });
}

SECURITY_STATUS WINAPI KspEnumAlgorithms(NCRYPT_PROV_HANDLE hProvider, DWORD dwAlgClass, DWORD* pdwAlgCount,
                                         NCryptAlgorithmName** ppAlgList, DWORD dwFlags) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s dwAlgClass=[%X] dwFlags=[%X]>\n", LU_FN, static_cast<unsigned>(dwAlgClass),
          static_cast<unsigned>(dwFlags));
    return luKspRunStatus(frame,
                          [&] { return DoEnumAlgorithms(hProvider, dwAlgClass, pdwAlgCount, ppAlgList); });
}

} // namespace

void luKspProviderEntries(NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table) {
    table->OpenProvider = KspOpenProvider;
    table->GetProviderProperty = KspGetProviderProperty;
    table->SetProviderProperty = KspSetProviderProperty;
    table->FreeProvider = KspFreeProvider;
    table->FreeBuffer = KspFreeBuffer;
    table->IsAlgSupported = KspIsAlgSupported;
    table->EnumAlgorithms = KspEnumAlgorithms;
}
