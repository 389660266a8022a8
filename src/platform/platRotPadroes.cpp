#include "platform/platRotPadroes.h"

#include "os/platOS.h"
#include "platform/TVarnoMemory.h"
#include "platform/platDebug.h"
#include "platform/platTraceScope.h"

#include <openssl/rand.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

// Per thread, as the rings below: these texts are built outside the provider lock too.
thread_local char tLastErrorText[1024];
thread_local char tFileVersionText[1024];

constexpr int kRingSlots = 50;

// One text of a ring.
template <typename C> struct TTextSlot {
    C* Buff;
    size_t Capacity;
};

template <typename C> void ReleaseRing(TTextSlot<C>* ring) {
    for (int i = 0; i < kRingSlots; ++i) {
        free(ring[i].Buff);
        ring[i].Buff = nullptr;
        ring[i].Capacity = 0;
    }
}

// The rings of one thread: calls run in parallel outside the provider lock, and a slot shared between
// threads would be overwritten (or moved by realloc) while its text is still read. The texts go when
// the thread ends; a call after that in the same thread (an exit handler) only allocates afresh.
struct TThreadRings {
    TTextSlot<char> Narrow[kRingSlots];
    unsigned NarrowNext;
    TTextSlot<WCHAR> Wide[kRingSlots];
    unsigned WideNext;
};

void WINAPI ReleaseThreadRings(void* value) {
    TThreadRings* rings = static_cast<TThreadRings*>(value);
    ReleaseRing(rings->Narrow);
    ReleaseRing(rings->Wide);
    delete rings;
}

std::atomic<unsigned long> gRingSlot{0};

// The calling thread's rings, made at its first text; null when memory is short.
TThreadRings* ThreadRings() {
    unsigned long slot = gRingSlot.load(std::memory_order_acquire);
    if (!slot) {
        unsigned long made = osThreadSlotCreate(ReleaseThreadRings);
        if (!made) return nullptr;
        if (gRingSlot.compare_exchange_strong(slot, made)) {
            slot = made;
        } else {
            osThreadSlotFree(made);
        }
    }
    TThreadRings* rings = static_cast<TThreadRings*>(osThreadSlotGet(slot));
    if (rings) return rings;
    rings = new (std::nothrow) TThreadRings{};
    if (rings && !osThreadSlotSet(slot, rings)) {
        delete rings;
        rings = nullptr;
    }
    return rings;
}

// The next slot of a ring with room for n units, zero-filled; null when memory is short.
template <typename C> C* NextSlot(TTextSlot<C>* ring, unsigned& next, size_t n) {
    TTextSlot<C>& slot = ring[next++ % kRingSlots];
    if (!slot.Buff || slot.Capacity < n + 1) {
        C* grown = static_cast<C*>(realloc(slot.Buff, (n + 1) * sizeof(C)));
        if (!grown) return nullptr;
        slot.Buff = grown;
        slot.Capacity = n + 1;
    }
    memset(slot.Buff, 0, slot.Capacity * sizeof(C));
    return slot.Buff;
}

} // namespace

void ReleaseThreadTexts() {
    unsigned long slot = gRingSlot.exchange(0);
    if (!slot) return;
    // This thread's rings here; the other threads' go with the slot (Windows) or stay (Linux, whose
    // keys have no cleanup once deleted).
    if (void* own = osThreadSlotGet(slot)) {
        osThreadSlotSet(slot, nullptr);
        ReleaseThreadRings(own);
    }
    osThreadSlotFree(slot);
}

size_t WideLength(const WCHAR* s) {
    size_t n = 0;
    if (s)
        while (s[n])
            ++n;
    return n;
}

int RandomGenerateBuffer(TVarnoMemory* buffToAppend, int lenBuffRandom, BYTE canRandomZero) {
    TRACE_SCOPE(DBHEAD_0, Int, "<%s BuffToAppend=[%p] LenBuffrandom=[%d] CanRandomZero=[%d]>\n", LU_FN,
                static_cast<void*>(buffToAppend), lenBuffRandom, canRandomZero);
    int result = 0;
    if (!buffToAppend || lenBuffRandom <= 0) {
        TRACE(DBERRO_0, "Parametro invalido, BuffToAppend=[%p] LenBuffrandom=[%d]",
              static_cast<void*>(buffToAppend), lenBuffRandom);
    } else {
        // Padding filler comes from the CSPRNG; zero bytes are drawn again when they are not allowed.
        BYTE chunk[64];
        while (result < lenBuffRandom) {
            int want = lenBuffRandom - result;
            if (want > static_cast<int>(sizeof(chunk))) want = static_cast<int>(sizeof(chunk));
            if (RAND_bytes(chunk, want) != 1) {
                TRACE(DBERRO_0, "Falha no RAND_bytes, gerados=[%d]\n", result);
                break;
            }
            int kept = 0;
            for (int i = 0; i < want; ++i)
                if (canRandomZero || chunk[i] != 0) chunk[kept++] = chunk[i];
            if (kept > 0 && !buffToAppend->Add(chunk, static_cast<uint32_t>(kept))) break;
            result += kept;
        }
    }
    TRACE_RETURN(result);
}

int CreatePath(const char* pathName) {
    TRACE_SCOPE(DBHEAD_0, Int, "<%s PathName=[%s]>\n", LU_FN, pathName ? pathName : "");
    int result = osCreateDirectory(pathName);
    TRACE_RETURN(result);
}

int memcpy_InverterBytes(void* dest, const void* src, int count) {
    if (!dest || !src) {
        TRACE(DBERRO_0, "Parametro invalido na Falha memcpy_InverterBytes, buffDest=[%p] buffOrigem=[%p]\n",
              dest, src);
        return 0;
    }
    BYTE* d = static_cast<BYTE*>(dest);
    const BYTE* s = static_cast<const BYTE*>(src);
    for (int i = 0; i < count; ++i)
        d[count - 1 - i] = s[i];
    return count > 0 ? count : 0;
}

int XorWithMask(const BYTE* mask, int maskLen, const BYTE* src, int count, BYTE* dest) {
    if (!mask || !src || !dest || maskLen <= 0 || count <= 0) return 0;
    for (int i = 0; i < count; ++i)
        dest[i] = static_cast<BYTE>(src[i] ^ mask[i % maskLen]);
    return 1;
}

int RemoveBytePattern(BYTE* data, int size, const BYTE* pattern, int patternLen) {
    if (!data || !pattern || size <= 0 || patternLen <= 0) return 0;
    int removed = 0;
    int pos = 0;
    while (pos + patternLen <= size) {
        if (memcmp(data + pos, pattern, static_cast<size_t>(patternLen)) == 0) {
            memmove(data + pos, data + pos + patternLen, static_cast<size_t>(size - pos - patternLen));
            size -= patternLen;
            removed += patternLen;
        } else {
            ++pos;
        }
    }
    return removed;
}

char* ConvertToHexAscii(const BYTE* bytes, int count) {
    if (count < 0 || (count > 0 && !bytes)) count = 0;
    // Always a heap text, also for no bytes, so that every caller frees what it gets.
    char* text = static_cast<char*>(calloc(static_cast<size_t>(count) * 2 + 10, 1));
    if (!text) return nullptr;
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < count; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    return text;
}

int CompareNameWide(const char* a, const WCHAR* w) {
    if (!a || !w) return -1;
    size_t n = strlen(a);
    if (n != WideLength(w)) return -1;
    for (size_t i = 0; i < n; ++i) {
        // Signed widening: bytes from 0x80 up match only units from 0xFF80 up.
        WCHAR c = static_cast<WCHAR>(static_cast<int16_t>(static_cast<signed char>(a[i])));
        if (c != w[i]) return -1;
    }
    return 0;
}

uint32_t CRC32Calc(const BYTE* bytes, int count) {
    // Made once, by whichever thread comes first; the others wait for it (crash reports run in parallel).
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    if (bytes)
        for (int i = 0; i < count; ++i)
            crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

const char* GetFileVersionText(const WCHAR* path) {
    tFileVersionText[0] = '\0';
    if (path) {
        std::string narrow;
        for (size_t i = 0; path[i]; ++i)
            narrow.push_back(static_cast<char>(path[i] & 0xFF));
        std::string v = osFileVersion(narrow.c_str());
        snprintf(tFileVersionText, sizeof(tFileVersionText), "%s", v.c_str());
    }
    return tFileVersionText;
}

const char* GetVersionDesktop() {
    std::string exe = osExecutablePath();
    return GetFileVersionText(ConvAnsiToWideTemp(exe.c_str()));
}

const char* GetLastErrorText() {
    DWORD code = GetLastError();
    tLastErrorText[0] = '\0';
    std::string msg = osSystemMessage(code);
    if (!msg.empty())
        snprintf(tLastErrorText, sizeof(tLastErrorText), "0x%08X: %s", static_cast<unsigned>(code),
                 msg.c_str());
    else
        snprintf(tLastErrorText, sizeof(tLastErrorText), "0x%08X", static_cast<unsigned>(code));
    // Building the text must not disturb the code the caller is about to hand on.
    SetLastError(code);
    return tLastErrorText;
}

const char* GetPlatformName() {
    return "WIN32";
}

char* ConvWideToAnsiTemp(const WCHAR* s) {
    size_t n = WideLength(s);
    TThreadRings* rings = ThreadRings();
    char* text = rings ? NextSlot(rings->Narrow, rings->NarrowNext, n) : nullptr;
    if (!text) return const_cast<char*>("");
    for (size_t i = 0; i < n; ++i)
        text[i] = static_cast<char>(s[i] & 0xFF);
    return text;
}

std::u16string AnsiUpperText(const char* t) {
    std::u16string w = osAnsiToWide(t ? t : "");
    osWideUpper(w);
    return w;
}

char* ConvAnsiUpper(const char* t) {
    std::u16string w = AnsiUpperText(t);
    return ConvWideToAnsiTemp(reinterpret_cast<const WCHAR*>(w.c_str()));
}

WCHAR* ConvAnsiToWideTemp(const char* t) {
    std::u16string wide = osAnsiToWide(t ? t : "");
    TThreadRings* rings = ThreadRings();
    WCHAR* text = rings ? NextSlot(rings->Wide, rings->WideNext, wide.size()) : nullptr;
    if (!text) {
        static thread_local WCHAR empty[1];
        empty[0] = 0;
        return empty;
    }
    for (size_t i = 0; i < wide.size(); ++i)
        text[i] = static_cast<WCHAR>(wide[i]);
    return text;
}

void ConvAnsiToWideBuffer(WCHAR* dest, const char* t) {
    if (!dest || !t) return;
    for (size_t i = 0; t[i]; ++i)
        dest[i] = static_cast<WCHAR>(static_cast<unsigned char>(t[i]));
}

void SecureZero(void* buffer, size_t size) {
    volatile unsigned char* p = static_cast<volatile unsigned char*>(buffer);
    for (size_t i = 0; i < size; ++i)
        p[i] = 0;
}
