#include "frontend/luKspPadding.h"

#include "frontend/luKspProperties.h"
#include "keys/libLUProviderKEY.h"
#include "platform/platDebug.h"
#include "platform/platRotPadroes.h"

const THashPaddingOIDInfo* luKspHashRow(LPCWSTR algId) {
    if (!algId) return nullptr;
    static const THashAlgType kSignable[] = {THT_MD5, THT_SHA1, THT_SHA256, THT_SHA384, THT_SHA512};
    for (THashAlgType type : kSignable) {
        const THashPaddingOIDInfo* row = nullptr;
        if (TLUProviderKey::EncryptDecryptHashGetPaddingOIDInfo(&row, type) == 0 && row &&
            luKspSameName(row->PaddingDesc, algId))
            return row;
    }
    return nullptr;
}

int luKspParsePadding(const void* pPaddingInfo, DWORD dwFlags, DWORD cbHash, TLUKspPadding* out) {
    const DWORD padding = dwFlags & ~static_cast<DWORD>(NCRYPT_SILENT_FLAG);
    if (padding != BCRYPT_PAD_PKCS1 && padding != BCRYPT_PAD_PSS) {
        TRACE(DBERRO_0, "Padding nao suportado, dwFlags=[%X]\n", static_cast<unsigned>(dwFlags));
        return NTE_BAD_FLAGS;
    }
    if (!pPaddingInfo && padding == BCRYPT_PAD_PSS) {
        TRACE(DBERRO_0, "BCRYPT_PAD_PSS sem BCRYPT_PSS_PADDING_INFO\n");
        return NTE_INVALID_PARAMETER;
    }
    // Both infos begin with the algorithm's name.
    LPCWSTR algId =
        pPaddingInfo ? static_cast<const BCRYPT_PKCS1_PADDING_INFO*>(pPaddingInfo)->pszAlgId : nullptr;
    out->Row = nullptr;
    if (algId) {
        out->Row = luKspHashRow(algId);
        if (!out->Row || (padding == BCRYPT_PAD_PSS && out->Row->HashAlgType == THT_MD5)) {
            TRACE(DBERRO_0, "Algoritmo de hash nao suportado, pszAlgId=[%s]\n", ConvWideToAnsiTemp(algId));
            return NTE_NOT_SUPPORTED;
        }
    } else if (padding == BCRYPT_PAD_PSS) {
        TRACE(DBERRO_0, "BCRYPT_PAD_PSS sem algoritmo de hash\n");
        return NTE_INVALID_PARAMETER;
    } else if (TLUProviderKey::EncryptDecryptHashGetPaddingOIDInfo(&out->Row, THT_NONE) != 0) {
        return NTE_FAIL;
    }
    if (out->Row->LenHash != 0 && cbHash != static_cast<DWORD>(out->Row->LenHash)) {
        TRACE(DBERRO_0, "Tamanho do hash invalido, cbHash=[%u] LenHash=[%d]\n", static_cast<unsigned>(cbHash),
              out->Row->LenHash);
        return NTE_INVALID_PARAMETER;
    }
    if (cbHash == 0) {
        TRACE(DBERRO_0, "Hash vazio\n");
        return NTE_INVALID_PARAMETER;
    }
    out->Block = TLUBlockOptions{TKP_PAD_PKCS1, TKS1_Type1_PrivateKey};
    if (padding == BCRYPT_PAD_PSS) {
        const ULONG salt = static_cast<const BCRYPT_PSS_PADDING_INFO*>(pPaddingInfo)->cbSalt;
        if (salt > 0x10000) {
            TRACE(DBERRO_0, "cbSalt invalido, cbSalt=[%u]\n", static_cast<unsigned>(salt));
            return NTE_INVALID_PARAMETER;
        }
        out->Block = TLUBlockOptions{TKP_PAD_PSS, 0, static_cast<int>(salt)};
    }
    return 0;
}
