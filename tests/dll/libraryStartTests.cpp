// The library's start-up keeps the host process's OpenSSL configuration out: OPENSSL_CONF may name a
// file that loads engines or provider modules (code) into whatever process loads the provider.
#include "support/testProcess.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <utime.h>

namespace {

const char kWorkerEnv[] = "LUCSP_START_WORKER";

int WaitExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

time_t AccessTime(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_atime : -1;
}

// Access time far below the modification time: reading the file moves it also on a relatime mount.
void AgeAccessTime(const std::string& path) {
    struct stat st {};
    ASSERT_EQ(0, stat(path.c_str(), &st));
    struct utimbuf times {};
    times.actime = 1000000000;
    times.modtime = st.st_mtime;
    ASSERT_EQ(0, utime(path.c_str(), &times));
}

// Runs a worker with OPENSSL_CONF set; its exit status.
int RunWorker(const char* role, const std::string& conf) {
    setenv("OPENSSL_CONF", conf.c_str(), 1);
    pid_t pid = SpawnTestWorker("LibraryStartWorker.Run", kWorkerEnv, role);
    unsetenv("OPENSSL_CONF");
    return pid > 0 ? WaitExit(pid) : -1;
}

} // namespace

// The worker: optionally loads the library first, then asks OpenSSL for a digest, which a configuration
// demanding FIPS properties (and no FIPS provider) would make fail.
TEST(LibraryStartWorker, Run) {
    const char* role = getenv(kWorkerEnv);
    if (!role) GTEST_SKIP() << "runs only inside the multi-process tests";
    if (strcmp(role, "library") == 0 && !dlopen(LUCSP_DLL_PATH, RTLD_NOW | RTLD_LOCAL)) _exit(8);
    EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    EVP_MD_free(md);
    _exit(md ? 0 : 9);
}

TEST(LibraryStart, HostConfigurationIsNotLoaded) {
#if defined(__SANITIZE_ADDRESS__)
    // Under the address sanitizer the host's OpenSSL is configured before the library's start-up runs,
    // so the order this test pins down cannot be seen there; the plain build and the Wine suite check it.
    GTEST_SKIP() << "the sanitizer runtime changes the host's start-up order";
#endif
    TTestRoot root;
    std::string module = root.Path() + "/evil.so";
    std::string conf = root.Path() + "/openssl.cnf";
    {
        std::ofstream(module) << "not a module\n";
        std::ofstream out(conf);
        out << "openssl_conf = openssl_init\n[openssl_init]\nproviders = provider_section\n"
               "alg_section = evp_properties\n[provider_section]\ndefault = default_section\n"
               "[default_section]\nactivate = 1\n[evp_properties]\ndefault_properties = fips=yes\n";
    }
    // Without the library the configuration applies, and reading it shows in the access time (unless the
    // file system keeps none).
    AgeAccessTime(conf);
    time_t before = AccessTime(conf);
    EXPECT_EQ(9, RunWorker("plain", conf));
    bool accessTimes = AccessTime(conf) != before;

    AgeAccessTime(conf);
    before = AccessTime(conf);
    EXPECT_EQ(0, RunWorker("library", conf));
    if (accessTimes) {
        EXPECT_EQ(before, AccessTime(conf)) << "the configuration file was read";
    }

    // One that loads a module: nothing is loaded, the library starts all the same.
    {
        std::ofstream out(conf);
        out << "openssl_conf = openssl_init\n[openssl_init]\nproviders = provider_section\n"
               "[provider_section]\nevil = evil_section\n[evil_section]\nmodule = "
            << module << "\nactivate = 1\n";
    }
    AgeAccessTime(module);
    before = AccessTime(module);
    EXPECT_EQ(0, RunWorker("library", conf));
    if (accessTimes) {
        EXPECT_EQ(before, AccessTime(module)) << "the module was opened";
    }
}
