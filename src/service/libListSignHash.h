// The blocks of one sign request.
#pragma once

#include "platform/TVarnoList.h"

class TDataEncryptDecrypt;

// Items are TDataEncryptDecrypt*; with ClearInDestroy (the default) the list destroys them at the end.
class TListSignHash : public TVarnoList {
  public:
    TListSignHash();
    ~TListSignHash();

    int Count();
    bool Add(TDataEncryptDecrypt* newHash);
    TDataEncryptDecrypt* Get(int Indice);
    // Destroys every item, then empties the list.
    bool Clear();
    // Forgets the results of every item.
    void ClearSignature();

    bool ClearInDestroy;
};
