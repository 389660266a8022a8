#include "platform/platToken.h"

#include "platform/TVarnoRegedit.h"
#include "platform/platDebug.h"
#include "platform/platKeptKey.h"
#include "platform/platRotPadroes.h"
#include "platform/platSecret.h"

#include <cstdio>
#include <cstring>

bool platTokenIsUsable(const char* text, size_t length) {
    if (!text || length == 0 || length >= LU_TOKEN_SIZE) return false;
    for (size_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(text[i]) < 0x20 || text[i] == 0x7F) return false;
    return true;
}

std::string platTokenKeyPath(const char* serial) {
    if (!serial) return std::string();
    char path[600];
    int n = snprintf(path, sizeof(path), "%s\\%s", LU_REG_BASE_PATH, serial);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof(path)) return std::string();
    return path;
}

LONG platTokenReadStored(const char* serial, BYTE* data, DWORD* length, bool* opened) {
    const DWORD room = *length;
    const std::string path = platTokenKeyPath(serial);
    if (path.empty()) {
        *opened = false;
        return ERROR_FILE_NOT_FOUND;
    }
    return platKeptKeyRead(HKEY_CURRENT_USER, path, KEY_WOW64_64KEY, opened, [&](HKEY key) {
        memset(data, 0, room);
        *length = room;
        return RegQueryValueExA(key, "Token", nullptr, nullptr, data, length);
    });
}

bool platTokenIsStored(const char* serial) {
    BYTE stored[2048];
    DWORD length = sizeof(stored);
    bool opened = false;
    LONG status = platTokenReadStored(serial, stored, &length, &opened);
    TPlatSecretText raw, plain;
    if (opened && status == ERROR_SUCCESS && length > 0 && length < sizeof(stored))
        raw.Text.assign(reinterpret_cast<char*>(stored), length);
    SecureZero(stored, sizeof(stored));
    // A token protected for another user or machine is as good as none.
    return !raw.Text.empty() && platRevealSecret(raw.Text, plain.Text) && !plain.Text.empty();
}

bool platTokenWrite(const char* serial, const char* value, DWORD length) {
    const char* masked = "****";
    TVarnoRegedit regedit(HKEY_CURRENT_USER);
    if (!regedit.SetGrupoName(GRUPO_NAME_CERTIFICATE, serial, KEY_WOW64_32KEY)) {
        TRACE(DBERRO_0, "Erro na SetGrupoName 32 bits, GRUPO_NAME_CERTIFICATE=[%d] SerialNumber=[%s]",
              GRUPO_NAME_CERTIFICATE, serial);
    } else if (!regedit.RegSetValueW("Token", GRUPO_NAME_CERTIFICATE, REG_BINARY, value, length)) {
        TRACE(DBERRO_0, "Erro na RegSetValue, GRUPO_NAME_CERTIFICATE=[%d] BuffToken=[%s] LenBuffToken=[%d]",
              GRUPO_NAME_CERTIFICATE, masked, static_cast<int>(length));
    }
    // Group 100 is open already, so this reuses the key opened above.
    if (!regedit.SetGrupoName(GRUPO_NAME_CERTIFICATE, serial, KEY_WOW64_64KEY)) {
        TRACE(DBERRO_0, "Erro na SetGrupoName 64 bits, GRUPO_NAME_CERTIFICATE=[%d] SerialNumber=[%s]",
              GRUPO_NAME_CERTIFICATE, serial);
        return false;
    }
    if (!regedit.RegSetValueW("Token", GRUPO_NAME_CERTIFICATE, REG_BINARY, value, length)) {
        TRACE(DBERRO_0, "Erro na RegSetValue, GRUPO_NAME_CERTIFICATE=[%d] BuffToken=[%s] LenBuffToken=[%d]",
              GRUPO_NAME_CERTIFICATE, masked, static_cast<int>(length));
        return false;
    }
    return true;
}

void platTokenDelete(const char* serial) {
    TVarnoRegedit regedit(HKEY_CURRENT_USER);
    if (!regedit.DeleteGrupoName(GRUPO_NAME_CERTIFICATE, serial, true))
        TRACE(DBERRO_0, "Falha na DeleteGrupoName='%s' in 64 Bits\n", serial);
    if (!regedit.DeleteGrupoName(GRUPO_NAME_CERTIFICATE, serial, false))
        TRACE(DBERRO_0, "Falha na DeleteGrupoName='%s' in 32 Bits\n", serial);
}
