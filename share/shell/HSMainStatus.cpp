// The main window's status displays: the Internet URL in status part 1, the network status
// line in the owner-drawn part 2, the send and receive speeds in parts 3 and 4, and the
// program-wide network status the Network tab keeps current.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include "FileHandler.h"
#include "HSMain.h"
#include "HSMainInternal.h"
#include "HSMainSettings.h"
#include "HSMainStatusRules.h"
#include "Log.h"
#include "NetStatus.h"
#include "ServerUrls.h"
#include "TextHelpers.h"
#include "TrafficCounters.h"

static const wchar_t kLogUnit[] = L"HSMain";

NetStatusFields g_netStatus;

namespace {

const size_t kMaxActivePorts = 64;
WORD g_activePorts[kMaxActivePorts];
size_t g_activeCount = 0;

// Totals at the last eight ticks, oldest first, and the last speed shown.
struct SpeedHistory {
    int64_t totals[8];
    int64_t shown;
};
SpeedHistory g_sendHistory, g_receiveHistory;

const char16_t* currentStatusLine(bool* isError) {
    return statusLineText(currentNetStatus(), isError);
}

void updateSpeed(SpeedHistory* history, int64_t total, int part, const wchar_t* label) {
    if (total <= 0)
        return;
    int64_t speed = speedFromHistory(history->totals, 8, total);
    for (int i = 0; i < 7; ++i)
        history->totals[i] = history->totals[i + 1];
    history->totals[7] = total;
    // A speed that has dropped to zero is shown once as zero, then left alone.
    if (speed == 0 && history->shown == 0)
        return;
    history->shown = speed;
    char16_t text[200];
    size_t length = copyBounded(text, 150, reinterpret_cast<const char16_t*>(label));
    length += formatSize(speed, text + length, 200 - length - 4);
    appendBounded(text, 200, u"/s");
    SendMessageW(g_statusBar, SB_SETTEXTW, part, reinterpret_cast<LPARAM>(text));
}

// Worker threads change the test flag: they may only post, so the refresh crosses here.
void postStatusRefresh() {
    if (g_mainWindow)
        PostMessageW(g_mainWindow, WM_REFRESH_STATUS, 0, 0);
}

}  // namespace

NetStatusInput currentNetStatus() {
    NetStatusInput input = {};
    input.activePortCount = g_activeCount;
    input.testSucceeded = getTestSucceeded();
    input.upnpState = g_netStatus.upnpState;
    input.upnpResult = g_netStatus.upnpResult;
    input.firewallState = g_netStatus.firewallState;
    input.firewallResult = g_netStatus.firewallResult;
    return input;
}

void addActivePort(WORD port) {
    if (g_activeCount < kMaxActivePorts)
        g_activePorts[g_activeCount++] = port;
    refreshAddressStatus(true);
}

void removeActivePort(WORD port) {
    for (size_t i = 0; i < g_activeCount; ++i) {
        if (g_activePorts[i] == port) {
            for (size_t j = i + 1; j < g_activeCount; ++j)
                g_activePorts[j - 1] = g_activePorts[j];
            --g_activeCount;
            break;
        }
    }
    refreshAddressStatus(true);
}

size_t activePorts(WORD* out, size_t capacity) {
    size_t n = g_activeCount < capacity ? g_activeCount : capacity;
    for (size_t i = 0; i < n; ++i)
        out[i] = g_activePorts[i];
    return n;
}

static WORD currentUrlPort() {
    WORD configured[16];
    size_t configuredCount = configuredPorts(configured, 16);
    return urlPort(g_activePorts, g_activeCount, configured, configuredCount);
}

wchar_t* makeServerUrl(const wchar_t* path) {
    // ServerAddress belongs to the GUI thread (the address box writes it).
    size_t pathLength = path ? static_cast<size_t>(lstrlenW(path)) : 0;
    return reinterpret_cast<wchar_t*>(makeUrl(reinterpret_cast<const char16_t*>(g_settings.serverAddress),
                                              kAddressTextCapacity, currentUrlPort(),
                                              reinterpret_cast<const char16_t*>(path), pathLength, nullptr));
}

wchar_t* makeLocalUrl(bool useLan) {
    wchar_t* lan = useLan ? getLocalAddressCopy() : nullptr;
    const char16_t* host = lan ? reinterpret_cast<const char16_t*>(lan) : kLoopbackHost;
    wchar_t* url = reinterpret_cast<wchar_t*>(makeUrl(host, kAddressTextCapacity, currentUrlPort(), nullptr, 0, nullptr));
    delete[] lan;
    return url;
}

void refreshAddressStatus(bool full) {
    if (!g_statusBar)
        return;
    static bool refreshHooked = false;
    if (!refreshHooked) {
        refreshHooked = true;
        setTestStatusRefresh(postStatusRefresh);
    }
    if (full) {
        bool isError;
        // The part's item data is its current text; readers of the status bar get it back.
        SendMessageW(g_statusBar, SB_SETTEXTW, 2 | SBT_OWNERDRAW,
                     reinterpret_cast<LPARAM>(currentStatusLine(&isError)));
    }
    wchar_t* url = makeServerUrl(nullptr);
    if (url)
        SendMessageW(g_statusBar, SB_SETTEXTW, 1, reinterpret_cast<LPARAM>(url));
    delete[] url;
    if (full) {
        HWND dialog = netStatusDialog();
        if (dialog && !PostMessageW(dialog, WM_NETSTATUS_REFRESH, 0, 0))
            LOG_ERROR(g_log, L"refreshAddressStatus", L"PostMessage", GetLastError());
    }
}

void drawNetworkStatus(const DRAWITEMSTRUCT* item) {
    bool isError;
    const char16_t* text = currentStatusLine(&isError);
    RECT rect = item->rcItem;
    rect.left += 2;
    SetBkMode(item->hDC, TRANSPARENT);
    SetTextColor(item->hDC, isError ? RGB(255, 0, 0) : RGB(0, 0, 0));
    int length = static_cast<int>(boundedLength(text, 100));
    DrawTextW(item->hDC, reinterpret_cast<const wchar_t*>(text), length, &rect,
              DT_SINGLELINE | DT_VCENTER | DT_LEFT | DT_NOPREFIX);
}

void seedSpeedHistories(ULONGLONG sent, ULONGLONG received) {
    for (int i = 0; i < 8; ++i) {
        g_sendHistory.totals[i] = static_cast<int64_t>(sent);
        g_receiveHistory.totals[i] = static_cast<int64_t>(received);
    }
    g_sendHistory.shown = g_receiveHistory.shown = 0;
}

void updateSpeeds() {
    // Per-item speeds fall to zero here when data stops flowing.
    if (g_fileHandler)
        g_fileHandler->refreshActive();
    ULONGLONG sent = 0, received = 0;
    if (g_trafficCounters)
        g_trafficCounters->read(&sent, &received);
    updateSpeed(&g_sendHistory, static_cast<int64_t>(sent), 3, L"Send: ");
    updateSpeed(&g_receiveHistory, static_cast<int64_t>(received), 4, L"Receive: ");
}
