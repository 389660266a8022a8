// CPSignHash end to end (provider library loaded from its file, reference signing service on loopback)
// against the floor of the same sign request sent directly over one kept-alive HTTPS connection.
#include "dll/dllHarness.h"

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace dllharness;

namespace {

struct TBenchEnv {
    std::string Root;
    TRefSigningService Service;
    TRefKeyInfo Key;
    std::string Token = "bench-token-0123456789abcdef0123456789";
    std::string CAFile, Body;
    TCspApi Api;
    HCRYPTPROV Prov = 0;
};

TBenchEnv* gEnv = nullptr;

std::string Base64(const std::vector<unsigned char>& data) {
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), data.data(),
                            static_cast<int>(data.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

// The request body the provider sends for a SHA-256 signature: the quoted Base64 of the PKCS #1 block.
std::string SignBody(size_t modulusBytes) {
    static const unsigned char prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                           0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    std::vector<unsigned char> block(modulusBytes, 0xFF);
    block[0] = 0;
    block[1] = 1;
    size_t tail = sizeof(prefix) + 32;
    block[modulusBytes - tail - 1] = 0;
    std::copy(prefix, prefix + sizeof(prefix), block.end() - static_cast<long>(tail));
    for (size_t i = 0; i < 32; ++i)
        block[modulusBytes - 32 + i] = static_cast<unsigned char>(i * 7);
    return "\"" + Base64(block) + "\"";
}

bool Setup(TBenchEnv& e) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "lucsp-bench-XXXXXX").string();
    if (!mkdtemp(&tmpl[0])) return false;
    e.Root = tmpl;
    setenv("LUCSP_ROOT", e.Root.c_str(), 1);
    if (!e.Service.Key_Generate(e.Token, "Assinante Benchmark", 2048, TRefSerialTopBit::Random, &e.Key) ||
        !e.Service.Start(0, false)) {
        fprintf(stderr, "reference service: %s\n", e.Service.LastError().c_str());
        return false;
    }
    e.CAFile = e.Root + "/service-ca.pem";
    std::ofstream(e.CAFile, std::ios::binary) << e.Service.CA_CertPEM();
    e.Body = SignBody(e.Key.ModulusBytes);
    // Trace off: the figure is that of a production setting.
    if (!WriteEndpointSettings("127.0.0.1:" + std::to_string(e.Service.Port()), e.CAFile, 10000, false, "")) {
        fprintf(stderr, "endpoint settings not written\n");
        return false;
    }
    if (!e.Api.Load(LUCSP_DLL_PATH)) {
        fprintf(stderr, "%s\n", e.Api.Error.c_str());
        return false;
    }
    if (!e.Api.TrelisServer_RegisterCertificate(e.Key.CertPEM.data(), static_cast<int>(e.Key.CertPEM.size()),
                                                e.Token.data(), static_cast<int>(e.Token.size()))) {
        fprintf(stderr, "certificate registration failed\n");
        return false;
    }
    VTableProvStruc vt = MakeVTable();
    if (!e.Api.CPAcquireContext(&e.Prov, e.Key.SerialHex.c_str(), 0, &vt)) {
        fprintf(stderr, "CPAcquireContext failed: 0x%08X\n", static_cast<unsigned>(GetLastError()));
        return false;
    }
    return true;
}

void Teardown(TBenchEnv& e) {
    if (e.Prov) e.Api.CPReleaseContext(e.Prov, 0);
    e.Api.Unload();
    e.Service.Stop();
    std::error_code ec;
    if (!e.Root.empty()) std::filesystem::remove_all(e.Root, ec);
}

// One signature as an application makes it: a new hash value (so the provider's one-entry cache never
// answers), the length query that makes the request, then the signature itself from the cache.
void BM_CPSignHash_EndToEnd(benchmark::State& state) {
    TBenchEnv& e = *gEnv;
    std::vector<BYTE> hash(32), sig(e.Key.ModulusBytes);
    uint64_t n = 0;
    uint64_t before = e.Service.RequestCount();
    for (auto _ : state) {
        ++n;
        for (size_t i = 0; i < hash.size(); ++i)
            hash[i] = static_cast<BYTE>((n >> (8 * (i % 8))) + i);
        HCRYPTHASH h = 0;
        DWORD len = 0;
        bool ok = e.Api.CPCreateHash(e.Prov, CALG_SHA_256, 0, 0, &h) &&
                  e.Api.CPSetHashParam(e.Prov, h, HP_HASHVAL, hash.data(), 0) &&
                  e.Api.CPSignHash(e.Prov, h, AT_SIGNATURE, nullptr, 0, nullptr, &len) &&
                  e.Api.CPSignHash(e.Prov, h, AT_SIGNATURE, nullptr, 0, sig.data(), &len);
        if (h) e.Api.CPDestroyHash(e.Prov, h);
        if (!ok) {
            state.SkipWithError("CPSignHash failed");
            break;
        }
        benchmark::DoNotOptimize(sig.data());
    }
    state.counters["requests_per_signature"] =
        static_cast<double>(e.Service.RequestCount() - before) / static_cast<double>(n ? n : 1);
}

size_t DropBody(char*, size_t size, size_t nmemb, void*) {
    return size * nmemb;
}

// The same request sent by libcurl directly. Kept alive: one handle, one TLS session for all iterations
// (the floor). New connection: a handle per request, TLS handshake included.
void DirectPost(benchmark::State& state, bool keepAlive) {
    TBenchEnv& e = *gEnv;
    std::string url = e.Service.SignURL();
    std::string tokenHeader = "TokenPSC: " + e.Token;
    curl_slist* headers = curl_slist_append(nullptr, tokenHeader.c_str());
    headers = curl_slist_append(headers, "Content-Type: application/json");
    CURL* curl = nullptr;
    auto configure = [&](CURL* c) {
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        curl_easy_setopt(c, CURLOPT_CAINFO, e.CAFile.c_str());
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, e.Body.c_str());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(e.Body.size()));
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, DropBody);
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    };
    for (auto _ : state) {
        if (!curl) {
            curl = curl_easy_init();
            configure(curl);
        }
        long status = 0;
        if (curl_easy_perform(curl) != CURLE_OK ||
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200) {
            state.SkipWithError("direct POST failed");
            break;
        }
        if (!keepAlive) {
            curl_easy_cleanup(curl);
            curl = nullptr;
        }
    }
    if (curl) curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
}

void BM_DirectHttpsPost_KeepAlive(benchmark::State& state) {
    DirectPost(state, true);
}
void BM_DirectHttpsPost_NewConnection(benchmark::State& state) {
    DirectPost(state, false);
}

BENCHMARK(BM_CPSignHash_EndToEnd)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DirectHttpsPost_KeepAlive)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DirectHttpsPost_NewConnection)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_ALL);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    auto env = std::make_unique<TBenchEnv>();
    gEnv = env.get();
    int rc = 1;
    if (Setup(*env)) {
        benchmark::RunSpecifiedBenchmarks();
        rc = 0;
    }
    benchmark::Shutdown();
    Teardown(*env);
    gEnv = nullptr;
    curl_global_cleanup();
    return rc;
}
