#include "service/shells/libWebSocket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>

TEST(LibWebSocket, ConstructionLeavesAZeroedDisconnectedState) {
    TLibWebSocket ws;
    EXPECT_EQ(ws.InfoConexSend, &ws.InfoConex);
    EXPECT_EQ(ws.InfoConexPing, &ws.InfoConex);
    const BYTE* flags = reinterpret_cast<const BYTE*>(&ws.InfoConex.Flags);
    for (size_t i = 0; i < sizeof(ws.InfoConex.Flags); ++i)
        ASSERT_EQ(flags[i], 0) << i;
    EXPECT_EQ(ws.InfoConex.ConexId[0], 0);
    EXPECT_EQ(ws.InfoConex.ConexURL[0], 0);
    EXPECT_FALSE(ws.ConexTCP.Connected);
    EXPECT_FALSE(ws.ConexTCPPing.Connected);
}

TEST(LibWebSocket, DisconnectClosesBothConnectionsAndClearsTheState) {
    TLibWebSocket ws;
    int a = socket(AF_INET, SOCK_STREAM, 0);
    int b = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ws.ConexTCP.Socket = a;
    ws.ConexTCP.Connected = true;
    ws.ConexTCPPing.Socket = b;
    ws.ConexTCPPing.Connected = true;
    ws.InfoConex.Flags.IsConnected = 1;
    strcpy(ws.InfoConex.ConexId, "abc");
    ws.InfoConex.BuffReceive.AddString("pending frame");

    auto start = std::chrono::steady_clock::now();
    ws.Disconnect();
    auto took = std::chrono::steady_clock::now() - start;

    EXPECT_LT(took, std::chrono::milliseconds(500)); // no ping thread: no wait
    EXPECT_EQ(fcntl(a, F_GETFD), -1);
    EXPECT_EQ(fcntl(b, F_GETFD), -1);
    EXPECT_FALSE(ws.ConexTCP.Connected);
    EXPECT_EQ(ws.InfoConex.Flags.IsConnected, 0);
    EXPECT_EQ(ws.InfoConex.ConexId[0], 0);
    EXPECT_EQ(ws.InfoConex.BuffReceive.LenFileData, 0u);
}

TEST(LibWebSocket, DisconnectGivesUpWaitingForAPingThreadAfterThreeSeconds) {
    TLibWebSocket ws;
    ws.InfoConex.Flags.ThreadPingRuning = 1; // a ping thread that never reports back
    auto start = std::chrono::steady_clock::now();
    ws.Disconnect();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(2900));
    EXPECT_LT(took, std::chrono::milliseconds(4500));
    EXPECT_EQ(ws.InfoConex.Flags.ThreadPingRuning, 0);
}
