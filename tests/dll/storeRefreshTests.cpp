// The provider's certificate list follows the personal store while contexts stay open: a certificate
// registered by another process is found by the next CPAcquireContext, one unregistered there is gone,
// and a context still open on it keeps its certificate.
#include "dll/dllHarness.h"
#include "support/testCerts.h"
#include "support/testProcess.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace dllharness;
using namespace testcerts;

namespace {

const char kWorkerEnv[] = "LUCSP_REFRESH_WORKER";

std::string PemPath(const std::string& name) {
    return std::string(getenv("LUCSP_ROOT")) + "/" + name + ".pem";
}

// "register:NAME" or "unregister:NAME" in a process of its own, through the library's exports.
int RunInOtherProcess(const std::string& role) {
    pid_t pid = SpawnTestWorker("StoreRefreshWorker.Run", kWorkerEnv, role);
    return pid > 0 ? WaitTestWorker(pid, 60) : -2;
}

struct TCertFile {
    TCertFile(const TTestKey& key, BYTE serial, const std::string& name) : Name(name) {
        TTestCertOptions opt;
        opt.Serial = {0x5E, serial};
        opt.CommonName = "Refresh " + name;
        Cert = TTestCert::SelfSigned(key, opt);
        Pem = Cert.Pem();
        std::ofstream(PemPath(name), std::ios::binary) << Pem;
    }
    std::string Name, Pem;
    TTestCert Cert;
};

} // namespace

TEST(StoreRefreshWorker, Run) {
    const char* role = getenv(kWorkerEnv);
    if (!role) GTEST_SKIP() << "runs only inside the multi-process tests";
    std::string r = role;
    size_t colon = r.find(':');
    std::ifstream in(PemPath(r.substr(colon + 1)), std::ios::binary);
    std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    TCspApi api;
    if (pem.empty() || !api.Load(LUCSP_DLL_PATH)) _exit(2);
    const std::string token = "token-do-outro-processo";
    BOOL ok = r.compare(0, colon, "register") == 0
                  ? api.TrelisServer_RegisterCertificate(pem.data(), static_cast<int>(pem.size()),
                                                         token.data(), static_cast<int>(token.size()))
                  : api.TrelisServer_UnregisterCertificate(pem.data(), static_cast<int>(pem.size()));
    api.Unload();
    _exit(ok ? 0 : 3);
}

TEST(StoreRefresh, RegistrationsOfAnotherProcessReachTheNextAcquireWhileAContextIsOpen) {
    TTestRoot root;
    TTestKey key = TTestKey::Rsa(1024);
    TCertFile first(key, 1, "first"), second(key, 2, "second");
    TCspApi api;
    ASSERT_TRUE(api.Load(LUCSP_DLL_PATH)) << api.Error;
    const std::string token = "token-deste-processo";
    ASSERT_TRUE(api.TrelisServer_RegisterCertificate(first.Pem.data(), static_cast<int>(first.Pem.size()),
                                                     token.data(), static_cast<int>(token.size())));
    VTableProvStruc vt = MakeVTable();
    HCRYPTPROV held = 0, other = 0;
    ASSERT_TRUE(api.CPAcquireContext(&held, first.Cert.SerialHex().c_str(), 0, &vt))
        << std::hex << GetLastError();
    SetLastError(0);
    EXPECT_FALSE(api.CPAcquireContext(&other, second.Cert.SerialHex().c_str(), 0, &vt));
    EXPECT_EQ(static_cast<DWORD>(NTE_NO_KEY), GetLastError());

    ASSERT_EQ(0, RunInOtherProcess("register:second"));
    ASSERT_TRUE(api.CPAcquireContext(&other, second.Cert.SerialHex().c_str(), 0, &vt))
        << std::hex << GetLastError();
    EXPECT_TRUE(api.CPReleaseContext(other, 0));

    // Gone from the store: the next acquire no longer finds it, and the context still open on it keeps
    // its certificate.
    ASSERT_EQ(0, RunInOtherProcess("unregister:first"));
    SetLastError(0);
    EXPECT_FALSE(api.CPAcquireContext(&other, first.Cert.SerialHex().c_str(), 0, &vt));
    EXPECT_EQ(static_cast<DWORD>(NTE_NO_KEY), GetLastError());
    Bytes der = first.Cert.Der();
    Bytes read(der.size() + 16, 0);
    DWORD len = static_cast<DWORD>(read.size());
    ASSERT_TRUE(api.CPGetKeyParam(held, 0, KP_CERTIFICATE, read.data(), &len, 0))
        << std::hex << GetLastError();
    read.resize(len);
    EXPECT_EQ(der, read);
    DWORD bits = 0;
    len = sizeof(bits);
    ASSERT_TRUE(api.CPGetKeyParam(held, 0, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &len, 0));
    EXPECT_EQ(1024u, bits);
    // The other certificate, registered meanwhile, is still there.
    ASSERT_TRUE(api.CPAcquireContext(&other, second.Cert.SerialHex().c_str(), 0, &vt));
    EXPECT_TRUE(api.CPReleaseContext(other, 0));
    EXPECT_TRUE(api.CPReleaseContext(held, 0));

    // Registered again in this process: found again.
    ASSERT_TRUE(api.TrelisServer_RegisterCertificate(first.Pem.data(), static_cast<int>(first.Pem.size()),
                                                     token.data(), static_cast<int>(token.size())));
    ASSERT_TRUE(api.CPAcquireContext(&held, second.Cert.SerialHex().c_str(), 0, &vt));
    ASSERT_TRUE(api.CPAcquireContext(&other, first.Cert.SerialHex().c_str(), 0, &vt));
    EXPECT_TRUE(api.CPReleaseContext(other, 0));
    EXPECT_TRUE(api.CPReleaseContext(held, 0));
    api.Unload();
}
