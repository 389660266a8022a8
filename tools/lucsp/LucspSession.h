// What the signing commands share: the hash algorithms they offer and one CryptoAPI sequence's handles.
#pragma once

#include "CryptoClient.h"

#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

struct THashAlg {
    const char* Name;
    ALG_ID AlgId;
    size_t Length;
    const EVP_MD* (*Md)();
};

// sha1, sha256, sha384, sha512.
const std::vector<THashAlg>& lucspHashAlgs();

// Handles of one sequence, released in the reverse order on every way out, as a careful application does.
struct TSession {
    TCryptoClient& Client;
    TCryptoClient::TProv Prov = 0;
    TCryptoClient::THash Hash = 0;
    TCryptoClient::TKey Key = 0;

    explicit TSession(TCryptoClient& client) : Client(client) {}
    ~TSession();
    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;
};

// Acquires the container's context and a hash object holding the given value. Returns 0 or the code;
// context names what was being done, for the failure line.
uint32_t lucspOpenHash(TSession& s, const std::string& container, const THashAlg& alg,
                       const std::vector<uint8_t>& hash, std::string& context);
