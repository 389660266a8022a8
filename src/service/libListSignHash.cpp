#include "service/libListSignHash.h"

#include "service/libDataEncryptDecrypt.h"
#include "platform/platDebug.h"
#include "platform/platTraceScope.h"

TListSignHash::TListSignHash() : ClearInDestroy(true) {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
}

TListSignHash::~TListSignHash() {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s ClearInDestroy=[%d]>\n", LU_FN, ClearInDestroy ? 1 : 0);
    if (ClearInDestroy) Clear();
}

int TListSignHash::Count() {
    return static_cast<int>(TVarnoList::Count);
}

bool TListSignHash::Add(TDataEncryptDecrypt* newHash) {
    if (!newHash) return false;
    return TVarnoList::Add(newHash);
}

TDataEncryptDecrypt* TListSignHash::Get(int Indice) {
    if (Indice < 0) return nullptr;
    return static_cast<TDataEncryptDecrypt*>(GetItem(static_cast<uint32_t>(Indice)));
}

bool TListSignHash::Clear() {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s Count=[%d]>\n", LU_FN, Count());
    bool result;
    {
        TPlatLockGuard guard(Mutex);
        for (uint32_t i = 0; i < TVarnoList::Count; ++i)
            delete static_cast<TDataEncryptDecrypt*>(Items[i]);
        result = TVarnoList::Clear();
    }
    TRACE_RETURN(result);
}

void TListSignHash::ClearSignature() {
    TPlatLockGuard guard(Mutex);
    for (uint32_t i = 0; i < TVarnoList::Count; ++i)
        if (Items[i]) static_cast<TDataEncryptDecrypt*>(Items[i])->ClearSignature();
}
