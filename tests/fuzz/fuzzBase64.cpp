// Base64 decoding, the library's own (TPlatHASH) and the CryptStringToBinaryA of the store stand-in:
// any text is decoded or refused, and decoded bytes encode and decode back to themselves.
#include "fuzz/fuzzSupport.h"
#include "os/platTypes.h"
#include "platform/TVarnoMemory.h"
#include "platform/platHASH.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzTraceErrors();
    return 0;
}

namespace {

void CryptDecode(const std::string& text, DWORD flags) {
    DWORD len = 0, skip = 0, used = 0;
    if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), flags, nullptr, &len, &skip,
                              &used))
        return;
    std::vector<BYTE> out(len + 1);
    DWORD got = len;
    FUZZ_CHECK(CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), flags, out.data(), &got,
                                    &skip, &used));
    FUZZ_CHECK(got == len);
    // A buffer one byte short must be refused, not overrun.
    if (len > 0) {
        std::vector<BYTE> small(len); // never empty: a null buffer would be a size query
        DWORD smallLen = len - 1;
        FUZZ_CHECK(!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), flags, small.data(),
                                         &smallLen, nullptr, nullptr));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    TPlatHASH hash;
    TVarnoMemory decoded;
    if (hash.Decode_Base64(text.c_str(), &decoded) && decoded.LenFileData > 0) {
        char* encoded = hash.Encode_Base64(decoded.FileData, static_cast<int>(decoded.LenFileData), 1);
        FUZZ_CHECK(encoded != nullptr);
        TVarnoMemory back;
        FUZZ_CHECK(hash.Decode_Base64(encoded, &back));
        FUZZ_CHECK(back.LenFileData == decoded.LenFileData);
        FUZZ_CHECK(memcmp(back.FileData, decoded.FileData, decoded.LenFileData) == 0);
        free(encoded);
    }
    CryptDecode(text, CRYPT_STRING_BASE64);
    CryptDecode(text, CRYPT_STRING_BASE64HEADER);
    CryptDecode(text, CRYPT_STRING_ANY);
    return 0;
}
