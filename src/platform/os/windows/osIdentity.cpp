#include "os/platIdentity.h"

#include <winioctl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

bool osGetComputerName(char* out, DWORD* size) {
    return GetComputerNameA(out, size) != 0;
}

bool osGetUserName(char* out, DWORD* size) {
    return GetUserNameA(out, size) != 0;
}

static void CopyAt(const BYTE* base, DWORD total, DWORD offset, char* out) {
    out[0] = '\0';
    if (offset == 0 || offset >= total) return;
    const char* text = reinterpret_cast<const char*>(base + offset);
    size_t max = total - offset;
    size_t n = strnlen(text, max);
    if (n > kOsIdentityField - 1) n = kOsIdentityField - 1;
    memcpy(out, text, n);
    out[n] = '\0';
}

void osGetDiskInfo(int driveNumber, char* product, char* vendor, char* serial, TOsDiskQuery& query) {
    query.Failed = TOsDiskQuery::Ok;
    query.Error = 0;
    snprintf(query.DiskFileName, sizeof(query.DiskFileName), "\\\\.\\PhysicalDrive%d", driveNumber);
    if (product) product[0] = '\0';
    if (vendor) vendor[0] = '\0';
    if (serial) serial[0] = '\0';
    if (!product || !vendor || !serial) {
        query.Failed = TOsDiskQuery::FailOpen;
        query.Error = ERROR_INVALID_PARAMETER;
        return;
    }
    HANDLE disk = CreateFileA(query.DiskFileName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (disk == INVALID_HANDLE_VALUE) {
        query.Failed = TOsDiskQuery::FailOpen;
        query.Error = GetLastError();
        return;
    }
    STORAGE_PROPERTY_QUERY request;
    memset(&request, 0, sizeof(request));
    request.PropertyId = StorageDeviceProperty;
    request.QueryType = PropertyStandardQuery;
    STORAGE_DESCRIPTOR_HEADER header;
    memset(&header, 0, sizeof(header));
    DWORD returned = 0;
    if (!DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &request, sizeof(request), &header,
                         sizeof(header), &returned, nullptr) ||
        header.Size < sizeof(STORAGE_DEVICE_DESCRIPTOR)) {
        query.Failed = TOsDiskQuery::FailSize;
        query.Error = GetLastError();
        CloseHandle(disk);
        return;
    }
    BYTE* buffer = static_cast<BYTE*>(calloc(header.Size, 1));
    if (!buffer || !DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &request, sizeof(request), buffer,
                                    header.Size, &returned, nullptr)) {
        query.Failed = TOsDiskQuery::FailQuery;
        query.Error = buffer ? GetLastError() : static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
    } else {
        const STORAGE_DEVICE_DESCRIPTOR* desc = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer);
        DWORD total = returned < header.Size ? returned : header.Size;
        CopyAt(buffer, total, desc->ProductIdOffset, product);
        CopyAt(buffer, total, desc->VendorIdOffset, vendor);
        CopyAt(buffer, total, desc->SerialNumberOffset, serial);
    }
    free(buffer);
    CloseHandle(disk);
}

bool osGetCPUInfo(char* name, char* identifier, DWORD* error) {
    if (name) name[0] = '\0';
    if (identifier) identifier[0] = '\0';
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", 0,
                                KEY_READ, &key);
    if (status != ERROR_SUCCESS) {
        if (error) *error = static_cast<DWORD>(status);
        return false;
    }
    DWORD size = kOsIdentityField;
    if (RegQueryValueExA(key, "ProcessorNameString", nullptr, nullptr, reinterpret_cast<BYTE*>(name),
                         &size) != ERROR_SUCCESS)
        name[0] = '\0';
    name[kOsIdentityField - 1] = '\0';
    size = kOsIdentityField;
    if (RegQueryValueExA(key, "Identifier", nullptr, nullptr, reinterpret_cast<BYTE*>(identifier), &size) !=
        ERROR_SUCCESS)
        identifier[0] = '\0';
    identifier[kOsIdentityField - 1] = '\0';
    RegCloseKey(key);
    if (error) *error = 0;
    return true;
}
