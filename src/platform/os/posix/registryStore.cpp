#include "os/posix/registryStore.h"

#include "os/platOS.h"

#include <openssl/sha.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lureg {

namespace {

// File names stay well below the 255 bytes Linux allows; longer names are stored under a digest.
constexpr size_t kMaxEncodedName = 200;
constexpr const char* kHeaderMagic = "LUREG ";
// A value file is its data plus a header line that holds at most the escaped value name.
constexpr size_t kMaxValueFileBytes = kMaxValueDataBytes + 3 * 16383 + 64;

struct TTypeName {
    DWORD Type;
    const char* Name;
};
const TTypeName kTypeNames[] = {
    {REG_NONE, "REG_NONE"},
    {REG_SZ, "REG_SZ"},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
    {REG_BINARY, "REG_BINARY"},
    {REG_DWORD, "REG_DWORD"},
    {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
    {REG_LINK, "REG_LINK"},
    {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {REG_RESOURCE_LIST, "REG_RESOURCE_LIST"},
    {9, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {10, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {REG_QWORD, "REG_QWORD"},
};

std::atomic<unsigned> gTempCounter{0};

char HexDigit(unsigned v) {
    return "0123456789ABCDEF"[v & 0x0F];
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void AppendEscaped(std::string& out, unsigned char c) {
    out += '%';
    out += HexDigit(c >> 4);
    out += HexDigit(c);
}

std::string PercentDecode(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            int hi = HexValue(s[i + 1]);
            int lo = HexValue(s[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

// Names in file names: printable ASCII stays readable; separators, the escape and marker characters,
// blanks, control and 8-bit bytes are escaped as %XX.
std::string EncodeForFile(const std::string& folded) {
    std::string out;
    out.reserve(folded.size());
    for (size_t i = 0; i < folded.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(folded[i]);
        bool keep = c > 0x20 && c < 0x7F && c != '/' && c != '\\' && c != '%' && c != '@';
        if (i == 0 && (c == '.' || c == '~')) keep = false;
        if (keep)
            out += static_cast<char>(c);
        else
            AppendEscaped(out, c);
    }
    if (out.size() > kMaxEncodedName) {
        unsigned char digest[SHA256_DIGEST_LENGTH];
        SHA256(reinterpret_cast<const unsigned char*>(folded.data()), folded.size(), digest);
        out = "~";
        for (unsigned char d : digest) {
            out += "0123456789abcdef"[d >> 4];
            out += "0123456789abcdef"[d & 0x0F];
        }
    }
    return out;
}

// The original spelling inside a value file's header: only what would break the line is escaped.
std::string EncodeForHeader(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (c <= 0x20 || c >= 0x7F || c == '%')
            AppendEscaped(out, c);
        else
            out += static_cast<char>(c);
    }
    return out;
}

std::string TypeToText(DWORD type) {
    for (const TTypeName& t : kTypeNames)
        if (t.Type == type) return t.Name;
    return std::to_string(type);
}

bool TextToType(const std::string& text, DWORD& type) {
    for (const TTypeName& t : kTypeNames) {
        if (text == t.Name) {
            type = t.Type;
            return true;
        }
    }
    if (text.empty() || text.size() > 10) return false;
    unsigned long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > 0xFFFFFFFFull) return false;
    type = static_cast<DWORD>(v);
    return true;
}

bool WriteAll(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Opens without following a link and without waiting: a FIFO or device planted as a value file is
// refused at once instead of blocking the reader (the library reads its settings while it loads), and a
// file larger than any value is refused before anything is read.
LONG ReadWhole(const std::string& path, std::vector<BYTE>& out) {
    out.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return errno == ELOOP ? ERROR_REGISTRY_CORRUPT : ErrnoToStatus(errno);
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return ERROR_REGISTRY_CORRUPT;
    }
    if (st.st_size > static_cast<off_t>(kMaxValueFileBytes)) {
        close(fd);
        return ERROR_FILE_TOO_LARGE;
    }
    out.reserve(static_cast<size_t>(st.st_size));
    BYTE buf[16384];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            close(fd);
            out.clear();
            return ErrnoToStatus(err);
        }
        if (n == 0) break;
        // A file that grows while it is read is cut off by the same limit.
        if (out.size() + static_cast<size_t>(n) > kMaxValueFileBytes) {
            close(fd);
            out.clear();
            return ERROR_FILE_TOO_LARGE;
        }
        out.insert(out.end(), buf, buf + n);
    }
    close(fd);
    return ERROR_SUCCESS;
}

std::string TempName() {
    char name[80];
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    // Distinct per process and call; the clock part keeps a reused pid from meeting a crashed writer's file.
    snprintf(name, sizeof(name), ".tmp-%lu-%u-%lx", static_cast<unsigned long>(getpid()),
             gTempCounter.fetch_add(1), static_cast<unsigned long>(ts.tv_nsec ^ (ts.tv_sec << 20)));
    return name;
}

// Writes a small file in a directory by way of a temporary file and a rename.
LONG ReplaceFile(const std::string& dir, const std::string& fileName, const std::string& head,
                 const BYTE* data, size_t length, mode_t mode) {
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 5 && fd < 0; ++attempt) {
        tmp = dir + "/" + TempName();
        fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        int err = errno;
        return err == ENOENT ? ERROR_KEY_DELETED : ErrnoToStatus(err);
    }
    bool ok = WriteAll(fd, head.data(), head.size()) && (length == 0 || WriteAll(fd, data, length));
    int err = ok ? 0 : errno;
    // The data is on disk before the name points at it, so that even a power loss leaves old or new.
    if (ok && fdatasync(fd) != 0) {
        ok = false;
        err = errno;
    }
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(tmp.c_str(), (dir + "/" + fileName).c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tmp.c_str());
        return err == ENOENT ? ERROR_KEY_DELETED : ErrnoToStatus(err);
    }
    return ERROR_SUCCESS;
}

bool IsDirectoryEntry(const std::string& dir, const struct dirent* e) {
    if (e->d_type == DT_DIR) return true;
    if (e->d_type != DT_UNKNOWN) return false;
    struct stat st {};
    return lstat((dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularEntry(const std::string& dir, const struct dirent* e) {
    if (e->d_type == DT_REG) return true;
    if (e->d_type != DT_UNKNOWN) return false;
    struct stat st {};
    return lstat((dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

std::string FoldName(const std::string& name) {
    std::string out(name);
    for (char& ch : out) {
        unsigned char c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) ch = static_cast<char>(c + 0x20);
    }
    return out;
}

std::string KeyFileName(const std::string& name) {
    return EncodeForFile(FoldName(name));
}

std::string ValueFileName(const std::string& name) {
    return "@" + EncodeForFile(FoldName(name));
}

std::string DecodeFileName(const std::string& fileName) {
    return PercentDecode(fileName);
}

std::string RegistryRoot() {
    // The data root is the parent of the mapped drive folder (C:\ -> $LUCSP_ROOT/C).
    std::string drive = osMapPath("C:");
    if (drive.size() >= 2 && drive.compare(drive.size() - 2, 2, "/C") == 0) drive.resize(drive.size() - 2);
    return drive + "/registry";
}

std::string HiveDirectory(const std::string& regRoot, const char* hive) {
    return regRoot + "/" + hive;
}

LONG EnsureDirectory(const std::string& path, bool privateHive) {
    if (path.empty()) return ERROR_PATH_NOT_FOUND;
    struct stat st {};
    size_t pos = 1;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        std::string level = path.substr(0, next);
        if (stat(level.c_str(), &st) != 0 && mkdir(level.c_str(), privateHive ? 0700 : 0755) != 0 &&
            errno != EEXIST)
            return ErrnoToStatus(errno);
        pos = next + 1;
    }
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
    return ERROR_SUCCESS;
}

LONG ReadValue(const std::string& keyDir, const std::string& fileName, TValueRecord& out) {
    std::vector<BYTE> raw;
    LONG status = ReadWhole(keyDir + "/" + fileName, raw);
    if (status != ERROR_SUCCESS) return status;
    size_t magic = strlen(kHeaderMagic);
    if (raw.size() < magic || memcmp(raw.data(), kHeaderMagic, magic) != 0) return ERROR_REGISTRY_CORRUPT;
    auto eol = std::find(raw.begin() + static_cast<long>(magic), raw.end(), static_cast<BYTE>('\n'));
    if (eol == raw.end()) return ERROR_REGISTRY_CORRUPT;
    std::string line(raw.begin() + static_cast<long>(magic), eol);
    size_t blank = line.find(' ');
    std::string typeText = blank == std::string::npos ? line : line.substr(0, blank);
    std::string name = blank == std::string::npos ? std::string() : PercentDecode(line.substr(blank + 1));
    if (!TextToType(typeText, out.Type)) return ERROR_REGISTRY_CORRUPT;
    // A file renamed by hand keeps the name its file name says.
    out.Name = ValueFileName(name) == fileName ? name : PercentDecode(fileName.substr(1));
    out.Data.assign(eol + 1, raw.end());
    return ERROR_SUCCESS;
}

LONG WriteValue(const std::string& keyDir, const std::string& fileName, const std::string& name, DWORD type,
                const BYTE* data, DWORD length, bool privateHive) {
    if (length > kMaxValueDataBytes) return ERROR_INVALID_PARAMETER;
    std::string head = std::string(kHeaderMagic) + TypeToText(type) + " " + EncodeForHeader(name) + "\n";
    return ReplaceFile(keyDir, fileName, head, data, length, privateHive ? 0600 : 0644);
}

LONG DeleteValueFile(const std::string& keyDir, const std::string& fileName) {
    if (unlink((keyDir + "/" + fileName).c_str()) != 0) return ErrnoToStatus(errno);
    return ERROR_SUCCESS;
}

std::string KeyDisplayName(const std::string& keyDir, const std::string& fileName) {
    std::vector<BYTE> raw;
    if (ReadWhole(keyDir + "/" + fileName + "/.key", raw) == ERROR_SUCCESS) {
        std::string name(raw.begin(), raw.end());
        if (KeyFileName(name) == fileName) return name;
    }
    return PercentDecode(fileName);
}

void WriteKeyName(const std::string& keyDir, const std::string& name, bool privateHive) {
    ReplaceFile(keyDir, ".key", std::string(), reinterpret_cast<const BYTE*>(name.data()), name.size(),
                privateHive ? 0600 : 0644);
}

LONG ListKey(const std::string& keyDir, std::vector<std::string>* subKeys, std::vector<std::string>* values) {
    if (subKeys) subKeys->clear();
    if (values) values->clear();
    DIR* d = opendir(keyDir.c_str());
    if (!d) return errno == ENOENT ? ERROR_KEY_DELETED : ErrnoToStatus(errno);
    while (struct dirent* e = readdir(d)) {
        const char* n = e->d_name;
        if (n[0] == '.') continue;
        if (n[0] == '@') {
            if (values && IsRegularEntry(keyDir, e)) values->push_back(n);
        } else if (subKeys && IsDirectoryEntry(keyDir, e)) {
            subKeys->push_back(n);
        }
    }
    closedir(d);
    if (subKeys) std::sort(subKeys->begin(), subKeys->end());
    if (values) std::sort(values->begin(), values->end());
    return ERROR_SUCCESS;
}

bool KeyIsReadOnly(const std::string& keyDir) {
    struct stat st {};
    if (lstat((keyDir + "/.readonly").c_str(), &st) == 0) return true;
    return access(keyDir.c_str(), W_OK) != 0 && errno != ENOENT;
}

LONG RemoveKeyDirectory(const std::string& keyDir) {
    DIR* d = opendir(keyDir.c_str());
    if (!d) return ErrnoToStatus(errno);
    std::vector<std::string> files;
    bool hasSubKeys = false;
    while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        if (IsDirectoryEntry(keyDir, e))
            hasSubKeys = true;
        else
            files.push_back(e->d_name);
    }
    closedir(d);
    // As on Windows, only a key without subkeys can go.
    if (hasSubKeys) return ERROR_ACCESS_DENIED;
    for (const std::string& f : files) {
        if (unlink((keyDir + "/" + f).c_str()) != 0 && errno != ENOENT) return ErrnoToStatus(errno);
    }
    if (rmdir(keyDir.c_str()) != 0)
        return errno == ENOTEMPTY || errno == EEXIST ? ERROR_ACCESS_DENIED : ErrnoToStatus(errno);
    return ERROR_SUCCESS;
}

LONG ErrnoToStatus(int err) {
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
    case ENOTDIR:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
        return ERROR_OUTOFMEMORY;
    case ENAMETOOLONG:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_REGISTRY_IO_FAILED;
    }
}

TRegLock::TRegLock(const std::string& regRoot, bool exclusive) : Fd(-1) {
    Fd = open((regRoot + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (Fd < 0) return;
    while (flock(Fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR) {
            close(Fd);
            Fd = -1;
            return;
        }
    }
}

TRegLock::~TRegLock() {
    // Closing the descriptor releases the lock.
    if (Fd >= 0) close(Fd);
}

FILETIME DirectoryTime(const std::string& dir) {
    FILETIME ft{0, 0};
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) return ft;
    unsigned long long t =
        (static_cast<unsigned long long>(st.st_mtim.tv_sec) + 11644473600ull) * 10000000ull +
        static_cast<unsigned long long>(st.st_mtim.tv_nsec) / 100ull;
    ft.dwLowDateTime = static_cast<DWORD>(t & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return ft;
}

} // namespace lureg
