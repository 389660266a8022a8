// The one provider object of the process: it counts the open contexts, owns every key and hash object
// handed out through the CSP in its handle table, and carries the lock that serialises the entry
// points.
#pragma once

#include "frontend/luHandleTable.h"
#include "frontend/luProviderSettings.h"
#include "platform/TVarnoMemory.h"
#include "platform/platMutex.h"

#include <memory>

class TLUProvider {
  public:
    TLUProvider();
    ~TLUProvider();
    TLUProvider(const TLUProvider&) = delete;
    TLUProvider& operator=(const TLUProvider&) = delete;

    // Opens a session; the first one loads the certificate list.
    int OpenStorageProvider(TLUProvider** sessionOut);
    // Closes a session and releases the context hContext (0: none) with every key and hash made through
    // it; the last session also empties the certificate list.
    int FreeProvider(TLUProvider* session, ULONG_PTR hContext);
    // A verify-only context (CRYPT_VERIFYCONTEXT): a context key without certificate, outside the
    // session count, so that it neither loads nor keeps the certificate list.
    int OpenVerifyContext(ULONG_PTR* handleOut);
    int FreeVerifyContext(ULONG_PTR hContext);

    // A new key object for the certificate whose serial number equals the upper-cased name, recorded as
    // a context (owner 0) or as a key of the context owner.
    int OpenKey(TLUProvider* session, TLUHandleKind kind, ULONG_PTR owner, ULONG_PTR* handleOut,
                const char* pszKeyName, DWORD dwLegacyKeySpec, DWORD dwFlags);
    int FreeKey(TLUProvider* session, HCRYPTKEY hKey);
    // A PUBLICKEYBLOB (RSA) as a key of the context owner, for verifying signatures.
    int ImportPublicKey(ULONG_PTR owner, const BYTE* blob, DWORD lenBlob, HCRYPTKEY* hKey);

    int CreateHash(TLUProvider* session, HCRYPTPROV hContext, ALG_ID SetAlgID, HCRYPTKEY hKey, DWORD dwFlags,
                   HCRYPTHASH* hProviderHash);
    int DestroyHash(TLUProvider* session, HCRYPTHASH hProviderHash);
    // A copy of source, recorded as a hash of the context hContext.
    int DuplicateHash(HCRYPTPROV hContext, const TLUProviderDataHash& source, HCRYPTHASH* hProviderHash);

    // Provider parameters (CPGetProvParam / CPSetProvParam) of the context key.
    int GetParam(TLUProvider* session, TLUProviderKey* contextKey, DWORD paramGetType, BYTE* paramValue,
                 DWORD* paramSize, DWORD dwFlags);
    int SetParam(TLUProvider* session, TLUProviderKey* contextKey, DWORD paramSetType, const BYTE* paramValue,
                 DWORD dwFlags);

    // Copies a result to the caller's buffer (reversed into little-endian order when asked) or only
    // reports its length; a too small buffer gives NTE_BAD_LEN and still the needed length.
    int CopyDataResult(TLUProvider* session, const TVarnoMemory* DataResult, BYTE* BuffToCopy,
                       DWORD* LenBuffToCopy, uint32_t MaxLenBuffToCopy, bool InvertBuffToCopy);

    int32_t QtdProvSession;
    TPlatMutex Mutex;
    TLUHandleTable Handles;
};

// The provider object of the process; null before start-up and after teardown.
extern TLUProvider* gLUProvider;

// 0 -> TRUE and ERROR_SUCCESS; anything else -> FALSE with the code as the thread's last error.
BOOL luConvResultNTE(DWORD result);

// Handle checks. Null gives NTE_INVALID_PARAMETER; a handle that is unknown or of another kind
// ERROR_INVALID_HANDLE, and it is never dereferenced. On success the object is handed out with shared
// ownership for the run of the call.
int luGetProvSessionFromKey(TLUProvider** hProvSessionResult, HCRYPTPROV hProviderKey,
                            std::shared_ptr<TLUProviderKey>* contextKey);
int luCheckParamExt(TLUProvider* hProvSession);
int luCheckKey(TLUProvider* hProvSession, HCRYPTKEY hKey, std::shared_ptr<TLUProviderKey>* key);
int luCheckHash(TLUProvider* hProvSession, HCRYPTHASH hHash, std::shared_ptr<TLUProviderDataHash>* hash);
