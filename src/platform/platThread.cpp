#include "platform/platThread.h"

#include "platform/platDebug.h"

#include "os/platOS.h"

TPlatThread::TPlatThread() : Running(0), Thread(nullptr) {
    TRACE(DBHEAD_L, "<%s>\n", "TPlatThread::TPlatThread");
    TRACE(DBHEAD_L, "</%s>\n", "TPlatThread::TPlatThread");
}

TPlatThread::~TPlatThread() {
    TRACE(DBHEAD_L, "<%s>\n", "~TPlatThread::TPlatThread");
    Stop();
    TRACE(DBHEAD_L, "</%s>\n", "~TPlatThread::TPlatThread");
}

BYTE TPlatThread::IsRunning() {
    TPlatLockGuard guard(Mutex);
    return static_cast<BYTE>(Running);
}

BYTE TPlatThread::Stop() {
    TRACE(DBHEAD_L, "<%s>\n", "TPlatThread::Stop");
    BYTE previous;
    {
        TPlatLockGuard guard(Mutex);
        previous = static_cast<BYTE>(Running);
        // A worker would be asked to end cooperatively here; none is ever started, so the runtime
        // object is only released.
        if (Running && Thread && Thread->joinable()) Thread->detach();
        Running = 0;
    }
    TRACE(DBHEAD_L, "</%s result=[%d]>\n", "TPlatThread::Stop", previous);
    return previous;
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
