// Registration of the provider with Windows: the CryptoAPI provider (CSP) keys in both registry views
// and the CNG key storage provider (KSP), and removal of what older installations left.
#pragma once

#include "platform/TVarnoRegedit.h"
#include "platform/platNSTATUS.h"

// Base path of the CSP registrations below HKEY_LOCAL_MACHINE.
#define LU_CSP_PROVIDER_BASE_PATH "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider"
// Names of older installations, removed at install.
#define LU_LEGACY_CSP_NAME "Varno_LUCSP_Server"
#define LU_LEGACY_KSP_NAME "Varno_LUKSP_Server"
// Groups of the provider key: 64-bit and 32-bit registry view.
#define GRUPO_NAME_PROVIDER_64 0
#define GRUPO_NAME_PROVIDER_32 1

class TCertificateProvider : public TVarnoRegedit {
  public:
    TCertificateProvider();
    ~TCertificateProvider() override = default;

    // Writes "Type", "SigInFile" and "Image Path" of the CSP key in one view; the result of the last
    // step reached.
    bool InstallCSP(const char* NameProvider, const char* CSP_DLLFileName, bool UseWOW64_32KEY);
    // Deletes the CSP key in both views, whatever UseWOW64_32KEY says; always true.
    bool UninstallCSP(const char* NameProvider, bool UseWOW64_32KEY);
    // Registers the KSP (again, when it is registered already), removes the legacy installation and
    // (re)writes the CSP keys; true when the KSP ended up registered.
    bool InstallProvider(const char* KSP_Name, const char* NameProvider, const char* KSP_DLLFileName,
                         const char* CSP_DLLFileName);
    // Unregisters the KSP and deletes the CSP keys; with removeCertificates and a successful
    // unregistration, also every personal-store certificate that names NameProvider. True when the
    // KSP was unregistered.
    bool UninstallProvider(const char* KSP_Name, const char* NameProvider, bool removeCertificates);

    // NTSTATUS of the last KSP registration or unregistration.
    NTSTATUS LastStatus;

  private:
    // The key storage provider's registration record written (again, when one stood); the step that
    // failed, with its status, or null.
    const char* RegisterKsp(const char* KSP_Name, const char* NameProvider, const char* KSP_DLLFileName,
                            NTSTATUS& status);
    // Closes and forgets the group, so that the next SetGrupoName opens the key afresh (it may have been
    // deleted in the meantime).
    void ForgetGrupo(int32_t Grupo);
};
