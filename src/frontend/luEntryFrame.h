// The one frame of every exported entry point: the provider's lock (when the entry point takes it),
// the exit trace, the capture of every exception (reported, then ERROR_UNWIND), and the internal result
// code turned into the BOOL + last error pair of CryptoAPI.
#pragma once

#include "os/platTypes.h"
#include "platform/platDebug.h"

#include <exception>

class TLUProvider;

// Holds the provider's lock for the run of an entry point; when the lock cannot be taken the call goes
// on without it and nothing is released. Releasing leaves the last error alone.
class TLUEntryLock {
  public:
    explicit TLUEntryLock(bool take = true);
    ~TLUEntryLock();
    TLUEntryLock(const TLUEntryLock&) = delete;
    TLUEntryLock& operator=(const TLUEntryLock&) = delete;

    bool IsLocked() const { return Locked; }
    // Lets the other threads in for a while and takes the lock back; nothing when it was not held.
    void Release();
    void Retake();

  private:
    TLUProvider* Provider;
    bool Locked;
    bool Released;
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

// How an entry point uses the frame.
struct TLUEntryStyle {
    // Serialised with every other working entry point.
    bool Lock;
    // Level of the exit trace.
    unsigned ExitLevel;
    // A successful call leaves the last error as the caller had it (instead of ERROR_SUCCESS).
    bool KeepLastErrorOnSuccess;
};
// The working CSP entry points; the refusing ones (no lock); the install export; the certificate exports
// (no lock: the store and the registry have guards of their own, and a registration must not hold up
// signatures); the clean-up calls, which callers make after a failure and expect to leave its error
// readable.
extern const TLUEntryStyle kEntryWorking;
extern const TLUEntryStyle kEntryCleanup;
extern const TLUEntryStyle kEntryRefusing;
extern const TLUEntryStyle kEntryExport;
extern const TLUEntryStyle kEntryCertificateExport;

// An exception caught in an entry point: reported (trace and crash report), then FALSE with last error
// ERROR_UNWIND. The second form is for what is no std::exception.
BOOL luCatchEntryException(const std::exception& e, const char* EntryName, int line);
BOOL luCatchEntryException(const char* exceptionText, const char* EntryName, int line);

// Test builds raise an exception here when LUCSP_TEST_THROW_IN names the entry point; nothing otherwise.
void luEntryTestHook(const char* EntryName);

// Made first thing in an entry point (LU_ENTRY_FRAME); its end writes the exit trace and releases the
// lock, leaving the last error alone.
class TLUEntryFrame {
  public:
    TLUEntryFrame(const TLUEntryStyle& style, const char* file, const char* name, int line);
    ~TLUEntryFrame();
    TLUEntryFrame(const TLUEntryFrame&) = delete;
    TLUEntryFrame& operator=(const TLUEntryFrame&) = delete;

    // Runs work, which returns an internal result code, and turns it into the BOOL result.
    template <typename Work> BOOL Run(Work&& work) {
        try {
            luEntryTestHook(Name);
            Finish(static_cast<DWORD>(work()));
        } catch (const std::exception& e) {
            // The crash report's mail may take its whole time limit: no other thread waits for it.
            Lock.Release();
            Result = luCatchEntryException(e, Name, Line);
        } catch (...) {
            Lock.Release();
            Result = luCatchEntryException("unknown exception", Name, Line);
        }
        return Result;
    }
    // The value the exit trace shows when it is not the BOOL (DllInstall's HRESULT).
    void SetTracedResult(int value) {
        Traced = value;
        HasTraced = true;
    }
    BOOL Result;
    TLUEntryLock& HeldLock() { return Lock; }
    // The entry point's name as its traces give it.
    const char* EntryName() const { return Name; }

  private:
    void Finish(DWORD code);

    TLUEntryStyle Style;
    const char* File;
    const char* Name;
    int Line;
    DWORD CallerError;
    int Traced;
    bool HasTraced;
    TLUEntryLock Lock;
};

// A stretch of an entry point that uses only objects of its own (the network request of a signature):
// the provider's lock is released for it, so one slow request holds up no other call, and taken back
// at its end, also when it ends by an exception. Objects found before stay alive through their
// shared_ptrs; whatever was looked up by handle is looked up again afterwards.
class TLUEntryUnlock {
  public:
    explicit TLUEntryUnlock(TLUEntryFrame& frame) : Lock(frame.HeldLock()) { Lock.Release(); }
    ~TLUEntryUnlock() { Lock.Retake(); }
    TLUEntryUnlock(const TLUEntryUnlock&) = delete;
    TLUEntryUnlock& operator=(const TLUEntryUnlock&) = delete;

  private:
    TLUEntryLock& Lock;
};

// What an entry point that refuses every call does, whatever it is given: NTE_NOT_SUPPORTED.
int luRefuseNotImplemented(const char* EntryName);

// The frame of the enclosing entry point, named after it as the traces name it.
#define LU_ENTRY_FRAME(frame, style)                                                                         \
    static const TPlatFuncName luFrameFn_(__PRETTY_FUNCTION__);                                              \
    TLUEntryFrame frame((style), __FILE__, luFrameFn_.Name, __LINE__)

// The frame of an exported entry point whose handler is a front-end function: named after the export.
#define LU_EXPORT_FRAME(frame, style, exportName)                                                            \
    TLUEntryFrame frame((style), __FILE__, (exportName), __LINE__)

// The entry trace of such an entry point, under the export's name in the line and its header: format
// starts with "<%s".
#define LU_ENTRY_TRACE(frame, level, format, ...)                                                            \
    do {                                                                                                     \
        if (gPlatDebug && gPlatDebug->Wants(level))                                                          \
            gPlatDebug->Print((level), __FILE__, (frame).EntryName(), __LINE__, (format),                    \
                              (frame).EntryName(), ##__VA_ARGS__);                                           \
    } while (0)
