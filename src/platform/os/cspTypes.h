// CSP interface records that neither platform's headers provide (the CSP development kit is not part
// of mingw's headers).
#pragma once

#ifndef CRYPT_SIG_RESOURCE_VERSION
#define CRYPT_SIG_RESOURCE_VERSION 0x00000100
#endif

typedef struct _VTableProvStruc {
    DWORD Version;
    FARPROC FuncVerifyImage;
    FARPROC FuncReturnhWnd;
    DWORD dwProvType;
    BYTE* pbContextInfo;
    DWORD cbContextInfo;
    LPSTR pszProvName;
} VTableProvStruc, *PVTableProvStruc;

#ifndef NTE_BUFFER_TOO_SMALL
#define NTE_BUFFER_TOO_SMALL ((LONG)0x80090028L)
#endif
#ifndef NTE_NOT_SUPPORTED
#define NTE_NOT_SUPPORTED ((LONG)0x80090029L)
#endif
#ifndef NTE_INVALID_PARAMETER
#define NTE_INVALID_PARAMETER ((LONG)0x80090027L)
#endif
// mingw's winerror.h lacks it.
#ifndef ERROR_UNWIND
#define ERROR_UNWIND 542L
#endif
