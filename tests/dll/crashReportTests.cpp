#include "dll/dllHarness.h"
#include "os/platTypes.h"
#include "platform/TVarnoRegedit.h"
#include "platform/platException.h"
#include "support/smtpSink.h"
#include "support/testExec.h"
#include "support/testRoot.h"
#include "support/testHooks.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

typedef BOOL (*TCPReleaseContext)(HCRYPTPROV, DWORD);
typedef BOOL (*TCPAcquireContext)(HCRYPTPROV*, LPCSTR, DWORD, PVTableProvStruc);

void WriteReportSettings(const std::string& url) {
    TVarnoRegedit reg;
    ASSERT_TRUE(reg.SetGrupoName(GRUPO_NAME_REPORT, "Report", KEY_WOW64_32KEY));
    const std::string box = "report@lucsp.test";
    ASSERT_TRUE(reg.RegSetValueW("MailURL", GRUPO_NAME_REPORT, REG_SZ, url.c_str(),
                                 static_cast<DWORD>(url.size() + 1)));
    ASSERT_TRUE(reg.RegSetValueW("MailBox", GRUPO_NAME_REPORT, REG_SZ, box.c_str(),
                                 static_cast<DWORD>(box.size() + 1)));
}

// Runs DllCrashReportWorker.Run in a process of its own, which loads the library afresh on this
// data root; its exit status tells whether the entry point failed as it should.
int RunWorker(const char* throwIn, const std::string& worker = "Run") {
    pid_t pid = fork();
    if (pid == 0) {
        setenv("LUCSP_DLL_WORKER", "1", 1);
        setenv("LUCSP_TEST_THROW_IN", throwIn, 1);
        // The file's own path: under a memory checker /proc/self/exe is the checker.
        std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        std::string filter = "--gtest_filter=DllCrashReportWorker." + worker;
        execl(self.c_str(), "certificates_tests", filter.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

// The worker half: only when started by RunWorker.
TEST(DllCrashReportWorker, Run) {
    if (!getenv("LUCSP_DLL_WORKER")) GTEST_SKIP() << "runs only as the worker of DllCrashReport";
    void* handle = dlopen(LUCSP_DLL_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto release = reinterpret_cast<TCPReleaseContext>(dlsym(handle, "CPReleaseContext"));
    ASSERT_NE(release, nullptr);
    SetLastError(0);
    EXPECT_EQ(release(0, 0), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNWIND));
    // Without the hook the same call fails on its own account.
    unsetenv("LUCSP_TEST_THROW_IN");
    EXPECT_EQ(release(0, 0), FALSE);
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_UNWIND));
}

// The worker of DllCrashReport.OtherCallsGoOnWhileAReportWaitsForTheMailServer: while one thread's
// report waits for a mail server that never answers, another thread's call that takes the provider's lock
// ends at once.
TEST(DllCrashReportWorker, OtherCallWhileMailing) {
    if (!getenv("LUCSP_DLL_WORKER")) GTEST_SKIP() << "runs only as the worker of DllCrashReport";
    void* handle = dlopen(LUCSP_DLL_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto release = reinterpret_cast<TCPReleaseContext>(dlsym(handle, "CPReleaseContext"));
    auto acquire = reinterpret_cast<TCPAcquireContext>(dlsym(handle, "CPAcquireContext"));
    ASSERT_TRUE(release && acquire);
    auto start = std::chrono::steady_clock::now();
    std::thread reporting([&] { EXPECT_EQ(release(0, 0), FALSE); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    HCRYPTPROV prov = 0;
    VTableProvStruc vt = dllharness::MakeVTable();
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(acquire(&prov, nullptr, CRYPT_VERIFYCONTEXT, &vt), TRUE);
    auto took = std::chrono::steady_clock::now() - before;
    reporting.join();
    // The report did wait for the server (its time limit), the other call did not wait for the report.
    EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_LT(took, std::chrono::seconds(1) * testTimeScale());
}

TEST(DllCrashReport, OtherCallsGoOnWhileAReportWaitsForTheMailServer) {
    LUCSP_SKIP_WITHOUT_TEST_HOOKS();
    TTestRoot root;
    // A mail server that takes connections and never says a word.
    int silent = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(silent, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t addrLen = sizeof(addr);
    ASSERT_EQ(0, bind(silent, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
    ASSERT_EQ(0, listen(silent, 4));
    ASSERT_EQ(0, getsockname(silent, reinterpret_cast<sockaddr*>(&addr), &addrLen));
    WriteReportSettings("smtp://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)));
    EXPECT_EQ(RunWorker("CPReleaseContext", "OtherCallWhileMailing"), 0);
    close(silent);
}

TEST(DllCrashReport, ExceptionInAWorkingEntryPointMailsOneReport) {
    LUCSP_SKIP_WITHOUT_TEST_HOOKS();
    TTestRoot root;
    TSmtpSink sink(root.Path() + "/mail", {});
    WriteReportSettings("smtp://127.0.0.1:" + std::to_string(sink.Port));
    ASSERT_EQ(RunWorker("CPReleaseContext"), 0);
    std::vector<std::string> mails = sink.Mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(MailHeader(mails[0], "Subject").rfind("TRELISSERVER / CRITICAL ERROR / REPORT: (", 0), 0u);
    std::vector<std::string> lines = MailBodyLines(mails[0]);
    ASSERT_GT(lines.size(), 10u);
    EXPECT_EQ(lines[4], "LUCSP_TEST_THROW_IN: CPReleaseContext<br>");
    EXPECT_EQ(lines[6], "Function:CPReleaseContext<br>");
    EXPECT_EQ(lines[9], "PlatForm........: WIN32<br>");
    // The identity of this machine, collected for the report.
    EXPECT_EQ(lines[12].size(), std::string("dna.............: ").size() + 64 + 4) << lines[12];
}

TEST(DllCrashReport, WithoutMailURLNoMailAndNoDelay) {
    LUCSP_SKIP_WITHOUT_TEST_HOOKS();
    TTestRoot root;
    TSmtpSink sink(root.Path() + "/mail", {});
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(RunWorker("CPReleaseContext"), 0);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(sink.Mails().empty());
    // Process start, load and teardown included.
    EXPECT_LT(took, std::chrono::seconds(3) * testTimeScale());
}
