#pragma once

#include "os/platTypes.h"

// Start-up on DLL_PROCESS_ATTACH, teardown on DLL_PROCESS_DETACH; thread reasons do nothing. FALSE
// when an exception escaped, which refuses the load. The thread's last error is left as it was.
BOOL DllEntryPoint(HINSTANCE hinst, DWORD reason, LPVOID lpReserved);
