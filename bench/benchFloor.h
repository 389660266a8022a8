// What both sign benchmarks share: the provider's request body and the floor, that body POSTed
// directly by libcurl over one kept-alive connection.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <cstdio>
#include <string>
#include <vector>

namespace benchfloor {

inline std::string Base64(const std::vector<unsigned char>& data) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < data.size(); i += 3) {
        unsigned v = static_cast<unsigned>(data[i]) << 16;
        if (i + 1 < data.size()) v |= static_cast<unsigned>(data[i + 1]) << 8;
        if (i + 2 < data.size()) v |= data[i + 2];
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < data.size() ? kDigits[(v >> 6) & 63] : '=';
        out += i + 2 < data.size() ? kDigits[v & 63] : '=';
    }
    return out;
}

// The request body the provider sends for a SHA-256 signature: the quoted Base64 of the PKCS #1 block.
inline std::string SignBody(size_t modulusBytes) {
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

inline size_t DropBody(char*, size_t size, size_t nmemb, void*) {
    return size * nmemb;
}

// The floor: the sign request POSTed by libcurl over one connection kept alive for the whole run.
class TFloor {
  public:
    TFloor(const std::string& url, const std::string& caFile, const std::string& token,
           const std::string& body)
        : Body(body) {
        std::string tokenHeader = "TokenPSC: " + token;
        Headers = curl_slist_append(nullptr, tokenHeader.c_str());
        Headers = curl_slist_append(Headers, "Content-Type: application/json");
        Handle = curl_easy_init();
        curl_easy_setopt(Handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(Handle, CURLOPT_CAINFO, caFile.c_str());
        curl_easy_setopt(Handle, CURLOPT_HTTPHEADER, Headers);
        curl_easy_setopt(Handle, CURLOPT_POSTFIELDS, Body.c_str());
        curl_easy_setopt(Handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(Body.size()));
        curl_easy_setopt(Handle, CURLOPT_WRITEFUNCTION, DropBody);
        curl_easy_setopt(Handle, CURLOPT_NOSIGNAL, 1L);
        Ok = Requests(3); // connection and TLS session made outside any measurement
    }
    ~TFloor() {
        curl_easy_cleanup(Handle);
        curl_slist_free_all(Headers);
    }
    TFloor(const TFloor&) = delete;
    TFloor& operator=(const TFloor&) = delete;

    // Milliseconds per request over count requests; -1 on failure.
    double MsPerRequest(int count) {
        std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
        if (!Ok || count <= 0 || !Requests(count)) return -1;
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() /
               count;
    }

  private:
    bool Requests(int count) {
        for (int i = 0; i < count; ++i) {
            long status = 0;
            CURLcode rc = curl_easy_perform(Handle);
            if (rc != CURLE_OK || curl_easy_getinfo(Handle, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
                status != 200) {
                fprintf(stderr, "direct POST failed: %s, status %ld\n", curl_easy_strerror(rc), status);
                return Ok = false;
            }
        }
        return true;
    }

    std::string Body;
    curl_slist* Headers = nullptr;
    CURL* Handle = nullptr;
    bool Ok = false;
};

// The floor of several threads at once, each with its own kept-alive connection: milliseconds per
// request of all together; -1 on failure.
inline double ParallelFloorMs(const std::string& url, const std::string& caFile, const std::string& token,
                              const std::string& body, int threads, int perThread) {
    std::vector<std::unique_ptr<TFloor>> floors;
    for (int t = 0; t < threads; ++t)
        floors.emplace_back(new TFloor(url, caFile, token, body));
    std::atomic<bool> failed{false};
    std::vector<std::thread> pool;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            if (floors[static_cast<size_t>(t)]->MsPerRequest(perThread) < 0) failed = true;
        });
    for (auto& th : pool)
        th.join();
    if (failed) return -1;
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() /
           (static_cast<double>(threads) * perThread);
}

// A pattern and the floor measured in turns (rounds batches of each), so that a machine that gets
// busier or quieter during the run moves both alike. pattern(count) runs count signatures and returns
// the milliseconds per signature, or -1.
struct TInterleaved {
    double PatternMs = -1;
    double FloorMs = -1;
    double Ratio() const { return PatternMs > 0 && FloorMs > 0 ? PatternMs / FloorMs : -1; }
};

template <typename TPattern>
TInterleaved MeasureInterleaved(TFloor& floor, int count, int floorCount, TPattern pattern, int rounds = 5) {
    TInterleaved r;
    double patternSum = 0, floorSum = 0;
    int done = 0, floorDone = 0;
    for (int i = 0; i < rounds; ++i) {
        int n = count / rounds + (i < count % rounds ? 1 : 0);
        int f = floorCount / rounds + (i < floorCount % rounds ? 1 : 0);
        if (f > 0) {
            double ms = floor.MsPerRequest(f);
            if (ms < 0) return r;
            floorSum += ms * f;
            floorDone += f;
        }
        if (n > 0) {
            double ms = pattern(n);
            if (ms < 0) return r;
            patternSum += ms * n;
            done += n;
        }
    }
    if (done > 0) r.PatternMs = patternSum / done;
    if (floorDone > 0) r.FloorMs = floorSum / floorDone;
    return r;
}

// Makes the reference service wait this long before every answer (0: answer at once), through its
// control endpoint beside the sign path: a remote service's round trip, which lets parallel signers
// overlap where the provider lets them.
inline bool SetServiceLatency(const std::string& signUrl, const std::string& caFile, unsigned ms) {
    size_t path = signUrl.find("/Service/");
    if (path == std::string::npos) return false;
    std::string url = signUrl.substr(0, path) + "/_control/fault";
    std::string body =
        ms ? "{\"mode\":\"delay\",\"delayMs\":" + std::to_string(ms) + "}" : "{\"mode\":\"none\"}";
    CURL* c = curl_easy_init();
    if (!c) return false;
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, DropBody);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    long status = 0;
    bool ok = curl_easy_perform(c) == CURLE_OK &&
              curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
    curl_easy_cleanup(c);
    if (!ok) fprintf(stderr, "service latency not set (status %ld)\n", status);
    return ok;
}

} // namespace benchfloor
