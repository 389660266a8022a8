// Kept for the WebSocket shell, which owns one: the library opens no TCP connection.
#pragma once

#include "os/platSocket.h"
#include "platform/platMutex.h"

// Shell of one TCP connection. The library never connects it; owners construct, disconnect and
// destroy it.
class TPlatConexTCP {
  public:
    TPlatConexTCP();
    ~TPlatConexTCP();
    TPlatConexTCP(const TPlatConexTCP&) = delete;
    TPlatConexTCP& operator=(const TPlatConexTCP&) = delete;

    // Closes the socket when there is one; false only when closing failed for another reason than
    // "not a socket". Afterwards the shell is disconnected and holds no socket.
    bool Disconnect();

    bool Connected;
    TOsSocket Socket;

  private:
    TPlatMutex Mutex;
    bool SocketLayerReady;
};
