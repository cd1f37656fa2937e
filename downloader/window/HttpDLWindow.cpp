// The downloader's main window procedure: the menu commands, the tray icon and its menu,
// the total-rate and retry timers, the credentials requests held while minimised, the exit
// question and the two-phase exit that waits for the engine before the window goes.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include "DownloadRes.h"
#include "DownloaderDialogs.h"
#include "HttpDLInternal.h"
#include "Log.h"
#include "ServerWithReg.h"
#include "TextHelpers.h"

static const wchar_t kLogUnit[] = L"HttpDL";

ShellHost g_host;

namespace {

const UINT WM_DESTROY_MAIN = WM_USER + 7;
const UINT WM_CREDENTIALS = WM_USER + 20;
const UINT WM_TRAY = WM_USER + 30;
const UINT kTrayId = 1000;
const ULONG_PTR kExitRequest = 33;
// Command 15 from the tray menu carries this lParam: that exit asks nothing.
const LPARAM kTrayExit = 123;

void fillTrayData(NOTIFYICONDATAW* data) {
    *data = {};
    data->cbSize = sizeof *data;
    data->hWnd = g_app.mainWindow;
    data->uID = kTrayId;
}

void setTrayTip(const wchar_t* tip) {
    NOTIFYICONDATAW data;
    fillTrayData(&data);
    data.uFlags = NIF_TIP;
    lstrcpynW(data.szTip, tip, ARRAYSIZE(data.szTip));
    if (!Shell_NotifyIconW(NIM_MODIFY, &data))
        LOG_ERROR(g_app.log, L"WndProc", L"Shell_NotifyIcon", GetLastError());
}

void activateApp() {
    ShowWindow(g_app.mainWindow, SW_SHOW);
    HWND foreground = GetForegroundWindow();
    DWORD other = foreground ? GetWindowThreadProcessId(foreground, nullptr) : 0;
    DWORD own = GetCurrentThreadId();
    if (other && other != own) {
        if (!AttachThreadInput(own, other, TRUE))
            LOG_ERROR(g_app.log, L"activateApp", L"AttachThreadInput", GetLastError());
        if (!BringWindowToTop(g_app.mainWindow))
            LOG_ERROR(g_app.log, L"activateApp", L"BringWindowToTop", GetLastError());
        AttachThreadInput(own, other, FALSE);
    } else if (!BringWindowToTop(g_app.mainWindow)) {
        LOG_ERROR(g_app.log, L"activateApp", L"BringWindowToTop", GetLastError());
    }
    if (IsIconic(g_app.mainWindow))
        ShowWindow(g_app.mainWindow, SW_RESTORE);
}

void trayMenu() {
    HMENU menu = CreatePopupMenu();
    if (!menu) {
        LOG_ERROR(g_app.log, L"WndProc", L"CreatePopupMenu", GetLastError());
        return;
    }
    AppendMenuW(menu, MF_STRING, IDM_TRAY_BRING_TO_FRONT, L"Bring to Front");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, IDM_TRAY_EXIT, L"Exit Wexa-Share Downloader");
    POINT at;
    GetCursorPos(&at);
    SetForegroundWindow(g_app.mainWindow);
    int command = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY, at.x, at.y, 0, g_app.mainWindow, nullptr);
    if (command == IDM_TRAY_BRING_TO_FRONT)
        activateApp();
    else if (command == IDM_TRAY_EXIT)
        PostMessageW(g_app.mainWindow, WM_COMMAND, IDM_EXIT, kTrayExit);
    PostMessageW(g_app.mainWindow, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

void doDownloadPass(DWORD entryId) {
    DownloadsList* list = g_app.view ? g_app.view->downloads() : nullptr;
    DownloadEntry* entry = list ? list->find(entryId) : nullptr;
    if (!entry)
        return;
    wchar_t title[100];
    lstrcpynW(title, entry->fileName().c_str(), 100);
    char user[500], password[500];
    if (!runPasswordDialog(g_app.log, g_app.instance, g_app.mainWindow, title, user, password, 500))
        return;
    // The dialog was open a while: the entry may have been removed meanwhile.
    if (!list->find(entryId))
        return;
    list->giveCredentials(entryId, user, password);
    SecureZeroMemory(password, sizeof password);
    g_app.view->viewDetails(entryId, true);
}

int CALLBACK folderCallback(HWND window, UINT message, LPARAM, LPARAM data) {
    if (message == BFFM_INITIALIZED)
        SendMessageW(window, BFFM_SETSELECTIONW, TRUE, data);
    return 0;
}

void chooseFolder() {
    BROWSEINFOW info = {};
    info.hwndOwner = g_app.mainWindow;
    info.lpszTitle = L"Please choose a location where downloaded files will be saved:";
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_NEWDIALOGSTYLE;
    info.lpfn = folderCallback;
    info.lParam = reinterpret_cast<LPARAM>(g_app.folder.c_str());
    PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
    if (!chosen)
        return;
    wchar_t path[MAX_PATH] = {};
    if (SHGetPathFromIDListW(chosen, path)) {
        path[258] = 0;
        g_app.folder = path;
        if (g_app.view)
            g_app.view->downloads()->setFolder(g_app.folder);
        saveSettings();
    }
    CoTaskMemFree(chosen);
}

void openDownloadFolder() {
    HINSTANCE result = ShellExecuteW(g_app.mainWindow, L"open", g_app.folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    if (reinterpret_cast<INT_PTR>(result) <= 32)
        LOG_ERROR(g_app.log, L"WndProc", L"ShellExecuteW", static_cast<DWORD>(reinterpret_cast<INT_PTR>(result)));
}

void terminateGUI() {
    if (!PostMessageW(g_app.mainWindow, WM_DESTROY_MAIN, 0, 0))
        LOG_ERROR(g_app.log, L"terminateGUI", L"PostMessage", GetLastError());
}

// Some entry would lose its progress: running, with its file open, on a server without ranges.
bool hasUnresumableRunning() {
    DownloadsList* list = g_app.view ? g_app.view->downloads() : nullptr;
    for (size_t i = 0; list && i < list->size(); ++i) {
        DownloadEntry* entry = list->at(i);
        if (!entry->isComplete() && !entry->isResumable() && !entry->isStopped() && entry->isFileOpen())
            return true;
    }
    return false;
}

void exitProgram(bool ask, bool fromMenu) {
    if (g_app.exiting)
        return;
    if (ask && hasUnresumableRunning()) {
        // Exiting while the question is open: a second exit order, a tray Exit or a close that
        // arrives through the box's message loop finds the program exiting and asks nothing.
        g_app.exiting = true;
        int answer = MessageBoxW(g_app.mainWindow,
                                 L"There are active downloads that do not support resuming. If you exit now, current "
                                 L"download progress for these downloads will be lost. Are you sure you wish to exit?",
                                 L"Download NOT Resumable", MB_YESNOCANCEL | MB_ICONWARNING);
        g_app.exiting = false;
        if (answer != IDYES)
            return;
    }
    g_app.exiting = true;
    if (g_app.view) {
        g_app.view->downloads()->saveDownloads();
        // The stopping engine refuses new objects: no message may start more work now.
        g_app.view->downloads()->stopDispatch();
    }
    if (g_app.serverStopped) {
        terminateGUI();
        return;
    }
    if (!g_app.server->terminateServer())
        LOG_ERROR_TEXT(g_app.log, L"WndProc", L"terminateServer failed");
    CloseWindow(g_app.mainWindow);
    if (fromMenu && g_app.trayMode == 1)
        ShowWindow(g_app.mainWindow, SW_HIDE);
}

void onCommand(WORD id, LPARAM lParam) {
    switch (id) {
    case IDM_NEW_DOWNLOAD:
        g_host.newDownloadDialog();
        break;
    case IDM_EXIT:
        exitProgram(lParam != kTrayExit, true);
        break;
    case IDM_CHOOSE_FOLDER:
        chooseFolder();
        break;
    case IDM_OPEN_FOLDER:
        openDownloadFolder();
        break;
    case IDM_MINIMIZE_TO_TRAY:
    case IDM_CLOSE_TO_TRAY:
        g_app.trayMode = id == IDM_MINIMIZE_TO_TRAY ? 0 : 1;
        showTrayIcon();
        saveSettings();
        break;
    case IDM_NO_TRAY_ICON:
        g_app.trayMode = 2;
        removeTrayIcon();
        saveSettings();
        break;
    case IDM_ABOUT:
        runAboutDialog(g_app.log, g_app.instance, g_app.mainWindow);
        break;
    }
}

void onInitMenu(HMENU menu) {
    for (UINT id = IDM_MINIMIZE_TO_TRAY; id <= IDM_NO_TRAY_ICON; ++id) {
        MENUITEMINFOW item = {};
        item.cbSize = sizeof item;
        item.fMask = MIIM_FTYPE | MIIM_STATE;
        item.fType = MFT_STRING | MFT_RADIOCHECK;
        item.fState = id == IDM_MINIMIZE_TO_TRAY + g_app.trayMode ? MFS_CHECKED : MFS_UNCHECKED;
        SetMenuItemInfoW(menu, id, FALSE, &item);
    }
    // The item is the folder itself; "&" would otherwise underline the next letter.
    std::wstring text;
    for (wchar_t c : g_app.folder) {
        text += c;
        if (c == L'&')
            text += L'&';
    }
    ModifyMenuW(menu, IDM_OPEN_FOLDER, MF_BYCOMMAND | MF_STRING, IDM_OPEN_FOLDER, text.c_str());
}

void onRateTimer() {
    int64_t rate = 0;
    if (!g_app.rate.tick(g_app.counter->read(), &rate) || !g_app.trayShown)
        return;
    char16_t size[64];
    formatSize(rate, size, 64);
    wchar_t tip[128];
    wsprintfW(tip, L"%s - %s/s", kTitle, reinterpret_cast<wchar_t*>(size));
    setTrayTip(tip);
}

void onRetryTimer() {
    if (g_app.view && !g_app.exiting && g_app.view->downloads()->retryFailed())
        g_app.view->viewDetails(0, true);
}

}  // namespace

void showTrayIcon() {
    if (g_app.trayShown)
        return;
    NOTIFYICONDATAW data;
    fillTrayData(&data);
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = WM_TRAY;
    data.hIcon = g_app.icon;
    lstrcpynW(data.szTip, kTitle, ARRAYSIZE(data.szTip));
    if (!Shell_NotifyIconW(NIM_ADD, &data))
        LOG_ERROR(g_app.log, L"WndProc", L"Shell_NotifyIcon", GetLastError());
    // Shown as far as this program is concerned: the shell may add it once it is up.
    g_app.trayShown = true;
}

void removeTrayIcon() {
    if (!g_app.trayShown)
        return;
    NOTIFYICONDATAW data;
    fillTrayData(&data);
    Shell_NotifyIconW(NIM_DELETE, &data);
    g_app.trayShown = false;
}

void ShellHost::newDownloadDialog() {
    wchar_t url[1001];
    int choice = runUrlDialog(g_app.log, g_app.instance, g_app.mainWindow, IDD_NEW_DOWNLOAD, url, 1001);
    if (choice && g_app.view)
        g_app.view->addFromDialog(url, wcslen(url), choice == IDC_SAVE_AS);
}

void onSize(WPARAM kind, LPARAM lParam) {
    if (kind == SIZE_MINIMIZED) {
        g_app.minimized = true;
        if (g_app.trayMode == 0)
            ShowWindow(g_app.mainWindow, SW_HIDE);
    }
    SendMessageW(g_app.statusBar, WM_SIZE, 0, 0);
    RECT bar = {};
    GetWindowRect(g_app.statusBar, &bar);
    RECT tools = {};
    GetWindowRect(g_app.toolbar, &tools);
    SendMessageW(g_app.toolbar, TB_AUTOSIZE, 0, 0);
    int top = tools.bottom - tools.top;
    int height = HIWORD(lParam) - (bar.bottom - bar.top) - top;
    MoveWindow(g_app.clientWindow, 0, top, LOWORD(lParam), height > 0 ? height : 0, TRUE);
    if (kind != SIZE_MINIMIZED && g_app.minimized) {
        g_app.minimized = false;
        // After the layout, so that the dialogs open over a whole window. Copied first: a
        // dialog's own message loop may bring more requests meanwhile.
        PendingCredentials pending = g_app.pending;
        g_app.pending.clear();
        for (size_t i = 0; i < pending.count(); ++i)
            doDownloadPass(pending.at(i));
    }
}

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // The shell broadcasts it when the taskbar is made again (Explorer restarted): the icons
    // it had are gone, and a window hidden in the tray could not be shown any more.
    static const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    if (message == taskbarCreated && taskbarCreated) {
        if (g_app.trayShown) {
            g_app.trayShown = false;
            showTrayIcon();
        }
        return 0;
    }
    switch (message) {
    case WM_COMMAND:
        onCommand(LOWORD(wParam), lParam);
        return 0;
    case WM_INITMENU:
        onInitMenu(reinterpret_cast<HMENU>(wParam));
        return 0;
    case WM_COPYDATA: {
        const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        // Posted, not run here: the exit may ask its question, and the share program waiting
        // for this answer must not wait for the user.
        if (data && data->dwData == kExitRequest) {
            if (!PostMessageW(window, WM_COMMAND, IDM_EXIT, 0))
                LOG_ERROR(g_app.log, L"WndProc", L"PostMessage", GetLastError());
        } else {
            activateApp();
        }
        return 1;
    }
    case WM_CLOSE:
        if (g_app.trayMode == 1 && !g_app.exiting) {
            CloseWindow(window);
            ShowWindow(window, SW_HIDE);
        } else {
            exitProgram(true, false);
        }
        return 0;
    case WM_ENGINE_STOPPED:
        g_app.serverStopped = true;
        // Every write has completed now: flushed, the list saved again holds what the files hold.
        if (g_app.view)
            g_app.view->downloads()->saveDownloads(true);
        if (g_app.exiting)
            terminateGUI();
        return 0;
    case WM_DESTROY_MAIN:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_CREDENTIALS:
        if (g_app.view && g_app.view->downloads()->find(static_cast<DWORD>(wParam))) {
            if (g_app.minimized)
                g_app.pending.add(static_cast<uint32_t>(wParam));
            else
                doDownloadPass(static_cast<DWORD>(wParam));
        }
        return 0;
    case WM_TRAY:
        if (wParam == kTrayId) {
            if (lParam == WM_LBUTTONDBLCLK)
                activateApp();
            else if (lParam == WM_RBUTTONUP)
                trayMenu();
        }
        return 0;
    case WM_TIMER:
        if (wParam == kRateTimer)
            onRateTimer();
        else if (wParam == kRetryTimer)
            onRetryTimer();
        return 0;
    case WM_SIZE:
        onSize(wParam, lParam);
        return 0;
    case WM_GETMINMAXINFO:
        reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = POINT{500, 350};
        return 0;
    case WM_NOTIFY: {
        NMTTDISPINFOW* tip = reinterpret_cast<NMTTDISPINFOW*>(lParam);
        if (tip->hdr.code == TTN_GETDISPINFOW && tip->hdr.idFrom == IDM_NEW_DOWNLOAD) {
            tip->lpszText = const_cast<wchar_t*>(L"New Download");
            return 0;
        }
        break;
    }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
