// Login step of a private-key operation: the certificate's access token, stored beforehand in the
// current user's registry, is read for the one operation that follows.
#include "keys/luLogin.h"

#include "keys/libLUProviderKEY.h"
#include "platform/TVarnoRegedit.h"
#include "platform/platDebug.h"
#include "platform/platMutex.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

namespace {

// At most 255 bytes of text a header line can carry.
bool IsUsableToken(const char* token) {
    size_t len = strnlen(token, LU_LOGIN_TOKEN_SIZE);
    if (len == 0 || len >= LU_LOGIN_TOKEN_SIZE) return false;
    for (size_t i = 0; i < len; ++i)
        if (static_cast<unsigned char>(token[i]) < 0x20 || token[i] == 0x7F) return false;
    return true;
}

// The registry key of a certificate's token, open. Closed when the last reader lets it go.
struct TTokenKey {
    HKEY Key = nullptr;
    ~TTokenKey() {
        if (Key) RegCloseKey(Key);
    }
};
using TTokenKeyRef = std::shared_ptr<TTokenKey>;

// The token keys of the certificates this process signed with, kept open: the token is read for every
// operation, and opening and closing its key each time would be two more kernel calls of three. A key
// deleted meanwhile (the certificate unregistered, or registered again) answers ERROR_KEY_DELETED and
// is opened again by its path, so every read sees the registry as it is now.
class TTokenKeys {
  public:
    // serial's key: the kept one, or (fresh, or none kept) opened now; null when it cannot be opened.
    TTokenKeyRef Get(const char* serial, bool fresh) {
        TPlatLockGuard guard(Lock);
        TTokenKeyRef& kept = Keys[serial];
        if (kept && !fresh) return kept;
        kept.reset();
        char path[600];
        int n = snprintf(path, sizeof(path), "SOFTWARE\\Varno\\%s\\%s", LU_APP_NOME, serial);
        auto opened = std::make_shared<TTokenKey>();
        if (n <= 0 || static_cast<size_t>(n) >= sizeof(path) ||
            RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_WOW64_64KEY | KEY_READ, &opened->Key) !=
                ERROR_SUCCESS) {
            opened->Key = nullptr;
            return nullptr;
        }
        kept = opened;
        return kept;
    }

  private:
    TPlatMutex Lock;
    std::map<std::string, TTokenKeyRef> Keys;
};

TTokenKeys& TokenKeys() {
    // Never destroyed: a thread of the host may still sign while the process exits.
    static TTokenKeys* keys = new TTokenKeys;
    return *keys;
}

// The value "Token" of serial's key into data (length in, size out); the key is reopened once when it
// was deleted since it was opened. opened tells whether the key could be opened at all.
LONG ReadTokenValue(const char* serial, BYTE* data, DWORD* length, bool* opened) {
    const DWORD room = *length;
    TTokenKeyRef key = TokenKeys().Get(serial, false);
    LONG status =
        key ? RegQueryValueExA(key->Key, "Token", nullptr, nullptr, data, length) : ERROR_FILE_NOT_FOUND;
    if (!key || status == ERROR_KEY_DELETED) {
        memset(data, 0, room);
        *length = room;
        key = TokenKeys().Get(serial, true);
        status =
            key ? RegQueryValueExA(key->Key, "Token", nullptr, nullptr, data, length) : ERROR_FILE_NOT_FOUND;
    }
    *opened = key != nullptr;
    return status;
}

} // namespace

int TLUProviderKey::VerifyLogin(bool HasFlagCryptSilent, DWORD dwFlags, TLULoginToken* token) {
    TRACE(DBHEAD_0, "<%s HasFlagCryptSilent=[%d] dwFlags=[0x%08X]>\n", LU_FN, HasFlagCryptSilent ? 1 : 0,
          static_cast<unsigned>(dwFlags));
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
    TRACE(DBHEAD_0, "</%s result=[0x%08X]>\n", LU_FN, static_cast<unsigned>(result));
    return result;
}

int TLUProviderKey::VerifyLogin_LoadLocalToken(TCertificate* certificateToLoad, TLULoginToken* token) {
    int result = NTE_FAIL;
    TRACE(DBHEAD_0, "<%s certificate=[%p]>\n", LU_FN, static_cast<void*>(certificateToLoad));
    if (token) token->Clear();
    if (KeyType != LUK_TCertificate || !certificateToLoad || !certificateToLoad->SerialNumber || !token) {
        TRACE(DBERRO_0, "Parametro Invalido, KeyType=[%d], certificate=[%p]\n", KeyType,
              static_cast<void*>(certificateToLoad));
    } else {
        // Read only: a login never creates keys.
        DWORD lenTmpRead = sizeof(token->Text);
        bool opened = false;
        LONG status = ReadTokenValue(certificateToLoad->SerialNumber, reinterpret_cast<BYTE*>(token->Text),
                                     &lenTmpRead, &opened);
        if (!opened) {
            TRACE(DBERRO_0, "Erro na SetGrupoName, GRUPO_NAME_CERTIFICATE=[%d] SerialNumber=[%s]",
                  GRUPO_NAME_CERTIFICATE, certificateToLoad->SerialNumber);
        } else {
            if (status != ERROR_SUCCESS) {
                TRACE(DBERRO_0, "Erro na RegQueryValue, GRUPO_NAME_CERTIFICATE=[%d] lenTmpRead=[%d]",
                      GRUPO_NAME_CERTIFICATE, static_cast<int>(lenTmpRead));
            } else if (lenTmpRead >= sizeof(token->Text)) {
                // A full buffer has no terminator: the token would be read past its end.
                TRACE(DBERRO_0, "Token armazenado muito longo, GRUPO_NAME_CERTIFICATE=[%d] lenTmpRead=[%d]\n",
                      GRUPO_NAME_CERTIFICATE, static_cast<int>(lenTmpRead));
            } else if (!IsUsableToken(token->Text)) {
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
    TRACE(DBHEAD_0, "</%s result=[0x%08X]>\n", LU_FN, static_cast<unsigned>(result));
    return result;
}
