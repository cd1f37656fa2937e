// The share program's main window: menus, the tab control with its themed background, the
// five-part status bar with the "Copy to Clipboard" button, the tray icon, the speed display,
// dropped files and the two-phase shutdown (stop the engine, then destroy the window).
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include "FileHandler.h"
#include "HSMain.h"
#include "HSMainInternal.h"
#include "HSMainSettings.h"
#include "Log.h"
#include "ServerUrls.h"
#include "ServerWithReg.h"
#include "ShareRes.h"
#include "ShareTab.h"
#include "TabWindow.h"

static const wchar_t kLogUnit[] = L"HSMain";

namespace {

const int kStatusParts = 5;

// Mouse positions are signed 16-bit values (negative on secondary monitors).
int xFrom(LPARAM lParam) { return static_cast<short>(LOWORD(lParam)); }
int yFrom(LPARAM lParam) { return static_cast<short>(HIWORD(lParam)); }
const int kButtonWidth = 110;

// ---- tab control: themed background --------------------------------------------------------

typedef BOOL(WINAPI* IsAppThemedProc)();

bool visualStylesActive() {
    // Looked up at run time: the visual-styles library is missing on some systems.
    static IsAppThemedProc isAppThemed = nullptr;
    static bool looked = false;
    if (!looked) {
        looked = true;
        HMODULE theme = LoadLibraryW(L"UxTheme.dll");
        if (theme)
            isAppThemed = reinterpret_cast<IsAppThemedProc>(
                reinterpret_cast<void*>(GetProcAddress(theme, "IsAppThemed")));
    }
    return isAppThemed && isAppThemed();
}

// The pages show through to the tab control's themed body: snapshot it into a pattern brush.
void rebuildTabBrush(HWND tab) {
    RECT rect;
    GetClientRect(tab, &rect);
    if (rect.right <= 0 || rect.bottom <= 0)
        return;
    HDC screen = GetDC(tab);
    if (!screen) {
        LOG_ERROR(g_log, L"tabProc", L"GetDC", GetLastError());
        return;
    }
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, rect.right, rect.bottom);
    if (memory && bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        FillRect(memory, &rect, GetSysColorBrush(COLOR_BTNFACE));
        SendMessageW(tab, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory), PRF_CLIENT | PRF_ERASEBKGND);
        SelectObject(memory, old);
        HBRUSH brush = CreatePatternBrush(bitmap);
        if (brush) {
            if (g_tabBrush)
                DeleteObject(g_tabBrush);
            g_tabBrush = brush;
        } else {
            LOG_ERROR(g_log, L"tabProc", L"CreatePatternBrush", GetLastError());
        }
    } else {
        LOG_ERROR(g_log, L"tabProc", L"CreateCompatibleBitmap", GetLastError());
    }
    if (bitmap)
        DeleteObject(bitmap);   // the brush keeps its own copy
    if (memory)
        DeleteDC(memory);
    ReleaseDC(tab, screen);
}

LRESULT CALLBACK tabProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = CallWindowProcW(g_shell.tabProc, window, message, wParam, lParam);
    if (message == WM_SIZE && visualStylesActive())
        rebuildTabBrush(window);
    return result;
}

// ---- status bar and its button -------------------------------------------------------------

int statusPartAt(HWND bar, int x) {
    int edges[kStatusParts];
    int count = static_cast<int>(SendMessageW(bar, SB_GETPARTS, kStatusParts, reinterpret_cast<LPARAM>(edges)));
    for (int i = 0; i < count; ++i)
        if (edges[i] == -1 || x < edges[i])
            return i;
    return count - 1;
}

// A one-shot pop-up menu at a screen point; returns the chosen id or 0.
UINT popupMenu(HWND owner, const UINT* ids, const wchar_t* const* texts, size_t count, POINT at) {
    HMENU menu = CreatePopupMenu();
    if (!menu) {
        LOG_ERROR(g_log, L"popupMenu", L"CreatePopupMenu", GetLastError());
        return 0;
    }
    for (size_t i = 0; i < count; ++i) {
        if (!AppendMenuW(menu, ids[i] ? MF_STRING : MF_SEPARATOR, ids[i], texts[i]))
            LOG_ERROR(g_log, L"popupMenu", L"AppendMenu", GetLastError());
    }
    UINT chosen = static_cast<UINT>(
        TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, at.x, at.y, 0, owner, nullptr));
    DestroyMenu(menu);
    return chosen;
}

void copyUrl(wchar_t* url) {
    if (url)
        clipText(url);
    delete[] url;
}

void copyAddress(UINT id) {
    switch (id) {
    case IDM_COPY_INTERNET_ADDRESS:
        copyUrl(makeServerUrl(nullptr));
        break;
    case IDM_COPY_SEND_FILE_ADDRESS: {
        bool swf = getSWFUpload() && !getRequirePassword();
        copyUrl(makeServerUrl(reinterpret_cast<const wchar_t*>(swf ? kSendFileSwfPath : kSendFileFormPath)));
        break;
    }
    case IDM_COPY_LOCAL_ADDRESS:
        copyUrl(makeLocalUrl(false));
        break;
    case IDM_COPY_LAN_ADDRESS:
        copyUrl(makeLocalUrl(true));
        break;
    }
}

LRESULT CALLBACK buttonProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_RBUTTONUP) {
        POINT at = {xFrom(lParam), yFrom(lParam)};
        ClientToScreen(window, &at);
        UINT ids[5];
        const wchar_t* texts[5];
        size_t n = 0;
        ids[n] = IDM_COPY_INTERNET_ADDRESS, texts[n++] = L"Copy Internet Address";
        if (getAllowUploads())
            ids[n] = IDM_COPY_SEND_FILE_ADDRESS, texts[n++] = L"Copy Send File Address";
        ids[n] = 0, texts[n++] = nullptr;
        ids[n] = IDM_COPY_LOCAL_ADDRESS, texts[n++] = L"Copy Local Address";
        ids[n] = IDM_COPY_LAN_ADDRESS, texts[n++] = L"Copy LAN Address";
        copyAddress(popupMenu(window, ids, texts, n, at));
        return 0;
    }
    return CallWindowProcW(g_shell.buttonProc, window, message, wParam, lParam);
}

LRESULT CALLBACK statusProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        // The button is the status bar's child, so its clicks arrive here.
        if (LOWORD(wParam) == IDC_COPY_BUTTON && HIWORD(wParam) == BN_CLICKED) {
            copyAddress(IDM_COPY_INTERNET_ADDRESS);
            return 0;
        }
        break;
    case WM_LBUTTONDBLCLK:
        if (statusPartAt(window, xFrom(lParam)) == 2) {
            showNetStatus();
            return 0;
        }
        break;
    case WM_RBUTTONUP: {
        POINT at = {xFrom(lParam), yFrom(lParam)};
        int part = statusPartAt(window, at.x);
        ClientToScreen(window, &at);
        if (part == 1) {
            static const UINT ids[] = {1501, 1502};
            static const wchar_t* const texts[] = {L"Detect Internet Address", L"Set to LAN Address"};
            UINT chosen = popupMenu(window, ids, texts, 2, at);
            // The address box owns both actions (detection and the LAN address).
            if (chosen && g_pageWindows.addressBox)
                SendMessageW(g_pageWindows.addressBox, WM_COMMAND, MAKEWPARAM(chosen, 0), 0);
        } else {
            static const UINT ids[] = {IDM_STATUS_INFORMATION};
            static const wchar_t* const texts[] = {L"Network Status Information..."};
            if (popupMenu(window, ids, texts, 1, at) == IDM_STATUS_INFORMATION)
                showNetStatus();
        }
        return 0;
    }
    }
    return CallWindowProcW(g_shell.statusProc, window, message, wParam, lParam);
}

// ---- menus, tray, shutdown ---------------------------------------------------------------------

void setMenuChecks(HMENU menu) {
    CheckMenuItem(menu, IDM_REMEMBER_SHARE, g_settings.rememberShare ? MF_CHECKED : MF_UNCHECKED);
    CheckMenuItem(menu, IDM_KEEP_CONNECTIONS, g_settings.rememberConnections ? MF_CHECKED : MF_UNCHECKED);
    CheckMenuRadioItem(menu, IDM_MINIMIZE_TO_TRAY, IDM_NO_TRAY_ICON, IDM_MINIMIZE_TO_TRAY + g_settings.minimizeFunction,
                       MF_BYCOMMAND);
}

void setMinimizeFunction(DWORD value) {
    g_settings.minimizeFunction = value;
    if (value == 2)
        removeTrayIcon();
    else
        addTrayIcon();
}

void startShutdown(bool fromExit) {
    if (g_shell.closing)
        return;
    g_shell.closing = true;
    if (g_shell.engineStopped) {
        terminateGUI();
        return;
    }
    if (!g_server || !g_server->terminateServer())
        LOG_ERROR_TEXT(g_log, L"WndProc", L"terminateServer failed");
    // Out of the way while the engine drains its objects.
    if (fromExit && g_settings.minimizeFunction == 1) {
        CloseWindow(g_mainWindow);
        ShowWindow(g_mainWindow, SW_HIDE);
    } else {
        ShowWindow(g_mainWindow, SW_MINIMIZE);
    }
}

void trayNotify(LPARAM event) {
    if (event == WM_LBUTTONDBLCLK) {
        activateApp();
    } else if (event == WM_RBUTTONUP) {
        POINT at;
        GetCursorPos(&at);
        // The menu closes properly only when the owner is in the foreground.
        SetForegroundWindow(g_mainWindow);
        static const UINT ids[] = {IDM_TRAY_BRING_TO_FRONT, 0, IDM_TRAY_EXIT};
        static const wchar_t* const texts[] = {L"Bring to Front", nullptr, L"Exit Wexa-Share"};
        UINT chosen = popupMenu(g_mainWindow, ids, texts, 3, at);
        if (chosen == IDM_TRAY_BRING_TO_FRONT)
            activateApp();
        else if (chosen == IDM_TRAY_EXIT)
            PostMessageW(g_mainWindow, WM_COMMAND, MAKEWPARAM(IDM_EXIT, 0), 0);
        PostMessageW(g_mainWindow, WM_NULL, 0, 0);
    }
}

void selectPage() {
    int selected = TabCtrl_GetCurSel(g_tabControl);
    TCITEMW item = {};
    item.mask = TCIF_PARAM;
    if (selected < 0 || !TabCtrl_GetItem(g_tabControl, selected, &item))
        return;
    TabWindow* page = reinterpret_cast<TabWindow*>(item.lParam);
    RECT rect;
    GetClientRect(g_tabControl, &rect);
    TabCtrl_AdjustRect(g_tabControl, FALSE, &rect);
    page->resize(rect.left, rect.top, rect.right, rect.bottom);
    for (size_t i = 0; i < g_shell.pageCount; ++i)
        if (g_shell.pages[i] != page)
            g_shell.pages[i]->hide();
    page->show();
    // Keys must not keep going to a control of a page that is now hidden.
    HWND focus = GetFocus();
    if (focus && IsChild(g_tabControl, focus) && !IsWindowVisible(focus)) {
        HWND first = GetNextDlgTabItem(g_mainWindow, nullptr, FALSE);
        SetFocus(first && IsChild(g_tabControl, first) ? first : g_mainWindow);
    }
}

// Ctrl+Tab, Ctrl+PgDn: the next tab; Ctrl+Shift+Tab, Ctrl+PgUp: the previous one; both wrap.
void stepPage(int step) {
    int count = TabCtrl_GetItemCount(g_tabControl);
    if (count <= 0)
        return;
    int selected = TabCtrl_GetCurSel(g_tabControl);
    int next = ((selected < 0 ? 0 : selected) + step + count) % count;
    // TCM_SETCURSEL sends no TCN_SELCHANGE: show the page here.
    TabCtrl_SetCurSel(g_tabControl, next);
    selectPage();
}

void onCommand(WORD id) {
    switch (id) {
    case IDM_SHARE_FILES:
    case IDM_SHARE_FOLDER:
        if (g_shareTab)
            SendMessageW(g_shareTab->filePanel(), WM_COMMAND,
                         MAKEWPARAM(id == IDM_SHARE_FILES ? IDC_SHARE_FILES : IDC_SHARE_FOLDER, 0), 0);
        break;
    case IDM_EXIT:
        startShutdown(true);
        break;
    case IDM_REMEMBER_SHARE:
        g_settings.rememberShare = !g_settings.rememberShare;
        break;
    case IDM_KEEP_CONNECTIONS:
        g_settings.rememberConnections = !g_settings.rememberConnections;
        break;
    case IDM_MINIMIZE_TO_TRAY:
    case IDM_CLOSE_TO_TRAY:
    case IDM_NO_TRAY_ICON:
        setMinimizeFunction(id - IDM_MINIMIZE_TO_TRAY);
        break;
    case IDM_ABOUT:
        runAboutDialog();
        break;
    case IDM_NETWORK_STATUS:
        showNetStatus();
        break;
    }
}

}  // namespace

bool translatePageKeys(MSG* msg) {
    if (!g_mainWindow || !g_tabControl || (msg->hwnd != g_mainWindow && !IsChild(g_mainWindow, msg->hwnd)))
        return false;
    if (msg->message == WM_KEYDOWN && GetKeyState(VK_CONTROL) < 0 && GetKeyState(VK_MENU) >= 0) {
        int step = 0;
        if (msg->wParam == VK_TAB)
            step = GetKeyState(VK_SHIFT) < 0 ? -1 : 1;
        else if (msg->wParam == VK_NEXT)
            step = 1;
        else if (msg->wParam == VK_PRIOR)
            step = -1;
        if (step) {
            stepPage(step);
            return true;
        }
    }
    // Only the pages' controls: the main window's own keys stay with its menu.
    if (!IsChild(g_tabControl, msg->hwnd))
        return false;
    return IsDialogMessageW(g_mainWindow, msg) != FALSE;
}

// ---- services --------------------------------------------------------------------------------

void activateApp() {
    HWND window = g_mainWindow;
    ShowWindow(window, SW_SHOW);
    HWND foreground = GetForegroundWindow();
    DWORD foregroundThread = foreground ? GetWindowThreadProcessId(foreground, nullptr) : 0;
    DWORD ownThread = GetCurrentThreadId();
    if (foreground && foregroundThread != ownThread) {
        // Only the thread that owns the foreground may hand it over: borrow its input state.
        if (!AttachThreadInput(ownThread, foregroundThread, TRUE))
            LOG_ERROR(g_log, L"activateApp", L"AttachThreadInput", GetLastError());
        if (!BringWindowToTop(window))
            LOG_ERROR(g_log, L"activateApp", L"BringWindowToTop", GetLastError());
        if (!AttachThreadInput(ownThread, foregroundThread, FALSE))
            LOG_ERROR(g_log, L"activateApp", L"AttachThreadInput", GetLastError());
    } else if (!BringWindowToTop(window)) {
        LOG_ERROR(g_log, L"activateApp", L"BringWindowToTop", GetLastError());
    }
    if (GetWindowLongW(window, GWL_STYLE) & WS_MINIMIZE)
        ShowWindow(window, SW_RESTORE);
}

bool clipText(const wchar_t* text) {
    if (!OpenClipboard(g_mainWindow)) {
        LOG_ERROR(g_log, L"clipText", L"OpenClipboard", GetLastError());
        return false;
    }
    bool done = false;
    size_t length = lstrlenW(text);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, (length + 1) * sizeof(wchar_t));
    if (!block) {
        LOG_ERROR(g_log, L"clipText", L"GlobalAlloc", GetLastError());
    } else {
        wchar_t* copy = static_cast<wchar_t*>(GlobalLock(block));
        if (!copy) {
            LOG_ERROR(g_log, L"clipText", L"GlobalLock", GetLastError());
            GlobalFree(block);
        } else {
            memcpy(copy, text, length * sizeof(wchar_t));
            copy[length] = 0;
            // GlobalUnlock reports the last unlock as "failure" with NO_ERROR.
            if (!GlobalUnlock(block) && GetLastError() != NO_ERROR)
                LOG_ERROR(g_log, L"clipText", L"GlobalUnlock", GetLastError());
            if (!EmptyClipboard())
                LOG_ERROR(g_log, L"clipText", L"EmptyClipboard", GetLastError());
            if (SetClipboardData(CF_UNICODETEXT, block)) {
                done = true;   // the clipboard owns the block now
            } else {
                LOG_ERROR(g_log, L"clipText", L"SetClipboardData", GetLastError());
                if (GlobalFree(block))
                    LOG_ERROR(g_log, L"clipText", L"GlobalFree", GetLastError());
            }
        }
    }
    if (!CloseClipboard())
        LOG_ERROR(g_log, L"clipText", L"CloseClipboard", GetLastError());
    return done;
}

void terminateGUI() {
    if (!PostMessageW(g_mainWindow, WM_DESTROY_MAIN, 0, 0))
        LOG_ERROR(g_log, L"terminateGUI", L"PostMessage", GetLastError());
}

HICON programIcon(HINSTANCE instance, bool small) {
    int size = GetSystemMetrics(small ? SM_CXSMICON : SM_CXICON);
    HICON icon = static_cast<HICON>(LoadImageW(instance, IDI_ICON1_NAME, IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
    if (!icon)
        icon = LoadIconW(nullptr, IDI_APPLICATION);
    return icon;
}

void addTrayIcon() {
    if (g_shell.trayShown || !g_mainWindow)
        return;
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof data;
    data.hWnd = g_mainWindow;
    data.uID = kTrayIconId;
    data.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
    data.uCallbackMessage = WM_TRAY_NOTIFY;
    data.hIcon = programIcon(g_instance, true);
    lstrcpynW(data.szTip, L"Wexa-Share", ARRAYSIZE(data.szTip));
    if (Shell_NotifyIconW(NIM_ADD, &data))
        g_shell.trayShown = true;
    else
        LOG_ERROR(g_log, L"addTrayIcon", L"Shell_NotifyIcon", GetLastError());
}

void removeTrayIcon() {
    if (!g_shell.trayShown)
        return;
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof data;
    data.hWnd = g_mainWindow;
    data.uID = kTrayIconId;
    if (!Shell_NotifyIconW(NIM_DELETE, &data))
        LOG_ERROR(g_log, L"removeTrayIcon", L"Shell_NotifyIcon", GetLastError());
    g_shell.trayShown = false;
}

bool createMainControls(HINSTANCE instance) {
    // A control parent: dialog-style Tab navigation walks into the pages below it.
    g_tabControl = CreateWindowExW(WS_EX_CONTROLPARENT, WC_TABCONTROLW, L"",
                                   WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | TCS_FOCUSNEVER |
                                       TCS_FIXEDWIDTH | TCS_HOTTRACK,
                                   0, 0, 100, 100, g_mainWindow, nullptr, instance, nullptr);
    if (!g_tabControl) {
        LOG_ERROR(g_log, L"initApp", L"CreateWindowEx", GetLastError());
        return false;
    }
    g_shell.tabProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(g_tabControl, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(tabProc)));
    if (!g_shell.tabProc) {
        LOG_ERROR(g_log, L"initApp", L"SetWindowLongPtr", GetLastError());
        return false;
    }

    g_statusBar = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0,
                                  g_mainWindow, nullptr, instance, nullptr);
    if (!g_statusBar) {
        LOG_ERROR(g_log, L"initApp", L"CreateWindowEx", GetLastError());
        return false;
    }
    // Double clicks on the status line need the class style.
    SetClassLongPtrW(g_statusBar, GCL_STYLE, GetClassLongPtrW(g_statusBar, GCL_STYLE) | CS_DBLCLKS);
    g_shell.statusProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(g_statusBar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(statusProc)));
    if (!g_shell.statusProc) {
        LOG_ERROR(g_log, L"initApp", L"SetWindowLongPtr", GetLastError());
        return false;
    }
    int edges[kStatusParts] = {112, 350, 580, 680, -1};
    SendMessageW(g_statusBar, SB_SETPARTS, kStatusParts, reinterpret_cast<LPARAM>(edges));
    SendMessageW(g_statusBar, SB_SETTEXTW, 0 | SBT_NOBORDERS, reinterpret_cast<LPARAM>(L""));
    SendMessageW(g_statusBar, SB_SETTEXTW, 3, reinterpret_cast<LPARAM>(L"Send: 0 bytes/s"));
    SendMessageW(g_statusBar, SB_SETTEXTW, 4, reinterpret_cast<LPARAM>(L"Receive: 0 bytes/s"));
    refreshAddressStatus(true);
    SendMessageW(g_tabControl, WM_SETFONT, reinterpret_cast<WPARAM>(g_messageFont), FALSE);

    g_copyButton = CreateWindowExW(0, L"BUTTON", L"Copy to Clipboard", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 1, 0,
                                   kButtonWidth, 19, g_statusBar,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_COPY_BUTTON)), instance, nullptr);
    if (!g_copyButton) {
        LOG_ERROR(g_log, L"initApp", L"CreateWindowEx", GetLastError());
        return false;
    }
    SendMessageW(g_copyButton, WM_SETFONT, reinterpret_cast<WPARAM>(g_messageFont), FALSE);
    g_shell.buttonProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(g_copyButton, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(buttonProc)));
    if (!g_shell.buttonProc) {
        LOG_ERROR(g_log, L"initApp", L"SetWindowLongPtr", GetLastError());
        return false;
    }
    return true;
}

void layoutMainWindow() {
    if (!g_statusBar || !g_tabControl)
        return;
    RECT client;
    GetClientRect(g_mainWindow, &client);
    int width = client.right;
    SendMessageW(g_statusBar, WM_SIZE, 0, 0);
    RECT bar;
    GetWindowRect(g_statusBar, &bar);
    int barHeight = bar.bottom - bar.top;
    int edges[kStatusParts] = {112, width - 405, width - 235, width - 130, -1};
    SendMessageW(g_statusBar, SB_SETPARTS, kStatusParts, reinterpret_cast<LPARAM>(edges));
    // Keep the button centred in the bar, whatever height the font gives it.
    if (g_copyButton)
        SetWindowPos(g_copyButton, nullptr, 1, barHeight > 21 ? (barHeight - 19) / 2 : 1, kButtonWidth, 19,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowPos(g_tabControl, nullptr, 0, 0, width, client.bottom - barHeight, SWP_NOZORDER | SWP_NOACTIVATE);
    int selected = TabCtrl_GetCurSel(g_tabControl);
    TCITEMW item = {};
    item.mask = TCIF_PARAM;
    if (selected >= 0 && TabCtrl_GetItem(g_tabControl, selected, &item) && item.lParam) {
        RECT rect;
        GetClientRect(g_tabControl, &rect);
        TabCtrl_AdjustRect(g_tabControl, FALSE, &rect);
        reinterpret_cast<TabWindow*>(item.lParam)->resize(rect.left, rect.top, rect.right, rect.bottom);
    }
    InvalidateRect(g_tabControl, nullptr, TRUE);
}

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SIZE:
        if (wParam == SIZE_MINIMIZED) {
            g_shell.minimized = true;
            if (g_settings.minimizeFunction == 0)
                ShowWindow(window, SW_HIDE);
            return 0;
        }
        if (g_shell.minimized) {
            g_shell.minimized = false;
            // Posted: the offer's dialog comes after the window has been laid out again.
            if (g_updateDownloaded && g_pageWindows.updateBox && !PostMessageW(g_pageWindows.updateBox, WM_UPDATE_OFFER, 0, 0))
                LOG_ERROR(g_log, L"WndProc", L"PostMessage", GetLastError());
        }
        layoutMainWindow();
        return 0;
    case WM_GETMINMAXINFO:
        reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {600, 450};
        return 0;
    case WM_NOTIFY: {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->hwndFrom == g_tabControl && header->code == TCN_SELCHANGE)
            selectPage();
        return 0;
    }
    case WM_COMMAND:
        onCommand(LOWORD(wParam));
        return 0;
    case WM_INITMENUPOPUP:
        setMenuChecks(reinterpret_cast<HMENU>(wParam));
        return 0;
    case WM_TIMER:
        if (wParam == kSpeedTimerId)
            updateSpeeds();
        return 0;
    case WM_DRAWITEM: {
        const DRAWITEMSTRUCT* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (item->hwndItem == g_statusBar) {
            drawNetworkStatus(item);
            return TRUE;
        }
        break;
    }
    case WM_DROPFILES:
        if (g_shareTab)
            g_shareTab->dropFiles(reinterpret_cast<HDROP>(wParam));
        else
            DragFinish(reinterpret_cast<HDROP>(wParam));
        return 0;
    case WM_COPYDATA:
        activateApp();
        return 1;
    case WM_ENGINE_STOPPED:
        g_shell.engineStopped = true;
        if (g_shell.closing)
            terminateGUI();
        return 0;
    case WM_REFRESH_STATUS:
        refreshAddressStatus(true);
        return 0;
    case WM_DESTROY_MAIN:
        DestroyWindow(window);
        return 0;
    case WM_TRAY_NOTIFY:
        if (wParam == kTrayIconId)
            trayNotify(lParam);
        return 0;
    case WM_CLOSE:
        if (g_settings.minimizeFunction == 1 && !g_shell.closing) {
            CloseWindow(window);
            ShowWindow(window, SW_HIDE);
            return 0;
        }
        startShutdown(false);
        return 0;
    case WM_DESTROY:
        KillTimer(window, kSpeedTimerId);
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
