// Kept for the WebSocket shell's ping thread, which the library never starts.
#pragma once

#include "platform/platMutex.h"

#include <thread>

// Shell of a worker thread: the running flag and the runtime thread object. No worker is started by
// this library; owners construct, stop and destroy it.
class TPlatThread {
  public:
    TPlatThread();
    ~TPlatThread();
    TPlatThread(const TPlatThread&) = delete;
    TPlatThread& operator=(const TPlatThread&) = delete;

    BYTE IsRunning();
    BYTE Stop();

  private:
    TPlatMutex Mutex;
    int Running;
    std::thread* Thread;
};

// Elapsed-time record for polling waits: a start value of clock() in milliseconds.
struct TPlatElapsed {
    int Start;
};

void ElapsedStart(TPlatElapsed& rec);
int ElapsedReached(const TPlatElapsed& rec, int milliseconds);
