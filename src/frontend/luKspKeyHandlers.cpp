// A key's entries of the key storage provider: opening and freeing it, its properties and its public
// half. A key is a context of the provider's handle table, opened with a session of its own.
#include "frontend/libLUProvider.h"
#include "frontend/luAppGlobal.h"
#include "frontend/luEntryFrame.h"
#include "frontend/luKspHandlers.h"
#include "frontend/luKspProperties.h"
#include "frontend/luKspProviders.h"
#include "platform/platDebug.h"
#include "platform/platRotPadroes.h"

#include <string>

namespace {

// The steps of luKspKeyOf: the key belongs to the provider, is a context, and its session is usable.
int FindKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, TLUKspKeyRef* key) {
    if (int result = luKspProviders().CheckKey(hProvider, hKey)) return result;
    TLUProvider* session = nullptr;
    if (int result = luGetProvSessionFromKey(&session, hKey, key)) return result;
    return luCheckParamExt(session);
}

// The flags and dwLegacyKeySpec an opened key may have; the key's name is looked up later.
int CheckOpenKeyArgs(DWORD dwLegacyKeySpec, DWORD dwFlags) {
    if (dwLegacyKeySpec != 0 && dwLegacyKeySpec != AT_KEYEXCHANGE && dwLegacyKeySpec != AT_SIGNATURE) {
        TRACE(DBERRO_0, "dwLegacyKeySpec invalido=[%u]\n", static_cast<unsigned>(dwLegacyKeySpec));
        return NTE_INVALID_PARAMETER;
    }
    // Keys are the current user's: a machine key is none of ours.
    if (dwFlags & ~static_cast<DWORD>(NCRYPT_SILENT_FLAG)) {
        TRACE(DBERRO_0, "dwFlags invalido=[%X]\n", static_cast<unsigned>(dwFlags));
        return NTE_BAD_FLAGS;
    }
    return 0;
}

// The key's context, opened in session and recorded under hProvider; the caller frees it on failure.
int OpenKeyContext(TLUProvider* session, NCRYPT_PROV_HANDLE hProvider, const std::string& name,
                   DWORD dwLegacyKeySpec, ULONG_PTR* handle) {
    if (int result =
            session->OpenKey(session, TLUHandleKind::Context, 0, handle, name.c_str(), dwLegacyKeySpec, 0))
        return result;
    return luKspProviders().AddKey(hProvider, *handle);
}

int DoOpenKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE* phKey, LPCWSTR pszKeyName,
              DWORD dwLegacyKeySpec, DWORD dwFlags) {
    if (!phKey || !pszKeyName || !gLUProvider) return NTE_INVALID_PARAMETER;
    if (int result = luKspProviders().Check(hProvider)) return result;
    if (int result = CheckOpenKeyArgs(dwLegacyKeySpec, dwFlags)) return result;
    const std::string name = ConvWideToAnsiTemp(pszKeyName);
    TLUProvider* session = nullptr;
    if (int result = gLUProvider->OpenStorageProvider(&session)) return result;
    ULONG_PTR handle = 0;
    const int result = OpenKeyContext(session, hProvider, name, dwLegacyKeySpec, &handle);
    if (result != 0) {
        session->FreeProvider(session, handle);
        return result == static_cast<int>(NTE_NO_KEY) ? static_cast<int>(NTE_BAD_KEYSET) : result;
    }
    *phKey = handle;
    return 0;
}

int DoFreeKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey) {
    TLUKspKeyRef key;
    if (int result = luKspKeyOf(hProvider, hKey, &key)) return result;
    if (int result = luKspProviders().RemoveKey(hProvider, hKey)) return result;
    return gLUProvider->FreeProvider(gLUProvider, hKey);
}

int DoGetKeyProperty(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, LPCWSTR pszProperty,
                     PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult) {
    TLUKspKeyRef key;
    if (int result = luKspKeyOf(hProvider, hKey, &key)) return result;
    TLUKspValue value;
    if (int result = luKspKeyProperty(*key, hProvider, pszProperty, &value)) return result;
    return luKspCopyOut(value.data(), static_cast<DWORD>(value.size()), pbOutput, cbOutput, pcbResult);
}

int DoSetKeyProperty(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, LPCWSTR pszProperty) {
    TLUKspKeyRef key;
    if (int result = luKspKeyOf(hProvider, hKey, &key)) return result;
    return luKspSetProperty(pszProperty);
}

int DoExportKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, NCRYPT_KEY_HANDLE hExportKey,
                LPCWSTR pszBlobType, PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult) {
    if (!pszBlobType || !pcbResult) return NTE_INVALID_PARAMETER;
    TLUKspKeyRef key;
    if (int result = luKspKeyOf(hProvider, hKey, &key)) return result;
    if (hExportKey) return NTE_NOT_SUPPORTED;
    TVarnoMemory blob;
    int result = 0;
    if (luKspSameName(pszBlobType, LU_WTEXT("RSAPUBLICBLOB"))) {
        result = key->BuildRsaPublicBlob(&blob);
    } else if (luKspSameName(pszBlobType, LU_WTEXT("CAPIPUBLICBLOB"))) {
        result = key->BuildPublicKeyBlob(&blob);
    } else {
        // The private half is not here to give: private blobs and any other are refused.
        TRACE(DBERRO_0, "pszBlobType nao suportado=[%s]\n", ConvWideToAnsiTemp(pszBlobType));
        return NTE_NOT_SUPPORTED;
    }
    if (result != 0) return result;
    return luKspCopyOut(blob.FileData, blob.LenFileData, pbOutput, cbOutput, pcbResult);
}

SECURITY_STATUS WINAPI KspOpenKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE* phKey, LPCWSTR pszKeyName,
                                  DWORD dwLegacyKeySpec, DWORD dwFlags) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hProvider=[%p] pszKeyName=[%s] dwLegacyKeySpec=[%u] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hProvider), pszKeyName ? ConvWideToAnsiTemp(pszKeyName) : "(null)",
          static_cast<unsigned>(dwLegacyKeySpec), static_cast<unsigned>(dwFlags));
    return luKspRunStatus(frame,
                          [&] { return DoOpenKey(hProvider, phKey, pszKeyName, dwLegacyKeySpec, dwFlags); });
}

SECURITY_STATUS WINAPI KspFreeKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey) {
    LU_ENTRY_FRAME(frame, kEntryCleanup);
    TRACE(DBHEAD_E, "<%s hProvider=[%p] hKey=[%p]>\n", LU_FN, reinterpret_cast<void*>(hProvider),
          reinterpret_cast<void*>(hKey));
    return luKspRunStatus(frame, [&] { return DoFreeKey(hProvider, hKey); });
}

SECURITY_STATUS WINAPI KspGetKeyProperty(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                         LPCWSTR pszProperty, PBYTE pbOutput, DWORD cbOutput,
                                         DWORD* pcbResult, DWORD dwFlags) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hKey=[%p] pszProperty=[%s] cbOutput=[%u] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hKey), pszProperty ? ConvWideToAnsiTemp(pszProperty) : "(null)",
          static_cast<unsigned>(cbOutput), static_cast<unsigned>(dwFlags));
    return luKspRunStatus(
        frame, [&] { return DoGetKeyProperty(hProvider, hKey, pszProperty, pbOutput, cbOutput, pcbResult); });
}

SECURITY_STATUS WINAPI KspSetKeyProperty(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                         LPCWSTR pszProperty, PBYTE, DWORD, DWORD) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hKey=[%p] pszProperty=[%s]>\n", LU_FN, reinterpret_cast<void*>(hKey),
          pszProperty ? ConvWideToAnsiTemp(pszProperty) : "(null)");
    return luKspRunStatus(frame, [&] { return DoSetKeyProperty(hProvider, hKey, pszProperty); });
}

SECURITY_STATUS WINAPI KspExportKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                    NCRYPT_KEY_HANDLE hExportKey, LPCWSTR pszBlobType, NCryptBufferDesc*,
                                    PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult, DWORD dwFlags) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hKey=[%p] pszBlobType=[%s] cbOutput=[%u] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hKey), pszBlobType ? ConvWideToAnsiTemp(pszBlobType) : "(null)",
          static_cast<unsigned>(cbOutput), static_cast<unsigned>(dwFlags));
    return luKspRunStatus(frame, [&] {
        return DoExportKey(hProvider, hKey, hExportKey, pszBlobType, pbOutput, cbOutput, pcbResult);
    });
}

} // namespace

int luKspKeyOf(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, TLUKspKeyRef* key) {
    if (!hProvider || !hKey) return NTE_INVALID_PARAMETER;
    const int result = FindKey(hProvider, hKey, key);
    return result == static_cast<int>(ERROR_INVALID_HANDLE) ? static_cast<int>(NTE_INVALID_HANDLE) : result;
}

void luKspKeyEntries(NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table) {
    table->OpenKey = KspOpenKey;
    table->GetKeyProperty = KspGetKeyProperty;
    table->SetKeyProperty = KspSetKeyProperty;
    table->FreeKey = KspFreeKey;
    table->ExportKey = KspExportKey;
}
