// Client of the remote signing service: the private-key operation is one HTTPS POST of the padded
// block(s) with the access token, answered by the raw RSA result(s). The client keeps no token: every
// request is given the serial number and token it is made for.
#pragma once

#include "platform/platMutex.h"
#include "platform/platToken.h"
#include "service/libCurl.h"
#include "service/libListSignHash.h"
#include "service/shells/libWebSocket.h"
#include "service/luFailure.h"

#include <memory>
#include <vector>

class TDataEncryptDecrypt;

// The access token of one request, checked and copied before it goes into a header line.
class TLUConexToken {
  public:
    TLUConexToken();
    ~TLUConexToken();
    TLUConexToken(const TLUConexToken&) = delete;
    TLUConexToken& operator=(const TLUConexToken&) = delete;

    // Forgets the token (the copy is wiped); Token becomes null, Valid false.
    void Clear();
    // Copies the token and marks it valid. Refused (and left cleared): null, empty, LU_TOKEN_SIZE bytes
    // or longer, or holding control characters, which would break the header line.
    bool SetToken(const char* newToken);

    const char* Token;
    bool Valid;

  private:
    char TokenCopy[LU_TOKEN_SIZE];
};

// State callback of the owner; the sign request never calls it.
typedef bool (*TLUConexFuncUpdateState)(void* context, int state, void* a, void* b);

class TLUConex {
  public:
    TLUConex();
    ~TLUConex();
    TLUConex(const TLUConex&) = delete;
    TLUConex& operator=(const TLUConex&) = delete;

    bool Request_Clear();
    // Signs every block of the list for the certificate SerialNumber (traced only) with its Token; on
    // success the last item's DataResult holds the service's answer.
    // Threads may call it at the same time: each request takes a transfer handle of its own from the
    // pool. CodErro (when given) receives this request's error code (the HTTP status of a refused one).
    // Failure (when given) receives why a failed request brought no signature.
    bool Request_EncryptDecrypt(TListSignHash* listSignHash, const char* SerialNumber, const char* Token,
                                bool IsEncrypt, const char* HashAlias, int* CodErro = nullptr,
                                TLUFailure* Failure = nullptr);
    bool Request_EncryptDecrypt(TDataEncryptDecrypt* HashToSign, const char* SerialNumber, const char* Token,
                                bool IsEncrypt, const char* HashAlias, int* CodErro = nullptr,
                                TLUFailure* Failure = nullptr);

    // The push-notification shell, made on first use: no socket layer is started before that.
    TLibWebSocket& WebSocket();

    // Reads the body of a successful answer into last's DataResult: the first element of "signatures",
    // its Base64 "rawSignature" of the block's length; last->IsSigned then. False with a trace line
    // otherwise (the caller clears what was left); the text of token is masked in what it traces.
    static bool Answer_Read(const TVarnoMemory& received, TDataEncryptDecrypt* last,
                            const char* token = nullptr);

    TLUConexFuncUpdateState FuncUpdateState;
    void* FuncUpdateStateCtx;
    // The message of every failed request.
    static const char MsgErroDefault[];
    // Error of the request that ended last, whichever thread made it (written under the lock).
    int Request_CodErro;
    const char* Request_MsgErro;

    // Endpoint of the requests. Null / 0: the process configuration (URL_SignHash, CNX_CAFile,
    // CNX_TO_MS_HTTP_Request). Set by tools and tests that talk to a service of their own.
    const char* URL_SignHash;
    const char* FileName_CAPeer;
    long TimeoutMs;

  private:
    struct TExchange;
    // The steps of one request, each false with a trace line at the first thing that fails (exchange's
    // Failure says why): the checks, then the body and header, the POST, and the answer read.
    bool Exchange(TListSignHash* listSignHash, const char* Token, const char* HashAlias, TExchange& exchange);
    bool ComposeRequest(TListSignHash* listSignHash, TExchange& exchange);
    bool SendRequest(TExchange& exchange);
    bool ResolveEndpoint(const char*& url, const char*& caFile, long& timeoutMs);
    // A transfer handle for one request (from the pool, or a new one), and back into the pool after it.
    std::unique_ptr<TLibCurl> TakeCurl();
    void GiveBackCurl(std::unique_ptr<TLibCurl> curl);
    void Request_Finished(int codErro);

    // Guards the pool, the last error and the shell; never held during a request.
    TPlatMutex Mutex;
    // Connections, TLS sessions, DNS answers and the CA file of all transfer handles: declared before the
    // pool, so that it outlives every handle that uses it.
    TLibCurlShared Shared;
    std::vector<std::unique_ptr<TLibCurl>> CurlPool;
    std::unique_ptr<TLibWebSocket> WebSocketShell;
};
