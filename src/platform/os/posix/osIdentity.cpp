#include "os/platIdentity.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// LUCSP_SYSFS_ROOT puts /sys and /proc below another directory, so that tests can present a machine of
// their own; unset, the real ones are read.
std::string SysPath(const char* path) {
    const char* root = getenv("LUCSP_SYSFS_ROOT");
    return (root && *root) ? std::string(root) + path : std::string(path);
}

bool CopyName(const std::string& name, char* out, DWORD* size) {
    if (!out || !size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (name.size() + 1 > *size) {
        *size = static_cast<DWORD>(name.size() + 1);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    memcpy(out, name.c_str(), name.size() + 1);
    *size = static_cast<DWORD>(name.size());
    return true;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// First line of a sysfs attribute; empty when it is missing.
std::string ReadAttribute(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (in) std::getline(in, line);
    return Trim(line);
}

void CopyField(const std::string& text, char* out) {
    snprintf(out, kOsIdentityField, "%s", text.c_str());
}

DWORD ErrnoToWin32(int err) {
    if (err == EACCES || err == EPERM) return ERROR_ACCESS_DENIED;
    if (err == ENOENT || err == ENOTDIR) return ERROR_FILE_NOT_FOUND;
    return ERROR_INVALID_DATA;
}

} // namespace

bool osGetComputerName(char* out, DWORD* size) {
    char host[256] = {0};
    if (gethostname(host, sizeof(host) - 1) != 0) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    return CopyName(host, out, size);
}

bool osGetUserName(char* out, DWORD* size) {
    std::string name;
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_name)
        name = found->pw_name;
    if (name.empty()) {
        const char* env = getenv("USER");
        if (!env || !*env) env = getenv("LOGNAME");
        if (env) name = env;
    }
    if (name.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    return CopyName(name, out, size);
}

void osGetDiskInfo(int driveNumber, char* product, char* vendor, char* serial, TOsDiskQuery& query) {
    query.Failed = TOsDiskQuery::Ok;
    query.Error = 0;
    std::string blockDir = SysPath("/sys/block");
    snprintf(query.DiskFileName, sizeof(query.DiskFileName), "%s", blockDir.c_str());
    if (product) product[0] = '\0';
    if (vendor) vendor[0] = '\0';
    if (serial) serial[0] = '\0';
    if (!product || !vendor || !serial || driveNumber < 0) {
        query.Failed = TOsDiskQuery::FailOpen;
        query.Error = ERROR_INVALID_PARAMETER;
        return;
    }

    // Physical disks are the block devices backed by a device; loop, ram and zram devices are not.
    DIR* dir = opendir(blockDir.c_str());
    if (!dir) {
        query.Failed = TOsDiskQuery::FailOpen;
        query.Error = ErrnoToWin32(errno);
        return;
    }
    std::vector<std::string> disks;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        struct stat st {};
        if (stat((blockDir + "/" + entry->d_name + "/device").c_str(), &st) == 0)
            disks.push_back(entry->d_name);
    }
    closedir(dir);
    std::sort(disks.begin(), disks.end());
    if (static_cast<size_t>(driveNumber) >= disks.size()) {
        query.Failed = TOsDiskQuery::FailOpen;
        query.Error = ERROR_FILE_NOT_FOUND;
        return;
    }
    std::string disk = blockDir + "/" + disks[static_cast<size_t>(driveNumber)];
    snprintf(query.DiskFileName, sizeof(query.DiskFileName), "%s", disk.c_str());
    if (access((disk + "/device").c_str(), R_OK | X_OK) != 0) {
        query.Failed = TOsDiskQuery::FailSize;
        query.Error = ErrnoToWin32(errno);
        return;
    }
    CopyField(ReadAttribute(disk + "/device/model"), product);
    CopyField(ReadAttribute(disk + "/device/vendor"), vendor);
    std::string sn = ReadAttribute(disk + "/device/serial");
    if (sn.empty()) sn = ReadAttribute(disk + "/serial");
    CopyField(sn, serial);
}

bool osGetCPUInfo(char* name, char* identifier, DWORD* error) {
    if (name) name[0] = '\0';
    if (identifier) identifier[0] = '\0';
    if (!name || !identifier) {
        if (error) *error = ERROR_INVALID_PARAMETER;
        return false;
    }
    std::ifstream in(SysPath("/proc/cpuinfo"));
    if (!in) {
        if (error) *error = ErrnoToWin32(errno);
        return false;
    }
    std::string vendorId, family, model, stepping, modelName, line;
    // The first processor's block ends at the first empty line.
    while (std::getline(in, line)) {
        if (Trim(line).empty()) {
            if (!modelName.empty() || !family.empty()) break;
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string key = Trim(line.substr(0, colon));
        std::string value = Trim(line.substr(colon + 1));
        if (key == "vendor_id")
            vendorId = value;
        else if (key == "cpu family")
            family = value;
        else if (key == "model")
            model = value;
        else if (key == "stepping")
            stepping = value;
        else if (key == "model name")
            modelName = value;
    }
    CopyField(modelName, name);
    // Windows' form of the identifier, e.g. "Intel64 Family 6 Model 85 Stepping 7".
    if (!family.empty() && !model.empty() && !stepping.empty()) {
        const char* arch = vendorId == "GenuineIntel"   ? "Intel64"
                           : vendorId == "AuthenticAMD" ? "AMD64"
                                                        : "x86";
        std::string id =
            std::string(arch) + " Family " + family + " Model " + model + " Stepping " + stepping;
        CopyField(id, identifier);
    }
    if (error) *error = 0;
    return true;
}
