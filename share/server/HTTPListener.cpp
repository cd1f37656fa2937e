// HTTPListener: bind, listen, three outstanding AcceptEx, one HTTPConnection per client,
// the UPnP and firewall controllers that make the port reachable, and the status texts of
// the port's UPnP and firewall columns.
#include "HTTPListener.h"

#include <mswsock.h>
#include <string.h>

#include "HTTPConnection.h"
#include "FWThread.h"
#include "Log.h"
#include "NetStatus.h"
#include "PortStatusTexts.h"
#include "ServerSettings.h"
#include "ServerWithReg.h"
#include "TestRequester.h"
#include "TextHelpers.h"
#include "UPnPThread.h"

static const wchar_t kLogUnit[] = L"HTTPListener";

namespace {

// The UPnP controller reads the address to map to once per mapping, on its own thread.
wchar_t* readLocalAddress(const void* settings) {
    return static_cast<const ServerSettings*>(settings)->localAddressCopy();
}

const DWORD kOutstandingAccepts = 3;
// How often the connections' deadlines are checked and their progress asked for.
const DWORD kSweepMs = 250;
const DWORD kAddressBufferSize = 64;

struct AcceptRecord : ServerMessage {
    AcceptRecord(DWORD id, SOCKET s) : ServerMessage(id, HTTPListener::MsgAccept), client(s) {}
    SOCKET client;
    char addresses[kAddressBufferSize];
};

const wchar_t* wide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

}  // namespace

HTTPListener::HTTPListener(Server* server, HWND portWindow, const ServerSettings* settings,
                           FileHandler* files, TrafficCounters* counters, DWORD bindAddress, WORD port,
                           HWND connectionWindow)
    : ServerObject(server, portWindow, WM_LISTENER_ENDED),
      portWindow_(portWindow),
      settings_(settings),
      files_(files),
      counters_(counters),
      connectionWindow_(connectionWindow),
      bindAddress_(bindAddress),
      port_(port),
      testHost_(kServiceHost),
      testServicePort_(kServicePort) {}

bool HTTPListener::initObject() {
    InitializeCriticalSection(&listenerLock_);
    watch_ = new ConnectionWatch(limits_);
    return true;
}

bool HTTPListener::deleteObject() {
    if (watch_)
        watch_->release();
    watch_ = nullptr;
    DeleteCriticalSection(&listenerLock_);
    return true;
}

// On a thread of the default timer queue; terminateObject waits for it before the listener goes.
void CALLBACK HTTPListener::onSweepTimer(void* param, BOOLEAN) {
    HTTPListener* listener = static_cast<HTTPListener*>(param);
    listener->watch_->sweep(listener->server_, HTTPConnection::MsgReport);
}

void HTTPListener::closeListenSocket(const wchar_t* function) {
    ObjectLock hold(this);
    if (closesocket(listenSocket_) == SOCKET_ERROR) {
        DWORD error = WSAGetLastError();
        LOG_ERROR(log_, function, L"closesocket", error);
    }
}

int HTTPListener::readyObject() {
    setPortInUse(false);
    listenSocket_ = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (listenSocket_ == INVALID_SOCKET) {
        DWORD error = WSAGetLastError();
        LOG_ERROR(log_, L"HTTPListener::readyObject", L"WSASocket", error);
        return 1;
    }
    if (!server_->associate(reinterpret_cast<HANDLE>(listenSocket_), L"HTTPListener::readyObject")) {
        closeListenSocket(L"HTTPListener::readyObject");
        return 1;
    }
    // No SO_EXCLUSIVEADDRUSE: our closed connections in TIME_WAIT would then block a quick rebind.
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = bindAddress_;
    address.sin_port = htons(port_);
    if (bind(listenSocket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == SOCKET_ERROR) {
        DWORD error = WSAGetLastError();
        LOG_ERROR(log_, L"HTTPListener::readyObject", L"bind", error);
        if (error == WSAEADDRINUSE)
            setPortInUse(true);
        closeListenSocket(L"HTTPListener::readyObject");
        return 1;
    }
    if (listen(listenSocket_, SOMAXCONN) == SOCKET_ERROR) {
        DWORD error = WSAGetLastError();
        LOG_ERROR(log_, L"HTTPListener::readyObject", L"listen", error);
        closeListenSocket(L"HTTPListener::readyObject");
        return 1;
    }
    DWORD posted = 0;
    for (DWORD i = 0; i < kOutstandingAccepts; ++i)
        posted += postAccept() ? 1 : 0;
    if (!posted) {
        closeListenSocket(L"HTTPListener::readyObject");
        return 1;
    }
    EnterCriticalSection(&listenerLock_);
    listening_ = true;
    LeaveCriticalSection(&listenerLock_);
    if (portWindow_ && !PostMessageW(portWindow_, WM_LISTENER_READY, id_, 0)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"HTTPListener::readyObject", L"PostMessage", error);
    }
    // Without the timer the server still works, only without time limits.
    if (!CreateTimerQueueTimer(&sweepTimer_, nullptr, onSweepTimer, this, kSweepMs, kSweepMs,
                               WT_EXECUTEDEFAULT)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"HTTPListener::readyObject", L"CreateTimerQueueTimer", error);
        sweepTimer_ = nullptr;
    }
    if (runControllers_) {
        bool upnp = settings_->enableUPnP();
        EnterCriticalSection(&listenerLock_);
        if (upnp)
            startUPnPLocked();
        startFirewallLocked();
        LeaveCriticalSection(&listenerLock_);
    }
    return 0;
}

bool HTTPListener::postAccept() {
    ObjectLock hold(this);
    if (!takeReference())
        return false;
    LPFN_ACCEPTEX acceptEx = nullptr;
    GUID guid = WSAID_ACCEPTEX;
    DWORD got = 0;
    if (WSAIoctl(listenSocket_, SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof guid, &acceptEx,
                 sizeof acceptEx, &got, nullptr, nullptr) == SOCKET_ERROR) {
        DWORD error = WSAGetLastError();
        LOG_ERROR(log_, L"HTTPListener::postAccept", L"WSAIoctl", error);
        giveReference();
        return false;
    }
    SOCKET client = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (client == INVALID_SOCKET) {
        DWORD error = WSAGetLastError();
        LOG_ERROR(log_, L"HTTPListener::postAccept", L"WSASocket", error);
        giveReference();
        return false;
    }
    AcceptRecord* record = new AcceptRecord(id_, client);
    DWORD received = 0;
    if (!acceptEx(listenSocket_, client, record->addresses, 0, 32, 32, &received, record->overlapped())) {
        DWORD error = WSAGetLastError();
        if (error != WSA_IO_PENDING) {
            LOG_ERROR(log_, L"HTTPListener::postAccept", L"AcceptEx", error);
            delete record;
            if (closesocket(client) == SOCKET_ERROR) {
                DWORD closeError = WSAGetLastError();
                LOG_ERROR(log_, L"HTTPListener::postAccept", L"closesocket", closeError);
            }
            giveReference();
            return false;
        }
    }
    return true;
}

int HTTPListener::handleMessage(ServerMessage* message, BOOL ok, DWORD error, DWORD bytes) {
    // Only a controller's notice carries a result: a plain message that uses one of its codes
    // has none to read and is ignored.
    const ControllerNotice* notice = asControllerNotice(message);
    if (isControllerCode(message->code) && !notice)
        return 0;
    DWORD value = notice ? notice->result : 0;
    DWORD sequence = notice ? notice->sequence : 0;
    switch (message->code) {
    case MsgAccept:
        onAccept(message, ok);
        break;
    case MsgStopUPnP:
        onStopUPnP();
        break;
    case MsgStartUPnP:
        onStartUPnP();
        break;
    case MsgUPnPInitiating:
    case MsgUPnPRequestingNat:
    case MsgUPnPRequestingMappings:
    case MsgUPnPInitiatingPort:
    case MsgUPnPReady:
    case MsgUPnPClosing:
        onUPnPProgress(message->code, sequence);
        break;
    case MsgUPnPFinished:
        onUPnPFinished(value, sequence);
        break;
    case MsgFirewallStarted:
    case MsgFirewallFinal:
    case MsgFirewallInterim:
        onFirewall(message->code, value, sequence);
        break;
    default:
        break;
    }
    return 0;
}

void HTTPListener::onAccept(ServerMessage* message, BOOL ok) {
    AcceptRecord* record = static_cast<AcceptRecord*>(message);
    if (!ok) {
        if (closesocket(record->client) == SOCKET_ERROR) {
            DWORD error = WSAGetLastError();
            LOG_ERROR(log_, L"HTTPListener::handleMessage", L"closesocket", error);
        }
    } else {
        // The connection reads its own peer address; the accept's addresses are not needed.
        handleNewConnection(record->client);
    }
    // Keeps three accepts outstanding; a terminating listener takes no new reference.
    postAccept();
}

void HTTPListener::handleNewConnection(SOCKET client) {
    if (setsockopt(client, SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT, reinterpret_cast<const char*>(&listenSocket_),
                   sizeof listenSocket_) == SOCKET_ERROR) {
        DWORD error = WSAGetLastError();
        LOG_ERROR(log_, L"HTTPListener::handleNewConnection", L"setsockopt", error);
    }
    HTTPConnection* connection =
        new HTTPConnection(server_, connectionWindow_, counters_, settings_, files_, client, watch_);
    if (!server_->addObject(connection)) {
        delete connection;
        if (closesocket(client) == SOCKET_ERROR) {
            DWORD error = WSAGetLastError();
            LOG_ERROR(log_, L"HTTPListener::handleNewConnection", L"closesocket", error);
        }
    }
}

void HTTPListener::postNotification(const wchar_t* text, DWORD column, DWORD state, DWORD sequence) {
    if (!portWindow_)
        return;
    PortStatus* status = new PortStatus();
    status->column = column;
    copyBounded(reinterpret_cast<char16_t*>(status->upnpText), kPortStatusTextUnits,
                reinterpret_cast<const char16_t*>(text));
    copyBounded(reinterpret_cast<char16_t*>(status->firewallText), kPortStatusTextUnits,
                reinterpret_cast<const char16_t*>(text));
    status->upnpState = status->firewallState = state;
    // Checked and posted under one lock, so the window receives the column's statuses in order.
    EnterCriticalSection(&listenerLock_);
    DWORD* shown = column == PortStatus::UPnP ? &lastUPnPSequence_ : &lastFirewallSequence_;
    bool stale = sequence && sequence <= *shown;
    if (sequence && !stale)
        *shown = sequence;
    status->lastUPnPResult = lastUPnPResult_;
    status->lastFirewallResult = lastFirewallResult_;
    if (stale) {
        delete status;
    } else if (!PostMessageW(portWindow_, WM_LISTENER_STATUS, id_, reinterpret_cast<LPARAM>(status))) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"HTTPListener::postNotification", L"PostMessage", error);
        delete status;
    }
    LeaveCriticalSection(&listenerLock_);
}

void HTTPListener::onUPnPProgress(DWORD code, DWORD sequence) {
    ColumnText shown;
    if (code == MsgUPnPReady) {
        wchar_t* local = settings_->localAddressCopy();
        wchar_t text[kPortStatusTextUnits];
        formatUPnPReady(reinterpret_cast<const char16_t*>(local), reinterpret_cast<char16_t*>(text),
                        kPortStatusTextUnits);
        delete[] local;
        postNotification(text, PortStatus::UPnP, PortStatus::Settled, sequence);
    } else if (upnpProgressText(code, &shown)) {
        postNotification(wide(shown.text), PortStatus::UPnP, shown.state, sequence);
    }
}

void HTTPListener::startUPnPLocked() {
    if (!takeReference())
        return;
    UPnPController* controller =
        new UPnPController(log_, port_, server_, this, readLocalAddress, settings_,
                           comCreator_ ? comCreator_ : CoCreateInstance);
    if (!controller->start()) {
        controller->deleteThis();
        giveReference();
        return;
    }
    upnp_ = controller;
    upnpRunning_ = true;
    upnpStopping_ = false;
}

void HTTPListener::startFirewallLocked() {
    if (!takeReference())
        return;
    FWController* controller =
        new FWController(log_, port_, server_, this, comCreator_ ? comCreator_ : CoCreateInstance);
    if (!controller->start()) {
        controller->deleteThis();
        giveReference();
        return;
    }
    firewall_ = controller;
    firewallRunning_ = true;
}

void HTTPListener::onStopUPnP() {
    EnterCriticalSection(&listenerLock_);
    bool running = upnpRunning_;
    if (running && !upnpStopping_) {
        upnpStopping_ = true;
        upnp_->stop();
    }
    // A restart already asked for stays: "stop, start" (a new local address) may reach two
    // workers and be handled the other way round. Whether it happens is decided by EnableUPnP
    // when the controller has ended, which is the user's last word either way.
    LeaveCriticalSection(&listenerLock_);
    // Nothing to stop: the column is cleared at once.
    if (!running)
        postNotification(L"", PortStatus::UPnP, PortStatus::Settled);
}

void HTTPListener::onStartUPnP() {
    bool upnp = runControllers_ && settings_->enableUPnP();
    EnterCriticalSection(&listenerLock_);
    if (upnpRunning_) {
        // The new controller follows the current one's last notice.
        upnpRestartPending_ = true;
    } else {
        if (upnp)
            startUPnPLocked();
        upnpRestartPending_ = false;
    }
    LeaveCriticalSection(&listenerLock_);
}

void HTTPListener::onUPnPFinished(DWORD result, DWORD sequence) {
    EnterCriticalSection(&listenerLock_);
    upnpRunning_ = false;
    upnpStopping_ = false;
    lastUPnPResult_ = result;
    UPnPController* finished = upnp_;
    upnp_ = nullptr;
    LeaveCriticalSection(&listenerLock_);
    // Outside the lock: the wait may last as long as a device search still under way.
    if (finished) {
        finished->deleteThis();
        giveReference();
    }
    ColumnText shown;
    if (upnpResultText(result, &shown))
        postNotification(wide(shown.text), PortStatus::UPnP, shown.state, sequence);
    // Whatever the mapping gave, ask the service to reach us; only a later "testcon" request
    // tells. Refused while the engine stops (the controller ends then too): nothing to report.
    TestRequester::start(server_, port_, testHost_, testServicePort_);
    bool upnp = runControllers_ && settings_->enableUPnP();
    EnterCriticalSection(&listenerLock_);
    // A terminating listener takes no reference, so no controller outlives it.
    if (upnpRestartPending_ && upnp)
        startUPnPLocked();
    upnpRestartPending_ = false;
    LeaveCriticalSection(&listenerLock_);
}

void HTTPListener::onFirewall(DWORD code, DWORD result, DWORD sequence) {
    EnterCriticalSection(&listenerLock_);
    bool post;
    FWController* finished = nullptr;
    if (code == MsgFirewallStarted) {
        post = firewallProgress_ == 0;
    } else if (code == MsgFirewallInterim) {
        // An interim result that arrives after the final one is stale.
        post = firewallProgress_ < 2;
        if (post) {
            firewallProgress_ = 1;
            lastFirewallResult_ = result;
        }
    } else {
        post = true;
        firewallProgress_ = 2;
        firewallRunning_ = false;
        lastFirewallResult_ = result;
        finished = firewall_;
        firewall_ = nullptr;
    }
    LeaveCriticalSection(&listenerLock_);
    if (finished) {
        finished->deleteThis();
        giveReference();
    }
    if (!post)
        return;
    if (code == MsgFirewallStarted) {
        postNotification(L"FW Initiating", PortStatus::Firewall, PortStatus::Pending, sequence);
        return;
    }
    ColumnText shown = firewallResultText(result);
    postNotification(wide(shown.text), PortStatus::Firewall, shown.state, sequence);
}

void HTTPListener::terminateObject() {
    EnterCriticalSection(&listenerLock_);
    bool wasListening = listening_;
    listening_ = false;
    // Their last notices still reach us: the references they hold keep us until then.
    if (upnpRunning_ && !upnpStopping_) {
        upnpStopping_ = true;
        upnp_->stop();
    }
    if (firewallRunning_)
        firewall_->stop();
    LeaveCriticalSection(&listenerLock_);
    // Closing the socket completes the outstanding accepts with errors.
    if (wasListening)
        closeListenSocket(L"HTTPListener::terminateObject");
    // INVALID_HANDLE_VALUE: waits for a running sweep, which uses this listener.
    if (sweepTimer_ && !DeleteTimerQueueTimer(nullptr, sweepTimer_, INVALID_HANDLE_VALUE)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"HTTPListener::terminateObject", L"DeleteTimerQueueTimer", error);
    }
    sweepTimer_ = nullptr;
}
