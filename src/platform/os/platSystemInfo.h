// Facts about the running system for the crash report and the installation check.
#pragma once

#include <string>

// "<name>[ <service pack>] (Version <major>.<minor>, Build <number>, <32|64>-bit Edition)".
std::string osVersionText();
// The Windows directory (GetWindowsDirectoryA); "C:\Windows" where there is none.
std::string osWindowsDirectory();
// True under Wine, whose bcrypt accepts a provider registration but keeps none.
bool osIsWine();
