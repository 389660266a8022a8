// The whole path from the raw HTTP body of the signing service to the signature, without the network.
// The first byte picks the key size of the block that was sent; the rest is the body.
#include "fuzz/fuzzSupport.h"
#include "service/libDataEncryptDecrypt.h"
#include "service/libLUConex.h"

#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzTraceErrors();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const uint32_t kBlockBytes[] = {128, 256, 384, 512};
    uint32_t blockBytes = kBlockBytes[data[0] & 3];
    TDataEncryptDecrypt item;
    item.DataValuePadded.AddZeroBytes(blockBytes);
    TVarnoMemory received;
    if (size > 1) received.Add(data + 1, static_cast<uint32_t>(size - 1));
    bool ok = TLUConex::Answer_Read(received, &item);
    if (ok) {
        FUZZ_CHECK(item.IsSigned);
        FUZZ_CHECK(item.DataResult.LenFileData == blockBytes);
    } else {
        FUZZ_CHECK(!item.IsSigned);
    }
    return 0;
}
