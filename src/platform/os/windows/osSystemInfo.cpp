#include "os/platSystemInfo.h"
#include "os/platTypes.h"

#include <cstdio>
#include <cstring>

namespace {
typedef LONG(WINAPI* TRtlGetVersion)(OSVERSIONINFOW*);

bool Is64BitSystem() {
#ifdef _WIN64
    return true;
#else
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
#endif
}
} // namespace

std::string osVersionText() {
    // RtlGetVersion reports the real version; GetVersionEx answers what the manifest allows.
    OSVERSIONINFOW info;
    memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    TRtlGetVersion getVersion = ntdll ? reinterpret_cast<TRtlGetVersion>(
                                            reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
                                      : nullptr;
    if (!getVersion || getVersion(&info) != 0) return std::string();
    char servicePack[260] = {0};
    for (int i = 0; i < 127 && info.szCSDVersion[i]; ++i)
        servicePack[i] = static_cast<char>(info.szCSDVersion[i] & 0xFF);
    char text[400];
    snprintf(text, sizeof(text), "Windows%s%s (Version %lu.%lu, Build %lu, %s)", servicePack[0] ? " " : "",
             servicePack, static_cast<unsigned long>(info.dwMajorVersion),
             static_cast<unsigned long>(info.dwMinorVersion), static_cast<unsigned long>(info.dwBuildNumber),
             Is64BitSystem() ? "64-bit Edition" : "32-bit Edition");
    return text;
}

std::string osWindowsDirectory() {
    char dir[MAX_PATH + 1] = {0};
    UINT n = GetWindowsDirectoryA(dir, MAX_PATH);
    if (n == 0 || n > MAX_PATH) return "C:\\Windows";
    return std::string(dir, n);
}

bool osIsWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
