// The link between the provider and the current user's certificate stores (CRYPT32): reading back
// this provider's certificates, installing a service certificate with its key link, removing them.
#pragma once

#include "certificates/libCertificate.h"
#include "os/platTypes.h"

#include <string>

class TCertificateStore {
  public:
    // Reads one property of a certificate into a new buffer (free()) owned by the caller. An absent
    // property is not a failure: *data is null then.
    bool GetContexParam(PCCERT_CONTEXT certContext, DWORD propId, BYTE** data, DWORD* lenData);
    // Fills listCert with the store's certificates whose key-provider property names providerName or,
    // when given, otherProviderName (every certificate with such a property when providerName is null).
    // All or nothing.
    bool LoadCert(TListCertificate* listCert, const char* StoreName, const char* providerName,
                  const char* otherProviderName = nullptr);
    // A cheap fingerprint of the current user's store StoreName (its registry key: entry names, count
    // and write times), so that a reader knows when to load again; it changes with every certificate
    // added, removed or rewritten, by this process or another. A store without key has the stamp "".
    std::string ChangeStamp(const char* StoreName);
    // Adds the certificate to "ROOT", "CA" or, with its key link and friendly name, "MY" (StoreType 1..3).
    // The key link names providerName with provType and keySpec: a CryptoAPI provider's type and
    // dwKeySpec, or 0 and 0 for a CNG key storage provider.
    bool InstallCert(TCertificate* certificate, const char* providerName, DWORD provType = PROV_RSA_FULL,
                     DWORD keySpec = AT_KEYEXCHANGE);
    // Deletes the store's certificates of ProviderNameCompare or otherProviderName (every one when
    // ProviderNameCompare is null), only those equal to certRemove (issuer and serial) when it is given.
    bool RemoveAllCertProvider(const char* StoreName, const char* ProviderNameCompare,
                               TCertificate* certRemove, const char* otherProviderName = nullptr);
};
