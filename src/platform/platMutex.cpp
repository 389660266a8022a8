#include "platform/platMutex.h"

#include "os/platOS.h"

TPlatMutex::TPlatMutex() : Handle(osMutexCreate()) {}

TPlatMutex::~TPlatMutex() {
    osMutexDestroy(Handle);
    Handle = nullptr;
}

int TPlatMutex::Lock(DWORD timeoutMs) {
    return osMutexLock(Handle, timeoutMs);
}

int TPlatMutex::Unlock() {
    osMutexUnlock(Handle);
    return 1;
}
