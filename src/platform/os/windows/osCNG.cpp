#include "os/platCNG.h"

namespace {

typedef NTSTATUS(WINAPI* TBCryptRegisterProvider)(LPCWSTR, ULONG, PCRYPT_PROVIDER_REG);
typedef NTSTATUS(WINAPI* TBCryptUnregisterProvider)(LPCWSTR);
typedef NTSTATUS(WINAPI* TBCryptAddContextFunctionProvider)(ULONG, LPCWSTR, ULONG, LPCWSTR, LPCWSTR, ULONG);
typedef NTSTATUS(WINAPI* TBCryptRemoveContextFunctionProvider)(ULONG, LPCWSTR, ULONG, LPCWSTR, LPCWSTR);

FARPROC BCryptFunction(const char* name) {
    // bcrypt.dll is a system library: loaded from System32 only, and kept for the process.
    static HMODULE module = LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module ? GetProcAddress(module, name) : nullptr;
}

} // namespace

NTSTATUS osBCryptRegisterProvider(LPCWSTR pszProvider, ULONG dwFlags, PCRYPT_PROVIDER_REG pReg) {
    FARPROC f = BCryptFunction("BCryptRegisterProvider");
    if (!f) return LU_STATUS_PROCEDURE_NOT_FOUND;
    return reinterpret_cast<TBCryptRegisterProvider>(reinterpret_cast<void*>(f))(pszProvider, dwFlags, pReg);
}

NTSTATUS osBCryptUnregisterProvider(LPCWSTR pszProvider) {
    FARPROC f = BCryptFunction("BCryptUnregisterProvider");
    if (!f) return LU_STATUS_PROCEDURE_NOT_FOUND;
    return reinterpret_cast<TBCryptUnregisterProvider>(reinterpret_cast<void*>(f))(pszProvider);
}

NTSTATUS osBCryptAddContextFunctionProvider(ULONG dwTable, LPCWSTR pszContext, ULONG dwInterface,
                                            LPCWSTR pszFunction, LPCWSTR pszProvider, ULONG dwPosition) {
    FARPROC f = BCryptFunction("BCryptAddContextFunctionProvider");
    if (!f) return LU_STATUS_PROCEDURE_NOT_FOUND;
    return reinterpret_cast<TBCryptAddContextFunctionProvider>(reinterpret_cast<void*>(f))(
        dwTable, pszContext, dwInterface, pszFunction, pszProvider, dwPosition);
}

NTSTATUS osBCryptRemoveContextFunctionProvider(ULONG dwTable, LPCWSTR pszContext, ULONG dwInterface,
                                               LPCWSTR pszFunction, LPCWSTR pszProvider) {
    FARPROC f = BCryptFunction("BCryptRemoveContextFunctionProvider");
    if (!f) return LU_STATUS_PROCEDURE_NOT_FOUND;
    return reinterpret_cast<TBCryptRemoveContextFunctionProvider>(reinterpret_cast<void*>(f))(
        dwTable, pszContext, dwInterface, pszFunction, pszProvider);
}
