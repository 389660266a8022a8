// lucsp-refservice run as a separate process, the way scripts and other tests use it.
#include "RefJson.h"
#include "RefTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace reftest;

namespace {

// One child process with its stdout read line by line.
class TChild {
  public:
    explicit TChild(const std::vector<std::string>& args) {
        int out[2];
        if (pipe(out) != 0) return;
        Pid = fork();
        if (Pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(REFSERVICE_EXE));
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(REFSERVICE_EXE, argv.data());
            _exit(127);
        }
        close(out[1]);
        Fd = out[0];
    }
    ~TChild() {
        if (Pid > 0 && !Exited) {
            kill(Pid, SIGKILL);
            waitpid(Pid, nullptr, 0);
        }
        if (Fd >= 0) close(Fd);
    }

    // Next line of stdout, or false after the timeout or at end of output.
    bool ReadLine(std::string& line, int timeoutMs = 60000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            size_t nl = Buffer.find('\n');
            if (nl != std::string::npos) {
                line = Buffer.substr(0, nl);
                Buffer.erase(0, nl + 1);
                return true;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{Fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char buf[4096];
            ssize_t n = read(Fd, buf, sizeof buf);
            if (n <= 0) return false;
            Buffer.append(buf, static_cast<size_t>(n));
        }
    }

    // Lines up to "LISTENING 127.0.0.1:PORT"; the port, or 0.
    int WaitListening(std::vector<std::string>& keyLines) {
        std::string line;
        while (ReadLine(line)) {
            if (line.rfind("KEY ", 0) == 0)
                keyLines.push_back(line);
            else if (line.rfind("LISTENING 127.0.0.1:", 0) == 0)
                return std::atoi(line.c_str() + 20);
        }
        return 0;
    }

    // Exit status after SIGTERM, or -1.
    int Terminate() {
        kill(Pid, SIGTERM);
        return Wait();
    }
    int Wait() {
        int status = 0;
        if (waitpid(Pid, &status, 0) != Pid) return -1;
        Exited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t Pid = -1;

  private:
    int Fd = -1;
    bool Exited = false;
    std::string Buffer;
};

std::string Field(const std::string& line, const std::string& name) {
    std::istringstream in(line);
    std::string word;
    while (in >> word)
        if (word.rfind(name + "=", 0) == 0) return word.substr(name.size() + 1);
    return std::string();
}

} // namespace

TEST(RefProcess, ServesSignsAndIsDrivenThroughTheControlEndpoint) {
    TTempDir dir;
    TChild child({"--port", "0", "--ca-out", dir.File("ca.pem"), "--cert-out", dir.File("signer.pem"),
                  "--token", "proc-token", "--key-bits", "1024", "--serial-high-bit"});
    std::vector<std::string> keys;
    int port = child.WaitListening(keys);
    ASSERT_GT(port, 0);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(Field(keys[0], "TOKEN"), "proc-token");
    EXPECT_EQ(Field(keys[0], "BITS"), "1024");
    std::string serial = Field(keys[0], "SERIAL");
    ASSERT_EQ(serial.size(), 32u);
    EXPECT_NE(std::string("89ABCDEF").find(serial[0]), std::string::npos);

    std::string certPEM = ReadText(dir.File("signer.pem"));
    std::string err;
    TRefX509 cert = TRefCrypto::CertFromPEM(certPEM, err);
    ASSERT_TRUE(cert) << err;
    EXPECT_EQ(TRefCrypto::SerialHex(cert.get()), serial);

    auto cli = Client(port, dir.File("ca.pem"));
    auto res = PostSign(*cli, "proc-token", SignBody(Pkcs1Block("from a process", 128)));
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    ASSERT_EQ(res->status, 200);
    const std::string prefix = "\",\"rawSignature\":\"";
    size_t at = res->body.find(prefix);
    ASSERT_NE(at, std::string::npos);
    TRefBytes sig;
    ASSERT_TRUE(refBase64_Decode(
        res->body.substr(at + prefix.size(), res->body.size() - at - prefix.size() - 4), sig));
    EXPECT_TRUE(VerifyWithCert(certPEM, "from a process", sig));

    res = cli->Post("/_control/fault", "{\"mode\":\"emptyarray\"}", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    res = PostSign(*cli, "proc-token", SignBody(Pkcs1Block("x", 128)));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "{\"signatures\":[]}");
    res = cli->Get("/_control/stats");
    ASSERT_TRUE(res);
    std::map<std::string, TRefJsonValue> st;
    ASSERT_TRUE(refJson_ParseFlatObject(res->body, st)) << res->body;
    EXPECT_EQ(st["requests"].Integer, 2);
    EXPECT_EQ(st["faulted"].Integer, 1);

    EXPECT_EQ(child.Terminate(), 0);
}

TEST(RefProcess, SavedKeysDirectoryServesTheSameKeysAgain) {
    TTempDir dir;
    std::string keysDir = dir.File("keys");
    std::vector<std::string> keys1, keys2;
    {
        TChild first({"--keys", "2", "--token", "t-one", "--key-bits", "1024", "--save-keys", keysDir});
        ASSERT_GT(first.WaitListening(keys1), 0);
        EXPECT_EQ(first.Terminate(), 0);
    }
    ASSERT_EQ(keys1.size(), 2u);
    EXPECT_EQ(Field(keys1[0], "TOKEN"), "t-one");
    EXPECT_EQ(Field(keys1[1], "TOKEN").size(), 32u) << "a random token for the key without --token";

    TChild second({"--keys-dir", keysDir, "--no-control"});
    int port = second.WaitListening(keys2);
    ASSERT_GT(port, 0);
    ASSERT_EQ(keys2.size(), 2u);
    for (const auto& line : keys1)
        EXPECT_NE(std::find(keys2.begin(), keys2.end(), line), keys2.end()) << line;
    // The CA was loaded too, so the old CA file still trusts the new server.
    auto cli = Client(port, keysDir + "/ca.crt");
    auto res = PostSign(*cli, "t-one", SignBody(Pkcs1Block("again", 128)));
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    res = cli->Get("/_control/stats");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
    EXPECT_EQ(second.Terminate(), 0);
}

TEST(RefProcess, BadArgumentsAndUnusableKeysEndWithoutListening) {
    TTempDir dir;
    struct TCase {
        std::vector<std::string> Args;
        int Status;
    };
    const TCase cases[] = {
        {{"--port", "70000"}, 2},
        {{"--port"}, 2},
        {{"--key-bits", "512"}, 2},
        {{"--frobnicate"}, 2},
        {{"--tls-cert", "x.pem"}, 2},
        {{"--keys", "1", "--token", "a", "--token", "b"}, 2},
        {{"--keys-dir", dir.File("absent")}, 1},
        {{"--token", "has\ttab"}, 1},
    };
    for (const auto& c : cases) {
        TChild child(c.Args);
        std::vector<std::string> keys;
        EXPECT_EQ(child.WaitListening(keys), 0) << c.Args[0];
        EXPECT_EQ(child.Wait(), c.Status) << c.Args[0];
    }
}
