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
#endif

#include "os/cspTypes.h"
