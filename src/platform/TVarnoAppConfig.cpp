#include "platform/TVarnoAppConfig.h"

#include "platform/platDebug.h"
#include "platform/platTraceScope.h"
#include "platform/platRotPadroes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {

const char* const kInvalidField = "INVALID_FIELD";

// Creates every missing level of a directory path, not only the last one, so that a fresh machine gets
// C:\Varno as well as C:\Varno\008. Drive roots are left alone.
void CreatePathLevels(const char* path) {
    if (!path || !*path) return;
    size_t n = strlen(path);
    std::vector<char> level(n + 1, '\0');
    for (size_t i = 1; i <= n; ++i) {
        if (i < n && path[i] != '\\' && path[i] != '/') continue;
        memcpy(level.data(), path, i);
        level[i] = '\0';
        bool driveRoot = i == 2 && path[1] == ':';
        bool separatorsOnly = strspn(level.data(), "\\/") == i;
        if (!driveRoot && !separatorsOnly && path[i - 1] != '\\' && path[i - 1] != '/')
            CreatePath(level.data());
    }
}

} // namespace

TVarnoAppConfigField::TVarnoAppConfigField()
    : Data(nullptr), ValueInt(0), LenData(0), DefaultData(nullptr), DefaultInt(0), Variable(nullptr),
      Grupo(0), Name(nullptr), Type(0) {}

TVarnoAppConfigField::~TVarnoAppConfigField() {
    free(Data);
}

bool TVarnoAppConfigField::SetData(const void* data, uint32_t length) {
    if (!data) length = 0;
    bool text = Type == REG_SZ;
    // A text that arrives without its terminator gets one, and LenData counts it, so that it is stored
    // in the registry as a proper REG_SZ.
    bool addTerminator = text && (length == 0 || static_cast<const BYTE*>(data)[length - 1] != 0);
    uint32_t stored = length + (addTerminator ? 1 : 0);
    if (stored > 0x7FFFFFF0u) return false;
    BYTE* grown = static_cast<BYTE*>(realloc(Data, stored + 1));
    if (!grown) return false;
    Data = grown;
    memset(Data, 0, stored + 1);
    if (length) memcpy(Data, data, length);
    LenData = static_cast<int32_t>(stored);
    Publish();
    return true;
}

void TVarnoAppConfigField::SetInt(int32_t value) {
    ValueInt = value;
    Publish();
}

void TVarnoAppConfigField::Publish() {
    if (!Variable) return;
    if (Type == REG_DWORD)
        *static_cast<int32_t*>(Variable) = ValueInt;
    else
        *static_cast<BYTE**>(Variable) = Data;
}

TVarnoAppConfig::TVarnoAppConfig()
    : AppPath(nullptr), LOG_Enabled(0), LOG_Level(0), LOG_TypeOut(0), LOG_HeadInfo(0), LOG_Flush(0),
      LOG_FilePath(nullptr), LOG_MaxSizeMB(0) {
    TRACE_SCOPE(DBHEAD_0, Plain, "<%s TMOD_SIGLA_SHOW=[%s]>\n", LU_FN, TMOD_SIGLA_SHOW);
    Regedit.SetGrupoName(GRUPO_NAME_LOG, "Log", KEY_WOW64_32KEY);
    ConfigDebug();
}

TVarnoAppConfig::~TVarnoAppConfig() {
    for (uint32_t i = 0; i < Fields.Count; ++i)
        delete static_cast<TVarnoAppConfigField*>(Fields.GetItem(i));
    Fields.Clear();
}

TVarnoAppConfigField* TVarnoAppConfig::FindField(const char* name) {
    if (!name) return nullptr;
    for (uint32_t i = 0; i < Fields.Count; ++i) {
        auto* f = static_cast<TVarnoAppConfigField*>(Fields.GetItem(i));
        if (f && f->Name && strcmp(f->Name, name) == 0) return f;
    }
    return nullptr;
}

// The field's value until the registry gives one: its default.
static bool SetDefault(TVarnoAppConfigField* f) {
    if (f->Type == REG_SZ) {
        const char* text = f->DefaultData ? static_cast<const char*>(f->DefaultData) : "";
        return f->SetData(text, static_cast<uint32_t>(strlen(text) + 1));
    }
    if (f->Type == REG_DWORD)
        f->SetInt(f->DefaultInt);
    else
        f->Publish();
    return true;
}

bool TVarnoAppConfig::SetVariable(int32_t Grupo, void* variable, const char* name, const void* defaultData,
                                  int32_t defaultInt, int32_t type) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s>\n", LU_FN);
    if (!name || !*name || (type != REG_SZ && type != REG_BINARY && type != REG_DWORD)) {
        TRACE(DBERRO_0, "Parametro invalido na SetVariable, name=[%s] type=[%d]\n", name ? name : "(null)",
              static_cast<int>(type));
        TRACE_RETURN(false);
    }
    auto* f = new (std::nothrow) TVarnoAppConfigField;
    if (!f) TRACE_RETURN(false);
    f->Grupo = Grupo;
    f->Variable = variable;
    f->Name = name;
    f->Type = type;
    f->DefaultData = defaultData;
    f->DefaultInt = defaultInt;
    if (!SetDefault(f) || !Fields.Add(f)) {
        delete f;
        TRACE_RETURN(false);
    }
    TRACE_RETURN(true);
}

bool TVarnoAppConfig::SaveField(TVarnoAppConfigField* f) {
    if (f->Type == REG_DWORD) {
        int32_t v = f->ValueInt;
        return Regedit.RegSetValueW(f->Name, f->Grupo, REG_DWORD, &v, sizeof(v));
    }
    if (f->Type == REG_SZ || f->Type == REG_BINARY) {
        const void* data = f->Data ? static_cast<const void*>(f->Data) : "";
        return Regedit.RegSetValueW(f->Name, f->Grupo, static_cast<DWORD>(f->Type), data,
                                    static_cast<DWORD>(f->LenData));
    }
    return false;
}

bool TVarnoAppConfig::LoadField(TVarnoAppConfigField* f) {
    if (f->Type == REG_DWORD) {
        int32_t v = 0;
        DWORD len = sizeof(v);
        if (!Regedit.RegQueryValueW(f->Name, f->Grupo, REG_DWORD, &v, &len)) return SaveField(f);
        f->SetInt(v);
        return true;
    }
    if (f->Type != REG_SZ && f->Type != REG_BINARY) return false;
    DWORD len = 0;
    if (!Regedit.RegQueryValueW(f->Name, f->Grupo, static_cast<DWORD>(f->Type), nullptr, &len))
        return SaveField(f);
    // Another process may rewrite the value between the size and the read: measure again then.
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::vector<BYTE> buff(static_cast<size_t>(len) + 1, 0);
        DWORD got = len;
        if (Regedit.RegQueryValueW(f->Name, f->Grupo, static_cast<DWORD>(f->Type), buff.data(), &got))
            return f->SetData(buff.data(), got);
        if (got <= len) return false;
        len = got;
    }
    return false;
}

bool TVarnoAppConfig::LoadValues(int32_t mask) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s mask=[%d]>\n", LU_FN, mask);
    bool result = true;
    for (uint32_t i = 0; i < Fields.Count && result; ++i) {
        auto* f = static_cast<TVarnoAppConfigField*>(Fields.GetItem(i));
        if (!f || (mask != 0 && (mask & f->Grupo) == 0)) continue;
        result = LoadField(f);
    }
    TRACE_RETURN(result);
}

bool TVarnoAppConfig::SaveValues(int32_t mask) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s mask=[%d]>\n", LU_FN, mask);
    bool result = true;
    for (uint32_t i = 0; i < Fields.Count; ++i) {
        auto* f = static_cast<TVarnoAppConfigField*>(Fields.GetItem(i));
        if (!f || (mask != 0 && (mask & f->Grupo) == 0)) continue;
        result = SaveField(f);
    }
    TRACE_RETURN(result);
}

const char* TVarnoAppConfig::GetValueStr(const char* name) {
    TVarnoAppConfigField* f = FindField(name);
    if (!f) return kInvalidField;
    if (f->Type == REG_DWORD || !f->Data) return "";
    return reinterpret_cast<const char*>(f->Data);
}

int32_t TVarnoAppConfig::GetValueInt(const char* name) {
    TVarnoAppConfigField* f = FindField(name);
    return f ? f->ValueInt : -1;
}

const char* TVarnoAppConfig::GetValueData(const char* name, int32_t* length) {
    TVarnoAppConfigField* f = FindField(name);
    if (!f) return kInvalidField;
    if (length) *length = f->LenData;
    return GetValueStr(name);
}

bool TVarnoAppConfig::SetValue(const char* name, const char* value) {
    TVarnoAppConfigField* f = FindField(name);
    if (!f || f->Type != REG_SZ) return false;
    const char* text = value ? value : "";
    return f->SetData(text, static_cast<uint32_t>(strlen(text) + 1));
}

bool TVarnoAppConfig::SetValue(const char* name, int32_t value) {
    TVarnoAppConfigField* f = FindField(name);
    if (!f || f->Type != REG_DWORD) return false;
    f->SetInt(value);
    return true;
}

bool TVarnoAppConfig::SetValueStr(const char* name, const char* text) {
    return SetValueData(name, text, text ? static_cast<int32_t>(strlen(text)) : 0);
}

bool TVarnoAppConfig::SetValueData(const char* name, const void* data, int32_t length) {
    TVarnoAppConfigField* f = FindField(name);
    if (!f || length < 0 || (length > 0 && !data)) return false;
    if (f->Type == REG_DWORD) {
        int32_t v = 0;
        if (length > 0) memcpy(&v, data, length < 4 ? static_cast<size_t>(length) : sizeof(v));
        f->SetInt(v);
        return true;
    }
    return f->SetData(data, static_cast<uint32_t>(length));
}

bool TVarnoAppConfig::ConfigDebug() {
    if (!FindField("AppPath")) {
        SetVariable(0, &AppPath, "AppPath", "C:\\Varno\\008\\");
        SetVariable(GRUPO_NAME_LOG, &LOG_Enabled, "LOG_Enabled", 1);
        SetVariable(GRUPO_NAME_LOG, &LOG_Level, "LOG_Level", 271);
        SetVariable(GRUPO_NAME_LOG, &LOG_TypeOut, "LOG_TypeOut", 1);
        SetVariable(GRUPO_NAME_LOG, &LOG_Flush, "LOG_Flush", 1);
        SetVariable(GRUPO_NAME_LOG, &LOG_FilePath, "LOG_FilePath", "C:\\Varno\\008");
        SetVariable(GRUPO_NAME_LOG, &LOG_HeadInfo, "LOG_HeadInfo", 1);
        SetVariable(GRUPO_NAME_LOG, &LOG_MaxSizeMB, "LOG_MaxSizeMB", 64);
    }
    if (!LoadValues(0)) return false;

    CreatePathLevels(AppPath);
    CreatePathLevels(LOG_FilePath);
    if (LOG_Enabled == 0) return true;

    const char* dir = (LOG_FilePath && *LOG_FilePath) ? LOG_FilePath : (AppPath ? AppPath : "");
    TPlatDebugConfig cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.HeadInfo = LOG_HeadInfo;
    cfg.TypeOut = LOG_TypeOut;
    cfg.Level = static_cast<uint32_t>(LOG_Level);
    cfg.Flush = LOG_Flush;
    cfg.MaxSize = LOG_MaxSizeMB > 0 ? static_cast<long long>(LOG_MaxSizeMB) << 20 : 0;
    int n = snprintf(cfg.FilePath, sizeof(cfg.FilePath), "%s\\%s_%s.log", dir, GetPlatformName(),
                     TMOD_SIGLA_SHOW);
    // A cut path would open some other file.
    if (n <= 0 || static_cast<size_t>(n) >= sizeof(cfg.FilePath)) return false;
    if (gPlatDebug) gPlatDebug->Config(1, cfg);

    TRACE(DBINFO_0, "\n\n");
    TRACE(DBINFO_0, "############################# START THE APPLICATION #############################\n");
    TRACE(DBINFO_0,
          "Enabled LOG: filePathLog=[%s], LOG_HeadInfo=[%d], LOG_TypeOut=[%d], LOG_Level=[%d], "
          "LOG_Flush=[%d]\n",
          cfg.FilePath, LOG_HeadInfo, LOG_TypeOut, LOG_Level, LOG_Flush);
    return true;
}
