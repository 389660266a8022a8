// Shared set-up of the fuzz harnesses.
#pragma once

#include "platform/platDebug.h"

#include <cstdio>
#include <cstdlib>

// Error lines are formatted for every input, as in the product with its trace on, and thrown away.
inline void FuzzTraceErrors() {
    static TPlatDebug log;
    TPlatDebugConfig cfg{};
    cfg.TypeOut = 1;
    cfg.Level = DBERRO_0;
    snprintf(cfg.FilePath, sizeof(cfg.FilePath), "%s", "/dev/null");
    log.Config(1, cfg);
    gPlatDebug = &log;
}

// A broken property of the code under test: reported by libFuzzer like a crash, with the input kept.
#define FUZZ_CHECK(cond)                                                                                     \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);                   \
            abort();                                                                                         \
        }                                                                                                    \
    } while (0)
