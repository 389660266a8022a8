#include "os/platSystemInfo.h"

#include <cstdio>
#include <cstdlib>
#include <sys/utsname.h>

std::string osVersionText() {
    utsname u{};
    if (uname(&u) != 0) return std::string();
    int major = 0, minor = 0, build = 0;
    sscanf(u.release, "%d.%d.%d", &major, &minor, &build);
    const bool is64 = sizeof(void*) == 8;
    char text[400];
    snprintf(text, sizeof(text), "%s (Version %d.%d, Build %d, %s)", u.sysname, major, minor, build,
             is64 ? "64-bit Edition" : "32-bit Edition");
    return text;
}

// Windows paths are mapped below the data root, so the directory keeps its Windows name.
std::string osWindowsDirectory() {
    return "C:\\Windows";
}

bool osIsWine() {
    return false;
}
