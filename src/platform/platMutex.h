#pragma once

#include "os/platTypes.h"

// One unnamed, per-process mutex, recursive for its owning thread.
class TPlatMutex {
  public:
    TPlatMutex();
    ~TPlatMutex();
    TPlatMutex(const TPlatMutex&) = delete;
    TPlatMutex& operator=(const TPlatMutex&) = delete;

    int Lock(DWORD timeoutMs = INFINITE);
    int Unlock();

  private:
    void* Handle;
};

// Holds a TPlatMutex for a scope, so that every way out of a critical section releases it.
class TPlatLockGuard {
  public:
    explicit TPlatLockGuard(TPlatMutex& m) : Mutex(m) { Mutex.Lock(); }
    ~TPlatLockGuard() { Mutex.Unlock(); }
    TPlatLockGuard(const TPlatLockGuard&) = delete;
    TPlatLockGuard& operator=(const TPlatLockGuard&) = delete;

  private:
    TPlatMutex& Mutex;
};
