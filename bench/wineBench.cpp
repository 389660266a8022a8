// The sign patterns of an application through advapi32's CryptoAPI and the installed provider DLL,
// beside the floor: the provider's sign request POSTed directly with the same static libcurl over one
// kept-alive connection, in the same process. Run under Wine by scripts/wine-bench.sh, once per trace
// setting; prints each figure and its ratio to the floor. A benchmark: nothing is asserted.
//
//   lucsp_wine_bench.exe --cert FILE --token T --serial HEX --url URL --ca FILE --trace LABEL
//                        [--signatures N] [--threads N] [--patterns all|same]
#include <windows.h>
#include <wincrypt.h>

#include "benchFloor.h"

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
    int Threads = 8;
    bool SameContextOnly = false;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
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

void Report(const std::string& what, const TOptions& o, double ms, double floorMs) {
    if (ms < 0)
        printf("%-44s trace %-7s  failed (error 0x%08lX)\n", what.c_str(), o.Trace.c_str(), GetLastError());
    else
        printf("%-44s trace %-7s %9.3f ms/signature %9.1f /s  %6.2fx floor\n", what.c_str(), o.Trace.c_str(),
               ms, 1000.0 / ms, ms / floorMs);
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

void Patterns(const TOptions& o, double floorMs) {
    const int n = o.Signatures;
    unsigned long long seq = static_cast<unsigned long long>(GetTickCount64()) << 20;
    HCRYPTPROV keep = 0;
    double ms = -1;
    if (Acquire(o, keep)) {
        bool ok = SignOnce(keep, ++seq);
        TClock::time_point start = TClock::now();
        for (int i = 0; ok && i < n; ++i)
            ok = SignOnce(keep, ++seq);
        ms = ok ? MsSince(start) / n : -1;
    }
    Report("same context", o, ms, floorMs);
    if (o.SameContextOnly) {
        if (keep) CryptReleaseContext(keep, 0);
        return;
    }
    // A context per signature, first while another stays open, then with nothing else open (advapi32
    // then unloads the DLL at every release and loads it again at the next acquire).
    auto contextPerSignature = [&] {
        bool ok = true;
        TClock::time_point start = TClock::now();
        for (int i = 0; ok && i < n; ++i) {
            HCRYPTPROV p = 0;
            ok = Acquire(o, p) && SignOnce(p, ++seq);
            if (p) CryptReleaseContext(p, 0);
        }
        return ok ? MsSince(start) / n : -1;
    };
    ms = keep ? contextPerSignature() : -1;
    if (keep) CryptReleaseContext(keep, 0);
    Report("context per signature, another open", o, ms, floorMs);
    Report("context per signature, nothing else open", o, contextPerSignature(), floorMs);
    for (int threads : {1, o.Threads}) {
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
        ms = failed ? -1 : MsSince(start) / (static_cast<double>(n) * threads);
        for (auto p : provs)
            if (p) CryptReleaseContext(p, 0);
        Report(std::to_string(threads) + (threads == 1 ? " thread" : " threads") + ", own contexts", o, ms,
               floorMs);
    }
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
        else if (a == "--threads")
            o.Threads = atoi(v.c_str());
        else if (a == "--patterns" && (v == "all" || v == "same"))
            o.SameContextOnly = v == "same";
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
            "[--threads N] [--patterns all|same]\n",
            argv[0]);
        return 2;
    }
    curl_global_init(CURL_GLOBAL_ALL);
    if (!Register(o)) {
        fprintf(stderr, "certificate registration failed\n");
        return 1;
    }
    double floorMs =
        benchfloor::FloorMsPerRequest(o.Url, o.CA, o.Token, benchfloor::SignBody(256), o.Signatures);
    printf("%-44s               %9.3f ms/request   %9.1f /s   1.00x floor\n",
           "floor: direct kept-alive libcurl POST", floorMs, 1000.0 / floorMs);
    fflush(stdout);
    if (floorMs > 0) Patterns(o, floorMs);
    curl_global_cleanup();
    return floorMs > 0 ? 0 : 1;
}
