// lucsp-refservice: the reference signing service as a process, for scripts, the demo and
// tests that want a server outside their own process.
#include "RefSigningService.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <pthread.h>
#include <sys/prctl.h>

namespace {

const char kUsage[] =
    "usage: lucsp-refservice [options]\n"
    "  --port N             listen on 127.0.0.1:N (0, the default: a free port)\n"
    "  --keys N             signing keys to generate (default 1, or 0 with --keys-dir)\n"
    "  --token TOKEN        token of the next generated key (repeatable; default random)\n"
    "  --key-bits N         RSA size of generated signing keys (default 2048)\n"
    "  --cn NAME            subject CN of generated keys (default \"Reference Signer\", numbered)\n"
    "  --serial-high-bit    give generated certificates a serial with the top bit set\n"
    "  --keys-dir DIR       load NAME.key/NAME.crt/NAME.token (and ca.key/ca.crt) from DIR\n"
    "  --save-keys DIR      write the CA and all keys to DIR in the --keys-dir layout\n"
    "  --tls-cert FILE      TLS certificate (PEM) instead of one issued by the CA\n"
    "  --tls-key FILE       its private key (PEM)\n"
    "  --ca-out FILE        write the CA certificate (the clients' CA file)\n"
    "  --cert-out FILE      write the signing certificates (PEM, in key order)\n"
    "  --no-control         no /_control endpoint\n"
    "  --die-with-parent    end when the parent process ends\n"
    "Prints KEY lines, then \"LISTENING 127.0.0.1:PORT\"; runs until SIGINT or SIGTERM.\n";

bool ParseInt(const char* text, int low, int high, int& value) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!*text || *end || v < low || v > high) return false;
    value = static_cast<int>(v);
    return true;
}

bool ReadFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    text = ss.str();
    return in.good() || in.eof();
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return !out.fail();
}

int Fail(const std::string& what) {
    std::fprintf(stderr, "lucsp-refservice: %s\n", what.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    int port = 0, keyCount = -1, keyBits = 2048;
    std::vector<std::string> tokens;
    std::string commonName = "Reference Signer", keysDir, saveDir, tlsCert, tlsKey, caOut, certOut;
    bool control = true, dieWithParent = false;
    TRefSerialTopBit topBit = TRefSerialTopBit::Random;

    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        bool hasValue = i + 1 < argc;
        const char* value = hasValue ? argv[i + 1] : "";
        auto needValue = [&](std::string& target) {
            if (!hasValue) return false;
            target = value;
            ++i;
            return true;
        };
        auto needInt = [&](int low, int high, int& target) {
            if (!hasValue || !ParseInt(value, low, high, target)) return false;
            ++i;
            return true;
        };
        std::string token;
        bool ok = true;
        if (opt == "--port")
            ok = needInt(0, 65535, port);
        else if (opt == "--keys")
            ok = needInt(0, 100, keyCount);
        else if (opt == "--token")
            ok = needValue(token) && (tokens.push_back(token), true);
        else if (opt == "--key-bits")
            ok = needInt(1024, 8192, keyBits);
        else if (opt == "--cn")
            ok = needValue(commonName) && !commonName.empty();
        else if (opt == "--serial-high-bit")
            topBit = TRefSerialTopBit::Set;
        else if (opt == "--keys-dir")
            ok = needValue(keysDir);
        else if (opt == "--save-keys")
            ok = needValue(saveDir);
        else if (opt == "--tls-cert")
            ok = needValue(tlsCert);
        else if (opt == "--tls-key")
            ok = needValue(tlsKey);
        else if (opt == "--ca-out")
            ok = needValue(caOut);
        else if (opt == "--cert-out")
            ok = needValue(certOut);
        else if (opt == "--no-control")
            control = false;
        else if (opt == "--die-with-parent")
            dieWithParent = true;
        else if (opt == "--help" || opt == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else
            ok = false;
        if (!ok) {
            std::fprintf(stderr, "lucsp-refservice: bad option or value: %s\n%s", opt.c_str(), kUsage);
            return 2;
        }
    }
    if (tlsCert.empty() != tlsKey.empty()) {
        std::fprintf(stderr, "lucsp-refservice: --tls-cert and --tls-key go together\n");
        return 2;
    }
    if (keyCount < 0) keyCount = keysDir.empty() ? 1 : 0;
    if (tokens.size() > static_cast<size_t>(keyCount)) {
        std::fprintf(stderr, "lucsp-refservice: more --token values than generated keys\n");
        return 2;
    }

    // Block the stop signals before any thread starts, so that every thread inherits the mask
    // and only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A peer that goes away mid-answer must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    if (dieWithParent) prctl(PR_SET_PDEATHSIG, SIGTERM);

    TRefSigningService service;
    if (!keysDir.empty() && !service.Key_LoadDir(keysDir)) return Fail(service.LastError());
    for (int k = 0; k < keyCount; ++k) {
        std::string cn = keyCount > 1 ? commonName + " " + std::to_string(k + 1) : commonName;
        std::string token = static_cast<size_t>(k) < tokens.size() ? tokens[k] : std::string();
        if (!service.Key_Generate(token, cn, keyBits, topBit)) return Fail(service.LastError());
    }
    if (!tlsCert.empty()) {
        std::string certPEM, keyPEM;
        if (!ReadFile(tlsCert, certPEM) || !ReadFile(tlsKey, keyPEM))
            return Fail("cannot read " + tlsCert + " or " + tlsKey);
        if (!service.TLS_LoadPEM(certPEM, keyPEM)) return Fail(service.LastError());
    }
    if (!service.Start(port, control)) return Fail(service.LastError());

    const auto keys = service.Key_List();
    std::string certs;
    for (const auto& k : keys)
        certs += k.CertPEM;
    if (!caOut.empty() && !WriteFile(caOut, service.CA_CertPEM())) return Fail("cannot write " + caOut);
    if (!certOut.empty() && !WriteFile(certOut, certs)) return Fail("cannot write " + certOut);
    if (!saveDir.empty() && !service.Key_SaveDir(saveDir)) return Fail(service.LastError());
    if (!tlsCert.empty() && !caOut.empty())
        std::fprintf(stderr, "lucsp-refservice: note: %s holds the generated CA, which did not issue %s\n",
                     caOut.c_str(), tlsCert.c_str());

    for (const auto& k : keys)
        std::printf("KEY SERIAL=%s TOKEN=%s BITS=%zu CN=%s\n", k.SerialHex.c_str(), k.Token.c_str(),
                    k.ModulusBytes * 8, k.SubjectCN.c_str());
    std::printf("LISTENING 127.0.0.1:%d\n", service.Port());
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stopSignals, &sig);
    service.Stop();
    return 0;
}
