// Login of a key: TLUProviderKey::VerifyLogin and VerifyLogin_LoadLocalToken (declared with the key
// class) read the certificate's access token from
// HKEY_CURRENT_USER\SOFTWARE\Varno\<application>\<SerialNumber>, value "Token", into the caller's
// TLULoginToken. Nothing is kept by the key; the process keeps the token keys open (not their values).
#pragma once

#include "keys/libLUProviderKEY.h"
