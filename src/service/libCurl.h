// One HTTP(S) request per call over libcurl's easy interface, the whole answer collected in memory.
// Requests of one object reuse its connection while the server keeps it open.
#pragma once

#include "platform/TVarnoMemory.h"
#include "platform/platProductNames.h"

#include <cstddef>
#include <cstdint>

class TPlatStringJSON;

typedef bool (*TLibCurlFuncRecv)(void* context, const void* data, size_t length);

// Limits of one request. The total time covers connect, TLS, upload and the whole answer.
#define LU_CURL_DEFAULT_TIMEOUT_MS 10000
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

    // A copy of wire-trace text (new text, free()) with the value of every "TokenPSC" header replaced
    // by a fixed mask; null when memory is short.
    static char* CopyMaskingToken(const char* data, size_t size);

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

  private:
    bool GlobalInit();
    bool globalReady;
    // One easy handle for all requests of this object: its connection to the service stays open
    // between requests (libcurl reconnects by itself when the server has closed it), which saves the
    // TCP and TLS handshakes of every signature.
    void* handleCurl;
};
