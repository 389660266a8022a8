#include "support/connectProxy.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

bool SendAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

int ConnectTo(const std::string& hostPort) {
    size_t colon = hostPort.rfind(':');
    if (colon == std::string::npos) return -1;
    std::string host = hostPort.substr(0, colon), port = hostPort.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0) return -1;
    int fd = -1;
    for (addrinfo* a = res; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(res);
    return fd;
}

} // namespace

TConnectProxy::TConnectProxy() = default;

TConnectProxy::~TConnectProxy() {
    Stopping = true;
    if (Listener >= 0) shutdown(Listener, SHUT_RDWR);
    if (Acceptor.joinable()) Acceptor.join();
    if (Listener >= 0) close(Listener);
    {
        std::lock_guard<std::mutex> g(Lock);
        for (int fd : Open)
            shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& t : Workers)
        if (t.joinable()) t.join();
}

bool TConnectProxy::Start() {
    Listener = socket(AF_INET, SOCK_STREAM, 0);
    if (Listener < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(Listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(Listener, 16) != 0 ||
        getsockname(Listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return false;
    ListenPort = ntohs(addr.sin_port);
    Acceptor = std::thread([this] { AcceptLoop(); });
    return true;
}

std::vector<std::string> TConnectProxy::Requests() const {
    std::lock_guard<std::mutex> g(Lock);
    return Lines;
}

std::vector<int> TConnectProxy::TunnelFirstBytes() const {
    std::lock_guard<std::mutex> g(Lock);
    return FirstBytes;
}

void TConnectProxy::AcceptLoop() {
    while (!Stopping) {
        int client = accept(Listener, nullptr, nullptr);
        if (client < 0) {
            if (Stopping) return;
            continue;
        }
        std::lock_guard<std::mutex> g(Lock);
        Open.push_back(client);
        Workers.emplace_back([this, client] { Serve(client); });
    }
}

void TConnectProxy::Serve(int client) {
    std::string head;
    char buf[16384];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
        ssize_t n = recv(client, buf, sizeof(buf), 0);
        if (n <= 0) break;
        head.append(buf, static_cast<size_t>(n));
    }
    size_t end = head.find("\r\n\r\n");
    std::string line = head.substr(0, head.find("\r\n"));
    int upstream = -1;
    {
        std::lock_guard<std::mutex> g(Lock);
        if (!line.empty()) Lines.push_back(line);
    }
    if (end != std::string::npos && line.compare(0, 8, "CONNECT ") == 0) {
        std::string target = line.substr(8, line.find(' ', 8) - 8);
        upstream = ConnectTo(target);
    }
    if (upstream < 0) {
        static const char kRefused[] = "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n";
        static const char kBadGateway[] = "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n";
        bool connect = line.compare(0, 8, "CONNECT ") == 0;
        SendAll(client, connect ? kBadGateway : kRefused,
                connect ? sizeof(kBadGateway) - 1 : sizeof(kRefused) - 1);
    } else {
        static const char kEstablished[] = "HTTP/1.1 200 Connection established\r\n\r\n";
        SendAll(client, kEstablished, sizeof(kEstablished) - 1);
        // Bytes that came with the request head already belong to the tunnel.
        std::string early = head.substr(end + 4);
        bool recorded = false;
        auto record = [&](unsigned char b) {
            std::lock_guard<std::mutex> g(Lock);
            FirstBytes.push_back(b);
            recorded = true;
        };
        if (!early.empty()) record(static_cast<unsigned char>(early[0]));
        bool ok = early.empty() || SendAll(upstream, early.data(), early.size());
        const int epoch = DropEpoch;
        const int answerEpoch = AnswerDropEpoch;
        bool requestCarried = false;
        pollfd fds[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
        while (ok && !Stopping) {
            if (poll(fds, 2, 200) < 0) break;
            for (int i = 0; i < 2 && ok; ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                ssize_t n = recv(fds[i].fd, buf, sizeof(buf), 0);
                if (n <= 0) {
                    ok = false;
                    break;
                }
                if (i == 0 && !recorded) record(static_cast<unsigned char>(buf[0]));
                if ((i == 0 && DropEpoch != epoch) || (i == 1 && requestCarried)) {
                    ok = false;
                    break;
                }
                if (i == 0 && AnswerDropEpoch != answerEpoch) requestCarried = true;
                Carried += static_cast<unsigned long long>(n);
                ok = SendAll(fds[1 - i].fd, buf, static_cast<size_t>(n));
            }
        }
        if (!recorded) {
            std::lock_guard<std::mutex> g(Lock);
            FirstBytes.push_back(-1);
        }
    }
    if (upstream >= 0) close(upstream);
    std::lock_guard<std::mutex> g(Lock);
    Open.erase(std::remove(Open.begin(), Open.end(), client), Open.end());
    close(client);
}
