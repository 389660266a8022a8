#include "service/libDataEncryptDecrypt.h"

#include "platform/platDebug.h"
#include "platform/platTraceScope.h"

#include <cstdio>
#include <cstdlib>

TDataEncryptDecrypt::TDataEncryptDecrypt() : IsSigned(false) {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
}

TDataEncryptDecrypt::~TDataEncryptDecrypt() {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    Clear();
}

void TDataEncryptDecrypt::Clear() {
    Hash.Clear();
    HashID.Clear();
    DataValueInput.Clear();
    DataValueBase64.Clear();
    DataValuePadded.Clear();
    ClearSignature();
}

void TDataEncryptDecrypt::ClearSignature() {
    DataResult.Clear();
    IsSigned = false;
}

bool TDataEncryptDecrypt::ComputeHashID(int IndiceID) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s IndiceID=[%d]>\n", LU_FN, IndiceID);
    bool result = false;
    char textID[32];
    snprintf(textID, sizeof(textID), "ID%d", IndiceID);
    Hash.Clear();
    HashID.Clear();
    DataValueBase64.Clear();
    if (Hash.Add(textID) &&
        (DataValueInput.LenFileData == 0 ||
         Hash.Add(DataValueInput.FileData, static_cast<int>(DataValueInput.LenFileData))) &&
        Hash.Compute_MD5() && Hash.digestHexAscii && HashID.AddString(Hash.digestHexAscii)) {
        char* base64 =
            Hash.Encode_Base64(DataValuePadded.FileData, static_cast<int>(DataValuePadded.LenFileData), 1);
        if (base64) {
            result = DataValueBase64.AddString(base64) != 0;
            free(base64);
        }
    }
    if (!result) {
        TRACE(DBERRO_0, "Falha ao criar o HashID\n");
        DataValueBase64.Clear();
    }
    TRACE_RETURN(result);
}

bool TDataEncryptDecrypt::LoadDataResultBase64(const char* SetDataResultBase64) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s SetDataResultBase64=[%p]>\n", LU_FN,
                static_cast<const void*>(SetDataResultBase64));
    bool result = false;
    if (!SetDataResultBase64) {
        TRACE(DBERRO_0, "Parametro invalido, SetDataResultBase64=[%p]\n",
              static_cast<const void*>(SetDataResultBase64));
    } else {
        DataResult.Clear();
        result = Hash.Decode_Base64(SetDataResultBase64, &DataResult) != 0;
        if (!result) TRACE(DBERRO_0, "Falha ao Decodificar SetDataResultBase64=[%s]\n", SetDataResultBase64);
    }
    TRACE_RETURN(result);
}
