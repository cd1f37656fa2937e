// The share server without its window: what the program does at start-up and exit for the
// server's sake (settings and shares from the registry, one listener on SharePort, the share
// list written back at exit), driven by commands on standard input. Tests and benchmarks use it.
//
// Standard output: "listening <port>" once the port is open, "failed <port>[ in use]" when it
// cannot be, "objects <n>" for the "count" command, "stopped" after a clean stop.
// With WEXA_HOST_PROGRESS=1 also "progress <connection> <done> <total>" for every progress record
// and "closed <connection>" when a connection ends.
// "upnp <state> <last result> <text>" and "firewall <state> <last result> <text>" for each status
// of the port's UPnP and firewall columns (state 0 settled, 1 pending, 2 failed; text in UTF-8).
// Standard input: "count", "upnp on", "upnp off" (as the Network tab's "Enable UPnP" box),
// "quit" (end of input also quits).
// WEXA_TIME_LIMITS="<head>,<body>,<send>,<drain>" (milliseconds) shortens the connections' time
// limits so that tests of them run in seconds. WEXA_HOST_LOG=<Windows path> writes the log there.
#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "FileHandler.h"
#include "HSMainSettings.h"
#include "HTTPConnection.h"
#include "HTTPListener.h"
#include "Log.h"
#include "NetStatus.h"
#include "ServerWithReg.h"
#include "TrafficCounters.h"

namespace {

const UINT WM_ENGINE_STOPPED = WM_USER + 5;
const UINT WM_HOST_COMMAND = WM_APP + 1;
enum HostCommand { CommandQuit = 1, CommandCount = 2, CommandUPnPOn = 3, CommandUPnPOff = 4 };

Server* g_server = nullptr;
DWORD g_listenerId = 0;
bool g_stopping = false;
bool g_printProgress = false;

void say(const char* format, unsigned value, const char* suffix = "") {
    printf(format, value, suffix);
    fflush(stdout);
}

// The records the server posts belong to the receiver: free each one.
LRESULT CALLBACK hostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CONNECTION_OPENED:
    case WM_CONNECTION_STATUS: {
        ConnectionStatus* status = reinterpret_cast<ConnectionStatus*>(lParam);
        if (g_printProgress && message == WM_CONNECTION_STATUS && status->fields == StatusProgress) {
            printf("progress %u %lld %lld\n", static_cast<unsigned>(wParam), status->bytesSent,
                   status->bytesTotal);
            fflush(stdout);
        }
        delete status;
        return 0;
    }
    case WM_CONNECTION_CLOSED:
        if (g_printProgress)
            say("closed %u%s\n", static_cast<unsigned>(wParam));
        return 0;
    case WM_LISTENER_STATUS: {
        PortStatus* status = reinterpret_cast<PortStatus*>(lParam);
        bool upnp = status->column == PortStatus::UPnP;
        wchar_t* text = upnp ? status->upnpText : status->firewallText;
        text[kPortStatusTextUnits - 1] = 0;
        char utf8[kPortStatusTextUnits * 3 + 1] = {};
        WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
        printf("%s %u %u %s\n", upnp ? "upnp" : "firewall",
               static_cast<unsigned>(upnp ? status->upnpState : status->firewallState),
               static_cast<unsigned>(upnp ? status->lastUPnPResult : status->lastFirewallResult), utf8);
        fflush(stdout);
        delete status;
        return 0;
    }
    case WM_SHARE_ITEM_ADDED:
    case WM_SHARE_ITEM_REMOVED:
        delete reinterpret_cast<ItemInfo*>(lParam);
        return 0;
    case WM_SHARE_ITEM_STATUS:
        delete reinterpret_cast<ItemStatus*>(lParam);
        return 0;
    case WM_LISTENER_READY:
        say("listening %u%s\n", g_settings.sharePort);
        return 0;
    case WM_LISTENER_ENDED:
        if (!g_stopping)
            say("failed %u%s\n", g_settings.sharePort, getPortInUse() ? " in use" : "");
        return 0;
    case WM_HOST_COMMAND:
        if (wParam == CommandCount) {
            say("objects %u%s\n", g_server->objectCount());
        } else if (wParam == CommandUPnPOn || wParam == CommandUPnPOff) {
            bool on = wParam == CommandUPnPOn;
            setEnableUPnP(on);
            g_server->messageObject(g_listenerId, on ? HTTPListener::MsgStartUPnP : HTTPListener::MsgStopUPnP);
        } else if (!g_stopping) {
            g_stopping = true;
            g_server->terminateServer();
        }
        return 0;
    case WM_ENGINE_STOPPED:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

DWORD WINAPI readCommands(void* param) {
    HWND window = static_cast<HWND>(param);
    char line[256];
    while (fgets(line, sizeof line, stdin)) {
        if (strncmp(line, "count", 5) == 0) {
            PostMessageW(window, WM_HOST_COMMAND, CommandCount, 0);
        } else if (strncmp(line, "upnp on", 7) == 0) {
            PostMessageW(window, WM_HOST_COMMAND, CommandUPnPOn, 0);
        } else if (strncmp(line, "upnp off", 8) == 0) {
            PostMessageW(window, WM_HOST_COMMAND, CommandUPnPOff, 0);
        } else if (strncmp(line, "quit", 4) == 0) {
            break;
        }
    }
    PostMessageW(window, WM_HOST_COMMAND, CommandQuit, 0);
    return 0;
}

bool environmentFlag(const char* name) {
    char value[8] = {};
    DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length > 0 && length < sizeof value && value[0] == '1';
}

// The defaults unless WEXA_TIME_LIMITS gives all four.
TimeLimits timeLimits() {
    TimeLimits limits;
    char value[128] = {};
    DWORD length = GetEnvironmentVariableA("WEXA_TIME_LIMITS", value, sizeof value);
    unsigned long head, body, send, drain;
    if (length > 0 && length < sizeof value &&
        sscanf(value, "%lu,%lu,%lu,%lu", &head, &body, &send, &drain) == 4) {
        limits.headMs = head;
        limits.bodyMs = body;
        limits.sendMs = send;
        limits.drainMs = drain;
    }
    return limits;
}

}  // namespace

int wmain() {
    g_printProgress = environmentFlag("WEXA_HOST_PROGRESS");
    initSettingsLock();
    setDefaultSettings();
    Log log;
    wchar_t logPath[MAX_PATH] = {};
    DWORD logLength = GetEnvironmentVariableW(L"WEXA_HOST_LOG", logPath, MAX_PATH);
    log.initLog(logLength > 0 && logLength < MAX_PATH ? logPath : nullptr);
    loadSettings(&log);

    WSADATA wsa;
    int started = WSAStartup(MAKEWORD(2, 2), &wsa);
    if (started) {
        Log::error(L"ShareHost", &log, __LINE__, L"wmain", L"WSAStartup", started);
        return 1;
    }
    WNDCLASSW wc = {};
    wc.lpfnWndProc = hostProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"WexaShareHost";
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  wc.hInstance, nullptr);

    TrafficCounters counters(g_settings.sentBytes, g_settings.receivedBytes);
    g_server = new Server(&log, window, WM_ENGINE_STOPPED);
    if (!g_server->startServer()) {
        Log::errorText(L"ShareHost", &log, __LINE__, L"wmain", L"startServer failed");
        return 1;
    }
    FileHandler* files = new FileHandler(&log, programServerSettings());
    files->setCompletionPort(g_server->port());
    files->setNotify(window, WM_SHARE_ITEM_ADDED, WM_SHARE_ITEM_REMOVED, WM_SHARE_ITEM_STATUS);
    loadFileList(&log, files);

    HTTPListener* listener = new HTTPListener(g_server, window, programServerSettings(), files, &counters, 0, g_settings.sharePort, window);
    listener->setTimeLimits(timeLimits());
    g_listenerId = listener->id();
    if (!g_server->addObject(listener))
        delete listener;
    HANDLE reader = CreateThread(nullptr, 0, readCommands, window, 0, nullptr);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);

    g_server->destroyServer();
    saveFileList(&log, files);
    ULONGLONG sent, received;
    counters.read(&sent, &received);
    saveSettings(&log, sent, received);
    delete files;
    WSACleanup();
    say("stopped%u%s\n", 0);
    log.destroyLog();
    log.waitForEnd();
    deleteSettingsLock();
    if (reader)
        CloseHandle(reader);
    return 0;
}
