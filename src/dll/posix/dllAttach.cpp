// Loading and unloading the shared object run the DLL entry routine, as Windows does for the DLL.
// The constructors of a shared object run in link order: this file is linked after every library of
// the provider, so that the start-up finds their static objects already built.
#include "dll/dllMain.h"
#include "os/platOS.h"

// Referenced from the link line so that this member is taken from its archive.
extern "C" {
int luDllAttachAnchor = 0;
}

__attribute__((constructor)) static void LibraryAttach() {
    DllEntryPoint(nullptr, DLL_PROCESS_ATTACH, nullptr);
}

__attribute__((destructor)) static void LibraryDetach() {
    DllEntryPoint(nullptr, DLL_PROCESS_DETACH, nullptr);
    // Last: the stand-ins' handle tables, which the detach above may still have used.
    DWORD keep = GetLastError();
    osShutdown();
    SetLastError(keep);
}
