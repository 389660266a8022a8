// lucsp_wine_tests PHASE --cert FILE --token TEXT --serial HEX --msg FILE --out DIR [--compat
// pending|required] One phase per process, so that the provider is loaded and unloaded as an installer and an
// application load it. Prints one line per check and "PHASE: N passed, N failed"; exit code 0 only when all
// passed.
#include "wineCheck.h"

#include <cstdio>
#include <cstring>

namespace {

int Usage() {
    fprintf(stderr,
            "usage: lucsp_wine_tests "
            "register|capi|certkey|direct|compat|strict|crypt32|dotnet|java|ksp|kspcert|unregister "
            "--cert FILE --token TEXT --serial HEX --msg FILE --out DIR [--compat pending|required]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const char* phase = argv[1];
    TWineOptions options;
    for (int i = 2; i + 1 < argc; i += 2) {
        const char* name = argv[i];
        const char* value = argv[i + 1];
        if (!strcmp(name, "--cert"))
            options.CertFile = value;
        else if (!strcmp(name, "--token"))
            options.Token = value;
        else if (!strcmp(name, "--serial"))
            options.Serial = ToUpper(value);
        else if (!strcmp(name, "--msg"))
            options.MsgFile = value;
        else if (!strcmp(name, "--out"))
            options.OutDir = value;
        else if (!strcmp(name, "--compat") && (!strcmp(value, "pending") || !strcmp(value, "required")))
            options.CompatRequired = !strcmp(value, "required");
        else
            return Usage();
    }
    if (options.CertFile.empty() || options.Serial.empty()) return Usage();
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (!strcmp(phase, "register")) return RunRegisterPhase(options);
    if (!strcmp(phase, "capi")) return RunCapiPhase(options);
    if (!strcmp(phase, "certkey")) return RunCertKeyPhase(options);
    if (!strcmp(phase, "direct")) return RunDirectPhase(options);
    if (!strcmp(phase, "compat")) return RunCompatPhase(options);
    if (!strcmp(phase, "strict")) return RunStrictPhase(options);
    if (!strcmp(phase, "crypt32")) return RunCrypt32Phase(options);
    if (!strcmp(phase, "dotnet")) return RunDotNetPhase(options);
    if (!strcmp(phase, "java")) return RunJavaPhase(options);
    if (!strcmp(phase, "ksp")) return RunKspPhase(options);
    if (!strcmp(phase, "kspcert")) return RunKspCertPhase(options);
    if (!strcmp(phase, "unregister")) return RunUnregisterPhase(options);
    return Usage();
}
