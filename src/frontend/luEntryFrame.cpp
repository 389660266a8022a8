#include "frontend/luEntryFrame.h"

#include "frontend/libLUProvider.h"
#include "platform/platDebug.h"
#include "platform/platException.h"

TLUEntryLock::TLUEntryLock() : Provider(gLUProvider), Locked(false) {
    if (Provider) Locked = Provider->Mutex.Lock() == 1;
}

TLUEntryLock::~TLUEntryLock() {
    TLUKeepLastError keep;
    if (Provider && Locked) Provider->Mutex.Unlock();
}

BOOL luCatchEntryException(const std::exception& e, const char* EntryName, int line) {
    sysCathShowException(e, EntryName ? EntryName : "", line);
    return luConvResultNTE(ERROR_UNWIND);
}

BOOL luCatchEntryException(const char* exceptionText, const char* EntryName, int line) {
    sysCathShowException(exceptionText ? exceptionText : "", EntryName ? EntryName : "", line);
    return luConvResultNTE(ERROR_UNWIND);
}

void luEntryTestHook(const char* EntryName) {
    sysTestHookRaise(EntryName);
}
