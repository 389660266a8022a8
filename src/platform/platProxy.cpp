#include "platform/platProxy.h"

#include "os/platOS.h"
#include "platform/platMutex.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The items of a list separated by blanks, ';' or ','.
std::vector<std::string> Items(const char* list) {
    std::vector<std::string> items;
    std::string item;
    for (const char* p = list ? list : "";; ++p) {
        char c = *p;
        if (c == '\0' || c == ';' || c == ',' || std::isspace(static_cast<unsigned char>(c))) {
            if (!item.empty()) items.push_back(item);
            item.clear();
            if (c == '\0') break;
        } else {
            item += c;
        }
    }
    return items;
}

// '*' matches any run of characters; both texts are lower case.
bool GlobMatch(const char* pattern, const char* text) {
    if (*pattern == '\0') return *text == '\0';
    if (*pattern == '*') {
        for (const char* t = text;; ++t) {
            if (GlobMatch(pattern + 1, t)) return true;
            if (*t == '\0') return false;
        }
    }
    return *text != '\0' && *pattern == *text && GlobMatch(pattern + 1, text + 1);
}

// Scheme and host of a URL, lower case; the host without brackets or port.
void SplitURL(const char* url, std::string& scheme, std::string& host) {
    std::string u = url ? url : "";
    size_t at = u.find("://");
    scheme = at == std::string::npos ? std::string() : Lower(u.substr(0, at));
    std::string rest = at == std::string::npos ? u : u.substr(at + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    size_t user = rest.rfind('@');
    if (user != std::string::npos) rest = rest.substr(user + 1);
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        host = rest.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    } else {
        host = rest.substr(0, rest.find(':'));
    }
    host = Lower(host);
}

// The system's proxy settings, read again at most every kSystemProxyTtlMs: reading them is several
// registry calls, and a signature would pay them every time. A changed setting applies within that time.
const unsigned long long kSystemProxyTtlMs = 10000;

bool SystemProxyConfig(std::string& list, std::string& bypass) {
    struct TCache {
        TPlatMutex Lock;
        bool Known = false, Found = false;
        unsigned long long ReadAt = 0;
        std::string List, Bypass;
    };
    // Never destroyed: a thread of the host may still ask while the process exits.
    static TCache* cache = new TCache;
    TPlatLockGuard guard(cache->Lock);
    unsigned long long now = osTickMs();
    if (!cache->Known || now - cache->ReadAt >= kSystemProxyTtlMs) {
        cache->Found = osSystemProxyConfig(cache->List, cache->Bypass);
        cache->Known = true;
        cache->ReadAt = now;
    }
    list = cache->List;
    bypass = cache->Bypass;
    return cache->Found;
}

} // namespace

bool platProxyIsDirect(const char* proxy) {
    return proxy && Lower(proxy) == "direct";
}

bool platProxyIsValid(const char* proxy) {
    if (!proxy || !*proxy || strlen(proxy) > 1000) return false;
    if (platProxyIsDirect(proxy)) return true;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(proxy); *p; ++p)
        if (*p <= 0x20 || *p >= 0x7F) return false;
    std::string text = proxy;
    size_t at = text.find("://");
    if (at != std::string::npos) {
        static const char* const kSchemes[] = {"http", "https", "socks4", "socks4a", "socks5", "socks5h"};
        std::string scheme = Lower(text.substr(0, at));
        bool known = false;
        for (const char* s : kSchemes)
            known = known || scheme == s;
        if (!known) return false;
        text = text.substr(at + 3);
    }
    // A host is required; a path would be sent nowhere and points at a mistyped setting.
    size_t user = text.rfind('@');
    std::string hostPort = user == std::string::npos ? text : text.substr(user + 1);
    if (!hostPort.empty() && hostPort.back() == '/') hostPort.pop_back();
    return !hostPort.empty() && hostPort[0] != ':' && hostPort.find_first_of("/?#") == std::string::npos;
}

bool platProxyBypassed(const char* host, const char* bypassList) {
    std::string h = Lower(host ? host : "");
    if (h.empty()) return false;
    for (std::string item : Items(bypassList)) {
        item = Lower(item);
        if (item == "<local>") {
            if (h.find('.') == std::string::npos && h.find(':') == std::string::npos) return true;
            continue;
        }
        size_t at = item.find("://");
        if (at != std::string::npos) item = item.substr(at + 3);
        // A port in the entry does not narrow it: the host decides.
        if (!item.empty() && item[0] == '[') {
            size_t close = item.find(']');
            item = item.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        } else if (std::count(item.begin(), item.end(), ':') == 1) {
            item = item.substr(0, item.find(':'));
        }
        if (!item.empty() && GlobMatch(item.c_str(), h.c_str())) return true;
    }
    return false;
}

std::string platProxySelect(const char* url, const char* proxyList, const char* bypassList) {
    std::string scheme, host;
    SplitURL(url, scheme, host);
    if (platProxyBypassed(host.c_str(), bypassList)) return std::string();
    std::string forScheme, forAll;
    for (const std::string& item : Items(proxyList)) {
        size_t eq = item.find('=');
        if (eq == std::string::npos) {
            if (forAll.empty()) forAll = item;
        } else if (Lower(item.substr(0, eq)) == scheme && forScheme.empty()) {
            forScheme = item.substr(eq + 1);
        }
    }
    std::string proxy = forScheme.empty() ? forAll : forScheme;
    if (proxy.empty()) return proxy;
    if (proxy.find("://") == std::string::npos) proxy = "http://" + proxy;
    return proxy;
}

bool platProxyResolve(const char* configured, const char* url, std::string& proxy) {
    proxy.clear();
    if (configured && *configured) {
        if (!platProxyIsValid(configured)) return false;
        if (!platProxyIsDirect(configured)) proxy = configured;
        return true;
    }
    std::string list, bypass;
    if (SystemProxyConfig(list, bypass)) proxy = platProxySelect(url, list.c_str(), bypass.c_str());
    return true;
}

std::string platProxyForTrace(const std::string& proxy) {
    size_t at = proxy.find("://");
    size_t start = at == std::string::npos ? 0 : at + 3;
    size_t user = proxy.rfind('@');
    if (user == std::string::npos || user < start) return proxy;
    return proxy.substr(0, start) + "****@" + proxy.substr(user + 1);
}
