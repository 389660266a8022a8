#pragma once

#include "os/platTypes.h"
#include "platform/TVarnoList.h"

// One member of a JSON object: its name and its value text. A value that came from the reader holds
// the decoded text of a string, or the raw text of a bare word, number, nested object or array.
class TValueJSON {
  public:
    TValueJSON();
    ~TValueJSON();
    TValueJSON(const TValueJSON&) = delete;
    TValueJSON& operator=(const TValueJSON&) = delete;

    void Clear();
    int SetValue(const char* setNameVar, const char* setValue, const char* setScapeValue,
                 BYTE setIsObjectValue, BYTE isScapeUnicodeValue);
    // New text owned by the caller (free()): every byte other than letters, digits and a few safe signs
    // written as \u00XX.
    static int ScapeUnicode(const char* dataInput, char** dataOutput);

    char* NameVar;
    char* Value;
    // Written immediately before and after the value: a double quote for a string, empty otherwise.
    char* ScapeValue;
    BYTE IsObjectValue;
    // The value is already in its ScapeUnicode form and is written as it stands.
    BYTE IsScapeUnicodeValue;
};

// The library's own JSON reader and writer: one flat object or an array of flat objects; nested values
// are kept as raw text and read by loading that text into another TPlatStringJSON.
//
// Strings are unescaped when read and escaped when written. \uXXXX gives one byte for code points up
// to 0xFF (texts are 8-bit); a code point above 0xFF, a surrogate pair or a lone surrogate gives a
// single '?', as the ANSI code page conversions do for characters they cannot show. \u0000 and any
// malformed escape fail the parse, since the texts cannot carry a zero byte.
struct TPlatJsonParse;

class TPlatStringJSON {
  public:
    TPlatStringJSON();
    ~TPlatStringJSON();
    TPlatStringJSON(const TPlatStringJSON&) = delete;
    TPlatStringJSON& operator=(const TPlatStringJSON&) = delete;

    void Clear();
    int NewArray();
    int Add(const char* nameVar, const char* value, const char* scapeValue, BYTE isObjectValue);
    // A string member.
    int Add(const char* nameVar, const char* value);
    int LoadFromMemory(const char* buffInput);
    int LoadFromMemory(const char* buffInput, char findFirstChar);
    int GetQtdArray();
    TVarnoList* GetListValue(int indexArray);
    TValueJSON* GetValueJSON(int indexArray, const char* nameVar);
    const char* GetValue(int indexArray, const char* nameVar, const char* valueDefault);
    const char* GetValue(int indexArray, const char* nameVar) {
        return GetValue(indexArray, nameVar, nullptr);
    }
    const char* GetValue(const char* nameVar) { return GetValue(0, nameVar, nullptr); }
    int EncodeJSON(BYTE isForceArray);
    int EncodeJSON() { return EncodeJSON(0); }

    // Items are TVarnoList objects (one per JSON object) whose items are TValueJSON members.
    TVarnoList ListArray;
    int IndiceAddArray;
    char* TextJSON;
    BYTE IsScapeUnicode;

  private:
    int ParseText(char* buff);
    // The steps of ParseText that make objects and members.
    void ParseObjectStart(TPlatJsonParse& p, char c);
    void ParseMemberEnd(TPlatJsonParse& p, char c);
};
