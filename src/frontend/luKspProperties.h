// The properties a key storage provider answers for its keys and for itself, and how a value goes to
// the caller: a null buffer asks for the size, a short one gives NTE_BUFFER_TOO_SMALL with the size, a
// name not in the table NTE_NOT_FOUND (the code callers such as .NET take for "absent").
#pragma once

#include "keys/libLUProviderKEY.h"
#include "os/platNCrypt.h"

#include <vector>

using TLUKspValue = std::vector<BYTE>;

// CNG's names (properties, algorithms, blob types) compare exactly.
bool luKspSameName(const WCHAR* a, const WCHAR* b);

// A property of key (opened through the provider hProvider).
int luKspKeyProperty(const TLUProviderKey& key, NCRYPT_PROV_HANDLE hProvider, LPCWSTR name,
                     TLUKspValue* value);
// A property of the provider itself.
int luKspProviderProperty(LPCWSTR name, TLUKspValue* value);
// "HWND Handle" and "Use Context" are taken and ignored; any other NTE_NOT_SUPPORTED.
int luKspSetProperty(LPCWSTR name);

int luKspCopyOut(const void* value, DWORD size, PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult);
