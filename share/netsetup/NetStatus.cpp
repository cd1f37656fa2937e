// Flags of the network status that worker threads set, each read or written under one
// lock of their own that is never held with another.
#include "NetStatus.h"

#include <windows.h>

namespace {
SRWLOCK g_lock = SRWLOCK_INIT;
bool g_testSucceeded = false;
bool g_portInUse = false;
void (*g_refresh)() = nullptr;

class StatusLock {
public:
    StatusLock() { AcquireSRWLockExclusive(&g_lock); }
    ~StatusLock() { ReleaseSRWLockExclusive(&g_lock); }
    StatusLock(const StatusLock&) = delete;
    StatusLock& operator=(const StatusLock&) = delete;
};
}  // namespace

bool getTestSucceeded() {
    StatusLock lock;
    return g_testSucceeded;
}

void setTestSucceeded(bool succeeded) {
    void (*refresh)();
    {
        StatusLock lock;
        g_testSucceeded = succeeded;
        refresh = g_refresh;
    }
    // Outside the lock: the callback posts to the shell and may take locks of its own.
    if (refresh)
        refresh();
}

void setTestStatusRefresh(void (*refresh)()) {
    StatusLock lock;
    g_refresh = refresh;
}

bool getPortInUse() {
    StatusLock lock;
    return g_portInUse;
}

void setPortInUse(bool inUse) {
    StatusLock lock;
    g_portInUse = inUse;
}
