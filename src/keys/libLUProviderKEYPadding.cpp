// Block padding: every RSA operation of a key works on exactly one block of KeyLenght bytes.
#include "keys/libLUProviderKEY.h"

#include "platform/platDebug.h"
#include "platform/platTraceScope.h"
#include "platform/platRotPadroes.h"

#include <cstring>

namespace {

// The room left for the padding fits the scheme.
bool PaddingRoomFits(int KeyPadding, int lenWait) {
    if (KeyPadding == TKP_PAD_NONE && lenWait != 0) {
        TRACE(DBERRO_0, "Padding: Erro no TKP_PAD_NONE, não deve existir LenDataWaitPadding=[%d]\n", lenWait);
        return false;
    }
    if (KeyPadding != TKP_PAD_NONE && lenWait == 0) {
        TRACE(DBERRO_0, "Padding: Erro no KeyPadding != TKP_PAD_NONE, deve existir LenDataWaitPadding=[%d]\n",
              lenWait);
        return false;
    }
    if (KeyPadding == TKP_PAD_PKCS1 && lenWait < 11) {
        TRACE(DBERRO_0,
              "Padding: Erro no TKP_PAD_PKCS1, LenDataWaitPadding=[%d] não pode ser menor que 11 bytes.\n",
              lenWait);
        return false;
    }
    return true;
}

// PKCS #1 v1.5: 00, block type, filler (FF for type 1, random non-zero for type 2), 00, data.
int PadPkcs1(TVarnoMemory& padded, const TVarnoMemory& input, int lenWait, int pkcs1Type) {
    TRACE(DBINFO_0, "Padding: TKP_PAD_PKCS1\n");
    const int lenInput = static_cast<int>(input.LenFileData);
    const BYTE header[2] = {0x00, static_cast<BYTE>(pkcs1Type & 0xFF)};
    const int lenFiller = lenWait - 3;
    if (!padded.Add(header, sizeof(header))) {
        TRACE(DBERRO_0, "Falha adicionar buffDataTmp 0x00, 0x02\n");
        return NTE_FAIL;
    }
    int added = 0;
    if (pkcs1Type == TKS1_Type1_PrivateKey) {
        if (padded.AddZeroBytes(static_cast<uint32_t>(lenFiller))) {
            memset(padded.FileData + padded.LenFileData - lenFiller, 0xFF, static_cast<size_t>(lenFiller));
            added = lenFiller;
        }
    } else if (pkcs1Type == TKS1_Type2_PublicKey) {
        added = RandomGenerateBuffer(&padded, lenFiller, 0);
    } else {
        TRACE(DBERRO_0, "Não foi suportado Padding KeyPaddingPKCS1Type=[%X]\n",
              static_cast<unsigned>(pkcs1Type));
        return NTE_INVALID_PARAMETER;
    }
    if (added < lenFiller) {
        TRACE(DBERRO_0, "Falha ao gerar buffer randomico, LenBuffRandomAdded=[%d] LenBuffrandom=[%d]\n",
              added, lenFiller);
        return NTE_FAIL;
    }
    const BYTE separator = 0x00;
    if (!padded.Add(&separator, 1)) {
        TRACE(DBERRO_0, "Falha adicionar buffDataTmp 0x00\n");
        return NTE_FAIL;
    }
    if (!padded.Add(input.FileData, static_cast<uint32_t>(lenInput))) {
        TRACE(DBERRO_0, "Falha adicionar DataValue.FileData LenFileData=[%d]\n", lenInput);
        return NTE_FAIL;
    }
    return 0;
}

// PKCS #5, ISO 7816 and zero padding: count bytes of one value after the data.
int PadFill(TVarnoMemory& padded, BYTE fillByte, int fillCount) {
    for (int i = 0; i < fillCount; ++i)
        if (!padded.Add(&fillByte, 1)) return NTE_FAIL;
    return 0;
}

int PadIso7816(TVarnoMemory& padded, int lenWait) {
    TRACE(DBINFO_0, "Padding: TKP_PAD_ISO7816\n");
    const BYTE marker = 0x80;
    if (!padded.Add(&marker, 1)) return NTE_FAIL;
    return PadFill(padded, 0x00, lenWait - 1);
}

int PadRandom(TVarnoMemory& padded, int lenWait) {
    TRACE(DBINFO_0, "Padding: TKP_PAD_RANDOM\n");
    int added = RandomGenerateBuffer(&padded, lenWait, 0);
    if (added < lenWait) {
        TRACE(DBERRO_0, "Falha ao gerar buffer randomico, LenBuffRandomAdded=[%d] LenDataWaitPadding=[%d]\n",
              added, lenWait);
        return NTE_FAIL;
    }
    return 0;
}

// The scheme's bytes (after the data, which all schemes but PKCS #1 already hold). fillScheme tells
// the schemes that fill after the data, for the length check's trace.
int PadScheme(TVarnoMemory& padded, const TVarnoMemory& input, int KeyPadding, int pkcs1Type, int lenWait,
              bool& fillScheme) {
    switch (KeyPadding) {
    case TKP_PAD_NONE:
        TRACE(DBINFO_0, "Padding: TKP_PAD_NONE is Done\n");
        return 0;
    case TKP_PAD_PKCS1:
        return PadPkcs1(padded, input, lenWait, pkcs1Type);
    case TKP_PAD_PKCS5:
        TRACE(DBINFO_0, "Padding: TKP_PAD_PKCS5\n");
        fillScheme = true;
        return PadFill(padded, static_cast<BYTE>(lenWait & 0xFF), lenWait);
    case TKP_PAD_ISO7816:
        fillScheme = true;
        return PadIso7816(padded, lenWait);
    case TKP_PAD_ZERO:
        TRACE(DBINFO_0, "Padding: TKP_PAD_ZERO\n");
        fillScheme = true;
        return PadFill(padded, 0x00, lenWait);
    case TKP_PAD_RANDOM:
        return PadRandom(padded, lenWait);
    default:
        TRACE(DBERRO_0, "KeyPadding=[%d] não foi implementada\n", KeyPadding);
        return NTE_INVALID_PARAMETER;
    }
}

} // namespace

int TLUProviderKey::EncryptDecryptPadding(const TVarnoMemory& input, TVarnoMemory* paddedOut, int KeyLenght,
                                          bool IsEncrypt, const TLUBlockOptions& options) {
    int KeyPadding = options.KeyPadding;
    TRACE_SCOPE(DBHEAD_0, Int, "<%s DataEncryptDecrypt=[%p] IsEncrypt=[%d] KeyPadding=[%X]>\n", LU_FN,
                static_cast<const void*>(&input), IsEncrypt, static_cast<unsigned>(KeyPadding));
    if (!paddedOut) {
        TRACE(DBERRO_0, "Parametro invalido, DataEncryptDecrypt=[%p]\n", static_cast<void*>(paddedOut));
        TRACE_RETURN(NTE_INVALID_PARAMETER);
    }
    TVarnoMemory& padded = *paddedOut;
    const int lenKey = KeyLenght;
    const int lenInput = static_cast<int>(input.LenFileData);

    if (lenKey < lenInput || lenKey <= 0) {
        TRACE(DBERRO_0,
              "Não foi implementado a geração de pacotes multiplos LenFileData=[%d] KeyLenght=[%d]\n",
              lenInput, lenKey);
        TRACE_RETURN(NTE_FAIL);
    }
    // The public-key direction (verification) works on the bare block.
    if (!IsEncrypt) KeyPadding = TKP_PAD_NONE;

    padded.Clear();
    const int lenWait = lenKey - lenInput;
    TRACE(DBINFO_0, "LenDataWaitPadding=[%d] KeyLenght=[%d] DataValue.LenFileData=[%d]\n", lenWait, lenKey,
          lenInput);
    if (!PaddingRoomFits(KeyPadding, lenWait)) TRACE_RETURN(NTE_FAIL);
    if (KeyPadding != TKP_PAD_PKCS1 && lenInput > 0 &&
        !padded.Add(input.FileData, static_cast<uint32_t>(lenInput))) {
        TRACE(DBERRO_0, "Falha adicionar DataValue.FileData LenFileData=[%d]\n", lenInput);
        TRACE_RETURN(NTE_FAIL);
    }
    bool fillScheme = false;
    int result = PadScheme(padded, input, KeyPadding, options.KeyPaddingPKCS1Type, lenWait, fillScheme);
    if (result != 0) TRACE_RETURN(result);
    if (static_cast<int>(padded.LenFileData) != lenKey) {
        TRACE(DBERRO_0,
              "Falha ao fazer o padding, DataValuePadded.LenFileData=[%d] é diferente do KeyLenght=[%d] "
              "IsAddBufferToDone=[%d]\n",
              static_cast<int>(padded.LenFileData), lenKey, fillScheme);
        TRACE_RETURN(NTE_FAIL);
    }
    TRACE_RETURN(0);
}
