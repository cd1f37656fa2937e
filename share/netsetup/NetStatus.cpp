// Flags of the network status that worker threads set, guarded by the settings lock.
#include "NetStatus.h"

#include "HSMainSettings.h"

namespace {
bool g_testSucceeded = false;
bool g_portInUse = false;
void (*g_refresh)() = nullptr;
}  // namespace

bool getTestSucceeded() {
    SettingsLock lock;
    return g_testSucceeded;
}

void setTestSucceeded(bool succeeded) {
    void (*refresh)();
    {
        SettingsLock lock;
        g_testSucceeded = succeeded;
        refresh = g_refresh;
    }
    if (refresh)
        refresh();
}

void setTestStatusRefresh(void (*refresh)()) {
    SettingsLock lock;
    g_refresh = refresh;
}

bool getPortInUse() {
    SettingsLock lock;
    return g_portInUse;
}

void setPortInUse(bool inUse) {
    SettingsLock lock;
    g_portInUse = inUse;
}
