// Signing and verification through the provider library loaded from its file, against the reference
// signing service on loopback, beside their floors: the same sign request POSTed directly over one
// kept-alive libcurl connection, and OpenSSL's own RSA verification. Every figure is printed with its
// ratio to its floor. A benchmark, not a test: nothing is asserted beyond that the calls succeed.
//
//   lucsp_sign_bench [--signatures N] [--verifies N] [--rss-signatures N] [--threads N] [--latency-ms N]
//                    [--dll PATH]
//                    [--trace default|off|both] [--only sign|verify] [--quick]
#include "dll/dllHarness.h"

#include "benchFloor.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

using namespace dllharness;

namespace {

using TClock = std::chrono::steady_clock;

double SecondsSince(TClock::time_point start) {
    return std::chrono::duration<double>(TClock::now() - start).count();
}

struct TOptions {
    int Signatures = 500;
    int Verifies = 20000;
    int RssSignatures = 100000;
    int Threads = 8;
    int LatencyMs = 20;
    bool TraceDefault = true, TraceOff = true;
    bool Sign = true, Verify = true;
    std::string Dll = LUCSP_DLL_PATH;
    // Set in the child process that measures one trace setting (the library stays loaded once a
    // context has opened, so a second setting needs a process of its own).
    std::string ChildTrace, ChildSerial, ChildCert, ChildUrl, ChildToken;
    int ChildModulusBytes = 0;
    std::vector<std::string> Passed; // the options a child gets again
};

struct TBenchEnv {
    TOptions Opt;
    std::string Root;
    TRefSigningService Service;
    TRefKeyInfo Key;
    std::string Token = "bench-token-0123456789abcdef0123456789";
    std::string CAFile, Body, SignUrl;
    double FloorMs = 0;
};

// One signature as an application makes it: a new hash value (the provider's one-entry cache never
// answers), the length query that makes the request, then the signature itself.
bool SignOnce(TCspApi& api, HCRYPTPROV prov, uint64_t n, std::vector<BYTE>* sigOut = nullptr) {
    BYTE hash[32];
    for (size_t i = 0; i < sizeof(hash); ++i)
        hash[i] = static_cast<BYTE>((n >> (8 * (i % 8))) + i * 13);
    std::vector<BYTE> sig(512);
    HCRYPTHASH h = 0;
    DWORD len = 0;
    bool ok = api.CPCreateHash(prov, CALG_SHA_256, 0, 0, &h) &&
              api.CPSetHashParam(prov, h, HP_HASHVAL, hash, 0) &&
              api.CPSignHash(prov, h, AT_SIGNATURE, nullptr, 0, nullptr, &len) && len <= sig.size() &&
              api.CPSignHash(prov, h, AT_SIGNATURE, nullptr, 0, sig.data(), &len);
    if (h) api.CPDestroyHash(prov, h);
    if (ok && sigOut) sigOut->assign(sig.begin(), sig.begin() + len);
    return ok;
}

bool Acquire(TBenchEnv& e, TCspApi& api, HCRYPTPROV& prov) {
    VTableProvStruc vt = MakeVTable();
    return api.CPAcquireContext(&prov, e.Key.SerialHex.c_str(), 0, &vt) != FALSE;
}

long RssKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
    return -1;
}

void ReportScaling(int threads, int latencyMs, const char* trace, double oneMs, double manyMs, double floorMs,
                   double floorManyMs) {
    char what[64];
    snprintf(what, sizeof(what), "service latency %d ms: 1 thread", latencyMs);
    if (oneMs < 0 || manyMs < 0 || floorMs < 0 || floorManyMs < 0) {
        printf("%-44s trace %-7s  failed\n", what, trace);
        return;
    }
    printf("%-44s trace %-7s %9.3f ms/signature %9.1f /s  %6.2fx floor (%.3f ms)\n", what, trace, oneMs,
           1000.0 / oneMs, oneMs / floorMs, floorMs);
    snprintf(what, sizeof(what), "service latency %d ms: %d threads", latencyMs, threads);
    printf("%-44s trace %-7s %9.3f ms/signature %9.1f /s  %6.2fx one thread (floor: %.2fx)\n", what, trace,
           manyMs, 1000.0 / manyMs, oneMs / manyMs, floorMs / floorManyMs);
}

// A pattern beside the floor measured in turn with it.
void Report(const char* what, const char* trace, const benchfloor::TInterleaved& m) {
    if (m.Ratio() < 0) {
        printf("%-44s trace %-7s  failed\n", what, trace);
        return;
    }
    printf("%-44s trace %-7s %9.3f ms/signature %9.1f /s  %6.2fx floor (%.3f ms)\n", what, trace, m.PatternMs,
           1000.0 / m.PatternMs, m.Ratio(), m.FloorMs);
    fflush(stdout);
}

// Threads, each signing n times in its own context; milliseconds per signature of all together.
double ThreadsMs(TBenchEnv& e, TCspApi& api, int threads, int n, uint64_t seq) {
    std::atomic<bool> failed{false};
    std::vector<HCRYPTPROV> provs(static_cast<size_t>(threads), 0);
    for (auto& p : provs)
        if (!Acquire(e, api, p)) failed = true;
    std::vector<std::thread> pool;
    TClock::time_point start = TClock::now();
    for (int t = 0; t < threads && !failed; ++t)
        pool.emplace_back([&, t] {
            uint64_t s = (static_cast<uint64_t>(t + 1) << 48) + seq;
            for (int i = 0; i < n && !failed; ++i)
                if (!SignOnce(api, provs[static_cast<size_t>(t)], ++s)) failed = true;
        });
    for (auto& th : pool)
        th.join();
    double ms = failed ? -1 : SecondsSince(start) * 1000.0 / (static_cast<double>(n) * threads);
    for (auto p : provs)
        if (p) api.CPReleaseContext(p, 0);
    return ms;
}

// Sign patterns of one loaded library (one trace setting), each in turns with the floor.
void SignPatterns(TBenchEnv& e, TCspApi& api, const char* trace) {
    const int n = e.Opt.Signatures;
    uint64_t seq = static_cast<uint64_t>(trace[0]) << 40;
    benchfloor::TFloor floor(e.SignUrl, e.CAFile, e.Token, e.Body);
    auto timed = [](int count, auto body) {
        TClock::time_point start = TClock::now();
        for (int i = 0; i < count; ++i)
            if (!body()) return -1.0;
        return SecondsSince(start) * 1000.0 / count;
    };
    HCRYPTPROV keep = 0;
    if (!Acquire(e, api, keep) || !SignOnce(api, keep, ++seq)) {
        Report("same context", trace, benchfloor::TInterleaved());
        if (keep) api.CPReleaseContext(keep, 0);
        return;
    }
    Report("same context", trace, benchfloor::MeasureInterleaved(floor, n, n, [&](int k) {
               return timed(k, [&] { return SignOnce(api, keep, ++seq); });
           }));
    // A context per signature, first while another stays open, then with nothing else open: then
    // every context is the first one.
    auto contextPerSignature = [&](int k) {
        return timed(k, [&] {
            HCRYPTPROV p = 0;
            bool ok = Acquire(e, api, p) && SignOnce(api, p, ++seq);
            if (p) api.CPReleaseContext(p, 0);
            return ok;
        });
    };
    Report("context per signature, another open", trace,
           benchfloor::MeasureInterleaved(floor, n, n, contextPerSignature));
    api.CPReleaseContext(keep, 0);
    Report("context per signature, nothing else open", trace,
           benchfloor::MeasureInterleaved(floor, n, n, contextPerSignature));
    for (int threads : {1, e.Opt.Threads}) {
        std::string what =
            std::to_string(threads) + (threads == 1 ? " thread" : " threads") + ", own contexts";
        Report(what.c_str(), trace, benchfloor::MeasureInterleaved(floor, n, n, [&](int k) {
                   return ThreadsMs(e, api, threads, (k + threads - 1) / threads, seq += 1ull << 32);
               }));
    }
    // The same against a service that answers after a remote service's round trip: how far the
    // provider lets threads overlap their requests.
    if (e.Opt.LatencyMs > 0) {
        const int m = std::min(n, 50);
        double one = -1, many = -1, floorMs = -1, floorMany = -1;
        if (benchfloor::SetServiceLatency(e.SignUrl, e.CAFile, static_cast<unsigned>(e.Opt.LatencyMs))) {
            floorMs = floor.MsPerRequest(std::max(m / 2, 1));
            one = ThreadsMs(e, api, 1, m, seq += 1ull << 32);
            many = ThreadsMs(e, api, e.Opt.Threads, m, seq += 1ull << 32);
            floorMany = benchfloor::ParallelFloorMs(e.SignUrl, e.CAFile, e.Token, e.Body, e.Opt.Threads, m);
        }
        benchfloor::SetServiceLatency(e.SignUrl, e.CAFile, 0);
        ReportScaling(e.Opt.Threads, e.Opt.LatencyMs, trace, one, many, floorMs, floorMany);
    }
}

// CPVerifySignature of one signature over and over, beside OpenSSL verifying the same one.
void VerifyFigures(TBenchEnv& e, TCspApi& api, const char* trace) {
    HCRYPTPROV prov = 0;
    HCRYPTKEY key = 0;
    std::vector<BYTE> sig;
    const uint64_t seq = 4242;
    if (!Acquire(e, api, prov) || !SignOnce(api, prov, seq, &sig) ||
        !api.CPGetUserKey(prov, AT_SIGNATURE, &key)) {
        printf("CPVerifySignature trace %-7s failed to prepare\n", trace);
        if (prov) api.CPReleaseContext(prov, 0);
        return;
    }
    BYTE hash[32];
    for (size_t i = 0; i < sizeof(hash); ++i)
        hash[i] = static_cast<BYTE>((seq >> (8 * (i % 8))) + i * 13);
    bool ok = true;
    TClock::time_point start = TClock::now();
    for (int i = 0; ok && i < e.Opt.Verifies; ++i) {
        HCRYPTHASH h = 0;
        ok = api.CPCreateHash(prov, CALG_SHA_256, 0, 0, &h) &&
             api.CPSetHashParam(prov, h, HP_HASHVAL, hash, 0) &&
             api.CPVerifySignature(prov, h, sig.data(), static_cast<DWORD>(sig.size()), key, nullptr, 0);
        if (h) api.CPDestroyHash(prov, h);
    }
    double perSecond = ok ? e.Opt.Verifies / SecondsSince(start) : 0;
    api.CPDestroyKey(prov, key);
    api.CPReleaseContext(prov, 0);

    // OpenSSL: the same digest and signature (big-endian) against the certificate's key.
    std::vector<BYTE> be(sig.rbegin(), sig.rend());
    BIO* bio = BIO_new_mem_buf(e.Key.CertPEM.data(), static_cast<int>(e.Key.CertPEM.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    EVP_PKEY* pub = cert ? X509_get0_pubkey(cert) : nullptr;
    EVP_PKEY_CTX* ctx = pub ? EVP_PKEY_CTX_new(pub, nullptr) : nullptr;
    double sslPerSecond = 0;
    if (ctx && EVP_PKEY_verify_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) == 1) {
        bool good = true;
        start = TClock::now();
        for (int i = 0; good && i < e.Opt.Verifies; ++i)
            good = EVP_PKEY_verify(ctx, be.data(), be.size(), hash, sizeof(hash)) == 1;
        sslPerSecond = good ? e.Opt.Verifies / SecondsSince(start) : 0;
    }
    EVP_PKEY_CTX_free(ctx);
    X509_free(cert);
    if (!ok)
        printf("CPVerifySignature trace %-7s failed\n", trace);
    else
        printf("%-44s trace %-7s %9.0f /s, OpenSSL %9.0f /s  %6.2fx OpenSSL\n", "CPVerifySignature", trace,
               perSecond, sslPerSecond, sslPerSecond > 0 ? perSecond / sslPerSecond : 0);
}

bool SetTrace(bool on) {
    TVarnoRegedit reg;
    DWORD enabled = on ? 1 : 0;
    return reg.SetGrupoName(GRUPO_NAME_LOG, "Log", KEY_WOW64_32KEY) &&
           reg.RegSetValueW("LOG_Enabled", GRUPO_NAME_LOG, REG_DWORD, &enabled, sizeof(enabled));
}

// Loads the library with one trace setting (read at load), measures, unloads.
bool RunWithTrace(TBenchEnv& e, bool traceOn, bool measureRss) {
    const char* trace = traceOn ? "default" : "off";
    if (!SetTrace(traceOn)) {
        fprintf(stderr, "trace setting not written\n");
        return false;
    }
    TCspApi api;
    TClock::time_point start = TClock::now();
    HCRYPTPROV first = 0;
    if (!api.Load(e.Opt.Dll.c_str()) || !Acquire(e, api, first)) {
        fprintf(stderr, "load or first context failed: %s 0x%08X\n", api.Error.c_str(),
                static_cast<unsigned>(GetLastError()));
        api.Unload();
        return false;
    }
    double loadMs = SecondsSince(start) * 1000.0;
    api.CPReleaseContext(first, 0);
    printf("%-44s trace %-7s %9.3f ms\n", "load to first context", trace, loadMs);
    if (e.Opt.Sign) SignPatterns(e, api, trace);
    if (e.Opt.Verify) VerifyFigures(e, api, trace);
    if (measureRss && e.Opt.RssSignatures > 0) {
        HCRYPTPROV p = 0;
        bool ok = Acquire(e, api, p);
        uint64_t seq = 7ull << 56;
        for (int i = 0; ok && i < 1000; ++i)
            ok = SignOnce(api, p, ++seq);
        long before = RssKiB();
        for (int i = 0; ok && i < e.Opt.RssSignatures; ++i)
            ok = SignOnce(api, p, ++seq);
        long after = RssKiB();
        if (p) api.CPReleaseContext(p, 0);
        if (ok)
            printf("%-44s trace %-7s %9ld KiB over %d signatures (%ld -> %ld KiB)\n", "RSS growth", trace,
                   after - before, e.Opt.RssSignatures, before, after);
        else
            printf("RSS growth: a signature failed\n");
    }
    api.Unload();
    return true;
}

bool Setup(TBenchEnv& e) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "lucsp-bench-XXXXXX").string();
    if (!mkdtemp(&tmpl[0])) return false;
    e.Root = tmpl;
    setenv("LUCSP_ROOT", e.Root.c_str(), 1);
    if (!e.Service.Key_Generate(e.Token, "Assinante Benchmark", 2048, TRefSerialTopBit::Random, &e.Key) ||
        !e.Service.Start(0, true)) {
        fprintf(stderr, "reference service: %s\n", e.Service.LastError().c_str());
        return false;
    }
    e.CAFile = e.Root + "/service-ca.pem";
    std::ofstream(e.CAFile, std::ios::binary) << e.Service.CA_CertPEM();
    e.Body = benchfloor::SignBody(e.Key.ModulusBytes);
    e.SignUrl = e.Service.SignURL();
    if (!WriteEndpointSettings("127.0.0.1:" + std::to_string(e.Service.Port()), e.CAFile, 10000, false, "")) {
        fprintf(stderr, "endpoint settings not written\n");
        return false;
    }
    TCspApi api;
    bool ok = api.Load(e.Opt.Dll.c_str()) && api.TrelisServer_RegisterCertificate(
                                                 e.Key.CertPEM.data(), static_cast<int>(e.Key.CertPEM.size()),
                                                 e.Token.data(), static_cast<int>(e.Token.size()));
    if (!ok) fprintf(stderr, "certificate registration failed %s\n", api.Error.c_str());
    api.Unload();
    return ok;
}

// The child's part of the set-up: the parent's data root (inherited through the environment), its
// certificate, token and service.
bool ChildSetup(TBenchEnv& e) {
    std::ifstream in(e.Opt.ChildCert, std::ios::binary);
    e.Key.CertPEM.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    e.Key.SerialHex = e.Opt.ChildSerial;
    e.Token = e.Opt.ChildToken;
    e.Body = benchfloor::SignBody(static_cast<size_t>(e.Opt.ChildModulusBytes));
    e.SignUrl = e.Opt.ChildUrl;
    e.CAFile = std::string(getenv("LUCSP_ROOT") ? getenv("LUCSP_ROOT") : "") + "/service-ca.pem";
    return !e.Key.CertPEM.empty() && e.Opt.ChildModulusBytes > 0;
}

// Runs this program again for one trace setting while this process keeps serving the signing service.
bool RunChild(TBenchEnv& e, const char* self, const char* trace, bool measureRss) {
    std::string cert = e.Root + "/signer.pem";
    std::ofstream(cert, std::ios::binary) << e.Key.CertPEM;
    std::vector<std::string> args = {
        self,     "--child", trace, e.Key.SerialHex, cert, e.Token, std::to_string(e.Key.ModulusBytes),
        e.SignUrl};
    args.insert(args.end(), e.Opt.Passed.begin(), e.Opt.Passed.end());
    if (!measureRss) args.insert(args.end(), {"--rss-signatures", "0"});
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    fflush(stdout);
    pid_t pid = 0;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) {
        fprintf(stderr, "benchmark child not started\n");
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool ParseOptions(int argc, char** argv, TOptions& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](int& out) {
            if (i + 1 >= argc) return false;
            o.Passed.push_back(a);
            o.Passed.push_back(argv[i + 1]);
            out = atoi(argv[++i]);
            return out >= 0;
        };
        if (a == "--signatures" && value(o.Signatures) && o.Signatures > 0) continue;
        if (a == "--verifies" && value(o.Verifies) && o.Verifies > 0) continue;
        if (a == "--rss-signatures" && value(o.RssSignatures)) continue;
        if (a == "--threads" && value(o.Threads) && o.Threads > 0) continue;
        if (a == "--latency-ms" && value(o.LatencyMs)) continue;
        if (a == "--dll" && i + 1 < argc) {
            o.Dll = argv[++i];
            o.Passed.push_back(a);
            o.Passed.push_back(o.Dll);
            continue;
        }
        if (a == "--child" && i + 6 < argc) {
            o.ChildTrace = argv[++i];
            o.ChildSerial = argv[++i];
            o.ChildCert = argv[++i];
            o.ChildToken = argv[++i];
            o.ChildModulusBytes = atoi(argv[++i]);
            o.ChildUrl = argv[++i];
            continue;
        }
        if (a == "--trace" && i + 1 < argc) {
            std::string v = argv[++i];
            o.TraceDefault = v != "off";
            o.TraceOff = v != "default";
            continue;
        }
        if (a == "--only" && i + 1 < argc) {
            std::string v = argv[++i];
            o.Passed.push_back(a);
            o.Passed.push_back(v);
            o.Sign = v == "sign";
            o.Verify = v == "verify";
            continue;
        }
        if (a == "--quick") {
            o.Passed.push_back(a);
            o.Signatures = 10;
            o.Verifies = 200;
            o.RssSignatures = 0;
            o.Threads = 2;
            o.LatencyMs = 5;
            continue;
        }
        fprintf(stderr,
                "usage: %s [--signatures N] [--verifies N] [--rss-signatures N] [--threads N] [--latency-ms "
                "N] [--dll PATH] "
                "[--trace default|off|both] [--only sign|verify] [--quick]\n",
                argv[0]);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    TBenchEnv e;
    if (!ParseOptions(argc, argv, e.Opt)) return 2;
    curl_global_init(CURL_GLOBAL_ALL);
    int rc = 1;
    if (!e.Opt.ChildTrace.empty()) {
        // One trace setting in this process: the library reads it once, at its first load.
        rc = ChildSetup(e) && RunWithTrace(e, e.Opt.ChildTrace == "default", true) ? 0 : 1;
        curl_global_cleanup();
        return rc;
    }
    if (Setup(e)) {
        {
            benchfloor::TFloor floor(e.SignUrl, e.CAFile, e.Token, e.Body);
            e.FloorMs = floor.MsPerRequest(e.Opt.Signatures);
        }
        printf("%-44s               %9.3f ms/request   %9.1f /s   1.00x floor\n",
               "floor: direct kept-alive libcurl POST", e.FloorMs, 1000.0 / e.FloorMs);
        fflush(stdout);
        // RSS is measured in the last run only.
        rc = e.FloorMs > 0 && (!e.Opt.TraceDefault || RunChild(e, argv[0], "default", !e.Opt.TraceOff)) &&
                     (!e.Opt.TraceOff || RunChild(e, argv[0], "off", true))
                 ? 0
                 : 1;
    }
    e.Service.Stop();
    std::error_code ec;
    if (getenv("LUCSP_BENCH_KEEP"))
        fprintf(stderr, "kept %s\n", e.Root.c_str());
    else if (!e.Root.empty())
        std::filesystem::remove_all(e.Root, ec);
    curl_global_cleanup();
    return rc;
}
