// What both sign benchmarks share: the provider's request body and the floor, that body POSTed
// directly by libcurl over one kept-alive connection.
#pragma once

#include <curl/curl.h>

#include <chrono>
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

// Milliseconds per request over one kept-alive connection (after a few unmeasured ones); -1 on failure.
inline double FloorMsPerRequest(const std::string& url, const std::string& caFile, const std::string& token,
                                const std::string& body, int count) {
    std::string tokenHeader = "TokenPSC: " + token;
    curl_slist* headers = curl_slist_append(nullptr, tokenHeader.c_str());
    headers = curl_slist_append(headers, "Content-Type: application/json");
    CURL* c = curl_easy_init();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, DropBody);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    double ms = -1;
    std::chrono::steady_clock::time_point start;
    for (int i = -3; i < count; ++i) {
        if (i == 0) start = std::chrono::steady_clock::now();
        long status = 0;
        CURLcode rc = curl_easy_perform(c);
        if (rc != CURLE_OK || curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
            status != 200) {
            fprintf(stderr, "direct POST failed: %s, status %ld\n", curl_easy_strerror(rc), status);
            count = 0;
            break;
        }
    }
    if (count > 0)
        ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() /
             count;
    curl_easy_cleanup(c);
    curl_slist_free_all(headers);
    return ms;
}

} // namespace benchfloor
