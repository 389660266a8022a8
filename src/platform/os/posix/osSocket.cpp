#include "os/platSocket.h"

#include <cerrno>
#include <unistd.h>

namespace {
thread_local long tSocketError = 0;

// Winsock's numbering, so that traces read the same on both platforms.
long MapErrno(int err) {
    switch (err) {
    case EBADF:
    case ENOTSOCK:
        return kOsErrorNotSocket;
    case EINTR:
        return 10004; // WSAEINTR
    default:
        return err;
    }
}
} // namespace

int osSocketStartup() {
    return 0;
}

void osSocketCleanup() {}

long osSocketClose(TOsSocket socket) {
    if (socket < 0) {
        tSocketError = kOsErrorNotSocket;
        return tSocketError;
    }
    if (close(static_cast<int>(socket)) == 0) return 0;
    tSocketError = MapErrno(errno);
    return tSocketError;
}

long osSocketLastError() {
    return tSocketError;
}
