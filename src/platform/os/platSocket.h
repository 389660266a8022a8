// Socket services of the connection shells: Winsock on Windows, BSD sockets on Linux.
#pragma once

#include "os/platTypes.h"

#include <cstdint>

typedef intptr_t TOsSocket;
constexpr TOsSocket kOsInvalidSocket = -1;
// Winsock's code for "not a socket"; Linux reports the same case with this value too.
constexpr long kOsErrorNotSocket = 10038;

// 0 when the socket layer is ready, else the error code (WSAStartup's result).
int osSocketStartup();
// Balances one successful osSocketStartup.
void osSocketCleanup();
// 0 on success, else the socket layer's error code (also given by osSocketLastError).
long osSocketClose(TOsSocket socket);
long osSocketLastError();
