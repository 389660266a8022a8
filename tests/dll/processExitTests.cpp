// Processes that end with the provider loaded, as most applications end. exit() runs every exit handler
// (the C++ static destructors, OpenSSL's own cleanup) before the library's detach, so a detach that
// reaches anything those released corrupts the heap of a process that has done nothing wrong. Each case
// runs real processes in a row: one that signs and exits, one that signs, unloads and exits.
#include "dll/dllHarness.h"
#include "support/testExec.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace dllharness;

namespace {

struct TExitEnv {
    TTestRoot Root;
    TRefSigningService Service;
    TRefKeyInfo Key;
    std::string Token = "exit-token-0123456789-0123456789";
    std::string TraceDir;
    bool Ready = false;
};

TExitEnv& Env() {
    static std::unique_ptr<TExitEnv> env;
    if (env) return *env;
    env = std::make_unique<TExitEnv>();
    TExitEnv& e = *env;
    if (!e.Service.Key_Generate(e.Token, "Assinante Saida", 2048, TRefSerialTopBit::Set, &e.Key) ||
        !e.Service.Start()) {
        ADD_FAILURE() << "reference service: " << e.Service.LastError();
        return e;
    }
    std::string caFile = e.Root.Path() + "/service-ca.pem";
    std::ofstream(caFile, std::ios::binary) << e.Service.CA_CertPEM();
    e.TraceDir = e.Root.Path() + "/trace";
    std::filesystem::create_directories(e.TraceDir);
    // The trace log on: it is written from the detach as well.
    if (!WriteEndpointSettings("127.0.0.1:" + std::to_string(e.Service.Port()), caFile,
                               5000 * testTimeScale(), true, e.TraceDir)) {
        ADD_FAILURE() << "endpoint settings not written";
        return e;
    }
    TCspApi api;
    bool registered =
        api.Load(LUCSP_DLL_PATH) &&
        api.TrelisServer_RegisterCertificate(e.Key.CertPEM.data(), static_cast<int>(e.Key.CertPEM.size()),
                                             e.Token.data(), static_cast<int>(e.Token.size()));
    api.Unload();
    if (!registered) {
        ADD_FAILURE() << "certificate not registered " << api.Error;
        return e;
    }
    e.Ready = true;
    return e;
}

// Processes per case: LUCSP_EXIT_LOOPS, 10 unless set (a memory checker's run sets fewer).
int Loops() {
    const char* text = getenv("LUCSP_EXIT_LOOPS");
    int n = text ? atoi(text) : 0;
    return n > 0 ? n : 10;
}

// What the processes since the last call wrote to the trace log.
std::string TakeTrace() {
    std::string all;
    for (const auto& f : std::filesystem::directory_iterator(Env().TraceDir)) {
        all += ReadWholeFile(f.path().string());
        std::filesystem::remove(f.path());
    }
    return all;
}

// The trace's last lines, where a failed request names its cause.
std::string TraceTail(const std::string& trace) {
    size_t from = trace.size();
    for (int lines = 0; from > 0 && lines < 40; ++lines)
        from = trace.rfind('\n', from - 1) == std::string::npos ? 0 : trace.rfind('\n', from - 1);
    return trace.substr(from);
}

struct TChildEnd {
    bool Exited = false;
    int Status = -1;
    int Signal = 0;
    std::string Err;
};

// Runs the child to its end (killed after two minutes), its stderr kept in a file of the data root.
TChildEnd RunChild(const char* mode, const std::string& container) {
    TChildEnd end;
    std::string errFile = Env().Root.Path() + "/child.err";
    pid_t pid = fork();
    if (pid == 0) {
        if (!freopen(errFile.c_str(), "w", stderr)) _exit(126);
        // Without the per-thread cache, and with freed blocks filled, glibc's own checks catch a write
        // to a freed block in that very process; a memory checker ignores these settings.
        setenv("GLIBC_TUNABLES", "glibc.malloc.tcache_count=0:glibc.malloc.perturb=165", 1);
        testExecChild({LUCSP_EXIT_CHILD, mode, container});
    }
    if (pid < 0) return end;
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    pid_t w;
    while ((w = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (w == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        end.Err = "killed after two minutes; ";
    }
    end.Exited = WIFEXITED(status);
    end.Status = end.Exited ? WEXITSTATUS(status) : -1;
    end.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    end.Err += ReadWholeFile(errFile);
    return end;
}

class ProcessExit : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(E.Ready); }
    void TearDown() override { E.Service.Fault_Set(TRefFault()); }

    // Each child makes one failing and one good signature; the service counts both. The first context
    // pins the library, so a dlclose after it unloads nothing: either way the end of the process leaves
    // the process-wide objects to the system, the detach still traced.
    void RunLoop(const char* mode) {
        const int loops = Loops();
        TakeTrace();
        for (int i = 0; i < loops; ++i) {
            TRefFault fault;
            fault.Mode = TRefFaultMode::Http500Html;
            fault.Count = 1;
            E.Service.Fault_Set(fault);
            TRefStats before = E.Service.Stats();
            TChildEnd end = RunChild(mode, E.Key.SerialHex);
            TRefStats after = E.Service.Stats();
            std::string trace = TakeTrace();
            ASSERT_TRUE(end.Exited && end.Status == 0)
                << mode << " process " << i + 1 << " of " << loops << ": status " << end.Status << ", signal "
                << end.Signal << "\n"
                << end.Err << "trace:\n"
                << TraceTail(trace);
            EXPECT_EQ(before.Faulted + 1, after.Faulted) << mode << " process " << i + 1;
            EXPECT_EQ(before.Signed + 1, after.Signed) << mode << " process " << i + 1;
            EXPECT_EQ(std::string::npos, trace.find("~TLumidra")) << mode << " process " << i + 1;
            EXPECT_NE(std::string::npos, trace.find("reason=[DLL_PROCESS_DETACH]"))
                << mode << " process " << i + 1;
        }
    }

    TExitEnv& E = Env();
};

} // namespace

TEST_F(ProcessExit, ExitWithTheLibraryLoaded) {
    RunLoop("exit");
}

TEST_F(ProcessExit, UnloadOfThePinnedLibraryThenExit) {
    RunLoop("dlclose");
}
