#pragma once

#include <string>
#include <vector>

// Replaces the (forked) process with args[0], which gets args[1...]. The words of LUCSP_TEST_CHILD_WRAPPER,
// when set, go in front: the memory-checker stage runs only the processes that load the library under
// the checker, not the test process with its signing service. Ends the process with 127 on failure.
[[noreturn]] void testExecChild(const std::vector<std::string>& args);

// The factor by which a test widens its time limits: LUCSP_TEST_TIME_SCALE, 1 unless set (the memory
// checker slows both the library and the service in the test process).
int testTimeScale();
