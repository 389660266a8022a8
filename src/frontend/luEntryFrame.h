// What every working CSP entry point shares: the provider's lock, the capture of runtime exceptions,
// and keeping the last error that the caller is about to read.
#pragma once

#include "os/platTypes.h"

#include <exception>

class TLUProvider;

// Holds the provider's lock for the run of an entry point; when the lock cannot be taken the call goes
// on without it and nothing is released. Releasing leaves the last error alone.
class TLUEntryLock {
  public:
    TLUEntryLock();
    ~TLUEntryLock();
    TLUEntryLock(const TLUEntryLock&) = delete;
    TLUEntryLock& operator=(const TLUEntryLock&) = delete;

    bool IsLocked() const { return Locked; }

  private:
    TLUProvider* Provider;
    bool Locked;
};

// Restores the thread's last error at the end of a scope (traces, teardown, unlocking).
class TLUKeepLastError {
  public:
    TLUKeepLastError() : Saved(GetLastError()) {}
    ~TLUKeepLastError() { SetLastError(Saved); }
    TLUKeepLastError(const TLUKeepLastError&) = delete;
    TLUKeepLastError& operator=(const TLUKeepLastError&) = delete;

  private:
    DWORD Saved;
};

// An exception caught in an entry point: reported (trace and crash report), then FALSE with last error
// ERROR_UNWIND. The second form is for what is no std::exception.
BOOL luCatchEntryException(const std::exception& e, const char* EntryName, int line);
BOOL luCatchEntryException(const char* exceptionText, const char* EntryName, int line);

// Test builds raise an exception here when LUCSP_TEST_THROW_IN names the entry point; nothing otherwise.
void luEntryTestHook(const char* EntryName);
