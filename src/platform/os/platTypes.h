// The Windows types and constants the library is written against. On Windows they come from the SDK;
// on Linux from our own compatibility headers, so that the rest of the code is the same on both.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#else
#include "os/posix/winCompat.h"
#include "os/posix/wincryptCompat.h"
#include "os/posix/winCertStore.h"
#include "os/posix/winRegistry.h"
#endif

#include "os/cspTypes.h"

// Literal of the platform's WCHAR (wchar_t on Windows, char16_t on Linux).
#ifdef _WIN32
#define LU_WTEXT(s) L##s
#else
#define LU_WTEXT(s) u##s
#endif
