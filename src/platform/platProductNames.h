// The product's fixed names, spelled here once. Every subsystem reads them from this header; the
// process-wide name buffers filled at start-up (frontend/luAppGlobal) are built from them.
#pragma once

// Application name: the last part of the registry path SOFTWARE\Varno\<name>.
#define LU_PRODUCT_APP_NAME "Trelis_Server"
// Module acronym; with the application name it forms the show name and the HTTP user agent.
#define LU_PRODUCT_MODULE "LUKeyCSP"
#define LU_PRODUCT_APP_NAME_SHOW LU_PRODUCT_APP_NAME " " LU_PRODUCT_MODULE
#define LU_PRODUCT_CLIENT_NAME "Vestrum"
#define LU_PRODUCT_CSP_NAME "Varno Base Cryptographic Provider Server"
#define LU_PRODUCT_KSP_NAME "Varno Key Storage Provider Server"
#define LU_PRODUCT_CSP_DLL "Varno_LUCSP_Server.dll"
#define LU_PRODUCT_KSP_DLL "Varno_LUKSP_Server.dll"
// Environment variable that overrides the CSP_KeyProvider setting for the certificate registrations of
// the process that sets it ("csp" or "ksp"); "lucsp register --provider" sets it around its call.
#define LU_PRODUCT_KEY_PROVIDER_VARIABLE "LUCSP_KEY_PROVIDER"
