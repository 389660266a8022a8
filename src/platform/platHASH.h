#pragma once

#include "os/platTypes.h"

class TVarnoMemory;

// SHA-256 and MD5 over accumulated bytes, and Base64 in both directions.
class TPlatHASH {
  public:
    TPlatHASH();
    ~TPlatHASH();
    TPlatHASH(const TPlatHASH&) = delete;
    TPlatHASH& operator=(const TPlatHASH&) = delete;

    int ClearDigest(int newLenDigest);
    void Clear();
    int Add(const void* buffHash, int lenBuffHash);
    int Add(const char* text);
    int Compute_SHA256(BYTE* out = nullptr);
    int Compute_MD5(BYTE* out = nullptr);
    // New text owned by the caller (free()); null on failure.
    char* Encode_Base64(const void* buff, int len, BYTE oneLine);
    int Decode_Base64(const char* buffBase64, TVarnoMemory* buffOutput);

    BYTE* plainValue;
    int lenPlainValue;
    BYTE* digestValue;
    int LenDigest;
    char* digestHexAscii;

  private:
    int Compute(const char* digestName, int length, BYTE* out);
};
