#include "RefSigningService.h"

#include "RefJson.h"

#include <httplib.h>
#include <openssl/x509.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <limits>
#include <list>
#include <memory>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

struct TFaultName {
    TRefFaultMode Mode;
    const char* Name;
};
const TFaultName kFaultNames[] = {
    {TRefFaultMode::None, "none"},
    {TRefFaultMode::Delay, "delay"},
    {TRefFaultMode::Http500Html, "http500"},
    {TRefFaultMode::NoSignatures, "nosignatures"},
    {TRefFaultMode::EmptyArray, "emptyarray"},
    {TRefFaultMode::BadBase64, "badbase64"},
    {TRefFaultMode::ShortSignature, "shortsig"},
    {TRefFaultMode::NoRawSignature, "norawsig"},
    {TRefFaultMode::SlashEscape, "slashescape"},
    {TRefFaultMode::TwoElements, "twoelements"},
    {TRefFaultMode::Truncated, "truncated"},
    {TRefFaultMode::Pretty, "pretty"},
    {TRefFaultMode::WrongSignature, "wrongsig"},
    {TRefFaultMode::EchoToken, "echotoken"},
};

const unsigned kMaxDelayMs = 10 * 60 * 1000;

// A thread per connection: a client's kept-alive connections are served side by side however many it
// opens, so that clients signing in parallel are not queued behind a fixed pool.
class TThreadPerConnection : public httplib::TaskQueue {
  public:
    ~TThreadPerConnection() override { shutdown(); }

    void enqueue(std::function<void()> fn) override {
        std::lock_guard<std::mutex> g(Lock);
        Reap();
        auto done = std::make_shared<std::atomic<bool>>(false);
        Workers.push_back({std::thread([fn = std::move(fn), done] {
                               fn();
                               *done = true;
                           }),
                           done});
    }

    // Called once the accept loop has ended: the open connections finish their keep-alive wait.
    void shutdown() override {
        std::list<TWorker> all;
        {
            std::lock_guard<std::mutex> g(Lock);
            all.swap(Workers);
        }
        for (auto& w : all)
            if (w.Thread.joinable()) w.Thread.join();
    }

  private:
    struct TWorker {
        std::thread Thread;
        std::shared_ptr<std::atomic<bool>> Done;
    };

    void Reap() {
        for (auto it = Workers.begin(); it != Workers.end();) {
            if (*it->Done) {
                it->Thread.join();
                it = Workers.erase(it);
            } else {
                ++it;
            }
        }
    }

    std::mutex Lock;
    std::list<TWorker> Workers;
};

const char kHtml500[] = "<!DOCTYPE html>\n<html><head><title>500 Internal Server Error</title></head>\n"
                        "<body><h1>Internal Server Error</h1><p>The server encountered an internal error.</p>"
                        "</body></html>\n";

// A token travels as an HTTP header value and is stored in a text file: printable ASCII, blanks only
// inside (a header value and a line read back lose them at the ends).
bool ValidToken(const std::string& token) {
    return !token.empty() && token.size() <= 4096 && token.front() != ' ' && token.back() != ' ' &&
           std::all_of(token.begin(), token.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

bool IsLoopback(const std::string& addr) {
    return addr.rfind("127.", 0) == 0 || addr == "::1" || addr.rfind("::ffff:127.", 0) == 0;
}

bool ReadFile(const fs::path& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    text = ss.str();
    return !in.bad();
}

bool WriteFile(const fs::path& path, const std::string& text, bool secret) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    if (secret) {
        std::error_code ec;
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, ec);
        if (ec) return false;
    }
    out << text;
    out.close();
    return !out.fail();
}

std::string Element(const std::string& id, const std::string& raw) {
    return "{\"id\":" + refJson_Quote(id) + ",\"rawSignature\":" + refJson_Quote(raw) + "}";
}

} // namespace

const char* refFault_Name(TRefFaultMode Mode) {
    for (const auto& f : kFaultNames)
        if (f.Mode == Mode) return f.Name;
    return "none";
}

bool refFault_FromName(const std::string& Name, TRefFaultMode& Mode) {
    for (const auto& f : kFaultNames)
        if (Name == f.Name) {
            Mode = f.Mode;
            return true;
        }
    return false;
}

struct TRefSigningService::TImpl {
    struct TKey {
        TRefKeyInfo Info; // KeyPEM left empty here; Key_List fills it
        TRefPKey Key;
        TRefX509 Cert;
    };

    mutable std::mutex Lock;
    std::condition_variable StopCv;
    bool Stopping = false;

    TRefPKey CAKey, TLSKey;
    TRefX509 CACert, TLSCert;
    std::vector<std::shared_ptr<const TKey>> Keys;
    TRefFault Fault;
    TRefStats Counters;
    std::string LastError;

    std::unique_ptr<httplib::SSLServer> Server;
    std::thread Thread;
    std::atomic<bool> ListenDone{false};
    int Port = 0;

    bool Fail(const std::string& why) {
        std::lock_guard<std::mutex> g(Lock);
        LastError = why;
        return false;
    }

    std::shared_ptr<const TKey> FindKey(const std::string& token) const {
        std::lock_guard<std::mutex> g(Lock);
        for (const auto& k : Keys)
            if (k->Info.Token == token) return k;
        return nullptr;
    }

    bool Install(TRefPKey key, TRefX509 cert, const std::string& token, TRefKeyInfo* info) {
        if (!ValidToken(token)) return Fail("token must be 1 to 4096 visible ASCII characters");
        if (!TRefCrypto::IsRSA(key.get())) return Fail("signing key is not an RSA key");
        if (X509_check_private_key(cert.get(), key.get()) != 1)
            return Fail(TRefCrypto::OpenSSLError("certificate does not match its private key"));
        auto k = std::make_shared<TKey>();
        k->Info.Token = token;
        k->Info.SubjectCN = TRefCrypto::SubjectCN(cert.get());
        k->Info.SerialHex = TRefCrypto::SerialHex(cert.get());
        k->Info.CertPEM = TRefCrypto::CertToPEM(cert.get());
        k->Info.ModulusBytes = TRefCrypto::ModulusBytes(key.get());
        k->Key = std::move(key);
        k->Cert = std::move(cert);
        std::lock_guard<std::mutex> g(Lock);
        for (const auto& other : Keys)
            if (other->Info.Token == token) {
                LastError = "token already in use";
                return false;
            }
        if (info) {
            *info = k->Info;
            info->KeyPEM = TRefCrypto::KeyToPEM(k->Key.get());
        }
        Keys.push_back(std::move(k));
        return true;
    }

    TRefFault TakeFault() {
        std::lock_guard<std::mutex> g(Lock);
        TRefFault now = Fault;
        if (Fault.Count > 0 && --Fault.Count == 0) Fault = TRefFault();
        if (now.Mode != TRefFaultMode::None || now.DelayMs > 0) ++Counters.Faulted;
        return now;
    }

    static void Plain(httplib::Response& res, int status, const std::string& text) {
        res.status = status;
        res.set_content(text + "\n", "text/plain");
    }

    void HandleSign(const httplib::Request& req, httplib::Response& res) {
        {
            std::lock_guard<std::mutex> g(Lock);
            Counters.LastToken = req.get_header_value(TokenHeader);
            Counters.LastBody = req.body;
            Counters.LastUserAgent = req.get_header_value("User-Agent");
            Counters.LastContentType = req.get_header_value("Content-Type");
        }
        TRefFault fault = TakeFault();
        if (fault.DelayMs > 0) {
            std::unique_lock<std::mutex> g(Lock);
            if (StopCv.wait_for(g, std::chrono::milliseconds(fault.DelayMs), [this] { return Stopping; }))
                return Plain(res, 503, "shutting down");
        }
        if (fault.Mode == TRefFaultMode::Http500Html) {
            res.status = 500;
            res.set_content(kHtml500, "text/html");
            return;
        }

        if (!req.has_header(TokenHeader)) return Plain(res, 401, "missing TokenPSC header");
        auto key = FindKey(req.get_header_value(TokenHeader));
        if (!key) return Plain(res, 401, "unknown token");
        std::string text;
        TRefBytes block, sig;
        if (!refJson_ParseSignBody(req.body, text))
            return Plain(res, 400, "body is not one JSON string of Base64 text");
        if (!refBase64_Decode(text, block)) return Plain(res, 400, "block is not valid Base64");
        if (block.size() != key->Info.ModulusBytes)
            return Plain(res, 400,
                         "block of " + std::to_string(block.size()) + " bytes, the key needs " +
                             std::to_string(key->Info.ModulusBytes));
        std::string why;
        if (!TRefCrypto::RawPrivate(key->Key.get(), block, sig, why))
            return Plain(res, 400, "block is not below the modulus");
        {
            std::lock_guard<std::mutex> g(Lock);
            ++Counters.Signed;
        }

        const std::string id = TRefCrypto::Sha256Hex(block).substr(0, 32);
        const std::string good = Element(id, refBase64_Encode(sig));
        std::string body;
        switch (fault.Mode) {
        case TRefFaultMode::NoSignatures:
            body = "{\"signature\":[" + good + "]}";
            break;
        case TRefFaultMode::EmptyArray:
            body = "{\"signatures\":[]}";
            break;
        case TRefFaultMode::BadBase64:
            body = "{\"signatures\":[" + Element(id, "%%not*base64!%%") + "]}";
            break;
        case TRefFaultMode::ShortSignature:
            body = "{\"signatures\":[" +
                   Element(id, refBase64_Encode(TRefBytes(sig.begin(), sig.end() - 1))) + "]}";
            break;
        case TRefFaultMode::NoRawSignature:
            body = "{\"signatures\":[{\"id\":" + refJson_Quote(id) + "}]}";
            break;
        case TRefFaultMode::TwoElements: {
            // Wrong in either byte order, so a client that reads the second element cannot pass.
            TRefBytes wrong = sig;
            for (auto& b : wrong)
                b ^= 0x5A;
            body = "{\"signatures\":[" + good + "," + Element(id + "-2", refBase64_Encode(wrong)) + "]}";
            break;
        }
        case TRefFaultMode::WrongSignature: {
            // A genuine result of the key, below the modulus, for a block one bit away from the asked one.
            TRefBytes other = block, otherSig;
            other.back() ^= 0x01;
            if (!TRefCrypto::RawPrivate(key->Key.get(), other, otherSig, why))
                return Plain(res, 500, "no other block to sign");
            body = "{\"signatures\":[" + Element(id, refBase64_Encode(otherSig)) + "]}";
            break;
        }
        case TRefFaultMode::EchoToken: {
            const std::string token = req.get_header_value(TokenHeader);
            body = "{\"signatures\":[" + Element(token, token) + "]}";
            break;
        }
        default:
            body = "{\"signatures\":[" + good + "]}";
            break;
        }
        if (fault.Mode == TRefFaultMode::SlashEscape) {
            std::string escaped;
            for (char c : body) {
                if (c == '/') escaped += '\\';
                escaped += c;
            }
            body.swap(escaped);
        }
        if (fault.Mode == TRefFaultMode::Pretty)
            body = "{\r\n\t\"signatures\" : [\r\n\t\t{\r\n\t\t\t\"id\" : " + refJson_Quote(id) +
                   ",\r\n\t\t\t\"rawSignature\" : " + refJson_Quote(refBase64_Encode(sig)) +
                   "\r\n\t\t}\r\n\t]\r\n}\r\n";
        if (fault.Mode == TRefFaultMode::Truncated) {
            res.set_content_provider(body.size(), "application/json",
                                     [body](size_t, size_t, httplib::DataSink& sink) {
                                         sink.write(body.data(), body.size() / 2);
                                         return false;
                                     });
            return;
        }
        res.set_content(body, "application/json");
    }

    std::string StatsJSON() const {
        std::lock_guard<std::mutex> g(Lock);
        const TRefStats& s = Counters;
        return "{\"requests\":" + std::to_string(s.Requests) + ",\"signed\":" + std::to_string(s.Signed) +
               ",\"rejected\":" + std::to_string(s.Rejected) + ",\"faulted\":" + std::to_string(s.Faulted) +
               ",\"faultMode\":" + refJson_Quote(refFault_Name(Fault.Mode)) +
               ",\"faultDelayMs\":" + std::to_string(Fault.DelayMs) +
               ",\"faultCount\":" + std::to_string(Fault.Count) +
               ",\"lastToken\":" + refJson_Quote(s.LastToken) + ",\"lastBody\":" + refJson_Quote(s.LastBody) +
               ",\"lastUserAgent\":" + refJson_Quote(s.LastUserAgent) +
               ",\"lastContentType\":" + refJson_Quote(s.LastContentType) + "}";
    }

    void HandleFault(const httplib::Request& req, httplib::Response& res) {
        std::map<std::string, TRefJsonValue> m;
        if (!refJson_ParseFlatObject(req.body, m)) return Plain(res, 400, "body must be a flat JSON object");
        TRefFault f;
        for (const auto& [name, value] : m) {
            if (name == "mode" && value.Kind == TRefJsonValue::IsString &&
                refFault_FromName(value.Text, f.Mode))
                continue;
            if (name == "delayMs" && value.Kind == TRefJsonValue::IsInteger && value.Integer >= 0 &&
                value.Integer <= kMaxDelayMs) {
                f.DelayMs = static_cast<unsigned>(value.Integer);
                continue;
            }
            if (name == "count" && value.Kind == TRefJsonValue::IsInteger && value.Integer >= 0 &&
                value.Integer <= 1000000) {
                f.Count = static_cast<unsigned>(value.Integer);
                continue;
            }
            return Plain(res, 400,
                         "bad member \"" + name + "\" (mode: a known name, delayMs: 0.." +
                             std::to_string(kMaxDelayMs) + ", count: 0..1000000)");
        }
        {
            std::lock_guard<std::mutex> g(Lock);
            Fault = f;
        }
        res.set_content(StatsJSON(), "application/json");
    }

    void SetupRoutes(httplib::Server& srv, bool control) {
        srv.set_payload_max_length(MaxBodyBytes);
        // httplib's default adds SO_REUSEPORT, which lets a second server share a busy port and
        // take part of its connections; a taken port must be an error instead.
        srv.set_socket_options([](socket_t sock) {
            int yes = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
        // A kept-alive connection serves any number of requests; a short idle time keeps Stop() quick.
        srv.set_keep_alive_timeout(1);
        srv.set_keep_alive_max_count(std::numeric_limits<size_t>::max());
        srv.new_task_queue = [] { return new TThreadPerConnection; };
        srv.set_tcp_nodelay(true);
        srv.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
            if (req.path == SignPath) {
                std::lock_guard<std::mutex> g(Lock);
                ++Counters.Requests;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });
        // Runs before any answer of 400 or above is written, httplib's own 413 included.
        srv.set_error_handler(
            httplib::Server::HandlerWithResponse([this](const httplib::Request& req, httplib::Response& res) {
                if (req.path == SignPath && (res.status == 400 || res.status == 401 || res.status == 413)) {
                    std::lock_guard<std::mutex> g(Lock);
                    ++Counters.Rejected;
                }
                return httplib::Server::HandlerResponse::Unhandled;
            }));
        srv.Post(SignPath,
                 [this](const httplib::Request& req, httplib::Response& res) { HandleSign(req, res); });
        if (!control) return;
        auto guarded = [this](void (TImpl::*handler)(const httplib::Request&, httplib::Response&)) {
            return [this, handler](const httplib::Request& req, httplib::Response& res) {
                if (!IsLoopback(req.remote_addr))
                    return Plain(res, 403, "control endpoint answers loopback peers only");
                (this->*handler)(req, res);
            };
        };
        srv.Get("/_control/stats", guarded(&TImpl::HandleStats));
        srv.Post("/_control/fault", guarded(&TImpl::HandleFault));
        srv.Post("/_control/reset", guarded(&TImpl::HandleReset));
    }

    void HandleStats(const httplib::Request&, httplib::Response& res) {
        res.set_content(StatsJSON(), "application/json");
    }

    void HandleReset(const httplib::Request&, httplib::Response& res) {
        {
            std::lock_guard<std::mutex> g(Lock);
            Fault = TRefFault();
            Counters = TRefStats();
        }
        res.set_content(StatsJSON(), "application/json");
    }
};

TRefSigningService::TRefSigningService() : Impl(new TImpl) {}

TRefSigningService::~TRefSigningService() {
    Stop();
}

bool TRefSigningService::CA_Generate(int Bits) {
    std::string err;
    TRefPKey key = TRefCrypto::GenerateRSA(Bits, err);
    TRefX509 cert = key ? TRefCrypto::IssueCert(key.get(), "Reference Signing Service CA", TRefCertKind::CA,
                                                key.get(), nullptr, TRefSerialTopBit::Clear, err)
                        : nullptr;
    if (!cert) return Impl->Fail(err);
    std::lock_guard<std::mutex> g(Impl->Lock);
    Impl->CAKey = std::move(key);
    Impl->CACert = std::move(cert);
    return true;
}

bool TRefSigningService::CA_LoadPEM(const std::string& CertPEM, const std::string& KeyPEM) {
    std::string err;
    TRefX509 cert = TRefCrypto::CertFromPEM(CertPEM, err);
    TRefPKey key = cert ? TRefCrypto::KeyFromPEM(KeyPEM, err) : nullptr;
    if (!key) return Impl->Fail("CA: " + err);
    if (X509_check_private_key(cert.get(), key.get()) != 1)
        return Impl->Fail(TRefCrypto::OpenSSLError("CA certificate does not match its private key"));
    std::lock_guard<std::mutex> g(Impl->Lock);
    Impl->CAKey = std::move(key);
    Impl->CACert = std::move(cert);
    return true;
}

std::string TRefSigningService::CA_CertPEM() const {
    std::lock_guard<std::mutex> g(Impl->Lock);
    return TRefCrypto::CertToPEM(Impl->CACert.get());
}

std::string TRefSigningService::CA_KeyPEM() const {
    std::lock_guard<std::mutex> g(Impl->Lock);
    return TRefCrypto::KeyToPEM(Impl->CAKey.get());
}

bool TRefSigningService::TLS_LoadPEM(const std::string& CertPEM, const std::string& KeyPEM) {
    std::string err;
    TRefX509 cert = TRefCrypto::CertFromPEM(CertPEM, err);
    TRefPKey key = cert ? TRefCrypto::KeyFromPEM(KeyPEM, err) : nullptr;
    if (!key) return Impl->Fail("TLS: " + err);
    if (X509_check_private_key(cert.get(), key.get()) != 1)
        return Impl->Fail(TRefCrypto::OpenSSLError("TLS certificate does not match its private key"));
    std::lock_guard<std::mutex> g(Impl->Lock);
    Impl->TLSKey = std::move(key);
    Impl->TLSCert = std::move(cert);
    return true;
}

std::string TRefSigningService::TLS_CertPEM() const {
    std::lock_guard<std::mutex> g(Impl->Lock);
    return TRefCrypto::CertToPEM(Impl->TLSCert.get());
}

bool TRefSigningService::Key_Generate(const std::string& Token, const std::string& CommonName, int Bits,
                                      TRefSerialTopBit TopBit, TRefKeyInfo* Info) {
    bool haveCA;
    {
        std::lock_guard<std::mutex> g(Impl->Lock);
        haveCA = Impl->CACert != nullptr;
    }
    if (!haveCA && !CA_Generate()) return false;
    std::string err;
    TRefPKey key = TRefCrypto::GenerateRSA(Bits, err);
    if (!key) return Impl->Fail(err);
    TRefX509 cert;
    {
        std::lock_guard<std::mutex> g(Impl->Lock);
        cert = TRefCrypto::IssueCert(key.get(), CommonName, TRefCertKind::Signer, Impl->CAKey.get(),
                                     Impl->CACert.get(), TopBit, err);
    }
    if (!cert) return Impl->Fail(err);
    return Impl->Install(std::move(key), std::move(cert), Token.empty() ? TRefCrypto::RandomToken() : Token,
                         Info);
}

bool TRefSigningService::Key_AddPEM(const std::string& KeyPEM, const std::string& CertPEM,
                                    const std::string& Token, TRefKeyInfo* Info) {
    std::string err;
    TRefX509 cert = TRefCrypto::CertFromPEM(CertPEM, err);
    TRefPKey key = cert ? TRefCrypto::KeyFromPEM(KeyPEM, err) : nullptr;
    if (!key) return Impl->Fail(err);
    return Impl->Install(std::move(key), std::move(cert), Token.empty() ? TRefCrypto::RandomToken() : Token,
                         Info);
}

bool TRefSigningService::Key_LoadDir(const std::string& Dir) {
    std::error_code ec;
    std::vector<fs::path> keyFiles;
    for (fs::directory_iterator it(Dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".key" && it->path().stem() != "ca") keyFiles.push_back(it->path());
    if (ec) return Impl->Fail("cannot read directory " + Dir + ": " + ec.message());
    std::sort(keyFiles.begin(), keyFiles.end());

    std::string caCert, caKey;
    if (ReadFile(fs::path(Dir) / "ca.crt", caCert) && ReadFile(fs::path(Dir) / "ca.key", caKey) &&
        !CA_LoadPEM(caCert, caKey))
        return false;
    if (keyFiles.empty()) return Impl->Fail("no NAME.key files in " + Dir);
    for (const auto& keyFile : keyFiles) {
        fs::path certFile = fs::path(keyFile).replace_extension(".crt");
        fs::path tokenFile = fs::path(keyFile).replace_extension(".token");
        std::string keyPEM, certPEM, token;
        if (!ReadFile(keyFile, keyPEM) || !ReadFile(certFile, certPEM) || !ReadFile(tokenFile, token))
            return Impl->Fail("each key needs NAME.key, NAME.crt and NAME.token: " + keyFile.string());
        while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' '))
            token.pop_back();
        if (token.empty()) return Impl->Fail("empty token file " + tokenFile.string());
        if (!Key_AddPEM(keyPEM, certPEM, token)) {
            std::string why = LastError();
            return Impl->Fail(keyFile.string() + ": " + why);
        }
    }
    return true;
}

bool TRefSigningService::Key_SaveDir(const std::string& Dir) const {
    std::error_code ec;
    fs::create_directories(Dir, ec);
    if (ec) return Impl->Fail("cannot create " + Dir + ": " + ec.message());
    fs::path dir(Dir);
    if (!WriteFile(dir / "ca.crt", CA_CertPEM(), false) || !WriteFile(dir / "ca.key", CA_KeyPEM(), true))
        return Impl->Fail("cannot write the CA into " + Dir);
    for (const auto& k : Key_List()) {
        if (!WriteFile(dir / (k.SerialHex + ".key"), k.KeyPEM, true) ||
            !WriteFile(dir / (k.SerialHex + ".crt"), k.CertPEM, false) ||
            !WriteFile(dir / (k.SerialHex + ".token"), k.Token + "\n", true))
            return Impl->Fail("cannot write key " + k.SerialHex + " into " + Dir);
    }
    return true;
}

std::vector<TRefKeyInfo> TRefSigningService::Key_List() const {
    std::lock_guard<std::mutex> g(Impl->Lock);
    std::vector<TRefKeyInfo> list;
    for (const auto& k : Impl->Keys) {
        list.push_back(k->Info);
        list.back().KeyPEM = TRefCrypto::KeyToPEM(k->Key.get());
    }
    return list;
}

bool TRefSigningService::Key_Sign(const std::string& Token, const TRefBytes& Block,
                                  TRefBytes& Signature) const {
    auto key = Impl->FindKey(Token);
    if (!key) return Impl->Fail("unknown token");
    std::string err;
    return TRefCrypto::RawPrivate(key->Key.get(), Block, Signature, err) || Impl->Fail(err);
}

bool TRefSigningService::Start(int Port, bool EnableControl) {
    // A peer that closes mid-answer would otherwise end the whole process with SIGPIPE.
    struct sigaction current;
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        std::signal(SIGPIPE, SIG_IGN);
    if (Impl->Server) return Impl->Fail("already running");
    if (Port < 0 || Port > 65535) return Impl->Fail("port out of range: " + std::to_string(Port));
    bool haveCA, haveTLS;
    {
        std::lock_guard<std::mutex> g(Impl->Lock);
        haveCA = Impl->CACert != nullptr;
        haveTLS = Impl->TLSCert != nullptr;
    }
    if (!haveCA && !CA_Generate()) return false;
    if (!haveTLS) {
        std::string err;
        TRefPKey key = TRefCrypto::GenerateRSA(2048, err);
        std::lock_guard<std::mutex> g(Impl->Lock);
        TRefX509 cert =
            key ? TRefCrypto::IssueCert(key.get(), "localhost", TRefCertKind::TlsServer, Impl->CAKey.get(),
                                        Impl->CACert.get(), TRefSerialTopBit::Clear, err)
                : nullptr;
        if (!cert) {
            Impl->LastError = err;
            return false;
        }
        Impl->TLSKey = std::move(key);
        Impl->TLSCert = std::move(cert);
    }

    auto server = std::make_unique<httplib::SSLServer>(Impl->TLSCert.get(), Impl->TLSKey.get());
    if (!server->is_valid()) return Impl->Fail(TRefCrypto::OpenSSLError("TLS context"));
    Impl->SetupRoutes(*server, EnableControl);
    // cpp-httplib listens with a backlog of 5: a burst of clients connecting at once (eight signing
    // threads) overflows it, and the dropped one retries its SYN only after a second.
    socket_t listener = INVALID_SOCKET;
    server->set_socket_options([&listener](socket_t sock) {
        // Address reuse as before, but no port sharing: a second service on the port must fail.
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        listener = sock;
    });
    int bound = Port;
    if (Port == 0)
        bound = server->bind_to_any_port("127.0.0.1");
    else if (!server->bind_to_port("127.0.0.1", Port))
        bound = -1;
    if (bound <= 0) return Impl->Fail("cannot listen on 127.0.0.1:" + std::to_string(Port));
    if (listener != INVALID_SOCKET && ::listen(listener, SOMAXCONN) != 0)
        return Impl->Fail("cannot widen the listen backlog");

    {
        std::lock_guard<std::mutex> g(Impl->Lock);
        Impl->Stopping = false;
    }
    Impl->ListenDone = false;
    httplib::SSLServer* srv = server.get();
    Impl->Thread = std::thread([this, srv] {
        srv->listen_after_bind();
        Impl->ListenDone = true;
    });
    // stop() only works once the accept loop runs; the socket itself already queues connections.
    while (!srv->is_running() && !Impl->ListenDone)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Impl->Server = std::move(server);
    Impl->Port = bound;
    if (Impl->ListenDone) {
        Stop();
        return Impl->Fail("accept loop ended at once");
    }
    return true;
}

void TRefSigningService::Stop() {
    if (!Impl->Server) return;
    {
        std::lock_guard<std::mutex> g(Impl->Lock);
        Impl->Stopping = true;
    }
    Impl->StopCv.notify_all();
    Impl->Server->stop();
    if (Impl->Thread.joinable()) Impl->Thread.join();
    Impl->Server.reset();
    Impl->Port = 0;
}

bool TRefSigningService::IsRunning() const {
    return Impl->Server != nullptr;
}

int TRefSigningService::Port() const {
    return Impl->Port;
}

std::string TRefSigningService::BaseURL() const {
    return "https://127.0.0.1:" + std::to_string(Impl->Port);
}

std::string TRefSigningService::SignURL() const {
    return BaseURL() + SignPath;
}

void TRefSigningService::Fault_Set(const TRefFault& Fault) {
    std::lock_guard<std::mutex> g(Impl->Lock);
    Impl->Fault = Fault;
}

TRefFault TRefSigningService::Fault_Get() const {
    std::lock_guard<std::mutex> g(Impl->Lock);
    return Impl->Fault;
}

TRefStats TRefSigningService::Stats() const {
    std::lock_guard<std::mutex> g(Impl->Lock);
    TRefStats s = Impl->Counters;
    s.Fault = Impl->Fault;
    return s;
}

uint64_t TRefSigningService::RequestCount() const {
    std::lock_guard<std::mutex> g(Impl->Lock);
    return Impl->Counters.Requests;
}

void TRefSigningService::Stats_Reset() {
    std::lock_guard<std::mutex> g(Impl->Lock);
    Impl->Counters = TRefStats();
}

std::string TRefSigningService::LastError() const {
    std::lock_guard<std::mutex> g(Impl->Lock);
    return Impl->LastError;
}
