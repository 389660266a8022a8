#pragma once

#include "os/osLock.h"
#include "platform/platMutex.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

// Trace levels: a bit each; the HEAD levels mark entry and exit lines and drive the indentation.
#define DBHEAD_0 0x00000001u
#define DBERRO_0 0x00000002u
#define DBWARN_0 0x00000004u
#define DBINFO_0 0x00000008u
#define DBHEAD_C 0x00000010u
#define DBWARN_C 0x00000020u
#define DBINFO_C 0x00000040u
#define DBHEAD_E 0x00000100u
#define DBINFO_U 0x00000200u
#define DBHEAD_L 0x10000000u
#define DBWARN_L 0x20000000u
#define DBINFO_L 0x40000000u

#ifdef _WIN32
#define LU_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define LU_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

struct TPlatDebugConfig {
    int TypeOut;
    int HeadInfo;
    uint32_t Level;
    int Flush;
    char FilePath[1024];
    // Size in bytes past which the file gives way to a new one, the full one kept as "<name>.1.log"
    // (replacing the one before); 0: no limit.
    long long MaxSize;
};

class TPlatDebug {
  public:
    TPlatDebug();
    ~TPlatDebug();
    TPlatDebug(const TPlatDebug&) = delete;
    TPlatDebug& operator=(const TPlatDebug&) = delete;

    void Config(int enable, const TPlatDebugConfig& cfg);
    void Close();
    int IsLevelOn(unsigned level);
    // Without the lock: false when level is surely off, so that a trace point costs no call, no lock
    // and no argument evaluation then (a signature passes some seven hundred of them).
    bool Wants(unsigned level) const { return (OnLevels.load(std::memory_order_relaxed) & level) != 0; }
    int Print(unsigned level, const char* file, const char* func, int line, const char* format, ...)
        LU_PRINTF_FORMAT(6, 7);
    int PrintDump(unsigned level, const char* file, const char* func, int line, const char* title,
                  const void* buff, int length);
    int WriteEntry(unsigned level, const char* file, const char* func, int line, const char* text,
                   int textLen);
    int Write(const char* s);

    // An exported call of the library begins or ends. While calls run, their entries gather and reach
    // the file together, in one append, when a call ends (with Flush set): each entry under Wine's
    // append is three system calls, and a signature writes some seventy. Entries outside calls are
    // written at once, as every entry is with Flush set when no call runs.
    void CallBegin();
    void CallEnd();
    // Writes what has gathered now: before a call waits on the network, before a crash report.
    void FlushNow();

    int Depth;

  private:
    // IsLevelOn with the lock already held.
    int LevelOn(unsigned level) const;
    // Active, and the levels that can be on, seen without the lock.
    void SetActive(int active);
    // Header, indentation and text of one entry go into Pending under the lock; the text and header are
    // made before it is taken, so that the lock covers a copy and the depth, and many threads tracing
    // at once wait little on each other. Sets flush when the entry is to reach the file now.
    int Enter(unsigned level, bool checkLevel, const char* header, size_t headerLength, const char* text,
              int textLength, bool& flush);
    // Whether what is pending is to reach the file now; under the lock.
    bool FlushDue() const;
    // Writes Pending outside the lock, in the order it was gathered: one writer at a time, and a caller
    // whose entries another writer took waits until they are on the file. Returns 1 also when nothing
    // was pending, and when onlyWithFlushSet finds Flush off.
    int Flush(bool onlyWithFlushSet);
    // Every append to the file: the size limit is checked after it. Only with Writer held.
    int Append(const char* data, size_t length);
    void Rotate();

    void* file;
    int Active;
    std::atomic<uint32_t> OnLevels;
    // The header parts of the configuration, for entries made before the lock is taken.
    std::atomic<unsigned> HeadMask;
    TPlatMutex mutex;
    TPlatDebugConfig configuration;
    // Non-zero while the lines of one dump are gathered.
    int Batch;
    // Exported calls in progress, in all threads.
    std::atomic<int> Calls;
    // Whole entries not yet written, under the lock. Written when an entry must be on the file (Flush
    // set outside calls, an error, a call's end), when full, and at Close.
    std::string Pending;
    // Held by the one thread that writes (the lock is taken first, when both are); the file handle,
    // the rotation and Spare are its own.
    TOsLock Writer;
    std::string Spare;
};

extern TPlatDebug* gPlatDebug;

// Formats into a new zero-filled heap text (freed with free()); the text is null and the length 0 or
// less when nothing was formatted. Returns 0 only when there is no format.
int FormatAlloc(const char* format, va_list args, char** text, int* length);

// The qualified function name ("Class::Method" or "function") taken from the compiler's signature text.
struct TPlatFuncName {
    explicit TPlatFuncName(const char* prettyFunction);
    char Name[160];
};

// Every trace call site: the file, function and line are supplied here; LU_FN names the function
// inside the arguments ("<%s>\n", LU_FN).
#define TRACE(level, ...)                                                                                    \
    do {                                                                                                     \
        if (gPlatDebug && gPlatDebug->Wants(level)) {                                                        \
            static const TPlatFuncName luFn_(__PRETTY_FUNCTION__);                                           \
            gPlatDebug->Print((level), __FILE__, luFn_.Name, __LINE__, __VA_ARGS__);                         \
        }                                                                                                    \
    } while (0)

#define TRACE_DUMP(level, title, buff, length)                                                               \
    do {                                                                                                     \
        if (gPlatDebug && gPlatDebug->Wants(level)) {                                                        \
            static const TPlatFuncName luFn_(__PRETTY_FUNCTION__);                                           \
            gPlatDebug->PrintDump((level), __FILE__, luFn_.Name, __LINE__, (title), (buff), (length));       \
        }                                                                                                    \
    } while (0)

#define LU_FN (luFn_.Name)
