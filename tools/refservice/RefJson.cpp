#include "RefJson.h"

#include <cctype>
#include <cstdio>
#include <limits>

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsBase64Char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=';
}

class TReader {
  public:
    explicit TReader(const std::string& text) : Text(text) {}

    void SkipSpace() {
        while (Pos < Text.size() && IsSpace(Text[Pos]))
            ++Pos;
    }
    bool AtEnd() const { return Pos >= Text.size(); }
    bool Peek(char c) const { return Pos < Text.size() && Text[Pos] == c; }
    bool Take(char c) {
        if (!Peek(c)) return false;
        ++Pos;
        return true;
    }
    bool TakeWord(const char* word) {
        size_t len = std::char_traits<char>::length(word);
        if (Text.compare(Pos, len, word) != 0) return false;
        Pos += len;
        return true;
    }

    bool ReadHex4(unsigned& value) {
        if (Pos + 4 > Text.size()) return false;
        value = 0;
        for (int i = 0; i < 4; ++i) {
            char c = Text[Pos++];
            if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
            value = value * 16 +
                    static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                              ? c - '0'
                                              : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
        }
        return true;
    }

    bool ReadString(std::string& out) {
        out.clear();
        if (!Take('"')) return false;
        while (Pos < Text.size()) {
            char c = Text[Pos++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (Pos >= Text.size()) return false;
            char e = Text[Pos++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out += e;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                unsigned cp;
                // Surrogate pairs are refused: nothing this service reads needs them.
                if (!ReadHex4(cp) || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
                if (cp < 0x80) {
                    out += static_cast<char>(cp);
                } else if (cp < 0x800) {
                    out += static_cast<char>(0xC0 | (cp >> 6));
                    out += static_cast<char>(0x80 | (cp & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (cp >> 12));
                    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (cp & 0x3F));
                }
                break;
            }
            default:
                return false;
            }
        }
        return false;
    }

    bool ReadInteger(int64_t& value) {
        bool negative = Take('-');
        if (Pos >= Text.size() || !std::isdigit(static_cast<unsigned char>(Text[Pos]))) return false;
        // JSON has no leading zeros.
        if (Text[Pos] == '0' && Pos + 1 < Text.size() &&
            std::isdigit(static_cast<unsigned char>(Text[Pos + 1])))
            return false;
        uint64_t magnitude = 0;
        while (Pos < Text.size() && std::isdigit(static_cast<unsigned char>(Text[Pos]))) {
            magnitude = magnitude * 10 + static_cast<uint64_t>(Text[Pos++] - '0');
            if (magnitude > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
        }
        if (Peek('.') || Peek('e') || Peek('E')) return false;
        value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
        return true;
    }

  private:
    const std::string& Text;
    size_t Pos = 0;
};

} // namespace

bool refJson_ParseSignBody(const std::string& Body, std::string& Base64) {
    Base64.clear();
    size_t pos = 0;
    while (pos < Body.size() && IsSpace(Body[pos]))
        ++pos;
    if (pos >= Body.size() || Body[pos++] != '"') return false;
    for (;;) {
        if (pos >= Body.size()) return false;
        char c = Body[pos++];
        if (c == '"') break;
        if (c == '\\') {
            if (pos >= Body.size() || Body[pos] != '/') return false;
            c = Body[pos++];
        } else if (!IsBase64Char(c)) {
            return false;
        }
        Base64 += c;
    }
    while (pos < Body.size() && IsSpace(Body[pos]))
        ++pos;
    return pos == Body.size() && !Base64.empty();
}

bool refJson_ParseFlatObject(const std::string& Body, std::map<std::string, TRefJsonValue>& Members) {
    Members.clear();
    TReader rd(Body);
    rd.SkipSpace();
    if (!rd.Take('{')) return false;
    rd.SkipSpace();
    if (!rd.Take('}')) {
        for (;;) {
            std::string key;
            rd.SkipSpace();
            if (!rd.ReadString(key)) return false;
            rd.SkipSpace();
            if (!rd.Take(':')) return false;
            rd.SkipSpace();
            TRefJsonValue value;
            if (rd.Peek('"')) {
                value.Kind = TRefJsonValue::IsString;
                if (!rd.ReadString(value.Text)) return false;
            } else if (rd.TakeWord("true")) {
                value.Kind = TRefJsonValue::IsBool;
                value.Bool = true;
            } else if (rd.TakeWord("false")) {
                value.Kind = TRefJsonValue::IsBool;
            } else if (rd.TakeWord("null")) {
                value.Kind = TRefJsonValue::IsNull;
            } else {
                value.Kind = TRefJsonValue::IsInteger;
                if (!rd.ReadInteger(value.Integer)) return false;
            }
            if (!Members.emplace(key, value).second) return false;
            rd.SkipSpace();
            if (rd.Take('}')) break;
            if (!rd.Take(',')) return false;
        }
    }
    rd.SkipSpace();
    return rd.AtEnd();
}

std::string refJson_Quote(const std::string& Text) {
    std::string out = "\"";
    for (char c : Text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
                out += buf;
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}
