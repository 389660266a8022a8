// How the tool reaches the key storage provider: its library (on Windows the installed DLL of the system
// folder, on Linux the .so beside the CSP library) and its function table, called in the order ncrypt
// uses; ncrypt itself is left out, so that the same calls run under Wine, whose ncrypt loads no
// third-party provider. The signature comes back big-endian, as CNG gives it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TKspClient {
  public:
    TKspClient();
    ~TKspClient();
    TKspClient(const TKspClient&) = delete;
    TKspClient& operator=(const TKspClient&) = delete;

    // cspLibrary: the CSP library the tool uses; on Linux the KSP is the file beside it.
    uint32_t Open(const std::string& cspLibrary);
    // PKCS #1 v1.5 (DigestInfo of hashName: "SHA1", "SHA256", ...) or PSS with a salt as long as the hash.
    uint32_t Sign(const std::string& container, const char* hashName, const std::vector<uint8_t>& hash,
                  bool pss, std::vector<uint8_t>& sig);
    // The call that failed, for the message.
    const std::string& FailedCall() const { return Failed; }

    struct TImpl;

  private:
    std::unique_ptr<TImpl> Impl;
    std::string Failed;
};
