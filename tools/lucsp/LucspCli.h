// Command-line plumbing of the lucsp tool: option definitions, parsing, help text, the one-line failure
// report, and the small byte/text helpers the commands share.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct TOptionDef {
    const char* Name;      // "--container"
    const char* ValueName; // "SERIAL"; null for a switch
    const char* Help;
};

struct TArgs;
class TCommand;
typedef int (*TCommandRun)(TCommand& cmd);

struct TCommandDef {
    const char* Name;     // "sign", "config get"
    const char* Synopsis; // the arguments after the name, for the usage line
    const char* Summary;  // one line for the command list
    std::vector<TOptionDef> Options;
    int MinPositional;
    int MaxPositional;
    const char* Details; // further text of --help; may be null
    TCommandRun Run;
    bool UsesLibrary; // takes --library
};

struct TArgs {
    std::map<std::string, std::vector<std::string>> Values;
    std::vector<std::string> Positional;

    bool Has(const std::string& name) const { return Values.count(name) != 0; }
    // The last value given for the option, or def.
    std::string Get(const std::string& name, const std::string& def = std::string()) const;
};

// One run of one command: its definition, its parsed arguments and its way of failing.
class TCommand {
  public:
    explicit TCommand(const TCommandDef& def) : Def(def) {}

    // Parses argv[first..argc); false after a usage failure has been reported (ExitCode set). A --help
    // prints the help and sets HelpShown.
    bool Parse(int argc, char** argv, int first);
    void PrintHelp() const;

    // Prints "lucsp CMD: what: 0xCODE NAME - text" to stderr and returns the exit status 1.
    int Fail(const std::string& what, uint32_t code, bool asHResult = false);
    // A usage failure (ERROR_BAD_ARGUMENTS) with a pointer to --help; exit status 2.
    int Usage(const std::string& what);

    // The value of an option that must be given, or a usage failure (returns false).
    bool Require(const char* name, std::string& value);
    // An integer option in [low, high]; def when absent. False after a usage failure.
    bool GetInt(const char* name, long low, long high, long def, long& value);
    // A value of an option that must be one of choices (the first is the default).
    bool GetChoice(const char* name, const std::vector<std::string>& choices, std::string& value);

    // --library, then LUCSP_LIBRARY; empty for the default search.
    std::string LibraryPath() const;

    const TCommandDef& Def;
    TArgs Args;
    bool HelpShown = false;
    int ExitCode = 0;
};

// Reports a failure outside any command (unknown command, ...): same line format, exit status 2.
int lucspUsageFailure(const std::string& what);

// Helpers shared by the commands. The file helpers return 0 or a Win32 code.
uint32_t lucspReadFile(const std::string& path, std::string& data);
uint32_t lucspWriteFile(const std::string& path, const std::string& data);
std::string lucspHex(const uint8_t* data, size_t len, bool upper = false);
std::string lucspHex(const std::vector<uint8_t>& data, bool upper = false);
// Accepts upper or lower case, optional blanks and colons between bytes, and an optional "0x".
bool lucspParseHex(const std::string& text, std::vector<uint8_t>& data);
std::string lucspBase64(const std::vector<uint8_t>& data);
// Standard alphabet with padding; blanks and line ends are skipped.
bool lucspParseBase64(const std::string& text, std::vector<uint8_t>& data);
std::string lucspTrim(const std::string& text);
// Milliseconds with three decimals.
std::string lucspMs(double ms);
