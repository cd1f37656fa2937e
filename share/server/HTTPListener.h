// One listening port of the share server: binds, keeps three accepts outstanding, turns each
// accepted socket into an HTTPConnection, and reports its state to the Network tab.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include "ConnectionWatch.h"
#include "ControllerNotice.h"
#include "ServerObject.h"
#include "TestRequester.h"
#include "ComCreator.h"

class FileHandler;
class ServerSettings;
class FWController;
class TrafficCounters;
class UPnPController;

// Window messages to the Network tab's port list (wParam = listener id).
constexpr UINT WM_LISTENER_READY = WM_USER + 10;
constexpr UINT WM_LISTENER_ENDED = WM_USER + 11;
constexpr UINT WM_LISTENER_STATUS = WM_USER + 31;

constexpr DWORD kPortStatusTextUnits = 251;

// Posted with WM_LISTENER_STATUS; the receiver deletes it.
struct PortStatus {
    enum Column : DWORD { UPnP = 1, Firewall = 2 };
    enum State : DWORD { Settled = 0, Pending = 1, Failed = 2 };
    DWORD column;
    wchar_t upnpText[kPortStatusTextUnits];
    wchar_t firewallText[kPortStatusTextUnits];
    DWORD upnpState;
    DWORD firewallState;
    DWORD lastUPnPResult;
    DWORD lastFirewallResult;
};

class HTTPListener : public ServerObject {
public:
    enum Code : DWORD {
        MsgAccept = 3,
        MsgStopUPnP = 4,
        MsgStartUPnP = 5,
        // The controllers' notices (ControllerNotice records).
        MsgUPnPInitiating = NoticeUPnPStarted,
        MsgUPnPFinished = NoticeUPnPFinished,
        MsgUPnPRequestingNat = NoticeUPnPRequestingNat,
        MsgUPnPRequestingMappings = NoticeUPnPRequestingMappings,
        MsgUPnPInitiatingPort = NoticeUPnPAddingMapping,
        MsgUPnPReady = NoticeUPnPMapped,
        MsgUPnPClosing = NoticeUPnPClosing,
        MsgFirewallStarted = NoticeFirewallStarted,
        MsgFirewallFinal = NoticeFirewallFinal,
        MsgFirewallInterim = NoticeFirewallInterim,
    };

    // bindAddress is in network order (0: every local address).
    // settings outlives the listener and its connections; it is read on worker threads.
    HTTPListener(Server* server, HWND portWindow, const ServerSettings* settings, FileHandler* files,
                 TrafficCounters* counters, DWORD bindAddress, WORD port, HWND connectionWindow);

    bool initObject() override;
    bool deleteObject() override;
    int readyObject() override;
    void terminateObject() override;
    int handleMessage(ServerMessage* message, BOOL ok, DWORD error, DWORD bytes) override;

    WORD port() const { return port_; }
    // Before the listener is added to the engine; the defaults otherwise.
    void setTimeLimits(const TimeLimits& limits) { limits_ = limits; }
    // Before the listener is added: the service that the connectivity test asks (tests point
    // it at a stand-in; host must outlive the listener).
    void setTestService(const char* host, WORD port) {
        testHost_ = host;
        testServicePort_ = port;
    }
    // Before the listener is added: whether it runs its UPnP and firewall controllers (tests
    // that post the controllers' notices themselves turn them off), and how the controllers
    // make their COM objects (null: the system's; tests hand them in-process stand-ins).
    void setNetworkControllers(bool run, ComCreator create) {
        runControllers_ = run;
        comCreator_ = create;
    }

private:
    bool postAccept();
    void onAccept(ServerMessage* message, BOOL ok);
    void handleNewConnection(SOCKET client);
    // sequence: the notice's number, 0 for a status of our own. A notice older than the
    // column's last shown one posts nothing: the workers may hand us notices out of order.
    void postNotification(const wchar_t* text, DWORD column, DWORD state, DWORD sequence = 0);
    void onUPnPProgress(DWORD code, DWORD sequence);
    void onUPnPFinished(DWORD result, DWORD sequence);
    void onStopUPnP();
    void onStartUPnP();
    // Both under listenerLock_; each takes the reference its controller keeps.
    void startUPnPLocked();
    void startFirewallLocked();
    void onFirewall(DWORD code, DWORD result, DWORD sequence);
    void closeListenSocket(const wchar_t* function);
    static void CALLBACK onSweepTimer(void* param, BOOLEAN fired);

    HWND portWindow_;
    const ServerSettings* settings_;
    FileHandler* files_;
    TrafficCounters* counters_;
    HWND connectionWindow_;
    DWORD bindAddress_;
    WORD port_;
    SOCKET listenSocket_ = INVALID_SOCKET;
    TimeLimits limits_;
    ConnectionWatch* watch_ = nullptr;   // shared with the connections, which may outlive us
    HANDLE sweepTimer_ = nullptr;
    const char* testHost_;
    WORD testServicePort_;
    bool runControllers_ = true;
    ComCreator comCreator_ = nullptr;

    CRITICAL_SECTION listenerLock_;   // the flags, results and controllers below
    bool listening_ = false;
    UPnPController* upnp_ = nullptr;   // owned while UPnP runs
    bool upnpRunning_ = false;
    bool upnpRestartPending_ = false;
    bool upnpStopping_ = false;
    DWORD lastUPnPResult_ = 0;
    DWORD lastUPnPSequence_ = 0;       // of the newest notice shown in the UPnP column
    DWORD lastFirewallSequence_ = 0;
    FWController* firewall_ = nullptr;   // owned while the firewall check runs
    bool firewallRunning_ = false;
    DWORD firewallProgress_ = 0;
    DWORD lastFirewallResult_ = 0;
};
