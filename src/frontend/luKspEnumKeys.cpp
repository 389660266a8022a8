// The key storage provider's key enumeration: one NCryptKeyName per call, for each certificate of the
// list; the caller's state is the next index.
#include "frontend/libLumidra.h"
#include "frontend/luEntryFrame.h"
#include "frontend/luKspHandlers.h"
#include "frontend/luKspProviders.h"
#include "platform/platDebug.h"
#include "platform/platRotPadroes.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The certificate at *next or after it that has a serial number (its key's name); *next moves past it.
TCertificate* NextCertificate(DWORD* next) {
    TCertificate* cert = nullptr;
    while (gLumidra && *next < gLumidra->ListCertificate.Count && !cert) {
        cert = gLumidra->ListCertificate.Get(static_cast<int>(*next));
        ++*next;
        if (cert && !cert->SerialNumber) cert = nullptr;
    }
    return cert;
}

// The NCryptKeyName of cert's key, in one allocation with its strings.
NCryptKeyName* NewKeyName(const TCertificate& cert) {
    const std::basic_string<WCHAR> name(ConvAnsiToWideTemp(cert.SerialNumber));
    const std::basic_string<WCHAR> alg(LU_WTEXT("RSA"));
    const size_t size = sizeof(NCryptKeyName) + (name.size() + 1 + alg.size() + 1) * sizeof(WCHAR);
    NCryptKeyName* out = static_cast<NCryptKeyName*>(calloc(1, size));
    if (!out) return nullptr;
    WCHAR* text = reinterpret_cast<WCHAR*>(out + 1);
    memcpy(text, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    out->pszName = text;
    text += name.size() + 1;
    memcpy(text, alg.c_str(), (alg.size() + 1) * sizeof(WCHAR));
    out->pszAlgid = text;
    out->dwLegacyKeySpec = AT_KEYEXCHANGE;
    out->dwFlags = 0;
    return out;
}

int DoEnumKeys(NCRYPT_PROV_HANDLE hProvider, NCryptKeyName** ppKeyName, PVOID* ppEnumState, DWORD dwFlags) {
    if (!ppKeyName || !ppEnumState) return NTE_INVALID_PARAMETER;
    if (int result = luKspProviders().Check(hProvider)) return result;
    if (dwFlags & NCRYPT_MACHINE_KEY_FLAG) return NTE_NO_MORE_ITEMS;
    DWORD* next = static_cast<DWORD*>(*ppEnumState);
    if (!next) {
        if (gLumidra) gLumidra->Refresh_CertStore();
        next = static_cast<DWORD*>(calloc(1, sizeof(DWORD)));
        if (!next) return NTE_NO_MEMORY;
        *ppEnumState = next;
    }
    TCertificate* cert = NextCertificate(next);
    if (!cert) return NTE_NO_MORE_ITEMS;
    NCryptKeyName* out = NewKeyName(*cert);
    if (!out) return NTE_NO_MEMORY;
    *ppKeyName = out;
    return 0;
}

SECURITY_STATUS WINAPI KspEnumKeys(NCRYPT_PROV_HANDLE hProvider, LPCWSTR, NCryptKeyName** ppKeyName,
                                   PVOID* ppEnumState, DWORD dwFlags) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hProvider=[%p] dwFlags=[%X]>\n", LU_FN, reinterpret_cast<void*>(hProvider),
          static_cast<unsigned>(dwFlags));
    return luKspRunStatus(frame, [&] { return DoEnumKeys(hProvider, ppKeyName, ppEnumState, dwFlags); });
}

} // namespace

void luKspEnumKeysEntry(NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table) {
    table->EnumKeys = KspEnumKeys;
}
