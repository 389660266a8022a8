// doctor: checks an installation step by step, one line per step, in the order a signature needs them.
#include "KspClient.h"
#include "LucspCommands.h"
#include "LucspErrors.h"
#include "LucspSession.h"

#include "certificates/libCertificate.h"
#include "certificates/libCertificateStore.h"
#include "os/platCNG.h"
#include "os/platOS.h"
#include "os/platSystemInfo.h"
#include "platform/TVarnoRegedit.h"
#include "platform/platProductNames.h"
#include "platform/platProxy.h"
#include "service/libCurl.h"
#include "service/luAppConfig.h"

#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

const char kProviderKey[] = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\" LUCSP_PROVIDER_NAME;
const char kProviderImage[] = LU_PRODUCT_CSP_DLL;

// The verdicts of one run; the first failure becomes the command's one-line report.
class TDoctor {
  public:
    explicit TDoctor(TCommand& cmd) : Cmd(cmd) {}

    void Pass(const std::string& step, const std::string& detail) { Line("ok", step, detail); }
    void Skip(const std::string& step, const std::string& why) { Line("skip", step, why); }
    void Fail(const std::string& step, const std::string& detail, uint32_t code) {
        Line("FAIL", step, detail + ": " + lucspFormatCode(code));
        if (!Failures++) {
            FirstStep = step;
            FirstDetail = detail;
            FirstCode = code;
        }
    }
    int Finish() {
        std::printf("doctor: %d of %d check(s) passed%s\n", Count - Failures - Skipped, Count,
                    Skipped ? (", " + std::to_string(Skipped) + " skipped").c_str() : "");
        std::fflush(stdout);
        if (!Failures) return 0;
        return Cmd.Fail("step '" + FirstStep + "' failed (" + FirstDetail + ")" +
                            (Failures > 1 ? " and " + std::to_string(Failures - 1) + " more" : std::string()),
                        FirstCode);
    }
    int Failures = 0;

  private:
    void Line(const char* verdict, const std::string& step, const std::string& detail) {
        ++Count;
        if (verdict[0] == 's') ++Skipped;
        std::printf("%-5s %-28s %s\n", verdict, step.c_str(), detail.c_str());
        std::fflush(stdout);
    }
    TCommand& Cmd;
    int Count = 0, Skipped = 0;
    std::string FirstStep, FirstDetail;
    uint32_t FirstCode = 0;
};

// The CSP entry of one registry view, as DllInstall writes it.
void CheckProviderView(TDoctor& d, bool view64) {
    std::string step = std::string("provider (") + (view64 ? "64" : "32") + "-bit view)";
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProviderKey, 0,
                            KEY_QUERY_VALUE | (view64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY), &key);
    if (rc != ERROR_SUCCESS)
        return d.Fail(step, std::string("HKLM\\") + kProviderKey + " missing (lucsp install)",
                      static_cast<uint32_t>(rc));
    DWORD type = 0, provType = 0, len = sizeof(provType);
    char image[260] = {0};
    DWORD imageLen = sizeof(image) - 1;
    LONG rcType = RegQueryValueExA(key, "Type", nullptr, &type, reinterpret_cast<BYTE*>(&provType), &len);
    LONG rcImage =
        RegQueryValueExA(key, "Image Path", nullptr, &type, reinterpret_cast<BYTE*>(image), &imageLen);
    RegCloseKey(key);
    if (rcType != ERROR_SUCCESS || provType != 1)
        return d.Fail(step, "Type is not 1 (PROV_RSA_FULL)", LUCSP_ERROR_INVALID_DATA);
    if (rcImage != ERROR_SUCCESS || std::string(image) != kProviderImage)
        return d.Fail(step, "Image Path is [" + std::string(image) + "], not " + kProviderImage,
                      LUCSP_ERROR_INVALID_DATA);
    d.Pass(step, "Type=1, Image Path=" + std::string(image));
}

// The CNG registration of the key storage provider, as DllInstall makes it (64-bit view).
void CheckKspRegistration(TDoctor& d) {
    const char* step = "KSP registration";
    const std::string path = std::string(LU_CNG_PROVIDERS_KEY) + "\\" LU_PRODUCT_KSP_NAME "\\UM";
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
    if (rc != ERROR_SUCCESS && osIsWine())
        return d.Skip(step,
                      "Wine's bcrypt keeps no provider registration; the KSP test signature checks the DLL");
    if (rc != ERROR_SUCCESS)
        return d.Fail(step, "HKLM\\" + path + " missing (lucsp install)", static_cast<uint32_t>(rc));
    char image[260] = {0};
    DWORD type = 0, len = sizeof(image) - 1;
    rc = RegQueryValueExA(key, "Image", nullptr, &type, reinterpret_cast<BYTE*>(image), &len);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || std::string(image) != LU_PRODUCT_KSP_DLL)
        return d.Fail(step, "Image is [" + std::string(image) + "], not " LU_PRODUCT_KSP_DLL,
                      LUCSP_ERROR_INVALID_DATA);
    d.Pass(step, "Image=" + std::string(image));
}

std::string TimeText(const ASN1_TIME* t) {
    struct tm tm = {};
    if (!t || !ASN1_TIME_to_tm(t, &tm)) return "?";
    char buf[20];
    std::strftime(buf, sizeof(buf), "%Y-%m-%d", &tm);
    return buf;
}

// Whole days from now to t; negative once past.
int DaysUntil(const ASN1_TIME* t) {
    int days = 0, secs = 0;
    if (!t || !ASN1_TIME_diff(&days, &secs, nullptr, t)) return 0;
    return days - (days <= 0 && secs < 0 ? 1 : 0);
}

// The CA file names at least one PEM certificate, each within its validity. True when TLS may use it.
bool CheckCAFile(TDoctor& d, const std::string& caFile) {
    const char* step = "CA file";
    if (caFile.empty()) {
        d.Pass(step, "CNX_CAFile not set: the system's certificate store verifies the service");
        return true;
    }
    std::string path = osMapPath(caFile.c_str()), data;
    if (uint32_t code = lucspReadFile(path, data)) {
        d.Fail(step, "CNX_CAFile " + caFile + " cannot be read", code);
        return false;
    }
    std::unique_ptr<BIO, void (*)(BIO*)> bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())),
                                             BIO_free_all);
    int count = 0;
    std::string firstExpiry;
    int soonest = 0;
    while (X509* c = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        int days = DaysUntil(X509_get0_notAfter(c));
        bool started = X509_cmp_current_time(X509_get0_notBefore(c)) < 0;
        std::string expiry = TimeText(X509_get0_notAfter(c));
        X509_free(c);
        if (days < 0 || !started) {
            d.Fail(step,
                   caFile + ": certificate " + std::to_string(count + 1) +
                       (started ? " expired on " + expiry : " is not valid yet"),
                   LUCSP_CERT_E_EXPIRED);
            return false;
        }
        if (!count || days < soonest) {
            soonest = days;
            firstExpiry = expiry;
        }
        ++count;
    }
    if (!count) {
        d.Fail(step, caFile + " holds no PEM certificate", LUCSP_ERROR_INVALID_DATA);
        return false;
    }
    d.Pass(step, caFile + ": " + std::to_string(count) + " certificate(s), first expiry " + firstExpiry +
                     " (" + std::to_string(soonest) + " days)");
    return true;
}

// "name", "name:port", "[v6]:port" -> host and port (443 by default).
void SplitHostPort(const std::string& text, std::string& host, std::string& port) {
    port = "443";
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        host = text.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        if (close != std::string::npos && close + 1 < text.size() && text[close + 1] == ':')
            port = text.substr(close + 2);
        return;
    }
    size_t colon = text.find(':');
    host = text.substr(0, colon);
    if (colon != std::string::npos) port = text.substr(colon + 1);
}

// The code an application would see for a transfer failure, with curl's own words in the detail.
uint32_t CurlCode(int code) {
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return LUCSP_WSAHOST_NOT_FOUND;
    case CURLE_COULDNT_CONNECT:
        return LUCSP_WSAECONNREFUSED;
    case CURLE_OPERATION_TIMEDOUT:
        return LUCSP_WSAETIMEDOUT;
    case CURLE_PEER_FAILED_VERIFICATION:
        return LUCSP_CERT_E_UNTRUSTEDROOT;
    case CURLE_SSL_CONNECT_ERROR:
        return LUCSP_SEC_E_ILLEGAL_MESSAGE;
    default:
        return LUCSP_ERROR_FUNCTION_FAILED;
    }
}

std::string CurlText(int code, const char* detail) {
    std::string text = "curl " + std::to_string(code) + " " + curl_easy_strerror(static_cast<CURLcode>(code));
    if (detail && *detail) text += " (" + std::string(detail) + ")";
    return text;
}

bool CheckResolves(TDoctor& d, const std::string& step, const std::string& host) {
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) {
        d.Fail(step, host + " does not resolve", LUCSP_WSAHOST_NOT_FOUND);
        return false;
    }
    char text[64] = {0};
    getnameinfo(res->ai_addr, static_cast<socklen_t>(res->ai_addrlen), text, sizeof(text), nullptr, 0,
                NI_NUMERICHOST);
    freeaddrinfo(res);
    d.Pass(step, host + " is " + text);
    return true;
}

// TCP to the service, through the proxy's tunnel when there is one; TLS is left to the next step.
bool CheckTcp(TDoctor& d, const std::string& hostPort, const std::string& proxy, long timeoutMs) {
    std::string step = "TCP to " + hostPort;
    CURL* curl = curl_easy_init();
    if (!curl) {
        d.Fail(step, "curl_easy_init failed", LUCSP_ERROR_FUNCTION_FAILED);
        return false;
    }
    char errorText[CURL_ERROR_SIZE + 1] = {0};
    std::string url = "http://" + hostPort + "/";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    if (!proxy.empty()) {
        curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPPROXYTUNNEL, 1L);
    }
    CURLcode rc = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK) {
        d.Fail(step, CurlText(rc, errorText), CurlCode(rc));
        return false;
    }
    d.Pass(step, proxy.empty() ? "connected" : "connected through " + platProxyForTrace(proxy));
    return true;
}

// What the library would use, copied out of its settings table.
struct TServiceSettings {
    bool Usable = false;
    std::string ServiceHost, URL, CAFile, Proxy, ProxyUsed;
    long TimeoutMs = LU_CURL_DEFAULT_TIMEOUT_MS;
};

// Read the way the library reads them when it is loaded. The table is gone again before the library is:
// the tool holds its own copy of the library's classes.
TServiceSettings CheckSettings(TDoctor& d) {
    TServiceSettings out;
    TModAppConfig cfg;
    out.ServiceHost = cfg.ServiceHost;
    out.URL = cfg.URL_SignHash;
    out.CAFile = cfg.CNX_CAFile ? cfg.CNX_CAFile : "";
    out.Proxy = cfg.CNX_Proxy ? cfg.CNX_Proxy : "";
    if (cfg.CNX_TO_MS_HTTP_Request > 0) out.TimeoutMs = cfg.CNX_TO_MS_HTTP_Request;
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, LU_REG_BASE_PATH "\\Conex", 0,
                            KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key);
    if (rc == ERROR_SUCCESS) RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        d.Fail("settings", "HKLM\\" LU_REG_BASE_PATH "\\Conex cannot be read (32-bit view)",
               static_cast<uint32_t>(rc));
    } else if (out.URL.empty()) {
        d.Fail("settings",
               std::string("CNX_ServiceHost [") + (cfg.CNX_ServiceHost ? cfg.CNX_ServiceHost : "") +
                   "] is not a host name, address or host:port",
               LUCSP_ERROR_INVALID_DATA);
    } else if (!platProxyResolve(out.Proxy.c_str(), out.URL.c_str(), out.ProxyUsed)) {
        d.Fail("settings", "CNX_Proxy [" + platProxyForTrace(out.Proxy) + "] is not a proxy URL or DIRECT",
               LUCSP_ERROR_INVALID_DATA);
    } else {
        out.Usable = true;
        d.Pass("settings", "service https://" + out.ServiceHost + ", proxy " +
                               (out.ProxyUsed.empty() ? "none" : platProxyForTrace(out.ProxyUsed)) +
                               ", time limit " + std::to_string(out.TimeoutMs) + " ms");
    }
    // The registration export refuses every certificate while this holds anything else.
    std::string keyProvider = cfg.CSP_KeyProvider ? cfg.CSP_KeyProvider : "";
    for (char& ch : keyProvider)
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    if (keyProvider.empty() || keyProvider == "CSP" || keyProvider == "KSP")
        d.Pass("key provider", std::string("registered certificates name the ") +
                                   (keyProvider == "KSP" ? "KSP (" LU_PRODUCT_KSP_NAME ")"
                                                         : "CSP (" LU_PRODUCT_CSP_NAME ")"));
    else
        d.Fail("key provider",
               "CSP_KeyProvider [" + std::string(cfg.CSP_KeyProvider) +
                   "] is neither CSP nor KSP: every "
                   "registration is refused",
               LUCSP_NTE_BAD_PROV_TYPE);
    return out;
}

// TLS and one HTTP exchange through the library's own transport, with the CA and proxy it would use.
bool CheckTls(TDoctor& d, const TServiceSettings& cfg) {
    std::string step = "TLS to " + cfg.ServiceHost;
    TLibCurl curl;
    curl.TimeoutMs = cfg.TimeoutMs;
    curl.ConnectTimeoutMs = cfg.TimeoutMs;
    curl.Proxy = cfg.Proxy.c_str();
    TVarnoMemory answer;
    const char* caFile = cfg.CAFile.empty() ? nullptr : cfg.CAFile.c_str();
    if (!curl.Request(false, cfg.URL.c_str(), caFile, nullptr, &answer, nullptr)) {
        d.Fail(step, CurlText(curl.resultCurl, nullptr), CurlCode(curl.resultCurl));
        return false;
    }
    // Without a token the service refuses the request; that it answered over verified TLS is the point.
    d.Pass(step, std::string("certificate and host name verified (") +
                     (caFile ? "CNX_CAFile" : "system store") + "), HTTP " + std::to_string(curl.HttpStatus));
    return true;
}

struct TCandidate {
    std::string Serial;
    X509* Cert = nullptr; // owned by the list
};

// Every certificate of this provider in the personal store: validity, days left, token. The usable ones
// (valid, with a token) come back for the test signature.
std::vector<TCandidate> CheckCertificates(TDoctor& d, TListCertificate& list) {
    std::vector<TCandidate> usable;
    TCertificateStore store;
    SetLastError(0);
    if (!store.LoadCert(&list, "MY", LU_PRODUCT_CSP_NAME, LU_PRODUCT_KSP_NAME) &&
        GetLastError() != ERROR_FILE_NOT_FOUND) {
        DWORD code = GetLastError();
        d.Fail("certificates", "cannot read the personal store (MY)",
               code ? code : LUCSP_ERROR_FUNCTION_FAILED);
        return usable;
    }
    if (list.Count == 0) {
        d.Fail("certificates", "no certificate of this provider in the personal store (lucsp register)",
               LUCSP_NTE_NO_KEY);
        return usable;
    }
    for (uint32_t i = 0; i < list.Count; ++i) {
        TCertificate* c = list.Get(static_cast<int>(i));
        if (!c || !c->SerialNumber) continue;
        std::string step = std::string("certificate ") + c->SerialNumber;
        if (!c->x509Cert) {
            d.Fail(step, "the store's copy cannot be parsed", LUCSP_ERROR_INVALID_DATA);
            continue;
        }
        const ASN1_TIME* notAfter = X509_get0_notAfter(c->x509Cert);
        int days = DaysUntil(notAfter);
        if (X509_cmp_current_time(X509_get0_notBefore(c->x509Cert)) >= 0) {
            d.Fail(step, "not valid before " + TimeText(X509_get0_notBefore(c->x509Cert)),
                   LUCSP_CERT_E_EXPIRED);
            continue;
        }
        if (X509_cmp_current_time(notAfter) <= 0) {
            d.Fail(step, "expired on " + TimeText(notAfter), LUCSP_CERT_E_EXPIRED);
            continue;
        }
        if (!lucspHasToken(c->SerialNumber)) {
            d.Fail(step,
                   "no token under HKCU\\SOFTWARE\\Varno\\Trelis_Server\\" + std::string(c->SerialNumber) +
                       ", or one this user cannot open (lucsp register --token ...)",
                   LUCSP_SCARD_E_NO_SMARTCARD);
            continue;
        }
        d.Pass(step, "valid until " + TimeText(notAfter) + " (" + std::to_string(days) +
                         " days), token present, key provider " +
                         (std::strcmp(c->ProviderName, LU_PRODUCT_KSP_NAME) == 0 ? "KSP" : "CSP"));
        usable.push_back(TCandidate{c->SerialNumber, c->x509Cert});
    }
    return usable;
}

// OpenSSL's own check of a CryptoAPI signature (least significant byte first) over a SHA-256 value.
bool OpenSSLVerifies(X509* cert, const std::vector<uint8_t>& hash, std::vector<uint8_t> sig) {
    std::reverse(sig.begin(), sig.end());
    EVP_PKEY* key = X509_get0_pubkey(cert);
    std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> ctx(key ? EVP_PKEY_CTX_new(key, nullptr) : nullptr,
                                                               EVP_PKEY_CTX_free);
    return ctx && EVP_PKEY_verify_init(ctx.get()) > 0 &&
           EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) > 0 &&
           EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) > 0 &&
           EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), hash.data(), hash.size()) == 1;
}

void CheckSignature(TDoctor& d, TCommand& cmd, const TCandidate& c) {
    std::string step = "test signature";
    TCryptoClient client;
    if (uint32_t code = client.Open(cmd.LibraryPath()))
        return d.Fail(step, "cannot load the provider library " + client.LibraryPath(), code);
    const THashAlg& alg = lucspHashAlgs()[1];
    std::string text = "lucsp doctor " + std::to_string(static_cast<long long>(std::time(nullptr)));
    std::vector<uint8_t> hash(alg.Length);
    unsigned int len = 0;
    EVP_Digest(text.data(), text.size(), hash.data(), &len, alg.Md(), nullptr);
    TSession s(client);
    std::string context;
    uint32_t code = lucspOpenHash(s, c.Serial, alg, hash, context);
    DWORD sigLen = 0;
    std::vector<uint8_t> sig;
    if (!code) code = client.SignHash(s.Prov, s.Hash, AT_SIGNATURE, 0, nullptr, &sigLen);
    if (!code) {
        sig.assign(sigLen, 0);
        code = client.SignHash(s.Prov, s.Hash, AT_SIGNATURE, 0, sig.data(), &sigLen);
        sig.resize(sigLen);
    }
    if (!code) code = client.GetUserKey(s.Prov, AT_SIGNATURE, &s.Key);
    if (!code)
        code = client.VerifySignature(s.Prov, s.Hash, sig.data(), static_cast<DWORD>(sig.size()), s.Key, 0);
    if (code) {
        std::string failure = lucspFailureClass(code);
        return d.Fail(step,
                      client.FailedCall() + " failed (" + context + ")" +
                          (failure.empty() ? std::string() : "; " + failure),
                      code);
    }
    if (!OpenSSLVerifies(c.Cert, hash, sig))
        return d.Fail(step, "OpenSSL rejects the signature of container " + c.Serial,
                      LUCSP_NTE_BAD_SIGNATURE);
    d.Pass(step, std::to_string(sig.size() * 8) + "-bit SHA-256 signature of container " + c.Serial +
                     " verified by the provider and by OpenSSL");

    // The same container through the key storage provider, PSS (what CNG clients and TLS 1.3 ask for).
    step = "KSP test signature";
    TKspClient ksp;
    code = ksp.Open(client.LibraryPath());
    if (!code) code = ksp.Sign(c.Serial, "SHA256", hash, true, sig);
    if (code) return d.Fail(step, ksp.FailedCall() + " failed", code);
    std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> ctx(
        EVP_PKEY_CTX_new(X509_get0_pubkey(c.Cert), nullptr), EVP_PKEY_CTX_free);
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) != 1 ||
        EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), static_cast<int>(hash.size())) != 1 ||
        EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), hash.data(), hash.size()) != 1)
        return d.Fail(step, "OpenSSL rejects the PSS signature of container " + c.Serial,
                      LUCSP_NTE_BAD_SIGNATURE);
    d.Pass(step, std::to_string(sig.size() * 8) + "-bit SHA-256 PSS signature verified by OpenSSL");
}

int RunDoctor(TCommand& cmd) {
    TDoctor d(cmd);
    CheckProviderView(d, true);
    CheckProviderView(d, false);
    CheckKspRegistration(d);

    TServiceSettings cfg = CheckSettings(d);
    const std::string& proxy = cfg.ProxyUsed;
    bool settingsOk = cfg.Usable;
    long timeoutMs = cfg.TimeoutMs;

    bool caOk = CheckCAFile(d, cfg.CAFile);
    bool reachable = false;
    // The socket layer (WSAStartup on Windows) comes with libcurl's global set-up.
    curl_global_init(CURL_GLOBAL_ALL);
    if (settingsOk) {
        std::string host, port, proxyHost, proxyPort;
        SplitHostPort(cfg.ServiceHost, host, port);
        bool resolved;
        if (proxy.empty()) {
            resolved = CheckResolves(d, "service host resolves", host);
        } else {
            // Through a proxy the proxy resolves the service's name.
            std::string p = proxy.substr(proxy.find("://") == std::string::npos ? 0 : proxy.find("://") + 3);
            SplitHostPort(p.substr(p.rfind('@') == std::string::npos ? 0 : p.rfind('@') + 1), proxyHost,
                          proxyPort);
            resolved = CheckResolves(d, "proxy host resolves", proxyHost);
        }
        if (!resolved) {
            d.Skip("TCP and TLS", "the name does not resolve");
        } else if (CheckTcp(
                       d, host.find(':') != std::string::npos ? "[" + host + "]:" + port : host + ":" + port,
                       proxy, timeoutMs)) {
            if (caOk)
                reachable = CheckTls(d, cfg);
            else
                d.Skip("TLS", "the CA file is not usable");
        }
    } else {
        d.Skip("service host", "the settings are not usable");
    }

    TListCertificate list;
    std::vector<TCandidate> usable = CheckCertificates(d, list);
    std::string wanted = cmd.Args.Get("--container");
    if (!wanted.empty()) {
        for (char& ch : wanted)
            if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
        usable.erase(std::remove_if(usable.begin(), usable.end(),
                                    [&](const TCandidate& c) { return c.Serial != wanted; }),
                     usable.end());
    }
    if (cmd.Args.Has("--no-sign"))
        d.Skip("test signature", "--no-sign");
    else if (!reachable)
        d.Skip("test signature", "the service is not reachable");
    else if (usable.empty())
        d.Fail("test signature",
               wanted.empty() ? "no usable certificate"
                              : "container " + wanted + " is not a usable certificate",
               LUCSP_NTE_NO_KEY);
    else
        CheckSignature(d, cmd, usable.front());
    int result = d.Finish();
    curl_global_cleanup();
    return result;
}

} // namespace

void lucspAddDoctorCommands(std::vector<TCommandDef>& table) {
    table.push_back(TCommandDef{
        "doctor",
        "[--container SERIAL] [--no-sign]",
        "Check the installation step by step: registration, settings, CA file, service, certificates, a "
        "test signature.",
        {{"--container", "SERIAL",
          "make the test signature with this certificate (default: the first usable)"},
         {"--no-sign", nullptr, "leave the test signature out (it asks the service for one signature)"}},
        0,
        0,
        "One line per step: ok, FAIL (with the code an application would see) or skip. The steps:\n"
        "the provider's CSP entry in the 64-bit and the 32-bit registry view; the settings (the library's\n"
        "table, CNX_ServiceHost, CNX_Proxy); the CA file (CNX_CAFile: present, PEM, within its validity);\n"
        "the service host (or the proxy) resolves; TCP to the service (through the proxy's tunnel); TLS\n"
        "to it with the configured CA, through the library's own transport; the provider that\n"
        "registrations name (CSP_KeyProvider); each certificate of this provider in the personal store,\n"
        "named for the CSP or the KSP (validity, days to expiry, token); a SHA-256 test signature,\n"
        "verified by the provider and by OpenSSL. Exit status 0 only when no step failed.\n",
        RunDoctor,
        true});
}
