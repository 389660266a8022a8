// Loading and unloading the shared object run the DLL entry routine, as Windows does for the DLL.
// The constructors of a shared object run in link order: this file is linked after every library of
// the provider, so that the start-up finds their static objects already built.
#include "dll/dllMain.h"
#include "os/platOS.h"

#include <cstdlib>

// Referenced from the link line so that this member is taken from its archive.
extern "C" {
int luDllAttachAnchor = 0;
}

namespace {

// exit() runs every exit handler (the C++ static destructors, OpenSSL's cleanup, this one) before the
// destructor below; dlclose runs this library's own after it. So this is set only at the process's end.
bool gProcessEnding = false;

void NoteProcessEnd() {
    gProcessEnding = true;
}

} // namespace

__attribute__((constructor)) static void LibraryAttach() {
    atexit(NoteProcessEnd);
    DllEntryPoint(nullptr, DLL_PROCESS_ATTACH, nullptr);
}

__attribute__((destructor)) static void LibraryDetach() {
    // As Windows does, a set lpReserved tells the detach that the process is ending.
    DllEntryPoint(nullptr, DLL_PROCESS_DETACH, gProcessEnding ? &gProcessEnding : nullptr);
    if (gProcessEnding) return;
    // Last: the stand-ins' handle tables, which the detach above may still have used.
    DWORD keep = GetLastError();
    osShutdown();
    SetLastError(keep);
}
