#include "LucspSession.h"

#include "LucspErrors.h"

const std::vector<THashAlg>& lucspHashAlgs() {
    static const std::vector<THashAlg> algs = {
        {"sha1", CALG_SHA1, 20, EVP_sha1},
        {"sha256", CALG_SHA_256, 32, EVP_sha256},
        {"sha384", CALG_SHA_384, 48, EVP_sha384},
        {"sha512", CALG_SHA_512, 64, EVP_sha512},
    };
    return algs;
}

TSession::~TSession() {
    // The first failure is what the user needs; the clean-up must not overwrite its name.
    std::string failed = Client.FailedCall();
    if (Key) Client.DestroyKey(Prov, Key);
    if (Hash) Client.DestroyHash(Prov, Hash);
    if (Prov) Client.ReleaseContext(Prov);
    Client.SetFailedCall(failed);
}

uint32_t lucspOpenHash(TSession& s, const std::string& container, const THashAlg& alg,
                       const std::vector<uint8_t>& hash, std::string& context) {
    context = "container " + container;
    if (uint32_t code = s.Client.AcquireContext(&s.Prov, container.c_str(), 0)) return code;
    if (uint32_t code = s.Client.CreateHash(s.Prov, alg.AlgId, &s.Hash)) return code;
    // An application asks the hash object for its size before handing the value in: HP_HASHVAL takes as
    // many bytes as the algorithm has, whatever the buffer holds.
    DWORD size = 0, sizeLen = sizeof(size);
    if (uint32_t code =
            s.Client.GetHashParam(s.Prov, s.Hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &sizeLen))
        return code;
    if (size != hash.size()) {
        context = "the provider's " + std::string(alg.Name) + " hash object takes " + std::to_string(size) +
                  " bytes, not " + std::to_string(hash.size());
        return LUCSP_NTE_BAD_LEN;
    }
    return s.Client.SetHashParam(s.Prov, s.Hash, HP_HASHVAL, hash.data());
}
