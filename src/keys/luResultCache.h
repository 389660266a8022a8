// The one-entry result cache of a key: the input and the padding options of the last successful
// private-key operation with its result, so that the same call again makes no second request.
#pragma once

#include "keys/luBlockOptions.h"
#include "platform/TVarnoMemory.h"
#include "platform/platMutex.h"

class TLUResultCache {
  public:
    TLUResultCache();
    TLUResultCache(const TLUResultCache&) = delete;
    TLUResultCache& operator=(const TLUResultCache&) = delete;

    // The stored result into result when input (compared in full, not only by its MD5) and options are
    // those of the stored call. Both take input with its MD5 computed (the block builder computes it).
    bool Find(const TVarnoMemory& input, const TLUBlockOptions& options, TVarnoMemory* result);
    bool Store(const TVarnoMemory& input, const TLUBlockOptions& options, const TVarnoMemory& result);
    void Forget();
    bool IsValid() const;

  private:
    // The login step reads the token without the provider's lock and forgets the result when it fails.
    mutable TPlatMutex Lock;
    bool Valid;
    TLUBlockOptions Options;
    TVarnoMemory Input;
    TVarnoMemory Result;
};
