// How the tool reaches the provider. On Windows through advapi32's CryptoAPI, which loads the registered
// provider by name, plus LoadLibrary/GetProcAddress for the install and certificate exports. On Linux,
// which has no advapi32, the library is dlopen()ed and its CP* entry points are called directly, in the
// order and with the arguments advapi32 uses. The commands see the same calls on both.
//
// Every operation returns 0 or the code the call left (its last error, or a code of the loader); after a
// failure FailedCall() names the call ("CryptSignHash" on Windows, "CPSignHash" on Linux).
#pragma once

#include "os/platTypes.h"
#include "platform/platProductNames.h"

#include <cstdint>
#include <memory>
#include <string>

class TCryptoClient {
  public:
    typedef ULONG_PTR TProv;
    typedef ULONG_PTR THash;
    typedef ULONG_PTR TKey;

    TCryptoClient();
    ~TCryptoClient();
    TCryptoClient(const TCryptoClient&) = delete;
    TCryptoClient& operator=(const TCryptoClient&) = delete;

    // The library file: libraryPath, or the default search when empty. On Linux it is loaded here; on
    // Windows only the exports need it and load it on first use.
    uint32_t Open(const std::string& libraryPath);
    // The file that was (or will be) loaded, for messages.
    std::string LibraryPath() const;
    const std::string& FailedCall() const { return Failed; }
    // Clean-up calls after a failure put the name of the first failed call back with this.
    void SetFailedCall(const std::string& call) { Failed = call; }
    // Loader text of the last load failure (dlerror / FormatMessage), empty otherwise.
    const std::string& LoadError() const { return LoadErrorText; }

    uint32_t AcquireContext(TProv* prov, const char* container, DWORD flags);
    uint32_t ReleaseContext(TProv prov);
    uint32_t GetProvParam(TProv prov, DWORD param, BYTE* data, DWORD* len);
    uint32_t CreateHash(TProv prov, ALG_ID alg, THash* hash);
    uint32_t SetHashParam(TProv prov, THash hash, DWORD param, const BYTE* data);
    uint32_t GetHashParam(TProv prov, THash hash, DWORD param, BYTE* data, DWORD* len);
    uint32_t SignHash(TProv prov, THash hash, DWORD keySpec, DWORD flags, BYTE* sig, DWORD* len);
    uint32_t VerifySignature(TProv prov, THash hash, const BYTE* sig, DWORD len, TKey pubKey, DWORD flags);
    uint32_t DestroyHash(TProv prov, THash hash);
    uint32_t GetUserKey(TProv prov, DWORD keySpec, TKey* key);
    uint32_t ExportKey(TProv prov, TKey key, DWORD blobType, BYTE* data, DWORD* len);
    uint32_t DestroyKey(TProv prov, TKey key);

    // DllInstall's HRESULT goes to *result; the return value is a loader failure only.
    uint32_t DllInstall(bool install, HRESULT* result);
    // The exports return BOOL; a FALSE without a last error is reported as ERROR_FUNCTION_FAILED.
    uint32_t RegisterCertificate(const std::string& certificate, const std::string& token);
    uint32_t UnregisterCertificate(const std::string& certificate);

    struct TImpl;

  private:
    uint32_t Result(BOOL ok, const char* call);

    std::unique_ptr<TImpl> Impl;
    std::string Failed;
    std::string LoadErrorText;
};

// The provider name that certificates and CryptAcquireContext use.
#define LUCSP_PROVIDER_NAME LU_PRODUCT_CSP_NAME
