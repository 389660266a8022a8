#include "frontend/libLUProviderDataHash.h"

#include "platform/platCopyOut.h"
#include "platform/platDebug.h"

TLUProviderDataHash::TLUProviderDataHash() : HashPaddingOIDInfo(nullptr) {
    TRACE(DBHEAD_L, "<%s>\n", LU_FN);
    TRACE(DBHEAD_L, "</%s>\n", LU_FN);
}

TLUProviderDataHash::~TLUProviderDataHash() {
    TRACE(DBHEAD_L, "<%s>\n", LU_FN);
    DataValue.Clear();
    TRACE(DBHEAD_L, "</%s>\n", LU_FN);
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
    TRACE(DBHEAD_0, "<%s paramType=[%X] paramValue=[%p] dwFlags=[%X]>\n", LU_FN,
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
            TRACE_DUMP(DBINFO_0, "Setted HP_HASHVAL", DataValue.FileData,
                       static_cast<int>(DataValue.LenFileData));
        }
    } else {
        TRACE(DBERRO_0, "Não é possive executar paramType=[%X]\n", static_cast<unsigned>(paramType));
        result = NTE_BAD_TYPE;
    }
    TRACE(DBHEAD_0, "</%s result=[0x%08X]>\n", LU_FN, static_cast<unsigned>(result));
    return result;
}

int TLUProviderDataHash::GetParam(DWORD paramType, BYTE* paramValue, DWORD* paramSize, DWORD dwFlags) {
    TRACE(DBHEAD_0, "<%s paramType=[%X] paramValue=[%p] paramSize=[%p] dwFlags=[%X]>\n", LU_FN,
          static_cast<unsigned>(paramType), static_cast<void*>(paramValue), static_cast<void*>(paramSize),
          static_cast<unsigned>(dwFlags));
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
    if (result == 0) {
        // A value not set yet: only its length, even into a buffer.
        result =
            CopyOutValue(value, sizeValue, value ? paramValue : nullptr, paramSize, *paramSize, kCopyParam);
        TRACE(DBINFO_0, "Retornando SizeBuffReturn=[%d]\n", static_cast<int>(sizeValue));
    }
    TRACE(DBHEAD_0, "</%s result=[0x%08X]>\n", LU_FN, static_cast<unsigned>(result));
    return result;
}
