// The thread's last error, shared by a program and every library it loads (kernel32's role on Windows).
#include "os/posix/winCompat.h"

static thread_local DWORD tLastError = 0;

extern "C" {
__attribute__((visibility("default"))) DWORD GetLastError(void) {
    return tLastError;
}
__attribute__((visibility("default"))) void SetLastError(DWORD code) {
    tLastError = code;
}
}
