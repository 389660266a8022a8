// A certificate's access token: where it is kept (value "Token" of the current user's key
// SOFTWARE\Varno\<application>\<SerialNumber>), what a usable one is, and its reading, writing and
// removal. The token itself never goes to the trace.
#pragma once

#include "os/platTypes.h"

#include <cstddef>
#include <string>

// Room of a token including its terminator: a token has at most 255 bytes of text.
#define LU_TOKEN_SIZE 256

// 1 to LU_TOKEN_SIZE - 1 bytes without control characters: what a header line can carry.
bool platTokenIsUsable(const char* text, size_t length);

// "SOFTWARE\Varno\<application>\<serial>"; empty when serial is null or too long for a key name.
std::string platTokenKeyPath(const char* serial);

// The stored value of serial's token (a protected blob, or the text of earlier versions) into data
// (length in, size out), from the 64-bit view through a key the process keeps open between reads; opened
// tells whether the key could be opened at all.
LONG platTokenReadStored(const char* serial, BYTE* data, DWORD* length, bool* opened);

// Whether serial has a token that this user on this machine can read.
bool platTokenIsStored(const char* serial);

// Stores value (as it is to be kept) under serial in the 32-bit and then the 64-bit view; false when
// the 64-bit one failed (the one the login reads). Each failure is traced.
bool platTokenWrite(const char* serial, const char* value, DWORD length);

// Removes serial's key with its token from both views; a failure is traced and nothing more.
void platTokenDelete(const char* serial);
