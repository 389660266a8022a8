#pragma once

#include "platform/TVarnoList.h"
#include "platform/TVarnoRegedit.h"

#include <cstdint>

// The module's acronym: the trace file's name and the configuration's trace header.
#ifndef TMOD_SIGLA_SHOW
#define TMOD_SIGLA_SHOW "LUKeyCSP"
#endif

// One setting: its current value, its default, where the owner sees it and where it lies in the registry.
struct TVarnoAppConfigField {
    TVarnoAppConfigField();
    ~TVarnoAppConfigField();
    TVarnoAppConfigField(const TVarnoAppConfigField&) = delete;
    TVarnoAppConfigField& operator=(const TVarnoAppConfigField&) = delete;

    // Sets the value in memory and publishes it; text gets a terminating zero counted in LenData.
    bool SetData(const void* data, uint32_t length);
    void SetInt(int32_t value);
    void Publish();

    BYTE* Data;
    int32_t ValueInt;
    int32_t LenData;
    const void* DefaultData;
    int32_t DefaultInt;
    void* Variable;
    int32_t Grupo;
    const char* Name;
    int32_t Type;
};

// A table of named settings kept in the registry, each bound to a variable of the owner. The base
// declares the trace-log settings and switches the trace log on while it is constructed.
//
// A derived table adds a group by opening it (Regedit.SetGrupoName, or AddGrupo) and declaring its
// settings with SetVariable and that group number, then calls LoadValues(0).
class TVarnoAppConfig {
  public:
    TVarnoAppConfig();
    virtual ~TVarnoAppConfig();
    TVarnoAppConfig(const TVarnoAppConfig&) = delete;
    TVarnoAppConfig& operator=(const TVarnoAppConfig&) = delete;

    // mask 0: every setting; otherwise the settings whose group number shares a bit with mask.
    virtual bool LoadValues(int32_t mask);
    virtual bool SaveValues(int32_t mask);
    // The published text ("" when there is none); "INVALID_FIELD" for an unknown name.
    virtual const char* GetValueStr(const char* name);
    // The published number; -1 for an unknown name.
    virtual int32_t GetValueInt(const char* name);
    virtual const char* GetValueData(const char* name, int32_t* length);
    // In memory only (SaveValues writes): a text for a text setting, a number for a number setting.
    virtual bool SetValue(const char* name, const char* value);
    virtual bool SetValue(const char* name, int32_t value);
    virtual bool SetValueStr(const char* name, const char* text);
    virtual bool SetValueData(const char* name, const void* data, int32_t length);

    // Declares a setting: type REG_SZ (defaultData is the text), REG_BINARY (starts empty) or REG_DWORD
    // (defaultInt); variable points at the owner's char*, BYTE* or int32_t.
    bool SetVariable(int32_t Grupo, void* variable, const char* name, const void* defaultData,
                     int32_t defaultInt, int32_t type);
    bool SetVariable(int32_t Grupo, char** variable, const char* name, const char* defaultText) {
        return SetVariable(Grupo, variable, name, defaultText, 0, REG_SZ);
    }
    bool SetVariable(int32_t Grupo, int32_t* variable, const char* name, int32_t defaultInt) {
        return SetVariable(Grupo, variable, name, nullptr, defaultInt, REG_DWORD);
    }
    bool SetVariable(int32_t Grupo, BYTE** variable, const char* name) {
        return SetVariable(Grupo, variable, name, nullptr, 0, REG_BINARY);
    }
    // Opens a group of this table's registry key in the 32-bit view.
    bool AddGrupo(int32_t Grupo, const char* name) {
        return Regedit.SetGrupoName(Grupo, name, KEY_WOW64_32KEY);
    }
    bool ConfigDebug();

    char* AppPath;
    int32_t LOG_Enabled;
    int32_t LOG_Level;
    int32_t LOG_TypeOut;
    int32_t LOG_HeadInfo;
    int32_t LOG_Flush;
    char* LOG_FilePath;
    // Megabytes past which the trace file gives way to a new one; 0: no limit.
    int32_t LOG_MaxSizeMB;

  protected:
    TVarnoAppConfigField* FindField(const char* name);
    bool LoadField(TVarnoAppConfigField* f);
    bool SaveField(TVarnoAppConfigField* f);

    TVarnoList Fields;
    TVarnoRegedit Regedit;
};
