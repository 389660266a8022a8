// A reference signing service on loopback shared by the tests of one suite, with its CA in a file.
#pragma once

#include "RefSigningService.h"
#include "platform/platDebug.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

namespace svctest {

struct TSharedService {
    TTestRoot Root;
    TRefSigningService Service;
    TRefKeyInfo Key;
    std::string CAFile;
    std::string Token = "tok-0123456789abcdef0123456789abcdef-40c";
};

// Started once per process; the keys take a while to generate.
inline TSharedService& Shared() {
    static std::unique_ptr<TSharedService> shared;
    if (!shared) {
        shared = std::make_unique<TSharedService>();
        TSharedService& s = *shared;
        if (!s.Service.Key_Generate(s.Token, "Signer Test", 2048, TRefSerialTopBit::Random, &s.Key) ||
            !s.Service.Start(0, true))
            ADD_FAILURE() << "reference service: " << s.Service.LastError();
        s.CAFile = s.Root.Path() + "/ca.pem";
        std::ofstream(s.CAFile, std::ios::binary) << s.Service.CA_CertPEM();
    }
    return *shared;
}

// A trace log of the test's own into a file, installed as the process's trace log for the test's duration.
class TScopedTrace {
  public:
    explicit TScopedTrace(const std::string& path, uint32_t level = 0xFFFFFFFFu) : Path(path) {
        TPlatDebugConfig cfg{};
        cfg.TypeOut = 1;
        cfg.HeadInfo = 1;
        cfg.Level = level;
        cfg.Flush = 1;
        snprintf(cfg.FilePath, sizeof(cfg.FilePath), "%s", path.c_str());
        Log.Config(1, cfg);
        Previous = gPlatDebug;
        gPlatDebug = &Log;
    }
    ~TScopedTrace() { gPlatDebug = Previous; }
    std::string Text() const { return ReadWholeFile(Path); }

  private:
    std::string Path;
    TPlatDebug Log;
    TPlatDebug* Previous;
};

inline long long ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
        .count();
}

// Resets the fault switch and the counters when a test ends, whatever it did.
class TFaultScope {
  public:
    explicit TFaultScope(TRefSigningService& s) : Service(s) { Service.Stats_Reset(); }
    ~TFaultScope() { Service.Fault_Set(TRefFault()); }
    void Set(TRefFaultMode mode, unsigned delayMs = 0, unsigned count = 0) {
        TRefFault f;
        f.Mode = mode;
        f.DelayMs = delayMs;
        f.Count = count;
        Service.Fault_Set(f);
    }

  private:
    TRefSigningService& Service;
};

} // namespace svctest
