#include "keys/libLUProviderKEY.h"

#include "platform/platCopyOut.h"
#include "platform/platDebug.h"
#include "platform/platTraceScope.h"
#include "platform/platRotPadroes.h"

#include <cstring>

// ---------------------------------------------------------------------------------------------------
// TLULoginToken

TLULoginToken::TLULoginToken() {
    Clear();
}

TLULoginToken::~TLULoginToken() {
    Clear();
}

void TLULoginToken::Clear() {
    SecureZero(Text, sizeof(Text));
}

TLUProviderKey::TLUProviderKey(std::shared_ptr<TCertificate> certificateToLoad, DWORD legacyKeySpec)
    : KeyType(certificateToLoad ? LUK_TCertificate : LUK_TNone), certificate(std::move(certificateToLoad)),
      KeyPadding(TKP_PAD_PKCS1), KeyPaddingPKCS1Type(TKS1_Type1_PrivateKey), AlgId(CALG_RSA_KEYX),
      LegacyKeySpec(legacyKeySpec) {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    if (certificate) TRACE(DBINFO_0, "Adicionando uma Chave com KeyType=[%d]\n", LUK_TCertificate);
}

TLUProviderKey::~TLUProviderKey() {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
}

int TLUProviderKey::KeyLenght() const {
    return HasCertificate() ? certificate->KeyLenght : 0;
}

int TLUProviderKey::SetParam(DWORD paramSetType, const BYTE* paramValue, DWORD dwFlags) {
    TRACE_SCOPE(DBHEAD_0, Hex, "<%s paramSetType=[%X] paramValue=[%p] dwFlags=[%X]>\n", LU_FN,
                static_cast<unsigned>(paramSetType), static_cast<const void*>(paramValue),
                static_cast<unsigned>(dwFlags));
    int result = 0;
    if (!paramValue) {
        TRACE(DBERRO_0, "Parametro HASH é nulo\n");
        result = NTE_BAD_HASH;
    } else if (paramSetType == KP_PADDING) {
        DWORD dwordTmp = 0;
        memcpy(&dwordTmp, paramValue, sizeof(dwordTmp));
        switch (dwordTmp) {
        case PKCS5_PADDING:
            TRACE(DBINFO_0, "Setting ParamKeyPadding P_MODE=[PKCS5_PADDING][TKP_PAD_PKCS5]\n");
            KeyPadding = TKP_PAD_PKCS5;
            break;
        case RANDOM_PADDING:
            TRACE(DBINFO_0, "Setting ParamKeyPadding=[RANDOM_PADDING][TKP_PAD_RANDOM]\n");
            KeyPadding = TKP_PAD_RANDOM;
            break;
        case ZERO_PADDING:
            TRACE(DBINFO_0, "Setting ParamKeyPadding=[ZERO_PADDING][TKP_PAD_ZERO]\n");
            KeyPadding = TKP_PAD_ZERO;
            break;
        default:
            TRACE(DBERRO_0, "Erro setting ParamKeyPadding dwordTmp=[%d] não é suportado\n",
                  static_cast<int>(dwordTmp));
            result = NTE_BAD_FLAGS;
            break;
        }
    } else if (paramSetType == KP_MODE) {
        if (KeyType == LUK_TCertificate) {
            TRACE(DBERRO_0, "Não é possivel setar o KP_MODE quando o tipo da chave é LUK_TCertificate\n");
            result = NTE_BAD_TYPE;
        } else {
            TRACE(DBERRO_0, "KeyType=[%d] não foi implementada\n", KeyType);
            result = NTE_SYS_ERR;
        }
    } else {
        TRACE(DBERRO_0, "paramSetType=[%X] não foi implementado.\n", static_cast<unsigned>(paramSetType));
        result = NTE_BAD_TYPE;
    }
    TRACE_RETURN(result);
}

int TLUProviderKey::GetParam(DWORD paramGetType, BYTE* paramValue, DWORD* paramSize, DWORD dwFlags) {
    TRACE_SCOPE(DBHEAD_0, Hex, "<%s paramGetType=[%X] paramValue=[%p] paramSize=[%p] dwFlags=[%X]>\n", LU_FN,
                static_cast<unsigned>(paramGetType), static_cast<void*>(paramValue),
                static_cast<void*>(paramSize), static_cast<unsigned>(dwFlags));
    int result = 0;
    DWORD dwordValue = 0;
    const BYTE* value = nullptr;
    DWORD sizeValue = 0;
    if (!paramSize) {
        TRACE(DBERRO_0, "Parametro invalido, paramSize=[%p]\n", static_cast<void*>(paramSize));
        result = NTE_BAD_HASH;
    } else {
        switch (paramGetType) {
        case KP_PERMISSIONS:
            dwordValue = CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_EXPORT_KEY | CRYPT_IMPORT_KEY;
            TRACE(DBINFO_0, "Reading KP_PERMISSIONS=[%d]\n", static_cast<int>(dwordValue));
            break;
        case KP_ALGID:
            dwordValue = AlgId;
            TRACE(DBINFO_0, "Reading KP_ALGID=[%X]\n", static_cast<unsigned>(dwordValue));
            break;
        case KP_KEYLEN:
        case KP_BLOCKLEN:
        case KP_CERTIFICATE:
            // Both read the certificate, which only a certificate key has.
            if (KeyType != LUK_TCertificate || !certificate) {
                TRACE(DBERRO_0, "KeyType=[%d] não foi implementada\n", KeyType);
                result = NTE_SYS_ERR;
            } else if (paramGetType != KP_CERTIFICATE) {
                // CryptoAPI gives both in bits; an RSA key's block is its modulus.
                dwordValue = static_cast<DWORD>(certificate->KeyLenght) * 8;
                TRACE(DBINFO_0, "Reading KP_KEYLEN/KP_BLOCKLEN=[%d]\n", static_cast<int>(dwordValue));
            } else {
                value = certificate->CertFileBIN.FileData;
                sizeValue = certificate->CertFileBIN.LenFileData;
            }
            break;
        default:
            TRACE(DBERRO_0, "paramGetType=[%X] não foi implementado '%s'\n",
                  static_cast<unsigned>(paramGetType), LU_FN);
            result = NTE_BAD_TYPE;
            break;
        }
        if (result != 0) TRACE_RETURN(result);
        if (!value) {
            value = reinterpret_cast<const BYTE*>(&dwordValue);
            sizeValue = sizeof(dwordValue);
        }
        result = CopyOutValue(value, sizeValue, paramValue, paramSize, *paramSize, kCopyKeyParam);
    }
    TRACE_RETURN(result);
}
