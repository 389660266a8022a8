// The file store behind the registry functions on Linux: one directory per key, one file per value,
// below $LUCSP_ROOT/registry/<hive>. Layout and rules: docs/registry.md.
#pragma once

#include "os/posix/winRegistry.h"

#include <string>
#include <vector>

namespace lureg {

// Names compare like Windows compares them: without regard to case (ASCII and Latin-1 letters).
std::string FoldName(const std::string& name);

// File name of a key directory for a key name component; never starts with "." or "@".
std::string KeyFileName(const std::string& name);
// File name of a value: "@" followed by the encoded folded name; the default value is "@".
std::string ValueFileName(const std::string& name);
// The name a file name stands for when no original spelling is stored with it.
std::string DecodeFileName(const std::string& fileName);

// $LUCSP_ROOT/registry, and the directory of a hive ("HKLM", "HKCU") below it.
std::string RegistryRoot();
std::string HiveDirectory(const std::string& regRoot, const char* hive);
// Creates a directory and its missing parents. The current user's hive is private to its owner
// (0700/0600) as HKEY_CURRENT_USER is on Windows; the machine hive is readable by others.
LONG EnsureDirectory(const std::string& path, bool privateHive);

// Largest value data stored or read (Windows' standard registry format allows about 1 MB). A value file
// beyond it is refused with ERROR_FILE_TOO_LARGE rather than read whole.
constexpr DWORD kMaxValueDataBytes = 4u * 1024 * 1024;

// One value as stored.
struct TValueRecord {
    DWORD Type = REG_NONE;
    std::string Name;
    std::vector<BYTE> Data;
};

LONG ReadValue(const std::string& keyDir, const std::string& fileName, TValueRecord& out);
// Replaces the value file atomically: a reader sees the old value or the new one, never a part.
LONG WriteValue(const std::string& keyDir, const std::string& fileName, const std::string& name, DWORD type,
                const BYTE* data, DWORD length, bool privateHive);
LONG DeleteValueFile(const std::string& keyDir, const std::string& fileName);

// The spelling a key was created with (its ".key" file), else the decoded directory name.
std::string KeyDisplayName(const std::string& keyDir, const std::string& fileName);
// Records the spelling of a newly created key.
void WriteKeyName(const std::string& keyDir, const std::string& name, bool privateHive);

// Subkey directories and value files of a key, each sorted by file name.
LONG ListKey(const std::string& keyDir, std::vector<std::string>* subKeys, std::vector<std::string>* values);

// The names of an open key's subkeys from one listing of its directory. RegEnumKeyExA lists the key
// again at every index, so a subkey removed meanwhile by another process shifts the rest and one is
// passed over; a reader that must see every entry that stays takes this snapshot instead.
LONG SnapshotSubKeys(HKEY key, std::vector<std::string>& names);

// A key refuses write access when its directory holds a ".readonly" file or the file system refuses
// writing it (the stand-in for a Windows ACL that grants only read access).
bool KeyIsReadOnly(const std::string& keyDir);

// Removes a key directory that has no subkeys (values, the key's own files and stale temp files go with it).
LONG RemoveKeyDirectory(const std::string& keyDir);

LONG ErrnoToStatus(int err);

// Inter-process lock of one registry root: shared for value and key writes, exclusive for key deletion,
// so that a key never disappears below a writer. Released on destruction (or by the kernel on a crash).
class TRegLock {
  public:
    TRegLock(const std::string& regRoot, bool exclusive);
    ~TRegLock();
    TRegLock(const TRegLock&) = delete;
    TRegLock& operator=(const TRegLock&) = delete;

  private:
    int Fd;
};

// Last modification of a directory as a FILETIME (100 ns since 1601).
FILETIME DirectoryTime(const std::string& dir);

} // namespace lureg
