// CNG provider registration (BCryptRegisterProvider / BCryptUnregisterProvider). Windows: taken from
// bcrypt.dll at run time, since mingw's import library lacks them. Linux: a stand-in that keeps the
// registrations where Windows keeps them (HKLM\SYSTEM\CurrentControlSet\Control\Cryptography\Providers)
// in the stand-in registry.
#pragma once

#include "os/platTypes.h"

#ifdef _WIN32
#include <bcrypt.h>
#else
#include "os/posix/bcryptCompat.h"
#endif

#ifndef NCRYPT_KEY_STORAGE_INTERFACE
#define NCRYPT_KEY_STORAGE_INTERFACE 0x00010001
#endif

#ifndef CRYPT_PRIORITY_BOTTOM
#define CRYPT_PRIORITY_BOTTOM 0xFFFFFFFFu
#endif

// NTSTATUS values of the registration.
#define LU_STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define LU_STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define LU_STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define LU_STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define LU_STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define LU_STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define LU_STATUS_PROCEDURE_NOT_FOUND ((NTSTATUS)0xC000007AL)
#define LU_STATUS_DLL_NOT_FOUND ((NTSTATUS)0xC0000135L)
#define LU_STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define LU_STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)

// Where Windows keeps the CNG provider registrations and the contexts' provider lists (64-bit view).
#define LU_CNG_PROVIDERS_KEY "SYSTEM\\CurrentControlSet\\Control\\Cryptography\\Providers"
#define LU_CNG_CONTEXTS_KEY "SYSTEM\\CurrentControlSet\\Control\\Cryptography\\Configuration\\Local"

NTSTATUS osBCryptRegisterProvider(LPCWSTR pszProvider, ULONG dwFlags, PCRYPT_PROVIDER_REG pReg);
NTSTATUS osBCryptUnregisterProvider(LPCWSTR pszProvider);
// A provider added to (or removed from) the list of a context's function (BCryptAddContextFunctionProvider,
// BCryptRemoveContextFunctionProvider): NCryptEnumStorageProviders lists the key storage providers of
// the "Default" context's KEY_STORAGE function.
NTSTATUS osBCryptAddContextFunctionProvider(ULONG dwTable, LPCWSTR pszContext, ULONG dwInterface,
                                            LPCWSTR pszFunction, LPCWSTR pszProvider, ULONG dwPosition);
NTSTATUS osBCryptRemoveContextFunctionProvider(ULONG dwTable, LPCWSTR pszContext, ULONG dwInterface,
                                               LPCWSTR pszFunction, LPCWSTR pszProvider);
