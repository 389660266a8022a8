// The ADVAPI32 registry functions on Linux, over the file store of registryStore.cpp. Results, sizes and
// buffer rules follow Windows; the registry view is that of a 32-bit process on 64-bit Windows.
#include "os/posix/registryStore.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

using namespace lureg;

namespace {

constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;
constexpr REGSAM kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

// One open key. Immutable once created, so that a copy of the pointer can be used without a lock.
struct TRegKey {
    std::string RegRoot;
    bool Machine = true;
    // Physical key path below the hive: the key file names, after view redirection.
    std::vector<std::string> Path;
    std::string Dir;
    REGSAM Access = 0;
    bool IsRoot = false;
    dev_t Dev = 0;
    ino_t Ino = 0;
};
typedef std::shared_ptr<const TRegKey> TRegKeyPtr;

enum class TView { Default, Bits32, Bits64 };

// The handle table is made on first use and freed by osRegistryShutdown when the library unloads. The
// mutex is trivially destructible, so late closes during exit still find a usable lock.
std::mutex& HandlesMutex() {
    static std::mutex m;
    return m;
}
std::unordered_map<const void*, TRegKeyPtr>* gHandles = nullptr;
// Called with HandlesMutex held.
std::unordered_map<const void*, TRegKeyPtr>& Handles() {
    if (!gHandles) gHandles = new std::unordered_map<const void*, TRegKeyPtr>;
    return *gHandles;
}

const char* HiveName(bool machine) {
    return machine ? "HKLM" : "HKCU";
}

TRegKeyPtr RootKey(bool machine) {
    auto k = std::make_shared<TRegKey>();
    k->RegRoot = RegistryRoot();
    k->Machine = machine;
    k->Dir = HiveDirectory(k->RegRoot, HiveName(machine));
    k->Access = KEY_ALL_ACCESS;
    k->IsRoot = true;
    return k;
}

TRegKeyPtr Resolve(HKEY hKey) {
    if (hKey == HKEY_LOCAL_MACHINE) return RootKey(true);
    if (hKey == HKEY_CURRENT_USER) return RootKey(false);
    if (!hKey) return nullptr;
    std::lock_guard<std::mutex> guard(HandlesMutex());
    auto it = Handles().find(hKey);
    return it == Handles().end() ? nullptr : it->second;
}

HKEY NewHandle(const std::shared_ptr<TRegKey>& key) {
    std::lock_guard<std::mutex> guard(HandlesMutex());
    Handles()[key.get()] = key;
    return reinterpret_cast<HKEY>(const_cast<TRegKey*>(key.get()));
}

// A handle whose key was deleted (or deleted and made again) answers as on Windows.
LONG CheckAlive(const TRegKey& key) {
    if (key.IsRoot) return ERROR_SUCCESS;
    struct stat st {};
    if (stat(key.Dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_ino != key.Ino ||
        st.st_dev != key.Dev)
        return ERROR_KEY_DELETED;
    return ERROR_SUCCESS;
}

LONG ViewOf(REGSAM sam, TView& view) {
    REGSAM flags = sam & KEY_WOW64_RES;
    if (flags == KEY_WOW64_RES) return ERROR_INVALID_PARAMETER;
    view = flags == KEY_WOW64_32KEY   ? TView::Bits32
           : flags == KEY_WOW64_64KEY ? TView::Bits64
                                      : TView::Default;
    return ERROR_SUCCESS;
}

// Generic rights and MAXIMUM_ALLOWED become key rights; the view flags are no rights.
REGSAM MapAccess(REGSAM sam, bool writable) {
    REGSAM a = sam & ~(KEY_WOW64_RES | MAXIMUM_ALLOWED | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE |
                       GENERIC_ALL);
    if (sam & (GENERIC_READ | GENERIC_EXECUTE)) a |= KEY_READ;
    if (sam & GENERIC_WRITE) a |= KEY_WRITE;
    if (sam & GENERIC_ALL) a |= KEY_ALL_ACCESS;
    if (sam & MAXIMUM_ALLOWED) a |= writable ? KEY_ALL_ACCESS : KEY_READ;
    return a;
}

struct TComponent {
    std::string FileName;
    std::string Spelling; // empty for components taken from the handle's own path
};

// Splits a subkey path: a leading backslash is an error, repeated and trailing ones are skipped.
LONG ParseSubKey(const char* subKey, std::vector<std::string>& parts) {
    parts.clear();
    if (!subKey) return ERROR_SUCCESS;
    if (subKey[0] == '\\') return ERROR_BAD_PATHNAME;
    std::string cur;
    for (const char* p = subKey;; ++p) {
        if (*p == '\\' || *p == '\0') {
            if (!cur.empty()) {
                if (cur.size() > kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
                parts.push_back(cur);
                cur.clear();
            }
            if (*p == '\0') break;
        } else {
            cur += *p;
        }
    }
    return ERROR_SUCCESS;
}

// The physical path of a subkey. HKLM\SOFTWARE is redirected to HKLM\SOFTWARE\WOW6432Node in the 32-bit
// view: always with KEY_WOW64_32KEY, and by default when the path passes HKLM\SOFTWARE from the hive
// root (the default view of a 32-bit process). KEY_WOW64_64KEY and HKCU are never redirected.
std::vector<TComponent> Compose(const TRegKey& base, const std::vector<std::string>& parts, TView view) {
    std::vector<TComponent> full;
    for (const std::string& f : base.Path)
        full.push_back({f, std::string()});
    for (const std::string& p : parts)
        full.push_back({KeyFileName(p), p});
    bool redirect = base.Machine && (view == TView::Bits32 || (view == TView::Default && base.Path.empty()));
    if (redirect && !full.empty() && full[0].FileName == "software" &&
        (full.size() == 1 || full[1].FileName != "wow6432node"))
        full.insert(full.begin() + 1, TComponent{"wow6432node", "Wow6432Node"});
    return full;
}

std::string DirOf(const TRegKey& base, const std::vector<TComponent>& full) {
    std::string dir = HiveDirectory(base.RegRoot, HiveName(base.Machine));
    for (const TComponent& c : full)
        dir += "/" + c.FileName;
    return dir;
}

std::string ValueName(LPCSTR name) {
    return name ? std::string(name) : std::string();
}

// Opens an existing key, or creates it (with its missing parents) when create is set.
LONG OpenOrCreate(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, bool create, PHKEY phkResult,
                  LPDWORD lpdwDisposition) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    TRegKeyPtr base = Resolve(hKey);
    if (!base) return ERROR_INVALID_HANDLE;
    TView view;
    LONG status = ViewOf(samDesired, view);
    if (status != ERROR_SUCCESS) return status;
    std::vector<std::string> parts;
    if ((status = ParseSubKey(lpSubKey, parts)) != ERROR_SUCCESS) return status;
    std::vector<TComponent> full = Compose(*base, parts, view);
    bool privateHive = !base->Machine;

    auto key = std::make_shared<TRegKey>();
    key->RegRoot = base->RegRoot;
    key->Machine = base->Machine;
    key->Dir = DirOf(*base, full);
    for (const TComponent& c : full)
        key->Path.push_back(c.FileName);
    key->IsRoot = full.empty();

    bool created = false;
    if (create) {
        std::string hive = HiveDirectory(base->RegRoot, HiveName(base->Machine));
        if ((status = EnsureDirectory(hive, privateHive)) != ERROR_SUCCESS) return status;
        TRegLock lock(base->RegRoot, false);
        if ((status = CheckAlive(*base)) != ERROR_SUCCESS) return status;
        std::string dir = hive;
        for (const TComponent& c : full) {
            std::string parent = dir;
            dir += "/" + c.FileName;
            struct stat st {};
            if (stat(dir.c_str(), &st) == 0) {
                if (!S_ISDIR(st.st_mode)) return ERROR_REGISTRY_CORRUPT;
                created = false;
                continue;
            }
            if (!(base->Access & KEY_CREATE_SUB_KEY) || KeyIsReadOnly(parent)) return ERROR_ACCESS_DENIED;
            if (mkdir(dir.c_str(), privateHive ? 0700 : 0755) == 0) {
                WriteKeyName(dir, c.Spelling.empty() ? DecodeFileName(c.FileName) : c.Spelling, privateHive);
                created = true;
            } else if (errno == EEXIST) {
                created = false;
            } else {
                return ErrnoToStatus(errno);
            }
        }
    } else {
        if ((status = CheckAlive(*base)) != ERROR_SUCCESS) return status;
        if (key->IsRoot) EnsureDirectory(key->Dir, privateHive);
    }

    struct stat st {};
    if (stat(key->Dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
    key->Dev = st.st_dev;
    key->Ino = st.st_ino;
    bool writable = !KeyIsReadOnly(key->Dir);
    key->Access = MapAccess(samDesired, writable);
    if ((key->Access & kWriteRights) && !writable) return ERROR_ACCESS_DENIED;
    *phkResult = NewHandle(key);
    if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

// Reads one value of an enumeration by index; a value removed meanwhile makes it list the key again.
LONG EnumValueAt(const TRegKey& key, DWORD index, TValueRecord& rec) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::vector<std::string> values;
        LONG status = ListKey(key.Dir, nullptr, &values);
        if (status != ERROR_SUCCESS) return status;
        if (index >= values.size()) return ERROR_NO_MORE_ITEMS;
        status = ReadValue(key.Dir, values[index], rec);
        if (status != ERROR_FILE_NOT_FOUND) return status;
    }
    return ERROR_NO_MORE_ITEMS;
}

// The subkey directories of an open key, listed once; a hive without any key yet has none.
LONG ListSubKeys(HKEY hKey, TRegKeyPtr& key, std::vector<std::string>& subKeys) {
    key = Resolve(hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    if (!(key->Access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    LONG status = CheckAlive(*key);
    if (status != ERROR_SUCCESS) return status;
    status = ListKey(key->Dir, &subKeys, nullptr);
    if (status == ERROR_KEY_DELETED && key->IsRoot) status = ERROR_SUCCESS;
    return status;
}

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Copies value data as RegQueryValueExA does: the size always, the data when it fits, and a terminating
// zero behind a string that has none when the buffer has room for it.
LONG CopyData(const TValueRecord& rec, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    DWORD size = static_cast<DWORD>(rec.Data.size());
    LONG status = ERROR_SUCCESS;
    if (lpData) {
        if (size > *lpcbData) {
            status = ERROR_MORE_DATA;
        } else {
            if (size) memcpy(lpData, rec.Data.data(), size);
            if (IsStringType(rec.Type) && size < *lpcbData && size > 0 && lpData[size - 1] != 0)
                lpData[size] = 0;
        }
    }
    if (lpType) *lpType = rec.Type;
    if (lpcbData) *lpcbData = size;
    return status;
}

LONG DeleteKey(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired) {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    TRegKeyPtr base = Resolve(hKey);
    if (!base) return ERROR_INVALID_HANDLE;
    TView view;
    LONG status = ViewOf(samDesired, view);
    if (status != ERROR_SUCCESS) return status;
    std::vector<std::string> parts;
    if ((status = ParseSubKey(lpSubKey, parts)) != ERROR_SUCCESS) return status;
    std::vector<TComponent> full = Compose(*base, parts, view);
    if (full.empty()) return ERROR_ACCESS_DENIED;
    std::string dir = DirOf(*base, full);
    TRegLock lock(base->RegRoot, true);
    if ((status = CheckAlive(*base)) != ERROR_SUCCESS) return status;
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
    if (KeyIsReadOnly(dir)) return ERROR_ACCESS_DENIED;
    return RemoveKeyDirectory(dir);
}

} // namespace

extern "C" {

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD dwOptions, REGSAM samDesired,
                               const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    // Volatile keys are kept like the others; any further option is not offered.
    if (dwOptions & ~static_cast<DWORD>(REG_OPTION_VOLATILE)) return ERROR_INVALID_PARAMETER;
    try {
        return OpenOrCreate(hKey, lpSubKey, samDesired, true, phkResult, lpdwDisposition);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    } catch (...) {
        return ERROR_REGISTRY_IO_FAILED;
    }
}

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    try {
        return OpenOrCreate(hKey, lpSubKey, samDesired, false, phkResult, nullptr);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    } catch (...) {
        return ERROR_REGISTRY_IO_FAILED;
    }
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER) return ERROR_SUCCESS;
    TRegKeyPtr key;
    {
        std::lock_guard<std::mutex> guard(HandlesMutex());
        auto it = Handles().find(hKey);
        if (it == Handles().end()) return ERROR_INVALID_HANDLE;
        key = it->second;
        Handles().erase(it);
    }
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
    try {
        TRegKeyPtr key = Resolve(hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (!(key->Access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
        if (!lpData && cbData) return ERROR_NOACCESS;
        std::string name = ValueName(lpValueName);
        if (name.size() > kMaxValueNameChars) return ERROR_INVALID_PARAMETER;
        bool privateHive = !key->Machine;
        if (key->IsRoot) {
            LONG status = EnsureDirectory(key->Dir, privateHive);
            if (status != ERROR_SUCCESS) return status;
        }
        TRegLock lock(key->RegRoot, false);
        LONG status = CheckAlive(*key);
        if (status != ERROR_SUCCESS) return status;
        // As on Windows, rewriting a value keeps the spelling its name was created with.
        std::string fileName = ValueFileName(name);
        TValueRecord old;
        if (ReadValue(key->Dir, fileName, old) == ERROR_SUCCESS) name = old.Name;
        return WriteValue(key->Dir, fileName, name, dwType, lpData, cbData, privateHive);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    } catch (...) {
        return ERROR_REGISTRY_IO_FAILED;
    }
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    try {
        TRegKeyPtr key = Resolve(hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (!(key->Access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        LONG status = CheckAlive(*key);
        if (status != ERROR_SUCCESS) return status;
        std::string name = ValueName(lpValueName);
        TValueRecord rec;
        status = ReadValue(key->Dir, ValueFileName(name), rec);
        if (status != ERROR_SUCCESS) return status;
        return CopyData(rec, lpType, lpData, lpcbData);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    } catch (...) {
        return ERROR_REGISTRY_IO_FAILED;
    }
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    try {
        TRegKeyPtr key = Resolve(hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (!(key->Access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
        TRegLock lock(key->RegRoot, false);
        LONG status = CheckAlive(*key);
        if (status != ERROR_SUCCESS) return status;
        return DeleteValueFile(key->Dir, ValueFileName(ValueName(lpValueName)));
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    } catch (...) {
        return ERROR_REGISTRY_IO_FAILED;
    }
}

LSTATUS WINAPI RegDeleteKeyExA(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, DWORD) {
    try {
        return DeleteKey(hKey, lpSubKey, samDesired);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    } catch (...) {
        return ERROR_REGISTRY_IO_FAILED;
    }
}

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    return RegDeleteKeyExA(hKey, lpSubKey, 0, 0);
}

LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (lpReserved || !lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
    try {
        TRegKeyPtr key;
        std::vector<std::string> subKeys;
        LONG status = ListSubKeys(hKey, key, subKeys);
        if (status != ERROR_SUCCESS) return status;
        if (dwIndex >= subKeys.size()) return ERROR_NO_MORE_ITEMS;
        std::string name = KeyDisplayName(key->Dir, subKeys[dwIndex]);
        if (lpftLastWriteTime) *lpftLastWriteTime = DirectoryTime(key->Dir + "/" + subKeys[dwIndex]);
        // Keys have no class here: an empty one.
        if (name.size() >= *lpcchName || (lpClass && lpcchClass && *lpcchClass == 0)) return ERROR_MORE_DATA;
        memcpy(lpName, name.c_str(), name.size() + 1);
        *lpcchName = static_cast<DWORD>(name.size());
        if (lpcchClass) {
            if (lpClass) lpClass[0] = '\0';
            *lpcchClass = 0;
        }
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    } catch (...) {
        return ERROR_REGISTRY_IO_FAILED;
    }
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if ((lpData && !lpcbData) || lpReserved || !lpValueName || !lpcchValueName)
        return ERROR_INVALID_PARAMETER;
    try {
        TRegKeyPtr key = Resolve(hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (!(key->Access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        LONG status = CheckAlive(*key);
        if (status != ERROR_SUCCESS) return status;
        TValueRecord rec;
        status = EnumValueAt(*key, dwIndex, rec);
        if (status == ERROR_KEY_DELETED && key->IsRoot) return ERROR_NO_MORE_ITEMS;
        if (status != ERROR_SUCCESS) return status;
        DWORD size = static_cast<DWORD>(rec.Data.size());
        if (lpData && size > *lpcbData) {
            status = ERROR_MORE_DATA;
        } else {
            if (lpData) {
                if (size) memcpy(lpData, rec.Data.data(), size);
                if (IsStringType(rec.Type) && size > 0 && size < *lpcbData && lpData[size - 1] != 0)
                    lpData[size] = 0;
            }
            // A name that does not fit comes back cut to the buffer, its length unchanged.
            if (rec.Name.size() >= *lpcchValueName) {
                status = ERROR_MORE_DATA;
                if (*lpcchValueName) {
                    memcpy(lpValueName, rec.Name.data(), *lpcchValueName - 1);
                    lpValueName[*lpcchValueName - 1] = '\0';
                }
            } else {
                memcpy(lpValueName, rec.Name.c_str(), rec.Name.size() + 1);
                *lpcchValueName = static_cast<DWORD>(rec.Name.size());
            }
        }
        if (lpType) *lpType = rec.Type;
        if (lpcbData) *lpcbData = size;
        return status;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    } catch (...) {
        return ERROR_REGISTRY_IO_FAILED;
    }
}

LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    if (lpReserved) return ERROR_INVALID_PARAMETER;
    try {
        TRegKeyPtr key = Resolve(hKey);
        if (!key) return ERROR_INVALID_HANDLE;
        if (!(key->Access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        LONG status = CheckAlive(*key);
        if (status != ERROR_SUCCESS) return status;
        std::vector<std::string> subKeys, values;
        status = ListKey(key->Dir, &subKeys, &values);
        if (status == ERROR_KEY_DELETED && key->IsRoot) status = ERROR_SUCCESS;
        if (status != ERROR_SUCCESS) return status;
        DWORD maxSub = 0, maxName = 0, maxData = 0, valueCount = 0;
        if (lpcbMaxSubKeyLen)
            for (const std::string& s : subKeys)
                maxSub = std::max<DWORD>(maxSub, static_cast<DWORD>(KeyDisplayName(key->Dir, s).size()));
        for (const std::string& v : values) {
            TValueRecord rec;
            // A value removed since the listing no longer counts.
            if (ReadValue(key->Dir, v, rec) != ERROR_SUCCESS) continue;
            ++valueCount;
            maxName = std::max<DWORD>(maxName, static_cast<DWORD>(rec.Name.size()));
            maxData = std::max<DWORD>(maxData, static_cast<DWORD>(rec.Data.size()));
        }
        if (lpClass && lpcchClass) {
            if (*lpcchClass == 0) return ERROR_MORE_DATA;
            lpClass[0] = '\0';
        }
        if (lpcchClass) *lpcchClass = 0;
        if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(subKeys.size());
        if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = maxSub;
        if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
        if (lpcValues) *lpcValues = valueCount;
        if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = maxName;
        if (lpcbMaxValueLen) *lpcbMaxValueLen = maxData;
        if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
        if (lpftLastWriteTime) *lpftLastWriteTime = DirectoryTime(key->Dir);
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    } catch (...) {
        return ERROR_REGISTRY_IO_FAILED;
    }
}

LSTATUS WINAPI RegFlushKey(HKEY hKey) {
    TRegKeyPtr key = Resolve(hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    // Values are synced as they are written; this makes the names in the key's directory durable too.
    int fd = open(key->Dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return key->IsRoot ? ERROR_SUCCESS : ERROR_KEY_DELETED;
    int rc = fsync(fd);
    close(fd);
    return rc == 0 ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

} // extern "C"

LONG lureg::SnapshotSubKeys(HKEY hKey, std::vector<std::string>& names) {
    names.clear();
    try {
        TRegKeyPtr key;
        std::vector<std::string> subKeys;
        LONG status = ListSubKeys(hKey, key, subKeys);
        if (status != ERROR_SUCCESS) return status;
        for (const std::string& fileName : subKeys)
            names.push_back(KeyDisplayName(key->Dir, fileName));
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        names.clear();
        return ERROR_OUTOFMEMORY;
    }
}

void osRegistryShutdown() {
    std::lock_guard<std::mutex> guard(HandlesMutex());
    delete gHandles;
    gHandles = nullptr;
}
