// The value readers of the Linux stand-ins: a registry value file as found on disk, and a certificate
// store entry's "Blob" with its key-provider record.
#include "fuzz/fuzzSupport.h"
#include "os/posix/certstoreInternal.h"
#include "os/posix/registryStore.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string gDir;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzTraceErrors();
    char tmpl[] = "/tmp/lucsp-fuzz-store.XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    gDir = tmpl;
    atexit([] {
        unlink((gDir + "/@v").c_str());
        rmdir(gDir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The registry value file.
    {
        std::string path = gDir + "/@v";
        FILE* f = fopen(path.c_str(), "wb");
        FUZZ_CHECK(f != nullptr);
        if (size) FUZZ_CHECK(fwrite(data, 1, size, f) == size);
        fclose(f);
        lureg::TValueRecord rec;
        if (lureg::ReadValue(gDir, "@v", rec) == ERROR_SUCCESS) FUZZ_CHECK(rec.Data.size() < size);
    }
    // The store entry.
    lucert::Bytes blob(data, data + size);
    lucert::TCertElement* element = lucert::DecodeBlob(blob);
    if (element) {
        auto it = element->Props.find(CERT_KEY_PROV_INFO_PROP_ID);
        if (it != element->Props.end()) {
            DWORD needed = lucert::KeyProvInfoSize(it->second);
            if (needed) {
                std::vector<BYTE> out(needed);
                lucert::ExpandKeyProvInfo(it->second, out.data(), needed);
            }
        }
        lucert::Bytes again = lucert::EncodeBlob(*element);
        lucert::TCertElement* back = lucert::DecodeBlob(again);
        FUZZ_CHECK(back != nullptr);
        delete back;
        delete element;
    }
    return 0;
}
