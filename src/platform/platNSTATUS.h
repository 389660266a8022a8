#pragma once

#include <cstdint>

// One row of the status table: the code, its symbolic name in the Windows SDK and the SDK's text.
struct NSTATUSInfo {
    uint32_t Code;
    const char* Name;
    const char* Description;
};

// The first row holding the code (0 gives STATUS_SUCCESS); an unknown code gives the "NSTATUS INVALID"
// row carrying that code. Returned by value, so concurrent callers never share a row.
NSTATUSInfo GetNSTATUSInfo(uint32_t code);

// Whether the table holds a row for the code.
bool IsKnownNSTATUS(uint32_t code);

// The system's text of a Win32 error code the library meets (ERROR_*, WSA*), or null. Used where the
// system has no message tables of its own.
const char* GetWin32ErrorText(uint32_t code);
