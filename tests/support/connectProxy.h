// A small HTTP proxy on loopback for the tests: it answers CONNECT with a tunnel to the named host and
// refuses every other request, and records what it saw.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TConnectProxy {
  public:
    TConnectProxy();
    ~TConnectProxy();
    TConnectProxy(const TConnectProxy&) = delete;
    TConnectProxy& operator=(const TConnectProxy&) = delete;

    // Listens on 127.0.0.1 at a free port; false when that failed.
    bool Start();
    int Port() const { return ListenPort; }
    std::string URL() const { return "http://127.0.0.1:" + std::to_string(ListenPort); }

    // The request line of every request received, in order ("CONNECT 127.0.0.1:443 HTTP/1.1").
    std::vector<std::string> Requests() const;
    // The first byte the client sent into each tunnel (0x16 opens a TLS handshake), as soon as it came;
    // -1 for a tunnel that closed without one.
    std::vector<int> TunnelFirstBytes() const;
    // Bytes carried through the tunnels, both ways.
    unsigned long long TunnelBytes() const { return Carried.load(); }
    // Every tunnel open now swallows the next bytes its client sends and closes both its ends: what a
    // kept-alive connection looks like when the server drops it just as a new request goes out. Tunnels
    // opened later carry on as usual.
    void DropNextOnOpenTunnels() { ++DropEpoch; }
    // Every tunnel open now carries the next bytes its client sends, then closes both its ends at the
    // first byte of the answer: a server that read the request and dropped the connection before answering.
    void DropAnswerOnOpenTunnels() { ++AnswerDropEpoch; }

  private:
    void AcceptLoop();
    void Serve(int client);

    int Listener = -1;
    int ListenPort = 0;
    std::atomic<bool> Stopping{false};
    std::atomic<unsigned long long> Carried{0};
    std::atomic<int> DropEpoch{0};
    std::atomic<int> AnswerDropEpoch{0};
    std::thread Acceptor;
    mutable std::mutex Lock;
    std::vector<std::thread> Workers;
    std::vector<int> Open;
    std::vector<std::string> Lines;
    std::vector<int> FirstBytes;
};
