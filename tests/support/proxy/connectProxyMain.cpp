// The loopback CONNECT proxy of the tests as a process of its own, for the suites that run under Wine:
// prints "LISTENING 127.0.0.1:<port>", then one "REQUEST <request line>" per request and one
// "TUNNEL first=0x<byte>" per tunnel as they come. Ends on SIGTERM or when its parent ends.
#include "support/connectProxy.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>

namespace {
volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) {
    gStop = 1;
}
} // namespace

int main() {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    TConnectProxy proxy;
    if (!proxy.Start()) {
        std::fprintf(stderr, "lucsp-connect-proxy: cannot listen on 127.0.0.1\n");
        return 1;
    }
    std::printf("LISTENING 127.0.0.1:%d\n", proxy.Port());
    std::fflush(stdout);
    size_t requests = 0, tunnels = 0;
    while (!gStop) {
        std::vector<std::string> lines = proxy.Requests();
        for (; requests < lines.size(); ++requests)
            std::printf("REQUEST %s\n", lines[requests].c_str());
        std::vector<int> first = proxy.TunnelFirstBytes();
        for (; tunnels < first.size(); ++tunnels)
            std::printf("TUNNEL first=0x%02x\n", first[tunnels] & 0xFF);
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return 0;
}
