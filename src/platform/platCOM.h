#pragma once

#include "os/platTypes.h"

// Reads the disk and processor facts of the machine identity. No WMI connection is made: Start only
// keeps the interface of the namespace-based reader.
class TPlatCOM {
  public:
    TPlatCOM() = default;
    TPlatCOM(const TPlatCOM&) = delete;
    TPlatCOM& operator=(const TPlatCOM&) = delete;

    bool Start(const char* nameSpace);
    // Product, vendor and serial number of the physical drive, each into 100 bytes.
    bool GetDiskInfo(int driveNumber, char* product, char* vendor, char* serial);
    // Name and identifier of the first processor, each into 100 bytes.
    bool GetCPUInfo(char* name, char* identifier);
};
