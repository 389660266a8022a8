// Whom the transport trusts and what it writes do not depend on the host process: not on libcurl's
// built-in CA directory, a folder in the working directory or SSLKEYLOGFILE. Each case runs in a worker
// process; those that plant CAs where libcurl looks by default do it in a mount namespace of their own, so
// the machine's store is never touched.
#include "RefSigningService.h"
#include "service/libCurl.h"
#include "support/testCerts.h"
#include "support/testProcess.h"
#include "support/testRoot.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

const char kWorkerEnv[] = "LUCSP_TRUST_WORKER";
const int kNoNamespace = 77;

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

// An empty memory file system over each directory, seen by this process only (a user namespace too
// where the process may not make a mount namespace by itself).
bool PrivateDirectories(const std::vector<std::string>& dirs) {
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (unshare(CLONE_NEWNS) != 0) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 || !WriteText("/proc/self/setgroups", "deny") ||
            !WriteText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !WriteText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    for (const std::string& dir : dirs)
        if (mount("tmpfs", dir.c_str(), "tmpfs", 0, nullptr) != 0) return false;
    return true;
}

// A CA under OpenSSL's hashed name in dir: what a CA directory lookup finds.
bool PlantHashed(const std::string& dir, const std::string& caPem) {
    BIO* bio = BIO_new_mem_buf(caPem.data(), static_cast<int>(caPem.size()));
    X509* ca = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    if (!ca) return false;
    char name[16];
    snprintf(name, sizeof(name), "%08lx.0", X509_subject_name_hash(ca));
    X509_free(ca);
    return WriteText(dir + "/" + name, caPem);
}

// A CA named apart from the reference service's own CAs: verification takes an issuer by its name.
testcerts::TTestCert OtherCA(const testcerts::TTestKey& key) {
    testcerts::TTestCertOptions options;
    options.CommonName = "Outra AC";
    options.IsCA = true;
    return testcerts::TTestCert::SelfSigned(key, options);
}

// libcurl's built-in CA file or directory, empty when it was built without.
std::string LibcurlDefault(CURLINFO info) {
    CURL* curl = curl_easy_init();
    char* value = nullptr;
    std::string out = curl && curl_easy_getinfo(curl, info, &value) == CURLE_OK && value ? value : "";
    curl_easy_cleanup(curl);
    return out;
}

// A service on loopback; any completed answer (it is sent no valid token) is a transport success.
struct TService {
    TRefSigningService Service;
    std::string URL;
    bool Start() {
        if (!Service.Start(0, false)) return false;
        URL = Service.SignURL();
        return true;
    }
    bool Post(TLibCurl& curl, const char* caFile) {
        TVarnoMemory header, body, recv;
        header.AddString("TokenPSC: escopo");
        body.AddString("\"AAAA\"");
        return curl.Request(true, URL.c_str(), caFile, &header, &recv, &body);
    }
};

// The service chains only to a CA in libcurl's built-in directory; the CA file names another CA.
int ServiceInTheBuiltInDirectory(const std::string& root) {
    const std::string caDir = LibcurlDefault(CURLINFO_CAPATH);
    if (caDir.empty()) return 0;
    if (!PrivateDirectories({caDir})) return kNoNamespace;
    TService service;
    // Named apart from the service's CA: a CA of the same name in the file would hide the planted one.
    const std::string otherCA = root + "/other-ca.pem";
    if (!service.Start() || !PlantHashed(caDir, service.Service.CA_CertPEM()) ||
        !WriteText(otherCA, OtherCA(testcerts::TTestKey::Rsa(2048)).Pem()))
        return 1;
    // libcurl itself, as another program in the process would use it, trusts the planted CA.
    CURL* plain = curl_easy_init();
    curl_easy_setopt(plain, CURLOPT_URL, service.URL.c_str());
    curl_easy_setopt(plain, CURLOPT_CAINFO, otherCA.c_str());
    curl_easy_setopt(plain, CURLOPT_NOBODY, 1L);
    CURLcode plainCode = curl_easy_perform(plain);
    curl_easy_cleanup(plain);
    if (plainCode != CURLE_OK) return 2;
    TLibCurl alone;
    if (service.Post(alone, otherCA.c_str()) || alone.resultCurl != CURLE_PEER_FAILED_VERIFICATION) return 3;
    TLibCurlShared shared;
    TLibCurl withShared;
    withShared.Shared = &shared;
    if (service.Post(withShared, otherCA.c_str())) return 4;
    return 0;
}

// The system store is kept after a first request; then a folder named like a marker of it in the working
// directory holds the CA of another service.
int FolderInTheWorkingDirectory(const std::string& root) {
    const std::string bundle = LibcurlDefault(CURLINFO_CAINFO);
    if (bundle.empty()) return 0;
    std::vector<std::string> dirs{bundle.substr(0, bundle.rfind('/'))};
    const std::string caDir = LibcurlDefault(CURLINFO_CAPATH);
    if (!caDir.empty() && caDir != dirs[0]) dirs.push_back(caDir);
    if (!PrivateDirectories(dirs)) return kNoNamespace;
    TService trusted, planted;
    // Named apart from the trusted service's CA, which would otherwise be found first by its name.
    testcerts::TTestKey plantedKey = testcerts::TTestKey::Rsa(2048);
    const std::string plantedCA = OtherCA(plantedKey).Pem();
    if (!planted.Service.CA_LoadPEM(plantedCA, plantedKey.PrivatePem()) || !trusted.Start() ||
        !planted.Start() || !WriteText(bundle, trusted.Service.CA_CertPEM()))
        return 1;
    TLibCurlShared shared;
    TLibCurl curl;
    curl.Shared = &shared;
    if (!trusted.Post(curl, nullptr)) return 2;
    if (chdir(root.c_str()) != 0) return 3;
    for (const char* folder : {"|system-ca-store|", "system-ca-store"}) {
        if (mkdir(folder, 0700) != 0 || !PlantHashed(folder, plantedCA)) return 4;
    }
    if (planted.Post(curl, nullptr)) return 5;
    if (!trusted.Post(curl, nullptr)) return 6;
    return 0;
}

// SSLKEYLOGFILE set before libcurl starts: no TLS secret reaches it.
int KeyLogOfTheHost(const std::string& root) {
    const std::string keyLog = root + "/keys.log";
    setenv("SSLKEYLOGFILE", keyLog.c_str(), 1);
    TService service;
    const std::string caFile = root + "/ca.pem";
    if (!service.Start() || !WriteText(caFile, service.Service.CA_CertPEM())) return 1;
    TLibCurlShared shared;
    TLibCurl alone, withShared;
    withShared.Shared = &shared;
    if (!service.Post(alone, caFile.c_str()) || !service.Post(withShared, caFile.c_str()) ||
        !service.Post(withShared, caFile.c_str()))
        return 2;
    struct stat st {};
    return stat(keyLog.c_str(), &st) != 0 || st.st_size == 0 ? 0 : 3;
}

} // namespace

// The body of the worker processes; skipped when the test binary runs normally.
TEST(TrustScopeWorker, Run) {
    const char* role = getenv(kWorkerEnv);
    if (!role) GTEST_SKIP() << "runs only inside the trust scope tests";
    int rc = 0;
    {
        TTestRoot root;
        rc = strcmp(role, "capath") == 0   ? ServiceInTheBuiltInDirectory(root.Path())
             : strcmp(role, "folder") == 0 ? FolderInTheWorkingDirectory(root.Path())
                                           : KeyLogOfTheHost(root.Path());
    }
    fflush(nullptr);
    _exit(rc);
}

TEST(TrustScope, TheHostsCaDirectoryFoldersAndKeyLogChangeNothing) {
    for (const char* role : {"capath", "folder", "keylog"}) {
        SCOPED_TRACE(role);
        pid_t pid = SpawnTestWorker("TrustScopeWorker.Run", kWorkerEnv, role);
        ASSERT_GT(pid, 0);
        int rc = WaitTestWorker(pid, 60);
        if (rc == kNoNamespace) {
            std::printf("%s: no mount namespace here, not checked\n", role);
            continue;
        }
        EXPECT_EQ(0, rc) << "failed at step " << rc;
    }
}
