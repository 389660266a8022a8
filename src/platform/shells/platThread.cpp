#include "platform/shells/platThread.h"

#include "platform/platDebug.h"
#include "platform/platTraceScope.h"

#include "os/platOS.h"

TPlatThread::TPlatThread() : Running(0), Thread(nullptr) {
    TRACE_SCOPE_AS(DBHEAD_L, Plain, "TPlatThread::TPlatThread", "<%s>\n", LU_FN);
}

TPlatThread::~TPlatThread() {
    TRACE_SCOPE_AS(DBHEAD_L, Plain, "~TPlatThread::TPlatThread", "<%s>\n", LU_FN);
    Stop();
}

BYTE TPlatThread::IsRunning() {
    TPlatLockGuard guard(Mutex);
    return static_cast<BYTE>(Running);
}

BYTE TPlatThread::Stop() {
    TRACE_SCOPE_AS(DBHEAD_L, Int, "TPlatThread::Stop", "<%s>\n", LU_FN);
    BYTE previous;
    {
        TPlatLockGuard guard(Mutex);
        previous = static_cast<BYTE>(Running);
        // A worker would be asked to end cooperatively here; none is ever started, so the runtime
        // object is only released.
        if (Running && Thread && Thread->joinable()) Thread->detach();
        Running = 0;
    }
    TRACE_RETURN(previous);
}

// clock() measures processor time on POSIX, so a monotonic tick stands in for it there.
static unsigned ClockMs() {
    return static_cast<unsigned>(osTickMs());
}

void ElapsedStart(TPlatElapsed& rec) {
    rec.Start = static_cast<int>(ClockMs());
}

int ElapsedReached(const TPlatElapsed& rec, int milliseconds) {
    // Unsigned difference: correct across the wrap of the 32-bit tick.
    unsigned elapsed = ClockMs() - static_cast<unsigned>(rec.Start);
    return milliseconds <= 0 || elapsed >= static_cast<unsigned>(milliseconds) ? 1 : 0;
}
