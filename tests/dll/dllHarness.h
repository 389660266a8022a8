// The built provider library loaded as an application loads it, its entry points looked up by name, and
// the machine prepared for it: a private data root, the endpoint settings in the registry, a reference
// signing service on loopback. Shared by the end-to-end tests and the benchmark.
#pragma once

#include "RefSigningService.h"
#include "dll/dllExternFunction.h"
#include "platform/TVarnoRegedit.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace dllharness {

struct TCspApi {
    void* Handle = nullptr;
    decltype(&::CPAcquireContext) CPAcquireContext = nullptr;
    decltype(&::CPReleaseContext) CPReleaseContext = nullptr;
    decltype(&::CPCreateHash) CPCreateHash = nullptr;
    decltype(&::CPSetHashParam) CPSetHashParam = nullptr;
    decltype(&::CPGetHashParam) CPGetHashParam = nullptr;
    decltype(&::CPGetProvParam) CPGetProvParam = nullptr;
    decltype(&::CPSignHash) CPSignHash = nullptr;
    decltype(&::CPVerifySignature) CPVerifySignature = nullptr;
    decltype(&::CPDestroyHash) CPDestroyHash = nullptr;
    decltype(&::CPDestroyKey) CPDestroyKey = nullptr;
    decltype(&::CPGetUserKey) CPGetUserKey = nullptr;
    decltype(&::CPEncrypt) CPEncrypt = nullptr;
    decltype(&::CPSetKeyParam) CPSetKeyParam = nullptr;
    decltype(&::CPGetKeyParam) CPGetKeyParam = nullptr;
    decltype(&::TrelisServer_RegisterCertificate) TrelisServer_RegisterCertificate = nullptr;
    decltype(&::TrelisServer_UnregisterCertificate) TrelisServer_UnregisterCertificate = nullptr;
    std::string Error;

    template <typename T> bool Find(T& fn, const char* name) {
        fn = reinterpret_cast<T>(dlsym(Handle, name));
        if (!fn) Error += std::string("missing export ") + name + "; ";
        return fn != nullptr;
    }
    bool Load(const char* path) {
        Handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!Handle) {
            const char* e = dlerror();
            Error = e ? e : "dlopen failed";
            return false;
        }
        bool ok = Find(CPAcquireContext, "CPAcquireContext") & Find(CPReleaseContext, "CPReleaseContext") &
                  Find(CPCreateHash, "CPCreateHash") & Find(CPSetHashParam, "CPSetHashParam") &
                  Find(CPGetHashParam, "CPGetHashParam") & Find(CPGetProvParam, "CPGetProvParam") &
                  Find(CPSignHash, "CPSignHash") & Find(CPVerifySignature, "CPVerifySignature") &
                  Find(CPDestroyHash, "CPDestroyHash") & Find(CPDestroyKey, "CPDestroyKey") &
                  Find(CPGetUserKey, "CPGetUserKey") & Find(CPEncrypt, "CPEncrypt") &
                  Find(CPSetKeyParam, "CPSetKeyParam") & Find(CPGetKeyParam, "CPGetKeyParam") &
                  Find(TrelisServer_RegisterCertificate, "TrelisServer_RegisterCertificate") &
                  Find(TrelisServer_UnregisterCertificate, "TrelisServer_UnregisterCertificate");
        return ok;
    }
    void Unload() {
        if (Handle) dlclose(Handle);
        Handle = nullptr;
    }
};

// Endpoint settings as an administrator would write them, read by the library when it is loaded.
inline bool WriteEndpointSettings(const std::string& serviceHost, const std::string& caFile, int timeoutMs,
                                  bool traceOn, const std::string& tracePath) {
    TVarnoRegedit reg;
    bool ok = reg.SetGrupoName(GRUPO_NAME_CONEX, "Conex", KEY_WOW64_32KEY) &&
              reg.SetGrupoName(GRUPO_NAME_LOG, "Log", KEY_WOW64_32KEY);
    DWORD timeout = static_cast<DWORD>(timeoutMs);
    DWORD enabled = traceOn ? 1 : 0;
    DWORD level = 0xFFFFFFFFu;
    ok = ok &&
         reg.RegSetValueW("CNX_ServiceHost", GRUPO_NAME_CONEX, REG_SZ, serviceHost.c_str(),
                          static_cast<DWORD>(serviceHost.size() + 1)) &&
         reg.RegSetValueW("CNX_CAFile", GRUPO_NAME_CONEX, REG_SZ, caFile.c_str(),
                          static_cast<DWORD>(caFile.size() + 1)) &&
         reg.RegSetValueW("CNX_TO_MS_HTTP_Request", GRUPO_NAME_CONEX, REG_DWORD, &timeout, sizeof(timeout)) &&
         reg.RegSetValueW("LOG_Enabled", GRUPO_NAME_LOG, REG_DWORD, &enabled, sizeof(enabled));
    if (ok && traceOn)
        ok = reg.RegSetValueW("LOG_Level", GRUPO_NAME_LOG, REG_DWORD, &level, sizeof(level)) &&
             reg.RegSetValueW("LOG_FilePath", GRUPO_NAME_LOG, REG_SZ, tracePath.c_str(),
                              static_cast<DWORD>(tracePath.size() + 1));
    return ok;
}

inline BOOL WINAPI VerifyImageAlways(LPCSTR, BYTE*) {
    return TRUE;
}

inline VTableProvStruc MakeVTable() {
    VTableProvStruc v{};
    v.Version = 3;
    v.FuncVerifyImage = reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&VerifyImageAlways));
    v.dwProvType = PROV_RSA_FULL;
    return v;
}

} // namespace dllharness
