// Machine facts for the identity: computer and user names, the first physical disk, the processor.
// Windows asks the system (GetComputerNameA, GetUserNameA, IOCTL_STORAGE_QUERY_PROPERTY, the processor
// registry key); Linux reads the host name, the account, /sys/block and /proc/cpuinfo.
#pragma once

#include "os/platTypes.h"

// GetComputerNameA / GetUserNameA semantics: *size holds the buffer size in bytes and receives the
// length; false with the last error set (ERROR_INSUFFICIENT_BUFFER when the name does not fit).
bool osGetComputerName(char* out, DWORD* size);
bool osGetUserName(char* out, DWORD* size);

// Texts of one disk or processor field: 99 characters at most, terminated.
constexpr int kOsIdentityField = 100;

struct TOsDiskQuery {
    enum Step { Ok = 0, FailOpen = 1, FailSize = 2, FailQuery = 3 };
    int Failed;
    DWORD Error;
    char DiskFileName[260];
};
// Product, vendor and serial number of physical drive driveNumber; the outputs are zeroed first and a
// field the disk does not report stays empty.
void osGetDiskInfo(int driveNumber, char* product, char* vendor, char* serial, TOsDiskQuery& query);

// Processor name and identifier of the first processor; false (error in *error) when its description
// cannot be opened. A field that is missing stays empty.
bool osGetCPUInfo(char* name, char* identifier, DWORD* error);
