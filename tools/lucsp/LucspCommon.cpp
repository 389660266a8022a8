#include "LucspCommands.h"
#include "LucspErrors.h"

#include "os/platTypes.h"

bool lucspOpenLibrary(TCommand& cmd, TCryptoClient& client) {
    uint32_t code = client.Open(cmd.LibraryPath());
    if (!code) return true;
    cmd.Fail("cannot load the provider library " + client.LibraryPath() +
                 (client.LoadError().empty() ? std::string() : " (" + client.LoadError() + ")") +
                 "; give it with --library or LUCSP_LIBRARY",
             code);
    return false;
}

int lucspFailCall(TCommand& cmd, TCryptoClient& client, uint32_t code, const std::string& context) {
    std::string what = client.FailedCall().empty() ? std::string("provider call") : client.FailedCall();
    what += " failed";
    if (!context.empty()) what += " (" + context + ")";
    switch (code) {
    case LUCSP_NTE_NO_KEY:
        what += "; no certificate of this provider in the personal store has that container (see lucsp list)";
        break;
    case LUCSP_NTE_SYS_ERR:
        what +=
            "; the signing service did not sign (unreachable, refused the token, or a bad answer: see lucsp "
            "log and lucsp config list)";
        break;
    case LUCSP_NTE_FAIL:
        what += "; often a certificate without a registered token (lucsp register --token ...; lucsp list)";
        break;
    case LUCSP_ERROR_FUNCTION_FAILED:
        what += "; the library gave no code, its trace log tells why (lucsp log)";
        break;
    default:
        break;
    }
    return cmd.Fail(what, code);
}

bool lucspHasToken(const char* serial) {
    std::string path = std::string("SOFTWARE\\Varno\\Trelis_Server\\") + serial;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return false;
    DWORD type = 0, size = 0;
    LONG rc = RegQueryValueExA(key, "Token", nullptr, &type, nullptr, &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && size > 0;
}
