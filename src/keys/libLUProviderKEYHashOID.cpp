// Lookups into the hash table and the DigestInfo (prefix + hash value) that a signature covers.
#include "keys/libLUProviderKEY.h"

#include "platform/platDebug.h"
#include "platform/platTraceScope.h"
#include "platform/platRotPadroes.h"

namespace {

// First row whose type (byAlgId false) or ALG_ID (byAlgId true) equals wanted.
int SearchPaddingOIDInfo(const THashPaddingOIDInfo** retHashPaddingOIDInfo, bool byAlgId, unsigned wanted) {
    TRACE_SCOPE_AS(
        DBHEAD_0, Hex, "TLUProviderKey::EncryptDecryptHashGetPaddingOIDInfo",
        "<%s retHashPaddingOIDInfo=[%d] SearchFromHasPaddingDesc=[%p] SearchFromHashAlgType=[%p]>\n", LU_FN,
        retHashPaddingOIDInfo ? 1 : 0, reinterpret_cast<void*>(static_cast<uintptr_t>(byAlgId ? wanted : 0)),
        reinterpret_cast<void*>(static_cast<uintptr_t>(byAlgId ? 0 : wanted)));
    int result = NTE_FAIL;
    if (!retHashPaddingOIDInfo) {
        TRACE(DBERRO_0, "Parametro invalido, retHashPaddingOIDInfo=[%p]\n",
              static_cast<void*>(retHashPaddingOIDInfo));
        result = NTE_INVALID_PARAMETER;
    } else {
        for (int i = 0; i < LU_QTD_HASH_PADDING_OID; ++i) {
            const THashPaddingOIDInfo& row = HashPaddingOIDInfo[i];
            unsigned key =
                byAlgId ? static_cast<unsigned>(row.AlgId) : static_cast<unsigned>(row.HashAlgType);
            if (key != wanted) continue;
            *retHashPaddingOIDInfo = &row;
            TRACE(DBINFO_0,
                  "Encontrou HashAlgType=[%X], HashPaddingOIDInfo[%d][%s], LenHash[%d], "
                  "LenBuffPaddingOID=[%d], "
                  "LenHash+LenBuffPaddingOID=[%d]\n",
                  wanted, i, ConvWideToAnsiTemp(row.PaddingDesc), row.LenHash, row.LenBuffPaddingOID,
                  row.LenHash + row.LenBuffPaddingOID);
            result = 0;
            break;
        }
        if (result != 0)
            TRACE(DBERRO_0,
                  "Falha ao encontrar o Algoritimo pelo tipo, SearchFromHashAlgType=[%d] "
                  "SearchFromHasPaddingDesc=[%p]\n",
                  static_cast<int>(wanted), static_cast<void*>(nullptr));
    }
    TRACE_RETURN(result);
}

} // namespace

int TLUProviderKey::EncryptDecryptHashGetPaddingOIDInfo(const THashPaddingOIDInfo** retHashPaddingOIDInfo,
                                                        THashAlgType HashAlgType) {
    return SearchPaddingOIDInfo(retHashPaddingOIDInfo, false, static_cast<unsigned>(HashAlgType));
}

int TLUProviderKey::EncryptDecryptHashGetPaddingOIDInfo(const THashPaddingOIDInfo** retHashPaddingOIDInfo,
                                                        ALG_ID AlgId) {
    return SearchPaddingOIDInfo(retHashPaddingOIDInfo, true, static_cast<unsigned>(AlgId));
}

int TLUProviderKey::EncryptDecryptHashPaddingOID(const TVarnoMemory* DataValue,
                                                 TVarnoMemory* DataValuePadding,
                                                 const THashPaddingOIDInfo* HashPaddingOIDInfo,
                                                 bool IsEncrypt) {
    TRACE_SCOPE(DBHEAD_0, Hex,
                "<%s DataValue=[%p] DataValuePadding=[%p] HashPaddingOIDInfo=[%p], IsEncrypt=[%p] >\n", LU_FN,
                static_cast<const void*>(DataValue), static_cast<void*>(DataValuePadding),
                static_cast<const void*>(HashPaddingOIDInfo),
                reinterpret_cast<void*>(static_cast<uintptr_t>(IsEncrypt)));
    int result = 0;
    if (!DataValue || !DataValuePadding || !HashPaddingOIDInfo) {
        TRACE(DBERRO_0, "Parametro invalido, DataValue=[%p] DataValuePadding=[%p] HashPaddingOIDInfo=[%p]\n",
              static_cast<const void*>(DataValue), static_cast<void*>(DataValuePadding),
              static_cast<const void*>(HashPaddingOIDInfo));
        result = NTE_INVALID_PARAMETER;
    } else if (!IsEncrypt) {
        TRACE(DBERRO_0, "EncryptDecryptHashPaddingOID with IsEncrypt=[%d] não foi implementado\n", IsEncrypt);
        result = NTE_FAIL;
    } else if (HashPaddingOIDInfo->LenHash != 0 &&
               DataValue->LenFileData != static_cast<uint32_t>(HashPaddingOIDInfo->LenHash)) {
        TRACE(DBERRO_0,
              "Tamanho do buffer não é igual ao esperado pelo PaddingOID, LenFileData=[%d] LenHash=[%d]\n",
              static_cast<int>(DataValue->LenFileData), HashPaddingOIDInfo->LenHash);
        result = NTE_INVALID_PARAMETER;
    } else {
        DataValuePadding->Clear();
        if (HashPaddingOIDInfo->HashAlgType == THT_NONE || HashPaddingOIDInfo->LenBuffPaddingOID == 0) {
            TRACE(DBINFO_0, "Padding OID: Sucess no adding padding, returning only data.\n");
        } else if (!DataValuePadding->Add(HashPaddingOIDInfo->BuffPaddingOID,
                                          static_cast<uint32_t>(HashPaddingOIDInfo->LenBuffPaddingOID))) {
            TRACE(DBERRO_0, "Falha ao adicionar BuffPaddingOID no DataValuePadding\n");
            TRACE_RETURN(NTE_FAIL);
        } else {
            TRACE(DBINFO_0, "Padding OID: Sucess HashAlgType=[%X][%s]\n",
                  static_cast<unsigned>(HashPaddingOIDInfo->HashAlgType),
                  ConvWideToAnsiTemp(HashPaddingOIDInfo->PaddingDesc));
        }
        if (DataValue->LenFileData > 0 &&
            !DataValuePadding->Add(DataValue->FileData, DataValue->LenFileData)) {
            TRACE(DBERRO_0, "Falha ao adicionar BuffPaddingOID no DataValuePadding\n");
            result = NTE_FAIL;
        }
    }
    TRACE_RETURN(result);
}
