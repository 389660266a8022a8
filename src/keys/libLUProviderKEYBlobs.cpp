// The public key of a certificate key as the blobs of CryptoAPI and CNG, and a CryptoAPI public key
// read back into a key of its own.
#include "keys/libLUProviderKEY.h"

#include "platform/platDebug.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

// The magic of RSAPUBKEY and BCRYPT_RSAKEY_BLOB: the bytes "RSA1" read little-endian.
const uint32_t kRsaPublicMagic = 0x31415352u;
// BLOBHEADER (type, version, reserved, ALG_ID) and RSAPUBKEY (magic, bit length, exponent).
const DWORD kPublicKeyBlobHeader = 20;

// Where the certificate's exponent starts without its leading zero bytes; NTE_BAD_KEY for a key without
// public half or with an exponent longer than maxExponent bytes.
int ExponentStart(const TLUProviderKey& key, uint32_t maxExponent, uint32_t* first) {
    if (!key.HasCertificate()) {
        TRACE(DBERRO_0, "KeyType=[%d] não foi implementada\n", key.KeyType);
        return NTE_BAD_KEY;
    }
    const TVarnoMemory& modulus = key.certificate->PublicModulus;
    const TVarnoMemory& exponent = key.certificate->PublicExponent;
    *first = 0;
    while (*first < exponent.LenFileData && exponent.FileData[*first] == 0)
        ++*first;
    const uint32_t lenExponent = exponent.LenFileData - *first;
    if (modulus.LenFileData == 0 || lenExponent == 0 || lenExponent > maxExponent) {
        TRACE(DBERRO_0, "Chave publica não pode ser exportada, PublicModulus=[%d] PublicExponent=[%d]\n",
              static_cast<int>(modulus.LenFileData), static_cast<int>(exponent.LenFileData));
        return NTE_BAD_KEY;
    }
    return 0;
}

void PutLittleEndian(const uint32_t* fields, int count, BYTE* out) {
    for (int f = 0; f < count; ++f)
        for (int b = 0; b < 4; ++b)
            out[4 * f + b] = static_cast<BYTE>((fields[f] >> (8 * b)) & 0xFF);
}

DWORD GetLittleEndian(const BYTE* at) {
    return static_cast<DWORD>(at[0]) | static_cast<DWORD>(at[1]) << 8 | static_cast<DWORD>(at[2]) << 16 |
           static_cast<DWORD>(at[3]) << 24;
}

} // namespace

int TLUProviderKey::BuildPublicKeyBlob(TVarnoMemory* blob) const {
    // The blob's pubexp field has 32 bits; a larger exponent cannot be exported this way.
    uint32_t first = 0;
    int result = ExponentStart(*this, 4, &first);
    if (result != 0) return result;
    const TVarnoMemory& modulus = certificate->PublicModulus;
    const TVarnoMemory& exponent = certificate->PublicExponent;
    DWORD pubexp = 0;
    for (uint32_t i = first; i < exponent.LenFileData; ++i)
        pubexp = (pubexp << 8) | exponent.FileData[i];

    BYTE header[kPublicKeyBlobHeader];
    memset(header, 0, sizeof(header));
    header[0] = PUBLICKEYBLOB;
    header[1] = CUR_BLOB_VERSION;
    const uint32_t fields[4] = {static_cast<uint32_t>(CALG_RSA_KEYX), kRsaPublicMagic,
                                static_cast<uint32_t>(certificate->KeyLenght) * 8, pubexp};
    PutLittleEndian(fields, 4, header + 4);
    blob->Clear();
    if (!blob->Add(header, sizeof(header)) || !blob->AddInverted(modulus.FileData, modulus.LenFileData))
        return NTE_NO_MEMORY;
    return 0;
}

int TLUProviderKey::ReadPublicKeyBlob(const BYTE* blob, DWORD lenBlob, std::shared_ptr<TLUProviderKey>* key) {
    // The modulus follows the header least significant byte first.
    if (!blob || lenBlob < kPublicKeyBlobHeader || blob[0] != PUBLICKEYBLOB ||
        GetLittleEndian(blob + 8) != kRsaPublicMagic) {
        TRACE(DBERRO_0, "PUBLICKEYBLOB invalido, dwDataLen=[%d]\n", static_cast<int>(lenBlob));
        return NTE_BAD_DATA;
    }
    const DWORD alg = GetLittleEndian(blob + 4), bits = GetLittleEndian(blob + 12),
                exponent = GetLittleEndian(blob + 16);
    if ((alg != CALG_RSA_KEYX && alg != CALG_RSA_SIGN) || bits < 512 || bits > 16384 || bits % 8 != 0 ||
        lenBlob < kPublicKeyBlobHeader + bits / 8 || exponent == 0)
        return NTE_BAD_DATA;
    std::vector<BYTE> modulus(blob + kPublicKeyBlobHeader, blob + kPublicKeyBlobHeader + bits / 8);
    std::reverse(modulus.begin(), modulus.end());
    try {
        auto cert = std::make_shared<TCertificate>();
        if (!cert->LoadPublicKey(modulus.data(), static_cast<uint32_t>(modulus.size()), exponent))
            return NTE_BAD_DATA;
        *key = std::make_shared<TLUProviderKey>(std::move(cert), 0);
        (*key)->AlgId = alg;
    } catch (const std::bad_alloc&) {
        return NTE_NO_MEMORY;
    }
    return 0;
}

int TLUProviderKey::BuildRsaPublicBlob(TVarnoMemory* blob) const {
    uint32_t first = 0;
    int result = ExponentStart(*this, certificate ? certificate->PublicExponent.LenFileData : 0, &first);
    if (result != 0) return result;
    const TVarnoMemory& modulus = certificate->PublicModulus;
    const TVarnoMemory& exponent = certificate->PublicExponent;
    // BCRYPT_RSAKEY_BLOB (Magic, BitLength, cbPublicExp, cbModulus, cbPrime1, cbPrime2), then exponent
    // and modulus big-endian.
    const uint32_t fields[6] = {kRsaPublicMagic,
                                static_cast<uint32_t>(certificate->KeyLenght) * 8,
                                exponent.LenFileData - first,
                                modulus.LenFileData,
                                0,
                                0};
    BYTE header[24];
    PutLittleEndian(fields, 6, header);
    blob->Clear();
    if (!blob->Add(header, sizeof(header)) || !blob->Add(exponent.FileData + first, fields[2]) ||
        !blob->Add(modulus.FileData, modulus.LenFileData))
        return NTE_NO_MEMORY;
    return 0;
}
