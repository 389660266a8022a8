// One HTTP(S) request per call over libcurl's easy interface, the whole answer collected in memory.
// Requests of one object reuse its connection while the server keeps it open.
#pragma once

#include "os/osLock.h"
#include "platform/TVarnoMemory.h"
#include "platform/platProductNames.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class TPlatStringJSON;

typedef bool (*TLibCurlFuncRecv)(void* context, const void* data, size_t length);

// Limits of one request. The total time covers connect, TLS, upload and the whole answer.
#define LU_CURL_DEFAULT_TIMEOUT_MS 10000
// Connections the shared cache keeps open to the service: room for every thread that signs at once.
constexpr long kLibCurlMaxConnects = 72;
#define LU_CURL_MAX_RECV_BYTES (1024u * 1024u)
// Used when no user agent is given: the application show name.
#define LU_CURL_USER_AGENT LU_PRODUCT_APP_NAME_SHOW

// What the write callback of one transfer works with.
struct TLibCurlRecv {
    TVarnoMemory* dataRecv;
    TLibCurlFuncRecv FuncRecv;
    void* FuncRecvCtx;
    uint32_t MaxRecvBytes;
    bool Overflow;
};

// What the transfer handles of one owner share, so that threads sign in parallel over the same kept-
// alive connections: libcurl's share object (connections, TLS sessions, DNS answers) and the bytes of the
// last CA setting's file, read once and handed to every new TLS connection, which builds a store of its
// own from them (a store shared between connections would be changed by each new one while others verify).
class TLibCurlShared {
  public:
    TLibCurlShared();
    ~TLibCurlShared();
    TLibCurlShared(const TLibCurlShared&) = delete;
    TLibCurlShared& operator=(const TLibCurlShared&) = delete;

    // libcurl's share object, made on first use; null when it cannot be made.
    void* Share();
    // The kept bytes of the CA file caKey (its mapped path), or null when none are kept yet.
    std::shared_ptr<const std::string> TakeCaFile(const std::string& caKey);
    // Keeps bytes as the CA file of caKey, unless some are already kept for it.
    void KeepCaFile(const std::string& caKey, const std::shared_ptr<const std::string>& bytes);

  private:
    friend struct TLibCurlSharedLocks;
    TOsLock Mutex;
    void* ShareHandle;
    bool ShareFailed;
    std::string CaKey;
    std::shared_ptr<const std::string> CaBytes;
    // One lock per kind of shared data (libcurl locks each kind apart).
    TOsLock DataLocks[8];
};

class TLibCurl {
  public:
    TLibCurl();
    ~TLibCurl();
    TLibCurl(const TLibCurl&) = delete;
    TLibCurl& operator=(const TLibCurl&) = delete;

    // The peer is always verified: against FileName_CAPeer when given, else against the system's CA
    // store. Header is one extra header line (no line end). The body of dataSend is sent as text.
    bool Request(bool IsPost, const char* URL, const char* FileName_CAPeer, TVarnoMemory* Header,
                 TVarnoMemory* dataRecv, TVarnoMemory* dataSend);
    // The same, with the answer parsed as JSON into dataRecv.
    bool Request(bool IsPost, const char* URL, const char* FileName_CAPeer, TVarnoMemory* Header,
                 TPlatStringJSON* dataRecv, TVarnoMemory* dataSend);

    // Text for the trace with the value of every "TokenPSC" header (to the end of its line) and every
    // occurrence of token (when given) replaced by a fixed mask.
    static std::string MaskToken(const char* data, size_t size, const char* token);

    int resultCurl;
    TLibCurlFuncRecv FuncRecv;
    void* FuncRecvCtx;

    // Total time limit of a request and the connect limit inside it (never longer than the total).
    long TimeoutMs;
    long ConnectTimeoutMs;
    uint32_t MaxRecvBytes;
    // HTTP status of the last completed transfer, 0 when none completed.
    long HttpStatus;
    // Sent as User-Agent; LU_CURL_USER_AGENT when null. Not owned.
    const char* UserAgent;
    // The proxy ("CNX_Proxy"): a proxy URL, or "DIRECT" for none; null or empty: the system's proxy
    // settings. HTTPS goes through it as a CONNECT tunnel, verified end to end. Not owned.
    const char* Proxy;
    // When set (before the first request): connections, TLS sessions and CA file shared with the other
    // handles of the same owner. Not owned; it must outlive this object.
    TLibCurlShared* Shared;

  private:
    bool GlobalInit();
    void* NewHandle();
    // The request can go out: a URL, a valid proxy setting, one header line, a handle. False with a
    // trace line otherwise.
    bool CheckRequest(const char* URL, const char* headerText, std::string& proxy);
    bool globalReady;
    // One easy handle for all requests of this object: its connection to the service stays open
    // between requests (libcurl reconnects by itself when the server has closed it), which saves the
    // TCP and TLS handshakes of every signature.
    void* handleCurl;
};
