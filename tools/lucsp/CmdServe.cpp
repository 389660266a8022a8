// serve: the reference signing service in the foreground, for trying the provider out and for the demo.
#include "LucspCommands.h"
#include "LucspErrors.h"

#include <cstdio>

#ifdef LUCSP_WITH_SERVE
#include "RefSigningService.h"

#include <csignal>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/prctl.h>
#endif

namespace {

#ifdef LUCSP_WITH_SERVE

int RunServe(TCommand& cmd) {
    long port = 0, keys = -1, bits = 2048;
    if (!cmd.GetInt("--port", 0, 65535, 0, port) || !cmd.GetInt("--keys", 0, 100, -1, keys) ||
        !cmd.GetInt("--key-bits", 1024, 8192, 2048, bits))
        return cmd.ExitCode;
    std::string keysDir = cmd.Args.Get("--keys-dir"), cn = cmd.Args.Get("--cn", "Reference Signer");
    std::string tlsCert = cmd.Args.Get("--tls-cert"), tlsKey = cmd.Args.Get("--tls-key");
    if (keys < 0) keys = keysDir.empty() ? 1 : 0;
    std::vector<std::string> tokens;
    if (cmd.Args.Has("--token")) tokens = cmd.Args.Values.at("--token");
    if (tokens.size() > static_cast<size_t>(keys))
        return cmd.Usage("more --token values than generated keys");
    if (tlsCert.empty() != tlsKey.empty()) return cmd.Usage("--tls-cert and --tls-key go together");
    if (cn.empty()) return cmd.Usage("--cn wants a name");

    // Block the stop signals before the server's threads start, so that they inherit the mask and only
    // sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    if (cmd.Args.Has("--die-with-parent")) prctl(PR_SET_PDEATHSIG, SIGTERM);

    struct stat st;
    if (!keysDir.empty() && (stat(keysDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
        return cmd.Fail("no directory " + keysDir, LUCSP_ERROR_PATH_NOT_FOUND);
    TRefSigningService service;
    if (!keysDir.empty() && !service.Key_LoadDir(keysDir))
        return cmd.Fail("cannot load the keys of " + keysDir + ": " + service.LastError(),
                        LUCSP_ERROR_INVALID_DATA);
    for (long k = 0; k < keys; ++k) {
        std::string name = keys > 1 ? cn + " " + std::to_string(k + 1) : cn;
        std::string token = static_cast<size_t>(k) < tokens.size() ? tokens[k] : std::string();
        if (!service.Key_Generate(token, name, static_cast<int>(bits)))
            return cmd.Fail("cannot generate a signing key: " + service.LastError(),
                            LUCSP_ERROR_FUNCTION_FAILED);
    }
    if (!tlsCert.empty()) {
        std::string certPEM, keyPEM;
        if (uint32_t code = lucspReadFile(tlsCert, certPEM)) return cmd.Fail("cannot read " + tlsCert, code);
        if (uint32_t code = lucspReadFile(tlsKey, keyPEM)) return cmd.Fail("cannot read " + tlsKey, code);
        if (!service.TLS_LoadPEM(certPEM, keyPEM))
            return cmd.Fail("cannot use the TLS certificate: " + service.LastError(),
                            LUCSP_ERROR_INVALID_DATA);
    }
    if (!service.Start(static_cast<int>(port), !cmd.Args.Has("--no-control")))
        return cmd.Fail("cannot start the service on 127.0.0.1:" + std::to_string(port) + ": " +
                            service.LastError(),
                        LUCSP_ERROR_FUNCTION_FAILED);

    const auto list = service.Key_List();
    std::string certs;
    for (const auto& k : list)
        certs += k.CertPEM;
    std::string caOut = cmd.Args.Get("--ca-out"), certOut = cmd.Args.Get("--cert-out");
    std::string saveDir = cmd.Args.Get("--save-keys"), tokenOut = cmd.Args.Get("--token-out");
    uint32_t code = 0;
    std::string failed;
    if (!caOut.empty() && (code = lucspWriteFile(caOut, service.CA_CertPEM()))) failed = caOut;
    if (!code && !certOut.empty() && (code = lucspWriteFile(certOut, certs))) failed = certOut;
    if (!code && !tokenOut.empty() && !list.empty() &&
        (code = lucspWriteFile(tokenOut, list.front().Token + "\n")))
        failed = tokenOut;
    if (!code && !saveDir.empty() && !service.Key_SaveDir(saveDir)) {
        code = LUCSP_ERROR_WRITE_FAULT;
        failed = saveDir + " (" + service.LastError() + ")";
    }
    if (code) {
        service.Stop();
        return cmd.Fail("cannot write " + failed, code);
    }

    for (const auto& k : list)
        std::printf("KEY SERIAL=%s TOKEN=%s BITS=%zu CN=%s\n", k.SerialHex.c_str(), k.Token.c_str(),
                    k.ModulusBytes * 8, k.SubjectCN.c_str());
    std::printf("LISTENING 127.0.0.1:%d\n", service.Port());
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stopSignals, &sig);
    service.Stop();
    return 0;
}

#else

int RunServe(TCommand& cmd) {
    return cmd.Fail("the reference signing service is built on Linux only; run lucsp serve there and point "
                    "CNX_ServiceHost at it",
                    LUCSP_ERROR_NOT_SUPPORTED);
}

#endif

} // namespace

void lucspAddServeCommands(std::vector<TCommandDef>& table) {
    table.push_back(TCommandDef{
        "serve",
        "[--port N] [--keys N] [--token T]... [--key-bits N] [--cn NAME] [--keys-dir DIR] [--save-keys DIR] "
        "[--ca-out FILE] [--cert-out FILE] [--token-out FILE] [--tls-cert FILE --tls-key FILE]",
        "Run the reference signing service on 127.0.0.1 until interrupted (Ctrl-C, SIGTERM).",
        {{"--port", "N", "port on 127.0.0.1 (0, the default: a free one)"},
         {"--keys", "N", "signing keys to generate (default 1, or 0 with --keys-dir)"},
         {"--token", "T", "token of the next generated key (repeatable; default random)"},
         {"--key-bits", "N", "RSA size of generated keys (default 2048)"},
         {"--cn", "NAME", "subject CN of generated keys (default \"Reference Signer\")"},
         {"--keys-dir", "DIR", "serve the given keys: NAME.key, NAME.crt, NAME.token (and ca.key, ca.crt)"},
         {"--save-keys", "DIR", "write the CA and the keys to DIR in the --keys-dir layout"},
         {"--ca-out", "FILE", "write the CA certificate: the value for CNX_CAFile"},
         {"--cert-out", "FILE", "write the signing certificates (PEM, key order): for lucsp register"},
         {"--token-out", "FILE", "write the first key's token: for lucsp register --token-file"},
         {"--tls-cert", "FILE", "serve this TLS certificate (PEM) instead of one issued by the CA"},
         {"--tls-key", "FILE", "its private key (PEM)"},
         {"--no-control", nullptr, "no /_control endpoint"},
         {"--die-with-parent", nullptr, "end when the parent process ends"}},
        0,
        0,
        "Prints one \"KEY SERIAL=<hex> TOKEN=<token> BITS=<n> CN=<name>\" line per key, then\n"
        "\"LISTENING 127.0.0.1:<port>\" once it accepts connections. Point the library at it with\n"
        "  lucsp config set CNX_ServiceHost 127.0.0.1:<port>\n"
        "  lucsp config set CNX_CAFile <the --ca-out file>\n"
        "and register the certificate with lucsp register --cert <--cert-out file> --token <token>.\n",
        RunServe,
        false});
}
