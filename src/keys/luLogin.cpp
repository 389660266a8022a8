// Login step of a private-key operation: the certificate's access token, stored beforehand in the
// current user's registry, is handed to the signing-service client.
#include "keys/luLogin.h"

#include "frontend/libLumidra.h"
#include "keys/libLUProviderKEY.h"
#include "platform/TVarnoRegedit.h"
#include "platform/platDebug.h"

#include <cstring>

namespace {

void WipeToken(char* token, size_t size) {
    volatile char* p = token;
    for (size_t i = 0; i < size; ++i)
        p[i] = 0;
}

} // namespace

int TLUProviderKey::VerifyLogin(bool HasFlagCryptSilent, DWORD dwFlags) {
    TRACE(DBHEAD_0, "<%s HasFlagCryptSilent=[%d] dwFlags=[0x%08X]>\n", LU_FN, HasFlagCryptSilent ? 1 : 0,
          static_cast<unsigned>(dwFlags));
    int result = 0;
    if (KeyType == LUK_TCertificate) {
        result = VerifyLogin_LoadLocalToken(certificate);
        if (result != 0) TRACE(DBERRO_0, "Falha na VerifyLogin_LoadLocalToken, result=[%d]\n", result);
    } else {
        TRACE(DBERRO_0, "KeyType=[%d] não foi implementada\n", KeyType);
        result = NTE_SYS_ERR;
    }
    // No cached signature survives a failed login.
    if (result != 0) CacheForget();
    TRACE(DBHEAD_0, "</%s result=[0x%08X]>\n", LU_FN, static_cast<unsigned>(result));
    return result;
}

int TLUProviderKey::VerifyLogin_LoadLocalToken(TCertificate* certificateToLoad) {
    int result = NTE_FAIL;
    TRACE(DBHEAD_0, "<%s certificate=[%p]>\n", LU_FN, static_cast<void*>(certificateToLoad));
    TLUConex* conex = gLumidra ? &gLumidra->Conex : nullptr;
    // A failure below must leave no usable token behind.
    if (conex) conex->Token_Clear();

    if (KeyType != LUK_TCertificate || !certificateToLoad || !certificateToLoad->SerialNumber) {
        TRACE(DBERRO_0, "Parametro Invalido, KeyType=[%d], certificate=[%p]\n", KeyType,
              static_cast<void*>(certificateToLoad));
    } else if (!conex) {
        TRACE(DBERRO_0, "Cliente do servico de assinatura indisponivel, gLumidra=[%p]\n",
              static_cast<void*>(gLumidra));
    } else {
        TVarnoRegedit regedit(HKEY_CURRENT_USER);
        if (!regedit.SetGrupoName(GRUPO_NAME_CERTIFICATE, certificateToLoad->SerialNumber, KEY_WOW64_64KEY)) {
            TRACE(DBERRO_0, "Erro na SetGrupoName, GRUPO_NAME_CERTIFICATE=[%d] SerialNumber=[%s]",
                  GRUPO_NAME_CERTIFICATE, certificateToLoad->SerialNumber);
        } else {
            memset(TokenLocal, 0, sizeof(TokenLocal));
            DWORD lenTmpRead = sizeof(TokenLocal);
            if (!regedit.RegQueryValueW("Token", GRUPO_NAME_CERTIFICATE, REG_BINARY, TokenLocal,
                                        &lenTmpRead)) {
                TRACE(DBERRO_0, "Erro na RegQueryValue, GRUPO_NAME_CERTIFICATE=[%d] lenTmpRead=[%d]",
                      GRUPO_NAME_CERTIFICATE, static_cast<int>(lenTmpRead));
            } else if (lenTmpRead >= sizeof(TokenLocal)) {
                // A full buffer has no terminator: the token would be read past its end.
                TRACE(DBERRO_0, "Token armazenado muito longo, GRUPO_NAME_CERTIFICATE=[%d] lenTmpRead=[%d]\n",
                      GRUPO_NAME_CERTIFICATE, static_cast<int>(lenTmpRead));
            } else if (!conex->Token_Load(certificateToLoad, TokenLocal)) {
                TRACE(DBERRO_0, "Token armazenado invalido, GRUPO_NAME_CERTIFICATE=[%d] lenTmpRead=[%d]\n",
                      GRUPO_NAME_CERTIFICATE, static_cast<int>(lenTmpRead));
            } else {
                result = 0;
                TRACE(DBWARN_0, "Usando TokenLocalRegEdit, SerialNumber=[%s]\n",
                      certificateToLoad->SerialNumber);
            }
            // The client holds its own copy; the key keeps none.
            WipeToken(TokenLocal, sizeof(TokenLocal));
        }
    }
    TRACE(DBHEAD_0, "</%s result=[0x%08X]>\n", LU_FN, static_cast<unsigned>(result));
    return result;
}
