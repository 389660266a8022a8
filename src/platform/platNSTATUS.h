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

// The one table of Win32 error codes (ERROR_*, WSA*) the library and its tools meet: the system's text
// of a code (also in its HRESULT_FROM_WIN32 form), or null; used where the system has no message
// tables of its own. And the code's SDK name, or null.
const char* GetWin32ErrorText(uint32_t code);
const char* GetWin32ErrorName(uint32_t code);
