// The self-registration export (DllInstall: regsvr32 /i installs, /u removes) and the certificate exports
// (TrelisServer_RegisterCertificate / TrelisServer_UnregisterCertificate: an outside application puts a
// service certificate with its access token into the current user's store and registry, or takes it out).
#include "certificates/libCertificate.h"
#include "certificates/libCertificateProvider.h"
#include "certificates/libCertificateStore.h"
#include "frontend/luAppGlobal.h"
#include "frontend/luCspHandlers.h"
#include "frontend/luEntryFrame.h"
#include "frontend/luProviderSettings.h"
#include "os/platOS.h"
#include "platform/platDebug.h"
#include "platform/platProductNames.h"
#include "platform/platSecret.h"
#include "platform/platToken.h"
#include "platform/platTraceScope.h"

#include <string>

namespace {

// The export's arguments cannot carry the provider choice: a process overrides the setting for its own
// registrations with this variable.
const char kKeyProviderVariable[] = LU_PRODUCT_KEY_PROVIDER_VARIABLE;

// What the key-provider information of a newly registered certificate names.
struct TKeyProviderChoice {
    const char* Name;
    DWORD ProvType;
    DWORD KeySpec;
};

// "CSP" (also when empty): the CSP with its provider type and dwKeySpec, as always. "KSP": the key storage
// provider, with provider type and dwKeySpec 0 as CNG expects them (crypt32 then opens the key through
// ncrypt). Any other text refuses the registration rather than naming a provider nobody asked for.
int ChooseKeyProvider(TKeyProviderChoice& choice) {
    std::string text;
    const char* source = kKeyProviderVariable;
    if (!osGetEnvironment(kKeyProviderVariable, text) || text.empty()) {
        source = "CSP_KeyProvider";
        text = luKeyProviderSetting();
    }
    std::string upper = text;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (upper.empty() || upper == "CSP") {
        choice = TKeyProviderChoice{LU_PRODUCT_CSP_NAME, PROV_RSA_FULL, AT_KEYEXCHANGE};
    } else if (upper == "KSP") {
        choice = TKeyProviderChoice{LU_PRODUCT_KSP_NAME, 0, 0};
    } else {
        TRACE(DBERRO_0, "%s invalido, valor=[%s]: CSP ou KSP\n", source, text.c_str());
        return NTE_BAD_PROV_TYPE;
    }
    TRACE(DBINFO_0, "Provedor da chave=[%s] origem=[%s]\n", choice.Name, source);
    return 0;
}

// A single terminator at the end of the token is accepted.
// The certificate an export was given, with its serial number.
bool LoadGivenCertificate(TCertificate& certificate, const char* BuffCertificate, int LenBuffCertificate) {
    if (certificate.LoadCert_FromMemory(0, BuffCertificate, static_cast<uint32_t>(LenBuffCertificate),
                                        LU_PRODUCT_CSP_NAME, false) &&
        certificate.SerialNumber)
        return true;
    TRACE(DBERRO_0, "Falha na LoadCert_FromMemory\n");
    return false;
}

bool IsUsableToken(const char* BuffToken, int LenBuffToken) {
    if (LenBuffToken <= 0) return false;
    const int textLen = BuffToken[LenBuffToken - 1] == '\0' ? LenBuffToken - 1 : LenBuffToken;
    return LenBuffToken < LU_TOKEN_SIZE && platTokenIsUsable(BuffToken, static_cast<size_t>(textLen));
}

// Result codes: NTE_INVALID_PARAMETER for input that can never be registered, NTE_FAIL when the store
// or the registry refused it.
int RegisterCertificate(const char* BuffCertificate, int LenBuffCertificate, const char* BuffToken,
                        int LenBuffToken) {
    if (!BuffCertificate || LenBuffCertificate <= 0 || !BuffToken || LenBuffToken <= 0) {
        TRACE(DBERRO_0,
              "Parametros invalidos, BuffCertificate=[%p] LenBuffCertificate=[%d] BuffToken=[%p] "
              "LenBuffToken=[%d]\n",
              static_cast<const void*>(BuffCertificate), LenBuffCertificate,
              static_cast<const void*>(BuffToken), LenBuffToken);
        return NTE_INVALID_PARAMETER;
    }
    if (!IsUsableToken(BuffToken, LenBuffToken)) {
        TRACE(DBERRO_0, "Token invalido, LenBuffToken=[%d]: até 255 caracteres sem caracteres de controle\n",
              LenBuffToken);
        return NTE_INVALID_PARAMETER;
    }
    TCertificate certificate;
    if (!LoadGivenCertificate(certificate, BuffCertificate, LenBuffCertificate)) return NTE_INVALID_PARAMETER;
    TKeyProviderChoice provider;
    if (int code = ChooseKeyProvider(provider)) return code;
    certificate.StoreType = LU_STORE_TYPE_MY;
    TCertificateStore store;
    // Registered again, possibly for the other provider: the earlier entry goes first. Wine's stores keep
    // the first entry's properties when the same certificate is added once more, whatever the disposition.
    store.RemoveAllCertProvider("MY", LU_PRODUCT_CSP_NAME, &certificate, LU_PRODUCT_KSP_NAME);
    if (!store.InstallCert(&certificate, provider.Name, provider.ProvType, provider.KeySpec)) {
        TRACE(DBERRO_0, "Falha na InstallCert\n");
        return NTE_FAIL;
    }
    // The token itself never goes to the trace, nor, unless the setting says so, to the registry.
    TPlatSecretText value;
    value.Text.assign(BuffToken, static_cast<size_t>(LenBuffToken));
    if (luTokenProtection()) {
        TPlatSecretText blob;
        if (value.Text.back() == '\0') value.Text.pop_back();
        if (!platProtectSecret(value.Text, false, blob.Text)) {
            TRACE(DBERRO_0, "Falha ao proteger o Token, LenBuffToken=[%d]\n", LenBuffToken);
            return NTE_FAIL;
        }
        value.Text.swap(blob.Text);
    }
    return platTokenWrite(certificate.SerialNumber, value.Text.data(), static_cast<DWORD>(value.Text.size()))
               ? 0
               : NTE_FAIL;
}

int UnregisterCertificate(const char* BuffCertificate, int LenBuffCertificate) {
    if (!BuffCertificate || LenBuffCertificate <= 0) {
        TRACE(DBERRO_0, "Parametros invalidos, BuffCertificate=[%p] LenBuffCertificate=[%d]\n",
              static_cast<const void*>(BuffCertificate), LenBuffCertificate);
        return NTE_INVALID_PARAMETER;
    }
    TCertificate certificate;
    if (!LoadGivenCertificate(certificate, BuffCertificate, LenBuffCertificate)) return NTE_INVALID_PARAMETER;
    TCertificateStore store;
    if (!store.RemoveAllCertProvider("MY", LU_PRODUCT_CSP_NAME, &certificate, LU_PRODUCT_KSP_NAME)) {
        TRACE(DBERRO_0, "Falha na RemoveAllCertProvider\n");
        return NTE_FAIL;
    }
    platTokenDelete(certificate.SerialNumber);
    return 0;
}

// Registers or removes the providers: S_OK when done, S_FALSE for a removal that found no key storage
// provider registered (the CSP keys and nothing else were removed), E_FAIL otherwise. The registration
// object is of this call (its registry groups are opened afresh every time) and ends here, before the
// caller's exit line.
HRESULT InstallOrRemove(BOOL bInstall) {
    TCertificateProvider provider;
    if (bInstall) {
        platProtectMachineSecrets();
        return provider.InstallProvider(LU_KSP_NAME, LU_CSP_NAME, LU_KSP_DLL, LU_CSP_DLL) ? S_OK : E_FAIL;
    }
    if (provider.UninstallProvider(LU_KSP_NAME, LU_CSP_NAME, true)) return S_OK;
    return static_cast<uint32_t>(provider.LastStatus) == 0xC0000225u ? S_FALSE : E_FAIL; // STATUS_NOT_FOUND
}

// A failed installation is never taken for a success (S_FALSE counts as success).
HRESULT TrelisServer_DllInstall(BOOL bInstall, PCWSTR pszCmdLine) {
    TRACE_SCOPE(DBHEAD_0, Int, "<%s bInstall=[%d] pszCmdLine=[%p]>\n", LU_FN, bInstall,
                static_cast<const void*>(pszCmdLine));
    if (!LU_CSP_NAME[0] || !LU_KSP_NAME[0] || !LU_CSP_DLL[0] || !LU_KSP_DLL[0]) {
        TRACE(DBERRO_0, "Nomes do provedor nao definidos, LU_CSP_NAME=[%s] LU_KSP_NAME=[%s]\n", LU_CSP_NAME,
              LU_KSP_NAME);
        TRACE_RETURN(E_FAIL);
    }
    TRACE_RETURN(InstallOrRemove(bInstall));
}

} // namespace

HRESULT luDllInstall(BOOL bInstall, PCWSTR pszCmdLine) {
    LU_EXPORT_FRAME(frame, kEntryExport, "DllInstall");
    LU_ENTRY_TRACE(frame, DBHEAD_0, "<%s bInstall=[%d] pszCmdLine=[%p]>\n", bInstall,
                   static_cast<const void*>(pszCmdLine));
    HRESULT result = E_FAIL;
    // S_FALSE is a success too; a failure leaves its HRESULT as the last error.
    frame.Run([&] {
        result = TrelisServer_DllInstall(bInstall, pszCmdLine);
        return result >= 0 ? 0 : static_cast<int>(result);
    });
    frame.SetTracedResult(static_cast<int>(result));
    return result;
}

BOOL luRegisterCertificate(const char* BuffCertificate, int LenBuffCertificate, const char* BuffToken,
                           int LenBuffToken) {
    LU_EXPORT_FRAME(frame, kEntryCertificateExport, "TrelisServer_RegisterCertificate");
    LU_ENTRY_TRACE(frame, DBHEAD_0,
                   "<%s BuffCertificate=[%p] LenBuffCertificate=[%d] BuffToken=[%p] LenBuffToken=[%d]>\n",
                   static_cast<const void*>(BuffCertificate), LenBuffCertificate,
                   static_cast<const void*>(BuffToken), LenBuffToken);
    return frame.Run(
        [&] { return RegisterCertificate(BuffCertificate, LenBuffCertificate, BuffToken, LenBuffToken); });
}

BOOL luUnregisterCertificate(const char* BuffCertificate, int LenBuffCertificate) {
    LU_EXPORT_FRAME(frame, kEntryCertificateExport, "TrelisServer_UnregisterCertificate");
    LU_ENTRY_TRACE(frame, DBHEAD_0, "<%s BuffCertificate=[%p] LenBuffCertificate=[%d]>\n",
                   static_cast<const void*>(BuffCertificate), LenBuffCertificate);
    return frame.Run([&] { return UnregisterCertificate(BuffCertificate, LenBuffCertificate); });
}
