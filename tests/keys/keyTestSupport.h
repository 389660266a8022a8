// A key object bound to a real certificate of a throw-away test key, for the in-process key tests.
#pragma once

#include "certificates/libCertificate.h"
#include "keys/libLUProviderKEY.h"
#include "support/testCerts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace keytest {

using testcerts::Bytes;

inline Bytes ToBytes(const TVarnoMemory& m) {
    return Bytes(m.FileData, m.FileData + m.LenFileData);
}

inline void Load(TVarnoMemory& m, const Bytes& b) {
    ASSERT_TRUE(m.LoadFromMemory(b.data(), b.size()));
}

inline Bytes Pattern(size_t n, uint8_t start = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(start + i);
    return b;
}

// A certificate of a key of the given size, loaded as the store loads it (public key extracted).
struct TCertKey {
    explicit TCertKey(int bits = 2048, unsigned long exponent = 65537)
        : Key(testcerts::TTestKey::Rsa(bits, exponent)), Cert(testcerts::TTestCert::SelfSigned(Key)),
          Certificate(std::make_shared<TCertificate>()) {
        std::string pem = Cert.Pem();
        Loaded = Certificate->LoadCert_FromMemory(0, pem.data(), static_cast<uint32_t>(pem.size()),
                                                  "Varno Base Cryptographic Provider Server", true);
        KeyObject.KeyType = LUK_TCertificate;
        KeyObject.certificate = Certificate;
    }
    testcerts::TTestKey Key;
    testcerts::TTestCert Cert;
    std::shared_ptr<TCertificate> Certificate;
    TLUProviderKey KeyObject;
    bool Loaded = false;
};

// A key whose certificate only carries a modulus size: enough for the padding.
struct TSizedKey {
    explicit TSizedKey(int keyLenght) : Certificate(std::make_shared<TCertificate>()) {
        Certificate->KeyLenght = keyLenght;
        KeyObject.KeyType = LUK_TCertificate;
        KeyObject.certificate = Certificate;
    }
    std::shared_ptr<TCertificate> Certificate;
    TLUProviderKey KeyObject;
};

// The PKCS #1 v1.5 type 1 block of data for a modulus of k bytes.
inline Bytes Type1Block(const Bytes& data, size_t k) {
    Bytes block;
    block.push_back(0x00);
    block.push_back(0x01);
    block.insert(block.end(), k - data.size() - 3, 0xFF);
    block.push_back(0x00);
    block.insert(block.end(), data.begin(), data.end());
    return block;
}

} // namespace keytest
