// A plain lock (not recursive) for short holds, usable with std::lock_guard. On Windows an SRW lock: the
// C++ runtime's std::mutex there (winpthreads) waits on a kernel event, and under Wine every hand-over
// of a contended one is a round trip to the Wine server, which all threads of all processes share.
#pragma once

#ifdef _WIN32
#include "os/platTypes.h"

class TOsLock {
  public:
    TOsLock() { InitializeSRWLock(&Lock); }
    TOsLock(const TOsLock&) = delete;
    TOsLock& operator=(const TOsLock&) = delete;

    void lock() { AcquireSRWLockExclusive(&Lock); }
    bool try_lock() { return TryAcquireSRWLockExclusive(&Lock) != 0; }
    void unlock() { ReleaseSRWLockExclusive(&Lock); }

  private:
    SRWLOCK Lock;
};
#else
#include <mutex>

using TOsLock = std::mutex;
#endif
