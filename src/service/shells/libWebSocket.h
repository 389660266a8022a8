// Kept for the remote client, which carries a push-notification connection it never opens.
#pragma once

#include "platform/TVarnoList.h"
#include "platform/TVarnoMemory.h"
#include "platform/shells/platConexTCP.h"
#include "platform/platMutex.h"
#include "platform/platStringJSON.h"
#include "platform/shells/platThread.h"

// Flags of one WebSocket connection; the block is zero-filled as a whole.
struct TWBInfoConexFlags {
    BYTE IsConnected;
    BYTE IsHandshakeDone;
    BYTE IsClosing;
    BYTE ThreadPingRuning;
    BYTE IsPongPending;
    BYTE Reserved[24];
};
static_assert(sizeof(TWBInfoConexFlags) == 29, "the flag block holds 29 bytes");

// State of one WebSocket connection.
struct TWBInfoConex {
    TWBInfoConex();
    TWBInfoConex(const TWBInfoConex&) = delete;
    TWBInfoConex& operator=(const TWBInfoConex&) = delete;

    // Zero-fills the two texts and the flags.
    void ClearState();

    TVarnoMemory BuffReceive;
    TVarnoMemory BuffSend;
    TVarnoMemory BuffFrame;
    TVarnoMemory BuffMessage;
    TPlatStringJSON MessageJSON;
    char ConexId[30];
    char ConexURL[100];
    TWBInfoConexFlags Flags;
};

// Shell of the push-notification connection of the remote client: constructed, disconnected and
// destroyed only; the library opens no WebSocket and starts no ping thread.
class TLibWebSocket {
  public:
    TLibWebSocket();
    ~TLibWebSocket();
    TLibWebSocket(const TLibWebSocket&) = delete;
    TLibWebSocket& operator=(const TLibWebSocket&) = delete;

    void Disconnect();

    // How long Disconnect waits for the ping thread to report itself stopped.
    static constexpr int kWaitPingMs = 3000;
    static constexpr int kPollPingMs = 100;

    TPlatMutex MutexSend;
    TVarnoList ListSend;
    TPlatMutex MutexConex;

    TPlatConexTCP ConexTCP;

    TVarnoMemory BuffSendFrame;
    TVarnoMemory BuffReceiveFrame;
    TWBInfoConex* InfoConexSend;
    TPlatMutex MutexReceive;
    TVarnoList ListReceive;
    TPlatMutex MutexPing;

    TPlatConexTCP ConexTCPPing;

    TVarnoMemory BuffPingFrame;
    TVarnoMemory BuffPongFrame;
    TWBInfoConex* InfoConexPing;
    TPlatThread ThreadPing;

    TWBInfoConex InfoConex;
};
