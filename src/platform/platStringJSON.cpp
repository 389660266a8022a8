#include "platform/platStringJSON.h"

#include "platform/TVarnoMemory.h"
#include "platform/platDebug.h"
#include "platform/platTraceScope.h"
#include "platform/platRotPadroes.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

enum TKindValue { kindNone, kindString, kindBare, kindObject, kindArray };

enum TParseError { errNone, errInvalido, errInvalidos, errEscape, errNewArray, errAdd };

const char* Txt(const char* s) {
    return s ? s : "";
}

void* PtrOf(int value) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(value));
}

char* DupText(const char* s) {
    size_t n = strlen(s);
    char* copy = static_cast<char*>(malloc(n + 1));
    if (copy) memcpy(copy, s, n + 1);
    return copy;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hexadecimal digits at p, or -1. Stops at the first other byte, so the terminator of a
// short text is never passed.
long Hex4(const char* p) {
    long cp = 0;
    for (int i = 0; i < 4; ++i) {
        int h = HexValue(p[i]);
        if (h < 0) return -1;
        cp = cp * 16 + h;
    }
    return cp;
}

// Length of the escape that starts at the backslash p (p[1] is not the terminator); 0 when malformed.
// \u0000 is refused: the texts are zero-terminated and would be cut there without notice.
size_t EscapeLength(const char* p) {
    switch (p[1]) {
    case '"':
    case '\\':
    case '/':
    case 'b':
    case 'f':
    case 'n':
    case 'r':
    case 't':
        return 2;
    case 'u':
        return Hex4(p + 2) > 0 ? 6 : 0;
    default:
        return 0;
    }
}

// Decodes the escapes of [start, end) in place and terminates the text; decoding only shrinks it.
void DecodeInPlace(char* start, char* end) {
    char* out = start;
    const char* in = start;
    while (in < end) {
        if (*in != '\\' || end - in < 2) {
            *out++ = *in++;
            continue;
        }
        char e = in[1];
        in += 2;
        switch (e) {
        case 'b':
            *out++ = '\b';
            break;
        case 'f':
            *out++ = '\f';
            break;
        case 'n':
            *out++ = '\n';
            break;
        case 'r':
            *out++ = '\r';
            break;
        case 't':
            *out++ = '\t';
            break;
        case 'u': {
            long cp = end - in >= 4 ? Hex4(in) : -1;
            if (cp < 0) {
                *out++ = '?';
                break;
            }
            in += 4;
            // A surrogate pair is one character; like anything above 0xFF it has no 8-bit form.
            if (cp >= 0xD800 && cp <= 0xDBFF && end - in >= 6 && in[0] == '\\' && in[1] == 'u') {
                long low = Hex4(in + 2);
                if (low >= 0xDC00 && low <= 0xDFFF) in += 6;
            }
            *out++ = (cp > 0 && cp <= 0xFF) ? static_cast<char>(cp) : '?';
            break;
        }
        default:
            *out++ = e;
            break;
        }
    }
    *out = '\0';
}

// Appends s as the inside of a JSON string: quote, backslash and control bytes escaped.
int AddEscaped(TVarnoMemory& text, const char* s) {
    int ok = 1;
    const char* run = s;
    const char* p = s;
    for (; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        char hex[8];
        const char* rep = nullptr;
        switch (c) {
        case '"':
            rep = "\\\"";
            break;
        case '\\':
            rep = "\\\\";
            break;
        case '\b':
            rep = "\\b";
            break;
        case '\f':
            rep = "\\f";
            break;
        case '\n':
            rep = "\\n";
            break;
        case '\r':
            rep = "\\r";
            break;
        case '\t':
            rep = "\\t";
            break;
        default:
            if (c < 0x20) {
                snprintf(hex, sizeof(hex), "\\u%04x", c);
                rep = hex;
            }
            break;
        }
        if (rep) {
            if (p > run) ok &= text.Add(run, static_cast<uint32_t>(p - run));
            ok &= text.AddString(rep);
            run = p + 1;
        }
    }
    if (p > run) ok &= text.Add(run, static_cast<uint32_t>(p - run));
    return ok;
}

// The whitespace JSON allows between tokens.
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsPlainScapeByte(unsigned char c) {
    return c == ' ' || c == '(' || c == ')' || c == '+' || c == ',' || c == '-' || c == '.' || c == '/' ||
           c == '=' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

} // namespace

// ---------------------------------------------------------------------------------------------------
// TValueJSON

TValueJSON::TValueJSON()
    : NameVar(nullptr), Value(nullptr), ScapeValue(nullptr), IsObjectValue(0), IsScapeUnicodeValue(0) {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
}

TValueJSON::~TValueJSON() {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    Clear();
}

void TValueJSON::Clear() {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    free(NameVar);
    free(Value);
    free(ScapeValue);
    NameVar = nullptr;
    Value = nullptr;
    ScapeValue = nullptr;
}

int TValueJSON::SetValue(const char* setNameVar, const char* setValue, const char* setScapeValue,
                         BYTE setIsObjectValue, BYTE isScapeUnicodeValue) {
    TRACE_SCOPE(DBHEAD_L, Int,
                "<%s SetNameVar=[%p] SetValue=[%p] SetScapeValue=[%p] SetIsObjectValue=[%d] "
                "IsScapeUnicodeValue=[%d]>\n",
                LU_FN, static_cast<const void*>(setNameVar), static_cast<const void*>(setValue),
                static_cast<const void*>(setScapeValue), setIsObjectValue, isScapeUnicodeValue);
    int result = 0;
    char* scaped = nullptr;
    // A null value stays null (written as null) also when escaping is on.
    bool useScape = !setIsObjectValue && isScapeUnicodeValue && setValue;
    if (!setNameVar) {
        TRACE(DBERRO_0, "Parametro invalido, SetNameVar=[%p]\n", static_cast<const void*>(setNameVar));
    } else if (useScape && !ScapeUnicode(setValue, &scaped)) {
        TRACE(DBERRO_0, "Falha no ScapeUnicode SetValue=[%s]\n", setValue);
    } else {
        const char* value = useScape ? scaped : setValue;
        char* newName = DupText(setNameVar);
        char* newValue = value ? DupText(value) : nullptr;
        char* newScape = setScapeValue ? DupText(setScapeValue) : nullptr;
        if (!newName || (value && !newValue) || (setScapeValue && !newScape)) {
            free(newName);
            free(newValue);
            free(newScape);
            TRACE(DBERRO_0, "Falha ao alocar memoria, NameVar=[%s] Value=[%s] ScapeValue=[%s]\n", setNameVar,
                  Txt(value), Txt(setScapeValue));
        } else {
            Clear();
            NameVar = newName;
            Value = newValue;
            ScapeValue = newScape;
            IsObjectValue = setIsObjectValue;
            IsScapeUnicodeValue = useScape ? 1 : 0;
            result = 1;
        }
    }
    free(scaped);
    TRACE_RETURN(result);
}

int TValueJSON::ScapeUnicode(const char* dataInput, char** dataOutput) {
    TRACE_SCOPE(DBHEAD_0, Int, "<%s DataInput=[%p] DataOutput=[%p]>\n", LU_FN,
                static_cast<const void*>(dataInput), static_cast<void*>(dataOutput));
    int result = 0;
    if (!dataInput || !dataOutput) {
        TRACE(DBERRO_0, "Parametro invalido, DataInput=[%p] DataOutput=[%p]",
              static_cast<const void*>(dataInput), static_cast<void*>(dataOutput));
    } else {
        *dataOutput = nullptr;
        size_t lenInput = strlen(dataInput);
        size_t qtdCarScape = 0;
        for (size_t i = 0; i < lenInput; ++i)
            if (!IsPlainScapeByte(static_cast<unsigned char>(dataInput[i]))) ++qtdCarScape;
        bool fits = lenInput < (SIZE_MAX - 1) / 7;
        size_t lenValueResult = fits ? lenInput + 6 * qtdCarScape + 1 : 0;
        char* valueResult = fits ? static_cast<char*>(calloc(lenValueResult, 1)) : nullptr;
        if (!valueResult) {
            TRACE(DBERRO_0, "Falha ao alocar valueResult, lenValueResult=[%d] qtdCarScape=[%d]\n",
                  static_cast<int>(lenValueResult), static_cast<int>(qtdCarScape));
        } else {
            char* out = valueResult;
            for (size_t i = 0; i < lenInput; ++i) {
                unsigned char c = static_cast<unsigned char>(dataInput[i]);
                if (IsPlainScapeByte(c)) {
                    *out++ = static_cast<char>(c);
                } else {
                    snprintf(out, 7, "\\u%04x", c);
                    out += 6;
                }
            }
            *dataOutput = valueResult;
            TRACE(DBINFO_0, "ScapeUnicode: qtdCarScape=[%d]\n", static_cast<int>(qtdCarScape));
            result = 1;
        }
    }
    TRACE_RETURN(result);
}

// ---------------------------------------------------------------------------------------------------
// TPlatStringJSON

TPlatStringJSON::TPlatStringJSON() : IndiceAddArray(0), TextJSON(nullptr), IsScapeUnicode(0) {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
}

TPlatStringJSON::~TPlatStringJSON() {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    Clear();
}

void TPlatStringJSON::Clear() {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    for (uint32_t i = 0; i < ListArray.Count; ++i) {
        TVarnoList* object = static_cast<TVarnoList*>(ListArray.GetItem(i));
        if (!object) continue;
        for (uint32_t j = 0; j < object->Count; ++j)
            delete static_cast<TValueJSON*>(object->GetItem(j));
        delete object;
    }
    ListArray.Clear();
    free(TextJSON);
    TextJSON = nullptr;
    IndiceAddArray = 0;
}

int TPlatStringJSON::NewArray() {
    TRACE(DBHEAD_L, "<%s>\n", LU_FN);
    int result = 0;
    TVarnoList* object = new (std::nothrow) TVarnoList();
    if (!object) {
        TRACE(DBERRO_0, "Falha ao alocar memoria\n");
    } else if (!ListArray.Add(object)) {
        delete object;
        TRACE(DBERRO_0, "Falha ao adicionar o objeto no ListArray, Count=[%d]\n",
              static_cast<int>(ListArray.Count));
    } else {
        IndiceAddArray = static_cast<int>(ListArray.Count) - 1;
        result = 1;
    }
    TRACE(DBHEAD_L, "</%s result=[%d] IndiceAddArray=[%d]>\n", LU_FN, result, IndiceAddArray);
    return result;
}

int TPlatStringJSON::Add(const char* nameVar, const char* value, const char* scapeValue, BYTE isObjectValue) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s NameVar=[%p] Value=[%p] ScapeValue=[%p] IsObjectValue=[%d]>\n", LU_FN,
                static_cast<const void*>(nameVar), static_cast<const void*>(value),
                static_cast<const void*>(scapeValue), isObjectValue);
    int result = 0;
    if (ListArray.Count == 0) NewArray();
    TVarnoList* object = GetListValue(IndiceAddArray);
    if (!object) {
        TRACE(DBERRO_0, "Falha ao recuperar a lista IndiceAddArray=[%d]\n", IndiceAddArray);
    } else {
        TValueJSON* member = new (std::nothrow) TValueJSON();
        if (!member) {
            TRACE(DBERRO_0, "Falha ao alocar memoria\n");
        } else if (!member->SetValue(nameVar, value, scapeValue, isObjectValue, IsScapeUnicode)) {
            delete member;
        } else if (!object->Add(member)) {
            TRACE(DBERRO_0, "Falha ao adicionar o membro na lista, NameVar=[%s]\n", nameVar);
            delete member;
        } else {
            result = 1;
        }
    }
    TRACE_RETURN(result);
}

int TPlatStringJSON::Add(const char* nameVar, const char* value) {
    return Add(nameVar, value, "\"", 0);
}

int TPlatStringJSON::LoadFromMemory(const char* buffInput) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s BuffInput=[%p]>\n", LU_FN, static_cast<const void*>(buffInput));
    Clear();
    if (!buffInput) {
        TRACE(DBERRO_0, "Parametro invalido, BuffInput=[%p]\n", static_cast<const void*>(buffInput));
        TRACE_RETURN(0);
    }
    char* buff = DupText(buffInput);
    if (!buff) {
        TRACE(DBERRO_0, "Falha ao alocar memoria, LenBuffInput=[%d]\n", static_cast<int>(strlen(buffInput)));
        TRACE_RETURN(0);
    }
    const int result = ParseText(buff);
    free(buff);
    if (!result) TRACE_RETURN(result);
    TRACE_RETURN(EncodeJSON());
}

int TPlatStringJSON::LoadFromMemory(const char* buffInput, char findFirstChar) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s BuffInput=[%p], FindFirstChar=[%x]>\n", LU_FN,
                static_cast<const void*>(buffInput),
                static_cast<unsigned>(static_cast<unsigned char>(findFirstChar)));
    int result = 0;
    const char* start = (buffInput && findFirstChar) ? strchr(buffInput, findFirstChar) : nullptr;
    if (start) {
        result = LoadFromMemory(start);
    } else {
        // The previous content must not outlive a failed load.
        Clear();
        TRACE(DBERRO_0, "Não foi encontrado o caractere FindFirstChar=[%x], BuffInput=[%p]\n",
              static_cast<unsigned>(static_cast<unsigned char>(findFirstChar)),
              static_cast<const void*>(buffInput));
    }
    TRACE_RETURN(result);
}

// Where the walk over one text stands.
struct TPlatJsonParse {
    char* buff;
    size_t count = 0;
    // Where the next character is read: count + 1, or further past an escape.
    size_t next = 0;
    int stepParse = 0;
    bool inArray = false;
    bool inString = false;
    bool done = false;
    char* nameStart = nullptr;
    char* valueStart = nullptr;
    TKindValue kind = kindNone;
    size_t depth = 0;
    TParseError error = errNone;
};

namespace {

// A backslash inside a string: the whole escape is stepped over (nothing when the text ends in it).
void SkipEscape(TPlatJsonParse& p) {
    if (!p.buff[p.next]) return;
    size_t n = EscapeLength(p.buff + p.count);
    if (n)
        p.next = p.count + n;
    else
        p.error = errEscape;
}

// Step 1: a member's quoted name.
void ParseName(TPlatJsonParse& p, char c) {
    if (!p.nameStart) {
        if (c == '"')
            p.nameStart = p.buff + p.next;
        else if (!IsBlank(c))
            p.error = errInvalidos;
    } else if (c == '\\') {
        SkipEscape(p);
    } else if (c == '"') {
        DecodeInPlace(p.nameStart, p.buff + p.count);
        p.stepParse = 2;
    }
}

// Step 3 before a value: its first character says its kind.
void ParseValueStart(TPlatJsonParse& p, char c) {
    if (IsBlank(c)) return;
    if (c == '"') {
        p.kind = kindString;
        p.valueStart = p.buff + p.next;
    } else if (c == '[' || c == '{') {
        p.kind = c == '[' ? kindArray : kindObject;
        p.valueStart = p.buff + p.count;
        p.depth = 1;
    } else if (c == ',' || c == '}') {
        p.error = errInvalido; // a member without a value
    } else {
        p.kind = kindBare;
        p.valueStart = p.buff + p.count;
    }
}

void ParseString(TPlatJsonParse& p, char c) {
    if (c == '\\') {
        SkipEscape(p);
    } else if (c == '"') {
        DecodeInPlace(p.valueStart, p.buff + p.count);
        p.stepParse = 4;
    }
}

// An object or array value is kept as raw text: its escapes are checked when it is loaded in turn.
void ParseNested(TPlatJsonParse& p, char c) {
    char open = p.kind == kindObject ? '{' : '[';
    char close = p.kind == kindObject ? '}' : ']';
    if (p.inString) {
        if (c == '\\' && p.buff[p.next])
            ++p.next;
        else if (c == '"')
            p.inString = false;
    } else if (c == '"') {
        p.inString = true;
    } else if (c == open) {
        ++p.depth;
    } else if (c == close && --p.depth == 0) {
        p.stepParse = 4;
    }
}

void ParseBare(TPlatJsonParse& p, char c) {
    if (c == ',' || c == '}') {
        p.stepParse = 4;
        p.next = p.count; // the same character completes the member
    }
}

void ParseValue(TPlatJsonParse& p, char c) {
    switch (p.kind) {
    case kindNone:
        ParseValueStart(p, c);
        break;
    case kindString:
        ParseString(p, c);
        break;
    case kindObject:
    case kindArray:
        ParseNested(p, c);
        break;
    case kindBare:
        ParseBare(p, c);
        break;
    }
}

// The error line of a walk that stopped.
void TraceParseError(const TPlatJsonParse& p) {
    char c = p.buff[p.count];
    unsigned hexChar = static_cast<unsigned>(static_cast<unsigned char>(c));
    int count = static_cast<int>(p.count);
    switch (p.error) {
    case errNone:
        TRACE(DBERRO_0, "Parse JSON, Texto JSON incompleto, StepParse=[%d], count=[%d]\n", p.stepParse,
              count);
        break;
    case errInvalido:
        TRACE(DBERRO_0, "Parse JSON, Caracteres invalido, StepParse=[%d], count=[%d], BuffAtual=[%c][%02X]\n",
              p.stepParse, count, c, hexChar);
        break;
    case errInvalidos:
        TRACE(DBERRO_0,
              "Parse JSON, Caracteres Invalidos, StepParse=[%d], count=[%d], BuffAtual=[%c][%02X]\n",
              p.stepParse, count, c, hexChar);
        break;
    case errEscape:
        c = p.buff[p.count + 1];
        TRACE(DBERRO_0,
              "Parse JSON, Sequencia de escape invalida, StepParse=[%d], count=[%d], BuffAtual=[%c][%02X]\n",
              p.stepParse, count, c, static_cast<unsigned>(static_cast<unsigned char>(c)));
        break;
    case errNewArray:
        TRACE(DBERRO_0, "Parse JSON, Falha ao criar o objeto, StepParse=[%d], count=[%d]\n", p.stepParse,
              count);
        break;
    case errAdd:
        TRACE(DBERRO_0, "Parse JSON, Falha ao adicionar o membro NameVar=[%s], StepParse=[%d], count=[%d]\n",
              Txt(p.nameStart), p.stepParse, count);
        break;
    }
}

} // namespace

// Step 0: the text's opening, or the next object of an array.
void TPlatStringJSON::ParseObjectStart(TPlatJsonParse& p, char c) {
    if (c == '[' && !p.inArray) {
        p.inArray = true;
    } else if (c == '{') {
        p.nameStart = p.valueStart = nullptr;
        p.kind = kindNone;
        if (NewArray())
            p.stepParse = 1;
        else
            p.error = errNewArray;
    } else if (!IsBlank(c)) {
        p.error = errInvalido;
    }
}

// Step 4: after a value, the member is added; then the next member, the object's end or the array's.
void TPlatStringJSON::ParseMemberEnd(TPlatJsonParse& p, char c) {
    if (c == ',' || c == '}') {
        p.buff[p.count] = '\0';
        if (!Add(p.nameStart, p.valueStart, p.kind == kindString ? "\"" : "",
                 (p.kind == kindObject || p.kind == kindArray) ? 1 : 0)) {
            p.error = errAdd;
        } else if (c == ',') {
            p.nameStart = p.valueStart = nullptr;
            p.kind = kindNone;
            p.stepParse = 1;
        } else if (!p.inArray) {
            p.done = true;
        } else {
            p.stepParse = 5;
        }
    } else if (!IsBlank(c)) {
        // Anything else between a value and the next member would be lost without notice.
        p.error = errInvalido;
    }
}

// Walks the text once, writing terminators (and decoded strings) into it. Strings end only at an
// unescaped quote; inside a nested value brackets within strings are not counted.
int TPlatStringJSON::ParseText(char* buff) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s>\n", LU_FN);
    TPlatJsonParse p;
    p.buff = buff;
    while (!p.done && p.error == errNone && buff[p.count]) {
        char c = buff[p.count];
        p.next = p.count + 1;
        switch (p.stepParse) {
        case 0:
            ParseObjectStart(p, c);
            break;
        case 1:
            ParseName(p, c);
            break;
        case 2:
            if (c == ':') {
                p.valueStart = nullptr;
                p.kind = kindNone;
                p.depth = 0;
                p.inString = false;
                p.stepParse = 3;
            } else if (!IsBlank(c)) {
                p.error = errInvalido;
            }
            break;
        case 3:
            ParseValue(p, c);
            break;
        case 4:
            ParseMemberEnd(p, c);
            break;
        case 5:
            if (c == ',')
                p.stepParse = 0;
            else if (c == ']')
                p.done = true;
            else if (!IsBlank(c))
                p.error = errInvalido;
            break;
        }
        if (p.error == errNone) p.count = p.next;
    }
    if (p.error == errNone && p.done) TRACE_RETURN(1);
    TraceParseError(p);
    TRACE_RETURN(0);
}

int TPlatStringJSON::GetQtdArray() {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s>\n", LU_FN);
    int result = static_cast<int>(ListArray.Count);
    TRACE_RETURN(result);
}

TVarnoList* TPlatStringJSON::GetListValue(int indexArray) {
    TRACE_SCOPE(DBHEAD_L, Pointer, "<%s>\n", LU_FN);
    TVarnoList* result = nullptr;
    if (indexArray >= 0)
        result = static_cast<TVarnoList*>(ListArray.GetItem(static_cast<uint32_t>(indexArray)));
    TRACE_RETURN(result);
}

TValueJSON* TPlatStringJSON::GetValueJSON(int indexArray, const char* nameVar) {
    TRACE_SCOPE(DBHEAD_L, Pointer, "<%s NameVar=[%p]>\n", LU_FN, static_cast<const void*>(nameVar));
    TValueJSON* result = nullptr;
    TVarnoList* object = nameVar ? GetListValue(indexArray) : nullptr;
    if (object) {
        // Names compared upper-cased in texts of this call: answers are read by many threads at once.
        std::u16string wanted = AnsiUpperText(nameVar);
        for (uint32_t j = 0; !result && j < object->Count; ++j) {
            TValueJSON* member = static_cast<TValueJSON*>(object->GetItem(j));
            if (member && member->NameVar && AnsiUpperText(member->NameVar) == wanted) result = member;
        }
    }
    TRACE_RETURN(result);
}

const char* TPlatStringJSON::GetValue(int indexArray, const char* nameVar, const char* valueDefault) {
    TRACE_SCOPE(DBHEAD_L, Pointer, "<%s NameVar=[%p]>\n", LU_FN, static_cast<const void*>(nameVar));
    const char* result = nullptr;
    if (!nameVar) {
        TRACE(DBERRO_0, "Parametro invalido, NameVar=[%p]\n", static_cast<const void*>(nameVar));
    } else {
        TValueJSON* member = GetValueJSON(indexArray, nameVar);
        if (member) {
            result = member->Value;
        } else {
            TRACE(DBERRO_0, "Não foi encontrado a NameVar=[%s], retornando valor default\n", nameVar);
            result = valueDefault;
        }
    }
    TRACE_RETURN(result);
}

int TPlatStringJSON::EncodeJSON(BYTE isForceArray) {
    TRACE_SCOPE(DBHEAD_L, Pointer, "<%s>\n", LU_FN);
    TVarnoMemory text;
    int result = 1;
    uint32_t qtdArray = ListArray.Count;
    // Without objects the text is empty, also when an array is asked for.
    bool bracketed = qtdArray > 0 && (qtdArray > 1 || isForceArray);
    for (uint32_t i = 0; result && i < qtdArray; ++i) {
        TVarnoList* object = static_cast<TVarnoList*>(ListArray.GetItem(i));
        if (!object) {
            TRACE(DBERRO_0, "Falha ao recuperar a lista countArray=[%d]\n", static_cast<int>(i));
            result = 0;
            break;
        }
        if (bracketed) result &= text.AddString(i == 0 ? "[" : ",");
        result &= text.AddString("{");
        for (uint32_t j = 0; result && j < object->Count; ++j) {
            TValueJSON* member = static_cast<TValueJSON*>(object->GetItem(j));
            if (!member) {
                TRACE(DBERRO_0, "Falha ao recuperar Valor, ValueTmp is NULL count=[%d]\n",
                      static_cast<int>(j));
                result = 0;
                break;
            }
            if (j > 0) result &= text.AddString(",");
            result &= text.AddString("\"");
            result &= AddEscaped(text, Txt(member->NameVar));
            result &= text.AddString("\":");
            if (!member->Value) {
                result &= text.AddString("null");
            } else {
                const char* scape = Txt(member->ScapeValue);
                result &= text.AddString(scape);
                if (!member->IsObjectValue && !member->IsScapeUnicodeValue && strcmp(scape, "\"") == 0)
                    result &= AddEscaped(text, member->Value);
                else
                    result &= text.AddString(member->Value);
                result &= text.AddString(scape);
            }
        }
        if (result) result &= text.AddString("}");
    }
    if (result && bracketed) result &= text.AddString("]");

    free(TextJSON);
    TextJSON = nullptr;
    if (result) {
        TextJSON = DupText(text.FileData ? reinterpret_cast<const char*>(text.FileData) : "");
        if (!TextJSON) {
            TRACE(DBERRO_0, "Falha ao alocar memoria, LenTextJSON=[%d]\n",
                  static_cast<int>(text.LenFileData));
            result = 0;
        }
    } else {
        TRACE(DBERRO_0, "Falha ao montar o TextJSON, LenTextJSON=[%d]\n", static_cast<int>(text.LenFileData));
    }
    TRACE_RETURN_AS(result, PtrOf(result));
}
