#pragma once

#include "os/platTypes.h"

#include <cstdint>
#include <string>

class TVarnoMemory;

// Standard routines shared by the whole library. Texts returned from static areas or rings stay valid
// only until later calls; callers copy what they keep.
int RandomGenerateBuffer(TVarnoMemory* buffToAppend, int lenBuffRandom, BYTE canRandomZero);
int CreatePath(const char* pathName);
int memcpy_InverterBytes(void* dest, const void* src, int count);
int XorWithMask(const BYTE* mask, int maskLen, const BYTE* src, int count, BYTE* dest);
int RemoveBytePattern(BYTE* data, int size, const BYTE* pattern, int patternLen);
// New text owned by the caller (free()).
char* ConvertToHexAscii(const BYTE* bytes, int count);
int CompareNameWide(const char* a, const WCHAR* w);
uint32_t CRC32Calc(const BYTE* bytes, int count);
const char* GetFileVersionText(const WCHAR* path);
const char* GetVersionDesktop();
const char* GetLastErrorText();
const char* GetPlatformName();
// Frees the calling thread's texts and the slot of every thread's (the library unloads): a thread that
// ends later calls no cleanup of ours.
void ReleaseThreadTexts();
char* ConvWideToAnsiTemp(const WCHAR* s);
char* ConvAnsiUpper(const char* t);
// The upper-cased text as a value of the caller's (no ring).
std::u16string AnsiUpperText(const char* t);
WCHAR* ConvAnsiToWideTemp(const char* t);
void ConvAnsiToWideBuffer(WCHAR* dest, const char* t);
// Length in units of a zero-terminated UTF-16 text.
size_t WideLength(const WCHAR* s);
// Zero-fills a buffer that held a secret; the stores are never dropped as dead.
void SecureZero(void* buffer, size_t size);
