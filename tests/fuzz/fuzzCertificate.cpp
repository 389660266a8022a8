// Certificate text as the library reads it (PEM or bare Base64, then X.509 and its RSA key) and DER as
// the store stand-in parses it into a CERT_CONTEXT.
#include "certificates/libCertificate.h"
#include "fuzz/fuzzSupport.h"
#include "os/posix/certstoreInternal.h"

#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzTraceErrors();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TCertificate cert;
    if (cert.LoadCert_FromMemory(LU_STORE_TYPE_MY, data, static_cast<uint32_t>(size), "fuzz", true))
        FUZZ_CHECK(cert.x509Cert != nullptr);
    lucert::TCertElement* element = lucert::NewElementFromDer(data, static_cast<DWORD>(size));
    if (element) {
        FUZZ_CHECK(element->Der.size() <= size);
        delete element;
    }
    return 0;
}
