#include "LucspCli.h"

#include "LucspErrors.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

std::string TArgs::Get(const std::string& name, const std::string& def) const {
    auto it = Values.find(name);
    if (it == Values.end() || it->second.empty()) return def;
    return it->second.back();
}

namespace {

const TOptionDef kLibraryOption = {"--library", "PATH",
                                   "the provider library (default: $LUCSP_LIBRARY, then next to lucsp)"};

// One line whatever the text holds: line ends of system texts and file contents become blanks.
std::string OneLine(const std::string& text) {
    std::string line = text;
    for (char& c : line)
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

void PrintFailureLine(const std::string& prefix, const std::string& what, uint32_t code, bool asHResult) {
    std::string line = prefix + ": " + what + ": " + lucspFormatCode(code, asHResult);
    std::fprintf(stderr, "%s\n", OneLine(line).c_str());
    std::fflush(stderr);
}

} // namespace

int lucspUsageFailure(const std::string& what) {
    PrintFailureLine("lucsp", what + " (see lucsp --help)", LUCSP_ERROR_BAD_ARGUMENTS, false);
    return 2;
}

bool TCommand::Parse(int argc, char** argv, int first) {
    std::vector<TOptionDef> options = Def.Options;
    if (Def.UsesLibrary) options.push_back(kLibraryOption);
    for (int i = first; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            HelpShown = true;
            return false;
        }
        if (arg == "--") {
            for (++i; i < argc; ++i)
                Args.Positional.push_back(argv[i]);
            break;
        }
        // "-1" is a value (config set NAME -1), not an option.
        bool isOption = arg.size() > 1 && arg[0] == '-' && !std::isdigit(static_cast<unsigned char>(arg[1]));
        if (isOption) {
            std::string name = arg, value;
            bool inlineValue = false;
            size_t eq = arg.find('=');
            if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
                name = arg.substr(0, eq);
                value = arg.substr(eq + 1);
                inlineValue = true;
            }
            const TOptionDef* def = nullptr;
            for (const TOptionDef& o : options)
                if (name == o.Name) def = &o;
            if (!def) {
                ExitCode = Usage("unknown option '" + name + "'");
                return false;
            }
            if (def->ValueName) {
                if (!inlineValue) {
                    if (i + 1 >= argc) {
                        ExitCode = Usage(name + " needs a value (" + def->ValueName + ")");
                        return false;
                    }
                    value = argv[++i];
                }
            } else if (inlineValue) {
                ExitCode = Usage(name + " takes no value");
                return false;
            }
            Args.Values[name].push_back(value);
            continue;
        }
        Args.Positional.push_back(arg);
    }
    int n = static_cast<int>(Args.Positional.size());
    if (n < Def.MinPositional) {
        ExitCode = Usage("missing argument");
        return false;
    }
    if (n > Def.MaxPositional) {
        ExitCode = Usage("unexpected argument '" + Args.Positional[Def.MaxPositional] + "'");
        return false;
    }
    return true;
}

void TCommand::PrintHelp() const {
    std::printf("usage: lucsp %s %s\n\n%s\n", Def.Name, Def.Synopsis, Def.Summary);
    std::vector<TOptionDef> options = Def.Options;
    if (Def.UsesLibrary) options.push_back(kLibraryOption);
    options.push_back(TOptionDef{"--help", nullptr, "this text"});
    std::printf("\noptions:\n");
    for (const TOptionDef& o : options) {
        std::string left = std::string(o.Name) + (o.ValueName ? std::string(" ") + o.ValueName : "");
        std::printf("  %-26s %s\n", left.c_str(), o.Help);
    }
    if (Def.Details) std::printf("\n%s", Def.Details);
    std::fflush(stdout);
}

int TCommand::Fail(const std::string& what, uint32_t code, bool asHResult) {
    PrintFailureLine(std::string("lucsp ") + Def.Name, what, code, asHResult);
    ExitCode = 1;
    return 1;
}

int TCommand::Usage(const std::string& what) {
    PrintFailureLine(std::string("lucsp ") + Def.Name, what + " (see lucsp " + Def.Name + " --help)",
                     LUCSP_ERROR_BAD_ARGUMENTS, false);
    ExitCode = 2;
    return 2;
}

bool TCommand::Require(const char* name, std::string& value) {
    if (!Args.Has(name) || Args.Get(name).empty()) {
        Usage(std::string("missing ") + name);
        return false;
    }
    value = Args.Get(name);
    return true;
}

bool TCommand::GetInt(const char* name, long low, long high, long def, long& value) {
    value = def;
    if (!Args.Has(name)) return true;
    std::string text = Args.Get(name);
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end || errno || v < low || v > high) {
        Usage(std::string(name) + " wants a number from " + std::to_string(low) + " to " +
              std::to_string(high) + ", not '" + text + "'");
        return false;
    }
    value = v;
    return true;
}

bool TCommand::GetChoice(const char* name, const std::vector<std::string>& choices, std::string& value) {
    value = choices.front();
    if (!Args.Has(name)) return true;
    std::string text = Args.Get(name);
    for (const std::string& c : choices)
        if (c == text) {
            value = c;
            return true;
        }
    std::string list;
    for (const std::string& c : choices)
        list += (list.empty() ? "" : "|") + c;
    Usage(std::string(name) + " wants " + list + ", not '" + text + "'");
    return false;
}

std::string TCommand::LibraryPath() const {
    if (Args.Has("--library")) return Args.Get("--library");
    const char* env = std::getenv("LUCSP_LIBRARY");
    return env ? env : "";
}

uint32_t lucspReadFile(const std::string& path, std::string& data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return errno == EACCES ? LUCSP_ERROR_ACCESS_DENIED : LUCSP_ERROR_FILE_NOT_FOUND;
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) return LUCSP_ERROR_READ_FAULT;
    data = ss.str();
    return 0;
}

uint32_t lucspWriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return errno == EACCES ? LUCSP_ERROR_ACCESS_DENIED : LUCSP_ERROR_WRITE_FAULT;
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    return out.fail() ? LUCSP_ERROR_WRITE_FAULT : 0;
}

std::string lucspHex(const uint8_t* data, size_t len, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    text.reserve(len * 2);
    for (size_t i = 0; i < len; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

std::string lucspHex(const std::vector<uint8_t>& data, bool upper) {
    return lucspHex(data.data(), data.size(), upper);
}

bool lucspParseHex(const std::string& input, std::vector<uint8_t>& data) {
    std::string text = lucspTrim(input);
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.erase(0, 2);
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '\n' || c == '\r' || c == '\t') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        digits += c;
    }
    if (digits.empty() || digits.size() % 2) return false;
    data.clear();
    for (size_t i = 0; i < digits.size(); i += 2)
        data.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return true;
}

namespace {
const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string lucspBase64(const std::vector<uint8_t>& data) {
    std::string out;
    size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        uint32_t v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        out += kB64[v >> 18];
        out += kB64[(v >> 12) & 63];
        out += kB64[(v >> 6) & 63];
        out += kB64[v & 63];
    }
    if (i < data.size()) {
        uint32_t v = data[i] << 16;
        if (i + 1 < data.size()) v |= data[i + 1] << 8;
        out += kB64[v >> 18];
        out += kB64[(v >> 12) & 63];
        out += i + 1 < data.size() ? kB64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool lucspParseBase64(const std::string& input, std::vector<uint8_t>& data) {
    std::string text;
    for (char c : input)
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t') text += c;
    if (text.empty() || text.size() % 4) return false;
    data.clear();
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t v = 0;
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + k];
            const char* p = c ? std::strchr(kB64, c) : nullptr;
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                ++pad;
                v <<= 6;
                continue;
            }
            if (!p || pad) return false;
            v = (v << 6) | static_cast<uint32_t>(p - kB64);
        }
        data.push_back(static_cast<uint8_t>(v >> 16));
        if (pad < 2) data.push_back(static_cast<uint8_t>(v >> 8));
        if (pad < 1) data.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

std::string lucspTrim(const std::string& text) {
    size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    size_t e = text.find_last_not_of(" \t\r\n");
    return text.substr(b, e - b + 1);
}

std::string lucspMs(double ms) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%.3f ms", ms);
    return buf;
}
