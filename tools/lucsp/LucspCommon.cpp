#include "LucspCommands.h"
#include "LucspErrors.h"

#include "os/platTypes.h"
#include "platform/platToken.h"

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
    case LUCSP_SCARD_E_NO_SMARTCARD:
        what += "; no token: none registered for this certificate and user, or it cannot be opened here "
                "(lucsp register --token ...)";
        break;
    case LUCSP_SCARD_W_WRONG_CHV:
        what += "; token refused: the signing service answered 401/403, the token is wrong, expired or "
                "revoked (register a current one)";
        break;
    case LUCSP_SCARD_E_READER_UNAVAILABLE:
        what += "; service unreachable: DNS, connection, proxy, TLS certificate or time-out (lucsp doctor; "
                "CNX_ServiceHost, CNX_Proxy, CNX_CAFile)";
        break;
    case LUCSP_SCARD_E_UNEXPECTED:
        what += "; service failed: it answered an error (5xx or other); try again later or ask its operator";
        break;
    case LUCSP_SCARD_E_COMM_DATA_LOST:
        what +=
            "; answer unusable: the service's answer was malformed or not this key's signature (lucsp log)";
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
    return platTokenIsStored(serial);
}

std::string lucspFailureClass(uint32_t code) {
    switch (code) {
    case LUCSP_SCARD_E_NO_SMARTCARD:
        return "no token";
    case LUCSP_SCARD_W_WRONG_CHV:
        return "token refused";
    case LUCSP_SCARD_E_READER_UNAVAILABLE:
        return "service unreachable";
    case LUCSP_SCARD_E_UNEXPECTED:
        return "service failed";
    case LUCSP_SCARD_E_COMM_DATA_LOST:
        return "answer unusable";
    default:
        return std::string();
    }
}
