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

TPlatDebug::TPlatDebug() : Depth(0), file(nullptr), Active(0), OnLevels(0), Batch(0), Calls(0) {
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
    char path[sizeof(cfg.FilePath)];
    memcpy(path, cfg.FilePath, sizeof(path));
    path[sizeof(path) - 1] = '\0';
    file = osAppendOpen(path);
    if (file) {
        configuration = cfg;
        configuration.FilePath[sizeof(configuration.FilePath) - 1] = '\0';
    }
    SetActive(file ? 1 : 0);
}

void TPlatDebug::Close() {
    TPlatLockGuard guard(mutex);
    if (file) {
        if (Active) FlushPending();
        osAppendClose(file);
    }
    file = nullptr;
    SetActive(0);
    Pending.clear();
    Pending.shrink_to_fit();
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

int TPlatDebug::Print(unsigned level, const char* srcFile, const char* func, int line, const char* format,
                      ...) {
    if (!Wants(level)) return 0;
    TPlatLockGuard guard(mutex);
    if (!LevelOn(level)) return 0;
    if (!format || !*format) return WriteEntry(level, srcFile, func, line, "", 0);
    // Most texts fit on the stack; only longer ones take the measured heap text.
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(small, sizeof(small), format, args);
    va_end(args);
    char* text = nullptr;
    if (length >= static_cast<int>(sizeof(small))) FormatAlloc(format, again, &text, &length);
    va_end(again);
    // A format that could not be rendered, or renders to nothing, writes nothing.
    if (length <= 0) return 0;
    if (length >= static_cast<int>(sizeof(small)) && !text) return 0;
    int result = WriteEntry(level, srcFile, func, line, text ? text : small, length);
    free(text);
    return result;
}

int TPlatDebug::PrintDump(unsigned level, const char* srcFile, const char* func, int line, const char* title,
                          const void* buff, int length) {
    if (!Wants(level)) return 0;
    TPlatLockGuard guard(mutex);
    if (!LevelOn(level)) return 0;
    // The lines of one dump reach the file together, in one append when they fit the pending buffer;
    // the dump is on the file when the call returns, as every entry is with Flush set.
    ++Batch;
    int result = Print(level, srcFile, func, line, "-> %s, buffDump=[%p], lenDump=[%d]\n", title ? title : "",
                       buff, length);
    const unsigned char* bytes = static_cast<const unsigned char*>(buff);
    int i = 0;
    while (bytes && result == 1 && i < length) {
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
        result = WriteEntry(level, srcFile, func, line, text, n);
    }
    --Batch;
    // The dump is on the file when the call returns; inside an exported call, when that call ends (an
    // error's dump at once).
    if (Active && configuration.Flush && (!Calls || level == DBERRO_0) && !FlushPending())
        SetActive(result = 0);
    return result;
}

void TPlatDebug::CallBegin() {
    TPlatLockGuard guard(mutex);
    ++Calls;
}

void TPlatDebug::CallEnd() {
    TPlatLockGuard guard(mutex);
    if (Calls > 0) --Calls;
    if (Active && configuration.Flush && !FlushPending()) SetActive(0);
}

void TPlatDebug::FlushNow() {
    TPlatLockGuard guard(mutex);
    if (Active && !FlushPending()) SetActive(0);
}

int TPlatDebug::WriteEntry(unsigned level, const char* srcFile, const char* func, int line, const char* text,
                           int n) {
    TPlatLockGuard guard(mutex);
    if (!Active) {
        Close();
        return 1;
    }
    if (!text) {
        text = "";
        n = 0;
    }
    bool head = IsHeadLevel(level);
    unsigned mask = static_cast<unsigned>(configuration.HeadInfo) & 0xFFu;
    Line.clear();
    if ((n > 0 || head) && mask != 0) {
        // Header of at most 255 characters, cut where it does not fit.
        char header[256];
        header[0] = '\0';
        if (mask & 0x02)
            HeadAppend(header, sizeof(header), "[TID_%04lX][PID_%04lX]", osCurrentThreadId(),
                       osCurrentProcessId());
        if (mask & 0x04) {
            TOsLocalTime t;
            osGetLocalTime(t);
            HeadAppend(header, sizeof(header), "[%04d%02d%02d_%02d%02d%02d.%04d]", t.Year, t.Month, t.Day,
                       t.Hour, t.Minute, t.Second, t.Milliseconds);
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
        if (header[0]) {
            HeadAppendText(header, sizeof(header), ":");
            Line.append(header);
        }
    }
    bool isExit = n > 0 && strncmp(text, "</", 2) == 0;
    int depth = Depth;
    if (head && isExit && depth > 0) --depth;
    Line.append(static_cast<size_t>(depth) * 2, ' ');
    if (n > 0) {
        if (head) Line.push_back(' ');
        Line.append(text);
    }
    int ok = WriteLine(Line.data(), Line.size());
    // An error is on the file at once, also inside a call: it may be the last line before a crash.
    if (ok && level == DBERRO_0 && configuration.Flush && !Batch) ok = FlushPending();
    if (ok) Depth = depth;
    if (ok && head && n > 0 && !isExit) ++Depth;
    // An unusually long entry does not keep its memory for the rest of the process.
    if (Line.capacity() > 65536) std::string().swap(Line);
    SetActive(ok);
    return ok;
}

int TPlatDebug::Write(const char* s) {
    TPlatLockGuard guard(mutex);
    if (!s) return 0;
    return WriteLine(s, strlen(s));
}

int TPlatDebug::WriteLine(const char* data, size_t length) {
    if (configuration.TypeOut != 1 || !Active || !file) return 0;
    if (length == 0) return 1;
    if (configuration.Flush && !Batch && !Calls) return Append(data, length);
    // Without Flush whole entries gather and reach the file together, as a stream's buffer would; with
    // Flush, those of the calls in progress, until a call ends.
    const size_t kPendingMax = 16384;
    if (Pending.size() + length > kPendingMax && !FlushPending()) return 0;
    if (length >= kPendingMax) return Append(data, length);
    Pending.append(data, length);
    return 1;
}

int TPlatDebug::FlushPending() {
    if (Pending.empty()) return 1;
    int ok = Append(Pending.data(), Pending.size());
    Pending.clear();
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
