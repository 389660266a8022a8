// The JSON reader on any text: it never fails unsafely, and what it accepted encodes to a text that
// reads back to the same encoding.
#include "fuzz/fuzzSupport.h"
#include "platform/platStringJSON.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzTraceErrors();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    TPlatStringJSON json;
    if (!json.LoadFromMemory(text.c_str())) return 0;
    FUZZ_CHECK(json.TextJSON != nullptr);
    // The getters over whatever was read, as the sign request uses them.
    for (int i = 0; i < json.GetQtdArray(); ++i) {
        TVarnoList* object = json.GetListValue(i);
        FUZZ_CHECK(object != nullptr);
        for (uint32_t j = 0; j < object->Count; ++j) {
            TValueJSON* member = static_cast<TValueJSON*>(object->GetItem(j));
            FUZZ_CHECK(member && member->NameVar);
            FUZZ_CHECK(json.GetValueJSON(i, member->NameVar) != nullptr);
            if (member->IsObjectValue && member->Value) {
                TPlatStringJSON nested;
                nested.LoadFromMemory(member->Value, '{');
            }
        }
    }
    std::string encoded = json.TextJSON;
    TPlatStringJSON again;
    FUZZ_CHECK(again.LoadFromMemory(encoded.c_str()) == 1);
    FUZZ_CHECK(again.GetQtdArray() == json.GetQtdArray());
    FUZZ_CHECK(encoded == again.TextJSON);
    return 0;
}
