// Process-wide names and the start-up and teardown of the provider's process-wide objects.
#pragma once

#define LU_APP_NAME_SIZE 260

extern char APP_NOME[LU_APP_NAME_SIZE];
extern char APP_NOME_SHOW[LU_APP_NAME_SIZE];
extern char APP_NOME_CLIENTE[LU_APP_NAME_SIZE];
extern char APP_IPC_NAME[LU_APP_NAME_SIZE];
extern char LU_KSP_DLL[LU_APP_NAME_SIZE];
extern char LU_CSP_DLL[LU_APP_NAME_SIZE];
extern char LU_CSP_NAME[LU_APP_NAME_SIZE];
extern char LU_KSP_NAME[LU_APP_NAME_SIZE];
// The application title of the process.
extern char APP_TITLE[LU_APP_NAME_SIZE];

// Creates what is missing of: the names, the trace log, the configuration, the certificate holder, the
// provider object; then collects the machine identity. No certificate is read here.
void luAppGlobal_Start();
// Destroys the provider object, the certificate holder, the configuration and the trace log, in this order.
void luAppGlobal_Stop();

// From the first context (or KSP provider) on, the library stays loaded: a context per signature then
// pays no start-up, and the kept-alive connection and the CA file outlive the last context. Called under
// the provider lock; the thread's last error is left as it was.
void luPinLibrary();
