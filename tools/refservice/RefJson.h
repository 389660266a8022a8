// The little JSON the reference signing service reads and writes.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// The sign request body: exactly one JSON string, surrounded by optional white space, whose
// characters are Base64 text; "\/" is the only escape, since a Base64 text needs no other.
bool refJson_ParseSignBody(const std::string& Body, std::string& Base64);

struct TRefJsonValue {
    enum TKind { IsString, IsInteger, IsBool, IsNull } Kind = IsNull;
    std::string Text;
    int64_t Integer = 0;
    bool Bool = false;
};

// A flat object: string keys, values that are strings, integers, true, false or null.
// Nested values, fractions and duplicate keys are refused.
bool refJson_ParseFlatObject(const std::string& Body, std::map<std::string, TRefJsonValue>& Members);

// Quoted JSON string; control characters, quote and backslash escaped, "/" left alone.
std::string refJson_Quote(const std::string& Text);
