// Stand-in for CNG provider registration: a registration is the provider's key below
// HKLM\SYSTEM\CurrentControlSet\Control\Cryptography\Providers in the stand-in registry, laid out as
// Windows lays it out:
//   <name>                "Aliases" (REG_MULTI_SZ)
//   <name>\UM             "Image" (REG_SZ)
//   <name>\UM\<interface> "Functions" (REG_MULTI_SZ), "Flags" (REG_DWORD)
// and a context's providers of a function below ...\Cryptography\Configuration\Local:
//   <context>\<interface>\<function> "Providers" (REG_MULTI_SZ, in order)
#include "os/platCNG.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const size_t kMaxName = 255;

// The registry functions here are the narrow ones: UTF-16 is narrowed byte by byte.
bool Narrow(LPCWSTR text, std::string& out) {
    out.clear();
    if (!text) return false;
    for (size_t i = 0; text[i]; ++i) {
        if (i >= kMaxName) return false;
        out.push_back(static_cast<char>(text[i] & 0xFF));
    }
    return true;
}

std::string MultiSz(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& s : items)
        out += s + '\0';
    out += '\0';
    return out;
}

NTSTATUS FromWin32(LONG status) {
    switch (status) {
    case ERROR_SUCCESS:
        return LU_STATUS_SUCCESS;
    case ERROR_ACCESS_DENIED:
        return LU_STATUS_ACCESS_DENIED;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return LU_STATUS_NOT_FOUND;
    case ERROR_NOT_ENOUGH_MEMORY:
        return LU_STATUS_NO_MEMORY;
    default:
        return LU_STATUS_UNSUCCESSFUL;
    }
}

const REGSAM kView = KEY_WOW64_64KEY;

LONG SetValue(HKEY key, const char* name, DWORD type, const std::string& data) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size()));
}

LONG CreateKey(const std::string& path, HKEY* key, DWORD* disposition) {
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_READ | KEY_WRITE | kView, nullptr, key, disposition);
}

// Deletes a key with everything below it (RegDeleteKeyExA takes only keys without subkeys).
LONG DeleteTree(const std::string& path) {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | kView, &key);
    if (status != ERROR_SUCCESS) return status;
    std::vector<std::string> children;
    for (DWORD i = 0;; ++i) {
        char name[300];
        DWORD len = sizeof(name);
        if (RegEnumKeyExA(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        children.emplace_back(name, len);
    }
    RegCloseKey(key);
    for (const std::string& child : children) {
        status = DeleteTree(path + "\\" + child);
        if (status != ERROR_SUCCESS) return status;
    }
    return RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), kView, 0);
}

std::vector<std::string> SplitMultiSz(const std::vector<char>& data) {
    std::vector<std::string> items;
    std::string current;
    for (char c : data) {
        if (c) {
            current.push_back(c);
        } else if (!current.empty()) {
            items.push_back(current);
            current.clear();
        }
    }
    return items;
}

// The key of a context's function and its provider list.
NTSTATUS OpenContextFunction(ULONG dwTable, LPCWSTR pszContext, ULONG dwInterface, LPCWSTR pszFunction,
                             bool create, HKEY* key, std::vector<std::string>* providers) {
    std::string context, function;
    if (dwTable != CRYPT_LOCAL || !Narrow(pszContext, context) || !Narrow(pszFunction, function) ||
        context.empty() || function.empty())
        return LU_STATUS_INVALID_PARAMETER;
    char interfaceName[16];
    snprintf(interfaceName, sizeof(interfaceName), "%08lX", static_cast<unsigned long>(dwInterface));
    const std::string path =
        std::string(LU_CNG_CONTEXTS_KEY) + "\\" + context + "\\" + interfaceName + "\\" + function;
    LONG status = create
                      ? CreateKey(path, key, nullptr)
                      : RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WRITE | kView, key);
    if (status != ERROR_SUCCESS) return FromWin32(status);
    DWORD type = 0, size = 0;
    providers->clear();
    if (RegQueryValueExA(*key, "Providers", nullptr, &type, nullptr, &size) == ERROR_SUCCESS && size > 0) {
        std::vector<char> data(size);
        if (RegQueryValueExA(*key, "Providers", nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                             &size) == ERROR_SUCCESS)
            *providers = SplitMultiSz(data);
    }
    return LU_STATUS_SUCCESS;
}

bool ValidImage(const CRYPT_IMAGE_REG* image) {
    if (!image || !image->pszImage || (image->cInterfaces > 0 && !image->rgpInterfaces)) return false;
    for (ULONG i = 0; i < image->cInterfaces; ++i) {
        const CRYPT_INTERFACE_REG* itf = image->rgpInterfaces[i];
        if (!itf || (itf->cFunctions > 0 && !itf->rgpszFunctions)) return false;
        for (ULONG f = 0; f < itf->cFunctions; ++f)
            if (!itf->rgpszFunctions[f]) return false;
    }
    return true;
}

} // namespace

NTSTATUS osBCryptRegisterProvider(LPCWSTR pszProvider, ULONG dwFlags, PCRYPT_PROVIDER_REG pReg) {
    std::string name;
    if (!Narrow(pszProvider, name) || name.empty() || name.find('\\') != std::string::npos || dwFlags != 0 ||
        !pReg || (pReg->cAliases > 0 && !pReg->rgpszAliases) || !ValidImage(pReg->pUM) ||
        (pReg->pKM && !ValidImage(pReg->pKM)))
        return LU_STATUS_INVALID_PARAMETER;
    std::vector<std::string> aliases;
    for (ULONG i = 0; i < pReg->cAliases; ++i) {
        std::string alias;
        if (!Narrow(pReg->rgpszAliases[i], alias)) return LU_STATUS_INVALID_PARAMETER;
        aliases.push_back(alias);
    }

    const std::string base = std::string(LU_CNG_PROVIDERS_KEY) + "\\" + name;
    HKEY key = nullptr;
    DWORD disposition = 0;
    LONG status = CreateKey(base, &key, &disposition);
    if (status != ERROR_SUCCESS) return FromWin32(status);
    // The key is created once only: a second registration of the name finds it and collides.
    if (disposition == REG_OPENED_EXISTING_KEY) {
        RegCloseKey(key);
        return LU_STATUS_OBJECT_NAME_COLLISION;
    }
    status = SetValue(key, "Aliases", REG_MULTI_SZ, MultiSz(aliases));
    RegCloseKey(key);

    const struct {
        const char* Mode;
        const CRYPT_IMAGE_REG* Image;
    } images[] = {{"UM", pReg->pUM}, {"KM", pReg->pKM}};
    for (const auto& entry : images) {
        if (status != ERROR_SUCCESS || !entry.Image) continue;
        std::string image;
        Narrow(entry.Image->pszImage, image);
        const std::string modePath = base + "\\" + entry.Mode;
        status = CreateKey(modePath, &key, nullptr);
        if (status != ERROR_SUCCESS) break;
        status = SetValue(key, "Image", REG_SZ, image + '\0');
        RegCloseKey(key);
        for (ULONG i = 0; status == ERROR_SUCCESS && i < entry.Image->cInterfaces; ++i) {
            const CRYPT_INTERFACE_REG* itf = entry.Image->rgpInterfaces[i];
            char interfaceName[16];
            snprintf(interfaceName, sizeof(interfaceName), "%08lX",
                     static_cast<unsigned long>(itf->dwInterface));
            std::vector<std::string> functions;
            for (ULONG f = 0; f < itf->cFunctions; ++f) {
                std::string function;
                Narrow(itf->rgpszFunctions[f], function);
                functions.push_back(function);
            }
            status = CreateKey(modePath + "\\" + interfaceName, &key, nullptr);
            if (status != ERROR_SUCCESS) break;
            status = SetValue(key, "Functions", REG_MULTI_SZ, MultiSz(functions));
            DWORD flags = itf->dwFlags;
            if (status == ERROR_SUCCESS)
                status = RegSetValueExA(key, "Flags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&flags),
                                        sizeof(flags));
            RegCloseKey(key);
        }
    }
    if (status != ERROR_SUCCESS) {
        // No half registration is left behind.
        DeleteTree(base);
        return FromWin32(status);
    }
    return LU_STATUS_SUCCESS;
}

NTSTATUS osBCryptUnregisterProvider(LPCWSTR pszProvider) {
    std::string name;
    if (!Narrow(pszProvider, name) || name.empty() || name.find('\\') != std::string::npos)
        return LU_STATUS_INVALID_PARAMETER;
    LONG status = DeleteTree(std::string(LU_CNG_PROVIDERS_KEY) + "\\" + name);
    return status == ERROR_SUCCESS ? LU_STATUS_SUCCESS : FromWin32(status);
}

NTSTATUS osBCryptAddContextFunctionProvider(ULONG dwTable, LPCWSTR pszContext, ULONG dwInterface,
                                            LPCWSTR pszFunction, LPCWSTR pszProvider, ULONG dwPosition) {
    std::string provider;
    if (!Narrow(pszProvider, provider) || provider.empty()) return LU_STATUS_INVALID_PARAMETER;
    HKEY key = nullptr;
    std::vector<std::string> providers;
    NTSTATUS result =
        OpenContextFunction(dwTable, pszContext, dwInterface, pszFunction, true, &key, &providers);
    if (result != LU_STATUS_SUCCESS) return result;
    for (const std::string& p : providers) {
        if (p == provider) {
            RegCloseKey(key);
            return LU_STATUS_OBJECT_NAME_COLLISION;
        }
    }
    const size_t at = dwPosition < providers.size() ? dwPosition : providers.size();
    providers.insert(providers.begin() + static_cast<long>(at), provider);
    LONG status = SetValue(key, "Providers", REG_MULTI_SZ, MultiSz(providers));
    RegCloseKey(key);
    return FromWin32(status);
}

NTSTATUS osBCryptRemoveContextFunctionProvider(ULONG dwTable, LPCWSTR pszContext, ULONG dwInterface,
                                               LPCWSTR pszFunction, LPCWSTR pszProvider) {
    std::string provider;
    if (!Narrow(pszProvider, provider) || provider.empty()) return LU_STATUS_INVALID_PARAMETER;
    HKEY key = nullptr;
    std::vector<std::string> providers;
    NTSTATUS result =
        OpenContextFunction(dwTable, pszContext, dwInterface, pszFunction, false, &key, &providers);
    if (result != LU_STATUS_SUCCESS) return result;
    const size_t before = providers.size();
    providers.erase(std::remove(providers.begin(), providers.end(), provider), providers.end());
    LONG status = providers.size() == before ? ERROR_FILE_NOT_FOUND
                                             : SetValue(key, "Providers", REG_MULTI_SZ, MultiSz(providers));
    RegCloseKey(key);
    return FromWin32(status);
}
