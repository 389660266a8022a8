// The road of a private-key operation, one way: the front end takes the key's login token and the
// block the key builds, the signing-service client sends it, and the result goes back to the caller
// and into the key's cache. Each step works on a job of its own, so that the three can run apart:
// Prepare and Finish touch the key, Send only the copies in the job.
#pragma once

#include "frontend/libLUProviderDataHash.h"
#include "keys/libLUProviderKEY.h"
#include "service/libDataEncryptDecrypt.h"
#include "service/luFailure.h"

#include <functional>
#include <memory>
#include <string>

class TLUEntryFrame;

// Per-call options of CPSignHash and CPVerifySignature from their flags; the hash and the key stay as
// they are.
struct TLUSignOptions {
    const THashPaddingOIDInfo* Row;
    TLUBlockOptions Block;
};
int luSignOptionsFromFlags(const TLUProviderDataHash& hash, DWORD dwFlags, bool IsSign,
                           TLUSignOptions* options);

// One private-key operation on its way.
struct TLUSignJob {
    std::shared_ptr<TLUProviderKey> Key;
    TLUBlockOptions Options;
    // Answered from the key's cache: nothing to send.
    bool Cached = false;
    std::string SerialNumber;
    TLULoginToken Token;
    std::string HashAlias;
    TDataEncryptDecrypt Item;
    TVarnoMemory Result;
};

// The caller's result for a failure class: with "CSP_Compatibility" 1 the code a smart-card provider
// gives for the nearest case (no card, wrong PIN, reader unavailable, card error, communication error),
// so that applications and people tell the classes apart; with 0, partsCode as before.
int luFailureResult(TLUFailure failure, int partsCode);
// The class behind a result of luFailureResult; None for any other code.
TLUFailure luFailureOfResult(int result);

// The login of loginKey (the context key) puts its token into the job.
int luSignLogin(const std::shared_ptr<TLUProviderKey>& loginKey, TLUSignJob* job);
// The block of value (DigestInfo of row first, unless row is null) that key signs with options; a
// result in the key's cache ends the job here (Cached).
int luSignPrepare(TLUSignJob* job, const std::shared_ptr<TLUProviderKey>& key, const THashPaddingOIDInfo* row,
                  const TVarnoMemory& value, const TLUBlockOptions& options);
// The calling window's title (for the trace) and the request; uses nothing but the job, the window system
// and the process's signing-service client, so it runs without the provider's lock.
int luSignSend(TLUSignJob* job);
// The result checked and cached in the key.
int luSignFinish(TLUSignJob* job);

// Work that waits on the system or the network runs without the provider's lock, so that other calls
// of the process go on meanwhile. Releasing the context meanwhile frees the certificate its keys read,
// so the call ends there (ERROR_INVALID_HANDLE) unless hContext is still the context it started with.
int luRunUnlocked(TLUEntryFrame& frame, ULONG_PTR hContext, const std::shared_ptr<TLUProviderKey>& context,
                  const char* what, const std::function<int()>& work);

// A signature of an entry point, the CSP's and the KSP's alike: the login of the context hContext without
// the lock, then the call's options (after the login, so that a call refused by its options still
// reads the token first, as it always has), the block of value (see luSignPrepare), the request
// without the lock, the check. The result is job->Result, big-endian.
int luSignOperation(TLUEntryFrame& frame, ULONG_PTR hContext, const std::shared_ptr<TLUProviderKey>& context,
                    const TVarnoMemory& value, const std::function<int(TLUSignOptions*)>& optionsOf,
                    TLUSignJob* job);
