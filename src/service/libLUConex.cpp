#include "service/libLUConex.h"

#include "platform/platDebug.h"
#include "platform/platTraceScope.h"
#include "platform/platRotPadroes.h"
#include "platform/platProductNames.h"
#include "platform/platStringJSON.h"
#include "service/libDataEncryptDecrypt.h"
#include "service/luAppConfig.h"

#include <cstring>

namespace {

// Transfer handles kept between requests: as many as a signing server's workers sign at once (64); a
// handle made afresh for each request costs its set-up and, past the cache, a new TLS connection.
const size_t kCurlPoolKeep = 64;

// Standard Base64 on one line: the alphabet, "=" padding only at the end, whole quanta.
bool IsBase64Text(const char* text) {
    if (!text) return false;
    size_t len = strlen(text);
    if (len == 0 || len % 4 != 0) return false;
    size_t padding = 0;
    for (size_t i = 0; i < len; ++i) {
        char c = text[i];
        bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                     c == '/';
        if (c == '=') {
            ++padding;
        } else if (!alpha || padding > 0) {
            return false;
        }
    }
    return padding <= 2;
}

// Wipes a buffer that held the token before it is released.
void WipeMemory(TVarnoMemory& buff) {
    if (buff.FileData && buff.LenFileData) memset(buff.FileData, 0, buff.LenFileData);
    buff.Clear();
}

} // namespace

// ---------------------------------------------------------------------------------------------------
// TLUConexToken

TLUConexToken::TLUConexToken() : Token(nullptr), Valid(false) {
    memset(TokenCopy, 0, sizeof(TokenCopy));
    Clear();
}

TLUConexToken::~TLUConexToken() {
    Clear();
}

void TLUConexToken::Clear() {
    SecureZero(TokenCopy, sizeof(TokenCopy));
    Token = nullptr;
    Valid = false;
}

bool TLUConexToken::SetToken(const char* newToken) {
    Clear();
    if (!newToken) return false;
    size_t len = strnlen(newToken, sizeof(TokenCopy));
    if (!platTokenIsUsable(newToken, len)) return false;
    memcpy(TokenCopy, newToken, len);
    TokenCopy[len] = '\0';
    Token = TokenCopy;
    Valid = true;
    return true;
}

// ---------------------------------------------------------------------------------------------------
// TLUConex

const char TLUConex::MsgErroDefault[] = "Ocorreu um erro interno. Tente novamente.";

TLUConex::TLUConex()
    : FuncUpdateState(nullptr), FuncUpdateStateCtx(nullptr), Request_CodErro(0), Request_MsgErro(nullptr),
      URL_SignHash(nullptr), FileName_CAPeer(nullptr), TimeoutMs(0) {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
}

TLUConex::~TLUConex() {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    Request_Clear();
    // The handles go before the share they use.
    CurlPool.clear();
}

bool TLUConex::Request_Clear() {
    TPlatLockGuard guard(Mutex);
    Request_CodErro = 0;
    Request_MsgErro = TLUConex::MsgErroDefault;
    return true;
}

void TLUConex::Request_Finished(int codErro) {
    TPlatLockGuard guard(Mutex);
    Request_CodErro = codErro;
    Request_MsgErro = TLUConex::MsgErroDefault;
}

std::unique_ptr<TLibCurl> TLUConex::TakeCurl() {
    {
        TPlatLockGuard guard(Mutex);
        if (!CurlPool.empty()) {
            std::unique_ptr<TLibCurl> curl = std::move(CurlPool.back());
            CurlPool.pop_back();
            return curl;
        }
    }
    std::unique_ptr<TLibCurl> curl(new TLibCurl());
    curl->Shared = &Shared;
    return curl;
}

void TLUConex::GiveBackCurl(std::unique_ptr<TLibCurl> curl) {
    TPlatLockGuard guard(Mutex);
    // The handles of a burst of threads beyond this are closed; their connections stay in the share.
    if (CurlPool.size() < kCurlPoolKeep) CurlPool.push_back(std::move(curl));
}

TLibWebSocket& TLUConex::WebSocket() {
    TPlatLockGuard guard(Mutex);
    if (!WebSocketShell) WebSocketShell.reset(new TLibWebSocket());
    return *WebSocketShell;
}

bool TLUConex::ResolveEndpoint(const char*& url, const char*& caFile, long& timeoutMs) {
    url = URL_SignHash;
    caFile = FileName_CAPeer;
    timeoutMs = TimeoutMs;
    TModAppConfig* config = gModAppConfig;
    if (config) {
        if (!url) url = config->URL_SignHash;
        if (!caFile && config->CNX_CAFile && config->CNX_CAFile[0]) caFile = config->CNX_CAFile;
        if (timeoutMs <= 0) timeoutMs = config->CNX_TO_MS_HTTP_Request;
    }
    if (timeoutMs <= 0) timeoutMs = LU_CURL_DEFAULT_TIMEOUT_MS;
    return url && *url;
}

bool TLUConex::Answer_Read(const TVarnoMemory& received, TDataEncryptDecrypt* last, const char* token) {
    TPlatStringJSON answer, element;
    if (!last) return false;
    // A value of the answer as the trace may show it: a service could echo the token.
    auto shown = [token](const char* value) { return TLibCurl::MaskToken(value, strlen(value), token); };
    if (!answer.LoadFromMemory(reinterpret_cast<const char*>(received.FileData))) {
        TRACE(DBERRO_0, "Resposta da URL_SignHash não é um JSON valido, LenFileData=[%d]\n",
              static_cast<int>(received.LenFileData));
        return false;
    }
    {
        const char* signatures = answer.GetValue("signatures");
        if (!signatures) {
            TRACE(DBERRO_0, "Não foram encontradas as informações das 'signatures' da URL_SignHash\n");
            return false;
        }
        // Only the first element is read: one block is sent per request.
        if (!strchr(signatures, '{') || !element.LoadFromMemory(signatures, '{')) {
            TRACE(DBERRO_0, "Não foi possivel fazer o parse das 'signatures' da URL_SignHash\n");
            return false;
        }
    }
    for (int i = 0; i < element.GetQtdArray(); ++i) {
        const char* valID = element.GetValue(i, "id");
        const char* valRawSignature = element.GetValue(i, "rawSignature");
        if (!valID || !valRawSignature) {
            TRACE(DBERRO_0, "Não foi encontrado objetos esperados, valID=[%p], valRawSignature=[%p]\n",
                  static_cast<const void*>(valID), static_cast<const void*>(valRawSignature));
            return false;
        }
        if (last->IsSigned) {
            TRACE(DBERRO_0, "Objeto HashSID=[%s] já foi assinado, lista duplicada\n", shown(valID).c_str());
            return false;
        }
        if (!IsBase64Text(valRawSignature)) {
            TRACE(DBERRO_0, "rawSignature não é Base64 valido, id=[%s] rawSignature=[%.64s]\n",
                  shown(valID).c_str(), shown(valRawSignature).c_str());
            return false;
        }
        if (!last->LoadDataResultBase64(valRawSignature)) return false;
        // The raw RSA result has exactly the length of the block that was sent.
        if (last->DataResult.LenFileData != last->DataValuePadded.LenFileData) {
            TRACE(DBERRO_0, "Tamanho da rawSignature invalido, id=[%s] LenFileData=[%d] esperado=[%d]\n",
                  shown(valID).c_str(), static_cast<int>(last->DataResult.LenFileData),
                  static_cast<int>(last->DataValuePadded.LenFileData));
            last->ClearSignature();
            return false;
        }
        last->IsSigned = true;
    }
    return true;
}

bool TLUConex::Request_EncryptDecrypt(TDataEncryptDecrypt* HashToSign, const char* SerialNumber,
                                      const char* Token, bool IsEncrypt, const char* HashAlias, int* CodErro,
                                      TLUFailure* Failure) {
    TListSignHash listSignHash;
    listSignHash.ClearInDestroy = false;
    if (HashToSign && !listSignHash.Add(HashToSign)) {
        TRACE(DBERRO_0, "Falha ao adicionar HashToSign=[%p] na listSignHash\n",
              static_cast<void*>(HashToSign));
        return false;
    }
    return Request_EncryptDecrypt(&listSignHash, SerialNumber, Token, IsEncrypt, HashAlias, CodErro, Failure);
}

// One request's state from its checks to its answer.
struct TLUConex::TExchange {
    int CodErro = 0;
    // Until the request goes out, a failure is ours or the configuration's: nothing reached the service.
    TLUFailure Failure = TLUFailure::Unreachable;
    std::unique_ptr<TLibCurl> Curl;
    TVarnoMemory Header, Body, Received;
    TLUConexToken TokenSign;
    TDataEncryptDecrypt* Last = nullptr;
    const char* Url = nullptr;
    const char* CaFile = nullptr;
    long TimeoutMs = 0;
};

bool TLUConex::Request_EncryptDecrypt(TListSignHash* listSignHash, const char* SerialNumber,
                                      const char* Token, bool IsEncrypt, const char* HashAlias, int* CodErro,
                                      TLUFailure* Failure) {
    TRACE_SCOPE(DBHEAD_0, Int, "<%s listSignHash=[%p] IsEncrypt=[%d] HashAlias=[%p]>\n", LU_FN,
                static_cast<void*>(listSignHash), IsEncrypt ? 1 : 0, static_cast<const void*>(HashAlias));
    TRACE(DBINFO_0, "SerialNumber=[%s]\n", SerialNumber ? SerialNumber : "");
    TExchange exchange;
    bool result = Exchange(listSignHash, Token, HashAlias, exchange);
    // A failed request never leaves a result behind.
    if (!result && listSignHash) listSignHash->ClearSignature();
    WipeMemory(exchange.Header);
    if (exchange.Curl) GiveBackCurl(std::move(exchange.Curl));
    Request_Finished(exchange.CodErro);
    if (CodErro) *CodErro = exchange.CodErro;
    if (Failure) *Failure = result ? TLUFailure::None : exchange.Failure;
    TRACE_RETURN(result);
}

bool TLUConex::Exchange(TListSignHash* listSignHash, const char* Token, const char* HashAlias,
                        TExchange& exchange) {
    if (!listSignHash || !HashAlias) {
        TRACE(DBERRO_0, "Parametros Invalidos, listSignHash=[%p] HashAlias=[%p]\n",
              static_cast<void*>(listSignHash), static_cast<const void*>(HashAlias));
        return false;
    }
    TRACE(DBINFO_0, "HashAlias=[%s]\n", HashAlias);
    listSignHash->ClearSignature();
    if (!exchange.TokenSign.SetToken(Token)) {
        TRACE(DBERRO_0, "Erro ao Verificar o TOKEN\n");
        exchange.Failure = TLUFailure::NoToken;
        return false;
    }
    if (listSignHash->Count() <= 0) {
        TRACE(DBERRO_0, "Não foi encontrado nenhuma item na listSignHash->Count()=[%d]\n",
              listSignHash->Count());
        return false;
    }
    if (!ResolveEndpoint(exchange.Url, exchange.CaFile, exchange.TimeoutMs)) {
        TRACE(DBERRO_0, "URL_SignHash não configurada\n");
        return false;
    }
    // The token never travels in clear text.
    if (strncmp(exchange.Url, "https://", 8) != 0) {
        TRACE(DBERRO_0, "URL_SignHash deve usar https, URL_SignHash=[%s]\n", exchange.Url);
        return false;
    }
    if (!ComposeRequest(listSignHash, exchange) || !SendRequest(exchange)) return false;
    exchange.Failure = TLUFailure::AnswerUnusable;
    if (!Answer_Read(exchange.Received, exchange.Last, exchange.TokenSign.Token)) return false;
    if (!exchange.Last || !exchange.Last->IsSigned) {
        TRACE(DBERRO_0, "Nenhuma assinatura recebida da URL_SignHash\n");
        return false;
    }
    return true;
}

bool TLUConex::ComposeRequest(TListSignHash* listSignHash, TExchange& exchange) {
    TRACE(DBINFO_0, "Gerando pacote a ser assinado, listSignHash->Count=[%d]\n", listSignHash->Count());
    for (int count = 0; count < listSignHash->Count(); ++count) {
        TDataEncryptDecrypt* signHashAtual = listSignHash->Get(count);
        if (!signHashAtual) {
            TRACE(DBERRO_0, "Falha ao recuperar signHashAtual=[%p] count=[%d]\n",
                  static_cast<void*>(signHashAtual), count);
            return false;
        }
        if (!signHashAtual->ComputeHashID(count)) {
            TRACE(DBERRO_0, "Falha na ComputeHashID\n");
            return false;
        }
        TRACE(DBINFO_0, "Adicionando count=[%d] id=[%s]\n", count,
              signHashAtual->HashID.FileData ? reinterpret_cast<const char*>(signHashAtual->HashID.FileData)
                                             : "");
        if (!exchange.Body.AddFormat(
                "\"%s\"", signHashAtual->DataValueBase64.FileData
                              ? reinterpret_cast<const char*>(signHashAtual->DataValueBase64.FileData)
                              : "")) {
            TRACE(DBERRO_0, "Falha ao montar o pacote, count=[%d]\n", count);
            return false;
        }
        exchange.Last = signHashAtual;
    }
    if (!exchange.Header.AddFormat("TokenPSC: %s", exchange.TokenSign.Token)) {
        TRACE(DBERRO_0, "Falha ao montar o header TokenPSC\n");
        return false;
    }
    return true;
}

bool TLUConex::SendRequest(TExchange& exchange) {
    exchange.Curl = TakeCurl();
    TLibCurl* curl = exchange.Curl.get();
    curl->TimeoutMs = exchange.TimeoutMs;
    curl->ConnectTimeoutMs = exchange.TimeoutMs;
    curl->UserAgent = LU_PRODUCT_APP_NAME_SHOW;
    curl->Proxy = gModAppConfig ? gModAppConfig->CNX_Proxy : nullptr;
    if (!curl->Request(true, exchange.Url, exchange.CaFile, &exchange.Header, &exchange.Received,
                       &exchange.Body)) {
        TRACE(DBERRO_0, "Falha na requisição da URL_SignHash=[%s], resultCurl=[%d]\n", exchange.Url,
              curl->resultCurl);
        return false;
    }
    // Only a success status carries signatures; the status names the cause better than the body would.
    if (curl->HttpStatus < 200 || curl->HttpStatus > 299) {
        exchange.CodErro = static_cast<int>(curl->HttpStatus);
        exchange.Failure = exchange.CodErro == 401 || exchange.CodErro == 403 ? TLUFailure::TokenRefused
                                                                              : TLUFailure::ServiceFailed;
        TRACE(DBERRO_0, "Resposta HTTP invalida da URL_SignHash, HttpStatus=[%ld]\n", curl->HttpStatus);
        return false;
    }
    return true;
}
