#include "frontend/luKspProperties.h"

#include "platform/platCopyOut.h"
#include "platform/platDebug.h"
#include "platform/platProductNames.h"
#include "platform/platRotPadroes.h"

#include <cstring>

namespace {

void PutDword(DWORD v, TLUKspValue* value) {
    value->assign(reinterpret_cast<const BYTE*>(&v), reinterpret_cast<const BYTE*>(&v) + sizeof(v));
}

// A string property: UTF-16 with its terminator.
void PutText(const char* text, TLUKspValue* value) {
    value->clear();
    for (const char* c = text; c; ++c) {
        const WCHAR w = static_cast<WCHAR>(static_cast<unsigned char>(*c));
        value->insert(value->end(), reinterpret_cast<const BYTE*>(&w), reinterpret_cast<const BYTE*>(&w) + 2);
        if (!*c) break;
    }
}

// The key lives with the signing service, not in this process: a hardware key to CNG's callers.
const DWORD kImplType = NCRYPT_IMPL_HARDWARE_FLAG;

struct TKeyProperty {
    const WCHAR* Name;
    void (*Put)(const TLUProviderKey& key, NCRYPT_PROV_HANDLE hProvider, TLUKspValue* value);
};

const TKeyProperty kKeyProperties[] = {
    {LU_WTEXT("Algorithm Group"),
     [](const TLUProviderKey&, NCRYPT_PROV_HANDLE, TLUKspValue* v) { PutText("RSA", v); }},
    {LU_WTEXT("Algorithm Name"),
     [](const TLUProviderKey&, NCRYPT_PROV_HANDLE, TLUKspValue* v) { PutText("RSA", v); }},
    {LU_WTEXT("Length"),
     [](const TLUProviderKey& k, NCRYPT_PROV_HANDLE, TLUKspValue* v) { PutDword(k.KeyLenght() * 8, v); }},
    {LU_WTEXT("PublicKeyLength"),
     [](const TLUProviderKey& k, NCRYPT_PROV_HANDLE, TLUKspValue* v) { PutDword(k.KeyLenght() * 8, v); }},
    {LU_WTEXT("Key Usage"), [](const TLUProviderKey&, NCRYPT_PROV_HANDLE,
                               TLUKspValue* v) { PutDword(NCRYPT_ALLOW_SIGNING_FLAG, v); }},
    {LU_WTEXT("Export Policy"),
     [](const TLUProviderKey&, NCRYPT_PROV_HANDLE, TLUKspValue* v) { PutDword(0, v); }},
    // A user key (NCRYPT_MACHINE_KEY_FLAG not set).
    {LU_WTEXT("Key Type"), [](const TLUProviderKey&, NCRYPT_PROV_HANDLE, TLUKspValue* v) { PutDword(0, v); }},
    {LU_WTEXT("Impl Type"),
     [](const TLUProviderKey&, NCRYPT_PROV_HANDLE, TLUKspValue* v) { PutDword(kImplType, v); }},
    {LU_WTEXT("Name"), [](const TLUProviderKey& k, NCRYPT_PROV_HANDLE,
                          TLUKspValue* v) { PutText(k.certificate->SerialNumber, v); }},
    {LU_WTEXT("Unique Name"), [](const TLUProviderKey& k, NCRYPT_PROV_HANDLE,
                                 TLUKspValue* v) { PutText(k.certificate->SerialNumber, v); }},
    {LU_WTEXT("Provider Handle"),
     [](const TLUProviderKey&, NCRYPT_PROV_HANDLE h, TLUKspValue* v) {
         v->assign(reinterpret_cast<const BYTE*>(&h), reinterpret_cast<const BYTE*>(&h) + sizeof(h));
     }},
    {LU_WTEXT("SmartCardKeyCertificate"),
     [](const TLUProviderKey& k, NCRYPT_PROV_HANDLE, TLUKspValue* v) {
         const TVarnoMemory& der = k.certificate->CertFileBIN;
         v->assign(der.FileData, der.FileData + der.LenFileData);
     }},
};

} // namespace

bool luKspSameName(const WCHAR* a, const WCHAR* b) {
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

int luKspKeyProperty(const TLUProviderKey& key, NCRYPT_PROV_HANDLE hProvider, LPCWSTR name,
                     TLUKspValue* value) {
    if (!name) return NTE_INVALID_PARAMETER;
    if (!key.HasCertificate()) return NTE_BAD_KEY;
    for (const TKeyProperty& p : kKeyProperties) {
        if (luKspSameName(p.Name, name)) {
            p.Put(key, hProvider, value);
            return 0;
        }
    }
    TRACE(DBWARN_0, "Propriedade da chave desconhecida, pszProperty=[%s]\n", ConvWideToAnsiTemp(name));
    return NTE_NOT_FOUND;
}

int luKspProviderProperty(LPCWSTR name, TLUKspValue* value) {
    if (!name) return NTE_INVALID_PARAMETER;
    if (luKspSameName(name, LU_WTEXT("Name"))) {
        PutText(LU_PRODUCT_KSP_NAME, value);
    } else if (luKspSameName(name, LU_WTEXT("Impl Type"))) {
        PutDword(kImplType, value);
    } else if (luKspSameName(name, LU_WTEXT("Version"))) {
        // Major version in the high word, as Microsoft's providers give it.
        PutDword(0x00010000u, value);
    } else {
        TRACE(DBWARN_0, "Propriedade do provedor desconhecida, pszProperty=[%s]\n", ConvWideToAnsiTemp(name));
        return NTE_NOT_FOUND;
    }
    return 0;
}

int luKspSetProperty(LPCWSTR name) {
    if (!name) return NTE_INVALID_PARAMETER;
    // Callers hand their window and a context text for prompts; this provider never prompts.
    if (luKspSameName(name, LU_WTEXT("HWND Handle")) || luKspSameName(name, LU_WTEXT("Use Context")))
        return 0;
    TRACE(DBWARN_0, "Propriedade nao pode ser alterada, pszProperty=[%s]\n", ConvWideToAnsiTemp(name));
    return NTE_NOT_SUPPORTED;
}

int luKspCopyOut(const void* value, DWORD size, PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult) {
    if (!pcbResult) return NTE_INVALID_PARAMETER;
    return CopyOutValue(value, size, pbOutput, pcbResult, cbOutput, kCopyNCrypt);
}
