// The blocks of a key's private-key operations and the local check of a signature, which compares the
// block the public key gives back with the block signing would have produced.
#include "keys/libLUProviderKEY.h"

#include "platform/platDebug.h"
#include "platform/platTraceScope.h"

#include <cstring>

namespace {

// A block of the modulus' length whose value is not below the modulus.
bool IsBeyondModulus(const TCertificate* certificate, const TVarnoMemory& block) {
    if (!certificate) return false;
    const TVarnoMemory& modulus = certificate->PublicModulus;
    if (modulus.LenFileData == 0 || block.LenFileData != modulus.LenFileData) return false;
    return memcmp(block.FileData, modulus.FileData, modulus.LenFileData) >= 0;
}

// The blocks a signature is checked with, made before the checks and gone after the exit line.
struct TVerifyBlocks {
    // The block the public key gives back.
    TVarnoMemory Recovered;
    // The block signing would have produced: DigestInfo, then padded.
    TVarnoMemory DigestInfo;
    TVarnoMemory Padded;
};

// 0 when the block signing would have produced is the recovered one, else NTE_BAD_SIGNATURE.
int CompareBlocks(const TVerifyBlocks& blocks) {
    const TVarnoMemory& padded = blocks.Padded;
    const TVarnoMemory& dataResultPlain = blocks.Recovered;
    if (padded.LenFileData != dataResultPlain.LenFileData) {
        TRACE(DBERRO_0,
              "Tamanho dos dados são invalido, DataValuePadded.LenFileData=[%d] "
              "DataResultPlain.LenFileData=[%d]\n",
              static_cast<int>(padded.LenFileData), static_cast<int>(dataResultPlain.LenFileData));
    } else if (memcmp(padded.FileData, dataResultPlain.FileData, padded.LenFileData) != 0) {
        TRACE(DBERRO_0, "Dados do HASH são invalidos\n");
    } else {
        return 0;
    }
    TRACE_DUMP(DBERRO_0, "DataResultPlain", dataResultPlain.FileData,
               static_cast<int>(dataResultPlain.LenFileData));
    TRACE_DUMP(DBERRO_0, "DataValuePadded", padded.FileData, static_cast<int>(padded.LenFileData));
    return NTE_BAD_SIGNATURE;
}

// The signature of a key with certificate, of a length the modulus allows, checked against value.
int CheckSignatureBlock(const TLUProviderKey& key, const TVarnoMemory& value, const THashPaddingOIDInfo* row,
                        const TVarnoMemory& DataHashSigned, const TLUBlockOptions& options,
                        TVerifyBlocks* blocks) {
    const int lenKey = key.certificate->KeyLenght;
    // The signature through the public key gives back the block the signer padded; it must be one
    // whole block.
    TVarnoMemory signature;
    int result = TLUProviderKey::EncryptDecryptPadding(DataHashSigned, &signature, lenKey, false, options);
    if (result != 0) return result;
    TRACE(DBINFO_0, "EncryptDecrypt: Do DECRYPT with PublicKey\n");
    if (!blocks->Recovered.AddZeroBytes(static_cast<uint32_t>(lenKey)) ||
        !key.certificate->PublicKeyEncryptDecrypt(false, signature.FileData, blocks->Recovered.FileData,
                                                  lenKey)) {
        TRACE(DBERRO_0, "Erro na PublicKeyEncryptDecrypt.\n");
        return NTE_SYS_ERR;
    }
    // PSS blocks are salted: the recovered block is checked, not compared.
    if (options.KeyPadding == TKP_PAD_PSS)
        return key.VerifyPssBlock(row, value, options.SaltLength, blocks->Recovered);
    result = TLUProviderKey::EncryptDecryptHashPaddingOID(&value, &blocks->DigestInfo, row, true);
    if (result != 0) return result;
    result =
        TLUProviderKey::EncryptDecryptPadding(blocks->DigestInfo, &blocks->Padded, lenKey, true, options);
    if (result != 0) return result;
    return CompareBlocks(*blocks);
}

} // namespace

int TLUProviderKey::BuildBlock(const THashPaddingOIDInfo* row, const TVarnoMemory& value,
                               const TLUBlockOptions& options, TVarnoMemory* input,
                               TVarnoMemory* block) const {
    TRACE_SCOPE(DBHEAD_0, Hex, "<%s row=[%p] LenFileData=[%d] KeyPadding=[%d] KeyPaddingPKCS1Type=[%d]>\n",
                LU_FN, static_cast<const void*>(row), static_cast<int>(value.LenFileData), options.KeyPadding,
                options.KeyPaddingPKCS1Type);
    if (!input || !block) {
        TRACE(DBERRO_0, "Parametro invalido, DataValueInput=[%p] DataValueOutput=[%p]\n",
              static_cast<void*>(input), static_cast<void*>(block));
        TRACE_RETURN(NTE_INVALID_PARAMETER);
    }
    if (!HasCertificate()) {
        TRACE(DBERRO_0, "KeyType=[%d] não foi implementada\n", KeyType);
        TRACE_RETURN(NTE_SYS_ERR);
    }
    if (row && options.KeyPadding != TKP_PAD_PSS) {
        const int result = EncryptDecryptHashPaddingOID(&value, input, row, true);
        if (result != 0) TRACE_RETURN(result);
    } else if (!input->LoadFromMemory(value.FileData, value.LenFileData)) {
        TRACE_RETURN(NTE_NO_MEMORY);
    }
    // The cache knows an input by its MD5; an empty one has none and is no block at all.
    if (!input->hashCalcMD5()) {
        TRACE(DBERRO_0, "Falha ao computar o MD5 do Buffer passado\n");
        TRACE_RETURN(NTE_SYS_ERR);
    }
    if (options.KeyPadding == TKP_PAD_PSS) TRACE_RETURN(BuildPssBlock(row, value, options.SaltLength, block));
    TRACE_RETURN(EncryptDecryptPadding(*input, block, certificate->KeyLenght, true, options));
}

int TLUProviderKey::VerifySignatureHash(const TVarnoMemory& value, const THashPaddingOIDInfo* row,
                                        const TVarnoMemory& DataHashSigned,
                                        const TLUBlockOptions& options) const {
    TRACE_SCOPE(DBHEAD_0, Hex, "<%s DataValueHashPlain=[%p] DataHashSigned=[%p] HashAlgType=[%p]>\n", LU_FN,
                static_cast<const void*>(&value), static_cast<const void*>(&DataHashSigned),
                reinterpret_cast<void*>(static_cast<intptr_t>(row ? row->HashAlgType : -1)));
    TVerifyBlocks blocks;
    if (!row) {
        TRACE(DBERRO_0, "Parametro invalido, DataValueHashPlain=[%p] DataHashSigned=[%p]\n",
              static_cast<const void*>(row), static_cast<const void*>(&DataHashSigned));
        TRACE_RETURN(NTE_INVALID_PARAMETER);
    }
    if (!HasCertificate()) {
        TRACE(DBERRO_0, "KeyType=[%d] não foi implementada\n", KeyType);
        TRACE_RETURN(NTE_SYS_ERR);
    }
    if (IsBeyondModulus(certificate.get(), DataHashSigned)) {
        // No RSA signature of this key is that large: a bad signature, not a failure of the system.
        TRACE(DBERRO_0, "Assinatura maior que o modulo da chave, LenFileData=[%d]\n",
              static_cast<int>(DataHashSigned.LenFileData));
        TRACE_RETURN(NTE_BAD_SIGNATURE);
    }
    TRACE_RETURN(CheckSignatureBlock(*this, value, row, DataHashSigned, options, &blocks));
}

int TLUProviderKey::CheckPrivateResult(const TVarnoMemory& block, const TVarnoMemory& result) const {
    const int lenKey = KeyLenght();
    TVarnoMemory recovered;
    bool same = false;
    if (lenKey > 0 && static_cast<int>(result.LenFileData) == lenKey &&
        static_cast<int>(block.LenFileData) == lenKey &&
        recovered.AddZeroBytes(static_cast<uint32_t>(lenKey)) &&
        certificate->PublicKeyEncryptDecrypt(false, result.FileData, recovered.FileData, lenKey))
        same = memcmp(recovered.FileData, block.FileData, static_cast<size_t>(lenKey)) == 0;
    if (!same) {
        TRACE(DBERRO_0,
              "Resultado do servico de assinatura não confere com a chave publica do certificado, "
              "LenFileData=[%d] KeyLenght=[%d]\n",
              static_cast<int>(result.LenFileData), lenKey);
        return NTE_SYS_ERR;
    }
    return 0;
}
