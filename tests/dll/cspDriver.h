// Loads the built provider library at run time and calls its entry points as advapi32 does: a
// VTableProvStruc for CPAcquireContext, BOOL results, the thread's last error read after every call.
#pragma once

#include "dll/dllExternFunction.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <string>

#ifndef LUCSP_CSP_LIBRARY
#define LUCSP_CSP_LIBRARY "Varno_LUCSP_Server.so"
#endif

#define LU_CSP_ENTRY_POINTS(X)                                                                               \
    X(CPAcquireContext)                                                                                      \
    X(CPCreateHash)                                                                                          \
    X(CPDecrypt)                                                                                             \
    X(CPDeriveKey)                                                                                           \
    X(CPDestroyHash)                                                                                         \
    X(CPDestroyKey)                                                                                          \
    X(CPDuplicateHash)                                                                                       \
    X(CPDuplicateKey)                                                                                        \
    X(CPEncrypt)                                                                                             \
    X(CPExportKey)                                                                                           \
    X(CPGenKey)                                                                                              \
    X(CPGenRandom)                                                                                           \
    X(CPGetHashParam)                                                                                        \
    X(CPGetKeyParam)                                                                                         \
    X(CPGetProvParam)                                                                                        \
    X(CPGetUserKey)                                                                                          \
    X(CPHashData)                                                                                            \
    X(CPHashSessionKey)                                                                                      \
    X(CPImportKey)                                                                                           \
    X(CPReleaseContext)                                                                                      \
    X(CPSetHashParam)                                                                                        \
    X(CPSetKeyParam)                                                                                         \
    X(CPSetProvParam)                                                                                        \
    X(CPSignHash)                                                                                            \
    X(CPVerifySignature)                                                                                     \
    X(DllInstall)                                                                                            \
    X(TrelisServer_RegisterCertificate)                                                                      \
    X(TrelisServer_UnregisterCertificate)

class TCspLibrary {
  public:
#define LU_CSP_MEMBER(name) decltype(&::name) name = nullptr;
    LU_CSP_ENTRY_POINTS(LU_CSP_MEMBER)
#undef LU_CSP_MEMBER

    // The library named by LUCSP_CSP_LIBRARY in the environment, else the one this test was built with.
    static std::string Path() {
        const char* env = getenv("LUCSP_CSP_LIBRARY");
        return env && *env ? env : LUCSP_CSP_LIBRARY;
    }

    bool Load() {
        Handle = dlopen(Path().c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!Handle) {
            const char* e = dlerror();
            Error = e ? e : "dlopen failed";
            return false;
        }
        Missing = 0;
#define LU_CSP_FIND(name)                                                                                    \
    name = reinterpret_cast<decltype(name)>(dlsym(Handle, #name));                                           \
    if (!name) {                                                                                             \
        ++Missing;                                                                                           \
        Error += "missing " #name "; ";                                                                      \
    }
        LU_CSP_ENTRY_POINTS(LU_CSP_FIND)
#undef LU_CSP_FIND
        return Missing == 0;
    }

    void Unload() {
        if (Handle) dlclose(Handle);
        Handle = nullptr;
    }

    void* Handle = nullptr;
    int Missing = 0;
    std::string Error;
};

// The structure advapi32 hands to CPAcquireContext: version 3, its own callbacks, the provider type and
// the provider name in a buffer it allocated (and frees when the context is released).
struct TAdvapiVTable {
    TAdvapiVTable() {
        static const char name[] = "Varno Base Cryptographic Provider Server";
        NameBuffer = static_cast<char*>(malloc(sizeof(name)));
        memcpy(NameBuffer, name, sizeof(name));
        // Padding included: Unchanged compares the bytes.
        memset(&Table, 0, sizeof(Table));
        Table.Version = 3;
        Table.FuncVerifyImage = reinterpret_cast<FARPROC>(&VerifyImage);
        Table.FuncReturnhWnd = reinterpret_cast<FARPROC>(&ReturnWindow);
        Table.dwProvType = PROV_RSA_FULL;
        Table.pbContextInfo = nullptr;
        Table.cbContextInfo = 0;
        Table.pszProvName = NameBuffer;
        Before = Table;
    }
    ~TAdvapiVTable() { free(NameBuffer); }
    TAdvapiVTable(const TAdvapiVTable&) = delete;
    TAdvapiVTable& operator=(const TAdvapiVTable&) = delete;

    bool Unchanged() const {
        return memcmp(&Table, &Before, sizeof(Table)) == 0 && Table.pszProvName == NameBuffer &&
               strcmp(NameBuffer, "Varno Base Cryptographic Provider Server") == 0;
    }

    static intptr_t VerifyImage() { return TRUE; }
    static intptr_t ReturnWindow() { return 0; }

    VTableProvStruc Table;
    VTableProvStruc Before;
    char* NameBuffer;
};
