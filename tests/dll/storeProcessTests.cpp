// The certificate-store stand-in shared between processes: a store opened while another process
// deletes and adds entries sees every entry that stays, whatever the order of the removals.
#include "os/platTypes.h"
#include "support/testCerts.h"
#include "support/testProcess.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace testcerts;

namespace {

const char kWorkerEnv[] = "LUCSP_STORE_WORKER";
const char kCerts[] = "Software\\Microsoft\\SystemCertificates\\MY\\Certificates\\";

std::string ChurnListPath() {
    return std::string(getenv("LUCSP_ROOT")) + "/churn.txt";
}

// Every value file below dir, recursively.
void ValueFiles(const std::string& dir, std::vector<std::string>& out) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    while (struct dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = dir + "/" + name;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode))
            ValueFiles(path, out);
        else if (name[0] == '@')
            out.push_back(path);
    }
    closedir(d);
}

std::vector<std::string> StoreThumbprints() {
    std::vector<std::string> out;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, "MY");
    if (!store) return out;
    PCCERT_CONTEXT ctx = nullptr;
    while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr) {
        BYTE hash[20];
        DWORD len = sizeof(hash);
        if (CertGetCertificateContextProperty(ctx, CERT_SHA1_HASH_PROP_ID, hash, &len))
            out.push_back(ToHex(hash, len));
    }
    CertCloseStore(store, 0);
    return out;
}

// Deletes the listed entries' registry keys and writes them again, in a loop, for the given time.
int ChurnEntries(int milliseconds) {
    std::vector<std::pair<std::string, std::vector<BYTE>>> entries;
    std::ifstream list(ChurnListPath());
    for (std::string name; std::getline(list, name);) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, (kCerts + name).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return 2;
        DWORD size = 0;
        RegQueryValueExA(key, "Blob", nullptr, nullptr, nullptr, &size);
        std::vector<BYTE> blob(size);
        LONG rc = RegQueryValueExA(key, "Blob", nullptr, nullptr, blob.data(), &size);
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS) return 3;
        entries.emplace_back(name, blob);
    }
    if (entries.empty()) return 4;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < until) {
        for (const auto& e : entries)
            if (RegDeleteKeyA(HKEY_CURRENT_USER, (kCerts + e.first).c_str()) != ERROR_SUCCESS) return 5;
        for (const auto& e : entries) {
            HKEY key = nullptr;
            if (RegCreateKeyExA(HKEY_CURRENT_USER, (kCerts + e.first).c_str(), 0, nullptr, 0, KEY_WRITE,
                                nullptr, &key, nullptr) != ERROR_SUCCESS)
                return 6;
            LONG rc = RegSetValueExA(key, "Blob", 0, REG_BINARY, e.second.data(),
                                     static_cast<DWORD>(e.second.size()));
            RegCloseKey(key);
            if (rc != ERROR_SUCCESS) return 7;
        }
    }
    return 0;
}

pid_t SpawnWorker(const char* role) {
    return SpawnTestWorker("StoreProcessWorker.Run", kWorkerEnv, role);
}

} // namespace

// The body of the worker processes; skipped when the test binary runs normally.
TEST(StoreProcessWorker, Run) {
    const char* role = getenv(kWorkerEnv);
    if (!role) GTEST_SKIP() << "runs only inside the multi-process tests";
    if (strcmp(role, "load") == 0) {
        // Loading runs the library's start-up, which reads its settings from the registry.
        void* handle = dlopen(LUCSP_DLL_PATH, RTLD_NOW | RTLD_LOCAL);
        _exit(handle && dlclose(handle) == 0 ? 0 : 8);
    }
    _exit(ChurnEntries(2000));
}

TEST(StoreProcesses, EnumerationSeesEveryEntryThatStaysWhileAnotherProcessDeletes) {
    TTestRoot root;
    TTestKey key = TTestKey::Rsa(1024);
    std::vector<std::string> stable, churn;
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    ASSERT_NE(nullptr, store);
    for (BYTE serial = 1; serial <= 24; ++serial) {
        TTestCertOptions opt;
        opt.Serial = {serial};
        opt.CommonName = "Churn " + std::to_string(serial);
        TTestCert cert = TTestCert::SelfSigned(key, opt);
        Bytes der = cert.Der();
        ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                     static_cast<DWORD>(der.size()), CERT_STORE_ADD_NEW,
                                                     nullptr));
        (serial % 2 ? churn : stable).push_back(cert.Sha1Hex());
    }
    CertCloseStore(store, 0);
    {
        std::ofstream list(ChurnListPath());
        for (const std::string& name : churn)
            list << name << "\n";
    }

    pid_t worker = SpawnWorker("churn");
    ASSERT_GT(worker, 0);
    int opens = 0, incomplete = 0, status = 0;
    while (waitpid(worker, &status, WNOHANG) == 0) {
        std::vector<std::string> seen = StoreThumbprints();
        ++opens;
        for (const std::string& s : stable)
            if (std::find(seen.begin(), seen.end(), s) == seen.end()) {
                ++incomplete;
                break;
            }
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_GT(opens, 5);
    EXPECT_EQ(0, incomplete) << "of " << opens << " enumerations";
    EXPECT_EQ(24u, StoreThumbprints().size());
}

TEST(StoreProcesses, FifosPlantedAsValueFilesDoNotHangTheLibraryLoad) {
    TTestRoot root;
    // A first load writes the settings with their defaults; then each of those value files is a FIFO.
    pid_t first = SpawnWorker("load");
    ASSERT_GT(first, 0);
    ASSERT_EQ(0, WaitTestWorker(first, 60));
    std::vector<std::string> values;
    ValueFiles(root.Path() + "/registry", values);
    ASSERT_FALSE(values.empty());
    for (const std::string& v : values) {
        ASSERT_EQ(0, unlink(v.c_str())) << v;
        ASSERT_EQ(0, mkfifo(v.c_str(), 0600)) << v;
    }
    pid_t second = SpawnWorker("load");
    ASSERT_GT(second, 0);
    EXPECT_EQ(0, WaitTestWorker(second, 60)) << values.size() << " FIFOs";
}
