#pragma once

#include "platform/TVarnoList.h"
#include "platform/platHASH.h"
#include "platform/platStringJSON.h"

#include <string>

class TPlatCOM;

// The machine and user the provider runs on, and "dna": the SHA-256 of all the facts, as upper-case
// hexadecimal text. Empty until Update succeeds; a failed Update leaves it empty.
class TLUIdentify {
  public:
    TLUIdentify();
    ~TLUIdentify();
    TLUIdentify(const TLUIdentify&) = delete;
    TLUIdentify& operator=(const TLUIdentify&) = delete;

    bool Clear();
    bool Update();
    // The dna of the last successful Update; empty text otherwise.
    const char* GetDNA() const;
    // {"dna":..., "hostname":..., "user":...} of the last successful Update; empty text otherwise.
    const char* GetJSON() const;

    char CPUName[100];
    char CPUIdentifier[100];
    char DiskProduct[100];
    char DiskVendor[100];
    char DiskSerial[100];
    char HostName[100];
    char UserName[100];
    TPlatHASH Hash;
    TPlatStringJSON JSON;

  private:
    // The machine's names, disk and processor; then the digest over them and the JSON text. False with a
    // trace line at the first that fails.
    bool ReadMachine(TPlatCOM& platCOM);
    bool ComputeDNA();
    bool Valid;
};

// The context's list of devices; it holds nothing and only traces its life.
class TListDispositivos : public TVarnoList {
  public:
    TListDispositivos();
    ~TListDispositivos();
};

// The identity printed by the crash report (sysCrashReportSetIdentity): collected anew for each report.
void luIdentityForReport(std::string& hostName, std::string& userName, std::string& dna);
