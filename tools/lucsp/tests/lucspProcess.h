// Runs the real lucsp binary as a child process with a time limit, and keeps a background one (serve)
// running for the length of a test.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

struct TLucspResult {
    int ExitCode = -1; // -1 when the process did not exit normally
    int Signal = 0;
    bool TimedOut = false;
    std::string Out;
    std::string Err;

    // Lines of stderr, without their line ends.
    std::vector<std::string> ErrLines() const;
};

// The environment is the test's (LUCSP_ROOT of a TTestRoot included) plus extra; LUCSP_LIBRARY points
// at the library of this build unless extra sets it.
TLucspResult lucspRun(const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& extra = {}, int timeoutMs = 60000,
                      const std::string& input = std::string());

// A failure as the tool must report it: exit status not 0, exactly one stderr line that names the code
// as "0x%08X NAME - text", nothing that looks like a crash. Returns a description of what is wrong, or
// empty when the result is such a failure.
std::string lucspCheckFailureLine(const TLucspResult& r);

class TLucspBackground {
  public:
    TLucspBackground() = default;
    ~TLucspBackground();
    TLucspBackground(const TLucspBackground&) = delete;
    TLucspBackground& operator=(const TLucspBackground&) = delete;

    bool Start(const std::vector<std::string>& args);
    // Reads stdout until a line starts with prefix; returns that line, empty on time-out or end.
    std::string WaitForLine(const std::string& prefix, int timeoutMs);
    // Everything read from stdout so far.
    const std::string& Output() const { return Out; }
    // SIGTERM, then SIGKILL after the grace time; the exit status (-1 after a kill).
    int Stop(int graceMs = 10000);
    pid_t Pid() const { return Child; }

  private:
    pid_t Child = -1;
    int OutFd = -1;
    std::string Out;
};
