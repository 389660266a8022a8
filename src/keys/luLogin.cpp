// Login step of a private-key operation: the certificate's access token, stored beforehand in the
// current user's registry, is read for the one operation that follows.
#include "keys/luLogin.h"

#include "keys/libLUProviderKEY.h"
#include "platform/TVarnoRegedit.h"
#include "platform/platDebug.h"
#include "platform/platTraceScope.h"
#include "platform/platRotPadroes.h"
#include "platform/platSecret.h"
#include "platform/platToken.h"

#include <cstring>

int TLUProviderKey::VerifyLogin(bool HasFlagCryptSilent, DWORD dwFlags, TLULoginToken* token) {
    TRACE_SCOPE(DBHEAD_0, Hex, "<%s HasFlagCryptSilent=[%d] dwFlags=[0x%08X]>\n", LU_FN,
                HasFlagCryptSilent ? 1 : 0, static_cast<unsigned>(dwFlags));
    int result = 0;
    if (KeyType == LUK_TCertificate) {
        result = VerifyLogin_LoadLocalToken(certificate.get(), token);
        if (result != 0) TRACE(DBERRO_0, "Falha na VerifyLogin_LoadLocalToken, result=[%d]\n", result);
    } else {
        TRACE(DBERRO_0, "KeyType=[%d] não foi implementada\n", KeyType);
        result = NTE_SYS_ERR;
    }
    // No cached signature survives a failed login.
    if (result != 0) Cache.Forget();
    TRACE_RETURN(result);
}

int TLUProviderKey::VerifyLogin_LoadLocalToken(TCertificate* certificateToLoad, TLULoginToken* token) {
    int result = NTE_FAIL;
    TRACE_SCOPE(DBHEAD_0, Hex, "<%s certificate=[%p]>\n", LU_FN, static_cast<void*>(certificateToLoad));
    if (token) token->Clear();
    if (KeyType != LUK_TCertificate || !certificateToLoad || !certificateToLoad->SerialNumber || !token) {
        TRACE(DBERRO_0, "Parametro Invalido, KeyType=[%d], certificate=[%p]\n", KeyType,
              static_cast<void*>(certificateToLoad));
    } else {
        // Read only: a login never creates keys. The value is a protected blob, or the text of earlier
        // versions (or of the plaintext setting).
        BYTE stored[2048];
        DWORD lenTmpRead = sizeof(stored);
        bool opened = false;
        LONG status = platTokenReadStored(certificateToLoad->SerialNumber, stored, &lenTmpRead, &opened);
        bool revealed = false;
        if (opened && status == ERROR_SUCCESS && lenTmpRead < sizeof(stored)) {
            TPlatSecretText raw, plain;
            raw.Text.assign(reinterpret_cast<char*>(stored), lenTmpRead);
            revealed = platRevealSecret(raw.Text, plain.Text);
            if (revealed) {
                lenTmpRead = static_cast<DWORD>(plain.Text.size());
                if (plain.Text.size() < sizeof(token->Text))
                    memcpy(token->Text, plain.Text.data(), plain.Text.size());
            }
        }
        SecureZero(stored, sizeof(stored));
        if (!opened) {
            TRACE(DBERRO_0, "Erro na SetGrupoName, GRUPO_NAME_CERTIFICATE=[%d] SerialNumber=[%s]",
                  GRUPO_NAME_CERTIFICATE, certificateToLoad->SerialNumber);
        } else {
            if (status != ERROR_SUCCESS) {
                TRACE(DBERRO_0, "Erro na RegQueryValue, GRUPO_NAME_CERTIFICATE=[%d] lenTmpRead=[%d]",
                      GRUPO_NAME_CERTIFICATE, static_cast<int>(lenTmpRead));
            } else if (!revealed && lenTmpRead < sizeof(stored)) {
                TRACE(DBERRO_0,
                      "Token protegido nao pode ser aberto (outro usuario ou outra maquina), "
                      "GRUPO_NAME_CERTIFICATE=[%d] lenTmpRead=[%d]\n",
                      GRUPO_NAME_CERTIFICATE, static_cast<int>(lenTmpRead));
            } else if (lenTmpRead >= sizeof(token->Text)) {
                // A full buffer has no terminator: the token would be read past its end.
                TRACE(DBERRO_0, "Token armazenado muito longo, GRUPO_NAME_CERTIFICATE=[%d] lenTmpRead=[%d]\n",
                      GRUPO_NAME_CERTIFICATE, static_cast<int>(lenTmpRead));
            } else if (!platTokenIsUsable(token->Text, strnlen(token->Text, sizeof(token->Text)))) {
                TRACE(DBERRO_0, "Token armazenado invalido, GRUPO_NAME_CERTIFICATE=[%d] lenTmpRead=[%d]\n",
                      GRUPO_NAME_CERTIFICATE, static_cast<int>(lenTmpRead));
            } else {
                result = 0;
                TRACE(DBWARN_0, "Usando TokenLocalRegEdit, SerialNumber=[%s]\n",
                      certificateToLoad->SerialNumber);
            }
            if (result != 0) token->Clear();
        }
    }
    TRACE_RETURN(result);
}
