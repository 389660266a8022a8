// The nine CSP entry points that refuse every call: no lock, no argument or handle is looked at.
// CPHashData, CPDuplicateHash and CPImportKey (PUBLICKEYBLOB) work as the others unless
// "CSP_Compatibility" is 0.
#include "frontend/luCspHandlers.h"
#include "frontend/luCspLookup.h"
#include "frontend/luEntryFrame.h"
#include "platform/platDebug.h"

namespace {

// The work of the three that "CSP_Compatibility" turns on.
int DoHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData, DWORD cbDataLen, DWORD dwFlags) {
    if (dwFlags & ~static_cast<DWORD>(CRYPT_USERDATA)) {
        TRACE(DBERRO_0, "Parametro invalido, dwFlags=[%X]\n", static_cast<unsigned>(dwFlags));
        return NTE_BAD_FLAGS;
    }
    TLUProvider* session = nullptr;
    TLUKeyRef context;
    TLUHashRef hash;
    int result = luCspHashOf(hProv, hHash, &session, &context, &hash);
    if (result != 0) return result;
    if (!pbData && cbDataLen > 0) {
        TRACE(DBERRO_0, "Parametro invalido, pbData=[%p] dwDataLen=[%d]\n", static_cast<const void*>(pbData),
              static_cast<int>(cbDataLen));
        return NTE_INVALID_PARAMETER;
    }
    return hash->HashData(pbData, cbDataLen);
}

int DoDuplicateHash(HCRYPTPROV hProv, HCRYPTHASH hHash, const DWORD* pdwReserved, DWORD dwFlags,
                    HCRYPTHASH* phHash) {
    if (pdwReserved || !phHash) {
        TRACE(DBERRO_0, "Parametro invalido, pdwReserved=[%p] phHash=[%p]\n",
              static_cast<const void*>(pdwReserved), static_cast<void*>(phHash));
        return NTE_INVALID_PARAMETER;
    }
    if (dwFlags != 0) return NTE_BAD_FLAGS;
    TLUProvider* session = nullptr;
    TLUKeyRef context;
    TLUHashRef hash;
    int result = luCspHashOf(hProv, hHash, &session, &context, &hash);
    if (result != 0) return result;
    return session->DuplicateHash(hProv, *hash, phHash);
}

// A public key to verify with (PUBLICKEYBLOB only; no key wraps it).
int DoImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                HCRYPTKEY* phKey) {
    if (!pbData || !phKey) return NTE_INVALID_PARAMETER;
    if (hPubKey || dwFlags) return NTE_BAD_FLAGS;
    TLUProvider* session = nullptr;
    TLUKeyRef context;
    int result = luCspContextOf(hProv, &session, &context);
    if (result != 0) return result;
    if (cbDataLen < 1 || pbData[0] != PUBLICKEYBLOB) {
        TRACE(DBERRO_0, "Somente PUBLICKEYBLOB pode ser importado\n");
        return NTE_BAD_TYPE;
    }
    return session->ImportPublicKey(hProv, pbData, cbDataLen, phKey);
}

} // namespace

BOOL luCspDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags,
                  BYTE* pbData, DWORD* pcbDataLen) {
    LU_EXPORT_FRAME(frame, kEntryRefusing, "CPDecrypt");
    LU_ENTRY_TRACE(
        frame, DBHEAD_E,
        "<%s hProviderKey=[%p] hKey=[%p] hHash=[%p] Final=[%d] dwFlags=[%d], pbData=[%p], pdwDataLen=[%d]>\n",
        reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hKey), reinterpret_cast<void*>(hHash), fFinal,
        static_cast<int>(dwFlags), static_cast<void*>(pbData), luPtrAsInt(pcbDataLen));
    return frame.Run([&] { return luRefuseNotImplemented(frame.EntryName()); });
}

BOOL luCspDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags, HCRYPTKEY* phKey) {
    LU_EXPORT_FRAME(frame, kEntryRefusing, "CPDeriveKey");
    LU_ENTRY_TRACE(frame, DBHEAD_E,
                   "<%s hProviderKey=[%p] Algid=[%d] hBaseData=[%X] dwFlags=[%d] phKey=[%p]>\n",
                   reinterpret_cast<void*>(hProv), static_cast<int>(Algid), static_cast<unsigned>(hBaseData),
                   static_cast<int>(dwFlags), static_cast<void*>(phKey));
    return frame.Run([&] { return luRefuseNotImplemented(frame.EntryName()); });
}

BOOL luCspDuplicateHash(HCRYPTPROV hUID, HCRYPTHASH hHash, DWORD* pdwReserved, DWORD dwFlags,
                        HCRYPTHASH* phHash) {
    const bool works = luCompatibility();
    LU_EXPORT_FRAME(frame, works ? kEntryWorking : kEntryRefusing, "CPDuplicateHash");
    LU_ENTRY_TRACE(
        frame, DBHEAD_E, "<%s hProviderKey=[%p] hHash=[%p] pdwReserved=[%p] dwFlags=[%X] phHash=[%p]>\n",
        reinterpret_cast<void*>(hUID), reinterpret_cast<void*>(hHash), static_cast<void*>(pdwReserved),
        static_cast<unsigned>(dwFlags), static_cast<void*>(phHash));
    if (works) return frame.Run([&] { return DoDuplicateHash(hUID, hHash, pdwReserved, dwFlags, phHash); });
    return frame.Run([&] { return luRefuseNotImplemented(frame.EntryName()); });
}

BOOL luCspDuplicateKey(HCRYPTPROV hUID, HCRYPTKEY hKey, DWORD* pdwReserved, DWORD dwFlags, HCRYPTKEY* phKey) {
    LU_EXPORT_FRAME(frame, kEntryRefusing, "CPDuplicateKey");
    LU_ENTRY_TRACE(frame, DBHEAD_E, "<%s hUID=[%p] hKey=[%p] pdwReserved=[%p] dwFlags=[%X] phKey=[%p]>\n",
                   reinterpret_cast<void*>(hUID), reinterpret_cast<void*>(hKey),
                   static_cast<void*>(pdwReserved), static_cast<unsigned>(dwFlags),
                   static_cast<void*>(phKey));
    return frame.Run([&] { return luRefuseNotImplemented(frame.EntryName()); });
}

BOOL luCspGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    LU_EXPORT_FRAME(frame, kEntryRefusing, "CPGenKey");
    LU_ENTRY_TRACE(frame, DBHEAD_E, "<%s hProviderKey=[%p] Algid=[%X] dwFlags=[%X] phKey=[%p]>\n",
                   reinterpret_cast<void*>(hProv), static_cast<unsigned>(Algid),
                   static_cast<unsigned>(dwFlags), static_cast<void*>(phKey));
    return frame.Run([&] { return luRefuseNotImplemented(frame.EntryName()); });
}

BOOL luCspGenRandom(HCRYPTPROV hProv, DWORD cbLen, BYTE* pbBuffer) {
    LU_EXPORT_FRAME(frame, kEntryRefusing, "CPGenRandom");
    LU_ENTRY_TRACE(frame, DBHEAD_E, "<%s hProviderKey=[%p] dwLen=[%p] pbBuffer=[%p]>\n",
                   reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(static_cast<uintptr_t>(cbLen)),
                   static_cast<void*>(pbBuffer));
    return frame.Run([&] { return luRefuseNotImplemented(frame.EntryName()); });
}

BOOL luCspHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData, DWORD cbDataLen, DWORD dwFlags) {
    const bool works = luCompatibility();
    LU_EXPORT_FRAME(frame, works ? kEntryWorking : kEntryRefusing, "CPHashData");
    LU_ENTRY_TRACE(
        frame, DBHEAD_E, "<%s hProviderKey=[%p] hHash=[%p] pbData=[%p] dwDataLen=[%p] dwFlags=[%X]>\n",
        reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hHash), static_cast<const void*>(pbData),
        reinterpret_cast<void*>(static_cast<uintptr_t>(cbDataLen)), static_cast<unsigned>(dwFlags));
    if (works) return frame.Run([&] { return DoHashData(hProv, hHash, pbData, cbDataLen, dwFlags); });
    return frame.Run([&] { return luRefuseNotImplemented(frame.EntryName()); });
}

BOOL luCspHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags) {
    LU_EXPORT_FRAME(frame, kEntryRefusing, "CPHashSessionKey");
    LU_ENTRY_TRACE(frame, DBHEAD_E, "<%s hProviderKey=[%p] hHash=[%p] hKey=[%p] dwFlags=[%X]>\n",
                   reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hHash),
                   reinterpret_cast<void*>(hKey), static_cast<unsigned>(dwFlags));
    return frame.Run([&] { return luRefuseNotImplemented(frame.EntryName()); });
}

BOOL luCspImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                    HCRYPTKEY* phKey) {
    const bool works = luCompatibility();
    LU_EXPORT_FRAME(frame, works ? kEntryWorking : kEntryRefusing, "CPImportKey");
    LU_ENTRY_TRACE(frame, DBHEAD_E,
                   "<%s hProviderKey=[%p] pbData=[%p] dwDataLen=[%d] hPubKey=[%p] dwFlags=[%X] phKey=[%p]>\n",
                   reinterpret_cast<void*>(hProv), static_cast<const void*>(pbData),
                   static_cast<int>(cbDataLen), reinterpret_cast<void*>(hPubKey),
                   static_cast<unsigned>(dwFlags), static_cast<void*>(phKey));
    if (works)
        return frame.Run([&] { return DoImportKey(hProv, pbData, cbDataLen, hPubKey, dwFlags, phKey); });
    return frame.Run([&] { return luRefuseNotImplemented(frame.EntryName()); });
}
