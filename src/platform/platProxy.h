// Which proxy a request of the HTTPS transport goes through: the configured one ("CNX_Proxy"), or the
// system's static proxy settings with their bypass list.
#pragma once

#include <string>

// A configured proxy text: "DIRECT", or a proxy URL ([scheme://][user:password@]host[:port]) with a
// scheme libcurl tunnels through (http, https, socks4, socks4a, socks5, socks5h), no blanks or controls.
bool platProxyIsValid(const char* proxy);
// "DIRECT" in any case: no proxy at all, also when the system names one.
bool platProxyIsDirect(const char* proxy);

// The proxy for url from a system proxy list ("host:port", "http=h:p;https=h:p", blank or ';' separated)
// and its bypass list ("*.corp;10.*;<local>"); empty: go direct. A proxy without a scheme gets "http://".
std::string platProxySelect(const char* url, const char* proxyList, const char* bypassList);
// Whether host (no port) is named by the bypass list: '*' wildcards, case-insensitive; "<local>" matches
// names without a dot.
bool platProxyBypassed(const char* host, const char* bypassList);

// The proxy for url as the transport uses it: the configured text when given (empty for "DIRECT"), else
// the system's (Windows: the WinHTTP settings; Linux: empty, none). The environment's *_proxy variables
// never apply.
// False when the configured text is not valid: nothing may then be sent.
bool platProxyResolve(const char* configured, const char* url, std::string& proxy);

// The proxy without its user part, for the trace: a password must never be written there.
std::string platProxyForTrace(const std::string& proxy);
