// lucsp: drives the Varno LUCSP provider through its entry points the way an application does, and runs
// the reference signing service. One command per run; every failure is one line on stderr.
#include "LucspCommands.h"
#include "LucspErrors.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

namespace {

std::vector<TCommandDef> CommandTable() {
    std::vector<TCommandDef> table;
    lucspAddServeCommands(table);
    lucspAddCertCommands(table);
    lucspAddSignCommands(table);
    lucspAddConfigCommands(table);
    lucspAddDoctorCommands(table);
    return table;
}

void PrintOverview(const std::vector<TCommandDef>& table) {
    std::printf("usage: lucsp COMMAND [options]      (lucsp COMMAND --help for its options)\n\n"
                "Drives the provider \"%s\" through its entry points, as an application does.\n\n"
                "commands:\n",
                LUCSP_PROVIDER_NAME);
    for (const TCommandDef& c : table)
        std::printf("  %-16s %s\n", c.Name, c.Summary);
    std::printf(
        "\n"
        "environment:\n"
        "  LUCSP_LIBRARY    the provider library (Linux: Varno_LUCSP_Server.so); --library overrides it\n"
        "  LUCSP_ROOT       Linux: where the registry, certificate store and C:\\ of the library live\n\n"
        "Exit status: 0 success, 1 the operation failed, 2 bad command line. A failure prints one line:\n"
        "  lucsp COMMAND: what failed: 0xCODE SYMBOLIC_NAME - text\n");
    std::fflush(stdout);
}

void PrintConfigOverview(const std::vector<TCommandDef>& table) {
    std::printf("usage: lucsp config get NAME | config set NAME VALUE | config list\n\n"
                "Read and write the library's settings (lucsp config list shows them all).\n\n");
    for (const TCommandDef& c : table)
        if (std::strncmp(c.Name, "config ", 7) == 0) std::printf("  lucsp %-12s %s\n", c.Name, c.Summary);
    std::fflush(stdout);
}

const TCommandDef* FindCommand(const std::vector<TCommandDef>& table, const std::string& name) {
    for (const TCommandDef& c : table)
        if (name == c.Name) return &c;
    return nullptr;
}

int Run(int argc, char** argv) {
    const std::vector<TCommandDef> table = CommandTable();
    if (argc < 2) {
        PrintOverview(table);
        return 2;
    }
    std::string name = argv[1];
    if (name == "--help" || name == "-h") {
        PrintOverview(table);
        return 0;
    }
    if (name == "--version") {
        std::printf("lucsp 1.0.0\n");
        return 0;
    }
    if (name == "help") {
        // "lucsp help sign" is "lucsp sign --help".
        if (argc < 3) {
            PrintOverview(table);
            return 0;
        }
        std::string topic = argv[2];
        if (topic == "config" && argc > 3) topic += std::string(" ") + argv[3];
        if (topic == "config") {
            PrintConfigOverview(table);
            return 0;
        }
        if (const TCommandDef* c = FindCommand(table, topic)) {
            TCommand(*c).PrintHelp();
            return 0;
        }
        return lucspUsageFailure("no command named '" + topic + "'");
    }
    int first = 2;
    if (name == "config") {
        std::string sub = argc > 2 ? argv[2] : "";
        if (sub == "--help" || sub == "-h") {
            PrintConfigOverview(table);
            return 0;
        }
        if (sub != "get" && sub != "set" && sub != "list")
            return lucspUsageFailure("config wants get, set or list" +
                                     (sub.empty() ? "" : ", not '" + sub + "'"));
        name += " " + sub;
        first = 3;
    }
    const TCommandDef* def = FindCommand(table, name);
    if (!def) return lucspUsageFailure("no command named '" + name + "'");
    TCommand cmd(*def);
    if (!cmd.Parse(argc, argv, first)) return cmd.HelpShown ? 0 : cmd.ExitCode;
    return def->Run(cmd);
}

} // namespace

int main(int argc, char** argv) {
    // Nothing may end the tool with a runtime's crash text: whatever escapes becomes the usual one line.
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "lucsp: out of memory: %s\n", lucspFormatCode(8).c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lucsp: unexpected failure (%s): %s\n", e.what(), lucspFormatCode(1627).c_str());
    } catch (...) {
        std::fprintf(stderr, "lucsp: unexpected failure: %s\n", lucspFormatCode(1627).c_str());
    }
    return 1;
}
