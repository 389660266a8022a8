// The one provider object of the process: it counts the open contexts, owns every key and hash object
// handed out through the CSP, and carries the lock that serialises the entry points. A handle is only
// ever recognised by being found, by address, in one of its lists.
#pragma once

#include "frontend/libLUProviderDataHash.h"
#include "keys/libLUProviderKEY.h"
#include "platform/TVarnoMemory.h"
#include "platform/platMutex.h"

class TLUProvider {
  public:
    TLUProvider();
    ~TLUProvider();
    TLUProvider(const TLUProvider&) = delete;
    TLUProvider& operator=(const TLUProvider&) = delete;

    // Opens a session; the first one loads the certificate list.
    int OpenStorageProvider(TLUProvider** sessionOut);
    // Closes a session; the last one destroys every key and hash and empties the certificate list.
    int FreeProvider(TLUProvider* session, TLUProviderKey* hProviderKey);

    // A new key object for the certificate whose serial number equals the upper-cased name.
    int OpenKey(TLUProvider* session, TLUProviderKey** keyOut, const char* pszKeyName, DWORD dwLegacyKeySpec,
                DWORD dwFlags);
    int FreeKey(TLUProvider* session, TLUProviderKey* hProviderKey);

    int CreateHash(TLUProvider* session, TLUProviderKey* hProviderKey, ALG_ID SetAlgID, HCRYPTKEY hKey,
                   DWORD dwFlags, TLUProviderDataHash** hProviderHash);
    int DestroyHash(TLUProvider* session, TLUProviderDataHash* hProviderHash);

    // Provider parameters (CPGetProvParam / CPSetProvParam).
    int GetParam(TLUProvider* session, TLUProviderKey* hProviderKey, DWORD paramGetType, BYTE* paramValue,
                 DWORD* paramSize, DWORD dwFlags);
    int SetParam(TLUProvider* session, TLUProviderKey* hProviderKey, DWORD paramSetType,
                 const BYTE* paramValue, DWORD dwFlags);

    // Copies a result to the caller's buffer (reversed into little-endian order when asked) or only
    // reports its length; a too small buffer gives NTE_BAD_LEN and still the needed length.
    int CopyDataResult(TLUProvider* session, TVarnoMemory* DataResult, BYTE* BuffToCopy, DWORD* LenBuffToCopy,
                       uint32_t MaxLenBuffToCopy, bool InvertBuffToCopy);

    int32_t QtdProvSession;
    TPlatMutex Mutex;
    TLUListProviderKey ListProvKey;
    TLUListProviderDataHash ListProvDataHash;
};

// The provider object of the process; null before start-up and after teardown.
extern TLUProvider* gLUProvider;

// 0 -> TRUE and ERROR_SUCCESS; anything else -> FALSE with the code as the thread's last error.
BOOL luConvResultNTE(DWORD result);

// The session of a provider handle; the handle is looked up before it is touched.
int luGetProvSessionFromKey(TLUProvider** hProvSessionResult, HCRYPTPROV hProviderKey);

// Handle checks against the provider's lists: null gives NTE_INVALID_PARAMETER, unknown ERROR_INVALID_HANDLE.
int luCheckParamExt(TLUProvider* hProvSession, bool checkKey, ULONG_PTR hProviderKey, bool checkHash,
                    ULONG_PTR hProviderHash);
int luCheckParamExt(TLUProvider* hProvSession);
int luCheckParamExt(TLUProvider* hProvSession, ULONG_PTR hProviderKey);
int luCheckParamExt(TLUProvider* hProvSession, ULONG_PTR hProviderKey, ULONG_PTR hProviderHash);
