// config get|set|list and log: the library's settings table and its trace file, read and written through
// the library's own configuration classes so that names, places and defaults are the library's.
#include "LucspCommands.h"
#include "LucspErrors.h"

#include "os/platOS.h"
#include "platform/platException.h"
#include "platform/platProxy.h"
#include "platform/platSecret.h"
#include "platform/platRotPadroes.h"
#include "service/luAppConfig.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

// The library's table with its fields opened up to the tool. Constructing it loads every setting and
// writes the missing ones with their defaults, exactly as the library does when it starts.
class TToolAppConfig : public TModAppConfig {
  public:
    // The crash report adds its "Report" group to the process table at start-up; so does the tool.
    TToolAppConfig() { sysCrashReportConfig(this, URL_SignHash); }
    ~TToolAppConfig() override { sysCrashReportConfig(nullptr, nullptr); }

    uint32_t Count() const { return Fields.Count; }
    TVarnoAppConfigField* Field(uint32_t i) { return static_cast<TVarnoAppConfigField*>(Fields.GetItem(i)); }
    TVarnoAppConfigField* Find(const std::string& name) { return FindField(name.c_str()); }
    bool Save(TVarnoAppConfigField* f) { return SaveField(f); }

    std::string KeyPath(const TVarnoAppConfigField* f) {
        std::string path = std::string("HKEY_LOCAL_MACHINE\\") + Regedit.GetBasePath();
        TVarnoRegeditGrupo* g = f->Grupo == GRUPO_NAME_GERAL ? nullptr : Regedit.GetGrupo(f->Grupo, false);
        if (g && g->Grupo != GRUPO_NAME_GERAL && g->NameGrupo[0]) {
            // The group keeps its name in brackets, as the trace shows it.
            std::string name = g->NameGrupo;
            if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
                name = name.substr(1, name.size() - 2);
            path += "\\" + name;
        }
        return path;
    }
};

const char* TypeName(int32_t type) {
    return type == REG_SZ       ? "REG_SZ"
           : type == REG_DWORD  ? "REG_DWORD"
           : type == REG_BINARY ? "REG_BINARY"
                                : "?";
}

std::string ValueText(const TVarnoAppConfigField* f) {
    if (f->Type == REG_DWORD) return std::to_string(f->ValueInt);
    if (f->Type == REG_SZ) return f->Data ? reinterpret_cast<const char*>(f->Data) : "";
    return f->Data ? lucspHex(f->Data, static_cast<size_t>(f->LenData)) : "";
}

std::string DefaultText(const TVarnoAppConfigField* f) {
    if (f->Type == REG_DWORD) return std::to_string(f->DefaultInt);
    if (f->Type == REG_SZ) return f->DefaultData ? static_cast<const char*>(f->DefaultData) : "";
    return "";
}

// Quotes around text settings so that an empty value still shows.
std::string Quoted(const TVarnoAppConfigField* f, const std::string& v) {
    return f->Type == REG_SZ ? "\"" + v + "\"" : v;
}

int RunConfigList(TCommand&) {
    TToolAppConfig config;
    for (uint32_t i = 0; i < config.Count(); ++i) {
        TVarnoAppConfigField* f = config.Field(i);
        if (!f || !f->Name) continue;
        std::string value = Quoted(f, ValueText(f));
        // The list may end up in a ticket; the mail password is shown by config get only.
        if (platIsProtectedText(ValueText(f).c_str())) value = "(protected)";
        if (std::strcmp(f->Name, "MailPassword") == 0 && !ValueText(f).empty()) value = "(set, hidden)";
        if (std::strcmp(f->Name, "CNX_Proxy") == 0) value = Quoted(f, platProxyForTrace(ValueText(f)));
        std::printf("%-30s %-9s = %s\n", f->Name, TypeName(f->Type), value.c_str());
        std::printf("    %s  (default %s)\n", config.KeyPath(f).c_str(), Quoted(f, DefaultText(f)).c_str());
    }
    return 0;
}

int RunConfigGet(TCommand& cmd) {
    TToolAppConfig config;
    std::string name = cmd.Args.Positional[0];
    TVarnoAppConfigField* f = config.Find(name);
    if (!f) return cmd.Fail("no setting named '" + name + "' (see lucsp config list)", LUCSP_ERROR_NOT_FOUND);
    // A protected value is opened here, on the machine that protected it.
    TPlatSecretText plain;
    if (!platRevealSecretText(ValueText(f).c_str(), plain.Text))
        return cmd.Fail("cannot open the protected value of " + name + " on this machine",
                        LUCSP_ERROR_ACCESS_DENIED);
    std::printf("%s\n", plain.Text.c_str());
    return 0;
}

int RunConfigSet(TCommand& cmd) {
    TToolAppConfig config;
    std::string name = cmd.Args.Positional[0], value = cmd.Args.Positional[1];
    TVarnoAppConfigField* f = config.Find(name);
    if (!f) return cmd.Fail("no setting named '" + name + "' (see lucsp config list)", LUCSP_ERROR_NOT_FOUND);
    if (f->Type == REG_DWORD) {
        errno = 0;
        char* end = nullptr;
        long long v = std::strtoll(value.c_str(), &end, 0);
        if (value.empty() || *end || errno || v < INT32_MIN || v > static_cast<long long>(UINT32_MAX))
            return cmd.Fail(name + " is a REG_DWORD and wants a number (decimal or 0x...), not '" + value +
                                "'",
                            LUCSP_ERROR_INVALID_DATA);
        f->SetInt(static_cast<int32_t>(static_cast<uint32_t>(v & 0xFFFFFFFF)));
    } else if (f->Type == REG_SZ) {
        // Passwords go to the machine's key protected (DPAPI, machine scope): a copy of the key, a backup
        // or an export does not carry them readable.
        if (platIsMachineSecret(name.c_str(), value)) {
            std::string stored;
            if (!platProtectSecretText(value, stored))
                return cmd.Fail("cannot protect the value of " + name, LUCSP_ERROR_ACCESS_DENIED);
            SecureZero(&value[0], value.size());
            value = stored;
        }
        if (!f->SetData(value.c_str(), static_cast<uint32_t>(value.size() + 1)))
            return cmd.Fail("cannot hold the value of " + name, LUCSP_ERROR_INVALID_DATA);
    } else {
        return cmd.Fail(name + " is binary and cannot be set here", LUCSP_ERROR_NOT_SUPPORTED);
    }
    SetLastError(0);
    if (!config.Save(f)) {
        DWORD code = GetLastError();
        return cmd.Fail("cannot write " + name + " to " + config.KeyPath(f) +
                            " (on Windows the key needs an administrator)",
                        code ? code : LUCSP_ERROR_ACCESS_DENIED);
    }
    std::string shown = platIsProtectedText(ValueText(f).c_str()) ? "(protected)" : Quoted(f, ValueText(f));
    std::printf("%s = %s  (%s; read when the library is next loaded)\n", name.c_str(), shown.c_str(),
                config.KeyPath(f).c_str());
    return 0;
}

struct TLogInfo {
    std::string WindowsPath; // as the library composes it
    std::string Path;        // where it lies on this system
    int Enabled = 0;
    int Level = 0;
};

TLogInfo LogInfo() {
    TToolAppConfig config;
    TLogInfo info;
    const char* dir = (config.LOG_FilePath && *config.LOG_FilePath) ? config.LOG_FilePath
                                                                    : (config.AppPath ? config.AppPath : "");
    info.WindowsPath = std::string(dir) + "\\" + GetPlatformName() + "_" + TMOD_SIGLA_SHOW + ".log";
    info.Path = osMapPath(info.WindowsPath.c_str());
    info.Enabled = config.LOG_Enabled;
    info.Level = config.LOG_Level;
    return info;
}

std::string LevelNames(uint32_t mask) {
    static const struct {
        uint32_t Bit;
        const char* Name;
    } kLevels[] = {{0x1, "DBHEAD_0"},        {0x2, "DBERRO_0"},        {0x4, "DBWARN_0"},
                   {0x8, "DBINFO_0"},        {0x10, "DBHEAD_C"},       {0x20, "DBWARN_C"},
                   {0x40, "DBINFO_C"},       {0x100, "DBHEAD_E"},      {0x200, "DBINFO_U"},
                   {0x10000000, "DBHEAD_L"}, {0x20000000, "DBWARN_L"}, {0x40000000, "DBINFO_L"}};
    std::string names;
    for (const auto& l : kLevels)
        if (mask & l.Bit) names += (names.empty() ? "" : " ") + std::string(l.Name);
    return names.empty() ? "none" : names;
}

// The last lines of a file that may be large: read backwards in blocks until enough line ends are seen.
bool Tail(const std::string& path, long lines, std::string& out, long long& size) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    in.seekg(0, std::ios::end);
    size = static_cast<long long>(in.tellg());
    out.clear();
    if (lines <= 0) return true;
    long long pos = size;
    std::string data;
    const long long block = 64 * 1024;
    // The final line end belongs to the last line; the lines before it each end in one.
    auto lineEnds = [](const std::string& d) {
        size_t limit = d.size();
        if (limit && d[limit - 1] == '\n') --limit;
        long n = 0;
        for (size_t i = 0; i < limit; ++i)
            if (d[i] == '\n') ++n;
        return n;
    };
    while (pos > 0 && lineEnds(data) < lines) {
        long long n = pos < block ? pos : block;
        pos -= n;
        std::string chunk(static_cast<size_t>(n), '\0');
        in.seekg(pos);
        in.read(&chunk[0], n);
        if (in.gcount() != n) return false;
        data.insert(0, chunk);
    }
    size_t limit = data.size();
    if (limit && data[limit - 1] == '\n') --limit;
    size_t start = 0;
    long seen = 0;
    for (size_t i = limit; i > 0; --i)
        if (data[i - 1] == '\n' && ++seen == lines) {
            start = i;
            break;
        }
    out = data.substr(start);
    return true;
}

int RunLog(TCommand& cmd) {
    long lines = 20;
    if (!cmd.GetInt("--lines", 0, 1000000, 20, lines)) return cmd.ExitCode;
    TLogInfo info = LogInfo();
    if (cmd.Args.Has("--path")) {
        std::printf("%s\n", info.Path.c_str());
        return 0;
    }
    std::printf("trace file  %s", info.Path.c_str());
    if (info.Path != info.WindowsPath) std::printf("  (%s)", info.WindowsPath.c_str());
    std::printf("\nenabled     %s (LOG_Enabled=%d)\nlevels      0x%X: %s\n", info.Enabled ? "yes" : "no",
                info.Enabled, static_cast<unsigned>(info.Level),
                LevelNames(static_cast<uint32_t>(info.Level)).c_str());
    std::string tail;
    long long size = 0;
    if (!Tail(info.Path, lines, tail, size)) {
        std::fflush(stdout);
        return cmd.Fail("no trace file at " + info.Path +
                            " yet (the library writes it once loaded with LOG_Enabled=1)",
                        LUCSP_ERROR_FILE_NOT_FOUND);
    }
    std::printf("size        %lld bytes\n", size);
    if (lines > 0) {
        std::printf("--- last %ld line(s) ---\n", lines);
        std::fwrite(tail.data(), 1, tail.size(), stdout);
        if (!tail.empty() && tail.back() != '\n') std::printf("\n");
    }
    return 0;
}

const char kConfigDetails[] =
    "The settings live under HKEY_LOCAL_MACHINE\\SOFTWARE\\Varno\\Trelis_Server (32-bit registry view; on\n"
    "Linux in the registry stand-in below $LUCSP_ROOT). The library reads them once, when it is loaded.\n"
    "Missing values are written with their defaults, by the library and by this command.\n"
    "CSP_Compatibility (Conex, REG_DWORD, default 1): 1 offers what common CryptoAPI clients need\n"
    "(CryptHashData, CALG_SSL3_SHAMD5 for TLS 1.0/1.1, CRYPT_VERIFYCONTEXT, PP_ENUMCONTAINERS and\n"
    "PP_ENUMALGS[_EX]) and a result code per failure class of a signature (no token, token refused,\n"
    "service unreachable, service failed, answer unusable); 0 refuses them and answers NTE_FAIL or\n"
    "NTE_SYS_ERR as the provider did before.\n"
    "CSP_TokenProtection (Conex, REG_DWORD, default 1): 1 stores a registered token protected for the\n"
    "user (DPAPI); 0 as plain text, for other tools that read it. Both forms are read.\n"
    "CSP_KeyProvider (Conex, REG_SZ, default \"CSP\"): the provider that a newly registered certificate's\n"
    "key-provider information names: CSP (PROV_RSA_FULL, AT_KEYEXCHANGE) or KSP (the key storage\n"
    "provider, type and dwKeySpec 0, for CNG clients); any other value refuses registrations. Either\n"
    "provider opens the certificate; lucsp register --provider chooses for one registration.\n";

} // namespace

void lucspAddConfigCommands(std::vector<TCommandDef>& table) {
    table.push_back(TCommandDef{"config list",
                                "",
                                "List every setting with its registry key, type, value and default.",
                                {},
                                0,
                                0,
                                kConfigDetails,
                                RunConfigList,
                                false});
    table.push_back(TCommandDef{"config get",
                                "NAME",
                                "Print the value of one setting.",
                                {},
                                1,
                                1,
                                kConfigDetails,
                                RunConfigGet,
                                false});
    table.push_back(TCommandDef{"config set",
                                "NAME VALUE",
                                "Write one setting (REG_DWORD: decimal or 0x hex; REG_SZ: the text).",
                                {},
                                2,
                                2,
                                kConfigDetails,
                                RunConfigSet,
                                false});
    table.push_back(TCommandDef{
        "log",
        "[--lines N] [--path]",
        "Show where the trace file is, its state and its last lines.",
        {{"--lines", "N", "how many lines of the end to show (default 20; 0: none)"},
         {"--path", nullptr, "print only the file's path"}},
        0,
        0,
        "The file is <LOG_FilePath or AppPath>\\WIN32_LUKeyCSP.log; every process that loads the library\n"
        "appends to it. LOG_Level is a mask of the levels listed by lucsp config list and "
        "docs/user-guide.md.\n",
        RunLog,
        false});
}
