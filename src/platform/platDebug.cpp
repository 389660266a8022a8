#include "platform/platDebug.h"

#include "os/platOS.h"

#include <cstdlib>
#include <cstring>

TPlatDebug* gPlatDebug = nullptr;

namespace {

const char* LevelTag(unsigned level) {
    switch (level) {
    case DBHEAD_0:
        return "[DBHEAD_0]";
    case DBERRO_0:
        return "[DBERRO_0]";
    case DBWARN_0:
        return "[DBWARN_0]";
    case DBINFO_0:
        return "[DBINFO_0]";
    case DBHEAD_C:
        return "[DBHEAD_C]";
    case DBWARN_C:
        return "[DBWARN_C]";
    case DBINFO_C:
        return "[DBINFO_C]";
    case DBHEAD_E:
        return "[DBHEAD_E]";
    case DBINFO_U:
        return "[DBINFO_U]";
    case DBHEAD_L:
        return "[DBHEAD_L]";
    case DBWARN_L:
        return "[DBWARN_L]";
    case DBINFO_L:
        return "[DBINFO_L]";
    default:
        return "[UNDEFINE]";
    }
}

bool IsHeadLevel(unsigned level) {
    return level == DBHEAD_0 || level == DBHEAD_C || level == DBHEAD_E || level == DBHEAD_L;
}

// Appends formatted text to a fixed header, cutting what does not fit.
void HeadAppend(char* head, size_t cap, const char* format, ...) LU_PRINTF_FORMAT(3, 4);
void HeadAppend(char* head, size_t cap, const char* format, ...) {
    size_t used = strlen(head);
    if (used + 1 >= cap) return;
    va_list args;
    va_start(args, format);
    vsnprintf(head + used, cap - used, format, args);
    va_end(args);
}

// HeadAppend of "%s" without the formatter: every trace entry has a header, most have only this.
void HeadAppendText(char* head, size_t cap, const char* text) {
    size_t used = strlen(head);
    if (used + 1 >= cap) return;
    size_t n = strnlen(text, cap - used - 1);
    memcpy(head + used, text, n);
    head[used + n] = '\0';
}

const char kHexDigits[] = "0123456789ABCDEF";

// "---> [0x%04X]:" of a dump line, without the formatter; returns the length written.
int DumpLinePrefix(char* out, unsigned offset) {
    char digits[8];
    int count = 0;
    do {
        digits[count++] = kHexDigits[offset & 0x0F];
        offset >>= 4;
    } while (offset && count < 8);
    while (count < 4)
        digits[count++] = '0';
    int n = 0;
    for (const char* p = "---> [0x"; *p; ++p)
        out[n++] = *p;
    while (count > 0)
        out[n++] = digits[--count];
    out[n++] = ']';
    out[n++] = ':';
    return n;
}

} // namespace

int FormatAlloc(const char* format, va_list args, char** text, int* length) {
    if (text) *text = nullptr;
    if (length) *length = 0;
    if (!format || !text || !length) return 0;
    va_list measure;
    va_copy(measure, args);
    int n = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (n <= 0) {
        *length = n;
        return 1;
    }
    char* buf = static_cast<char*>(calloc(static_cast<size_t>(n) + 1, 1));
    if (!buf) {
        *length = 0;
        return 1;
    }
    va_list fill;
    va_copy(fill, args);
    int written = vsnprintf(buf, static_cast<size_t>(n) + 1, format, fill);
    va_end(fill);
    if (written != n) {
        // Formatting failed the second time: nothing is written rather than a torn text.
        free(buf);
        *length = 0;
        return 1;
    }
    *text = buf;
    *length = n;
    return 1;
}

TPlatFuncName::TPlatFuncName(const char* pretty) {
    Name[0] = '\0';
    if (!pretty) return;
    // The parameter list starts at the first '(' outside template brackets ("operator()" aside).
    const char* open = nullptr;
    int angle = 0;
    for (const char* p = pretty; *p; ++p) {
        if (*p == '<')
            ++angle;
        else if (*p == '>' && angle > 0)
            --angle;
        else if (*p == '(' && angle == 0) {
            if (p - pretty >= 8 && strncmp(p - 8, "operator", 8) == 0 && p[1] == ')') {
                ++p;
                continue;
            }
            open = p;
            break;
        }
    }
    if (!open) open = pretty + strlen(pretty);
    // The name starts after the last blank outside template brackets (return type, qualifiers).
    const char* begin = pretty;
    angle = 0;
    for (const char* p = open; p > pretty; --p) {
        char c = p[-1];
        if (c == '>')
            ++angle;
        else if (c == '<' && angle > 0)
            --angle;
        else if ((c == ' ' || c == '*' || c == '&') && angle == 0) {
            begin = p;
            break;
        }
    }
    size_t n = static_cast<size_t>(open - begin);
    if (n >= sizeof(Name)) n = sizeof(Name) - 1;
    memcpy(Name, begin, n);
    Name[n] = '\0';
}

TPlatDebug::TPlatDebug() : Depth(0), file(nullptr), Active(0), OnLevels(0), HeadMask(0), Batch(0), Calls(0) {
    memset(&configuration, 0, sizeof(configuration));
}

TPlatDebug::~TPlatDebug() {
    Close();
}

void TPlatDebug::Config(int enable, const TPlatDebugConfig& cfg) {
    TPlatLockGuard guard(mutex);
    if (!enable) {
        Close();
        return;
    }
    if (cfg.TypeOut != 1) return;
    Close();
    std::lock_guard<TOsLock> writing(Writer);
    char path[sizeof(cfg.FilePath)];
    memcpy(path, cfg.FilePath, sizeof(path));
    path[sizeof(path) - 1] = '\0';
    file = osAppendOpen(path);
    if (file) {
        configuration = cfg;
        configuration.FilePath[sizeof(configuration.FilePath) - 1] = '\0';
        HeadMask.store(static_cast<unsigned>(configuration.HeadInfo) & 0xFFu, std::memory_order_relaxed);
    }
    SetActive(file ? 1 : 0);
}

void TPlatDebug::Close() {
    TPlatLockGuard guard(mutex);
    std::lock_guard<TOsLock> writing(Writer);
    if (file) {
        if (Active && !Pending.empty()) Append(Pending.data(), Pending.size());
        osAppendClose(file);
    }
    file = nullptr;
    SetActive(0);
    std::string().swap(Pending);
    std::string().swap(Spare);
}

int TPlatDebug::IsLevelOn(unsigned level) {
    if (!Wants(level)) return 0;
    TPlatLockGuard guard(mutex);
    return LevelOn(level);
}

int TPlatDebug::LevelOn(unsigned level) const {
    return (Active && (level & configuration.Level)) ? 1 : 0;
}

void TPlatDebug::SetActive(int active) {
    Active = active;
    OnLevels.store(Active ? configuration.Level : 0u, std::memory_order_relaxed);
}

namespace {

// The header of one entry with its ":" (empty when there is none), at most 255 characters.
size_t BuildHeader(char (&header)[256], unsigned mask, unsigned level, const char* srcFile, const char* func,
                   int line) {
    header[0] = '\0';
    if (mask == 0) return 0;
    if (mask & 0x02)
        HeadAppend(header, sizeof(header), "[TID_%04lX][PID_%04lX]", osCurrentThreadId(),
                   osCurrentProcessId());
    if (mask & 0x04) {
        TOsLocalTime t;
        osGetLocalTime(t);
        HeadAppend(header, sizeof(header), "[%04d%02d%02d_%02d%02d%02d.%04d]", t.Year, t.Month, t.Day, t.Hour,
                   t.Minute, t.Second, t.Milliseconds);
    }
    if (mask & 0x01) HeadAppendText(header, sizeof(header), LevelTag(level));
    auto bracketed = [&header](const char* name) {
        HeadAppendText(header, sizeof(header), "[");
        HeadAppendText(header, sizeof(header), name ? name : "");
        HeadAppendText(header, sizeof(header), "]");
    };
    if (mask & 0x08) bracketed(srcFile);
    if (mask & 0x40) bracketed(func);
    if (mask & 0x20) HeadAppend(header, sizeof(header), "[%d]", line);
    if (!header[0]) return 0;
    HeadAppendText(header, sizeof(header), ":");
    return strlen(header);
}

} // namespace

int TPlatDebug::Print(unsigned level, const char* srcFile, const char* func, int line, const char* format,
                      ...) {
    if (!Wants(level)) return 0;
    // Formatted before the lock is taken: most texts fit on the stack, longer ones take the measured
    // heap text.
    char small[1024];
    char* text = nullptr;
    int length = 0;
    if (format && *format) {
        va_list args;
        va_start(args, format);
        va_list again;
        va_copy(again, args);
        length = vsnprintf(small, sizeof(small), format, args);
        va_end(args);
        if (length >= static_cast<int>(sizeof(small))) FormatAlloc(format, again, &text, &length);
        va_end(again);
        // A format that could not be rendered, or renders to nothing, writes nothing.
        if (length <= 0 || (length >= static_cast<int>(sizeof(small)) && !text)) {
            free(text);
            return 0;
        }
    } else {
        small[0] = '\0';
    }
    char header[256];
    const bool head = IsHeadLevel(level);
    size_t headerLength = (length > 0 || head) ? BuildHeader(header, HeadMask.load(std::memory_order_relaxed),
                                                             level, srcFile, func, line)
                                               : 0;
    bool flush = false;
    int result = Enter(level, true, header, headerLength, text ? text : small, length, flush);
    free(text);
    if (flush && !Flush(false)) result = 0;
    return result;
}

int TPlatDebug::PrintDump(unsigned level, const char* srcFile, const char* func, int line, const char* title,
                          const void* buff, int length) {
    if (!Wants(level)) return 0;
    int result;
    {
        // A whole dump under one hold of the lock: its lines are never cut by another thread's.
        TPlatLockGuard guard(mutex);
        if (!LevelOn(level)) return 0;
        ++Batch;
        result = Print(level, srcFile, func, line, "-> %s, buffDump=[%p], lenDump=[%d]\n", title ? title : "",
                       buff, length);
        const unsigned char* bytes = static_cast<const unsigned char*>(buff);
        const unsigned mask = static_cast<unsigned>(configuration.HeadInfo) & 0xFFu;
        char header[256];
        size_t headerLength = BuildHeader(header, mask, level, srcFile, func, line);
        int i = 0;
        while (bytes && result == 1 && i < length) {
            // Each line has its own time stamp.
            if (i > 0 && (mask & 0x04)) headerLength = BuildHeader(header, mask, level, srcFile, func, line);
            // "---> [0x%04X]:" plus 16 x "0x%02X," plus "\n" fits comfortably.
            char text[128];
            int n = DumpLinePrefix(text, static_cast<unsigned>(i));
            for (int k = 0; k < 16 && i < length; ++k, ++i) {
                text[n++] = '0';
                text[n++] = 'x';
                text[n++] = kHexDigits[bytes[i] >> 4];
                text[n++] = kHexDigits[bytes[i] & 0x0F];
                text[n++] = ',';
            }
            text[n++] = '\n';
            text[n] = '\0';
            bool ignored = false;
            result = Enter(level, false, header, headerLength, text, n, ignored);
        }
        --Batch;
        // The dump is on the file when the call returns; inside an exported call, when that call ends (an
        // error's dump at once).
        if (!(Active && configuration.Flush && (!Calls.load() || level == DBERRO_0))) return result;
    }
    if (!Flush(false)) result = 0;
    return result;
}

void TPlatDebug::CallBegin() {
    Calls.fetch_add(1);
}

void TPlatDebug::CallEnd() {
    int calls = Calls.load();
    while (calls > 0 && !Calls.compare_exchange_weak(calls, calls - 1)) {
    }
    if (OnLevels.load(std::memory_order_relaxed)) Flush(true);
}

void TPlatDebug::FlushNow() {
    if (OnLevels.load(std::memory_order_relaxed)) Flush(false);
}

int TPlatDebug::WriteEntry(unsigned level, const char* srcFile, const char* func, int line, const char* text,
                           int n) {
    if (!text) {
        text = "";
        n = 0;
    }
    char header[256];
    size_t headerLength =
        (n > 0 || IsHeadLevel(level)) ? BuildHeader(header, HeadMask.load(), level, srcFile, func, line) : 0;
    bool flush = false;
    int ok = Enter(level, false, header, headerLength, text, n, flush);
    if (flush && !Flush(false)) ok = 0;
    return ok;
}

int TPlatDebug::Enter(unsigned level, bool checkLevel, const char* header, size_t headerLength,
                      const char* text, int n, bool& flush) {
    TPlatLockGuard guard(mutex);
    if (checkLevel && !LevelOn(level)) return 0;
    if (!Active) {
        Close();
        return 1;
    }
    bool head = IsHeadLevel(level);
    bool isExit = n > 0 && strncmp(text, "</", 2) == 0;
    int depth = Depth;
    if (head && isExit && depth > 0) --depth;
    const size_t before = Pending.size();
    Pending.append(header, headerLength);
    Pending.append(static_cast<size_t>(depth) * 2, ' ');
    if (n > 0) {
        if (head) Pending.push_back(' ');
        Pending.append(text, static_cast<size_t>(n));
    }
    Depth = depth;
    if (head && n > 0 && !isExit) ++Depth;
    if (Pending.size() == before) return 1;
    // An error is on the file at once, also inside a call: it may be the last line before a crash.
    flush = FlushDue() || (level == DBERRO_0 && configuration.Flush && !Batch);
    return 1;
}

int TPlatDebug::Write(const char* s) {
    if (!s) return 0;
    bool flush = false;
    {
        TPlatLockGuard guard(mutex);
        if (!Active) return 0;
        if (!*s) return 1;
        Pending.append(s);
        flush = FlushDue();
    }
    return flush ? Flush(false) : 1;
}

bool TPlatDebug::FlushDue() const {
    // Without Flush whole entries gather and reach the file together, as a stream's buffer would; with
    // Flush, those of the calls in progress, until a call ends. A dump is never cut.
    const size_t kPendingMax = 16384;
    if (Batch) return false;
    return (configuration.Flush && !Calls.load()) || Pending.size() >= kPendingMax;
}

int TPlatDebug::Flush(bool onlyWithFlushSet) {
    for (;;) {
        {
            TPlatLockGuard guard(mutex);
            if (!Active) return 0;
            if (onlyWithFlushSet && !configuration.Flush) return 1;
            if (Writer.try_lock()) {
                if (Pending.empty()) {
                    Writer.unlock();
                    return 1;
                }
                // Spare is empty: the entries leave, Pending keeps a buffer for the next ones.
                Spare.swap(Pending);
                break;
            }
        }
        // Another thread is writing, perhaps this caller's entries: once it is done, look again.
        std::lock_guard<TOsLock> waited(Writer);
    }
    int ok = Append(Spare.data(), Spare.size());
    Spare.clear();
    // An unusually long batch does not keep its memory for the rest of the process.
    if (Spare.capacity() > 65536) std::string().swap(Spare);
    Writer.unlock();
    if (!ok) {
        TPlatLockGuard guard(mutex);
        SetActive(0);
    }
    return ok;
}

int TPlatDebug::Append(const char* data, size_t length) {
    if (!osAppendWrite(file, data, length)) return 0;
    // The size is the file's, with what other processes appended: the one that passes the limit
    // rotates, the others find their file renamed (it is past the limit too) and follow to the new one.
    if (configuration.MaxSize > 0 && osAppendSize(file) >= configuration.MaxSize) Rotate();
    return 1;
}

void TPlatDebug::Rotate() {
    char rotated[sizeof(configuration.FilePath) + 8];
    const char* path = configuration.FilePath;
    size_t n = strlen(path);
    size_t stem = n >= 4 && strcmp(path + n - 4, ".log") == 0 ? n - 4 : n;
    snprintf(rotated, sizeof(rotated), "%.*s.1.log", static_cast<int>(stem), path);
    // When the new file cannot be opened, the trace goes on in the full one.
    if (void* fresh = osAppendRotate(file, path, rotated)) file = fresh;
}
