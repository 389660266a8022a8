// Why a private-key operation found no signature, as far as the caller can act on it.
#pragma once

enum class TLUFailure {
    None,
    // No usable token stored for the certificate (missing, unreadable, or not a header's text).
    NoToken,
    // The service refused the token: HTTP 401 or 403.
    TokenRefused,
    // The service was not reached: configuration, DNS, connection, TLS handshake or certificate, time-out.
    Unreachable,
    // The service answered with an error: 5xx and any other status than 2xx, 401 and 403.
    ServiceFailed,
    // The answer carried no usable result: malformed, or not the key's result for the block sent.
    AnswerUnusable,
};

// The short name of a class, for messages and the trace ("token-refused"...).
const char* luFailureName(TLUFailure failure);
