#include "service/luAppConfig.h"

#include "platform/platDebug.h"
#include "platform/platTraceScope.h"
#include "platform/platSecret.h"

#include <cstdio>
#include <cstring>

TModAppConfig* gModAppConfig = nullptr;

namespace {

// A host name, an IPv4 or bracketed IPv6 literal, optionally with ":port"; nothing that could change
// the URL's path, user part or query.
bool IsServiceHostText(const char* host) {
    if (!host || !*host) return false;
    for (const char* p = host; *p; ++p) {
        char c = *p;
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '-' || c == '_' || c == ':' || c == '[' || c == ']';
        if (!ok) return false;
    }
    return true;
}

} // namespace

TModAppConfig::TModAppConfig()
    : SYS_ShowMenuAux(0), VersionInstall(nullptr), CNX_TO_MS_HTTP_Request(0), CNX_TO_MS_WebSocekt_Internal(0),
      CNX_TO_MS_PushNotification(0), CNX_SetHomolog(0), CNX_SetHomolog_EndPointVersion(0),
      CNX_ServiceHost(nullptr), CNX_CAFile(nullptr), CNX_Proxy(nullptr), CSP_Compatibility(1),
      CSP_TokenProtection(1), CSP_KeyProvider(nullptr) {
    TRACE_SCOPE(DBHEAD_0, Plain, "<%s>\n", LU_FN);
    memset(HostLabel, 0, sizeof(HostLabel));
    memset(HostDomain, 0, sizeof(HostDomain));
    memset(ServiceHost, 0, sizeof(ServiceHost));
    memset(URL_SignHash, 0, sizeof(URL_SignHash));
    AddGrupo(GRUPO_NAME_CONEX, "Conex");
    SetVariable(0, &SYS_ShowMenuAux, "SYS_ShowMenuAux", 0);
    SetVariable(0, &VersionInstall, "VersionInstall", "UNDEFINED");
    SetVariable(GRUPO_NAME_CONEX, &CNX_SetHomolog, "CNX_SetHomolog", 0);
    SetVariable(GRUPO_NAME_CONEX, &CNX_SetHomolog_EndPointVersion, "CNX_SetHomolog_EndPointVersion", 0);
    SetVariable(GRUPO_NAME_CONEX, &CNX_TO_MS_HTTP_Request, "CNX_TO_MS_HTTP_Request", 10000);
    SetVariable(GRUPO_NAME_CONEX, &CNX_TO_MS_WebSocekt_Internal, "CNX_TO_MS_WebSocekt_Internal", 10000);
    SetVariable(GRUPO_NAME_CONEX, &CNX_TO_MS_PushNotification, "CNX_TO_MS_PushNotification", 300000);
    SetVariable(GRUPO_NAME_CONEX, &CNX_ServiceHost, "CNX_ServiceHost", "");
    SetVariable(GRUPO_NAME_CONEX, &CNX_CAFile, "CNX_CAFile", "");
    SetVariable(GRUPO_NAME_CONEX, &CNX_Proxy, "CNX_Proxy", "");
    SetVariable(GRUPO_NAME_CONEX, &CSP_Compatibility, "CSP_Compatibility", 1);
    SetVariable(GRUPO_NAME_CONEX, &CSP_TokenProtection, "CSP_TokenProtection", 1);
    SetVariable(GRUPO_NAME_CONEX, &CSP_KeyProvider, "CSP_KeyProvider", "CSP");
    LoadValues(0);
    // A proxy URL with credentials may be stored protected (machine scope): it is opened in memory only.
    // One that cannot be opened stays as it is and is refused as a proxy.
    if (platIsProtectedText(CNX_Proxy)) {
        TPlatSecretText plain;
        if (platRevealSecretText(CNX_Proxy, plain.Text))
            SetValue("CNX_Proxy", plain.Text.c_str());
        else
            TRACE(DBERRO_0, "CNX_Proxy protegido nao pode ser aberto nesta maquina\n");
    }
    ConfigURLCliente();
}

TModAppConfig::~TModAppConfig() {}

void TModAppConfig::ConfigURLCliente() {
    snprintf(HostDomain, sizeof(HostDomain), "%s", LUCSP_SERVICE_DOMAIN);
    snprintf(HostLabel, sizeof(HostLabel), "%s%s", LUCSP_SERVICE_HOST_LABEL,
             CNX_SetHomolog ? "-homologacao" : "");
    URL_SignHash[0] = '\0';
    bool hostOk = true;
    if (CNX_ServiceHost && *CNX_ServiceHost) {
        if (!IsServiceHostText(CNX_ServiceHost) || strlen(CNX_ServiceHost) >= sizeof(ServiceHost)) {
            // A bad override must not silently send the requests somewhere else.
            TRACE(DBERRO_0, "CNX_ServiceHost invalido, CNX_ServiceHost=[%s]\n", CNX_ServiceHost);
            ServiceHost[0] = '\0';
            hostOk = false;
        } else {
            snprintf(ServiceHost, sizeof(ServiceHost), "%s", CNX_ServiceHost);
            TRACE(DBINFO_0, "CNX_ServiceHost=[%s]\n", ServiceHost);
        }
    } else {
        int n = snprintf(ServiceHost, sizeof(ServiceHost), "%s.%s", HostLabel, HostDomain);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof(ServiceHost)) {
            TRACE(DBERRO_0, "ServiceHost excede o tamanho maximo, HostLabel=[%s] HostDomain=[%s]\n",
                  HostLabel, HostDomain);
            ServiceHost[0] = '\0';
            hostOk = false;
        }
    }
    if (hostOk) {
        int n = snprintf(URL_SignHash, sizeof(URL_SignHash),
                         "https://%s/Service/Microservice/PSC/api/v1/integracaopsc/Encrypt", ServiceHost);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof(URL_SignHash)) {
            // A cut URL would name another endpoint; none is better.
            TRACE(DBERRO_0, "URL_SignHash excede o tamanho maximo, ServiceHost=[%s]\n", ServiceHost);
            URL_SignHash[0] = '\0';
        }
    }
    TRACE(DBINFO_0, "CNX_SetHomolog=[%d]\n", CNX_SetHomolog);
    TRACE(DBINFO_0, "CNX_SetHomolog_EndPointVersion=[%d]\n", CNX_SetHomolog_EndPointVersion);
    TRACE(DBINFO_0, "REQUEST ENCRYPT: URL_SignHash:[%s]\n", URL_SignHash);
}
