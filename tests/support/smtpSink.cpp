#include "support/smtpSink.h"

#include "support/testRoot.h"

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

int FreeLoopbackPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

TSmtpSink::TSmtpSink(const std::string& dir, const std::vector<std::string>& options)
    : Dir(dir), Port(FreeLoopbackPort()), Pid(-1), Output(-1) {
    fs::create_directories(Dir);
    std::string script = (fs::path(__FILE__).parent_path() / "smtpSink.py").string();
    // Debian's interpreter, which has python3-aiosmtpd.
    std::vector<std::string> args = {"/usr/bin/python3",   script,  "--port",
                                     std::to_string(Port), "--dir", Dir};
    args.insert(args.end(), options.begin(), options.end());
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    Pid = fork();
    if (Pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string seen;
    pollfd p{out[0], POLLIN, 0};
    while (seen.find("READY\n") == std::string::npos && poll(&p, 1, 15000) > 0) {
        char buf[256];
        ssize_t n = read(out[0], buf, sizeof(buf));
        if (n <= 0) break;
        seen.append(buf, static_cast<size_t>(n));
    }
    // Kept open while the server runs, so that it never writes into a closed pipe.
    Output = out[0];
    if (seen.find("READY\n") == std::string::npos) throw std::runtime_error("SMTP server did not start");
}

TSmtpSink::~TSmtpSink() {
    if (Pid > 0) {
        kill(Pid, SIGTERM);
        int status = 0;
        waitpid(Pid, &status, 0);
    }
    if (Output >= 0) close(Output);
}

std::vector<std::string> TSmtpSink::Mails() const {
    std::vector<std::string> mails;
    for (int i = 1; fs::exists(Dir + "/" + std::to_string(i) + ".eml"); ++i)
        mails.push_back(ReadWholeFile(Dir + "/" + std::to_string(i) + ".eml"));
    return mails;
}

std::string TSmtpSink::Meta(int n) const {
    return ReadWholeFile(Dir + "/" + std::to_string(n) + ".meta");
}

std::string TSmtpSink::AuthLog() const {
    return fs::exists(Dir + "/auth.log") ? ReadWholeFile(Dir + "/auth.log") : std::string();
}

std::string MailHeader(const std::string& mail, const std::string& name) {
    size_t at = mail.find("\n" + name + ": ");
    if (at == std::string::npos) return std::string();
    at += name.size() + 3;
    return mail.substr(at, mail.find('\r', at) - at);
}

static std::string DecodeBase64(const std::string& text) {
    std::string out;
    unsigned value = 0;
    int bits = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else
            continue;
        value = (value << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((value >> bits) & 0xFF);
        }
    }
    return out;
}

std::vector<std::string> MailBodyLines(const std::string& mail) {
    size_t start = mail.find("\r\n\r\n");
    std::string body = start == std::string::npos ? std::string() : DecodeBase64(mail.substr(start + 4));
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < body.size()) {
        size_t end = body.find("\r\n", pos);
        if (end == std::string::npos) end = body.size();
        lines.push_back(body.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}
