// Tests that make an entry point throw (LUCSP_TEST_THROW_IN) need the test hooks, which release builds
// leave out of the library; there they are skipped with the reason instead of failing.
#pragma once

#include <gtest/gtest.h>

#ifdef LUCSP_TEST_HOOKS
#define LUCSP_SKIP_WITHOUT_TEST_HOOKS() static_cast<void>(0)
#else
#define LUCSP_SKIP_WITHOUT_TEST_HOOKS()                                                                      \
    GTEST_SKIP() << "needs the test hooks (LUCSP_TEST_THROW_IN), which this build type leaves out; "         \
                    "configure with -DLUCSP_TEST_HOOKS=ON to run it"
#endif
