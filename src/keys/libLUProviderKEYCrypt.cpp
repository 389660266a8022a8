// The RSA operations of a key: the private one through the signing service, the public one locally
// from the certificate, and the verification of a signature by comparing whole padded blocks.
#include "keys/libLUProviderKEY.h"

#include "frontend/libLumidra.h"
#include "platform/platDebug.h"

#include <cstring>

namespace {

// The input of the cached result, compared in full: equal MD5 digests alone do not prove equal input.
bool SameInput(const TVarnoMemory& a, const TVarnoMemory& b) {
    if (a.LenFileData != b.LenFileData || a.LenFileData == 0) return false;
    if (memcmp(a.DigestMD5, b.DigestMD5, sizeof(a.DigestMD5)) != 0) return false;
    return memcmp(a.FileData, b.FileData, a.LenFileData) == 0;
}

// A block of the modulus' length whose value is not below the modulus.
bool IsBeyondModulus(const TCertificate* certificate, const TVarnoMemory* block) {
    if (!certificate || !block) return false;
    const TVarnoMemory& modulus = certificate->PublicModulus;
    if (modulus.LenFileData == 0 || block->LenFileData != modulus.LenFileData) return false;
    return memcmp(block->FileData, modulus.FileData, modulus.LenFileData) >= 0;
}

} // namespace

int TLUProviderKey::EncryptDecrypt_RequestPrivateKey(bool IsEncrypt, const char* HashAlias) {
    TRACE(DBHEAD_0, "<%s IsEncrypt=[%d] HashAlias=[%s]>\n", LU_FN, IsEncrypt, HashAlias ? HashAlias : "");
    TLUConex* conex = gLumidra ? &gLumidra->Conex : nullptr;
    bool requested = conex && conex->Request_EncryptDecrypt(&LastDataEncryptDecrypt, IsEncrypt, HashAlias);
    int result = 0;
    if (!requested) {
        TRACE(DBERRO_0, "Erro na Request_EncryptDecrypt, Request_CodErro=[%d], Request_MsgErro=[%s]\n",
              conex ? conex->Request_CodErro : 0,
              conex && conex->Request_MsgErro ? conex->Request_MsgErro
                                              : "Cliente do servico de assinatura indisponivel");
        result = NTE_SYS_ERR;
    }
    TRACE(DBHEAD_0, "</%s result=[0x%08X]>\n", LU_FN, static_cast<unsigned>(result));
    return result;
}

int TLUProviderKey::EncryptDecrypt(TVarnoMemory* DataValueInput, TVarnoMemory* DataValueOutput,
                                   bool IsEncrypt, bool IsUsePrivateKey) {
    TRACE(DBHEAD_0, "<%s DataValueInput=[%d] DataValueOutput=[%p] IsEncrypt=[%p] IsUsePrivateKey=[%d]>\n",
          LU_FN, DataValueInput ? static_cast<int>(DataValueInput->LenFileData) : 0,
          static_cast<void*>(DataValueOutput), reinterpret_cast<void*>(static_cast<uintptr_t>(IsEncrypt)),
          IsUsePrivateKey);
    int result = 0;
    TDataEncryptDecrypt& last = LastDataEncryptDecrypt;

    if (!DataValueInput || !DataValueOutput) {
        TRACE(DBERRO_0, "Parametro invalido, DataValueInput=[%p] DataValueOutput=[%p]\n",
              static_cast<void*>(DataValueInput), static_cast<void*>(DataValueOutput));
        result = NTE_INVALID_PARAMETER;
    } else if (KeyType != LUK_TCertificate || !certificate) {
        TRACE(DBERRO_0, "KeyType=[%d] não foi implementada\n", KeyType);
        result = NTE_SYS_ERR;
    } else if (!DataValueInput->hashCalcMD5()) {
        TRACE(DBERRO_0, "Falha ao computar o MD5 do Buffer passado\n");
        result = NTE_SYS_ERR;
    } else if (CacheValid && CacheIsEncrypt == IsEncrypt && CacheIsUsePrivateKey == IsUsePrivateKey &&
               CacheKeyPadding == KeyPadding && CacheKeyPaddingPKCS1Type == KeyPaddingPKCS1Type &&
               SameInput(*DataValueInput, last.DataValueInput)) {
        TRACE(DBINFO_0, "Hash é identico ao assinado anterioremente\n");
    } else {
        CacheValid = false;
        // The input may be one of the cache's own buffers: take it before the cache is cleared.
        TVarnoMemory input;
        if (!input.LoadFromMemory(DataValueInput->FileData, DataValueInput->LenFileData)) {
            result = NTE_NO_MEMORY;
        } else {
            last.Clear();
            ParentWin.Update();
            if (!last.DataValueInput.LoadFromMemory(input.FileData, input.LenFileData) ||
                !last.DataValueInput.hashCalcMD5()) {
                TRACE(DBERRO_0, "Falha ao computar o MD5 do LastDataEncryptDecrypt.DataValueInput\n");
                result = NTE_SYS_ERR;
            }
        }
        if (result == 0) result = EncryptDecryptPadding(&last, IsEncrypt, KeyPadding);

        const int lenKey = certificate->KeyLenght;
        if (result == 0 && IsUsePrivateKey) {
            TRACE(DBINFO_0, IsEncrypt ? "EncryptDecrypt: Do ENCRYPT with PrivateKey\n"
                                      : "EncryptDecrypt: Do DECRYPT with PrivateKey\n");
            result = EncryptDecrypt_RequestPrivateKey(IsEncrypt, ParentWin.ParentGetTitle());
            // The service answers one raw RSA block; anything else is no result at all.
            if (result == 0 && static_cast<int>(last.DataResult.LenFileData) != lenKey) {
                TRACE(DBERRO_0,
                      "Resultado da Request_EncryptDecrypt invalido, LenFileData=[%d] KeyLenght=[%d]\n",
                      static_cast<int>(last.DataResult.LenFileData), lenKey);
                result = NTE_SYS_ERR;
            }
        } else if (result == 0) {
            TRACE(DBINFO_0, IsEncrypt ? "EncryptDecrypt: Do ENCRYPT with PublicKey\n"
                                      : "EncryptDecrypt: Do DECRYPT with PublicKey\n");
            if (!last.ComputeHashID(0)) {
                TRACE(DBERRO_0, "Falha na ComputeHashID\n");
                result = NTE_SYS_ERR;
            } else {
                last.DataResult.Clear();
                if (!last.DataResult.AddZeroBytes(static_cast<uint32_t>(lenKey)) ||
                    !certificate->PublicKeyEncryptDecrypt(IsEncrypt, last.DataValuePadded.FileData,
                                                          last.DataResult.FileData, lenKey)) {
                    TRACE(DBERRO_0, "Erro na PublicKeyEncryptDecrypt.\n");
                    result = NTE_SYS_ERR;
                }
            }
        }
        if (result == 0) {
            CacheValid = true;
            CacheIsEncrypt = IsEncrypt;
            CacheIsUsePrivateKey = IsUsePrivateKey;
            CacheKeyPadding = KeyPadding;
            CacheKeyPaddingPKCS1Type = KeyPaddingPKCS1Type;
        }
    }

    if (result == 0 && DataValueOutput != &last.DataResult) {
        if (!DataValueOutput->LoadFromMemory(last.DataResult.FileData, last.DataResult.LenFileData)) {
            result = NTE_NO_MEMORY;
        } else {
            TRACE_DUMP(DBINFO_0, "EncryptDecrypt: DataValueInput ", last.DataValueInput.FileData,
                       static_cast<int>(last.DataValueInput.LenFileData));
            TRACE_DUMP(DBINFO_0, "EncryptDecrypt: DataValueOutput", DataValueOutput->FileData,
                       static_cast<int>(DataValueOutput->LenFileData));
        }
    }
    // A failed input is never served from the cache.
    if (result != 0) CacheForget();
    TRACE(DBHEAD_0, "</%s result=[0x%08X]>\n", LU_FN, static_cast<unsigned>(result));
    return result;
}

int TLUProviderKey::EncryptDecryptHash(TLUProviderDataHash* DataValue, TVarnoMemory* DataResult,
                                       int HashAlgType, bool IsEncrypt, bool IsUsePrivateKey) {
    TRACE(DBHEAD_0,
          "<%s DataValue=[%p] DataResult=[%p] IsEncrypt=[%d], HashAlgType=[%p] IsUsePrivateKey=[%d] >\n",
          LU_FN, static_cast<void*>(DataValue), static_cast<void*>(DataResult), IsEncrypt,
          reinterpret_cast<void*>(static_cast<intptr_t>(HashAlgType)), IsUsePrivateKey);
    int result = 0;
    if (!DataValue || !DataResult) {
        TRACE(DBERRO_0, "Parametro invalido, DataValue=[%p] DataResult=[%p]\n", static_cast<void*>(DataValue),
              static_cast<void*>(DataResult));
        result = NTE_INVALID_PARAMETER;
    } else {
        const THashPaddingOIDInfo* row = nullptr;
        TVarnoMemory digestInfo;
        result = EncryptDecryptHashGetPaddingOIDInfo(&row, static_cast<THashAlgType>(HashAlgType));
        if (result == 0) result = EncryptDecryptHashPaddingOID(DataValue, &digestInfo, row, IsEncrypt);
        if (result == 0) result = EncryptDecrypt(&digestInfo, DataResult, IsEncrypt, IsUsePrivateKey);
    }
    TRACE(DBHEAD_0, "</%s result=[0x%08X]>\n", LU_FN, static_cast<unsigned>(result));
    return result;
}

int TLUProviderKey::VerifySignatureHash(TLUProviderDataHash* DataValueHashPlain, TVarnoMemory* DataHashSigned,
                                        int HashAlgType) {
    TRACE(DBHEAD_0, "<%s DataValueHashPlain=[%p] DataHashSigned=[%p] HashAlgType=[%p]>\n", LU_FN,
          static_cast<void*>(DataValueHashPlain), static_cast<void*>(DataHashSigned),
          reinterpret_cast<void*>(static_cast<intptr_t>(HashAlgType)));
    int result = 0;
    if (!DataValueHashPlain || !DataHashSigned) {
        TRACE(DBERRO_0, "Parametro invalido, DataValueHashPlain=[%p] DataHashSigned=[%p]\n",
              static_cast<void*>(DataValueHashPlain), static_cast<void*>(DataHashSigned));
        result = NTE_INVALID_PARAMETER;
    } else if (IsBeyondModulus(certificate, DataHashSigned)) {
        // No RSA signature of this key is that large: a bad signature, not a failure of the system.
        TRACE(DBERRO_0, "Assinatura maior que o modulo da chave, LenFileData=[%d]\n",
              static_cast<int>(DataHashSigned->LenFileData));
        result = NTE_BAD_SIGNATURE;
    } else {
        // The signature through the public key gives back the block the signer padded.
        TVarnoMemory dataResultPlain;
        result = EncryptDecrypt(DataHashSigned, &dataResultPlain, false, false);

        // The block signing would have produced for this hash value.
        const THashPaddingOIDInfo* row = nullptr;
        TVarnoMemory digestInfo;
        TDataEncryptDecrypt expected;
        if (result == 0)
            result = EncryptDecryptHashGetPaddingOIDInfo(&row, static_cast<THashAlgType>(HashAlgType));
        if (result == 0) result = EncryptDecryptHashPaddingOID(DataValueHashPlain, &digestInfo, row, true);
        if (result == 0) {
            expected.Clear();
            if (!expected.DataValueInput.LoadFromMemory(digestInfo.FileData, digestInfo.LenFileData))
                result = NTE_NO_MEMORY;
        }
        if (result == 0) result = EncryptDecryptPadding(&expected, true, KeyPadding);

        if (result == 0) {
            const TVarnoMemory& padded = expected.DataValuePadded;
            bool bad = false;
            if (padded.LenFileData != dataResultPlain.LenFileData) {
                TRACE(DBERRO_0,
                      "Tamanho dos dados são invalido, DataValuePadded.LenFileData=[%d] "
                      "DataResultPlain.LenFileData=[%d]\n",
                      static_cast<int>(padded.LenFileData), static_cast<int>(dataResultPlain.LenFileData));
                bad = true;
            } else if (memcmp(padded.FileData, dataResultPlain.FileData, padded.LenFileData) != 0) {
                TRACE(DBERRO_0, "Dados do HASH são invalidos\n");
                bad = true;
            }
            if (bad) {
                TRACE_DUMP(DBERRO_0, "DataResultPlain", dataResultPlain.FileData,
                           static_cast<int>(dataResultPlain.LenFileData));
                TRACE_DUMP(DBERRO_0, "DataValuePadded", padded.FileData,
                           static_cast<int>(padded.LenFileData));
                result = NTE_BAD_SIGNATURE;
            }
        }
    }
    TRACE(DBHEAD_0, "</%s result=[0x%08X]>\n", LU_FN, static_cast<unsigned>(result));
    return result;
}
