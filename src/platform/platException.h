#pragma once

#include "os/platTypes.h"

#include <exception>
#include <string>
#include <vector>

class TVarnoAppConfig;
struct TOsLocalTime;

// Registry group of the crash report's mail settings, below SOFTWARE\Varno\Trelis_Server.
#define GRUPO_NAME_REPORT 16

// Writes a caught exception to the trace log and mails a crash report when a mail URL is configured.
// Never throws and never changes the thread's last error.
void sysCathShowException(const std::exception& exception, const char* function, int line);
// The same for exceptions that are no std::exception: the text names what was caught.
void sysCathShowException(const char* exceptionText, const char* function, int line);

// Declares the "Report" settings (MailURL, MailBox, MailUser, MailPassword, MailCAInfo) on the process
// configuration table, loads them (missing ones are written back empty) and makes the table the source of
// the report's settings; urlSignHash is the sign endpoint, printed in the report. Null detaches the table
// again (before it is destroyed).
bool sysCrashReportConfig(TVarnoAppConfig* config, const char* urlSignHash);
// Frees what the report keeps for the process; only when the library is unloaded, never at exit.
void sysCrashReportRelease();
// The machine identity of the report (host, user, dna), collected at the moment of each report.
typedef void (*TFuncCrashReportIdentity)(std::string& hostName, std::string& userName, std::string& dna);
void sysCrashReportSetIdentity(TFuncCrashReportIdentity func);

// What a report holds, in the order of its lines.
struct TCrashReportData {
    std::string Message;
    std::string Function; // empty: no Function/Line block
    int Line = 0;
    std::string PlatForm, HostName, UserName, Dna, VersionInstall, VersionOS, VersionDesktop, VersionCSP,
        VersionSystem32, VersionSysWOW64;
    unsigned AppCodCliente = 0;
    std::string AppNome, AppNomeCliente;
    int CNX_SetHomolog = 0;
    int CNX_SetHomolog_EndPointVersion = 0;
    std::string URL_SignHash;
};

// CRC-32 of the OLE Automation date of the time written with "%f", as "%X".
std::string sysCrashReportCode(const TOsLocalTime& localTime);
std::string sysCrashReportSubject(const std::string& code);
// The HTML lines of the body; every value is HTML-escaped.
std::vector<std::string> sysCrashReportLines(const TCrashReportData& data);
std::string sysHtmlEscape(const std::string& text);

// Entry-point frame: LU_ENTRY_TRY(name) { ...work... } LU_ENTRY_CATCH(name, result) — an exception that
// escapes the work is reported and the result becomes FALSE with last error ERROR_UNWIND.
#define LU_ENTRY_TRY(name)                                                                                   \
    try {                                                                                                    \
        sysTestHookRaise(name);

#define LU_ENTRY_CATCH(name, result)                                                                         \
    }                                                                                                        \
    catch (const std::exception& luException_) {                                                             \
        sysCathShowException(luException_, (name), __LINE__);                                                \
        (result) = FALSE;                                                                                    \
        SetLastError(ERROR_UNWIND);                                                                          \
    }                                                                                                        \
    catch (...) {                                                                                            \
        sysCathShowException("unknown exception", (name), __LINE__);                                         \
        (result) = FALSE;                                                                                    \
        SetLastError(ERROR_UNWIND);                                                                          \
    }

// Test builds (LUCSP_TEST_HOOKS): when the environment variable LUCSP_TEST_THROW_IN names the entry point
// (or is "*"), a std::runtime_error is thrown there. Other builds compile it to nothing.
#ifdef LUCSP_TEST_HOOKS
void sysTestHookRaise(const char* entryName);
#else
inline void sysTestHookRaise(const char*) {}
#endif
