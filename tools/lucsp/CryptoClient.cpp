#include "CryptoClient.h"

#include "LucspErrors.h"

uint32_t TCryptoClient::Result(BOOL ok, const char* call) {
    if (ok) {
        Failed.clear();
        return 0;
    }
    Failed = call;
    DWORD code = GetLastError();
    return code ? static_cast<uint32_t>(code) : LUCSP_ERROR_FUNCTION_FAILED;
}
