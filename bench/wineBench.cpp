// The sign patterns of an application through advapi32's CryptoAPI and the installed provider DLL,
// beside the floor: the provider's sign request POSTed directly with the same static libcurl over one
// kept-alive connection, in the same process. Run under Wine by scripts/wine-bench.sh, once per trace
// setting; prints each figure and its ratio to the floor. A benchmark: nothing is asserted.
//
//   lucsp_wine_bench.exe --cert FILE --token T --serial HEX --url URL --ca FILE --trace LABEL
//                        [--signatures N] [--floor-requests N] [--threads N[,N...]] [--latency-ms N]
//                        [--patterns all|LIST]
#include <windows.h>
#include <wincrypt.h>

#include "benchFloor.h"
#include "os/platNCrypt.h"

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kProvider[] = "Varno Base Cryptographic Provider Server";

using TClock = std::chrono::steady_clock;

double MsSince(TClock::time_point start) {
    return std::chrono::duration<double, std::milli>(TClock::now() - start).count();
}

struct TOptions {
    std::string Cert, Token, Serial, Url, CA, Trace = "?";
    int Signatures = 200;
    int FloorRequests = 0; // 0: as many as signatures
    int Threads = 8;
    // Thread counts of the pattern against a service with latency; the first is also Threads.
    std::vector<int> LatencyThreads = {8, 32, 64};
    int LatencyMs = 20;
    std::string Patterns = "all"; // or a comma-separated list of: same, ksp, another, alone, contexts,
                                  // threads, latency
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// CPU time of this process (all threads, user and kernel), in milliseconds.
double CpuMs() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto ms = [](const FILETIME& t) {
        return ((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
}

// A figure with the CPU time it took per signature.
struct TTimed {
    double Ms = -1;
    double CpuMs = -1;
};

template <typename TBody> TTimed Timed(int signatures, TBody body) {
    TTimed t;
    double cpu = CpuMs();
    t.Ms = body();
    t.CpuMs = (CpuMs() - cpu) / signatures;
    return t;
}

bool Acquire(const TOptions& o, HCRYPTPROV& prov) {
    return CryptAcquireContextA(&prov, o.Serial.c_str(), kProvider, PROV_RSA_FULL, 0) != FALSE;
}

// One signature as an application makes it: a new hash value, the length query, the signature.
bool SignOnce(HCRYPTPROV prov, unsigned long long n) {
    BYTE hash[32];
    for (size_t i = 0; i < sizeof(hash); ++i)
        hash[i] = static_cast<BYTE>((n >> (8 * (i % 8))) + i * 13);
    BYTE sig[512];
    DWORD len = 0;
    HCRYPTHASH h = 0;
    bool ok = CryptCreateHash(prov, CALG_SHA_256, 0, 0, &h) && CryptSetHashParam(h, HP_HASHVAL, hash, 0) &&
              CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, nullptr, &len) && len <= sizeof(sig) &&
              CryptSignHashA(h, AT_SIGNATURE, nullptr, 0, sig, &len);
    if (h) CryptDestroyHash(h);
    return ok;
}

// A pattern beside the floor measured in turn with it.
void Report(const std::string& what, const TOptions& o, const benchfloor::TInterleaved& m) {
    if (m.Ratio() < 0)
        printf("%-44s trace %-7s  failed (error 0x%08lX)\n", what.c_str(), o.Trace.c_str(), GetLastError());
    else
        printf("%-44s trace %-7s %9.3f ms/signature %9.1f /s  %6.2fx floor (%.3f ms)\n", what.c_str(),
               o.Trace.c_str(), m.PatternMs, 1000.0 / m.PatternMs, m.Ratio(), m.FloorMs);
    fflush(stdout);
}

bool Register(const TOptions& o) {
    typedef BOOL(WINAPI * TRegister)(const char*, int, const char*, int);
    std::string pem = ReadFile(o.Cert);
    HMODULE m = LoadLibraryA("Varno_LUCSP_Server.dll");
    if (!m) return false;
    auto reg = reinterpret_cast<TRegister>(
        reinterpret_cast<void*>(GetProcAddress(m, "TrelisServer_RegisterCertificate")));
    bool ok = reg &&
              reg(pem.data(), static_cast<int>(pem.size()), o.Token.data(), static_cast<int>(o.Token.size()));
    FreeLibrary(m);
    return ok;
}

// Threads, each signing n times in its own context; milliseconds per signature of all together.
double ThreadsMs(const TOptions& o, int threads, int n, unsigned long long seq) {
    std::atomic<bool> failed{false};
    std::vector<HCRYPTPROV> provs(static_cast<size_t>(threads), 0);
    for (auto& p : provs)
        if (!Acquire(o, p)) failed = true;
    std::vector<std::thread> pool;
    TClock::time_point start = TClock::now();
    for (int t = 0; t < threads && !failed; ++t)
        pool.emplace_back([&, t] {
            unsigned long long s = (static_cast<unsigned long long>(t + 1) << 48) + seq;
            for (int i = 0; i < n && !failed; ++i)
                if (!SignOnce(provs[static_cast<size_t>(t)], ++s)) failed = true;
        });
    for (auto& th : pool)
        th.join();
    double ms = failed ? -1 : MsSince(start) / (static_cast<double>(n) * threads);
    for (auto p : provs)
        if (p) CryptReleaseContext(p, 0);
    return ms;
}

// The KSP's same-key pattern beside the CSP's same context: the installed KSP DLL driven through its
// table as ncrypt drives it (Wine's ncrypt loads no third-party provider), one key, each signature a
// size query and the signature.
void KspSameKey(const TOptions& o, benchfloor::TFloor& floor, int n, int f, unsigned long long& seq) {
    HMODULE module = LoadLibraryA("Varno_LUKSP_Server.dll");
    auto get = module ? reinterpret_cast<GetKeyStorageInterfaceFn>(
                            reinterpret_cast<void*>(GetProcAddress(module, "GetKeyStorageInterface")))
                      : nullptr;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* t = nullptr;
    NCRYPT_PROV_HANDLE prov = 0;
    NCRYPT_KEY_HANDLE key = 0;
    const std::wstring name(o.Serial.begin(), o.Serial.end());
    if (!get || get(L"Varno Key Storage Provider Server", &t, 0) != 0 ||
        t->OpenProvider(&prov, nullptr, 0) != 0 || t->OpenKey(prov, &key, name.c_str(), 0, 0) != 0) {
        Report("KSP same key", o, benchfloor::TInterleaved());
        return;
    }
    auto signOnce = [&] {
        BYTE hash[32];
        const unsigned long long v = ++seq;
        for (size_t i = 0; i < sizeof(hash); ++i)
            hash[i] = static_cast<BYTE>((v >> (8 * (i % 8))) + i * 13);
        BCRYPT_PKCS1_PADDING_INFO info{L"SHA256"};
        BYTE sig[512];
        DWORD len = 0;
        return t->SignHash(prov, key, &info, hash, sizeof(hash), nullptr, 0, &len, BCRYPT_PAD_PKCS1) == 0 &&
               len <= sizeof(sig) &&
               t->SignHash(prov, key, &info, hash, sizeof(hash), sig, len, &len, BCRYPT_PAD_PKCS1) == 0;
    };
    Report("KSP same key", o, benchfloor::MeasureInterleaved(floor, n, f, [&](int k) {
               TClock::time_point start = TClock::now();
               for (int i = 0; i < k; ++i)
                   if (!signOnce()) return -1.0;
               return MsSince(start) / k;
           }));
    t->FreeKey(prov, key);
    t->FreeProvider(prov);
}

void Patterns(const TOptions& o, benchfloor::TFloor& floor) {
    const int n = o.Signatures;
    const int f = o.FloorRequests > 0 ? o.FloorRequests : n;
    unsigned long long seq = static_cast<unsigned long long>(GetTickCount64()) << 20;
    auto timed = [](int count, auto body) {
        TClock::time_point start = TClock::now();
        for (int i = 0; i < count; ++i)
            if (!body()) return -1.0;
        return MsSince(start) / count;
    };
    HCRYPTPROV keep = 0;
    if (!Acquire(o, keep) || !SignOnce(keep, ++seq)) {
        Report("same context", o, benchfloor::TInterleaved());
        if (keep) CryptReleaseContext(keep, 0);
        return;
    }
    auto wanted = [&](const char* name) {
        return o.Patterns == "all" ||
               ("," + o.Patterns + ",").find("," + std::string(name) + ",") != std::string::npos;
    };
    if (wanted("same"))
        Report("same context", o, benchfloor::MeasureInterleaved(floor, n, f, [&](int k) {
                   return timed(k, [&] { return SignOnce(keep, ++seq); });
               }));
    if (wanted("ksp")) KspSameKey(o, floor, n, f, seq);
    // A context per signature, first while another stays open, then with nothing else open (advapi32
    // then unloads the DLL at every release, unless the provider keeps itself loaded).
    auto contextPerSignature = [&](int k) {
        return timed(k, [&] {
            HCRYPTPROV p = 0;
            bool ok = Acquire(o, p) && SignOnce(p, ++seq);
            if (p) CryptReleaseContext(p, 0);
            return ok;
        });
    };
    if (wanted("another"))
        Report("context per signature, another open", o,
               benchfloor::MeasureInterleaved(floor, n, f, contextPerSignature));
    CryptReleaseContext(keep, 0);
    if (wanted("alone"))
        Report("context per signature, nothing else open", o,
               benchfloor::MeasureInterleaved(floor, n, f, contextPerSignature));
    // What a context alone costs (open and release, no signature), beside the same for Wine's own
    // provider: the part of a context per signature that advapi32 itself takes.
    if (wanted("contexts")) {
        auto contexts = [&](const char* container, const char* provider, DWORD flags) {
            return timed(n, [&] {
                HCRYPTPROV p = 0;
                if (!CryptAcquireContextA(&p, container, provider, PROV_RSA_FULL, flags)) return false;
                return CryptReleaseContext(p, 0) != FALSE;
            });
        };
        double ours = contexts(o.Serial.c_str(), kProvider, 0);
        double wines = contexts(nullptr, MS_ENHANCED_PROV_A, CRYPT_VERIFYCONTEXT);
        printf("%-44s trace %-7s %9.3f ms/context, Wine's own provider %.3f ms\n",
               "context open and release only", o.Trace.c_str(), ours, wines);
        fflush(stdout);
    }
    if (wanted("threads"))
        for (int threads : {1, o.Threads})
            Report(std::to_string(threads) + (threads == 1 ? " thread" : " threads") + ", own contexts", o,
                   benchfloor::MeasureInterleaved(floor, n, f, [&](int k) {
                       return ThreadsMs(o, threads, (k + threads - 1) / threads, seq += 1ull << 32);
                   }));
    // The same against a service that answers after a remote service's round trip: how far the
    // provider lets threads overlap their requests.
    if (o.LatencyMs > 0 && wanted("latency")) {
        const int m = n < 50 ? n : 50;
        std::string what = "service latency " + std::to_string(o.LatencyMs) + " ms: ";
        if (!benchfloor::SetServiceLatency(o.Url, o.CA, static_cast<unsigned>(o.LatencyMs))) {
            printf("%-44s trace %-7s  failed\n", (what + "threads").c_str(), o.Trace.c_str());
            return;
        }
        double floorMs = floor.MsPerRequest(m / 2 > 0 ? m / 2 : 1);
        TTimed one = Timed(m, [&] { return ThreadsMs(o, 1, m, seq += 1ull << 32); });
        if (one.Ms < 0 || floorMs < 0)
            printf("%-44s trace %-7s  failed\n", (what + "1 thread").c_str(), o.Trace.c_str());
        else
            printf("%-44s trace %-7s %9.3f ms/signature %9.1f /s  %6.2fx floor (%.3f ms)  CPU %.3f "
                   "ms/signature\n",
                   (what + "1 thread").c_str(), o.Trace.c_str(), one.Ms, 1000.0 / one.Ms, one.Ms / floorMs,
                   floorMs, one.CpuMs);
        fflush(stdout);
        // Each thread count beside as many direct POSTs in as many threads: the provider's gain over one
        // thread next to the floor's, and the CPU time per signature of each.
        for (int threads : o.LatencyThreads) {
            const int total = m * threads;
            TTimed many = Timed(total, [&] { return ThreadsMs(o, threads, m, seq += 1ull << 32); });
            TTimed floorMany = Timed(total, [&] {
                return benchfloor::ParallelFloorMs(o.Url, o.CA, o.Token, benchfloor::SignBody(256), threads,
                                                   m);
            });
            std::string label = what + std::to_string(threads) + " threads";
            if (one.Ms < 0 || many.Ms < 0 || floorMs < 0 || floorMany.Ms < 0) {
                printf("%-44s trace %-7s  failed\n", label.c_str(), o.Trace.c_str());
            } else {
                double gain = one.Ms / many.Ms, floorGain = floorMs / floorMany.Ms;
                printf(
                    "%-44s trace %-7s %9.3f ms/signature %9.1f /s  %6.2fx one thread (floor: %.2fx, %.2f of "
                    "it)  CPU %.3f ms/signature (floor %.3f)\n",
                    label.c_str(), o.Trace.c_str(), many.Ms, 1000.0 / many.Ms, gain, floorGain,
                    gain / floorGain, many.CpuMs, floorMany.CpuMs);
            }
            fflush(stdout);
        }
        benchfloor::SetServiceLatency(o.Url, o.CA, 0);
    }
}

// "8,32,64": the thread counts, each above 0.
bool ParseThreads(const std::string& v, TOptions& o) {
    o.LatencyThreads.clear();
    std::stringstream in(v);
    std::string item;
    while (std::getline(in, item, ',')) {
        int t = atoi(item.c_str());
        if (t <= 0) return false;
        o.LatencyThreads.push_back(t);
    }
    if (o.LatencyThreads.empty()) return false;
    o.Threads = o.LatencyThreads.front();
    return true;
}

bool Parse(int argc, char** argv, TOptions& o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i], v = argv[i + 1];
        if (a == "--cert")
            o.Cert = v;
        else if (a == "--token")
            o.Token = v;
        else if (a == "--serial")
            o.Serial = v;
        else if (a == "--url")
            o.Url = v;
        else if (a == "--ca")
            o.CA = v;
        else if (a == "--trace")
            o.Trace = v;
        else if (a == "--signatures")
            o.Signatures = atoi(v.c_str());
        else if (a == "--floor-requests")
            o.FloorRequests = atoi(v.c_str());
        else if (a == "--latency-ms")
            o.LatencyMs = atoi(v.c_str());
        else if (a == "--threads") {
            if (!ParseThreads(v, o)) return false;
        } else if (a == "--patterns")
            o.Patterns = v;
        else
            return false;
    }
    return argc % 2 == 1 && !o.Cert.empty() && !o.Token.empty() && !o.Serial.empty() && !o.Url.empty() &&
           !o.CA.empty() && o.Signatures > 0 && o.Threads > 0;
}

} // namespace

int main(int argc, char** argv) {
    TOptions o;
    if (!Parse(argc, argv, o)) {
        fprintf(
            stderr,
            "usage: %s --cert FILE --token T --serial HEX --url URL --ca FILE --trace LABEL [--signatures N] "
            "[--floor-requests N] [--threads N[,N...]] [--latency-ms N] [--patterns all|LIST]\n",
            argv[0]);
        return 2;
    }
    curl_global_init(CURL_GLOBAL_ALL);
    if (!Register(o)) {
        fprintf(stderr, "certificate registration failed\n");
        return 1;
    }
    bool ok = false;
    {
        // Each figure's floor is measured in turns with it: the same sign request POSTed directly over
        // one kept-alive connection.
        benchfloor::TFloor floor(o.Url, o.CA, o.Token, benchfloor::SignBody(256));
        double floorMs = floor.MsPerRequest(o.FloorRequests > 0 ? o.FloorRequests : o.Signatures);
        printf("%-44s               %9.3f ms/request   %9.1f /s   1.00x floor\n",
               "floor: direct kept-alive libcurl POST", floorMs, 1000.0 / floorMs);
        fflush(stdout);
        ok = floorMs > 0;
        if (ok) Patterns(o, floor);
    }
    curl_global_cleanup();
    return ok ? 0 : 1;
}
