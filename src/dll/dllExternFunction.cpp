// The exports of the CSP library: each is one call of its handler in the front end
// (frontend/luCspHandlers.h), which runs it in the entry frame.
#include "dll/dllExternFunction.h"

#include "frontend/luCspHandlers.h"

extern "C" {

BOOL WINAPI CPAcquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags,
                             PVTableProvStruc pVTable) {
    return luCspAcquireContext(phProv, szContainer, dwFlags, pVTable);
}

BOOL WINAPI CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    return luCspReleaseContext(hProv, dwFlags);
}

BOOL WINAPI CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen, DWORD dwFlags) {
    return luCspGetProvParam(hProv, dwParam, pbData, pcbDataLen, dwFlags);
}

BOOL WINAPI CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    return luCspSetProvParam(hProv, dwParam, pbData, dwFlags);
}

BOOL WINAPI CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    return luCspGetUserKey(hProv, dwKeySpec, phUserKey);
}

BOOL WINAPI CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey) {
    return luCspDestroyKey(hProv, hKey);
}

BOOL WINAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                          DWORD dwFlags) {
    return luCspGetKeyParam(hProv, hKey, dwParam, pbData, pcbDataLen, dwFlags);
}

BOOL WINAPI CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData,
                          DWORD dwFlags) {
    return luCspSetKeyParam(hProv, hKey, dwParam, pbData, dwFlags);
}

BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType, DWORD dwFlags,
                        BYTE* pbData, DWORD* pcbDataLen) {
    return luCspExportKey(hProv, hKey, hPubKey, dwBlobType, dwFlags, pbData, pcbDataLen);
}

BOOL WINAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash) {
    return luCspCreateHash(hProv, Algid, hKey, dwFlags, phHash);
}

BOOL WINAPI CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash) {
    return luCspDestroyHash(hProv, hHash);
}

BOOL WINAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                           DWORD dwFlags) {
    return luCspGetHashParam(hProv, hHash, dwParam, pbData, pcbDataLen, dwFlags);
}

BOOL WINAPI CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData,
                           DWORD dwFlags) {
    return luCspSetHashParam(hProv, hHash, dwParam, pbData, dwFlags);
}

BOOL WINAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription,
                       DWORD dwFlags, BYTE* pbSignature, DWORD* pcbSigLen) {
    return luCspSignHash(hProv, hHash, dwKeySpec, szDescription, dwFlags, pbSignature, pcbSigLen);
}

BOOL WINAPI CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature, DWORD cbSigLen,
                              HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags) {
    return luCspVerifySignature(hProv, hHash, pbSignature, cbSigLen, hPubKey, szDescription, dwFlags);
}

BOOL WINAPI CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags,
                      BYTE* pbData, DWORD* pcbDataLen, DWORD cbBufLen) {
    return luCspEncrypt(hProv, hKey, hHash, fFinal, dwFlags, pbData, pcbDataLen, cbBufLen);
}

BOOL WINAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags,
                      BYTE* pbData, DWORD* pcbDataLen) {
    return luCspDecrypt(hProv, hKey, hHash, fFinal, dwFlags, pbData, pcbDataLen);
}

BOOL WINAPI CPDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags,
                        HCRYPTKEY* phKey) {
    return luCspDeriveKey(hProv, Algid, hBaseData, dwFlags, phKey);
}

BOOL WINAPI CPDuplicateHash(HCRYPTPROV hUID, HCRYPTHASH hHash, DWORD* pdwReserved, DWORD dwFlags,
                            HCRYPTHASH* phHash) {
    return luCspDuplicateHash(hUID, hHash, pdwReserved, dwFlags, phHash);
}

BOOL WINAPI CPDuplicateKey(HCRYPTPROV hUID, HCRYPTKEY hKey, DWORD* pdwReserved, DWORD dwFlags,
                           HCRYPTKEY* phKey) {
    return luCspDuplicateKey(hUID, hKey, pdwReserved, dwFlags, phKey);
}

BOOL WINAPI CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    return luCspGenKey(hProv, Algid, dwFlags, phKey);
}

BOOL WINAPI CPGenRandom(HCRYPTPROV hProv, DWORD cbLen, BYTE* pbBuffer) {
    return luCspGenRandom(hProv, cbLen, pbBuffer);
}

BOOL WINAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData, DWORD cbDataLen,
                       DWORD dwFlags) {
    return luCspHashData(hProv, hHash, pbData, cbDataLen, dwFlags);
}

BOOL WINAPI CPHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags) {
    return luCspHashSessionKey(hProv, hHash, hKey, dwFlags);
}

BOOL WINAPI CPImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbDataLen, HCRYPTKEY hPubKey,
                        DWORD dwFlags, HCRYPTKEY* phKey) {
    return luCspImportKey(hProv, pbData, cbDataLen, hPubKey, dwFlags, phKey);
}

HRESULT WINAPI DllInstall(BOOL bInstall, PCWSTR pszCmdLine) {
    return luDllInstall(bInstall, pszCmdLine);
}

BOOL WINAPI TrelisServer_RegisterCertificate(const char* BuffCertificate, int LenBuffCertificate,
                                             const char* BuffToken, int LenBuffToken) {
    return luRegisterCertificate(BuffCertificate, LenBuffCertificate, BuffToken, LenBuffToken);
}

BOOL WINAPI TrelisServer_UnregisterCertificate(const char* BuffCertificate, int LenBuffCertificate) {
    return luUnregisterCertificate(BuffCertificate, LenBuffCertificate);
}

} // extern "C"
