// The provider's lists for CPGetProvParam: PP_ENUMCONTAINERS (the serial numbers of the provider's
// certificates) and PP_ENUMALGS / PP_ENUMALGS_EX (the hash table's algorithms and the RSA key). Each
// context keeps its own position; CRYPT_FIRST starts again, the end is ERROR_NO_MORE_ITEMS, a size
// query or a short buffer does not move on.
#pragma once

#include "keys/libLUProviderKEY.h"

// reload: no regular context holds the certificate list, so CRYPT_FIRST reads the store anew.
int luEnumContainers(TLUProviderKey* context, bool reload, BYTE* data, DWORD* size, DWORD flags);
// param is PP_ENUMALGS or PP_ENUMALGS_EX.
int luEnumAlgorithms(TLUProviderKey* context, DWORD param, BYTE* data, DWORD* size, DWORD flags);
