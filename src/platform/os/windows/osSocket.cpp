#include "os/platSocket.h"

int osSocketStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}

void osSocketCleanup() {
    WSACleanup();
}

long osSocketClose(TOsSocket socket) {
    if (closesocket(static_cast<SOCKET>(socket)) == 0) return 0;
    return WSAGetLastError();
}

long osSocketLastError() {
    return WSAGetLastError();
}
