#include "os/platOS.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace {

// A recursive lock in user mode: an SRW lock guards the owner and the waiters, a condition variable
// carries the hand-over. Neither holds a kernel object; only a waiting thread enters the kernel.
struct TOsMutex {
    SRWLOCK Guard;
    CONDITION_VARIABLE Freed;
    DWORD Owner; // read without the guard only by the thread that may be the owner
    DWORD Depth; // touched by the owner only
    DWORD Waiters;
};

} // namespace

void* osMutexCreate() {
    auto* m = new (std::nothrow) TOsMutex;
    if (!m) return nullptr;
    InitializeSRWLock(&m->Guard);
    InitializeConditionVariable(&m->Freed);
    m->Owner = 0;
    m->Depth = 0;
    m->Waiters = 0;
    return m;
}

void osMutexDestroy(void* handle) {
    delete static_cast<TOsMutex*>(handle);
}

int osMutexLock(void* handle, DWORD timeoutMs) {
    if (!handle) return 0;
    auto* m = static_cast<TOsMutex*>(handle);
    DWORD me = GetCurrentThreadId();
    if (__atomic_load_n(&m->Owner, __ATOMIC_RELAXED) == me) {
        ++m->Depth;
        return 1;
    }
    ULONGLONG start = timeoutMs == INFINITE ? 0 : GetTickCount64();
    int got = 1;
    AcquireSRWLockExclusive(&m->Guard);
    while (m->Owner != 0) {
        DWORD wait = INFINITE;
        if (timeoutMs != INFINITE) {
            ULONGLONG spent = GetTickCount64() - start;
            if (spent >= timeoutMs) {
                got = 0;
                break;
            }
            wait = static_cast<DWORD>(timeoutMs - spent);
        }
        ++m->Waiters;
        SleepConditionVariableSRW(&m->Freed, &m->Guard, wait, 0);
        --m->Waiters;
    }
    if (got) {
        __atomic_store_n(&m->Owner, me, __ATOMIC_RELAXED);
        m->Depth = 1;
    }
    ReleaseSRWLockExclusive(&m->Guard);
    return got;
}

void osMutexUnlock(void* handle) {
    if (!handle) return;
    auto* m = static_cast<TOsMutex*>(handle);
    // Like ReleaseMutex, a thread that does not own the lock cannot release it.
    if (__atomic_load_n(&m->Owner, __ATOMIC_RELAXED) != GetCurrentThreadId()) return;
    if (--m->Depth > 0) return;
    AcquireSRWLockExclusive(&m->Guard);
    __atomic_store_n(&m->Owner, 0, __ATOMIC_RELAXED);
    bool wake = m->Waiters > 0;
    ReleaseSRWLockExclusive(&m->Guard);
    if (wake) WakeConditionVariable(&m->Freed);
}

unsigned long osCurrentThreadId() {
    return GetCurrentThreadId();
}
unsigned long osCurrentProcessId() {
    return GetCurrentProcessId();
}

void osGetLocalTime(TOsLocalTime& out) {
    SYSTEMTIME st;
    GetLocalTime(&st);
    out.Year = st.wYear;
    out.Month = st.wMonth;
    out.Day = st.wDay;
    out.Hour = st.wHour;
    out.Minute = st.wMinute;
    out.Second = st.wSecond;
    out.Milliseconds = st.wMilliseconds;
}

unsigned long long osTickMs() {
    return GetTickCount64();
}

std::string osMapPath(const char* windowsPath) {
    return windowsPath ? std::string(windowsPath) : std::string();
}

int osCreateDirectory(const char* windowsPath) {
    if (!windowsPath) return 0;
    std::u16string w = osAnsiToWide(windowsPath);
    return CreateDirectoryW(reinterpret_cast<LPCWSTR>(w.c_str()), nullptr) ? 1 : 0;
}

bool osIsFile(const char* windowsPath) {
    if (!windowsPath) return false;
    DWORD attributes = GetFileAttributesW(reinterpret_cast<LPCWSTR>(osAnsiToWide(windowsPath).c_str()));
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void* osAppendOpen(const char* windowsPath) {
    if (!windowsPath) return nullptr;
    std::u16string w = osAnsiToWide(windowsPath);
    // Append access only: the system then places every write at the end of the file as one piece.
    HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(w.c_str()),
                           FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

int osAppendWrite(void* file, const char* data, size_t length) {
    if (!file) return 0;
    while (length > 0) {
        DWORD chunk = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) return 0;
        data += written;
        length -= written;
    }
    return 1;
}

void osAppendClose(void* file) {
    if (file) CloseHandle(file);
}

long long osAppendSize(void* file) {
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file, &size)) return -1;
    return size.QuadPart;
}

namespace {

bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x, y;
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

// A named mutex per path (upper-cased, hashed): every session's processes when the global namespace
// lets this one in, else those of its own session.
HANDLE RotationLock(const std::u16string& path) {
    std::u16string upper = path;
    osWideUpper(upper);
    unsigned long long hash = 14695981039346656037ull;
    for (char16_t c : upper)
        hash = (hash ^ static_cast<unsigned>(c)) * 1099511628211ull;
    char name[96];
    for (const char* space : {"Global", "Local"}) {
        snprintf(name, sizeof(name), "%s\\LUCSP_TraceRotate_%016llX", space, hash);
        HANDLE h = CreateMutexA(nullptr, FALSE, name);
        if (h) return h;
    }
    return nullptr;
}

} // namespace

void* osAppendRotate(void* file, const char* windowsPath, const char* rotatedPath) {
    if (!file || !windowsPath || !rotatedPath) return nullptr;
    std::u16string path = osAnsiToWide(windowsPath);
    std::u16string rotated = osAnsiToWide(rotatedPath);
    LPCWSTR wpath = reinterpret_cast<LPCWSTR>(path.c_str());
    LPCWSTR wrotated = reinterpret_cast<LPCWSTR>(rotated.c_str());
    HANDLE lock = RotationLock(path);
    if (!lock) return nullptr;
    DWORD waited = WaitForSingleObject(lock, 10000);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(lock);
        return nullptr;
    }
    HANDLE named =
        CreateFileW(wpath, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (named != INVALID_HANDLE_VALUE) {
        bool same = SameFile(file, named);
        CloseHandle(named);
        // Every appender opens with delete sharing, so the open file can be renamed; a previous rotated
        // file still held by a late appender cannot be replaced, and is removed first.
        if (same && !MoveFileExW(wpath, wrotated, MOVEFILE_REPLACE_EXISTING) && DeleteFileW(wrotated))
            MoveFileExW(wpath, wrotated, MOVEFILE_REPLACE_EXISTING);
    }
    void* fresh = osAppendOpen(windowsPath);
    ReleaseMutex(lock);
    CloseHandle(lock);
    if (fresh) osAppendClose(file);
    return fresh;
}

std::string osSystemMessage(DWORD code) {
    char buf[1000] = {0};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0x400,
                             buf, sizeof(buf), nullptr);
    if (n == 0) return std::string();
    std::string s(buf, n);
    // The system ends its messages with a line end.
    s.erase(s.size() >= 2 ? s.size() - 2 : 0);
    return s;
}

std::string osFileVersion(const char* path) {
    if (!path) return std::string();
    std::u16string w = osAnsiToWide(path);
    LPCWSTR wp = reinterpret_cast<LPCWSTR>(w.c_str());
    DWORD dummy = 0;
    DWORD size = GetFileVersionInfoSizeW(wp, &dummy);
    if (size == 0) return std::string();
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(wp, 0, size, block.data())) return std::string();
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<LPVOID*>(&info), &len) || !info)
        return std::string();
    char text[64];
    snprintf(text, sizeof(text), "%d.%d.%d", static_cast<int>(HIWORD(info->dwFileVersionMS) & 0xFF),
             static_cast<int>(LOWORD(info->dwFileVersionMS) & 0xFF),
             static_cast<int>(LOWORD(info->dwFileVersionLS) & 0xFF));
    return text;
}

std::string osExecutablePath() {
    char buf[MAX_PATH * 2] = {0};
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof(buf) - 1);
    return std::string(buf, n);
}

bool osGetEnvironment(const char* name, std::string& value) {
    value.clear();
    char buf[256];
    DWORD n = GetEnvironmentVariableA(name, buf, sizeof(buf));
    if (n == 0) return GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    if (n < sizeof(buf)) {
        value.assign(buf, n);
        return true;
    }
    std::string big(n, '\0');
    n = GetEnvironmentVariableA(name, &big[0], static_cast<DWORD>(big.size()));
    big.resize(n < big.size() ? n : 0);
    value.swap(big);
    return true;
}

bool osSetEnvironment(const char* name, const char* value) {
    return SetEnvironmentVariableA(name, value) != FALSE;
}

bool osPinModule() {
    // advapi32 unloads a provider with its last context; the next context would load and start it again.
    HMODULE self = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                              reinterpret_cast<LPCWSTR>(&osPinModule), &self) != FALSE;
}

std::u16string osAnsiToWide(const char* text) {
    std::u16string out;
    if (!text || !*text) return out;
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (n <= 0) return out;
    out.resize(static_cast<size_t>(n));
    MultiByteToWideChar(CP_ACP, 0, text, -1, reinterpret_cast<LPWSTR>(&out[0]), n);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

void osWideUpper(std::u16string& text) {
    if (!text.empty()) CharUpperBuffW(reinterpret_cast<LPWSTR>(&text[0]), static_cast<DWORD>(text.size()));
}

unsigned long osThreadSlotCreate(TOsThreadCleanup cleanup) {
    DWORD index = FlsAlloc(cleanup);
    return index == FLS_OUT_OF_INDEXES ? 0 : static_cast<unsigned long>(index) + 1;
}

void* osThreadSlotGet(unsigned long slot) {
    return slot ? FlsGetValue(static_cast<DWORD>(slot - 1)) : nullptr;
}

bool osThreadSlotSet(unsigned long slot, void* value) {
    return slot && FlsSetValue(static_cast<DWORD>(slot - 1), value) != FALSE;
}

void osThreadSlotFree(unsigned long slot) {
    if (slot) FlsFree(static_cast<DWORD>(slot - 1));
}

void osShutdown() {}
