#include "os/platOS.h"

// Linux has no system proxy store; the *_proxy environment of the host process is not one either.
bool osSystemProxyConfig(std::string& proxyList, std::string& bypassList) {
    proxyList.clear();
    bypassList.clear();
    return false;
}
