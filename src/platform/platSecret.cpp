#include "platform/platSecret.h"

#include "os/platOS.h"
#include "platform/TVarnoMemory.h"
#include "platform/TVarnoRegedit.h"
#include "platform/platDebug.h"
#include "platform/platException.h"
#include "platform/platHASH.h"
#include "platform/platRotPadroes.h"

#include <cstdlib>
#include <cstring>
#include <vector>

TPlatSecretText::~TPlatSecretText() {
    if (!Text.empty()) SecureZero(&Text[0], Text.size());
}

bool platProtectSecret(const std::string& plain, bool machineScope, std::string& blob) {
    return osProtectData(plain, machineScope, blob);
}

bool platRevealSecret(const std::string& stored, std::string& plain) {
    if (!osIsProtectedData(stored.data(), stored.size())) {
        plain = stored;
        return true;
    }
    return osUnprotectData(stored, plain);
}

bool platProtectSecretText(const std::string& plain, std::string& text) {
    std::string blob;
    if (!osProtectData(plain, true, blob)) return false;
    TPlatHASH hash;
    char* encoded = hash.Encode_Base64(blob.data(), static_cast<int>(blob.size()), 1);
    if (!encoded) return false;
    text = std::string(LU_SECRET_TEXT_PREFIX) + encoded;
    free(encoded);
    return true;
}

bool platIsProtectedText(const char* stored) {
    return stored && strncmp(stored, LU_SECRET_TEXT_PREFIX, strlen(LU_SECRET_TEXT_PREFIX)) == 0;
}

bool platRevealSecretText(const char* stored, std::string& plain) {
    plain.clear();
    if (!stored) return true;
    if (!platIsProtectedText(stored)) {
        plain = stored;
        return true;
    }
    TVarnoMemory blob;
    TPlatHASH hash;
    if (!hash.Decode_Base64(stored + strlen(LU_SECRET_TEXT_PREFIX), &blob) || !blob.FileData) return false;
    bool ok =
        osUnprotectData(std::string(reinterpret_cast<const char*>(blob.FileData), blob.LenFileData), plain);
    SecureZero(blob.FileData, blob.LenFileData);
    return ok;
}

bool platIsMachineSecret(const char* name, const std::string& value) {
    if (!name) return false;
    return (strcmp(name, "MailPassword") == 0 && !value.empty()) ||
           (strcmp(name, "CNX_Proxy") == 0 && value.find('@') != std::string::npos);
}

bool platProtectMachineSecrets() {
    struct TMachineSecret {
        int32_t Grupo;
        const char* GrupoName;
        const char* Name;
    };
    // Where the configuration table keeps them (32-bit view).
    static const TMachineSecret kSecrets[] = {{GRUPO_NAME_CONEX, "Conex", "CNX_Proxy"},
                                              {GRUPO_NAME_REPORT, "Report", "MailPassword"}};
    TVarnoRegedit reg;
    bool ok = true;
    for (const TMachineSecret& s : kSecrets) {
        DWORD length = 0;
        if (!reg.SetGrupoName(s.Grupo, s.GrupoName, KEY_WOW64_32KEY) ||
            !reg.RegQueryValueW(s.Name, s.Grupo, REG_SZ, nullptr, &length) || length == 0)
            continue;
        std::vector<char> stored(length + 1, '\0');
        if (!reg.RegQueryValueW(s.Name, s.Grupo, REG_SZ, stored.data(), &length)) continue;
        TPlatSecretText plain;
        plain.Text = stored.data();
        SecureZero(stored.data(), stored.size());
        if (platIsProtectedText(plain.Text.c_str()) || !platIsMachineSecret(s.Name, plain.Text)) continue;
        std::string text;
        if (!platProtectSecretText(plain.Text, text) ||
            !reg.RegSetValueW(s.Name, s.Grupo, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1))) {
            TRACE(DBERRO_0, "Falha ao proteger o segredo em texto claro, valueName=[%s]\n", s.Name);
            ok = false;
            continue;
        }
        TRACE(DBINFO_0, "Segredo em texto claro protegido, valueName=[%s]\n", s.Name);
    }
    return ok;
}
