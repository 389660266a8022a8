#include "service/libCurl.h"

#include "os/platOS.h"
#include "platform/platProxy.h"
#include "platform/platStringJSON.h"
#include "platform/platTraceScope.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

namespace {

// The type of the previous wire-trace call, shared by all requests: titles are written on a change only.
std::atomic<int> gLastTraceType{-1};

const char kTokenHeaderName[] = "tokenpsc";
const char kTokenMask[] = "****";

// Case-insensitive prefix test against a lower-case ASCII name.
bool MatchesName(const char* text, const char* lowerName, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lowerName[i]) return false;
    }
    return true;
}

bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// The value of a "TokenPSC" header line, null for another header.
const char* TokenOfHeader(const char* header) {
    const size_t nameLen = sizeof(kTokenHeaderName) - 1;
    if (!header || strlen(header) < nameLen || !MatchesName(header, kTokenHeaderName, nameLen))
        return nullptr;
    const char* p = header + nameLen;
    while (*p == ' ' || *p == '\t')
        ++p;
    if (*p != ':') return nullptr;
    ++p;
    while (*p == ' ' || *p == '\t')
        ++p;
    return p;
}

// userp: the request's token, or null.
int web_traceFunc(CURL*, curl_infotype type, char* data, size_t size, void* userp) {
    const char* title = nullptr;
    bool lineEnd = false;
    switch (type) {
    case CURLINFO_HEADER_IN:
        title = "<= Recv header:\n";
        break;
    case CURLINFO_HEADER_OUT:
        title = "=> Send header\n";
        break;
    case CURLINFO_DATA_IN:
        title = "<= Recv data\n";
        lineEnd = true;
        break;
    case CURLINFO_DATA_OUT:
        title = "=> Send data\n";
        lineEnd = true;
        break;
    default:
        break;
    }
    int previous = gLastTraceType.exchange(static_cast<int>(type));
    if (type == CURLINFO_SSL_DATA_OUT) {
        TRACE_DUMP(DBINFO_U, "Send SSL data", data, static_cast<int>(size));
    } else if (type != CURLINFO_SSL_DATA_IN && type <= CURLINFO_DATA_OUT) {
        std::string text = TLibCurl::MaskToken(data, size, static_cast<const char*>(userp));
        if (title && previous != static_cast<int>(type)) TRACE(DBINFO_U, "%s", title);
        if (lineEnd)
            TRACE(DBINFO_U, "%s\n", text.c_str());
        else
            TRACE(DBINFO_U, "%s", text.c_str());
    }
    return 0;
}

size_t web_writeFunc(char* data, size_t size, size_t nmemb, void* userp) {
    size_t count = size * nmemb;
    TLibCurlRecv* recv = static_cast<TLibCurlRecv*>(userp);
    if (!recv) return count;
    bool keep = true;
    if (recv->FuncRecv) keep = recv->FuncRecv(recv->FuncRecvCtx, data, count);
    if (recv->dataRecv && keep && count > 0) {
        // An answer past the limit ends the transfer instead of growing without bound.
        if (static_cast<uint64_t>(recv->dataRecv->LenFileData) + count > recv->MaxRecvBytes) {
            recv->Overflow = true;
            return 0;
        }
        if (!recv->dataRecv->Add(data, static_cast<uint32_t>(count))) return 0;
    }
    return count;
}

// The request failed on a reused connection before any byte of an answer came.
bool DiedOnKeptConnection(CURL* curl, CURLcode code) {
    if (code != CURLE_SEND_ERROR && code != CURLE_RECV_ERROR && code != CURLE_GOT_NOTHING) return false;
    long connects = -1, headerBytes = -1;
    return curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connects) == CURLE_OK && connects == 0 &&
           curl_easy_getinfo(curl, CURLINFO_HEADER_SIZE, &headerBytes) == CURLE_OK && headerBytes == 0;
}

// On every way out of a request: the handle forgets the request's options (they point at its stack
// and buffers) but keeps its open connection for the next request; the header list is released.
struct TCurlEasyGuard {
    CURL* curl = nullptr;
    curl_slist* headers = nullptr;
    ~TCurlEasyGuard() {
        if (curl) curl_easy_reset(curl);
        if (headers) curl_slist_free_all(headers);
    }
};

// Every TLS context of the library: no key log, whatever the host's environment asks of libcurl (the
// TLS secrets would open the token on the wire).
CURLcode NoKeyLog(CURL*, void* sslctx, void*) {
    SSL_CTX_set_keylog_callback(static_cast<SSL_CTX*>(sslctx), nullptr);
    return CURLE_OK;
}

// The CA file's bytes, or null when it cannot be read.
std::shared_ptr<const std::string> ReadCaFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof()) return nullptr;
    return std::make_shared<const std::string>(std::move(bytes));
}

// The peer is verified on every path: the token must never go to an unproven server. Against the CA
// file when one is set (its kept bytes, or the file read now into caFile), else the system's store.
// Returns whether caFile came from the kept bytes.
bool SetTlsOptions(CURL* curl, TLibCurlShared* shared, const char* caName, const std::string& caPath,
                   std::shared_ptr<const std::string>& caFile) {
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    // Never a CA directory: libcurl's built-in one would add the system's CAs to those of the CA file,
    // and the token would go to any server one of them vouches for.
    curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, NoKeyLog);
    if (!caName) {
#ifdef _WIN32
        // libcurl over OpenSSL has no CA bundle of its own on Windows: use the system's store (read by
        // each new TLS connection; connections are kept, so not by every request).
        curl_easy_setopt(curl, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA));
#endif
        return false;
    }
    // The file is read by the first request of its setting that verifies the service; later ones hand
    // libcurl the kept bytes, from which each new TLS connection builds a store of its own. Connections
    // are reused only for the same bytes, so settings never share one.
    caFile = shared ? shared->TakeCaFile(caPath) : nullptr;
    bool caKept = caFile != nullptr;
    if (!caFile) caFile = ReadCaFile(caPath);
    if (caFile) {
        curl_blob blob{const_cast<char*>(caFile->data()), caFile->size(), CURL_BLOB_NOCOPY};
        curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &blob);
    } else {
        TRACE(DBERRO_0, "Falha ao ler a CA para verificar o Peer, FileName_CAPeer=[%s]\n", caName);
        curl_easy_setopt(curl, CURLOPT_CAINFO, caPath.c_str());
    }
    return caKept;
}

// Only the library's settings choose the route: libcurl would otherwise take https_proxy, all_proxy and
// no_proxy from the environment of whatever process hosts the library.
void SetProxy(CURL* curl, const std::string& proxy) {
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
    if (!proxy.empty()) {
        TRACE(DBINFO_0, "Proxy=[%s]\n", platProxyForTrace(proxy).c_str());
        curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPPROXYTUNNEL, 1L);
    } else {
        curl_easy_setopt(curl, CURLOPT_PROXY, "");
    }
}

// Limits, protocols and the wire trace (token masked).
void SetTransferOptions(CURL* curl, long timeout, long connectTimeout, const char* token) {
    // Time-outs by the clock, not by signals: the library runs inside other processes' threads.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // The shared connection cache keeps as many connections as threads may sign at once; libcurl's own
    // limit for one transfer (4) would close one after almost every parallel request and make the next
    // request open and handshake a new one.
    curl_easy_setopt(curl, CURLOPT_MAXCONNECTS, kLibCurlMaxConnects);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeout);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, connectTimeout);
    if (gPlatDebug && gPlatDebug->IsLevelOn(DBINFO_U)) {
        curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, web_traceFunc);
        curl_easy_setopt(curl, CURLOPT_DEBUGDATA, token);
        curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    } else {
        curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
    }
}

void SetBody(CURL* curl, bool IsPost, const TVarnoMemory* dataSend) {
    if (IsPost) {
        // A POST stays a POST also without a body.
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        if (dataSend && dataSend->LenFileData > 0) {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE,
                             static_cast<long>(strlen(reinterpret_cast<const char*>(dataSend->FileData))));
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, reinterpret_cast<const char*>(dataSend->FileData));
        } else {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, 0L);
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "");
        }
    } else if (dataSend && dataSend->LenFileData > 0) {
        TRACE(DBERRO_0, "IMPLEMENTAR AQUI A PASSAGEM DE PARAMETROS NA URL\n");
    }
}

// The caller's header line and the content type; false when the list cannot be made.
bool SetHeaders(CURL* curl, TCurlEasyGuard& easy, const char* headerText) {
    bool headersOk = true;
    if (headerText) headersOk = (easy.headers = curl_slist_append(easy.headers, headerText)) != nullptr;
    curl_slist* withType =
        headersOk ? curl_slist_append(easy.headers, "Content-Type: application/json") : nullptr;
    if (!withType) return false;
    easy.headers = withType;
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, easy.headers);
    return true;
}

// One resend policy: a request that dies on a kept connection before any byte of an answer (the service
// closes idle connections after a while, maybe just as the request goes out) is sent again on a new
// connection, and the signature succeeds. libcurl does so by itself when the connection dies after the
// request went out, but tries only five kept connections and then fails; with many parallel signers all
// of them can be closed at once. So the client tries once more on a connection of its own. The service
// signs the same block to the same result each time; its log may show such a block twice.
CURLcode PerformWithRetry(CURL* curl, const TLibCurlRecv& recv, const TVarnoMemory* dataRecv) {
    CURLcode code = curl_easy_perform(curl);
    if (DiedOnKeptConnection(curl, code) && !recv.Overflow && (!dataRecv || dataRecv->LenFileData == 0)) {
        TRACE(DBWARN_0, "Conexao mantida fechada pelo servidor, repetindo em nova conexao, resultCurl=[%d]\n",
              static_cast<int>(code));
        curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
        code = curl_easy_perform(curl);
    }
    return code;
}

} // namespace

struct TLibCurlSharedLocks {
    static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* userp) {
        static_cast<TLibCurlShared*>(userp)->DataLocks[static_cast<unsigned>(data) % 8].lock();
    }
    static void Unlock(CURL*, curl_lock_data data, void* userp) {
        static_cast<TLibCurlShared*>(userp)->DataLocks[static_cast<unsigned>(data) % 8].unlock();
    }
};

TLibCurlShared::TLibCurlShared() : ShareHandle(nullptr), ShareFailed(false) {}

TLibCurlShared::~TLibCurlShared() {
    // Closes the kept connections: libcurl's global state stays up until after that.
    if (ShareHandle) {
        curl_share_cleanup(static_cast<CURLSH*>(ShareHandle));
        curl_global_cleanup();
    }
}

void* TLibCurlShared::Share() {
    std::lock_guard<TOsLock> guard(Mutex);
    if (ShareHandle || ShareFailed) return ShareHandle;
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
        ShareFailed = true;
        return nullptr;
    }
    CURLSH* share = curl_share_init();
    bool ok = share &&
              curl_share_setopt(share, CURLSHOPT_LOCKFUNC, TLibCurlSharedLocks::Lock) == CURLSHE_OK &&
              curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, TLibCurlSharedLocks::Unlock) == CURLSHE_OK &&
              curl_share_setopt(share, CURLSHOPT_USERDATA, this) == CURLSHE_OK &&
              curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) == CURLSHE_OK &&
              curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK &&
              curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) == CURLSHE_OK;
    if (!ok) {
        // Each handle then keeps its own connection, as a handle without a share does.
        TRACE(DBERRO_0, "Falha ao criar o curl_share\n");
        if (share) curl_share_cleanup(share);
        curl_global_cleanup();
        ShareFailed = true;
        return nullptr;
    }
    ShareHandle = share;
    return ShareHandle;
}

std::shared_ptr<const std::string> TLibCurlShared::TakeCaFile(const std::string& caKey) {
    std::lock_guard<TOsLock> guard(Mutex);
    return CaBytes && CaKey == caKey ? CaBytes : nullptr;
}

void TLibCurlShared::KeepCaFile(const std::string& caKey, const std::shared_ptr<const std::string>& bytes) {
    std::lock_guard<TOsLock> guard(Mutex);
    if (CaBytes && CaKey == caKey) return;
    // A changed setting replaces the file of the old one.
    CaBytes = bytes;
    CaKey = caKey;
}

// Wire-trace text with the value of every "TokenPSC" header, to the end of its line whatever it holds,
// and every other occurrence of the token's text replaced by a fixed mask, so that the access token never
// reaches the trace file (HTTP/1 header lines, the "[name: value]" form of HTTP/2 and a service that
// echoes the token alike). The mask has a fixed length so that the token's length is not shown either.
std::string TLibCurl::MaskToken(const char* data, size_t size, const char* token) {
    const size_t nameLen = sizeof(kTokenHeaderName) - 1;
    const size_t tokenLen = token ? strlen(token) : 0;
    std::string out;
    out.reserve(size);
    size_t i = 0;
    while (i < size) {
        if (tokenLen > 0 && size - i >= tokenLen && memcmp(data + i, token, tokenLen) == 0) {
            out += kTokenMask;
            i += tokenLen;
            continue;
        }
        bool atName = i + nameLen <= size && MatchesName(data + i, kTokenHeaderName, nameLen) &&
                      (i == 0 || !IsNameChar(data[i - 1])) &&
                      (i + nameLen == size || !IsNameChar(data[i + nameLen]));
        if (!atName) {
            out += data[i++];
            continue;
        }
        out.append(data + i, nameLen);
        i += nameLen;
        while (i < size && (data[i] == ' ' || data[i] == '\t'))
            out += data[i++];
        if (i < size && data[i] == ':') {
            out += data[i++];
            while (i < size && (data[i] == ' ' || data[i] == '\t'))
                out += data[i++];
            size_t valueStart = i;
            while (i < size && data[i] != '\r' && data[i] != '\n' && data[i] != '\0')
                ++i;
            if (i > valueStart) out += kTokenMask;
        }
    }
    return out;
}

TLibCurl::TLibCurl()
    : resultCurl(CURLE_OK), FuncRecv(nullptr), FuncRecvCtx(nullptr), TimeoutMs(LU_CURL_DEFAULT_TIMEOUT_MS),
      ConnectTimeoutMs(LU_CURL_DEFAULT_TIMEOUT_MS), MaxRecvBytes(LU_CURL_MAX_RECV_BYTES), HttpStatus(0),
      UserAgent(nullptr), Proxy(nullptr), Shared(nullptr), globalReady(false), handleCurl(nullptr) {
    // libcurl's global set-up loads the TLS library and the socket layer; that must not run under the
    // loader lock, where this object is built, so it is done by the first request.
}

TLibCurl::~TLibCurl() {
    if (handleCurl) curl_easy_cleanup(static_cast<CURL*>(handleCurl));
    if (globalReady) curl_global_cleanup();
}

void* TLibCurl::NewHandle() {
    CURL* curl = curl_easy_init();
    void* share = curl && Shared ? Shared->Share() : nullptr;
    // Set once: the share survives curl_easy_reset, and setting it again would drop its connections.
    if (share) curl_easy_setopt(curl, CURLOPT_SHARE, share);
    return curl;
}

bool TLibCurl::GlobalInit() {
    if (globalReady) return true;
    resultCurl = curl_global_init(CURL_GLOBAL_ALL);
    if (resultCurl != CURLE_OK) {
        TRACE(DBERRO_0, "Erro curl_global_init, resultCurl=[%d][%s]\n", resultCurl,
              curl_easy_strerror(static_cast<CURLcode>(resultCurl)));
        return false;
    }
    globalReady = true;
    return true;
}

bool TLibCurl::CheckRequest(const char* URL, const char* headerText, std::string& proxy) {
    if (!URL || !*URL) {
        TRACE(DBERRO_0, "Parametro invalido, URL=[%p]\n", static_cast<const void*>(URL));
        return false;
    }
    if (!platProxyResolve(Proxy, URL, proxy)) {
        // A mistyped proxy must not send the request another way than the administrator chose.
        TRACE(DBERRO_0, "CNX_Proxy invalido, CNX_Proxy=[%s]\n", platProxyForTrace(Proxy).c_str());
        return false;
    }
    if (headerText && strpbrk(headerText, "\r\n")) {
        // One header line only: a line end would let the text add headers of its own.
        TRACE(DBERRO_0, "Header invalido, contem quebra de linha, URL=[%s]\n", URL);
        return false;
    }
    if (!GlobalInit() || (!handleCurl && !(handleCurl = NewHandle()))) {
        TRACE(DBERRO_0, "Erro curl_easy_init, resultCurl=[%d][%s] URL=[%s]\n", resultCurl,
              curl_easy_strerror(static_cast<CURLcode>(resultCurl)), URL);
        return false;
    }
    return true;
}

bool TLibCurl::Request(bool IsPost, const char* URL, const char* FileName_CAPeer, TVarnoMemory* Header,
                       TVarnoMemory* dataRecv, TVarnoMemory* dataSend) {
    TRACE_SCOPE(DBHEAD_L, Int,
                "<%s IsPost=[%d] URL=[%s], dataSend=[%p] dataRecv=[%p] FileName_CAPeer=[%p]>\n", LU_FN,
                IsPost ? 1 : 0, URL ? URL : "", static_cast<void*>(dataSend), static_cast<void*>(dataRecv),
                static_cast<const void*>(FileName_CAPeer));
    HttpStatus = 0;
    // Declared before the guard: the handle forgets the options that point at it first.
    std::shared_ptr<const std::string> caFile;
    TCurlEasyGuard easy;
    TLibCurlRecv recv{};
    char errorText[CURL_ERROR_SIZE + 1];
    errorText[0] = '\0';
    long timeout = TimeoutMs > 0 ? TimeoutMs : LU_CURL_DEFAULT_TIMEOUT_MS;
    long connectTimeout = ConnectTimeoutMs > 0 && ConnectTimeoutMs < timeout ? ConnectTimeoutMs : timeout;
    const char* headerText =
        Header && Header->LenFileData > 0 ? reinterpret_cast<const char*>(Header->FileData) : nullptr;
    std::string proxy;
    if (!CheckRequest(URL, headerText, proxy)) TRACE_RETURN(false);
    if (FileName_CAPeer && !osIsFile(FileName_CAPeer)) {
        TRACE(DBERRO_0, "Não foi possivel encontrar a CA para verificar o Peer, FileName_CAPeer=[%s]\n",
              FileName_CAPeer);
        TRACE_RETURN(false);
    }
    CURL* curl = static_cast<CURL*>(handleCurl);
    easy.curl = curl;
    std::string caPath = FileName_CAPeer ? osMapPath(FileName_CAPeer) : std::string();
    bool caKept = SetTlsOptions(curl, Shared, FileName_CAPeer, caPath, caFile);
    SetProxy(curl, proxy);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    SetTransferOptions(curl, timeout, connectTimeout, TokenOfHeader(headerText));
    SetBody(curl, IsPost, dataSend);
    if (!SetHeaders(curl, easy, headerText)) {
        TRACE(DBERRO_0, "Falha ao montar o header, URL=[%s]\n", URL);
        TRACE_RETURN(false);
    }
    recv.dataRecv = dataRecv;
    recv.FuncRecv = FuncRecv;
    recv.FuncRecvCtx = FuncRecvCtx;
    recv.MaxRecvBytes = MaxRecvBytes;
    if (dataRecv) dataRecv->Clear();
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, web_writeFunc);
    // Without a target the answer is read and dropped rather than written to stdout.
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, dataRecv ? static_cast<void*>(&recv) : nullptr);
    curl_easy_setopt(curl, CURLOPT_URL, URL);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, UserAgent ? UserAgent : LU_CURL_USER_AGENT);
    resultCurl = PerformWithRetry(curl, recv, dataRecv);
    if (resultCurl != CURLE_OK) {
        if (recv.Overflow)
            TRACE(DBERRO_0, "Resposta maior que o limite, MaxRecvBytes=[%u] URL=[%s]\n", MaxRecvBytes, URL);
        TRACE(DBERRO_0, "Erro curl_easy_perform, resultCurl=[%d][%s] URL=[%s]\n", resultCurl,
              curl_easy_strerror(static_cast<CURLcode>(resultCurl)), URL);
        if (errorText[0])
            TRACE(DBERRO_0, "Detalhe curl: [%s]\n",
                  MaskToken(errorText, strlen(errorText), TokenOfHeader(headerText)).c_str());
        if (dataRecv) dataRecv->Clear();
        TRACE_RETURN(false);
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &HttpStatus);
    // Kept only once it verified the service: a file that failed is read again next time.
    if (Shared && caFile && !caKept) Shared->KeepCaFile(caPath, caFile);
    // The body is text for the callers: one terminator byte after the server's last byte.
    if (dataRecv) {
        BYTE zero = 0;
        dataRecv->Add(&zero, 1);
    }
    TRACE_RETURN(true);
}

bool TLibCurl::Request(bool IsPost, const char* URL, const char* FileName_CAPeer, TVarnoMemory* Header,
                       TPlatStringJSON* dataRecv, TVarnoMemory* dataSend) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s dataSend=[%p] dataRecv=[%p]>\n", LU_FN, static_cast<void*>(dataSend),
                static_cast<void*>(dataRecv));
    TVarnoMemory received;
    bool result = Request(IsPost, URL, FileName_CAPeer, Header, &received, dataSend);
    if (!result || !dataRecv) TRACE_RETURN(result);
    TRACE_RETURN(dataRecv->LoadFromMemory(reinterpret_cast<const char*>(received.FileData)) != 0);
}
