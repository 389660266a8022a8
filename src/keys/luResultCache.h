// The one-entry result cache of a key: the input and the padding options of the last successful
// private-key operation with its result, so that the same call again makes no second request.
#pragma once

#include "platform/TVarnoMemory.h"
#include "platform/platMutex.h"

// Padding schemes of a block (the library's own values; KP_PADDING maps onto them).
enum TKeyPadding : int {
    TKP_PAD_NONE = 0,
    TKP_PAD_PKCS1 = 1,
    TKP_PAD_PKCS5 = 2,
    TKP_PAD_ISO7816 = 3,
    TKP_PAD_ZERO = 4,
    TKP_PAD_RANDOM = 5,
    // RSASSA-PSS (RFC 8017 section 9.1), MGF1 with the message's hash; only signatures of a hash value.
    TKP_PAD_PSS = 6,
};

// PKCS #1 v1.5 block types.
enum TKeyPaddingPKCS1Type : int {
    TKS1_Type1_PrivateKey = 1,
    TKS1_Type2_PublicKey = 2,
};

// How one operation pads its block; given per call.
struct TLUBlockOptions {
    int KeyPadding;
    int KeyPaddingPKCS1Type;
    // PSS salt in bytes.
    int SaltLength = 0;
};

class TLUResultCache {
  public:
    TLUResultCache();
    TLUResultCache(const TLUResultCache&) = delete;
    TLUResultCache& operator=(const TLUResultCache&) = delete;

    // The stored result into result when input (compared in full, not only by its MD5) and options are
    // those of the stored call. input must have its MD5 computed.
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
