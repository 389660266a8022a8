// DllInstall: the self-registration export (regsvr32 /i installs, /u removes). It registers the CSP in
// both registry views and the key storage provider, or removes them with the provider's certificates.
#include "certificates/libCertificateProvider.h"
#include "dll/dllExternFunction.h"
#include "frontend/luAppGlobal.h"
#include "frontend/luEntryFrame.h"
#include "platform/platDebug.h"
#include "platform/platSecret.h"

namespace {

// S_OK when done; S_FALSE for a removal that found no key storage provider registered (the CSP keys and
// nothing else were removed); E_FAIL otherwise, so that a failed installation is never taken for a
// success (S_FALSE counts as success).
HRESULT TrelisServer_DllInstall(BOOL bInstall, PCWSTR pszCmdLine) {
    TRACE(DBHEAD_0, "<%s bInstall=[%d] pszCmdLine=[%p]>\n", LU_FN, bInstall,
          static_cast<const void*>(pszCmdLine));
    HRESULT result = E_FAIL;
    if (!LU_CSP_NAME[0] || !LU_KSP_NAME[0] || !LU_CSP_DLL[0] || !LU_KSP_DLL[0]) {
        TRACE(DBERRO_0, "Nomes do provedor nao definidos, LU_CSP_NAME=[%s] LU_KSP_NAME=[%s]\n", LU_CSP_NAME,
              LU_KSP_NAME);
    } else {
        // A registration object of this call: its registry groups are opened afresh every time.
        TCertificateProvider provider;
        if (bInstall) {
            platProtectMachineSecrets();
            if (provider.InstallProvider(LU_KSP_NAME, LU_CSP_NAME, LU_KSP_DLL, LU_CSP_DLL)) result = S_OK;
        } else if (provider.UninstallProvider(LU_KSP_NAME, LU_CSP_NAME, true)) {
            result = S_OK;
        } else if (static_cast<uint32_t>(provider.LastStatus) == 0xC0000225u) { // STATUS_NOT_FOUND
            result = S_FALSE;
        }
    }
    TRACE(DBHEAD_0, "</%s result=[%d]>\n", LU_FN, static_cast<int>(result));
    return result;
}

} // namespace

extern "C" {

HRESULT WINAPI DllInstall(BOOL bInstall, PCWSTR pszCmdLine) {
    LU_ENTRY_FRAME(frame, kEntryExport);
    TRACE(DBHEAD_0, "<%s bInstall=[%d] pszCmdLine=[%p]>\n", LU_FN, bInstall,
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

} // extern "C"
