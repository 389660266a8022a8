// How a private-key operation pads its block: the options the block builder (TLUProviderKey::BuildBlock,
// libLUProviderKEYPadding.cpp and libLUProviderKEYPss.cpp) takes per call, and the result cache keys on.
#pragma once

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
