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
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

typedef BOOL (*TCPReleaseContext)(HCRYPTPROV, DWORD);

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
int RunWorker(const char* throwIn) {
    pid_t pid = fork();
    if (pid == 0) {
        setenv("LUCSP_DLL_WORKER", "1", 1);
        setenv("LUCSP_TEST_THROW_IN", throwIn, 1);
        // The file's own path: under a memory checker /proc/self/exe is the checker.
        std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        execl(self.c_str(), "certificates_tests", "--gtest_filter=DllCrashReportWorker.Run", nullptr);
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
