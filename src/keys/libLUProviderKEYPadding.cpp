// Block padding: every RSA operation of a key works on exactly one block of KeyLenght bytes.
#include "keys/libLUProviderKEY.h"

#include "platform/platDebug.h"
#include "platform/platTraceScope.h"
#include "platform/platRotPadroes.h"

#include <cstring>

int TLUProviderKey::EncryptDecryptPadding(const TVarnoMemory& input, TVarnoMemory* paddedOut, int KeyLenght,
                                          bool IsEncrypt, const TLUBlockOptions& options) {
    int KeyPadding = options.KeyPadding;
    const int KeyPaddingPKCS1Type = options.KeyPaddingPKCS1Type;
    TRACE_SCOPE(DBHEAD_0, Int, "<%s DataEncryptDecrypt=[%p] IsEncrypt=[%d] KeyPadding=[%X]>\n", LU_FN,
                static_cast<const void*>(&input), IsEncrypt, static_cast<unsigned>(KeyPadding));
    if (!paddedOut) {
        TRACE(DBERRO_0, "Parametro invalido, DataEncryptDecrypt=[%p]\n", static_cast<void*>(paddedOut));
        TRACE_RETURN(NTE_INVALID_PARAMETER);
    }
    int result = 0;
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

    if (KeyPadding == TKP_PAD_NONE && lenWait != 0) {
        TRACE(DBERRO_0, "Padding: Erro no TKP_PAD_NONE, não deve existir LenDataWaitPadding=[%d]\n", lenWait);
        result = NTE_FAIL;
    } else if (KeyPadding != TKP_PAD_NONE && lenWait == 0) {
        TRACE(DBERRO_0, "Padding: Erro no KeyPadding != TKP_PAD_NONE, deve existir LenDataWaitPadding=[%d]\n",
              lenWait);
        result = NTE_FAIL;
    } else if (KeyPadding == TKP_PAD_PKCS1 && lenWait < 11) {
        TRACE(DBERRO_0,
              "Padding: Erro no TKP_PAD_PKCS1, LenDataWaitPadding=[%d] não pode ser menor que 11 bytes.\n",
              lenWait);
        result = NTE_FAIL;
    }

    if (result == 0 && KeyPadding != TKP_PAD_PKCS1 && lenInput > 0 &&
        !padded.Add(input.FileData, static_cast<uint32_t>(lenInput))) {
        TRACE(DBERRO_0, "Falha adicionar DataValue.FileData LenFileData=[%d]\n", lenInput);
        result = NTE_FAIL;
    }

    bool isAddBufferToDone = false;
    BYTE fillByte = 0;
    int fillCount = 0;
    if (result == 0) {
        switch (KeyPadding) {
        case TKP_PAD_NONE:
            TRACE(DBINFO_0, "Padding: TKP_PAD_NONE is Done\n");
            break;
        case TKP_PAD_PKCS1: {
            TRACE(DBINFO_0, "Padding: TKP_PAD_PKCS1\n");
            const BYTE header[2] = {0x00, static_cast<BYTE>(KeyPaddingPKCS1Type & 0xFF)};
            const int lenFiller = lenWait - 3;
            if (!padded.Add(header, sizeof(header))) {
                TRACE(DBERRO_0, "Falha adicionar buffDataTmp 0x00, 0x02\n");
                result = NTE_FAIL;
                break;
            }
            int added = 0;
            if (KeyPaddingPKCS1Type == TKS1_Type1_PrivateKey) {
                if (padded.AddZeroBytes(static_cast<uint32_t>(lenFiller))) {
                    memset(padded.FileData + padded.LenFileData - lenFiller, 0xFF,
                           static_cast<size_t>(lenFiller));
                    added = lenFiller;
                }
            } else if (KeyPaddingPKCS1Type == TKS1_Type2_PublicKey) {
                added = RandomGenerateBuffer(&padded, lenFiller, 0);
            } else {
                TRACE(DBERRO_0, "Não foi suportado Padding KeyPaddingPKCS1Type=[%X]\n",
                      static_cast<unsigned>(KeyPaddingPKCS1Type));
                result = NTE_INVALID_PARAMETER;
                break;
            }
            if (added < lenFiller) {
                TRACE(DBERRO_0,
                      "Falha ao gerar buffer randomico, LenBuffRandomAdded=[%d] LenBuffrandom=[%d]\n", added,
                      lenFiller);
                result = NTE_FAIL;
                break;
            }
            const BYTE separator = 0x00;
            if (!padded.Add(&separator, 1)) {
                TRACE(DBERRO_0, "Falha adicionar buffDataTmp 0x00\n");
                result = NTE_FAIL;
            } else if (!padded.Add(input.FileData, static_cast<uint32_t>(lenInput))) {
                TRACE(DBERRO_0, "Falha adicionar DataValue.FileData LenFileData=[%d]\n", lenInput);
                result = NTE_FAIL;
            }
            break;
        }
        case TKP_PAD_PKCS5:
            TRACE(DBINFO_0, "Padding: TKP_PAD_PKCS5\n");
            isAddBufferToDone = true;
            fillByte = static_cast<BYTE>(lenWait & 0xFF);
            fillCount = lenWait;
            break;
        case TKP_PAD_ISO7816: {
            TRACE(DBINFO_0, "Padding: TKP_PAD_ISO7816\n");
            const BYTE marker = 0x80;
            if (!padded.Add(&marker, 1)) result = NTE_FAIL;
            isAddBufferToDone = true;
            fillByte = 0x00;
            fillCount = lenWait - 1;
            break;
        }
        case TKP_PAD_ZERO:
            TRACE(DBINFO_0, "Padding: TKP_PAD_ZERO\n");
            isAddBufferToDone = true;
            fillByte = 0x00;
            fillCount = lenWait;
            break;
        case TKP_PAD_RANDOM: {
            TRACE(DBINFO_0, "Padding: TKP_PAD_RANDOM\n");
            int added = RandomGenerateBuffer(&padded, lenWait, 0);
            if (added < lenWait) {
                TRACE(DBERRO_0,
                      "Falha ao gerar buffer randomico, LenBuffRandomAdded=[%d] LenDataWaitPadding=[%d]\n",
                      added, lenWait);
                result = NTE_FAIL;
            }
            break;
        }
        default:
            TRACE(DBERRO_0, "KeyPadding=[%d] não foi implementada\n", KeyPadding);
            result = NTE_INVALID_PARAMETER;
            break;
        }
    }

    if (result == 0 && isAddBufferToDone && fillCount > 0) {
        for (int i = 0; i < fillCount && result == 0; ++i)
            if (!padded.Add(&fillByte, 1)) result = NTE_FAIL;
    }

    if (result == 0 && static_cast<int>(padded.LenFileData) != lenKey) {
        TRACE(DBERRO_0,
              "Falha ao fazer o padding, DataValuePadded.LenFileData=[%d] é diferente do KeyLenght=[%d] "
              "IsAddBufferToDone=[%d]\n",
              static_cast<int>(padded.LenFileData), lenKey, isAddBufferToDone);
        result = NTE_FAIL;
    }
    TRACE_RETURN(result);
}
