#include "platform/platException.h"

#include "os/platOS.h"
#include "os/platSystemInfo.h"
#include "platform/TVarnoAppConfig.h"
#include "platform/platDebug.h"
#include "platform/platSecret.h"
#include "platform/platMailer.h"
#include "platform/platMutex.h"
#include "platform/platProductNames.h"
#include "platform/platRotPadroes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

// What the process tells the report at start-up; read under the mutex, copied for each report.
struct TReportSources {
    TVarnoAppConfig* Config = nullptr;
    std::string URL_SignHash;
    TFuncCrashReportIdentity Identity = nullptr;
};

// Not static objects: at exit() every static destructor runs before the library's detach, and another
// module's exit handler may still reach an entry point. Freed only when the library is unloaded.
TPlatMutex* gSourcesMutex = nullptr;
TReportSources* gSources = nullptr;

// First made by the start-up's configuration call, under the loader lock.
TPlatMutex& SourcesMutex() {
    if (!gSourcesMutex) gSourcesMutex = new TPlatMutex;
    return *gSourcesMutex;
}

TReportSources& Sources() {
    if (!gSources) gSources = new TReportSources;
    return *gSources;
}

// Published by the configuration table; owned by it.
char* gMailURL = nullptr;
char* gMailBox = nullptr;
char* gMailUser = nullptr;
char* gMailPassword = nullptr;
char* gMailCAInfo = nullptr;

const char kAppNome[] = LU_PRODUCT_APP_NAME;
const char kAppNomeCliente[] = LU_PRODUCT_CLIENT_NAME;
const char kCspDll[] = LU_PRODUCT_CSP_DLL;
const char kKspDll[] = LU_PRODUCT_KSP_DLL;
const unsigned kAppCodCliente = 0;
// The report's own platform text: unset until the first report.
const char* gReportPlatForm = nullptr;

std::string ConfigText(TVarnoAppConfig* config, const char* name) {
    if (!config) return std::string();
    const char* value = config->GetValueStr(name);
    if (!value || strcmp(value, "INVALID_FIELD") == 0) return std::string();
    return value;
}

int ConfigInt(TVarnoAppConfig* config, const char* name) {
    if (!config) return 0;
    int value = config->GetValueInt(name);
    return value == -1 && strcmp(config->GetValueStr(name), "INVALID_FIELD") == 0 ? 0 : value;
}

std::string FileVersion(const std::string& path) {
    return GetFileVersionText(ConvAnsiToWideTemp(path.c_str()));
}

// Day number of a civil date (proleptic Gregorian), 0 = 1970-01-01.
long DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy =
        (153 * static_cast<unsigned>(m + (m > 2 ? -3 : 9)) + 2) / 5 + static_cast<unsigned>(d) - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468;
}

void Report(const char* exceptionText, const char* function, int line) {
    TPlatMailSettings mail;
    TCrashReportData data;
    TFuncCrashReportIdentity identity = nullptr;
    {
        TPlatLockGuard guard(SourcesMutex());
        TReportSources& src = Sources();
        TVarnoAppConfig* config = src.Config;
        mail.URL = ConfigText(config, "MailURL");
        if (mail.URL.empty()) return; // no report configured: nothing to do, no delay
        mail.MailBox = ConfigText(config, "MailBox");
        mail.UserName = ConfigText(config, "MailUser");
        // Stored protected (machine scope) or, as written by earlier versions, as plain text.
        if (!platRevealSecretText(ConfigText(config, "MailPassword").c_str(), mail.Password))
            TRACE(DBERRO_0, "MailPassword protegido nao pode ser aberto nesta maquina\n");
        mail.CAInfo = ConfigText(config, "MailCAInfo");
        data.VersionInstall = ConfigText(config, "VersionInstall");
        data.CNX_SetHomolog = ConfigInt(config, "CNX_SetHomolog");
        data.CNX_SetHomolog_EndPointVersion = ConfigInt(config, "CNX_SetHomolog_EndPointVersion");
        data.URL_SignHash = src.URL_SignHash;
        identity = src.Identity;
        if (!gReportPlatForm) gReportPlatForm = "WIN32";
        data.PlatForm = gReportPlatForm;
    }
    // The DLL entry runs under the loader lock: network and thread start-up there can hang the process.
    if (function && strcmp(function, "DllEntryPoint") == 0) {
        TRACE(DBERRO_0, "Relatorio de erro nao enviado: DllEntryPoint\n");
        return;
    }
    std::string why;
    if (!TPlatMailer::IsUsable(mail, &why)) {
        TRACE(DBERRO_0, "Relatorio de erro nao enviado: %s\n", why.c_str());
        return;
    }

    TOsLocalTime now;
    osGetLocalTime(now);
    std::string code = sysCrashReportCode(now);
    std::string windowsDir = osWindowsDirectory();
    if (identity) identity(data.HostName, data.UserName, data.Dna);

    data.Message = exceptionText ? exceptionText : "";
    data.Function = function ? function : "";
    data.Line = line;
    data.VersionOS = osVersionText();
    data.VersionDesktop = GetVersionDesktop();
    data.VersionCSP = FileVersion(windowsDir + "\\System32\\" + kCspDll);
    data.VersionSystem32 = FileVersion(windowsDir + "\\System32\\" + kKspDll);
    data.VersionSysWOW64 = FileVersion(windowsDir + "\\SysWOW64\\" + kKspDll);
    data.AppCodCliente = kAppCodCliente;
    data.AppNome = kAppNome;
    data.AppNomeCliente = kAppNomeCliente;

    std::string error;
    if (!TPlatMailer::SendHTML(mail, sysCrashReportSubject(code), sysCrashReportLines(data), &error))
        TRACE(DBERRO_0, "Relatorio de erro nao enviado, REPORT=[%s] ERRO=[%s]\n", code.c_str(),
              error.c_str());
    else
        TRACE(DBINFO_0, "Relatorio de erro enviado, REPORT=[%s]\n", code.c_str());
}

void ShowException(const char* exceptionText, const char* function, int line) {
    DWORD lastError = GetLastError();
    try {
        TRACE(DBERRO_0, "Exception: Function=[%s][%d], exception=[%s]\n", function ? function : "", line,
              exceptionText ? exceptionText : "");
        Report(exceptionText, function, line);
    } catch (...) {
        // The report is dropped; nothing may leave towards the entry point.
    }
    SetLastError(lastError);
}

} // namespace

void sysCathShowException(const std::exception& exception, const char* function, int line) {
    const char* text = "std::exception";
    try {
        text = exception.what();
    } catch (...) {
    }
    ShowException(text, function, line);
}

void sysCrashReportRelease() {
    delete gSources;
    gSources = nullptr;
    delete gSourcesMutex;
    gSourcesMutex = nullptr;
}

void sysCathShowException(const char* exceptionText, const char* function, int line) {
    ShowException(exceptionText, function, line);
}

bool sysCrashReportConfig(TVarnoAppConfig* config, const char* urlSignHash) {
    TPlatLockGuard guard(SourcesMutex());
    TReportSources& src = Sources();
    src.Config = nullptr;
    src.URL_SignHash.clear();
    if (!config) return true;
    config->AddGrupo(GRUPO_NAME_REPORT, "Report");
    bool ok = true;
    // Declared once per table; a second call only reloads them.
    if (strcmp(config->GetValueStr("MailURL"), "INVALID_FIELD") == 0) {
        ok = config->SetVariable(GRUPO_NAME_REPORT, &gMailURL, "MailURL", "") &&
             config->SetVariable(GRUPO_NAME_REPORT, &gMailBox, "MailBox", "") &&
             config->SetVariable(GRUPO_NAME_REPORT, &gMailUser, "MailUser", "") &&
             config->SetVariable(GRUPO_NAME_REPORT, &gMailPassword, "MailPassword", "") &&
             config->SetVariable(GRUPO_NAME_REPORT, &gMailCAInfo, "MailCAInfo", "");
    }
    if (ok) ok = config->LoadValues(GRUPO_NAME_REPORT);
    if (!ok) TRACE(DBERRO_0, "Falha ao carregar o grupo 'Report' do registro\n");
    src.Config = config;
    src.URL_SignHash = urlSignHash ? urlSignHash : "";
    return ok;
}

void sysCrashReportSetIdentity(TFuncCrashReportIdentity func) {
    TPlatLockGuard guard(SourcesMutex());
    Sources().Identity = func;
}

std::string sysCrashReportCode(const TOsLocalTime& t) {
    // OLE Automation date: days since 1899-12-30, the time of day as the fraction.
    double days = static_cast<double>(DaysFromCivil(t.Year, t.Month, t.Day) - DaysFromCivil(1899, 12, 30));
    double seconds = t.Hour * 3600.0 + t.Minute * 60.0 + t.Second + t.Milliseconds / 1000.0;
    char text[64];
    snprintf(text, sizeof(text), "%f", days + seconds / 86400.0);
    uint32_t crc = CRC32Calc(reinterpret_cast<const BYTE*>(text), static_cast<int>(strlen(text)));
    snprintf(text, sizeof(text), "%X", static_cast<unsigned>(crc));
    return text;
}

std::string sysCrashReportSubject(const std::string& code) {
    return "TRELISSERVER / CRITICAL ERROR / REPORT: (" + code + ")";
}

std::string sysHtmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        case '\r':
        case '\n':
            out += "<br>";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::vector<std::string> sysCrashReportLines(const TCrashReportData& d) {
    const std::string sep = "<br>##########################<br>";
    auto e = sysHtmlEscape;
    std::vector<std::string> lines;
    lines.push_back("<html><body>");
    lines.push_back("<span style='font-family:\"Courier New\"'>");
    lines.push_back(sep);
    lines.push_back("Message:<br>");
    lines.push_back(e(d.Message) + "<br>");
    if (!d.Function.empty()) {
        lines.push_back(sep);
        lines.push_back("Function:" + e(d.Function) + "<br>");
        lines.push_back("Line....:" + std::to_string(d.Line) + "<br>");
    }
    lines.push_back(sep);
    lines.push_back("PlatForm........: " + e(d.PlatForm) + "<br>");
    lines.push_back("HostName........: " + e(d.HostName) + "<br>");
    lines.push_back("UserName........: " + e(d.UserName) + "<br>");
    lines.push_back("dna.............: " + e(d.Dna) + "<br>");
    lines.push_back("VersionInstall..: " + e(d.VersionInstall) + "<br>");
    lines.push_back("Version_OS......: " + e(d.VersionOS) + "<br>");
    lines.push_back("Version_Desktop.: " + e(d.VersionDesktop) + "<br>");
    lines.push_back("Version_CSP.....: " + e(d.VersionCSP) + "<br>");
    lines.push_back("Version_System32: " + e(d.VersionSystem32) + "<br>");
    lines.push_back("Version_SysWOW64: " + e(d.VersionSysWOW64) + "<br>");
    lines.push_back("APP_COD_CLIENTE.: " + std::to_string(d.AppCodCliente) + "<br>");
    lines.push_back("APP_NOME........: " + e(d.AppNome) + "<br>");
    lines.push_back("APP_NOME_CLIENTE: " + e(d.AppNomeCliente) + "<br>");
    lines.push_back(sep);
    lines.push_back("CNX_SetHomolog................: " + std::to_string(d.CNX_SetHomolog) + "<br>");
    lines.push_back("CNX_SetHomolog_EndPointVersion: " + std::to_string(d.CNX_SetHomolog_EndPointVersion) +
                    "<br>");
    lines.push_back("URL_SignHash..................: " + e(d.URL_SignHash) + "<br>");
    lines.push_back("<o:p></o:p></span></p>");
    lines.push_back("</body></html>");
    return lines;
}

#ifdef LUCSP_TEST_HOOKS
void sysTestHookRaise(const char* entryName) {
    const char* wanted = getenv("LUCSP_TEST_THROW_IN");
    if (!wanted || !*wanted || !entryName) return;
    if (strcmp(wanted, "*") == 0 || strcmp(wanted, entryName) == 0)
        throw std::runtime_error(std::string("LUCSP_TEST_THROW_IN: ") + entryName);
}
#endif
