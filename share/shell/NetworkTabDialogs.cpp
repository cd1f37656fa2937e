// The Change Port dialog (a number from 1 to 65535, nothing else gets through), the Set Local
// IP dialog (one of the host's addresses, or a typed one, as the UPnP internal client) and
// doDetectLocal, which picks that address from the same host list at start-up.
#include "NetworkTabDialogs.h"

#include <winsock2.h>

#include "HSMain.h"
#include "HSMainSettings.h"
#include "Log.h"
#include "ServerUrls.h"
#include "ShareRes.h"
#include "WindowPlacement.h"

static const wchar_t kLogUnit[] = L"NetworkTab";

namespace {

const int kLocalIpTextUnits = 50;   // what the dialog reads of its list or edit, terminator included
const DWORD kLocalIpIndexMax = 10;

// Centres the dialog over the main window (its template's centring is on the screen).
void centreOverMainWindow(HWND dialog) {
    if (!centreWindow(dialog, g_mainWindow))
        LOG_ERROR(g_log, L"NetworkTab::portWndProc", L"SetWindowPos", GetLastError());
}

// The edit's number, as the dialog reads it: at most kPortTextMaxUnits units.
WORD portInEdit(HWND dialog) {
    wchar_t text[kPortTextMaxUnits + 1];
    int length = GetDlgItemTextW(dialog, IDC_CHANGE_PORT_NUMBER, text, kPortTextMaxUnits + 1);
    if (length <= 0)
        return 0;
    return portFromText(reinterpret_cast<const char16_t*>(text), static_cast<size_t>(length));
}

INT_PTR CALLBACK changePortProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        centreOverMainWindow(dialog);
        EnableWindow(GetDlgItem(dialog, IDOK), FALSE);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_CHANGE_PORT_NUMBER:
            if (HIWORD(wParam) == EN_CHANGE)
                EnableWindow(GetDlgItem(dialog, IDOK), portInEdit(dialog) != 0);
            return TRUE;
        case IDOK:
            EndDialog(dialog, portInEdit(dialog));
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, 0);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

const size_t kMaxHostAddresses = 64;

// This host's IPv4 addresses in the host's order; 0 (logged under function) when the name or
// its addresses cannot be read.
size_t hostAddresses(uint8_t (*out)[4], size_t capacity, const wchar_t* function) {
    char name[500];
    if (gethostname(name, sizeof name) == SOCKET_ERROR) {
        LOG_ERROR(g_log, function, L"gethostname", WSAGetLastError());
        return 0;
    }
    hostent* host = gethostbyname(name);
    if (!host) {
        LOG_ERROR(g_log, function, L"gethostbyname", WSAGetLastError());
        return 0;
    }
    if (host->h_length != 4) {
        LOG_ERROR_TEXT(g_log, function, L"Local address length not 4!");
        return 0;
    }
    size_t count = 0;
    for (char** entry = host->h_addr_list; *entry && count < capacity; ++entry)
        memcpy(out[count++], *entry, 4);
    return count;
}

// Every IPv4 address of this host, in the host's order, into the drop-down list.
int fillHostAddresses(HWND list) {
    uint8_t addresses[kMaxHostAddresses][4];
    size_t count = hostAddresses(addresses, kMaxHostAddresses, L"NetworkTab::setLocalIpProc");
    int added = 0;
    for (size_t i = 0; i < count; ++i) {
        char16_t text[16];
        formatDottedAddress(addresses[i], text, 16);
        if (SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)) >= 0)
            ++added;
    }
    return added;
}

void updateSetButton(HWND dialog) {
    bool enable = IsDlgButtonChecked(dialog, IDC_LOCAL_IP_FROM_LIST) == BST_CHECKED ||
                  (IsDlgButtonChecked(dialog, IDC_LOCAL_IP_TYPED) == BST_CHECKED &&
                   GetWindowTextLengthW(GetDlgItem(dialog, IDC_LOCAL_IP_EDIT)) > 0);
    EnableWindow(GetDlgItem(dialog, IDOK), enable);
}

void choose(HWND dialog, int radio) {
    CheckRadioButton(dialog, IDC_LOCAL_IP_FROM_LIST, IDC_LOCAL_IP_TYPED, radio);
    updateSetButton(dialog);
}

void initSetLocalIp(HWND dialog) {
    HWND list = GetDlgItem(dialog, IDC_LOCAL_IP_LIST);
    int count = fillHostAddresses(list);
    wchar_t* current = getLocalAddressCopy();
    int selected = -1;
    if (current && current[0])
        selected = static_cast<int>(SendMessageW(list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                                 reinterpret_cast<LPARAM>(current)));
    if (selected < 0 && count > 0) {
        DWORD index = g_settings.localIPIndex;
        selected = index >= static_cast<DWORD>(count) ? count - 1 : static_cast<int>(index);
    }
    if (selected >= 0)
        SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
    SendDlgItemMessageW(dialog, IDC_LOCAL_IP_EDIT, EM_LIMITTEXT, kLocalIpTextUnits - 1, 0);
    if (g_settings.detectLocalIP) {
        choose(dialog, IDC_LOCAL_IP_FROM_LIST);
    } else {
        if (current)
            SetDlgItemTextW(dialog, IDC_LOCAL_IP_EDIT, current);
        choose(dialog, IDC_LOCAL_IP_TYPED);
    }
    delete[] current;
}

// "&Set": true (with the dialog's answer) when a text was stored; an unreadable or empty
// choice leaves everything as it was and the dialog open.
bool applyLocalIp(HWND dialog, INT_PTR* answer) {
    bool fromList = IsDlgButtonChecked(dialog, IDC_LOCAL_IP_FROM_LIST) == BST_CHECKED;
    wchar_t text[kLocalIpTextUnits];
    int length = GetDlgItemTextW(dialog, fromList ? IDC_LOCAL_IP_LIST : IDC_LOCAL_IP_EDIT, text, kLocalIpTextUnits);
    if (length <= 0)
        return false;
    wchar_t* old = getLocalAddressCopy();
    bool changed = !old || lstrcmpiW(old, text) != 0;
    delete[] old;
    setLocalAddress(text);
    setDetectLocalIP(fromList);
    if (fromList) {
        LRESULT index = SendDlgItemMessageW(dialog, IDC_LOCAL_IP_LIST, CB_GETCURSEL, 0, 0);
        if (index < 0)
            index = 0;
        g_settings.localIPIndex = index > static_cast<LRESULT>(kLocalIpIndexMax) ? kLocalIpIndexMax
                                                                                  : static_cast<DWORD>(index);
    } else {
        g_settings.localIPIndex = 0;
    }
    *answer = changed ? 1 : 0;
    return true;
}

INT_PTR CALLBACK setLocalIpProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        centreOverMainWindow(dialog);
        initSetLocalIp(dialog);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_LOCAL_IP_LIST:
            if (HIWORD(wParam) == CBN_SELCHANGE || HIWORD(wParam) == CBN_SETFOCUS)
                choose(dialog, IDC_LOCAL_IP_FROM_LIST);
            return TRUE;
        case IDC_LOCAL_IP_EDIT:
            if (HIWORD(wParam) == EN_SETFOCUS)
                choose(dialog, IDC_LOCAL_IP_TYPED);
            else if (HIWORD(wParam) == EN_CHANGE)
                updateSetButton(dialog);
            return TRUE;
        case IDC_LOCAL_IP_FROM_LIST:
        case IDC_LOCAL_IP_TYPED:
            if (HIWORD(wParam) == BN_CLICKED)
                updateSetButton(dialog);
            return TRUE;
        case IDOK: {
            INT_PTR answer = 0;
            if (applyLocalIp(dialog, &answer))
                EndDialog(dialog, answer);
            return TRUE;
        }
        case IDCANCEL:
            EndDialog(dialog, 0);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

INT_PTR runDialog(int id, HWND owner, DLGPROC proc, const wchar_t* function) {
    INT_PTR result = DialogBoxParamW(g_instance, MAKEINTRESOURCEW(id), owner, proc, 0);
    if (result == -1) {
        LOG_ERROR(g_log, function, L"DialogBoxParam", GetLastError());
        return 0;
    }
    return result;
}

}  // namespace

void doDetectLocal() {
    uint8_t addresses[kMaxHostAddresses][4];
    size_t count = hostAddresses(addresses, kMaxHostAddresses, L"doDetectLocal");
    wchar_t* current = getLocalAddressCopy();
    int chosen = chooseLocalAddress(addresses, count, reinterpret_cast<const char16_t*>(current),
                                    current ? 510 : 0);
    delete[] current;
    if (chosen < 0)
        return;
    char16_t text[16];
    formatDottedAddress(addresses[chosen], text, 16);
    setLocalAddress(reinterpret_cast<const wchar_t*>(text));
}

INT_PTR runChangePortDialog(HWND owner) {
    return runDialog(IDD_CHANGE_PORT, owner, changePortProc, L"NetworkTab::portWndProc");
}

INT_PTR runSetLocalIpDialog(HWND owner) {
    return runDialog(IDD_SET_LOCAL_IP, owner, setLocalIpProc, L"NetworkTab::portWndProc");
}
