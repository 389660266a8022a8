// The key entry points: the user key, key parameters, export and import of the public key.
#include "frontend/luCspHandlers.h"
#include "frontend/luCspLookup.h"
#include "frontend/luEntryFrame.h"
#include "platform/platCopyOut.h"
#include "platform/platDebug.h"

namespace {

int DoGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    TLUProvider* session = nullptr;
    TLUKeyRef context;
    int result = luCspContextOf(hProv, &session, &context);
    if (result != 0) return result;
    if (!context->HasCertificate()) {
        TRACE(DBERRO_0, "KeyType=[%d] não foi implementada\n", context->KeyType);
        return NTE_BAD_KEY;
    }
    ULONG_PTR userKey = 0;
    result = session->OpenKey(session, TLUHandleKind::Key, hProv, phUserKey ? &userKey : nullptr,
                              context->certificate->SerialNumber, dwKeySpec, 0);
    if (result != 0) return result;
    *phUserKey = static_cast<HCRYPTKEY>(userKey);
    TRACE(DBINFO_0, "Retornando hProviderUserKey=[%p]\n", reinterpret_cast<void*>(userKey));
    return 0;
}

int DoDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey) {
    TLUProvider* session = nullptr;
    TLUKeyRef context;
    int result = luCspContextOf(hProv, &session, &context);
    if (result != 0) return result;
    result = luCheckKey(session, hKey, nullptr);
    if (result != 0) return result;
    return session->FreeKey(session, hKey);
}

// Only the public key leaves the provider.
int RefuseBlobType(DWORD dwBlobType) {
    switch (dwBlobType) {
    case PUBLICKEYBLOB:
        return 0;
    case SIMPLEBLOB:
        TRACE(DBERRO_0, "dwBlobType=[SIMPLEBLOB] não foi implementado, retornando NTE_BAD_KEY\n");
        return NTE_BAD_KEY;
    case PRIVATEKEYBLOB:
        TRACE(DBERRO_0, "dwBlobType=[PRIVATEKEYBLOB] não foi implementado, retornando NTE_BAD_KEY_STATE\n");
        return NTE_BAD_KEY_STATE;
    case PLAINTEXTKEYBLOB:
        TRACE(DBERRO_0, "dwBlobType=[PLAINTEXTKEYBLOB] não foi implementado, retornando NTE_BAD_TYPE\n");
        return NTE_BAD_TYPE;
    case SYMMETRICWRAPKEYBLOB:
        TRACE(DBERRO_0, "dwBlobType=[SYMMETRICWRAPKEYBLOB] não foi implementado, retornando NTE_BAD_TYPE\n");
        return NTE_BAD_TYPE;
    default:
        TRACE(DBERRO_0, "Parametro dwBlobType=[%X] não implemetnado\n", static_cast<unsigned>(dwBlobType));
        return NTE_BAD_TYPE;
    }
}

// The key to export in a blob of the type asked for.
int KeyToExport(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwBlobType, TLUKeyRef* key) {
    TLUProvider* session = nullptr;
    TLUKeyRef context;
    int result = luCspContextOf(hProv, &session, &context);
    if (result != 0) return result;
    result = luCheckKey(session, hKey, key);
    if (result != 0) return result;
    return RefuseBlobType(dwBlobType);
}

int DoExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwBlobType, BYTE* pbData, DWORD* pdwDataLen) {
    if (!pdwDataLen) {
        TRACE(DBERRO_0, "Parametro invalido, pdwDataLen=[%p]\n", static_cast<void*>(pdwDataLen));
        return NTE_INVALID_PARAMETER;
    }
    TLUKeyRef key;
    int result = KeyToExport(hProv, hKey, dwBlobType, &key);
    // Made also when the key is refused: its trace lines stand where they always have.
    TVarnoMemory blob;
    if (result != 0) return result;
    result = key->BuildPublicKeyBlob(&blob);
    if (result != 0) return result;
    return CopyOutValue(blob.FileData, blob.LenFileData, pbData, pdwDataLen, *pdwDataLen, kCopyExport);
}

} // namespace

BOOL luCspGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    LU_EXPORT_FRAME(frame, kEntryWorking, "CPGetUserKey");
    LU_ENTRY_TRACE(frame, DBHEAD_E, "<%s hProviderKey=[%p] dwKeySpec=[%X] hProviderUserKey=[%p]>\n",
                   reinterpret_cast<void*>(hProv), static_cast<unsigned>(dwKeySpec),
                   static_cast<void*>(phUserKey));
    return frame.Run([&] { return DoGetUserKey(hProv, dwKeySpec, phUserKey); });
}

BOOL luCspDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey) {
    LU_EXPORT_FRAME(frame, kEntryCleanup, "CPDestroyKey");
    LU_ENTRY_TRACE(frame, DBHEAD_E, "<%s hProviderKey=[%p] hKeyToDestroy=[%p]>\n",
                   reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hKey));
    return frame.Run([&] { return DoDestroyKey(hProv, hKey); });
}

BOOL luCspGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                      DWORD dwFlags) {
    LU_EXPORT_FRAME(frame, kEntryWorking, "CPGetKeyParam");
    LU_ENTRY_TRACE(frame, DBHEAD_E,
                   "<%s hProviderKey=[%p] hKey=[%p] dwParam=[%X] pbData=[%d] pcbDataLen=[%d] dwFlags=[%X]>\n",
                   reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hKey),
                   static_cast<unsigned>(dwParam), luPtrAsInt(pbData), luPtrAsInt(pcbDataLen),
                   static_cast<unsigned>(dwFlags));
    // Key parameters are those of the context key: hKey is not looked at.
    return frame.Run([&] {
        TLUProvider* session = nullptr;
        TLUKeyRef context;
        int r = luCspKeyContextOf(hProv, &session, &context);
        return r != 0 ? r : context->GetParam(dwParam, pbData, pcbDataLen, dwFlags);
    });
}

BOOL luCspSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    LU_EXPORT_FRAME(frame, kEntryWorking, "CPSetKeyParam");
    LU_ENTRY_TRACE(
        frame, DBHEAD_E, "<%s hProviderKey=[%p] hKey=[%p] dwParam=[%X] pbData=[%p] dwFlags=[%X]>\n",
        reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hKey), static_cast<unsigned>(dwParam),
        static_cast<const void*>(pbData), static_cast<unsigned>(dwFlags));
    return frame.Run([&] {
        TLUProvider* session = nullptr;
        TLUKeyRef context;
        int r = luCspKeyContextOf(hProv, &session, &context);
        return r != 0 ? r : context->SetParam(dwParam, pbData, dwFlags);
    });
}

BOOL luCspExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType, DWORD dwFlags,
                    BYTE* pbData, DWORD* pcbDataLen) {
    LU_EXPORT_FRAME(frame, kEntryWorking, "CPExportKey");
    LU_ENTRY_TRACE(
        frame, DBHEAD_E,
        "<%s hProviderKey=[%p] hProviderUserKey=[%p] hPubKey=[%p], dwBlobType=[%d], dwFlags=[%X] pbData=[%p] "
        "pdwDataLen=[%p]>\n",
        reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hKey), reinterpret_cast<void*>(hPubKey),
        static_cast<int>(dwBlobType), static_cast<unsigned>(dwFlags), static_cast<void*>(pbData),
        static_cast<void*>(pcbDataLen));
    return frame.Run([&] { return DoExportKey(hProv, hKey, dwBlobType, pbData, pcbDataLen); });
}
