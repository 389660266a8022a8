// The 26 functions of the key storage provider's table, one group per file: the provider's own
// (luKspProviderHandlers.cpp), a key's (luKspKeyHandlers.cpp), signing and verifying
// (luKspSignHandlers.cpp), the key enumeration (luKspEnumKeys.cpp) and the entries this provider does not
// offer (luKspRefusals.cpp). Internal to those files and the table (luKspFunctionTable.cpp). Each entry
// stays in its file's unnamed namespace, which is the name its trace lines show; the table takes them
// from the filling functions below.
#pragma once

#include "frontend/luEntryFrame.h"
#include "keys/libLUProviderKEY.h"
#include "os/platNCrypt.h"

#include <memory>

using TLUKspKeyRef = std::shared_ptr<TLUProviderKey>;

// The frame's BOOL + last error as a SECURITY_STATUS; a handle of another kind is CNG's invalid handle.
template <typename TWork> SECURITY_STATUS luKspRunStatus(TLUEntryFrame& frame, TWork work) {
    if (frame.Run(work)) return ERROR_SUCCESS;
    const DWORD code = GetLastError();
    if (code == static_cast<DWORD>(ERROR_INVALID_HANDLE)) return NTE_INVALID_HANDLE;
    if (code == static_cast<DWORD>(ERROR_UNWIND)) return NTE_INTERNAL_ERROR;
    return static_cast<SECURITY_STATUS>(code);
}

// The key object of hKey, opened through hProvider.
int luKspKeyOf(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, TLUKspKeyRef* key);

// Each sets its group's entries of table.
void luKspProviderEntries(NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table);
void luKspKeyEntries(NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table);
void luKspSignEntries(NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table);
void luKspEnumKeysEntry(NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table);
void luKspRefusedEntries(NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table);
