#include "frontend/libLUProviderDataHash.h"

#include "platform/platCopyOut.h"
#include "platform/platDebug.h"
#include "platform/platTraceScope.h"

#include <openssl/evp.h>

TLUProviderDataHash::TLUProviderDataHash() : HashPaddingOIDInfo(nullptr), Digest(nullptr), Finished(false) {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
}

TLUProviderDataHash::~TLUProviderDataHash() {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    DataValue.Clear();
    EVP_MD_CTX_free(Digest);
}

int TLUProviderDataHash::StartDigest() {
    const EVP_MD* md = luDigestOfRow(HashPaddingOIDInfo);
    if (!md) return NTE_BAD_ALGID;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (!ctx || EVP_DigestInit_ex(ctx, md, nullptr) != 1) {
        TRACE(DBERRO_0, "Falha ao iniciar o digest, AlgId=[%X]\n",
              static_cast<unsigned>(HashPaddingOIDInfo->AlgId));
        EVP_MD_CTX_free(ctx);
        return NTE_NO_MEMORY;
    }
    EVP_MD_CTX_free(Digest);
    Digest = ctx;
    Finished = false;
    return 0;
}

int TLUProviderDataHash::HashData(const BYTE* data, DWORD len) {
    if (!Digest) {
        TRACE(DBERRO_0, "O algoritmo nao permite CPHashData, AlgId=[%X]\n",
              HashPaddingOIDInfo ? static_cast<unsigned>(HashPaddingOIDInfo->AlgId) : 0u);
        return NTE_BAD_ALGID;
    }
    if (Finished) {
        TRACE(DBERRO_0, "O valor do hash ja foi finalizado\n");
        return NTE_BAD_HASH_STATE;
    }
    if (len > 0 && EVP_DigestUpdate(Digest, data, len) != 1) return NTE_FAIL;
    return 0;
}

int TLUProviderDataHash::FinishValue() {
    if (!Digest || Finished) return 0;
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(Digest, value, &len) != 1) return NTE_FAIL;
    DataValue.Clear();
    if (!DataValue.Add(value, len)) return NTE_NO_MEMORY;
    Finished = true;
    TRACE_DUMP(DBINFO_0, "Finished HP_HASHVAL", DataValue.FileData, static_cast<int>(DataValue.LenFileData));
    return 0;
}

int TLUProviderDataHash::CopyFrom(const TLUProviderDataHash& source) {
    HashPaddingOIDInfo = source.HashPaddingOIDInfo;
    Finished = source.Finished;
    DataValue.Clear();
    if (source.DataValue.LenFileData > 0 &&
        !DataValue.Add(source.DataValue.FileData, source.DataValue.LenFileData))
        return NTE_NO_MEMORY;
    EVP_MD_CTX_free(Digest);
    Digest = nullptr;
    if (source.Digest) {
        Digest = EVP_MD_CTX_new();
        if (!Digest || EVP_MD_CTX_copy_ex(Digest, source.Digest) != 1) return NTE_NO_MEMORY;
    }
    return 0;
}

int TLUProviderDataHash::ComputeHash(TVarnoMemory* source, TLUProviderDataHash* hash) {
    (void)source;
    (void)hash;
    TRACE(DBHEAD_L, "<%s>\n", LU_FN);
    TRACE(DBERRO_0,
          "Criar rotina para Computehash, calcular o hash com as informações da dataValue e colocar dentro "
          "do hProviderHash\n");
    TRACE(DBHEAD_0, "</%s result=[0x%08X]>\n", LU_FN, static_cast<unsigned>(NTE_FAIL));
    return NTE_FAIL;
}

int TLUProviderDataHash::SetParam(DWORD paramType, const BYTE* paramValue, DWORD dwFlags) {
    TRACE_SCOPE(DBHEAD_0, Hex, "<%s paramType=[%X] paramValue=[%p] dwFlags=[%X]>\n", LU_FN,
                static_cast<unsigned>(paramType), static_cast<const void*>(paramValue),
                static_cast<unsigned>(dwFlags));
    int result = 0;
    if (!paramValue || !HashPaddingOIDInfo) {
        TRACE(DBERRO_0, "Parametro invalido, paramValue=[%p] HashPaddingOIDInfo=[%p]\n",
              static_cast<const void*>(paramValue), static_cast<const void*>(HashPaddingOIDInfo));
        result = NTE_BAD_HASH;
    } else if (paramType == HP_HASHVAL) {
        // The caller gives no length: the algorithm's hash length says how much is read.
        const uint32_t lenHash = static_cast<uint32_t>(HashPaddingOIDInfo->LenHash);
        DataValue.Clear();
        if (lenHash > 0 && !DataValue.Add(paramValue, lenHash)) {
            TRACE(DBERRO_0, "Falha ao adicionar dados no DataValue.Add, parametro HP_HASHVAL\n");
            DataValue.Clear();
            result = NTE_NO_MEMORY;
        } else {
            // A value of the caller's ends hashing, as CryptoAPI has it.
            Finished = true;
            TRACE_DUMP(DBINFO_0, "Setted HP_HASHVAL", DataValue.FileData,
                       static_cast<int>(DataValue.LenFileData));
        }
    } else {
        TRACE(DBERRO_0, "Não é possive executar paramType=[%X]\n", static_cast<unsigned>(paramType));
        result = NTE_BAD_TYPE;
    }
    TRACE_RETURN(result);
}

int TLUProviderDataHash::GetParam(DWORD paramType, BYTE* paramValue, DWORD* paramSize, DWORD dwFlags) {
    TRACE_SCOPE(DBHEAD_0, Hex, "<%s paramType=[%X] paramValue=[%p] paramSize=[%p] dwFlags=[%X]>\n", LU_FN,
                static_cast<unsigned>(paramType), static_cast<void*>(paramValue),
                static_cast<void*>(paramSize), static_cast<unsigned>(dwFlags));
    int result = 0;
    DWORD dwordValue = 0;
    const BYTE* value = nullptr;
    DWORD sizeValue = 0;
    if (!paramSize) {
        TRACE(DBERRO_0, "Parametro invalido, paramSize=[%p]\n", static_cast<void*>(paramSize));
        result = NTE_BAD_HASH;
    } else if (paramType == HP_ALGID || paramType == HP_HASHSIZE) {
        if (!HashPaddingOIDInfo) {
            TRACE(DBERRO_0, "Parametro invalido, HashPaddingOIDInfo=[%p]\n",
                  static_cast<const void*>(HashPaddingOIDInfo));
            result = NTE_FAIL;
        } else {
            dwordValue = paramType == HP_ALGID ? static_cast<DWORD>(HashPaddingOIDInfo->AlgId)
                                               : static_cast<DWORD>(HashPaddingOIDInfo->LenHash);
            value = reinterpret_cast<const BYTE*>(&dwordValue);
            sizeValue = sizeof(dwordValue);
        }
    } else if (paramType == HP_HASHVAL && (result = FinishValue()) != 0) {
        TRACE(DBERRO_0, "Falha ao finalizar o hash\n");
    } else if (paramType == HP_HASHVAL) {
        if (DataValue.LenFileData > 0) {
            value = DataValue.FileData;
            sizeValue = DataValue.LenFileData;
        } else {
            // Not set yet: only the length the value will have; nothing is copied.
            sizeValue = HashPaddingOIDInfo ? static_cast<DWORD>(HashPaddingOIDInfo->LenHash) : 0;
        }
    } else {
        TRACE(DBERRO_0, "Não é possive executar paramType=[%X]\n", static_cast<unsigned>(paramType));
        result = NTE_BAD_TYPE;
    }
    if (result != 0) TRACE_RETURN(result);
    // A value not set yet: only its length, even into a buffer.
    result = CopyOutValue(value, sizeValue, value ? paramValue : nullptr, paramSize, *paramSize, kCopyParam);
    TRACE(DBINFO_0, "Retornando SizeBuffReturn=[%d]\n", static_cast<int>(sizeValue));
    TRACE_RETURN(result);
}
