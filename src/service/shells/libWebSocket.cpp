#include "service/shells/libWebSocket.h"

#include "platform/platDebug.h"
#include "platform/platTraceScope.h"

#include <cstring>
#include <thread>

TWBInfoConex::TWBInfoConex() {
    ClearState();
}

void TWBInfoConex::ClearState() {
    memset(ConexId, 0, sizeof(ConexId));
    memset(ConexURL, 0, sizeof(ConexURL));
    memset(&Flags, 0, sizeof(Flags));
}

TLibWebSocket::TLibWebSocket() : InfoConexSend(nullptr), InfoConexPing(nullptr) {
    TRACE_SCOPE(DBHEAD_C, Plain, "<%s>\n", LU_FN);
    InfoConex.ClearState();
    InfoConexSend = &InfoConex;
    InfoConexPing = &InfoConex;
}

TLibWebSocket::~TLibWebSocket() {
    TRACE_SCOPE(DBHEAD_C, Plain, "<%s>\n", LU_FN);
    Disconnect();
}

void TLibWebSocket::Disconnect() {
    TRACE_SCOPE(DBHEAD_C, Plain, "<%s>\n", LU_FN);
    InfoConex.Flags.IsConnected = 0;
    InfoConex.Flags.IsHandshakeDone = 0;
    InfoConex.Flags.IsClosing = 0;
    InfoConex.BuffReceive.Clear();
    ConexTCP.Disconnect();
    ConexTCPPing.Disconnect();

    TRACE(DBERRO_0, "Antes: Waiting Done InfoConex.ThreadPingRuning=[%d]\n",
          InfoConex.Flags.ThreadPingRuning);
    TPlatElapsed waitStart;
    ElapsedStart(waitStart);
    while (InfoConex.Flags.ThreadPingRuning && !ElapsedReached(waitStart, kWaitPingMs))
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollPingMs));
    TRACE(DBERRO_0, "Depois: Waiting Done InfoConex.ThreadPingRuning=[%d]\n",
          InfoConex.Flags.ThreadPingRuning);

    ThreadPing.Stop();
    InfoConex.ClearState();
}
