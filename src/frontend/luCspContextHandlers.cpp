// CPAcquireContext, CPReleaseContext and the provider parameters.
#include "frontend/luAppGlobal.h"
#include "frontend/luCspHandlers.h"
#include "frontend/luCspLookup.h"
#include "frontend/luEntryFrame.h"
#include "platform/platDebug.h"

namespace {

// CRYPT_VERIFYCONTEXT: a context without private key, whatever container is named; the certificate
// list is not read for it.
int DoAcquireVerifyContext(HCRYPTPROV* phProv, DWORD dwFlags) {
    if (!phProv || !gLUProvider) {
        TRACE(DBERRO_0, "Parametro invalido, hProviderKey=[%p] luProvider=[%p]\n", static_cast<void*>(phProv),
              static_cast<void*>(gLUProvider));
        return NTE_INVALID_PARAMETER;
    }
    const DWORD allowed = CRYPT_VERIFYCONTEXT | CRYPT_SILENT;
    if (dwFlags & ~allowed) {
        TRACE(DBERRO_0, "Flags invalidas com CRYPT_VERIFYCONTEXT, dwFlags=[%X]\n",
              static_cast<unsigned>(dwFlags));
        return NTE_BAD_FLAGS;
    }
    ULONG_PTR handle = 0;
    int code = gLUProvider->OpenVerifyContext(&handle);
    if (code == 0) *phProv = static_cast<HCRYPTPROV>(handle);
    return code;
}

// The flags of a container's context that open nothing of the container.
int RefuseContextFlags(DWORD dwFlags) {
    static const struct {
        DWORD Flag;
        const char* Trace;
    } kRefused[] = {
        {CRYPT_NEWKEYSET, "Flag CRYPT_NEWKEYSET: Is not Implemented\n"},
        {CRYPT_DELETEKEYSET, "Flag CRYPT_DELETEKEYSET: Is not Implemented\n"},
        {CRYPT_VERIFYCONTEXT, "Flag CRYPT_VERIFYCONTEXT: Is not Implemented\n"},
        {CRYPT_MACHINE_KEYSET, "Flag CRYPT_MACHINE_KEYSET: Is not Implemented\n"},
        {CRYPT_DEFAULT_CONTAINER_OPTIONAL, "Flag CRYPT_DEFAULT_CONTAINER_OPTIONAL: Is not Implemented\n"},
    };
    for (const auto& refused : kRefused) {
        if (dwFlags & refused.Flag) {
            TRACE(DBERRO_0, "%s", refused.Trace);
            return NTE_BAD_FLAGS;
        }
    }
    return 0;
}

int DoAcquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags, TLUProvider** session) {
    if ((dwFlags & CRYPT_VERIFYCONTEXT) && luCompatibility()) return DoAcquireVerifyContext(phProv, dwFlags);
    if (!szContainer || !phProv) {
        TRACE(DBERRO_0, "Parametro invalido, pszKeyName=[%p] hProviderKey=[%p]\n",
              static_cast<const void*>(szContainer), static_cast<void*>(phProv));
        return NTE_INVALID_PARAMETER;
    }
    if (!gLUProvider) {
        TRACE(DBERRO_0, "Parametro invalido, hProvSessionResult=[%p] luProvider=[%p]\n",
              static_cast<void*>(session), static_cast<void*>(gLUProvider));
        return NTE_INVALID_PARAMETER;
    }
    TRACE(DBINFO_0, "Opening the hProvSessionLocal\n");
    int code = gLUProvider->OpenStorageProvider(session);
    if (code != 0) {
        TRACE(DBERRO_0, "Falha no OpenStorageProvider\n");
        *session = nullptr;
        return code;
    }
    TRACE(DBINFO_0, "Provider 'TLUProvider' criado com sucesso, *hProviderKey=[%p], luProvider=[%p]\n",
          static_cast<void*>(phProv), static_cast<void*>(gLUProvider));
    code = RefuseContextFlags(dwFlags);
    if (code != 0) return code;
    ULONG_PTR handle = 0;
    code = (*session)->OpenKey(*session, TLUHandleKind::Context, 0, &handle, szContainer, 0, dwFlags);
    if (code == 0) *phProv = static_cast<HCRYPTPROV>(handle);
    return code;
}

int DoReleaseContext(HCRYPTPROV hProv) {
    TLUProvider* session = nullptr;
    TLUKeyRef context;
    int result = luCspContextOf(hProv, &session, &context);
    if (result != 0) return result;
    // A verify-only context was never counted as a session.
    result =
        context->HasCertificate() ? session->FreeProvider(session, hProv) : session->FreeVerifyContext(hProv);
    if (result != 0) return result;
    TRACE(DBINFO_0, "hProvSessionLocal=[%p] destruido com sucesso, luProvider=[%p]\n",
          static_cast<void*>(session), static_cast<void*>(gLUProvider));
    return 0;
}

} // namespace

BOOL luCspAcquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags, PVTableProvStruc pVTable) {
    LU_EXPORT_FRAME(frame, kEntryWorking, "CPAcquireContext");
    // pVTable belongs to advapi32, which fills it and frees its provider name on release: left as it is.
    LU_ENTRY_TRACE(frame, DBHEAD_E, "<%s hProviderKey=[%p] pszKeyName=[%p] dwFlags=[%X] pVTable=[%p]>\n",
                   static_cast<void*>(phProv), static_cast<const void*>(szContainer),
                   static_cast<unsigned>(dwFlags), static_cast<void*>(pVTable));
    TLUProvider* session = nullptr;
    BOOL result = frame.Run([&] { return DoAcquireContext(phProv, szContainer, dwFlags, &session); });
    if (!result && session) {
        // The session this call opened is closed again; the caller still reads this call's error.
        TLUKeepLastError keep;
        session->FreeProvider(session, 0);
    }
    if (result) luPinLibrary();
    return result;
}

BOOL luCspReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    LU_EXPORT_FRAME(frame, kEntryCleanup, "CPReleaseContext");
    LU_ENTRY_TRACE(frame, DBHEAD_E, "<%s hProviderKey=[%p] dwFlags=[%X]>\n", reinterpret_cast<void*>(hProv),
                   static_cast<unsigned>(dwFlags));
    return frame.Run([&] { return DoReleaseContext(hProv); });
}

BOOL luCspGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen, DWORD dwFlags) {
    LU_EXPORT_FRAME(frame, kEntryWorking, "CPGetProvParam");
    LU_ENTRY_TRACE(frame, DBHEAD_E,
                   "<%s hProviderKey=[%p] dwParam=[%X] pbData=[%p] pdwDataLen=[%p] dwFlags=[%X]>\n",
                   reinterpret_cast<void*>(hProv), static_cast<unsigned>(dwParam), static_cast<void*>(pbData),
                   static_cast<void*>(pcbDataLen), static_cast<unsigned>(dwFlags));
    return frame.Run([&] {
        TLUProvider* session = nullptr;
        TLUKeyRef context;
        int r = luCspContextOf(hProv, &session, &context);
        return r != 0 ? r : session->GetParam(session, context.get(), dwParam, pbData, pcbDataLen, dwFlags);
    });
}

BOOL luCspSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    LU_EXPORT_FRAME(frame, kEntryWorking, "CPSetProvParam");
    LU_ENTRY_TRACE(frame, DBHEAD_E, "<%s hProviderKey=[%p] dwParam=[%X] pbData=[%p] dwFlags=[%X]>\n",
                   reinterpret_cast<void*>(hProv), static_cast<unsigned>(dwParam),
                   static_cast<const void*>(pbData), static_cast<unsigned>(dwFlags));
    return frame.Run([&] {
        TLUProvider* session = nullptr;
        TLUKeyRef context;
        int r = luCspContextOf(hProv, &session, &context);
        return r != 0 ? r : session->SetParam(session, context.get(), dwParam, pbData, dwFlags);
    });
}
