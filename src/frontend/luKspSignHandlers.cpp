// The private- and public-key operations of the key storage provider: SignHash takes the CSP's road
// (frontend/luSignPipeline) with CNG's padding; VerifySignature stays local.
#include "frontend/luEntryFrame.h"
#include "frontend/luKspHandlers.h"
#include "frontend/luKspPadding.h"
#include "frontend/luKspProperties.h"
#include "frontend/luSignPipeline.h"
#include "platform/platDebug.h"

namespace {

int DoSignHash(TLUEntryFrame& frame, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, void* pPaddingInfo,
               PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature, DWORD* pcbResult,
               DWORD dwFlags) {
    if (!pcbResult || (!pbHashValue && cbHashValue)) return NTE_INVALID_PARAMETER;
    TLUKspKeyRef key;
    if (int result = luKspKeyOf(hProvider, hKey, &key)) return result;
    TLUKspPadding padding{};
    if (int result = luKspParsePadding(pPaddingInfo, dwFlags, cbHashValue, &padding)) return result;
    const DWORD lenSignature = static_cast<DWORD>(key->KeyLenght());
    // A size query or a short buffer costs no request.
    if (pbSignature && cbSignature < lenSignature) {
        *pcbResult = lenSignature;
        return NTE_BUFFER_TOO_SMALL;
    }
    if (!pbSignature) return luKspCopyOut(nullptr, lenSignature, nullptr, 0, pcbResult);
    TVarnoMemory value;
    if (!value.Add(pbHashValue, cbHashValue)) return NTE_NO_MEMORY;
    TLUSignJob job;
    const int result = luSignOperation(
        frame, hKey, key, key, value,
        [&](TLUSignOptions* options) {
            *options = TLUSignOptions{padding.Row, padding.Block};
            return 0;
        },
        &job);
    if (result != 0) return result;
    // CNG keeps the RSA block's own big-endian order.
    return luKspCopyOut(job.Result.FileData, job.Result.LenFileData, pbSignature, cbSignature, pcbResult);
}

int DoVerifySignature(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, void* pPaddingInfo,
                      PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature,
                      DWORD dwFlags) {
    if ((!pbHashValue && cbHashValue) || !pbSignature) return NTE_INVALID_PARAMETER;
    TLUKspKeyRef key;
    if (int result = luKspKeyOf(hProvider, hKey, &key)) return result;
    TLUKspPadding padding{};
    if (int result = luKspParsePadding(pPaddingInfo, dwFlags, cbHashValue, &padding)) return result;
    if (cbSignature != static_cast<DWORD>(key->KeyLenght())) return NTE_BAD_SIGNATURE;
    TVarnoMemory value, signature;
    if (!value.Add(pbHashValue, cbHashValue) || !signature.Add(pbSignature, cbSignature))
        return NTE_NO_MEMORY;
    return key->VerifySignatureHash(value, padding.Row, signature, padding.Block);
}

SECURITY_STATUS WINAPI KspSignHash(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, void* pPaddingInfo,
                                   PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature,
                                   DWORD* pcbResult, DWORD dwFlags) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(
        DBHEAD_E,
        "<%s hKey=[%p] pPaddingInfo=[%p] cbHashValue=[%u] pbSignature=[%p] cbSignature=[%u] dwFlags=[%X]>\n",
        LU_FN, reinterpret_cast<void*>(hKey), pPaddingInfo, static_cast<unsigned>(cbHashValue),
        static_cast<void*>(pbSignature), static_cast<unsigned>(cbSignature), static_cast<unsigned>(dwFlags));
    return luKspRunStatus(frame, [&] {
        return DoSignHash(frame, hProvider, hKey, pPaddingInfo, pbHashValue, cbHashValue, pbSignature,
                          cbSignature, pcbResult, dwFlags);
    });
}

SECURITY_STATUS WINAPI KspVerifySignature(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                          void* pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue,
                                          PBYTE pbSignature, DWORD cbSignature, DWORD dwFlags) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hKey=[%p] cbHashValue=[%u] cbSignature=[%u] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hKey), static_cast<unsigned>(cbHashValue),
          static_cast<unsigned>(cbSignature), static_cast<unsigned>(dwFlags));
    return luKspRunStatus(frame, [&] {
        return DoVerifySignature(hProvider, hKey, pPaddingInfo, pbHashValue, cbHashValue, pbSignature,
                                 cbSignature, dwFlags);
    });
}

} // namespace

void luKspSignEntries(NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table) {
    table->SignHash = KspSignHash;
    table->VerifySignature = KspVerifySignature;
}
