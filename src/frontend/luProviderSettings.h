// The provider's own settings as the front end reads them; they are kept in the library's configuration
// table (service/luAppConfig) with the service's, and read nowhere else above it.
#pragma once

// "CSP_Compatibility": hashing in the provider, CALG_SSL3_SHAMD5, verify-only contexts and the
// enumerations are offered (the default), or refused when the setting is 0.
bool luCompatibility();

// "CSP_TokenProtection": a registered token is stored protected for this user and machine (the default),
// or as text when the setting is 0.
bool luTokenProtection();

// "CSP_KeyProvider": the provider a registered certificate names ("CSP", "KSP"); empty when unset.
const char* luKeyProviderSetting();
