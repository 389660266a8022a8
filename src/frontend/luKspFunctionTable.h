// The key storage provider's handler of its one export.
#pragma once

#include "os/platNCrypt.h"

// GetKeyStorageInterface: ncrypt's function table of the provider.
NTSTATUS luKspGetInterface(LPCWSTR pszProviderName, NCRYPT_KEY_STORAGE_FUNCTION_TABLE** ppFunctionTable,
                           DWORD dwFlags);
