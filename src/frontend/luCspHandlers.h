// The handlers of the CSP's exports, one per entry point, with the export's arguments: each runs in the
// entry frame named after its export (frontend/luEntryFrame), writes the export's entry trace and turns
// its result code into the BOOL + last error pair of CryptoAPI.
#pragma once

#include "os/platTypes.h"

BOOL luCspAcquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags, PVTableProvStruc pVTable);
BOOL luCspReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
BOOL luCspGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen, DWORD dwFlags);
BOOL luCspSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);

BOOL luCspGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey);
BOOL luCspDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey);
BOOL luCspGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                      DWORD dwFlags);
BOOL luCspSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);
BOOL luCspExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType, DWORD dwFlags,
                    BYTE* pbData, DWORD* pcbDataLen);

BOOL luCspCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash);
BOOL luCspDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash);
BOOL luCspGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                       DWORD dwFlags);
BOOL luCspSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);

BOOL luCspSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                   BYTE* pbSignature, DWORD* pcbSigLen);
BOOL luCspVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature, DWORD cbSigLen,
                          HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags);
BOOL luCspEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags,
                  BYTE* pbData, DWORD* pcbDataLen, DWORD cbBufLen);

// The nine entry points that refuse every call (luCspRefusals.cpp); CPHashData, CPDuplicateHash and
// CPImportKey work unless "CSP_Compatibility" is 0.
BOOL luCspDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags,
                  BYTE* pbData, DWORD* pcbDataLen);
BOOL luCspDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags, HCRYPTKEY* phKey);
BOOL luCspDuplicateHash(HCRYPTPROV hUID, HCRYPTHASH hHash, DWORD* pdwReserved, DWORD dwFlags,
                        HCRYPTHASH* phHash);
BOOL luCspDuplicateKey(HCRYPTPROV hUID, HCRYPTKEY hKey, DWORD* pdwReserved, DWORD dwFlags, HCRYPTKEY* phKey);
BOOL luCspGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey);
BOOL luCspGenRandom(HCRYPTPROV hProv, DWORD cbLen, BYTE* pbBuffer);
BOOL luCspHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData, DWORD cbDataLen, DWORD dwFlags);
BOOL luCspHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags);
BOOL luCspImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                    HCRYPTKEY* phKey);

// Self-registration and the certificate exports (luRegistrationHandlers.cpp).
HRESULT luDllInstall(BOOL bInstall, PCWSTR pszCmdLine);
BOOL luRegisterCertificate(const char* BuffCertificate, int LenBuffCertificate, const char* BuffToken,
                           int LenBuffToken);
BOOL luUnregisterCertificate(const char* BuffCertificate, int LenBuffCertificate);
