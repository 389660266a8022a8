// Process attach and detach of the provider library. Windows calls DllMain; on Linux the shared
// object's constructor and destructor (posix/dllAttach.cpp) run the same routine.
#include "dll/dllMain.h"

#include "frontend/luAppGlobal.h"
#include "frontend/luEntryFrame.h"
#include "os/platOS.h"
#include "platform/platDebug.h"
#include "platform/platException.h"
#include "platform/platRotPadroes.h"

#include <openssl/crypto.h>

#include <cstdint>
#include <exception>

namespace {

const char* gPlatformNameDll = nullptr;

// First of all, before anything uses OpenSSL: no configuration file is read, neither the default one
// nor the one OPENSSL_CONF of the host process names, since a configuration can load engines and
// providers (code) into the process. Every later initialisation (libcurl's too) finds that step done.
// The Windows DLL carries its own OpenSSL, which left to itself registers an exit handler with the
// host process that then calls into unmapped code at exit once advapi32 has unloaded us.
void StartOpenSSL() {
    uint64_t opts = OPENSSL_INIT_NO_LOAD_CONFIG;
#ifdef _WIN32
    opts |= OPENSSL_INIT_NO_ATEXIT;
#endif
    OPENSSL_init_crypto(opts, nullptr);
}

} // namespace

BOOL DllEntryPoint(HINSTANCE hinst, DWORD reason, LPVOID lpReserved) {
    // The loader may run this right after the call whose error the application is about to read
    // (the last release of a context, a failed acquisition): whatever happens here leaves it alone.
    TLUKeepLastError keep;
    BOOL result = TRUE;
    if (reason == DLL_PROCESS_ATTACH) StartOpenSSL();
    if (!gPlatformNameDll) gPlatformNameDll = GetPlatformName();
    try {
        TRACE(DBHEAD_L, "<%s hinst=[%p] reason=[%x] lpReserved=[%p]>\n", LU_FN, static_cast<void*>(hinst),
              static_cast<unsigned>(reason), lpReserved);
        if (reason == DLL_PROCESS_ATTACH) {
            luAppGlobal_Start();
            TRACE(DBHEAD_E, "<%s PLATFORM=[%s] reason=[DLL_PROCESS_ATTACH]>\n", LU_FN, gPlatformNameDll);
        } else if (reason == DLL_PROCESS_DETACH) {
            // A set lpReserved is the end of the process: the exit handlers that ran before (OpenSSL's,
            // the C runtime's) may have torn down what the destructors use, so nothing is released and
            // the system reclaims it. An unload destroys everything; once the first context has pinned
            // the library, only the end of the process comes here.
            if (!lpReserved) {
                luAppGlobal_Stop();
                sysCrashReportRelease();
            }
            TRACE(DBHEAD_E, "</%s PLATFORM=[%s] reason=[DLL_PROCESS_DETACH]>\n", LU_FN, gPlatformNameDll);
        }
    } catch (const std::exception& e) {
        sysCathShowException(e, "DllEntryPoint", __LINE__);
        result = FALSE;
    } catch (...) {
        sysCathShowException("unknown exception", "DllEntryPoint", __LINE__);
        result = FALSE;
    }
    TRACE(DBHEAD_L, "</%s result=[%d]>\n", LU_FN, result);
    return result;
}

#ifdef _WIN32

extern "C" BOOL WINAPI DllMain(HINSTANCE hinst, DWORD reason, LPVOID lpReserved) {
    BOOL result = DllEntryPoint(hinst, reason, lpReserved);
    // On FreeLibrary (lpReserved null) our private copy of OpenSSL frees its state; at process
    // exit the system reclaims everything anyway.
    if (reason == DLL_PROCESS_DETACH && lpReserved == nullptr) {
        DWORD keep = GetLastError();
        OPENSSL_cleanup();
        SetLastError(keep);
    }
    return result;
}

// The C runtime's own start-up and teardown (frame registration, thread-local storage) run around
// DllMain and change the thread's last error. The loader enters here instead, so none of it reaches
// the application (the linker's entry option names this function).
extern "C" BOOL WINAPI DllMainCRTStartup(HANDLE hinst, DWORD reason, LPVOID lpReserved);

extern "C" BOOL WINAPI luDllEntry(HANDLE hinst, DWORD reason, LPVOID lpReserved) {
    DWORD keep = GetLastError();
    BOOL result = DllMainCRTStartup(hinst, reason, lpReserved);
    SetLastError(keep);
    return result;
}

#endif
