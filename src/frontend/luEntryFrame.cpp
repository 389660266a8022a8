#include "frontend/luEntryFrame.h"

#include "frontend/libLUProvider.h"
#include "platform/platDebug.h"
#include "platform/platException.h"

const TLUEntryStyle kEntryWorking = {true, DBHEAD_E, false};
const TLUEntryStyle kEntryRefusing = {false, DBHEAD_E, false};
const TLUEntryStyle kEntryExport = {true, DBHEAD_0, false};
const TLUEntryStyle kEntryCertificateExport = {false, DBHEAD_0, false};
const TLUEntryStyle kEntryCleanup = {true, DBHEAD_E, true};

TLUEntryLock::TLUEntryLock(bool take)
    : Provider(take ? gLUProvider : nullptr), Locked(false), Released(false) {
    if (Provider) Locked = Provider->Mutex.Lock() == 1;
}

TLUEntryLock::~TLUEntryLock() {
    TLUKeepLastError keep;
    if (Provider && Locked) Provider->Mutex.Unlock();
}

void TLUEntryLock::Release() {
    TLUKeepLastError keep;
    // Released for a wait (the network): what the call traced so far is on the file first.
    if (gPlatDebug) gPlatDebug->FlushNow();
    if (Provider && Locked) {
        Provider->Mutex.Unlock();
        Released = true;
        Locked = false;
    }
}

void TLUEntryLock::Retake() {
    TLUKeepLastError keep;
    if (Provider && Released) {
        Locked = Provider->Mutex.Lock() == 1;
        Released = false;
    }
}

BOOL luCatchEntryException(const std::exception& e, const char* EntryName, int line) {
    // The call's lines so far are on the file before the report goes out.
    if (gPlatDebug) gPlatDebug->FlushNow();
    sysCathShowException(e, EntryName ? EntryName : "", line);
    return luConvResultNTE(ERROR_UNWIND);
}

BOOL luCatchEntryException(const char* exceptionText, const char* EntryName, int line) {
    if (gPlatDebug) gPlatDebug->FlushNow();
    sysCathShowException(exceptionText ? exceptionText : "", EntryName ? EntryName : "", line);
    return luConvResultNTE(ERROR_UNWIND);
}

int luRefuseNotImplemented(const char* EntryName) {
    TRACE(DBERRO_0, "Função '%s' não implementada\n", EntryName);
    return NTE_NOT_SUPPORTED;
}

void luEntryTestHook(const char* EntryName) {
    sysTestHookRaise(EntryName);
}

TLUEntryFrame::TLUEntryFrame(const TLUEntryStyle& style, const char* file, const char* name, int line)
    : Result(FALSE), Style(style), File(file), Name(name), Line(line), CallerError(GetLastError()), Traced(0),
      HasTraced(false), Lock(style.Lock) {
    if (gPlatDebug) gPlatDebug->CallBegin();
}

void TLUEntryFrame::Finish(DWORD code) {
    Result = luConvResultNTE(code);
    if (Result && Style.KeepLastErrorOnSuccess) SetLastError(CallerError);
}

TLUEntryFrame::~TLUEntryFrame() {
    TLUKeepLastError keep;
    if (gPlatDebug) {
        gPlatDebug->Print(Style.ExitLevel, File, Name, Line, "</%s result=[%d]>\n", Name,
                          HasTraced ? Traced : Result);
        gPlatDebug->CallEnd();
    }
}
