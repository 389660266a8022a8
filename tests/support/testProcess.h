#pragma once

#include <string>
#include <sys/types.h>

// Starts this test binary once more as a worker process that runs only the test testName (for example
// "SuiteWorker.Run"), with the environment variable envName set to role on top of this process's
// environment; its standard output is discarded. -1 when it cannot be started.
pid_t SpawnTestWorker(const char* testName, const char* envName, const std::string& role);

// Exit status of a worker, -1 when it had to be killed after the time given, 128 when a signal ended it.
int WaitTestWorker(pid_t pid, int seconds);
