// One block on its way through a sign request: the input it was made from, the padded block that is
// sent, its identifier and Base64 text, and the service's raw result. Blocks and results are
// big-endian.
#pragma once

#include "platform/TVarnoMemory.h"
#include "platform/platHASH.h"

class TDataEncryptDecrypt {
  public:
    TDataEncryptDecrypt();
    ~TDataEncryptDecrypt();
    TDataEncryptDecrypt(const TDataEncryptDecrypt&) = delete;
    TDataEncryptDecrypt& operator=(const TDataEncryptDecrypt&) = delete;

    void Clear();
    void ClearSignature();
    // HashID = hex MD5 of "ID<IndiceID>" + DataValueInput; DataValueBase64 = one-line Base64 of
    // DataValuePadded.
    bool ComputeHashID(int IndiceID);
    // DataResult = the decoded text.
    bool LoadDataResultBase64(const char* SetDataResultBase64);

    TPlatHASH Hash;
    TVarnoMemory HashID;
    TVarnoMemory DataValueInput;
    TVarnoMemory DataValuePadded;
    TVarnoMemory DataValueBase64;
    TVarnoMemory DataResult;
    bool IsSigned;
};
