// Registry groups and the configuration table: defaults written on an empty machine, the trace log
// switched on from the table, read-only fallback and the group rules.
#include "platform/TVarnoAppConfig.h"
#include "platform/TVarnoRegedit.h"
#include "platform/platDebug.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>

namespace {

const char* const kBaseKey = "SOFTWARE\\Varno\\Trelis_Server";
const char* const kLogKey = "SOFTWARE\\Varno\\Trelis_Server\\Log";

bool Exists(const std::string& p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0;
}

// Each test gets its own root and its own trace log object, as the DLL start-up provides one.
class Config : public ::testing::Test {
  protected:
    void SetUp() override { gPlatDebug = &Log; }
    void TearDown() override { gPlatDebug = nullptr; }

    std::string Reg(const std::string& rel) { return Root.Path() + "/registry/" + rel; }
    std::string Base32() { return Reg("HKLM/software/wow6432node/varno/trelis_server"); }
    std::string TraceFile() { return Root.Path() + "/C/Varno/008/WIN32_LUKeyCSP.log"; }

    static HKEY Key(const char* path, REGSAM view = KEY_WOW64_32KEY, HKEY root = HKEY_LOCAL_MACHINE) {
        HKEY k = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, path, 0, nullptr, 0, view | KEY_READ | KEY_WRITE,
                                                 nullptr, &k, nullptr));
        return k;
    }
    static void PutDword(const char* path, const char* name, DWORD v) {
        HKEY k = Key(path);
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4));
        RegCloseKey(k);
    }
    static void PutText(const char* path, const char* name, const char* text) {
        HKEY k = Key(path);
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                                static_cast<DWORD>(strlen(text) + 1)));
        RegCloseKey(k);
    }
    static LONG Query(const char* path, const char* name, DWORD* type, std::string* data) {
        HKEY k = nullptr;
        LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_WOW64_32KEY | KEY_READ, &k);
        if (rc != ERROR_SUCCESS) return rc;
        char buf[512];
        DWORD size = sizeof(buf);
        rc = RegQueryValueExA(k, name, nullptr, type, reinterpret_cast<BYTE*>(buf), &size);
        if (rc == ERROR_SUCCESS) data->assign(buf, size);
        RegCloseKey(k);
        return rc;
    }
    static DWORD Dword(const char* path, const char* name) {
        DWORD type = 0;
        std::string data;
        EXPECT_EQ(ERROR_SUCCESS, Query(path, name, &type, &data)) << name;
        EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type) << name;
        DWORD v = 0xFFFFFFFFu;
        if (data.size() == 4) memcpy(&v, data.data(), 4);
        return v;
    }
    static std::string Text(const char* path, const char* name) {
        DWORD type = 0;
        std::string data;
        EXPECT_EQ(ERROR_SUCCESS, Query(path, name, &type, &data)) << name;
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), type) << name;
        return data;
    }

    TTestRoot Root;
    TPlatDebug Log;
};

} // namespace

TEST_F(Config, EmptyMachineGetsTheBaseValuesAndTheTraceFile) {
    {
        TVarnoAppConfig cfg;
        EXPECT_STREQ("C:\\Varno\\008\\", cfg.AppPath);
        EXPECT_STREQ("C:\\Varno\\008", cfg.LOG_FilePath);
        EXPECT_EQ(1, cfg.LOG_Enabled);
        EXPECT_EQ(271, cfg.LOG_Level);
        EXPECT_EQ(1, cfg.LOG_TypeOut);
        EXPECT_EQ(1, cfg.LOG_Flush);
        EXPECT_EQ(1, cfg.LOG_HeadInfo);
    }
    // AppPath in the base key, the LOG_ values in its subkey "Log", all in the 32-bit view.
    EXPECT_EQ(std::string("C:\\Varno\\008\\\0", 14), Text(kBaseKey, "AppPath"));
    EXPECT_EQ(std::string("C:\\Varno\\008\0", 13), Text(kLogKey, "LOG_FilePath"));
    EXPECT_EQ(1u, Dword(kLogKey, "LOG_Enabled"));
    EXPECT_EQ(271u, Dword(kLogKey, "LOG_Level"));
    EXPECT_EQ(1u, Dword(kLogKey, "LOG_TypeOut"));
    EXPECT_EQ(1u, Dword(kLogKey, "LOG_Flush"));
    EXPECT_EQ(1u, Dword(kLogKey, "LOG_HeadInfo"));
    EXPECT_EQ(64u, Dword(kLogKey, "LOG_MaxSizeMB"));
    EXPECT_TRUE(Exists(Base32() + "/@apppath"));
    EXPECT_TRUE(Exists(Base32() + "/log/@log_headinfo"));
    EXPECT_FALSE(Exists(Reg("HKLM/software/varno")));

    EXPECT_EQ("[DBINFO_0]:\n\n"
              "[DBINFO_0]:############################# START THE APPLICATION #############################\n"
              "[DBINFO_0]:Enabled LOG: filePathLog=[C:\\Varno\\008\\WIN32_LUKeyCSP.log], LOG_HeadInfo=[1], "
              "LOG_TypeOut=[1], LOG_Level=[271], LOG_Flush=[1]\n"
              "[DBHEAD_0]: </TVarnoAppConfig::TVarnoAppConfig>\n",
              ReadWholeFile(TraceFile()));

    // A second start appends to the same file and rewrites nothing.
    PutDword(kLogKey, "LOG_Level", 15);
    { TVarnoAppConfig again; }
    std::string text = ReadWholeFile(TraceFile());
    EXPECT_NE(std::string::npos, text.find("LOG_Level=[271]"));
    EXPECT_NE(std::string::npos, text.find("LOG_Level=[15]"));
    EXPECT_EQ(15u, Dword(kLogKey, "LOG_Level"));
}

TEST_F(Config, StoredSettingsShapeTheTrace) {
    PutDword(kLogKey, "LOG_HeadInfo", 0);
    PutText(kLogKey, "LOG_FilePath", "C:\\Logs\\Deep\\Here");
    TVarnoAppConfig cfg;
    // Every missing level of the directory is made.
    std::string file = Root.Path() + "/C/Logs/Deep/Here/WIN32_LUKeyCSP.log";
    EXPECT_EQ("\n\n############################# START THE APPLICATION #############################\n"
              "Enabled LOG: filePathLog=[C:\\Logs\\Deep\\Here\\WIN32_LUKeyCSP.log], LOG_HeadInfo=[0], "
              "LOG_TypeOut=[1], LOG_Level=[271], LOG_Flush=[1]\n"
              " </TVarnoAppConfig::TVarnoAppConfig>\n",
              ReadWholeFile(file));
    EXPECT_TRUE(Exists(Root.Path() + "/C/Varno/008"));
    EXPECT_EQ(std::string("C:\\Logs\\Deep\\Here\0", 18), Text(kLogKey, "LOG_FilePath"));
}

TEST_F(Config, LogDisabledOrOtherOutputWritesNoFile) {
    PutDword(kLogKey, "LOG_Enabled", 0);
    {
        TVarnoAppConfig cfg;
        EXPECT_EQ(0, cfg.LOG_Enabled);
        EXPECT_EQ(0, Log.Print(DBINFO_0, "f", "f", 1, "x\n"));
    }
    EXPECT_TRUE(Exists(Root.Path() + "/C/Varno/008"));
    EXPECT_FALSE(Exists(TraceFile()));

    PutDword(kLogKey, "LOG_Enabled", 1);
    PutDword(kLogKey, "LOG_TypeOut", 2);
    { TVarnoAppConfig cfg; }
    EXPECT_FALSE(Exists(TraceFile()));
    EXPECT_EQ(0, Log.Print(DBINFO_0, "f", "f", 1, "x\n"));
}

TEST_F(Config, EmptyLogFilePathPutsTheFileIntoAppPath) {
    PutText(kLogKey, "LOG_FilePath", "");
    PutText(kBaseKey, "AppPath", "C:\\App\\");
    TVarnoAppConfig cfg;
    std::string text = ReadWholeFile(Root.Path() + "/C/App/WIN32_LUKeyCSP.log");
    EXPECT_NE(std::string::npos, text.find("filePathLog=[C:\\App\\\\WIN32_LUKeyCSP.log]")) << text;
    EXPECT_STREQ("", cfg.LOG_FilePath);
}

TEST_F(Config, ReadOnlyLogGroupStillLoads) {
    PutText(kBaseKey, "AppPath", "C:\\Varno\\008\\");
    PutDword(kLogKey, "LOG_Enabled", 1);
    PutDword(kLogKey, "LOG_Level", 0x10F | DBHEAD_L);
    PutDword(kLogKey, "LOG_TypeOut", 1);
    PutDword(kLogKey, "LOG_Flush", 1);
    PutText(kLogKey, "LOG_FilePath", "C:\\Varno\\008");
    PutDword(kLogKey, "LOG_HeadInfo", 1);
    PutDword(kLogKey, "LOG_MaxSizeMB", 64);
    std::ofstream(Base32() + "/log/.readonly").close();
    {
        TVarnoAppConfig cfg;
        EXPECT_EQ(static_cast<int32_t>(0x10F | DBHEAD_L), cfg.LOG_Level);
        EXPECT_TRUE(cfg.LoadValues(0));
        // Writes to the read-only group fail.
        EXPECT_FALSE(cfg.SaveValues(GRUPO_NAME_LOG));
    }
    EXPECT_NE(std::string::npos, ReadWholeFile(TraceFile()).find("LOG_Level=[268435727]"));

    // With a value missing the load fails: the log stays off, the values read before stay.
    ASSERT_EQ(0, remove(TraceFile().c_str()));
    ASSERT_EQ(0, remove((Base32() + "/log/@log_flush").c_str()));
    {
        TVarnoAppConfig cfg;
        EXPECT_EQ(static_cast<int32_t>(0x10F | DBHEAD_L), cfg.LOG_Level);
        EXPECT_FALSE(cfg.LoadValues(0));
    }
    EXPECT_FALSE(Exists(TraceFile()));
}

TEST_F(Config, LoadValuesMaskSelectsGroups) {
    TVarnoAppConfig cfg;
    ASSERT_EQ(0, remove((Base32() + "/@apppath").c_str()));
    ASSERT_EQ(0, remove((Base32() + "/log/@log_level").c_str()));
    EXPECT_TRUE(cfg.LoadValues(GRUPO_NAME_LOG));
    EXPECT_TRUE(Exists(Base32() + "/log/@log_level"));
    EXPECT_FALSE(Exists(Base32() + "/@apppath"));
    EXPECT_TRUE(cfg.LoadValues(0));
    EXPECT_TRUE(Exists(Base32() + "/@apppath"));
}

TEST_F(Config, ValuesByName) {
    TVarnoAppConfig cfg;
    EXPECT_EQ(-1, cfg.GetValueInt("LOG_level"));
    EXPECT_STREQ("INVALID_FIELD", cfg.GetValueStr("Nope"));
    int32_t len = 77;
    EXPECT_STREQ("INVALID_FIELD", cfg.GetValueData("Nope", &len));
    EXPECT_EQ(77, len);
    EXPECT_EQ(271, cfg.GetValueInt("LOG_Level"));
    EXPECT_STREQ("", cfg.GetValueStr("LOG_Level"));
    EXPECT_STREQ("C:\\Varno\\008\\", cfg.GetValueData("AppPath", &len));
    EXPECT_EQ(14, len);

    EXPECT_TRUE(cfg.SetValue("LOG_Level", 15));
    EXPECT_FALSE(cfg.SetValue("LOG_Level", "15"));
    EXPECT_FALSE(cfg.SetValue("AppPath", 5));
    EXPECT_FALSE(cfg.SetValue("Nope", 5));
    EXPECT_EQ(15, cfg.LOG_Level);
    // Memory only until saved.
    EXPECT_EQ(271u, Dword(kLogKey, "LOG_Level"));
    EXPECT_TRUE(cfg.SaveValues(GRUPO_NAME_LOG));
    EXPECT_EQ(15u, Dword(kLogKey, "LOG_Level"));

    // A text set without its terminator is stored as a proper REG_SZ.
    EXPECT_TRUE(cfg.SetValueStr("AppPath", "D:\\X"));
    EXPECT_STREQ("D:\\X", cfg.AppPath);
    EXPECT_TRUE(cfg.SaveValues(0));
    EXPECT_EQ(std::string("D:\\X\0", 5), Text(kBaseKey, "AppPath"));
    EXPECT_TRUE(cfg.SetValueData("LOG_Flush", "\0\0\0\0", 4));
    EXPECT_EQ(0, cfg.LOG_Flush);
    EXPECT_FALSE(cfg.SetValueData("AppPath", nullptr, 3));
}

namespace {

// A further group as a derived table adds it.
class TReportConfig : public TVarnoAppConfig {
  public:
    TReportConfig() : MailURL(nullptr), MailPassword(nullptr), MailPort(0) {
        AddGrupo(20, "Report");
        SetVariable(20, &MailURL, "MAIL_URL", "smtp://mail.invalid");
        SetVariable(20, &MailPassword, "MAIL_Password");
        SetVariable(20, &MailPort, "MAIL_Port", 25);
        Loaded = LoadValues(0);
    }
    char* MailURL;
    BYTE* MailPassword;
    int32_t MailPort;
    bool Loaded = false;
};

} // namespace

TEST_F(Config, DerivedTableAddsAGroup) {
    TReportConfig cfg;
    EXPECT_TRUE(cfg.Loaded);
    EXPECT_EQ(std::string("smtp://mail.invalid\0", 20),
              Text("SOFTWARE\\Varno\\Trelis_Server\\Report", "MAIL_URL"));
    EXPECT_EQ(25u, Dword("SOFTWARE\\Varno\\Trelis_Server\\Report", "MAIL_Port"));
    DWORD type = 0;
    std::string data = "x";
    ASSERT_EQ(ERROR_SUCCESS, Query("SOFTWARE\\Varno\\Trelis_Server\\Report", "MAIL_Password", &type, &data));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    EXPECT_EQ(0u, data.size());
    EXPECT_TRUE(cfg.SetValueData("MAIL_Password", "\x01\x00\x02", 3));
    EXPECT_TRUE(cfg.SaveValues(20));
    TReportConfig again;
    int32_t len = 0;
    const char* pw = again.GetValueData("MAIL_Password", &len);
    ASSERT_EQ(3, len);
    EXPECT_EQ(0, memcmp("\x01\x00\x02", pw, 3));
    EXPECT_EQ(reinterpret_cast<const BYTE*>(pw), again.MailPassword);
}

// ---- Registry groups -----------------------------------------------------------------------------------

namespace {

class Groups : public ::testing::Test {
  protected:
    void SetUp() override {
        TPlatDebugConfig cfg{};
        cfg.TypeOut = 1;
        cfg.HeadInfo = 0;
        cfg.Level = 0xFFFFFFFFu;
        cfg.Flush = 1;
        TracePath = Root.Path() + "/trace.log";
        snprintf(cfg.FilePath, sizeof(cfg.FilePath), "%s", TracePath.c_str());
        Log.Config(1, cfg);
        gPlatDebug = &Log;
    }
    void TearDown() override { gPlatDebug = nullptr; }
    std::string Reg(const std::string& rel) { return Root.Path() + "/registry/" + rel; }

    TTestRoot Root;
    TPlatDebug Log;
    std::string TracePath;
};

} // namespace

TEST_F(Groups, ConstructionCreatesTheBaseKeyInTheChosenHive) {
    {
        TVarnoRegedit hkcu(HKEY_CURRENT_USER);
        EXPECT_TRUE(Exists(Reg("HKCU/software/varno/trelis_server")));
        EXPECT_STREQ("SOFTWARE\\Varno\\Trelis_Server", hkcu.GetBasePath());
        TVarnoRegeditGrupo* g = hkcu.GetGrupo(GRUPO_NAME_GERAL, false);
        ASSERT_NE(nullptr, g);
        EXPECT_STREQ("[GERAL]", g->NameGrupo);
        EXPECT_NE(nullptr, g->Key);
    }
    TVarnoRegedit hklm;
    EXPECT_TRUE(Exists(Reg("HKLM/software/wow6432node/varno/trelis_server")));
    EXPECT_FALSE(Exists(Reg("HKLM/software/varno")));
}

TEST_F(Groups, FirstOpeningOfAGroupDecides) {
    TVarnoRegedit reg;
    ASSERT_TRUE(reg.SetGrupoName(GRUPO_NAME_CERTIFICATE, "0A1B", KEY_WOW64_32KEY));
    EXPECT_TRUE(reg.RegSetValueW("Token", GRUPO_NAME_CERTIFICATE, REG_BINARY, "abc", 3));
    // Same number, other view and name: nothing changes, the write lands in the key opened first.
    ASSERT_TRUE(reg.SetGrupoName(GRUPO_NAME_CERTIFICATE, "FFFF", KEY_WOW64_64KEY));
    EXPECT_TRUE(reg.RegSetValueW("Token", GRUPO_NAME_CERTIFICATE, REG_BINARY, "defg", 4));
    EXPECT_STREQ("[0A1B]", reg.GetGrupo(GRUPO_NAME_CERTIFICATE, false)->NameGrupo);
    EXPECT_EQ(std::string("LUREG REG_BINARY Token\ndefg"),
              ReadWholeFile(Reg("HKLM/software/wow6432node/varno/trelis_server/0a1b/@token")));
    EXPECT_FALSE(Exists(Reg("HKLM/software/varno")));
    EXPECT_FALSE(Exists(Reg("HKLM/software/wow6432node/varno/trelis_server/ffff")));

    // A group never opened falls back to the first one, the base key.
    EXPECT_TRUE(reg.RegSetValueW("Loose", 5, REG_DWORD, "\1\0\0\0", 4));
    EXPECT_TRUE(Exists(Reg("HKLM/software/wow6432node/varno/trelis_server/@loose")));
    EXPECT_EQ(nullptr, reg.GetGrupo(5, false));
    EXPECT_EQ(reg.GetGrupo(GRUPO_NAME_GERAL, false), reg.GetGrupo(5, true));

    DWORD len = 0;
    EXPECT_TRUE(reg.RegQueryValueW("Token", GRUPO_NAME_CERTIFICATE, REG_BINARY, nullptr, &len));
    EXPECT_EQ(4u, len);
    char buf[2];
    len = sizeof(buf);
    EXPECT_FALSE(reg.RegQueryValueW("Token", GRUPO_NAME_CERTIFICATE, REG_BINARY, buf, &len));
    EXPECT_FALSE(reg.RegQueryValueW("Missing", GRUPO_NAME_CERTIFICATE, REG_BINARY, nullptr, &len));
    EXPECT_FALSE(reg.RegQueryValueW("Token", GRUPO_NAME_CERTIFICATE, REG_BINARY, nullptr, nullptr));
    EXPECT_FALSE(reg.SetGrupoName(7, nullptr, KEY_WOW64_32KEY));
    EXPECT_FALSE(reg.SetGrupoName(7, "", KEY_WOW64_32KEY));
}

TEST_F(Groups, ReadOnlyKeyOpensForReading) {
    {
        TVarnoRegedit reg;
        ASSERT_TRUE(reg.SetGrupoName(GRUPO_NAME_LOG, "Log", KEY_WOW64_32KEY));
        ASSERT_TRUE(reg.RegSetValueW("LOG_Level", GRUPO_NAME_LOG, REG_DWORD, "\x0F\0\0\0", 4));
    }
    std::ofstream(Reg("HKLM/software/wow6432node/varno/trelis_server/log/.readonly")).close();
    TVarnoRegedit reg;
    ASSERT_TRUE(reg.SetGrupoName(GRUPO_NAME_LOG, "Log", KEY_WOW64_32KEY));
    ASSERT_NE(nullptr, reg.GetGrupo(GRUPO_NAME_LOG, false)->Key);
    int32_t v = 0;
    DWORD len = 4;
    EXPECT_TRUE(reg.RegQueryValueW("LOG_Level", GRUPO_NAME_LOG, REG_DWORD, &v, &len));
    EXPECT_EQ(15, v);
    EXPECT_FALSE(reg.RegSetValueW("LOG_Level", GRUPO_NAME_LOG, REG_DWORD, "\1\0\0\0", 4));

    // A key that can be neither created nor opened stays recorded without a key; writes to it fail.
    std::ofstream(Reg("HKLM/software/wow6432node/varno/trelis_server/.readonly")).close();
    EXPECT_FALSE(reg.SetGrupoName(GRUPO_NAME_CONEX, "Conex", KEY_WOW64_32KEY));
    ASSERT_NE(nullptr, reg.GetGrupo(GRUPO_NAME_CONEX, false));
    EXPECT_EQ(nullptr, reg.GetGrupo(GRUPO_NAME_CONEX, false)->Key);
    EXPECT_FALSE(reg.RegSetValueW("X", GRUPO_NAME_CONEX, REG_DWORD, "\1\0\0\0", 4));
    EXPECT_NE(std::string::npos, ReadWholeFile(TracePath).find("Falha no RegOpenKeyEx, resultTmp=[5]\n"));
}

TEST_F(Groups, DeleteOnlyLeafKeys) {
    TVarnoRegedit reg(HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.SetGrupoName(GRUPO_NAME_CERTIFICATE, "0A1B", KEY_WOW64_64KEY));
    EXPECT_FALSE(reg.DeleteGrupoName(GRUPO_NAME_GERAL, nullptr, true));
    std::string trace = ReadWholeFile(TracePath);
    EXPECT_NE(std::string::npos,
              trace.find("<TVarnoRegedit::DeleteGrupoName Grupo=[-1] DescGrupo=[] Delete64BitReg=[1]>\n"));
    EXPECT_NE(std::string::npos,
              trace.find("Falha no RegDeleteKeyExA ao apagar "
                         "RegNameGrupo=[SOFTWARE\\Varno\\Trelis_Server], resultTmp=[5]\n"));
    EXPECT_TRUE(reg.DeleteGrupoName(GRUPO_NAME_CERTIFICATE, "0a1b", true));
    EXPECT_FALSE(Exists(Reg("HKCU/software/varno/trelis_server/0a1b")));
    EXPECT_FALSE(reg.DeleteGrupoName(GRUPO_NAME_CERTIFICATE, "0A1B", false));
    EXPECT_NE(std::string::npos, ReadWholeFile(TracePath).find("resultTmp=[2]\n"));
    // The record stays: its key now names a deleted key.
    EXPECT_FALSE(reg.RegSetValueW("Token", GRUPO_NAME_CERTIFICATE, REG_BINARY, "a", 1));
    EXPECT_FALSE(reg.DeleteGrupoName(GRUPO_NAME_CERTIFICATE, "", false));
}

TEST_F(Groups, ProviderKeysInBothViews) {
    TVarnoRegedit reg;
    ASSERT_TRUE(reg.SetBasePath(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider"));
    ASSERT_TRUE(reg.SetGrupoName(0, "Varno Base Cryptographic Provider Server", KEY_WOW64_64KEY));
    ASSERT_TRUE(reg.SetGrupoName(1, "Varno Base Cryptographic Provider Server", KEY_WOW64_32KEY));
    EXPECT_TRUE(reg.RegSetValueW("Type", 0, REG_DWORD, "\1\0\0\0", 4));
    EXPECT_TRUE(reg.RegSetValueW("Type", 1, REG_DWORD, "\1\0\0\0", 4));
    const char* leaf =
        "microsoft/cryptography/defaults/provider/varno%20base%20cryptographic%20provider%20server";
    EXPECT_TRUE(Exists(Reg(std::string("HKLM/software/") + leaf + "/@type")));
    EXPECT_TRUE(Exists(Reg(std::string("HKLM/software/wow6432node/") + leaf + "/@type")));
    EXPECT_TRUE(reg.DeleteGrupoName(0, "Varno Base Cryptographic Provider Server", true));
    EXPECT_FALSE(Exists(Reg(std::string("HKLM/software/") + leaf)));
    EXPECT_TRUE(Exists(Reg(std::string("HKLM/software/wow6432node/") + leaf)));
    EXPECT_FALSE(reg.SetBasePath(HKEY_LOCAL_MACHINE, ""));
    EXPECT_FALSE(reg.SetBasePath(HKEY_LOCAL_MACHINE, std::string(300, 'x').c_str()));
}
