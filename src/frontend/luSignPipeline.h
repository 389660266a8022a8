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

// A private-key operation of an entry point, the CSP's and the KSP's alike, and the one place of its
// sequence: the login of the context hContext without the lock, then the call's options (after the
// login, so that a call refused by its options still reads the token first, as it always has), the block
// of value that key builds (DigestInfo of the options' row first, unless the row is null; a result in
// the key's cache ends the job there), the request without the lock, the check of the answer. After each
// phase without the lock the context is looked up again: released meanwhile, the call ends with
// ERROR_INVALID_HANDLE. key is the context key for signatures, CPEncrypt's key for CPEncrypt. The
// result is job->Result, big-endian.
int luSignOperation(TLUEntryFrame& frame, ULONG_PTR hContext, const std::shared_ptr<TLUProviderKey>& context,
                    const std::shared_ptr<TLUProviderKey>& key, const TVarnoMemory& value,
                    const std::function<int(TLUSignOptions*)>& optionsOf, TLUSignJob* job);
