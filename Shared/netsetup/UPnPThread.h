// UPnPController: maps one listening port on the Internet gateway for as long as it listens.
// Two threads of its own (the COM calls block for seconds): the mapping thread and a gateway
// check that runs the device search when the mapping collection is slow to appear. Progress
// goes to the owning listener as ControllerNotice records through the engine's port.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include "ControllerNotice.h"
#include "ThreadController.h"
#include "UPnPInterfaces.h"

class UPnPController : public ThreadController {
public:
    enum Result : DWORD {
        Undecided = 0,
        NatUnavailable = 1,
        NoGateway = 2,
        ComError = 3,
        Mapped = 4,
        AddFailed = 5,
        Removed = 6,
        PortInUse = 7,
    };
    // The internal client to map to: a heap copy (delete[]) or null; read once per mapping,
    // given the context the controller was made with.
    typedef wchar_t* (*AddressReader)(const void* context);

    // owner must hold one reference of its own for the controller until notice 11 is handled.
    UPnPController(Log* log, WORD port, Server* server, ServerObject* owner, AddressReader readAddress,
                   const void* addressContext, ComCreator create = CoCreateInstance);
    UPnPController(const UPnPController&) = delete;
    UPnPController& operator=(const UPnPController&) = delete;

    // True only when both threads run; on false the caller still calls deleteThis.
    bool start();
    // Waits for both threads and frees the controller (after notice 11, or a failed start).
    void deleteThis();

    // The gateway's answer to a port held by another client (ERROR_BUSY).
    static constexpr HRESULT kPortInUse = static_cast<HRESULT>(0x800700AA);
    static constexpr DWORD kPollMs = 200;

private:
    ~UPnPController() = default;
    static DWORD WINAPI mappingEntry(void* param);
    static DWORD WINAPI checkEntry(void* param);
    void threadProc();
    void checkProc();
    IStaticPortMappingCollection* pollForMappings(IUPnPNAT* nat);
    void mapUntilStopped(IStaticPortMappingCollection* mappings);
    void waitForStopCommand();

    WORD port_;
    AddressReader readAddress_;
    const void* addressContext_;
    ComCreator create_;
    HANDLE mappingThread_ = nullptr;
    HANDLE checkThread_ = nullptr;
    // Both under the base's lock.
    bool noGateway_ = false;
    bool slow_ = false;
};
