#pragma once

#include "os/platTypes.h"

// Start-up on DLL_PROCESS_ATTACH, teardown on DLL_PROCESS_DETACH; thread reasons do nothing. FALSE
// when an exception escaped, which refuses the load. The thread's last error is left as it was.
BOOL DllEntryPoint(HINSTANCE hinst, DWORD reason, LPVOID lpReserved);

// From the first context (or KSP provider) on, the library stays loaded: a context per signature then
// pays no start-up, and the kept-alive connection and the CA file outlive the last context. Called under
// the provider lock; the thread's last error is left as it was.
void luPinLibrary();
