#pragma once

#include "platform/TVarnoList.h"
#include "os/platTypes.h"
#include "platform/platProductNames.h"

#include <cstdint>

// The application's name, the last part of the registry path of the groups (SOFTWARE\Varno\<name>).
#ifndef LU_APP_NOME
#define LU_APP_NOME LU_PRODUCT_APP_NAME
#endif
// The key of the groups, below HKLM or HKCU; a group's key is <base>\<group name>.
#define LU_REG_BASE_PATH "SOFTWARE\\Varno\\" LU_APP_NOME

// Group numbers in use.
#define GRUPO_NAME_GERAL (-1)
#define GRUPO_NAME_LOG 1
#define GRUPO_NAME_CONEX 10
#define GRUPO_NAME_CERTIFICATE 100

// One opened group: a registry key below the base path, addressed by its number.
struct TVarnoRegeditGrupo {
    int32_t Grupo;
    char NameGrupo[60];
    HKEY Key;
};

// Numbered groups of registry values below SOFTWARE\Varno\Trelis_Server (or another base path).
// Not locked: each object is used by one thread at a time.
class TVarnoRegedit {
  public:
    TVarnoRegedit();
    explicit TVarnoRegedit(HKEY rootKey);
    virtual ~TVarnoRegedit();
    TVarnoRegedit(const TVarnoRegedit&) = delete;
    TVarnoRegedit& operator=(const TVarnoRegedit&) = delete;

    // Opens (creating when missing) the key of a group; the first call for a number decides its key,
    // view and access, later calls for it change nothing. viewFlags: KEY_WOW64_32KEY or KEY_WOW64_64KEY.
    bool SetGrupoName(int32_t Grupo, const char* name, REGSAM viewFlags);
    // The group's record; with fallbackToFirst the first group opened when the number is unknown.
    TVarnoRegeditGrupo* GetGrupo(int32_t Grupo, bool fallbackToFirst);
    bool RegSetValueW(const char* valueName, int32_t Grupo, DWORD type, const void* data, DWORD length);
    // With a null data pointer only the size is reported in length. The type is not checked.
    bool RegQueryValueW(const char* valueName, int32_t Grupo, DWORD type, void* data, DWORD* length);
    // Deletes the group's key (it must have no subkeys) in the 64-bit or the 32-bit view.
    bool DeleteGrupoName(int32_t Grupo, const char* DescGrupo, bool Delete64BitReg);

    // Points the object at another root and base path (provider registration); groups opened so far stay.
    bool SetBasePath(HKEY rootKey, const char* basePath);
    const char* GetBasePath() const { return BasePath; }

  protected:
    HKEY RootKey;
    char BasePath[256];
    TVarnoList Grupos;

  private:
    void Init(HKEY rootKey);
    bool GrupoPath(int32_t Grupo, const char* name, char* path, size_t size);
};
