// RSASSA-PSS blocks, encoded and checked by OpenSSL with the certificate's public key: the signing
// service only ever sees a finished block, as with PKCS #1 v1.5.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "keys/libLUProviderKEY.h"

#include "platform/platDebug.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>

namespace {

// PSS is defined for the SHA family only.
const EVP_MD* PssDigest(const THashPaddingOIDInfo* row) {
    return row && row->HashAlgType != THT_MD5 ? luDigestOfRow(row) : nullptr;
}

} // namespace

int TLUProviderKey::CheckPssOptions(const THashPaddingOIDInfo* row, uint32_t lenValue, int saltLength) const {
    if (!HasCertificate() || !certificate->rsaPublicKey) {
        TRACE(DBERRO_0, "PSS: chave sem certificado, KeyType=[%d]\n", KeyType);
        return NTE_BAD_KEY;
    }
    if (!PssDigest(row)) {
        TRACE(DBERRO_0, "PSS: hash nao suportado, HashAlgType=[%d]\n", row ? row->HashAlgType : -1);
        return NTE_INVALID_PARAMETER;
    }
    if (static_cast<int>(lenValue) != row->LenHash) {
        TRACE(DBERRO_0, "PSS: tamanho do hash invalido, LenHash=[%u] Esperado=[%d]\n",
              static_cast<unsigned>(lenValue), row->LenHash);
        return NTE_INVALID_PARAMETER;
    }
    // The encoded message has modBits - 1 bits and holds hash, salt and two more bytes.
    const int lenEncoded = (RSA_bits(certificate->rsaPublicKey) - 1 + 7) / 8;
    if (saltLength < 0 || row->LenHash + saltLength + 2 > lenEncoded) {
        TRACE(DBERRO_0, "PSS: salt nao cabe na chave, cbSalt=[%d] LenHash=[%d] emLen=[%d]\n", saltLength,
              row->LenHash, lenEncoded);
        return NTE_INVALID_PARAMETER;
    }
    return 0;
}

int TLUProviderKey::BuildPssBlock(const THashPaddingOIDInfo* row, const TVarnoMemory& value, int saltLength,
                                  TVarnoMemory* block) const {
    int result = CheckPssOptions(row, value.LenFileData, saltLength);
    if (result != 0) return result;
    const EVP_MD* md = PssDigest(row);
    block->Clear();
    if (!block->AddZeroBytes(static_cast<uint32_t>(KeyLenght()))) return NTE_NO_MEMORY;
    if (RSA_padding_add_PKCS1_PSS_mgf1(certificate->rsaPublicKey, block->FileData, value.FileData, md, md,
                                       saltLength) != 1) {
        TRACE(DBERRO_0, "PSS: falha ao codificar o bloco\n");
        return NTE_FAIL;
    }
    return 0;
}

int TLUProviderKey::VerifyPssBlock(const THashPaddingOIDInfo* row, const TVarnoMemory& value, int saltLength,
                                   const TVarnoMemory& recovered) const {
    int result = CheckPssOptions(row, value.LenFileData, saltLength);
    if (result != 0) return result;
    const EVP_MD* md = PssDigest(row);
    if (static_cast<int>(recovered.LenFileData) != KeyLenght() ||
        RSA_verify_PKCS1_PSS_mgf1(certificate->rsaPublicKey, value.FileData, md, md, recovered.FileData,
                                  saltLength) != 1) {
        TRACE(DBERRO_0, "PSS: assinatura nao confere\n");
        return NTE_BAD_SIGNATURE;
    }
    return 0;
}
