// The share program's two own dialogs: Welcome (first run: display name, UPnP and the share
// port, chosen automatically unless the user enters one) and About.
#include <winsock2.h>
#include <windows.h>
#include <stdlib.h>

#include "HSMain.h"
#include "HSMainInternal.h"
#include "HSMainSettings.h"
#include "Log.h"
#include "ShareRes.h"
#include "TextHelpers.h"
#include "WindowPlacement.h"

static const wchar_t kLogUnit[] = L"HSMain";

namespace {

const int kManualControls[] = {IDC_WELCOME_PORT_LABEL, IDC_WELCOME_UPNP_LABEL, IDC_WELCOME_PORT,
                               IDC_WELCOME_UPNP_ON, IDC_WELCOME_UPNP_OFF};

void setIcons(HWND dialog) {
    SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(programIcon(g_instance, false)));
    SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(programIcon(g_instance, true)));
}

void showManual(HWND dialog, bool shown) {
    for (int id : kManualControls)
        ShowWindow(GetDlgItem(dialog, id), shown ? SW_SHOW : SW_HIDE);
}

void applyAutomatic() {
    g_settings.enableUPnP = true;
    WORD port = chooseFreePort();
    if (port)
        g_settings.sharePort = port;
}

void applyManual(HWND dialog) {
    g_settings.enableUPnP = IsDlgButtonChecked(dialog, IDC_WELCOME_UPNP_ON) == BST_CHECKED;
    wchar_t text[10] = {};
    GetDlgItemTextW(dialog, IDC_WELCOME_PORT, text, 10);
    int64_t port = parseDecimal(reinterpret_cast<const char16_t*>(text), static_cast<size_t>(lstrlenW(text)));
    if (port >= 1 && port <= 65535)
        g_settings.sharePort = static_cast<WORD>(port);
}

INT_PTR CALLBACK welcomeProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
        centreWindow(dialog, nullptr);
        setIcons(dialog);
        wchar_t name[kUserNameCapacity];
        copyUserName(name, kUserNameCapacity);
        SetDlgItemTextW(dialog, IDC_WELCOME_NAME, name);
        SetDlgItemTextW(dialog, IDC_WELCOME_PORT, L"80");
        SendDlgItemMessageW(dialog, IDC_WELCOME_PORT, EM_LIMITTEXT, 9, 0);
        CheckRadioButton(dialog, IDC_WELCOME_UPNP_ON, IDC_WELCOME_UPNP_OFF, IDC_WELCOME_UPNP_ON);
        CheckRadioButton(dialog, IDC_WELCOME_AUTOMATIC, IDC_WELCOME_MANUAL, IDC_WELCOME_AUTOMATIC);
        showManual(dialog, false);
        return TRUE;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_WELCOME_AUTOMATIC:
        case IDC_WELCOME_MANUAL:
            showManual(dialog, IsDlgButtonChecked(dialog, IDC_WELCOME_MANUAL) == BST_CHECKED);
            return TRUE;
        case IDOK: {
            if (IsDlgButtonChecked(dialog, IDC_WELCOME_MANUAL) == BST_CHECKED)
                applyManual(dialog);
            else
                applyAutomatic();
            wchar_t name[280] = {};
            int length = GetDlgItemTextW(dialog, IDC_WELCOME_NAME, name, 280);
            setUserName(name, static_cast<DWORD>(length));
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        case IDCANCEL:
            // Closing the dialog any other way takes the automatic choice.
            applyAutomatic();
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

INT_PTR CALLBACK aboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
        centreWindow(dialog, g_mainWindow);
        setIcons(dialog);
        SendDlgItemMessageW(dialog, IDC_ABOUT_ICON, STM_SETICON, reinterpret_cast<WPARAM>(programIcon(g_instance, false)), 0);
        wchar_t text[400];
        wsprintfW(text,
                  L"%s\r\n\r\nShare files and folders from this computer with anyone who has the "
                  L"address, straight from a web browser.\r\n\r\nCopyright \x00A9 the Wexa-Share authors.",
                  kProductToken);
        SetDlgItemTextW(dialog, IDC_ABOUT_TEXT, text);
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}

}  // namespace

WORD chooseFreePort() {
    WORD candidates[9] = {80, 8080, 5555, 8777};
    for (int i = 4; i < 9; ++i)
        candidates[i] = static_cast<WORD>(rand() % 10001 + 5500);
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (probe == INVALID_SOCKET) {
        LOG_ERROR(g_log, L"chooseFreePort", L"socket", WSAGetLastError());
        return 0;
    }
    WORD chosen = 0;
    for (WORD port : candidates) {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(port);
        if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            chosen = port;
            break;
        }
    }
    if (closesocket(probe))
        LOG_ERROR(g_log, L"chooseFreePort", L"closesocket", WSAGetLastError());
    return chosen;
}

void runWelcomeDialog(HINSTANCE instance) {
    if (DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_WELCOME), nullptr, welcomeProc, 0) == -1) {
        LOG_ERROR(g_log, L"WinMain", L"DialogBoxParam", GetLastError());
        applyAutomatic();
    }
}

void runAboutDialog() {
    if (DialogBoxParamW(g_instance, MAKEINTRESOURCEW(IDD_ABOUT), g_mainWindow, aboutProc, 0) == -1)
        LOG_ERROR(g_log, L"WndProc", L"DialogBoxParam", GetLastError());
}
