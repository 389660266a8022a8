#include "os/platOS.h"

// Linux has no system proxy store; libcurl takes https_proxy, all_proxy and no_proxy from the environment.
bool osSystemProxyConfig(std::string& proxyList, std::string& bypassList) {
    proxyList.clear();
    bypassList.clear();
    return false;
}
