#include "os/platOS.h"
#include "platform/platNSTATUS.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// The recursive pthread mutex (a futex: no system call unless contended) with its owner beside it, so
// that, as on Windows, a thread that does not hold the lock cannot release it.
struct TOsMutex {
    pthread_mutex_t Mutex;
    std::atomic<const void*> Owner{nullptr};
    unsigned Depth = 0; // touched by the owner only
};

// An address unique to each running thread, cheaper to get than its id.
const void* ThisThread() {
    static thread_local char marker;
    return &marker;
}

} // namespace

void* osMutexCreate() {
    auto* m = new (std::nothrow) TOsMutex;
    if (!m) return nullptr;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int rc = pthread_mutex_init(&m->Mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        delete m;
        return nullptr;
    }
    return m;
}

void osMutexDestroy(void* handle) {
    if (!handle) return;
    auto* m = static_cast<TOsMutex*>(handle);
    pthread_mutex_destroy(&m->Mutex);
    delete m;
}

int osMutexLock(void* handle, DWORD timeoutMs) {
    if (!handle) return 0;
    auto* m = static_cast<TOsMutex*>(handle);
    int rc;
    if (timeoutMs == INFINITE) {
        rc = pthread_mutex_lock(&m->Mutex);
    } else {
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += timeoutMs / 1000;
        until.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        rc = pthread_mutex_timedlock(&m->Mutex, &until);
    }
    if (rc != 0) return 0;
    if (m->Depth++ == 0) m->Owner.store(ThisThread(), std::memory_order_relaxed);
    return 1;
}

void osMutexUnlock(void* handle) {
    if (!handle) return;
    auto* m = static_cast<TOsMutex*>(handle);
    if (m->Owner.load(std::memory_order_relaxed) != ThisThread()) return;
    if (--m->Depth == 0) m->Owner.store(nullptr, std::memory_order_relaxed);
    pthread_mutex_unlock(&m->Mutex);
}

unsigned long osCurrentThreadId() {
    return static_cast<unsigned long>(syscall(SYS_gettid));
}
unsigned long osCurrentProcessId() {
    return static_cast<unsigned long>(getpid());
}

void osGetLocalTime(TOsLocalTime& out) {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm t{};
    localtime_r(&tv.tv_sec, &t);
    out.Year = t.tm_year + 1900;
    out.Month = t.tm_mon + 1;
    out.Day = t.tm_mday;
    out.Hour = t.tm_hour;
    out.Minute = t.tm_min;
    out.Second = t.tm_sec;
    out.Milliseconds = static_cast<int>(tv.tv_usec / 1000);
}

unsigned long long osTickMs() {
    using namespace std::chrono;
    return static_cast<unsigned long long>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

static std::string DataRoot() {
    const char* root = getenv("LUCSP_ROOT");
    if (root && *root) return root;
    const char* xdg = getenv("XDG_DATA_HOME");
    if (xdg && *xdg) return std::string(xdg) + "/lucsp";
    const char* home = getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/share/lucsp";
}

std::string osMapPath(const char* windowsPath) {
    if (!windowsPath) return std::string();
    std::string p(windowsPath);
    if (p.size() >= 2 && p[1] == ':' && ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z'))) {
        std::string rest = p.substr(2);
        for (char& c : rest)
            if (c == '\\') c = '/';
        while (!rest.empty() && rest[0] == '/')
            rest.erase(0, 1);
        std::string drive(1, static_cast<char>(p[0] & ~0x20));
        return DataRoot() + "/" + drive + (rest.empty() ? "" : "/" + rest);
    }
    for (char& c : p)
        if (c == '\\') c = '/';
    return p;
}

// The data root and the drive folder exist on Windows; create them so that mapped paths behave alike.
static void EnsureDriveFolder(const std::string& mapped) {
    std::string root = DataRoot();
    if (mapped.compare(0, root.size(), root) != 0 || mapped.size() < root.size() + 2) return;
    std::string acc;
    for (size_t i = 0; i < root.size() + 2; ++i) {
        acc += mapped[i];
        if ((mapped[i] == '/' && i > 0) || i + 1 == root.size() + 2) mkdir(acc.c_str(), 0700);
    }
}

int osCreateDirectory(const char* windowsPath) {
    if (!windowsPath) return 0;
    std::string mapped = osMapPath(windowsPath);
    while (mapped.size() > 1 && mapped.back() == '/')
        mapped.pop_back();
    EnsureDriveFolder(mapped);
    if (mkdir(mapped.c_str(), 0777) == 0) return 1;
    SetLastError(errno == EEXIST ? ERROR_ALREADY_EXISTS : ERROR_PATH_NOT_FOUND);
    return 0;
}

bool osIsFile(const char* windowsPath) {
    struct stat st;
    return windowsPath && stat(osMapPath(windowsPath).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void* osAppendOpen(const char* windowsPath) {
    if (!windowsPath) return nullptr;
    int fd = open(osMapPath(windowsPath).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    return new (std::nothrow) int(fd);
}

int osAppendWrite(void* file, const char* data, size_t length) {
    if (!file) return 0;
    int fd = *static_cast<int*>(file);
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return 1;
}

void osAppendClose(void* file) {
    if (!file) return;
    int* fd = static_cast<int*>(file);
    close(*fd);
    delete fd;
}

long long osAppendSize(void* file) {
    // The end of an append-only file is its size; asked after every append, this costs less than fstat
    // (which glibc makes a path walk of "").
    if (!file) return -1;
    off_t end = lseek(*static_cast<int*>(file), 0, SEEK_END);
    return end < 0 ? -1 : static_cast<long long>(end);
}

void* osAppendRotate(void* file, const char* windowsPath, const char* rotatedPath) {
    if (!file || !windowsPath || !rotatedPath) return nullptr;
    int fd = *static_cast<int*>(file);
    std::string path = osMapPath(windowsPath);
    // The lock lives on the file itself: those who may rename it are exactly those who append to it.
    while (flock(fd, LOCK_EX) != 0)
        if (errno != EINTR) return nullptr;
    struct stat mine, named;
    if (fstat(fd, &mine) == 0 && stat(path.c_str(), &named) == 0 && mine.st_dev == named.st_dev &&
        mine.st_ino == named.st_ino)
        rename(path.c_str(), osMapPath(rotatedPath).c_str());
    void* fresh = osAppendOpen(windowsPath);
    flock(fd, LOCK_UN);
    if (fresh) osAppendClose(file);
    return fresh;
}

// Linux has no message tables: the texts of the codes the library meets stand in for FormatMessage.
std::string osSystemMessage(DWORD code) {
    if (const char* text = GetWin32ErrorText(code)) return text;
    if (IsKnownNSTATUS(code)) return GetNSTATUSInfo(code).Description;
    return std::string();
}

std::string osFileVersion(const char*) {
    return std::string();
}

std::string osExecutablePath() {
    char buf[PATH_MAX + 1] = {0};
    ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool osGetEnvironment(const char* name, std::string& value) {
    const char* text = getenv(name);
    value = text ? text : "";
    return text != nullptr;
}

bool osSetEnvironment(const char* name, const char* value) {
    return (value ? setenv(name, value, 1) : unsetenv(name)) == 0;
}

// The ANSI code page is taken as Latin-1 on Linux.
std::u16string osAnsiToWide(const char* text) {
    std::u16string out;
    if (!text) return out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
        out.push_back(static_cast<char16_t>(*p));
    return out;
}

void osWideUpper(std::u16string& text) {
    for (char16_t& c : text) {
        if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
            c = static_cast<char16_t>(c - 0x20);
        else if (c == 0xFF)
            c = 0x178;
    }
}

// The registry and certificate-store stand-ins keep their handle tables until the library unloads.
void osRegistryShutdown();
void osCertStoreShutdown();

bool osPinModule() {
    // As on Windows: a later dlclose leaves the library in place until the process ends.
    Dl_info info;
    if (!dladdr(reinterpret_cast<void*>(&osPinModule), &info) || !info.dli_fname) return false;
    return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

unsigned long osThreadSlotCreate(TOsThreadCleanup cleanup) {
    pthread_key_t key;
    return pthread_key_create(&key, cleanup) == 0 ? static_cast<unsigned long>(key) + 1 : 0;
}

void* osThreadSlotGet(unsigned long slot) {
    return slot ? pthread_getspecific(static_cast<pthread_key_t>(slot - 1)) : nullptr;
}

bool osThreadSlotSet(unsigned long slot, void* value) {
    return slot && pthread_setspecific(static_cast<pthread_key_t>(slot - 1), value) == 0;
}

void osThreadSlotFree(unsigned long slot) {
    if (slot) pthread_key_delete(static_cast<pthread_key_t>(slot - 1));
}

void osShutdown() {
    osCertStoreShutdown();
    osRegistryShutdown();
}
