#include "certificates/libLUIdentify.h"

#include "os/platIdentity.h"
#include "platform/platCOM.h"
#include "platform/platDebug.h"
#include "platform/platTraceScope.h"

#include <cstring>

TLUIdentify::TLUIdentify() : Valid(false) {
    Clear();
}

TLUIdentify::~TLUIdentify() = default;

bool TLUIdentify::Clear() {
    memset(CPUName, 0, sizeof(CPUName));
    memset(CPUIdentifier, 0, sizeof(CPUIdentifier));
    memset(DiskProduct, 0, sizeof(DiskProduct));
    memset(DiskVendor, 0, sizeof(DiskVendor));
    memset(DiskSerial, 0, sizeof(DiskSerial));
    memset(HostName, 0, sizeof(HostName));
    memset(UserName, 0, sizeof(UserName));
    Valid = false;
    return true;
}

bool TLUIdentify::Update() {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s>\n", LU_FN);
    Clear();
    Hash.Clear();
    Hash.ClearDigest(0);
    JSON.Clear();
    TPlatCOM platCOM;
    bool result = ReadMachine(platCOM) && ComputeDNA();

    if (!result) {
        Clear();
        Hash.Clear();
        Hash.ClearDigest(0);
        JSON.Clear();
    }
    Valid = result;
    TRACE_RETURN(result);
}

bool TLUIdentify::ReadMachine(TPlatCOM& platCOM) {
    DWORD size = 99;
    TRACE(DBINFO_L, "-> IN GetComputerNameA\n");
    bool ok = osGetComputerName(HostName, &size);
    TRACE(DBINFO_L, "-> IN GetComputerNameA\n");
    if (!ok) {
        TRACE(DBERRO_0, "Falha no GetComputerNameA\n");
        return false;
    }
    size = 99;
    TRACE(DBINFO_L, "-> IN GetUserNameA\n");
    ok = osGetUserName(UserName, &size);
    TRACE(DBINFO_L, "<- OUT GetUserNameA\n");
    if (!ok) {
        TRACE(DBERRO_0, "Falha no GetUserNameA\n");
        return false;
    }
    TRACE(DBINFO_L, "-> IN platCOM.Start\n");
    ok = platCOM.Start("root\\CIMV2");
    TRACE(DBINFO_L, "<- OUT platCOM.Start\n");
    if (!ok) {
        TRACE(DBERRO_0, "Falha no platCOM.Start\n");
        return false;
    }
    TRACE(DBINFO_L, "-> IN platCOM.GetDiskInfo\n");
    ok = platCOM.GetDiskInfo(0, DiskProduct, DiskVendor, DiskSerial);
    TRACE(DBINFO_L, "<- OUT platCOM.GetDiskInfo\n");
    if (!ok) {
        TRACE(DBERRO_0, "Falha no platCOM.GetDiskInfo\n");
        return false;
    }
    TRACE(DBINFO_L, "-> IN platCOM.GetCPUInfo\n");
    ok = platCOM.GetCPUInfo(CPUName, CPUIdentifier);
    TRACE(DBINFO_L, "<- OUT platCOM.GetCPUInfo\n");
    if (!ok) {
        TRACE(DBERRO_0, "Falha no platCOM.GetCPUInfo\n");
        return false;
    }
    return true;
}

bool TLUIdentify::ComputeDNA() {
    // Empty fields add nothing; the digest runs over the plain concatenation.
    const char* fields[] = {HostName, UserName, DiskProduct, DiskVendor, DiskSerial, CPUName, CPUIdentifier};
    for (const char* field : fields)
        if (field[0]) Hash.Add(field);
    if (!Hash.Compute_SHA256() || !Hash.digestHexAscii) {
        TRACE(DBERRO_0, "Falha no Compute_SHA256\n");
        return false;
    }
    if (!JSON.Add("dna", Hash.digestHexAscii) || !JSON.Add("hostname", HostName) ||
        !JSON.Add("user", UserName) || !JSON.EncodeJSON()) {
        TRACE(DBERRO_0, "Falha no EncodeJSON\n");
        return false;
    }
    return true;
}

const char* TLUIdentify::GetDNA() const {
    return Valid && Hash.digestHexAscii ? Hash.digestHexAscii : "";
}

const char* TLUIdentify::GetJSON() const {
    return Valid && JSON.TextJSON ? JSON.TextJSON : "";
}

TListDispositivos::TListDispositivos() {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
}

TListDispositivos::~TListDispositivos() {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
}

void luIdentityForReport(std::string& hostName, std::string& userName, std::string& dna) {
    TLUIdentify identity;
    identity.Update();
    hostName = identity.HostName;
    userName = identity.UserName;
    dna = identity.GetDNA();
}
