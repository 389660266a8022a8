// Signing and verification through the provider library loaded from its file, against the reference
// signing service on loopback, beside their floors: the same sign request POSTed directly over one
// kept-alive libcurl connection, and OpenSSL's own RSA verification. Every figure is printed with its
// ratio to its floor. A benchmark, not a test: nothing is asserted beyond that the calls succeed.
//
//   lucsp_sign_bench [--signatures N] [--verifies N] [--rss-signatures N] [--threads N[,N...]]
//                    [--latency-ms N] [--dll PATH]
//                    [--trace default|off|both] [--only sign|latency|verify] [--quick]
//   lucsp_sign_bench --soak N [--soak-processes P] [--soak-cap-mb M]
//                    P processes (4) each sign N times with the trace at its default and a cap of M MB
//                    (16), printing RSS, open descriptors and the trace files' sizes at start and end.
#include "dll/dllHarness.h"
#include "os/platNCrypt.h"

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

#include <dirent.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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
    // Thread counts of the pattern against a service with latency.
    std::vector<int> LatencyThreads = {8, 32, 64};
    int LatencyMs = 20;
    int SoakSignatures = 0, SoakProcesses = 4, SoakCapMB = 16;
    bool TraceDefault = true, TraceOff = true;
    bool Sign = true, Latency = true, Verify = true;
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

// CPU time of this process (all threads, user and system), in milliseconds.
double CpuMs() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

// A figure with the CPU time it took per signature.
struct TTimed {
    double Ms = -1;
    double CpuMs = -1;
};

void ReportOneThread(int latencyMs, const char* trace, const TTimed& one, double floorMs) {
    char what[64];
    snprintf(what, sizeof(what), "service latency %d ms: 1 thread", latencyMs);
    if (one.Ms < 0 || floorMs < 0) {
        printf("%-44s trace %-7s  failed\n", what, trace);
        return;
    }
    printf("%-44s trace %-7s %9.3f ms/signature %9.1f /s  %6.2fx floor (%.3f ms)  CPU %.3f ms/signature\n",
           what, trace, one.Ms, 1000.0 / one.Ms, one.Ms / floorMs, floorMs, one.CpuMs);
}

// Threads against the service with latency: the provider's gain over one thread beside the floor's (as
// many direct POSTs in as many threads), and the CPU time per signature of each.
void ReportScaling(int threads, int latencyMs, const char* trace, const TTimed& one, const TTimed& many,
                   double floorMs, const TTimed& floorMany) {
    char what[64];
    snprintf(what, sizeof(what), "service latency %d ms: %d threads", latencyMs, threads);
    if (one.Ms < 0 || many.Ms < 0 || floorMs < 0 || floorMany.Ms < 0) {
        printf("%-44s trace %-7s  failed\n", what, trace);
        return;
    }
    double gain = one.Ms / many.Ms, floorGain = floorMs / floorMany.Ms;
    printf("%-44s trace %-7s %9.3f ms/signature %9.1f /s  %6.2fx one thread (floor: %.2fx, %.2f of it)  "
           "CPU %.3f ms/signature (floor %.3f)\n",
           what, trace, many.Ms, 1000.0 / many.Ms, gain, floorGain, gain / floorGain, many.CpuMs,
           floorMany.CpuMs);
    fflush(stdout);
}

template <typename TBody> TTimed Timed(int signatures, TBody body) {
    TTimed t;
    double cpu = CpuMs();
    t.Ms = body();
    t.CpuMs = (CpuMs() - cpu) / signatures;
    return t;
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
                if (!SignOnce(api, provs[static_cast<size_t>(t)], ++s)) {
                    if (!failed.exchange(true))
                        fprintf(stderr, "%d threads: a signature failed, 0x%08X\n", threads,
                                static_cast<unsigned>(GetLastError()));
                }
        });
    for (auto& th : pool)
        th.join();
    double ms = failed ? -1 : SecondsSince(start) * 1000.0 / (static_cast<double>(n) * threads);
    for (auto p : provs)
        if (p) api.CPReleaseContext(p, 0);
    return ms;
}

// The KSP's same-key pattern beside the CSP's same context: the key opened once through the KSP library
// beside the CSP (its own copy of the provider, with the same settings), each signature a size query and
// the signature, as Chromium makes it.
void KspSameKey(TBenchEnv& e, const char* trace, benchfloor::TFloor& floor, uint64_t& seq) {
    std::string path = e.Opt.Dll;
    const size_t at = path.rfind("Varno_LUCSP_Server");
    if (at != std::string::npos) path.replace(at, 18, "Varno_LUKSP_Server");
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    auto get =
        lib ? reinterpret_cast<GetKeyStorageInterfaceFn>(dlsym(lib, "GetKeyStorageInterface")) : nullptr;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* t = nullptr;
    NCRYPT_PROV_HANDLE prov = 0;
    NCRYPT_KEY_HANDLE key = 0;
    const std::u16string name(e.Key.SerialHex.begin(), e.Key.SerialHex.end());
    if (!get || get(u"Varno Key Storage Provider Server", &t, 0) != 0 ||
        t->OpenProvider(&prov, nullptr, 0) != 0 || t->OpenKey(prov, &key, name.c_str(), 0, 0) != 0) {
        Report("KSP same key", trace, benchfloor::TInterleaved());
        return;
    }
    auto signOnce = [&] {
        BYTE hash[32];
        const uint64_t n = ++seq;
        for (size_t i = 0; i < sizeof(hash); ++i)
            hash[i] = static_cast<BYTE>((n >> (8 * (i % 8))) + i * 13);
        BCRYPT_PKCS1_PADDING_INFO info{u"SHA256"};
        BYTE sig[512];
        DWORD len = 0;
        return t->SignHash(prov, key, &info, hash, sizeof(hash), nullptr, 0, &len, BCRYPT_PAD_PKCS1) == 0 &&
               len <= sizeof(sig) &&
               t->SignHash(prov, key, &info, hash, sizeof(hash), sig, len, &len, BCRYPT_PAD_PKCS1) == 0;
    };
    Report("KSP same key", trace,
           benchfloor::MeasureInterleaved(floor, e.Opt.Signatures, e.Opt.Signatures, [&](int k) {
               TClock::time_point start = TClock::now();
               for (int i = 0; i < k; ++i)
                   if (!signOnce()) return -1.0;
               return SecondsSince(start) * 1000.0 / k;
           }));
    t->FreeKey(prov, key);
    t->FreeProvider(prov);
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
    KspSameKey(e, trace, floor, seq);
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
}

// The thread patterns against a service that answers after a remote service's round trip: how far the
// provider lets threads overlap their requests.
void LatencyPatterns(TBenchEnv& e, TCspApi& api, const char* trace) {
    const int n = e.Opt.Signatures;
    uint64_t seq = (static_cast<uint64_t>(trace[0]) << 40) + (1ull << 39);
    benchfloor::TFloor floor(e.SignUrl, e.CAFile, e.Token, e.Body);
    if (e.Opt.LatencyMs > 0) {
        const int m = std::min(n, 50);
        if (benchfloor::SetServiceLatency(e.SignUrl, e.CAFile, static_cast<unsigned>(e.Opt.LatencyMs))) {
            double floorMs = floor.MsPerRequest(std::max(m / 2, 1));
            TTimed one = Timed(m, [&] { return ThreadsMs(e, api, 1, m, seq += 1ull << 32); });
            ReportOneThread(e.Opt.LatencyMs, trace, one, floorMs);
            for (int threads : e.Opt.LatencyThreads) {
                const int total = m * threads;
                TTimed many = Timed(total, [&] { return ThreadsMs(e, api, threads, m, seq += 1ull << 32); });
                TTimed floorMany = Timed(total, [&] {
                    return benchfloor::ParallelFloorMs(e.SignUrl, e.CAFile, e.Token, e.Body, threads, m);
                });
                ReportScaling(threads, e.Opt.LatencyMs, trace, one, many, floorMs, floorMany);
            }
        } else {
            ReportOneThread(e.Opt.LatencyMs, trace, TTimed(), -1);
        }
        benchfloor::SetServiceLatency(e.SignUrl, e.CAFile, 0);
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
    if (e.Opt.Latency) LatencyPatterns(e, api, trace);
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

long OpenDescriptors() {
    long n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(d))
            if (entry->d_name[0] != '.') ++n;
        closedir(d);
        --n; // the directory's own
    }
    return n;
}

long long FileBytes(const std::string& path) {
    std::error_code ec;
    auto n = std::filesystem::file_size(path, ec);
    return ec ? -1 : static_cast<long long>(n);
}

// One soak process: a context kept open, N signatures, the process's figures at start and end.
bool SoakRun(TBenchEnv& e) {
    const std::string dir = std::string(getenv("LUCSP_ROOT") ? getenv("LUCSP_ROOT") : "") + "/C/Varno/008/";
    const std::string current = dir + "WIN32_LUKeyCSP.log", rotated = dir + "WIN32_LUKeyCSP.1.log";
    TCspApi api;
    HCRYPTPROV prov = 0;
    if (!api.Load(e.Opt.Dll.c_str()) || !Acquire(e, api, prov)) return false;
    uint64_t seq = static_cast<uint64_t>(getpid()) << 40;
    bool ok = SignOnce(api, prov, ++seq);
    auto figures = [&](const char* when, int done, double seconds) {
        printf(
            "soak pid %-7d %-5s %9d signatures  RSS %7ld KiB  descriptors %4ld  trace %lld + %lld bytes%s\n",
            static_cast<int>(getpid()), when, done, RssKiB(), OpenDescriptors(), FileBytes(current),
            FileBytes(rotated), seconds > 0 ? ("  " + std::to_string(done / seconds) + " /s").c_str() : "");
        fflush(stdout);
    };
    figures("start", 1, 0);
    TClock::time_point start = TClock::now();
    int done = 1;
    for (; ok && done < e.Opt.SoakSignatures; ++done)
        ok = SignOnce(api, prov, ++seq);
    figures(ok ? "end" : "FAIL", done, SecondsSince(start));
    api.CPReleaseContext(prov, 0);
    api.Unload();
    return ok;
}

bool SetSoakTrace(int capMB) {
    TVarnoRegedit reg;
    DWORD enabled = 1, cap = static_cast<DWORD>(capMB);
    return reg.SetGrupoName(GRUPO_NAME_LOG, "Log", KEY_WOW64_32KEY) &&
           reg.RegSetValueW("LOG_Enabled", GRUPO_NAME_LOG, REG_DWORD, &enabled, sizeof(enabled)) &&
           reg.RegSetValueW("LOG_MaxSizeMB", GRUPO_NAME_LOG, REG_DWORD, &cap, sizeof(cap));
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

pid_t SpawnChild(TBenchEnv& e, const char* self, const char* trace, bool measureRss);

// Runs this program again for one trace setting while this process keeps serving the signing service.
bool RunChild(TBenchEnv& e, const char* self, const char* trace, bool measureRss) {
    pid_t pid = SpawnChild(e, self, trace, measureRss);
    if (pid <= 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The soak processes at once, all appending to the same capped trace file.
bool RunSoak(TBenchEnv& e, const char* self) {
    printf("soak: %d processes x %d signatures, trace at its default, cap %d MB\n", e.Opt.SoakProcesses,
           e.Opt.SoakSignatures, e.Opt.SoakCapMB);
    if (!SetSoakTrace(e.Opt.SoakCapMB)) return false;
    std::vector<pid_t> pids;
    for (int p = 0; p < e.Opt.SoakProcesses; ++p)
        pids.push_back(SpawnChild(e, self, "soak", false));
    bool ok = true;
    for (pid_t pid : pids) {
        int status = 0;
        while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        ok = ok && pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return ok;
}

pid_t SpawnChild(TBenchEnv& e, const char* self, const char* trace, bool measureRss) {
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
        return -1;
    }
    return pid;
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
        if (a == "--threads" && i + 1 < argc) {
            std::string v = argv[++i];
            o.Passed.push_back(a);
            o.Passed.push_back(v);
            o.LatencyThreads.clear();
            for (size_t at = 0; at < v.size();) {
                size_t comma = v.find(',', at);
                int t = atoi(v.substr(at, comma - at).c_str());
                if (t <= 0) break;
                o.LatencyThreads.push_back(t);
                at = comma == std::string::npos ? v.size() : comma + 1;
            }
            if (o.LatencyThreads.empty()) break;
            o.Threads = o.LatencyThreads.front();
            continue;
        }
        if (a == "--soak" && value(o.SoakSignatures) && o.SoakSignatures > 0) continue;
        if (a == "--soak-processes" && value(o.SoakProcesses) && o.SoakProcesses > 0) continue;
        if (a == "--soak-cap-mb" && value(o.SoakCapMB)) continue;
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
            o.Latency = v == "sign" || v == "latency";
            o.Verify = v == "verify";
            continue;
        }
        if (a == "--quick") {
            o.Passed.push_back(a);
            o.Signatures = 10;
            o.Verifies = 200;
            o.RssSignatures = 0;
            o.Threads = 2;
            o.LatencyThreads = {2};
            o.LatencyMs = 5;
            continue;
        }
        fprintf(stderr,
                "usage: %s [--signatures N] [--verifies N] [--rss-signatures N] [--threads N[,N...]] "
                "[--latency-ms N] [--dll PATH] [--trace default|off|both] [--only sign|latency|verify] "
                "[--quick]\n"
                "       %s --soak N [--soak-processes P] [--soak-cap-mb M]\n",
                argv[0], argv[0]);
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
        if (e.Opt.ChildTrace == "soak")
            rc = ChildSetup(e) && SoakRun(e) ? 0 : 1;
        else
            rc = ChildSetup(e) && RunWithTrace(e, e.Opt.ChildTrace == "default", true) ? 0 : 1;
        curl_global_cleanup();
        return rc;
    }
    if (e.Opt.SoakSignatures > 0) {
        rc = Setup(e) && RunSoak(e, argv[0]) ? 0 : 1;
    } else if (Setup(e)) {
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
