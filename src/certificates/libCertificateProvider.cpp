#include "certificates/libCertificateProvider.h"

#include "certificates/libCertificateStore.h"
#include "os/platCNG.h"
#include "platform/platDebug.h"
#include "platform/platTraceScope.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Texts of the registration record, widened byte by byte; at most 255 characters.
std::u16string Widen(const char* text) {
    std::u16string out;
    for (size_t i = 0; text && text[i] && i < 255; ++i)
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(text[i])));
    return out;
}

void TraceStatusFailure(const char* step, NTSTATUS status) {
    NSTATUSInfo info = GetNSTATUSInfo(static_cast<uint32_t>(status));
    TRACE(DBERRO_0, "Falha ao executar '%s', ERRO:[%s][ %lu / 0x%08X ]\n", step, info.Name,
          static_cast<unsigned long>(static_cast<uint32_t>(status)), static_cast<unsigned>(status));
}

bool IsText(const char* text) {
    return text && *text;
}

} // namespace

TCertificateProvider::TCertificateProvider() : LastStatus(0) {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    SetBasePath(HKEY_LOCAL_MACHINE, LU_CSP_PROVIDER_BASE_PATH);
}

void TCertificateProvider::ForgetGrupo(int32_t Grupo) {
    TVarnoRegeditGrupo* g = GetGrupo(Grupo, false);
    if (!g) return;
    if (g->Key) RegCloseKey(g->Key);
    Grupos.Delete(static_cast<const void*>(g));
    free(g);
}

bool TCertificateProvider::InstallCSP(const char* NameProvider, const char* CSP_DLLFileName,
                                      bool UseWOW64_32KEY) {
    TRACE_SCOPE(DBHEAD_0, Int, "<%s NameProvider=[%s] CSP_DLLFileName=[%s] UseWOW64_32KEY=[%d]>\n", LU_FN,
                NameProvider ? NameProvider : "", CSP_DLLFileName ? CSP_DLLFileName : "",
                UseWOW64_32KEY ? 1 : 0);
    bool result = false;
    const int32_t grupo = UseWOW64_32KEY ? GRUPO_NAME_PROVIDER_32 : GRUPO_NAME_PROVIDER_64;
    if (!IsText(NameProvider) || !IsText(CSP_DLLFileName) || strchr(NameProvider, '\\')) {
        TRACE(DBERRO_0, "Parametro invalido, NameProvider=[%s] CSP_DLLFileName=[%s]\n",
              NameProvider ? NameProvider : "(null)", CSP_DLLFileName ? CSP_DLLFileName : "(null)");
    } else {
        ForgetGrupo(grupo);
        const DWORD type = PROV_RSA_FULL;
        const DWORD sigInFile = 0;
        if (!(result = SetGrupoName(grupo, NameProvider, UseWOW64_32KEY ? KEY_WOW64_32KEY : KEY_WOW64_64KEY)))
            TRACE(DBERRO_0, "Falha ao setar SetGrupoName '%s'\n", NameProvider);
        else if (!(result = RegSetValueW("Type", grupo, REG_DWORD, &type, sizeof(type))))
            TRACE(DBERRO_0, "Falha ao setar RegSetValue 'Type'\n");
        else if (!(result = RegSetValueW("SigInFile", grupo, REG_DWORD, &sigInFile, sizeof(sigInFile))))
            TRACE(DBERRO_0, "Falha ao setar RegSetValue 'SigInFile'\n");
        else if (!(result = RegSetValueW("Image Path", grupo, REG_SZ, CSP_DLLFileName,
                                         static_cast<DWORD>(strlen(CSP_DLLFileName) + 1))))
            TRACE(DBERRO_0, "Falha ao setar RegSetValue 'Image Path'\n");
        // The key may be deleted by the next uninstall: no handle is kept open on it.
        ForgetGrupo(grupo);
    }
    TRACE_RETURN(result);
}

bool TCertificateProvider::UninstallCSP(const char* NameProvider, bool UseWOW64_32KEY) {
    TRACE_SCOPE(DBHEAD_0, Int, "<%s NameProvider=[%s] UseWOW64_32KEY=[%d]>\n", LU_FN,
                NameProvider ? NameProvider : "", UseWOW64_32KEY ? 1 : 0);
    if (!IsText(NameProvider) || strchr(NameProvider, '\\')) {
        TRACE(DBERRO_0, "Parametro invalido, NameProvider=[%s]\n", NameProvider ? NameProvider : "(null)");
    } else {
        if (!DeleteGrupoName(GRUPO_NAME_PROVIDER_64, NameProvider, true))
            TRACE(DBERRO_0, "Falha ao apagar NameProvider='%s' in 64 Bits\n", NameProvider);
        if (!DeleteGrupoName(GRUPO_NAME_PROVIDER_32, NameProvider, false))
            TRACE(DBERRO_0, "Falha ao apagar NameProvider='%s' in 32 Bits\n", NameProvider);
    }
    TRACE_RETURN(true);
}

const char* TCertificateProvider::RegisterKsp(const char* KSP_Name, const char* NameProvider,
                                              const char* KSP_DLLFileName, NTSTATUS& status) {
    // The registration record: one alias (the CSP name), the user-mode image with the key storage
    // interface.
    std::u16string alias = Widen(NameProvider);
    std::u16string image = Widen(KSP_DLLFileName);
    std::u16string function = u"KEY_STORAGE";
    std::u16string kspName = Widen(KSP_Name);
    LPWSTR aliases[1] = {reinterpret_cast<LPWSTR>(&alias[0])};
    LPWSTR functions[1] = {reinterpret_cast<LPWSTR>(&function[0])};
    CRYPT_INTERFACE_REG keyStorage;
    memset(&keyStorage, 0, sizeof(keyStorage));
    keyStorage.dwInterface = NCRYPT_KEY_STORAGE_INTERFACE;
    keyStorage.dwFlags = CRYPT_LOCAL;
    keyStorage.cFunctions = 1;
    keyStorage.rgpszFunctions = functions;
    PCRYPT_INTERFACE_REG interfaces[1] = {&keyStorage};
    CRYPT_IMAGE_REG userMode;
    memset(&userMode, 0, sizeof(userMode));
    userMode.pszImage = reinterpret_cast<LPWSTR>(&image[0]);
    userMode.cInterfaces = 1;
    userMode.rgpInterfaces = interfaces;
    CRYPT_PROVIDER_REG reg;
    memset(&reg, 0, sizeof(reg));
    reg.cAliases = 1;
    reg.rgpszAliases = aliases;
    reg.pUM = &userMode;
    reg.pKM = nullptr;

    LPCWSTR providerName = reinterpret_cast<LPCWSTR>(kspName.c_str());
    status = osBCryptRegisterProvider(providerName, 0, &reg);
    if (static_cast<uint32_t>(status) == 0xC0000035u) {
        // Registered already: removed and registered again, so that the record is the current one.
        if (!UninstallProvider(KSP_Name, NameProvider, false)) return "UninstallProvider";
        status = osBCryptRegisterProvider(providerName, 0, &reg);
        if (status < 0) return "BCryptRegisterProvider - After Remove";
    } else if (status < 0) {
        return "BCryptRegisterProvider";
    }
    // Listed in the default context's key storage function, as Microsoft's KSP registration does:
    // NCryptEnumStorageProviders and the clients that choose a provider from its list find it there.
    // Wine implements no context functions; the registration itself stands without.
    NTSTATUS context =
        osBCryptAddContextFunctionProvider(CRYPT_LOCAL, LU_WTEXT("Default"), NCRYPT_KEY_STORAGE_INTERFACE,
                                           LU_WTEXT("KEY_STORAGE"), providerName, CRYPT_PRIORITY_BOTTOM);
    if (context < 0 && context != LU_STATUS_OBJECT_NAME_COLLISION && context != LU_STATUS_NOT_IMPLEMENTED) {
        status = context;
        return "BCryptAddContextFunctionProvider";
    }
    return nullptr;
}

bool TCertificateProvider::InstallProvider(const char* KSP_Name, const char* NameProvider,
                                           const char* KSP_DLLFileName, const char* CSP_DLLFileName) {
    TRACE_SCOPE(DBHEAD_0, Int, "<%s KSP_Name=[%s] KSP_DLLFileName=[%s] CSP_DLLFileName=[%s]>\n", LU_FN,
                KSP_Name ? KSP_Name : "", KSP_DLLFileName ? KSP_DLLFileName : "",
                CSP_DLLFileName ? CSP_DLLFileName : "");
    bool result = false;
    if (!IsText(KSP_Name) || !IsText(NameProvider) || !IsText(KSP_DLLFileName) || !IsText(CSP_DLLFileName)) {
        TRACE(DBERRO_0,
              "Parametro invalido, KSP_Name=[%s] NameProvider=[%s] KSP_DLLFileName=[%s] "
              "CSP_DLLFileName=[%s]\n",
              KSP_Name ? KSP_Name : "(null)", NameProvider ? NameProvider : "(null)",
              KSP_DLLFileName ? KSP_DLLFileName : "(null)", CSP_DLLFileName ? CSP_DLLFileName : "(null)");
        TRACE_RETURN(false);
    }

    NTSTATUS status = 0;
    const char* failedStep = RegisterKsp(KSP_Name, NameProvider, KSP_DLLFileName, status);
    if (!failedStep) {
        result = true;
        UninstallProvider(LU_LEGACY_KSP_NAME, LU_LEGACY_CSP_NAME, true);
        TCertificateStore store;
        store.RemoveAllCertProvider("MY", LU_LEGACY_CSP_NAME, nullptr);
        store.RemoveAllCertProvider("MY", LU_LEGACY_KSP_NAME, nullptr);
    }
    InstallCSP(NameProvider, CSP_DLLFileName, false);
    InstallCSP(NameProvider, CSP_DLLFileName, true);
    if (failedStep) TraceStatusFailure(failedStep, status);
    LastStatus = status;
    TRACE_RETURN(result);
}

bool TCertificateProvider::UninstallProvider(const char* KSP_Name, const char* NameProvider,
                                             bool removeCertificates) {
    TRACE_SCOPE(DBHEAD_0, Int, "<%s KSP_Name=[%s]>\n", LU_FN, KSP_Name ? KSP_Name : "");
    if (!IsText(KSP_Name) || !IsText(NameProvider)) {
        TRACE(DBERRO_0, "Parametro invalido, KSP_Name=[%s] NameProvider=[%s]\n",
              KSP_Name ? KSP_Name : "(null)", NameProvider ? NameProvider : "(null)");
        TRACE_RETURN(false);
    }
    std::u16string kspName = Widen(KSP_Name);
    // Out of the default context's list first; a provider never listed there is no failure.
    osBCryptRemoveContextFunctionProvider(CRYPT_LOCAL, LU_WTEXT("Default"), NCRYPT_KEY_STORAGE_INTERFACE,
                                          LU_WTEXT("KEY_STORAGE"),
                                          reinterpret_cast<LPCWSTR>(kspName.c_str()));
    NTSTATUS status = osBCryptUnregisterProvider(reinterpret_cast<LPCWSTR>(kspName.c_str()));
    UninstallCSP(NameProvider, false);
    UninstallCSP(NameProvider, true);
    if (status < 0) {
        TraceStatusFailure("BCryptUnregisterProvider", status);
    } else if (removeCertificates) {
        TCertificateStore store;
        // A certificate may name the key storage provider instead of the CSP (CSP_KeyProvider).
        store.RemoveAllCertProvider("MY", NameProvider, nullptr, KSP_Name);
    }
    LastStatus = status;
    bool result = status >= 0;
    TRACE_RETURN(result);
}
