#include "frontend/luAppGlobal.h"

#include "frontend/libLUProvider.h"
#include "frontend/luEntryFrame.h"
#include "frontend/libLumidra.h"
#include "certificates/libLUIdentify.h"
#include "os/platOS.h"
#include "platform/platDebug.h"
#include "platform/platException.h"
#include "platform/platProductNames.h"
#include "platform/platRotPadroes.h"
#include "service/luAppConfig.h"

#include <cstdio>
#include <new>

char APP_NOME[LU_APP_NAME_SIZE] = LU_PRODUCT_APP_NAME;
char APP_NOME_SHOW[LU_APP_NAME_SIZE] = "";
char APP_NOME_CLIENTE[LU_APP_NAME_SIZE] = LU_PRODUCT_CLIENT_NAME;
char APP_IPC_NAME[LU_APP_NAME_SIZE] = "";
char LU_KSP_DLL[LU_APP_NAME_SIZE] = "";
char LU_CSP_DLL[LU_APP_NAME_SIZE] = "";
char LU_CSP_NAME[LU_APP_NAME_SIZE] = "";
char LU_KSP_NAME[LU_APP_NAME_SIZE] = "";
char APP_TITLE[LU_APP_NAME_SIZE] = "";

namespace {

// The names are short constants; a cut one would still be terminated.
void SetName(char* name, const char* format, const char* value) {
    if (snprintf(name, LU_APP_NAME_SIZE, format, value) >= LU_APP_NAME_SIZE)
        name[LU_APP_NAME_SIZE - 1] = '\0';
}

} // namespace

void luAppGlobal_Start() {
    SetName(APP_NOME_SHOW, "%s " LU_PRODUCT_MODULE, APP_NOME);
    SetName(APP_IPC_NAME, "IPC_%s", APP_NOME);
    SetName(LU_KSP_DLL, "%s", LU_PRODUCT_KSP_DLL);
    SetName(LU_CSP_DLL, "%s", LU_PRODUCT_CSP_DLL);
    SetName(LU_CSP_NAME, "%s", LU_PRODUCT_CSP_NAME);
    SetName(LU_KSP_NAME, "%s", LU_PRODUCT_KSP_NAME);
    SetName(APP_TITLE, "%s", APP_NOME_SHOW);

    if (!gPlatDebug) gPlatDebug = new (std::nothrow) TPlatDebug();
    // Its constructor reads the settings and switches the trace log on.
    if (!gModAppConfig) {
        gModAppConfig = new (std::nothrow) TModAppConfig();
        // The crash report takes its mail settings from the same table and prints the endpoint.
        if (gModAppConfig) sysCrashReportConfig(gModAppConfig, gModAppConfig->URL_SignHash);
        sysCrashReportSetIdentity(luIdentityForReport);
    }

    TRACE(DBINFO_0, "SETTING:\n");
    TRACE(DBINFO_0, " -> APP_NOME........:[%s]\n", APP_NOME);
    TRACE(DBINFO_0, " -> APP_NOME_SHOW...:[%s]\n", APP_NOME_SHOW);
    TRACE(DBINFO_0, " -> APP_NOME_CLIENTE:[%s]\n", APP_NOME_CLIENTE);
    TRACE(DBINFO_0, " -> APP_IPC_NAME....:[%s]\n", APP_IPC_NAME);
    TRACE(DBINFO_0, " -> LU_KSP_NAME:[%s]\n", LU_KSP_NAME);
    TRACE(DBINFO_0, " -> LU_CSP_NAME:[%s]\n", LU_CSP_NAME);
    TRACE(DBINFO_0, " -> LU_KSP_DLL.:[%s]\n", LU_KSP_DLL);
    TRACE(DBINFO_0, " -> LU_CSP_DLL.:[%s]\n", LU_CSP_DLL);

    if (!gLumidra) gLumidra = new (std::nothrow) TLumidra();
    if (!gLUProvider) gLUProvider = new (std::nothrow) TLUProvider();
    if (gLumidra) gLumidra->Identify.Update();
}

void luAppGlobal_Stop() {
    if (gLUProvider) {
        delete gLUProvider;
        gLUProvider = nullptr;
    }
    if (gLumidra) {
        delete gLumidra;
        gLumidra = nullptr;
    }
    if (gModAppConfig) {
        sysCrashReportSetIdentity(nullptr);
        sysCrashReportConfig(nullptr, nullptr);
        delete gModAppConfig;
        gModAppConfig = nullptr;
    }
    if (gPlatDebug) {
        TPlatDebug* debug = gPlatDebug;
        gPlatDebug = nullptr;
        delete debug;
    }
    ReleaseThreadTexts();
}

void luPinLibrary() {
    static bool pinned = false;
    if (pinned) return;
    TLUKeepLastError keep;
    pinned = osPinModule();
    TRACE(DBINFO_0, "Library pinned=[%d]\n", pinned ? 1 : 0);
}
