// Hands a value to a caller's buffer the way CryptoAPI calls do: a null buffer asks for the size only,
// a short buffer is refused. What a short buffer gives differs between the calls, so the caller names
// its rule.
#pragma once

#include "os/platTypes.h"

#include <cstdint>

struct TPlatCopyRule {
    // Code of a short buffer (ERROR_MORE_DATA or NTE_BAD_LEN).
    uint32_t ShortCode;
    // The needed size is stored also when the buffer was short.
    bool SizeWhenShort;
    // The caller's buffer is zero-filled over its whole length before anything else.
    bool ZeroFillFirst;
    // The value is copied last byte first (big-endian results into CryptoAPI's little-endian order).
    bool Reversed;
    // Names of the two numbers in the short-buffer trace line: "Tamanho ... <LenName>=[%d], <SizeName>=[%d]".
    const char* LenName;
    const char* SizeName;
};

// Rules of the entry points: parameters (provider, hash), key parameters and exported keys (size kept
// when short), and operation results (NTE_BAD_LEN, needed size reported).
extern const TPlatCopyRule kCopyParam;
extern const TPlatCopyRule kCopyProvParam;
extern const TPlatCopyRule kCopyKeyParam;
extern const TPlatCopyRule kCopyExport;
extern const TPlatCopyRule kCopyResult;
extern const TPlatCopyRule kCopyResultReversed;
// Every value of a key storage provider: NTE_BUFFER_TOO_SMALL with the needed size.
extern const TPlatCopyRule kCopyNCrypt;

// 0, or the rule's short code. buffer null: only *len = size. capacity is what the buffer holds (usually
// *len on entry). value may be null when size is 0.
int CopyOutValue(const void* value, uint32_t size, BYTE* buffer, DWORD* len, uint32_t capacity,
                 const TPlatCopyRule& rule);
