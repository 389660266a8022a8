#include "os/platOS.h"

#include <windows.h>
#include <winhttp.h>

namespace {

// Wide text narrowed byte by byte, as every text of the library; the global block is freed.
std::string TakeNarrow(LPWSTR text) {
    std::string out;
    if (!text) return out;
    for (const WCHAR* p = text; *p; ++p)
        out += static_cast<char>(*p & 0xFF);
    GlobalFree(text);
    return out;
}

} // namespace

// Only the static settings are read: automatic detection and configuration scripts (WPAD, PAC) would
// put network look-ups of their own in front of every signature.
bool osSystemProxyConfig(std::string& proxyList, std::string& bypassList) {
    proxyList.clear();
    bypassList.clear();
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user;
    ZeroMemory(&user, sizeof(user));
    if (WinHttpGetIEProxyConfigForCurrentUser(&user)) {
        TakeNarrow(user.lpszAutoConfigUrl);
        proxyList = TakeNarrow(user.lpszProxy);
        bypassList = TakeNarrow(user.lpszProxyBypass);
        if (!proxyList.empty()) return true;
        bypassList.clear();
    }
    WINHTTP_PROXY_INFO machine;
    ZeroMemory(&machine, sizeof(machine));
    if (WinHttpGetDefaultProxyConfiguration(&machine)) {
        std::string list = TakeNarrow(machine.lpszProxy);
        std::string bypass = TakeNarrow(machine.lpszProxyBypass);
        if (machine.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && !list.empty()) {
            proxyList = list;
            bypassList = bypass;
            return true;
        }
    }
    return false;
}
