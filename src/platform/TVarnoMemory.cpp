#include "platform/TVarnoMemory.h"

#include "platform/platHASH.h"
#include "platform/platTraceScope.h"

#include <cstdlib>
#include <cstring>

TVarnoMemory::TVarnoMemory() : FileData(nullptr), LenFileData(0) {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    memset(DigestMD5, 0, sizeof(DigestMD5));
}

TVarnoMemory::~TVarnoMemory() {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    Clear();
}

int TVarnoMemory::Clear() {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s FileData=[%p], LenFileDat=[%d]>\n", LU_FN, static_cast<void*>(FileData),
                static_cast<int>(LenFileData));
    {
        TPlatLockGuard guard(Mutex);
        free(FileData);
        FileData = nullptr;
        LenFileData = 0;
        memset(DigestMD5, 0, sizeof(DigestMD5));
    }
    TRACE_RETURN(1);
}

int TVarnoMemory::LoadFromMemory(const void* buff, uint32_t len) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s BuffMem=[%p] LenBuffMem=[%d]>\n", LU_FN, buff, static_cast<int>(len));
    Clear();
    int result = 0;
    {
        TPlatLockGuard guard(Mutex);
        // A missing source with a length is refused rather than read from nowhere.
        if (!buff && len > 0) {
            TRACE(DBERRO_0, "Parametro invalido, BuffMem=[%p] LenBuffMem=[%d]\n", buff,
                  static_cast<int>(len));
        } else if (len < UINT32_MAX) {
            FileData = static_cast<BYTE*>(calloc(static_cast<size_t>(len) + 1, 1));
            if (FileData) {
                if (len) memcpy(FileData, buff, len);
                LenFileData = len;
                result = 1;
            }
        }
    }
    TRACE_RETURN(result);
}

int TVarnoMemory::AddWithXOR(uint32_t pos, const BYTE* maskXOR, uint32_t lenMaskXOR, const void* buffAdd,
                             uint32_t count, BYTE isInvertBytes) {
    TRACE_SCOPE(
        DBHEAD_L, Int,
        "<%s maskXOR=[%p] lenMaskXOR=[%d] BuffAdd=[%p] FileData=[%p] LenFileData=[%d] IsInvertBytes=[%d]>\n",
        LU_FN, static_cast<const void*>(maskXOR), static_cast<int>(lenMaskXOR), buffAdd,
        static_cast<void*>(FileData), static_cast<int>(LenFileData), isInvertBytes);
    int result = 0;
    {
        TPlatLockGuard guard(Mutex);
        const BYTE* src = static_cast<const BYTE*>(buffAdd);
        // Overflow-safe size check: the new length plus the terminator must fit.
        bool fits = static_cast<uint64_t>(LenFileData) + count + 1 <= UINT32_MAX;
        BYTE* grown =
            fits ? static_cast<BYTE*>(realloc(FileData, static_cast<size_t>(LenFileData) + count + 1))
                 : nullptr;
        if (!grown) {
            Clear();
            TRACE(DBERRO_0, "Falha ao reallocar memoria\n");
        } else {
            FileData = grown;
            BYTE* end = FileData + LenFileData;
            if (!src) {
                memset(end, 0, count);
                result = 1;
            } else if (maskXOR && lenMaskXOR > 0) {
                for (uint32_t i = 0; i < count; ++i)
                    end[i] = static_cast<BYTE>(src[i] ^ maskXOR[i % lenMaskXOR]);
                result = count > 0 ? 1 : 0;
            } else if (pos != 0 && pos < LenFileData) {
                memmove(FileData + pos + count, FileData + pos, LenFileData - pos);
                for (uint32_t i = 0; i < count; ++i)
                    FileData[pos + (isInvertBytes ? count - 1 - i : i)] = src[i];
                result = 1;
            } else {
                for (uint32_t i = 0; i < count; ++i)
                    end[isInvertBytes ? count - 1 - i : i] = src[i];
                result = 1;
            }
            if (result == 1) LenFileData += count;
            FileData[LenFileData] = 0;
        }
    }
    TRACE_RETURN(result);
}

int TVarnoMemory::AddFormat(const char* format, ...) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s BuffAdd=[%p]>\n", LU_FN, static_cast<void*>(nullptr));
    int result = 0;
    if (format) {
        char* text = nullptr;
        int length = 0;
        va_list args;
        va_start(args, format);
        FormatAlloc(format, args, &text, &length);
        va_end(args);
        result = Add(text, text && length > 0 ? static_cast<uint32_t>(length) : 0);
        free(text);
    }
    TRACE_RETURN(result);
}

int TVarnoMemory::DeleteBytes(uint32_t posIni, uint32_t qtdBytes) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s PosIni=[%p] QtdBytes=[%p]>\n", LU_FN,
                reinterpret_cast<void*>(static_cast<uintptr_t>(posIni)),
                reinterpret_cast<void*>(static_cast<uintptr_t>(qtdBytes)));
    int result = 0;
    // pos + count is compared without wrapping around.
    if (posIni <= LenFileData && qtdBytes <= LenFileData - posIni) {
        if (posIni + qtdBytes < LenFileData)
            memmove(FileData + posIni, FileData + posIni + qtdBytes, LenFileData - posIni - qtdBytes);
        if (FileData) {
            LenFileData -= qtdBytes;
            BYTE* shrunk = static_cast<BYTE*>(realloc(FileData, static_cast<size_t>(LenFileData) + 1));
            if (!shrunk) {
                Clear();
                TRACE(DBERRO_0, "Falha ao reallocar memoria\n");
            } else {
                FileData = shrunk;
                FileData[LenFileData] = 0;
                result = 1;
            }
        } else {
            result = 1;
        }
    }
    TRACE_RETURN(result);
}

int TVarnoMemory::DeleteString(const char* s) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s BuffDelete=[%p]>\n", LU_FN, static_cast<const void*>(s));
    int result = 1;
    if (!s) {
        result = 0;
    } else {
        size_t n = strlen(s);
        while (n > 0 && FileData && LenFileData > 0) {
            const char* found = strstr(reinterpret_cast<const char*>(FileData), s);
            if (!found) break;
            uint32_t pos = static_cast<uint32_t>(found - reinterpret_cast<const char*>(FileData));
            if (!DeleteBytes(pos, static_cast<uint32_t>(n))) {
                result = 0;
                break;
            }
        }
    }
    TRACE_RETURN(result);
}

int TVarnoMemory::hashCalcMD5() {
    TRACE_SCOPE(DBHEAD_L, Pointer, "<%s LenFileData=[%d]>\n", LU_FN, static_cast<int>(LenFileData));
    int result = 0;
    if (LenFileData == 0) {
        TRACE(DBERRO_0, "Não existe nenhum dados no TVarnoMemory para calcular o MD5\n");
    } else {
        TPlatHASH hash;
        hash.Clear();
        hash.Add(FileData, static_cast<int>(LenFileData));
        if (hash.Compute_MD5(DigestMD5)) {
            result = 1;
        } else {
            TRACE(DBERRO_0, "Falha ao computar o MD5 do TVarnoMemory\n");
        }
    }
    TRACE_RETURN_AS(result, reinterpret_cast<void*>(static_cast<intptr_t>(result)));
}

int TVarnoMemory::AddString(const char* s) {
    if (!s) return 0;
    return Add(s, static_cast<uint32_t>(strlen(s)));
}

int TVarnoMemory::AddWide(const WCHAR* s, uint32_t chars) {
    if (chars > UINT32_MAX / 2) return 0;
    return Add(s, chars * 2);
}
