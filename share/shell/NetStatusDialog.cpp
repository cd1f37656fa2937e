// The network status dialog (8097): the program's one network status in words, the
// connectivity test with its 14-second wait, and the way to another port. Everything here
// runs on the GUI thread; workers reach it only through the status refresh message.
#include <winsock2.h>
#include <windows.h>

#include "HSMain.h"
#include "HSMainInternal.h"
#include "HSMainSettings.h"
#include "Log.h"
#include "NetStatus.h"
#include "NetStatusRules.h"
#include "ShareRes.h"
#include "TestRequester.h"
#include "WindowPlacement.h"

static const wchar_t kLogUnit[] = L"NetStatusDialog";

bool g_updateOfferDeferred = false;

namespace {

const UINT_PTR kTestTimerId = 1234;
// The test gets no answer once the counter passes this (the 14th second).
const int kTestSeconds = 13;
const wchar_t kRunTest[] = L"&Run Test...";

// The open dialog (its handle is the open flag), and its test in progress.
HWND g_dialog = nullptr;
bool g_testInProgress = false;
int g_testSeconds = 0;

void setText(HWND dialog, int id, const char16_t* text) {
    SetDlgItemTextW(dialog, id, reinterpret_cast<const wchar_t*>(text));
}

void resetRunTest(HWND dialog, bool enabled) {
    HWND button = GetDlgItem(dialog, IDC_NETSTATUS_RUN_TEST);
    SetWindowTextW(button, kRunTest);
    EnableWindow(button, enabled);
}

// The three texts and both buttons from the current status.
void showStatus(HWND dialog) {
    NetStatusView view;
    describeNetStatus(currentNetStatus(), g_settings.sharePort, &view);
    setText(dialog, IDC_NETSTATUS_TITLE, view.title);
    setText(dialog, IDC_NETSTATUS_EXPLANATION, view.explanation);
    setText(dialog, IDC_NETSTATUS_TEST_TEXT, view.testText);
    ShowWindow(GetDlgItem(dialog, IDC_NETSTATUS_CHANGE_PORT), view.changePortShown ? SW_SHOW : SW_HIDE);
    resetRunTest(dialog, view.runTestEnabled);
}

void runTest(HWND dialog) {
    // A requester the engine refuses leaves the dialog as it was.
    if (!g_server || !TestRequester::start(g_server, g_settings.sharePort))
        return;
    HWND button = GetDlgItem(dialog, IDC_NETSTATUS_RUN_TEST);
    SetWindowTextW(button, L"Testing...");
    EnableWindow(button, FALSE);
    SetDlgItemTextW(dialog, IDC_NETSTATUS_TEST_TEXT, L"Connectivity test in progress...");
    g_testInProgress = true;
    g_testSeconds = 0;
}

// A success comes as a refresh; the timer only ever tells that no answer came.
void onTestTick(HWND dialog) {
    if (!g_testInProgress || getTestSucceeded())
        return;
    if (++g_testSeconds <= kTestSeconds)
        return;
    char16_t text[kNetStatusTextUnits];
    bool showChangePort = false;
    describeTestTimeout(currentNetStatus(), getEnableUPnP(), g_settings.sharePort, text, kNetStatusTextUnits,
                        &showChangePort);
    setText(dialog, IDC_NETSTATUS_TEST_TEXT, text);
    if (showChangePort)
        ShowWindow(GetDlgItem(dialog, IDC_NETSTATUS_CHANGE_PORT), SW_SHOW);
    resetRunTest(dialog, true);
    g_testSeconds = 0;
    g_testInProgress = false;
}

INT_PTR CALLBACK netStatusProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        centreWindow(dialog, GetParent(dialog));
        showStatus(dialog);
        SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(programIcon(g_instance, true)));
        g_dialog = dialog;
        g_testSeconds = 0;
        g_testInProgress = false;
        if (!SetTimer(dialog, kTestTimerId, 1000, nullptr))
            LOG_ERROR(g_log, L"netStatusProc", L"SetTimer", GetLastError());
        // The hint stays only when the program opened the dialog by itself after the first start.
        ShowWindow(GetDlgItem(dialog, IDC_NETSTATUS_HINT), g_firstStartHint ? SW_SHOW : SW_HIDE);
        g_firstStartHint = false;
        return TRUE;
    case WM_NETSTATUS_REFRESH:
        showStatus(dialog);
        return TRUE;
    case WM_TIMER:
        if (wParam == kTestTimerId)
            onTestTick(dialog);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_NETSTATUS_RUN_TEST:
            if (HIWORD(wParam) == BN_CLICKED)
                runTest(dialog);
            return TRUE;
        case IDC_NETSTATUS_CHANGE_PORT:
            // lParam names this dialog: the Change Port dialog then opens over it.
            if (HIWORD(wParam) == BN_CLICKED && g_pageWindows.portBox)
                SendMessageW(g_pageWindows.portBox, WM_COMMAND, MAKEWPARAM(IDC_NET_CHANGE_PORT, BN_CLICKED),
                             reinterpret_cast<LPARAM>(dialog));
            return TRUE;
        case IDOK:
        case IDCANCEL:
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        break;
    case WM_DESTROY:
        KillTimer(dialog, kTestTimerId);
        return FALSE;
    }
    return FALSE;
}

}  // namespace

HWND netStatusDialog() { return g_dialog; }

void showNetStatus() {
    // Modal: a second request (the start-up command, say) brings the open one forward.
    if (g_dialog) {
        SetForegroundWindow(g_dialog);
        return;
    }
    if (DialogBoxParamW(g_instance, MAKEINTRESOURCEW(IDD_NETWORK_STATUS), g_mainWindow, netStatusProc, 0) == -1)
        LOG_ERROR(g_log, L"showNetStatus", L"DialogBoxParam", GetLastError());
    g_dialog = nullptr;
    g_testInProgress = false;
    // The update offer held back while the dialog was open comes now.
    if (g_updateOfferDeferred && g_pageWindows.updateBox) {
        g_updateOfferDeferred = false;
        if (!PostMessageW(g_pageWindows.updateBox, WM_UPDATE_OFFER, 0, 0))
            LOG_ERROR(g_log, L"showNetStatus", L"PostMessage", GetLastError());
    }
}
