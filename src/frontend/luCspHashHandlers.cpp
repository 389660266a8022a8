// The hash entry points.
#include "frontend/luCspHandlers.h"
#include "frontend/luCspLookup.h"
#include "frontend/luEntryFrame.h"
#include "platform/platDebug.h"

BOOL luCspCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash) {
    LU_EXPORT_FRAME(frame, kEntryWorking, "CPCreateHash");
    LU_ENTRY_TRACE(frame, DBHEAD_E, "<%s hProviderKey=[%p] Algid=[%d] hKey=[%p] dwFlags=[%X] phHash=[%p]>\n",
                   reinterpret_cast<void*>(hProv), static_cast<int>(Algid), reinterpret_cast<void*>(hKey),
                   static_cast<unsigned>(dwFlags), static_cast<void*>(phHash));
    return frame.Run([&] {
        TLUProvider* session = nullptr;
        TLUKeyRef context;
        int r = luCspContextOf(hProv, &session, &context);
        return r != 0 ? r : session->CreateHash(session, hProv, Algid, hKey, dwFlags, phHash);
    });
}

BOOL luCspDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash) {
    LU_EXPORT_FRAME(frame, kEntryCleanup, "CPDestroyHash");
    LU_ENTRY_TRACE(frame, DBHEAD_E, "<%s hProviderKey=[%p], hProviderHash=[%p]>\n",
                   reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hHash));
    return frame.Run([&] {
        TLUProvider* session = nullptr;
        TLUKeyRef context;
        TLUHashRef hash;
        int r = luCspHashOf(hProv, hHash, &session, &context, &hash);
        return r != 0 ? r : session->DestroyHash(session, hHash);
    });
}

BOOL luCspGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                       DWORD dwFlags) {
    LU_EXPORT_FRAME(frame, kEntryWorking, "CPGetHashParam");
    LU_ENTRY_TRACE(
        frame, DBHEAD_E,
        "<%s hProviderKey=[%p] hProviderHash=[%p] dwParam=[%X] pbData=[%p], pdwDataLen=[%p], dwFlags=[%X]>\n",
        reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hHash), static_cast<unsigned>(dwParam),
        static_cast<void*>(pbData), static_cast<void*>(pcbDataLen), static_cast<unsigned>(dwFlags));
    return frame.Run([&] {
        TLUProvider* session = nullptr;
        TLUKeyRef context;
        TLUHashRef hash;
        int r = luCspHashOf(hProv, hHash, &session, &context, &hash);
        return r != 0 ? r : hash->GetParam(dwParam, pbData, pcbDataLen, dwFlags);
    });
}

BOOL luCspSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    LU_EXPORT_FRAME(frame, kEntryWorking, "CPSetHashParam");
    LU_ENTRY_TRACE(
        frame, DBHEAD_E, "<%s hProviderKey=[%p] hProviderHash=[%p] dwParam=[%X] pbData=[%p] dwFlags=[%X]>\n",
        reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hHash), static_cast<unsigned>(dwParam),
        static_cast<const void*>(pbData), static_cast<unsigned>(dwFlags));
    return frame.Run([&] {
        TLUProvider* session = nullptr;
        TLUKeyRef context;
        TLUHashRef hash;
        int r = luCspHashOf(hProv, hHash, &session, &context, &hash);
        return r != 0 ? r : hash->SetParam(dwParam, pbData, dwFlags);
    });
}
