#include "certificates/libLUIdentify.h"
#include "platform/platDebug.h"
#include "support/testRoot.h"
#include "support/testTrace.h"

#include <gtest/gtest.h>

#include <memory>
#include <openssl/sha.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string Sha256Hex(const std::string& text) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : digest) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

std::string Concatenated(const TLUIdentify& id) {
    return std::string(id.HostName) + id.UserName + id.DiskProduct + id.DiskVendor + id.DiskSerial +
           id.CPUName + id.CPUIdentifier;
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

// A machine of the test's own below LUCSP_SYSFS_ROOT: one loop device (no device link), one disk, one
// processor.
class FakeMachine : public ::testing::Test {
  protected:
    void SetUp() override {
        Sys = Root.Path() + "/machine";
        std::filesystem::create_directories(Sys + "/sys/block/loop0");
        WriteFile(Sys + "/sys/block/sdb/device/model", "Other Disk\n");
        WriteFile(Sys + "/sys/block/sda/device/model", "Samsung SSD 860   \n");
        WriteFile(Sys + "/sys/block/sda/device/vendor", "ATA     \n");
        WriteFile(Sys + "/proc/cpuinfo",
                  "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\n"
                  "model\t\t: 85\nmodel name\t: Intel(R) Xeon(R) CPU\nstepping\t: 7\n\n"
                  "processor\t: 1\nmodel name\t: Second CPU\n");
        setenv("LUCSP_SYSFS_ROOT", Sys.c_str(), 1);

        TraceLog = std::make_unique<TTestTrace>(Root.Path());
    }
    void TearDown() override {
        TraceLog.reset();
        unsetenv("LUCSP_SYSFS_ROOT");
    }

    TTestRoot Root;
    std::string Sys;
    std::unique_ptr<TTestTrace> TraceLog;
};

} // namespace

TEST(Identity, RealMachineGivesTheDigestOfTheConcatenatedFields) {
    TLUIdentify id;
    EXPECT_STREQ(id.GetDNA(), "");
    ASSERT_TRUE(id.Update());
    EXPECT_NE(id.HostName[0], 0);
    EXPECT_NE(id.UserName[0], 0);
    std::string dna = id.GetDNA();
    ASSERT_EQ(dna.size(), 64u);
    for (char c : dna)
        EXPECT_TRUE(isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F')) << dna;
    EXPECT_EQ(dna, Sha256Hex(Concatenated(id)));

    std::string json = id.GetJSON();
    size_t a = json.find("\"dna\""), b = json.find("\"hostname\""), c = json.find("\"user\"");
    ASSERT_NE(a, std::string::npos) << json;
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_NE(json.find(dna), std::string::npos);

    // Stable: again in this object, in another object and in another process.
    ASSERT_TRUE(id.Update());
    EXPECT_EQ(dna, id.GetDNA());
    TLUIdentify other;
    ASSERT_TRUE(other.Update());
    EXPECT_EQ(dna, other.GetDNA());

    int pipeFd[2];
    ASSERT_EQ(pipe(pipeFd), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TLUIdentify inChild;
        std::string text = inChild.Update() ? inChild.GetDNA() : "";
        ssize_t w = write(pipeFd[1], text.data(), text.size());
        _exit(w == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    close(pipeFd[1]);
    char buf[128] = {0};
    ssize_t n = read(pipeFd[0], buf, sizeof(buf) - 1);
    close(pipeFd[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(dna, std::string(buf, static_cast<size_t>(n)));
}

TEST_F(FakeMachine, FirstPhysicalDiskAndFirstProcessorAreRead) {
    TLUIdentify id;
    ASSERT_TRUE(id.Update());
    EXPECT_STREQ(id.DiskProduct, "Samsung SSD 860");
    EXPECT_STREQ(id.DiskVendor, "ATA");
    EXPECT_STREQ(id.DiskSerial, ""); // no serial: still a dna
    EXPECT_STREQ(id.CPUName, "Intel(R) Xeon(R) CPU");
    EXPECT_STREQ(id.CPUIdentifier, "Intel64 Family 6 Model 85 Stepping 7");
    std::string first = id.GetDNA();
    EXPECT_EQ(first, Sha256Hex(Concatenated(id)));

    // Another serial number, another dna.
    WriteFile(Sys + "/sys/block/sda/serial", "S3Z9NB0K123456\n");
    ASSERT_TRUE(id.Update());
    EXPECT_STREQ(id.DiskSerial, "S3Z9NB0K123456");
    EXPECT_NE(first, id.GetDNA());
    EXPECT_EQ(std::string(id.GetDNA()), Sha256Hex(Concatenated(id)));
}

TEST_F(FakeMachine, NoDiskGivesAnEmptyIdentity) {
    std::filesystem::remove_all(Sys + "/sys/block");
    TLUIdentify id;
    EXPECT_FALSE(id.Update());
    EXPECT_STREQ(id.HostName, "");
    EXPECT_STREQ(id.UserName, "");
    EXPECT_STREQ(id.GetDNA(), "");
    EXPECT_STREQ(id.GetJSON(), "");
    std::string trace = TraceLog->Text();
    std::string expected =
        "Falha no 'CreateFileA' do DiskFileName=[" + Sys + "/sys/block] GetLastError()=[2]";
    EXPECT_NE(trace.find(expected), std::string::npos) << trace;
    EXPECT_NE(trace.find("Falha no platCOM.GetDiskInfo"), std::string::npos);
}

TEST_F(FakeMachine, UnreadableProcessorDescriptionEmptiesAnEarlierGoodIdentity) {
    TLUIdentify id;
    ASSERT_TRUE(id.Update());
    std::filesystem::remove(Sys + "/proc/cpuinfo");
    EXPECT_FALSE(id.Update());
    EXPECT_STREQ(id.DiskProduct, "");
    EXPECT_STREQ(id.HostName, "");
    EXPECT_STREQ(id.GetDNA(), "");
    EXPECT_NE(TraceLog->Text().find("Falha no platCOM.GetCPUInfo"), std::string::npos);
}

TEST_F(FakeMachine, ProcessorWithoutNameStillSucceeds) {
    WriteFile(Sys + "/proc/cpuinfo", "processor\t: 0\nvendor_id\t: AuthenticAMD\ncpu family\t: 26\n"
                                     "model\t\t: 2\nstepping\t: 1\n");
    TLUIdentify id;
    ASSERT_TRUE(id.Update());
    EXPECT_STREQ(id.CPUName, "");
    EXPECT_STREQ(id.CPUIdentifier, "AMD64 Family 26 Model 2 Stepping 1");
}
