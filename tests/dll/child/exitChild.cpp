// A host process as most applications are: it loads the provider, signs once against a failing service
// and once against a working one, and ends with exit() while the library is still loaded (or, with
// "dlclose", after unloading it). The context stays open either way. Exit status 0 when every step
// went as it should; any fault in the library's detach shows as a signal or a memory checker's status.
#include "dll/dllHarness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int Fail(int status, const char* what) {
    fprintf(stderr, "exit child: %s (last error 0x%08X)\n", what, static_cast<unsigned>(GetLastError()));
    return status;
}

int Run(bool unloadFirst, const char* container) {
    dllharness::TCspApi api;
    if (!api.Load(LUCSP_DLL_PATH)) {
        fprintf(stderr, "exit child: %s\n", api.Error.c_str());
        return 2;
    }
    VTableProvStruc vt = dllharness::MakeVTable();
    HCRYPTPROV prov = 0;
    if (!api.CPAcquireContext(&prov, container, 0, &vt)) return Fail(3, "CPAcquireContext");

    // The parent has the service fail the first request.
    std::vector<BYTE> value(32, 0x5A);
    HCRYPTHASH hash = 0;
    if (!api.CPCreateHash(prov, CALG_SHA_256, 0, 0, &hash) ||
        !api.CPSetHashParam(prov, hash, HP_HASHVAL, value.data(), 0))
        return Fail(4, "hash for the failing signature");
    DWORD len = 0;
    SetLastError(0);
    if (api.CPSignHash(prov, hash, AT_SIGNATURE, nullptr, 0, nullptr, &len))
        return Fail(5, "signature against the failing service succeeded");
    // The service's error status: the class "service failed".
    if (GetLastError() != static_cast<DWORD>(SCARD_E_UNEXPECTED)) return Fail(5, "failing signature");
    if (!api.CPDestroyHash(prov, hash)) return Fail(6, "CPDestroyHash");

    // A new value, so that the one-entry result cache cannot answer.
    value.assign(32, 0xA5);
    if (!api.CPCreateHash(prov, CALG_SHA_256, 0, 0, &hash) ||
        !api.CPSetHashParam(prov, hash, HP_HASHVAL, value.data(), 0))
        return Fail(7, "hash for the good signature");
    len = 0;
    if (!api.CPSignHash(prov, hash, AT_SIGNATURE, nullptr, 0, nullptr, &len) || len == 0)
        return Fail(8, "signature length");
    std::vector<BYTE> sig(len);
    if (!api.CPSignHash(prov, hash, AT_SIGNATURE, nullptr, 0, sig.data(), &len)) return Fail(8, "signature");

    // Hash and context left open, as an application that simply ends leaves them.
    if (unloadFirst) api.Unload();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (strcmp(argv[1], "exit") != 0 && strcmp(argv[1], "dlclose") != 0)) {
        fprintf(stderr, "usage: %s exit|dlclose CONTAINER\n", argv[0]);
        return 1;
    }
    // exit(), not a return: the point is the exit handlers running with the library mapped.
    exit(Run(strcmp(argv[1], "dlclose") == 0, argv[2]));
}
