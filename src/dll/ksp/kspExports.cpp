// The key storage provider's one export: its function table, from the front end.
#include "frontend/luKspFunctionTable.h"

extern "C" NTSTATUS WINAPI GetKeyStorageInterface(LPCWSTR pszProviderName,
                                                  NCRYPT_KEY_STORAGE_FUNCTION_TABLE** ppFunctionTable,
                                                  DWORD dwFlags) {
    return luKspGetInterface(pszProviderName, ppFunctionTable, dwFlags);
}
