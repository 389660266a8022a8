// Login of a key: TLUProviderKey::VerifyLogin and VerifyLogin_LoadLocalToken (declared with the key
// class) read the certificate's access token from
// HKEY_CURRENT_USER\SOFTWARE\Varno\Trelis_Server\<SerialNumber>, value "Token", and hand a copy of it
// to the signing-service client of TLumidra.
#pragma once

#include "keys/libLUProviderKEY.h"
#include "service/libLUConex.h"
