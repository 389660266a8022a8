#include "platform/shells/platConexTCP.h"

#include "platform/platDebug.h"
#include "platform/platTraceScope.h"

TPlatConexTCP::TPlatConexTCP() : Connected(false), Socket(kOsInvalidSocket), SocketLayerReady(false) {
    int result = osSocketStartup();
    if (result != 0)
        TRACE(DBERRO_0, "WSAStartup function failed with error: %d\n", result);
    else
        SocketLayerReady = true;
}

TPlatConexTCP::~TPlatConexTCP() {
    Disconnect();
    // Every successful WSAStartup is balanced, so that shells do not pin the socket layer.
    if (SocketLayerReady) osSocketCleanup();
}

bool TPlatConexTCP::Disconnect() {
    TRACE_SCOPE(DBHEAD_C, Int, "<%s Connected=[%d]>\n", LU_FN, Connected ? 1 : 0);
    bool result = true;
    if (Socket != kOsInvalidSocket) {
        long error = osSocketClose(Socket);
        if (error != 0 && error != kOsErrorNotSocket) {
            TRACE(DBERRO_0, "Falha no CLOSESOCKET, WSAGetLastError=[%ld]\n", error);
            result = false;
        }
    }
    Connected = false;
    Socket = kOsInvalidSocket;
    TRACE_RETURN(result);
}
