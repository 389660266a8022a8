#pragma once

#include "platform/platDebug.h"
#include "platform/platMutex.h"

#include <cstdint>

// Growable byte buffer, always zero-terminated behind its data so that text can be used in place.
class TVarnoMemory {
  public:
    TVarnoMemory();
    ~TVarnoMemory();
    TVarnoMemory(const TVarnoMemory&) = delete;
    TVarnoMemory& operator=(const TVarnoMemory&) = delete;

    int Clear();
    int LoadFromMemory(const void* buff, uint32_t len);
    int AddWithXOR(uint32_t pos, const BYTE* maskXOR, uint32_t lenMaskXOR, const void* buffAdd,
                   uint32_t count, BYTE isInvertBytes);
    int AddFormat(const char* format, ...) LU_PRINTF_FORMAT(2, 3);
    int DeleteBytes(uint32_t posIni, uint32_t qtdBytes);
    int DeleteString(const char* s);
    int RemoveString(const char* s) { return DeleteString(s); }
    int hashCalcMD5();

    int Add(const void* buff, uint32_t count) { return AddWithXOR(0, nullptr, 0, buff, count, 0); }
    int AddInverted(const void* buff, uint32_t count) { return AddWithXOR(0, nullptr, 0, buff, count, 1); }
    int AddZeroBytes(uint32_t count) { return AddWithXOR(0, nullptr, 0, nullptr, count, 0); }
    int AddString(const char* s);
    int AddWide(const WCHAR* s, uint32_t chars);

    TPlatMutex Mutex;
    BYTE* FileData;
    uint32_t LenFileData;
    BYTE DigestMD5[16];
};
