#include "frontend/luProviderSettings.h"

#include "service/luAppConfig.h"

bool luCompatibility() {
    return !gModAppConfig || gModAppConfig->CSP_Compatibility != 0;
}

bool luTokenProtection() {
    return !gModAppConfig || gModAppConfig->CSP_TokenProtection != 0;
}

const char* luKeyProviderSetting() {
    return gModAppConfig && gModAppConfig->CSP_KeyProvider ? gModAppConfig->CSP_KeyProvider : "";
}
