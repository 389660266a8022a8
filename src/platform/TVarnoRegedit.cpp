#include "platform/TVarnoRegedit.h"

#include "platform/platDebug.h"
#include "platform/platTraceScope.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

TVarnoRegedit::TVarnoRegedit() {
    Init(HKEY_LOCAL_MACHINE);
}

TVarnoRegedit::TVarnoRegedit(HKEY rootKey) {
    Init(rootKey);
}

void TVarnoRegedit::Init(HKEY rootKey) {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    RootKey = rootKey;
    snprintf(BasePath, sizeof(BasePath), "%s", LU_REG_BASE_PATH);
    // Constructing the object creates the base key when it is missing.
    SetGrupoName(GRUPO_NAME_GERAL, "GERAL", KEY_WOW64_32KEY);
}

TVarnoRegedit::~TVarnoRegedit() {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    for (uint32_t i = 0; i < Grupos.Count; ++i) {
        auto* g = static_cast<TVarnoRegeditGrupo*>(Grupos.GetItem(i));
        if (g && g->Key) RegCloseKey(g->Key);
    }
    Grupos.Clear(true);
}

bool TVarnoRegedit::GrupoPath(int32_t Grupo, const char* name, char* path, size_t size) {
    int n = Grupo == GRUPO_NAME_GERAL ? snprintf(path, size, "%s", BasePath)
                                      : snprintf(path, size, "%s\\%s", BasePath, name ? name : "");
    return n > 0 && static_cast<size_t>(n) < size;
}

bool TVarnoRegedit::SetGrupoName(int32_t Grupo, const char* name, REGSAM viewFlags) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s>\n", LU_FN);
    bool result = false;
    char path[600];
    if (GetGrupo(Grupo, false)) {
        result = true;
    } else if (!name || (Grupo != GRUPO_NAME_GERAL && !*name) ||
               !GrupoPath(Grupo, name, path, sizeof(path))) {
        // An unnamed group would be the base key itself under another number.
        TRACE(DBERRO_0, "Parametro invalido na SetGrupoName, Grupo=[%d] name=[%s]\n", Grupo,
              name ? name : "(null)");
    } else {
        auto* g = static_cast<TVarnoRegeditGrupo*>(calloc(1, sizeof(TVarnoRegeditGrupo)));
        if (!g) {
            TRACE(DBERRO_0, "Falha ao alocar o grupo, Grupo=[%d]\n", Grupo);
        } else {
            g->Grupo = Grupo;
            snprintf(g->NameGrupo, sizeof(g->NameGrupo), "[%s]", name);
            Grupos.Add(g);
            LONG resultTmp = RegCreateKeyExA(RootKey, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                             viewFlags | KEY_READ | KEY_WRITE, nullptr, &g->Key, nullptr);
            if (resultTmp != ERROR_SUCCESS) {
                // A key that refuses writing is still good for reading.
                g->Key = nullptr;
                resultTmp = RegCreateKeyExA(RootKey, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                            viewFlags | KEY_READ, nullptr, &g->Key, nullptr);
            }
            if (resultTmp != ERROR_SUCCESS) {
                g->Key = nullptr;
                TRACE(DBERRO_0, "Falha no RegOpenKeyEx, resultTmp=[%d]\n", static_cast<int>(resultTmp));
            } else {
                result = true;
            }
        }
    }
    TRACE_RETURN(result);
}

TVarnoRegeditGrupo* TVarnoRegedit::GetGrupo(int32_t Grupo, bool fallbackToFirst) {
    TRACE_SCOPE(DBHEAD_L, Pointer, "<%s>\n", LU_FN);
    TVarnoRegeditGrupo* result = nullptr;
    for (uint32_t i = 0; i < Grupos.Count && !result; ++i) {
        auto* g = static_cast<TVarnoRegeditGrupo*>(Grupos.GetItem(i));
        if (g && g->Grupo == Grupo) result = g;
    }
    if (!result && fallbackToFirst && Grupos.Count > 0)
        result = static_cast<TVarnoRegeditGrupo*>(Grupos.GetItem(0));
    TRACE_RETURN(result);
}

bool TVarnoRegedit::RegSetValueW(const char* valueName, int32_t Grupo, DWORD type, const void* data,
                                 DWORD length) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s>\n", LU_FN);
    bool result = false;
    TVarnoRegeditGrupo* g = GetGrupo(Grupo, true);
    if (g && g->Key)
        result = RegSetValueExA(g->Key, valueName, 0, type, static_cast<const BYTE*>(data), length) ==
                 ERROR_SUCCESS;
    TRACE_RETURN(result);
}

bool TVarnoRegedit::RegQueryValueW(const char* valueName, int32_t Grupo, DWORD, void* data, DWORD* length) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s>\n", LU_FN);
    bool result = false;
    if (!length) {
        TRACE(DBERRO_0, "Parametro invalido na RegQueryValueW, valueName=[%s] length=[%p]\n",
              valueName ? valueName : "", static_cast<void*>(length));
    } else {
        TVarnoRegeditGrupo* g = GetGrupo(Grupo, true);
        LONG resultTmp = g && g->Key ? RegQueryValueExA(g->Key, valueName, nullptr, nullptr,
                                                        static_cast<BYTE*>(data), length)
                                     : ERROR_FILE_NOT_FOUND;
        result = resultTmp == ERROR_SUCCESS;
        // A missing value or a short buffer is an answer; anything else (a damaged or oversized value) is
        // worth a line.
        if (resultTmp != ERROR_SUCCESS && resultTmp != ERROR_FILE_NOT_FOUND && resultTmp != ERROR_MORE_DATA)
            TRACE(DBERRO_0, "Falha no RegQueryValueExA, valueName=[%s] resultTmp=[%d]\n",
                  valueName ? valueName : "", static_cast<int>(resultTmp));
    }
    TRACE_RETURN(result);
}

bool TVarnoRegedit::DeleteGrupoName(int32_t Grupo, const char* DescGrupo, bool Delete64BitReg) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s Grupo=[%d] DescGrupo=[%s] Delete64BitReg=[%d]>\n", LU_FN, Grupo,
                DescGrupo ? DescGrupo : "", Delete64BitReg ? 1 : 0);
    bool result = false;
    char path[600];
    if ((Grupo != GRUPO_NAME_GERAL && (!DescGrupo || !*DescGrupo)) ||
        !GrupoPath(Grupo, DescGrupo, path, sizeof(path))) {
        // Without a name the path would be the base key with everything below it.
        TRACE(DBERRO_0, "Parametro invalido na DeleteGrupoName, Grupo=[%d] DescGrupo=[%s]\n", Grupo,
              DescGrupo ? DescGrupo : "(null)");
    } else {
        LONG resultTmp =
            RegDeleteKeyExA(RootKey, path, Delete64BitReg ? KEY_WOW64_64KEY : KEY_WOW64_32KEY, 0);
        if (resultTmp != ERROR_SUCCESS)
            TRACE(DBERRO_0, "Falha no RegDeleteKeyExA ao apagar RegNameGrupo=[%s], resultTmp=[%d]\n", path,
                  static_cast<int>(resultTmp));
        else
            result = true;
    }
    TRACE_RETURN(result);
}

bool TVarnoRegedit::SetBasePath(HKEY rootKey, const char* basePath) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s>\n", LU_FN);
    bool result = false;
    if (!basePath || !*basePath || strlen(basePath) >= sizeof(BasePath)) {
        TRACE(DBERRO_0, "Parametro invalido na SetBasePath, basePath=[%s]\n", basePath ? basePath : "(null)");
    } else {
        RootKey = rootKey;
        snprintf(BasePath, sizeof(BasePath), "%s", basePath);
        result = true;
    }
    TRACE_RETURN(result);
}
