#include "lucspProcess.h"

#include "support/testExec.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

namespace {

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

[[noreturn]] void ExecTool(const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& extra) {
    if (!extra.count("LUCSP_LIBRARY")) setenv("LUCSP_LIBRARY", LUCSP_TEST_LIBRARY, 1);
    for (const auto& kv : extra) {
        if (kv.second.empty())
            unsetenv(kv.first.c_str());
        else
            setenv(kv.first.c_str(), kv.second.c_str(), 1);
    }
    std::vector<std::string> argv = {LUCSP_TOOL};
    argv.insert(argv.end(), args.begin(), args.end());
    testExecChild(argv);
}

bool ReadSome(int fd, std::string& into) {
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n > 0) {
        into.append(buf, static_cast<size_t>(n));
        return true;
    }
    return n < 0 && (errno == EINTR || errno == EAGAIN);
}

} // namespace

std::vector<std::string> TLucspResult::ErrLines() const {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < Err.size()) {
        size_t nl = Err.find('\n', pos);
        if (nl == std::string::npos) nl = Err.size();
        lines.push_back(Err.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return lines;
}

TLucspResult lucspRun(const std::vector<std::string>& args, const std::map<std::string, std::string>& extra,
                      int timeoutMs, const std::string& input) {
    TLucspResult r;
    int outPipe[2], errPipe[2], inPipe[2];
    if (pipe(outPipe) || pipe(errPipe) || pipe(inPipe)) return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(inPipe[0]);
        close(inPipe[1]);
        close(outPipe[0]);
        close(outPipe[1]);
        close(errPipe[0]);
        close(errPipe[1]);
        ExecTool(args, extra);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    if (!input.empty() && write(inPipe[1], input.data(), input.size()) < 0) {
    }
    close(inPipe[1]);
    long long deadline = NowMs() + timeoutMs;
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        long long left = deadline - NowMs();
        if (left <= 0) {
            r.TimedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[2];
        int n = 0;
        if (outOpen) fds[n++] = {outPipe[0], POLLIN, 0};
        if (errOpen) fds[n++] = {errPipe[0], POLLIN, 0};
        int rc = poll(fds, static_cast<nfds_t>(n), static_cast<int>(left));
        if (rc < 0 && errno != EINTR) break;
        for (int i = 0; i < n; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            bool isOut = fds[i].fd == outPipe[0];
            if (!ReadSome(fds[i].fd, isOut ? r.Out : r.Err)) (isOut ? outOpen : errOpen) = false;
        }
    }
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    // The pipes close before the process is gone; give it the rest of the time to exit.
    while (true) {
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) break;
        if (w < 0 && errno != EINTR) return r;
        if (NowMs() > deadline) {
            r.TimedOut = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        usleep(2000);
    }
    if (WIFEXITED(status)) r.ExitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.Signal = WTERMSIG(status);
    return r;
}

std::string lucspCheckFailureLine(const TLucspResult& r) {
    if (r.TimedOut) return "timed out";
    if (r.Signal) return "ended by signal " + std::to_string(r.Signal);
    if (r.ExitCode == 0) return "exit status 0 for a failure";
    if (r.Err.empty() || r.Err.back() != '\n') return "stderr is not one finished line: [" + r.Err + "]";
    std::vector<std::string> lines = r.ErrLines();
    if (lines.size() != 1) return "stderr has " + std::to_string(lines.size()) + " lines: [" + r.Err + "]";
    static const std::regex code(R"(^lucsp[^:]*: .*: 0x[0-9A-F]{8} [A-Z][A-Za-z0-9_()]+( - .+)?$)");
    if (!std::regex_match(lines[0], code)) return "line does not name the code: [" + lines[0] + "]";
    for (const char* crash : {"terminate called", "Aborted", "Segmentation", "Sanitizer", "core dumped"})
        if (r.Err.find(crash) != std::string::npos || r.Out.find(crash) != std::string::npos)
            return std::string("looks like a crash: ") + crash;
    return std::string();
}

TLucspBackground::~TLucspBackground() {
    Stop(5000);
}

bool TLucspBackground::Start(const std::vector<std::string>& args) {
    int outPipe[2];
    if (pipe(outPipe)) return false;
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        dup2(outPipe[1], 1);
        close(outPipe[0]);
        close(outPipe[1]);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        ExecTool(args, {});
    }
    close(outPipe[1]);
    Child = pid;
    OutFd = outPipe[0];
    return true;
}

std::string TLucspBackground::WaitForLine(const std::string& prefix, int timeoutMs) {
    long long deadline = NowMs() + timeoutMs;
    size_t scanned = 0;
    while (true) {
        size_t lineStart = scanned;
        size_t nl;
        while ((nl = Out.find('\n', lineStart)) != std::string::npos) {
            std::string line = Out.substr(lineStart, nl - lineStart);
            if (line.compare(0, prefix.size(), prefix) == 0) return line;
            lineStart = nl + 1;
        }
        scanned = lineStart;
        long long left = deadline - NowMs();
        if (left <= 0 || OutFd < 0) return std::string();
        pollfd fd = {OutFd, POLLIN, 0};
        int rc = poll(&fd, 1, static_cast<int>(left));
        if (rc < 0 && errno != EINTR) return std::string();
        if (rc > 0 && !ReadSome(OutFd, Out)) {
            close(OutFd);
            OutFd = -1;
        }
    }
}

int TLucspBackground::Stop(int graceMs) {
    if (Child <= 0) return -1;
    kill(Child, SIGTERM);
    int status = 0;
    long long deadline = NowMs() + graceMs;
    bool killed = false;
    while (waitpid(Child, &status, WNOHANG) == 0) {
        if (NowMs() > deadline && !killed) {
            kill(Child, SIGKILL);
            killed = true;
        }
        usleep(5000);
    }
    Child = -1;
    if (OutFd >= 0) close(OutFd);
    OutFd = -1;
    return !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
