#pragma once

#include "platform/TVarnoAppConfig.h"

#include <cstdint>

// Host label and domain of the signing service, set at build time. The defaults lie under the reserved
// .invalid domain so that a build without them can never reach a real host.
#ifndef LUCSP_SERVICE_HOST_LABEL
#define LUCSP_SERVICE_HOST_LABEL "signer"
#endif
#ifndef LUCSP_SERVICE_DOMAIN
#define LUCSP_SERVICE_DOMAIN "lucsp.invalid"
#endif

// The library's configuration table: the trace settings of the base plus the service settings (group 10
// "Conex"), and the sign endpoint URL composed from them once, at construction.
class TModAppConfig : public TVarnoAppConfig {
  public:
    TModAppConfig();
    ~TModAppConfig() override;

    // Composes HostLabel, HostDomain, ServiceHost and URL_SignHash from the loaded settings.
    void ConfigURLCliente();

    int32_t SYS_ShowMenuAux;
    char* VersionInstall;
    int32_t CNX_TO_MS_HTTP_Request;
    int32_t CNX_TO_MS_WebSocekt_Internal;
    int32_t CNX_TO_MS_PushNotification;
    int32_t CNX_SetHomolog;
    int32_t CNX_SetHomolog_EndPointVersion;
    // Deployment overrides, empty by default: a service host used as it stands (may carry ":port"), and
    // the CA file that verifies the service's TLS certificate.
    char* CNX_ServiceHost;
    char* CNX_CAFile;
    // The proxy towards the service: a proxy URL, "DIRECT", or empty for the system's settings.
    char* CNX_Proxy;
    // 1 (default): hashing inside the provider, CALG_SSL3_SHAMD5, verify-only contexts and the
    // enumerations that common CryptoAPI clients need, and a result code per failure class of a
    // signature; 0: the provider refuses them and answers NTE_FAIL / NTE_SYS_ERR.
    int32_t CSP_Compatibility;
    // 1 (default): the access token is stored protected for the current user; 0: as plain text, for
    // other tools that read the value.
    int32_t CSP_TokenProtection;
    // "CSP" (default) or "KSP": the provider that a newly registered certificate's key-provider information
    // names. Either provider opens the container whatever it names.
    char* CSP_KeyProvider;
    char HostLabel[520];
    char HostDomain[260];
    char ServiceHost[520];
    char URL_SignHash[260];
};

// The process's configuration, created at start-up and destroyed at process detach; null otherwise.
extern TModAppConfig* gModAppConfig;
