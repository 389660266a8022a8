#include "support/testTrace.h"

#include "support/testRoot.h"

#include <cstdio>

TTestTrace::TTestTrace(const std::string& dir, int headInfo)
    : Saved(gPlatDebug), FilePath(dir + "/trace.log") {
    TPlatDebugConfig cfg{};
    cfg.TypeOut = 1;
    cfg.HeadInfo = headInfo;
    cfg.Level = 0xFFFFFFFFu;
    cfg.Flush = 1;
    snprintf(cfg.FilePath, sizeof(cfg.FilePath), "%s", FilePath.c_str());
    Log.Config(1, cfg);
    gPlatDebug = &Log;
}

TTestTrace::~TTestTrace() {
    gPlatDebug = Saved;
    Log.Close();
}

std::string TTestTrace::Text() const {
    return ReadWholeFile(FilePath);
}
