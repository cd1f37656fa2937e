// FWController: watches, on a thread of its own, whether the firewall lets one listening port
// through, and where it does not, authorizes the program itself. Reports every check to the
// owning listener as ControllerNotice records through the engine's port.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include "ControllerNotice.h"
#include "ThreadController.h"
#include "UPnPInterfaces.h"

class FWController : public ThreadController {
public:
    enum Result : DWORD {
        Undecided = 0,
        ManagerUnavailable = 1,
        CheckError = 2,
        FirewallOff = 3,
        AppAuthorized = 4,
        PortOpen = 5,
        Blocked = 6,
        NoExceptions = 7,
    };

    // owner must hold one reference of its own for the controller until notice 21 is handled.
    FWController(Log* log, WORD port, Server* server, ServerObject* owner, ComCreator create = CoCreateInstance);
    FWController(const FWController&) = delete;
    FWController& operator=(const FWController&) = delete;

    // True when the thread runs; on false the caller still calls deleteThis.
    bool start();
    // Waits for the thread and frees the controller (after notice 21, or a failed start).
    void deleteThis();

    // Pauses between checks: short while blocked (it tries to authorize itself again), long
    // otherwise; both are slept in steps that read the stop flag.
    static constexpr DWORD kShortPauseSteps = 10, kShortStepMs = 100;
    static constexpr DWORD kLongPauseSteps = 100, kLongStepMs = 200;
    static constexpr wchar_t kAppName[] = L"Wexa-Share File Sharing";

private:
    ~FWController() = default;
    static DWORD WINAPI threadEntry(void* param);
    void threadProc();
    void watch(INetFwProfile* profile);
    void checkAppPort(INetFwProfile* profile);
    void checkPath(INetFwProfile* profile, const wchar_t* path);
    void authorize(INetFwAuthorizedApplications* apps, BSTR path);
    // False when a stop arrived during the pause.
    bool pause();

    WORD port_;
    ComCreator create_;
    HANDLE thread_ = nullptr;
};
