// The downloader's entry point and main window: start-up in a fixed order (single instance,
// settings, log, network library, windows, engine, the downloads view and the saved list), the
// message loop, the menu commands, the tray icon, the total-rate and retry timers, the exit
// question and the shutdown that waits for the engine before the window goes.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <string>

#include "DownloadMessages.h"
#include "DownloadRes.h"
#include "DownloadViewRules.h"
#include "DownloaderDialogs.h"
#include "DownloadsHandler.h"
#include "Log.h"
#include "ServerWithReg.h"
#include "TextHelpers.h"

static const wchar_t kLogUnit[] = L"HttpDL";

namespace {

const wchar_t kSemaphoreName[] = L"Local\\WexaDownload";
const wchar_t kMainClass[] = L"WexaShareDownload";
const wchar_t kClientClass[] = L"ClientWindow";
const wchar_t kChildClass[] = L"ChildWindow";
const wchar_t kEmptyClass[] = L"EmptyClass";
const wchar_t kTitle[] = L"Wexa-Share Downloader";
const wchar_t kSettingsKey[] = L"Software\\WexaShare";

const UINT WM_ENGINE_STOPPED = WM_USER + 5;
const UINT WM_DESTROY_MAIN = WM_USER + 7;
const UINT WM_CREDENTIALS = WM_USER + 20;
const UINT WM_TRAY = WM_USER + 30;
const UINT kTrayId = 1000;
const UINT_PTR kRateTimer = 1001;
const UINT_PTR kRetryTimer = 1002;
const ULONG_PTR kExitRequest = 33;
// Command 15 from the tray menu carries this lParam: that exit asks nothing.
const LPARAM kTrayExit = 123;
const int kTrayModes = 3;

// Program-wide state, GUI thread only.
struct App {
    HINSTANCE instance = nullptr;
    Log* log = nullptr;
    Server* server = nullptr;
    ReceivedCounter* counter = nullptr;
    std::wstring folder;
    DWORD trayMode = 2;
    bool trayShown = false;
    bool minimized = false;
    bool exiting = false;
    bool serverStopped = true;
    PendingCredentials pending;
    TotalRate rate;
    HWND mainWindow = nullptr, clientWindow = nullptr, statusBar = nullptr, toolbar = nullptr;
    HWND viewWindow = nullptr;
    DownloadsHandler* view = nullptr;
    HICON icon = nullptr;
    HCURSOR cursor = nullptr;
    HACCEL accelerators = nullptr;
    HFONT font = nullptr;
    bool ownsFont = false;
    int classesRegistered = 0;
};
App g_app;

class ShellHost final : public ViewHost {
public:
    void newDownloadDialog() override;
    const std::wstring& downloadFolder() override { return g_app.folder; }
};
ShellHost g_host;

// ---- Settings ------------------------------------------------------------------------------

void saveSettings() {
    HKEY key;
    LONG result = RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS) {
        LOG_ERROR(g_app.log, L"saveSettings", L"RegCreateKeyEx", static_cast<DWORD>(result));
        return;
    }
    result = RegSetValueExW(key, L"DLMinimizeFunction", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&g_app.trayMode),
                            sizeof(DWORD));
    if (result != ERROR_SUCCESS)
        LOG_ERROR(g_app.log, L"saveSettings", L"RegSetValueEx", static_cast<DWORD>(result));
    result = RegSetValueExW(key, L"DownloadsDirectory", 0, REG_SZ, reinterpret_cast<const BYTE*>(g_app.folder.c_str()),
                            static_cast<DWORD>((g_app.folder.size() + 1) * sizeof(wchar_t)));
    if (result != ERROR_SUCCESS)
        LOG_ERROR(g_app.log, L"saveSettings", L"RegSetValueEx", static_cast<DWORD>(result));
    result = RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        LOG_ERROR(g_app.log, L"saveSettings", L"RegCloseKey", static_cast<DWORD>(result));
}

void loadSettings() {
    HKEY key;
    LONG result = RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key);
    if (result != ERROR_SUCCESS) {
        if (result != ERROR_FILE_NOT_FOUND)
            LOG_ERROR(g_app.log, L"loadSettings", L"RegOpenKeyEx", static_cast<DWORD>(result));
        return;
    }
    DWORD mode = 0, type = 0, bytes = sizeof mode;
    result = RegQueryValueExW(key, L"DLMinimizeFunction", nullptr, &type, reinterpret_cast<BYTE*>(&mode), &bytes);
    if (result == ERROR_SUCCESS && bytes == sizeof mode && mode < kTrayModes)
        g_app.trayMode = mode;
    else if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
        LOG_ERROR(g_app.log, L"loadSettings", L"RegQueryValueEx", static_cast<DWORD>(result));
    // 1000 bytes and room for a terminator the value may lack.
    wchar_t folder[501] = {};
    bytes = 1000;
    result = RegQueryValueExW(key, L"DownloadsDirectory", nullptr, &type, reinterpret_cast<BYTE*>(folder), &bytes);
    if (result == ERROR_SUCCESS && type == REG_SZ)
        g_app.folder = folder;  // cut at the first NUL
    else if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
        LOG_ERROR(g_app.log, L"loadSettings", L"RegQueryValueEx", static_cast<DWORD>(result));
    result = RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        LOG_ERROR(g_app.log, L"loadSettings", L"RegCloseKey", static_cast<DWORD>(result));
}

// ---- Tray icon -----------------------------------------------------------------------------

void fillTrayData(NOTIFYICONDATAW* data) {
    *data = {};
    data->cbSize = sizeof *data;
    data->hWnd = g_app.mainWindow;
    data->uID = kTrayId;
}

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

// ---- Dialogs and commands ------------------------------------------------------------------

void ShellHost::newDownloadDialog() {
    wchar_t url[1001];
    int choice = runUrlDialog(g_app.log, g_app.instance, g_app.mainWindow, IDD_NEW_DOWNLOAD, url, 1001);
    if (choice && g_app.view)
        g_app.view->addFromDialog(url, wcslen(url), choice == IDC_SAVE_AS);
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
    if (ask && hasUnresumableRunning() &&
        MessageBoxW(g_app.mainWindow,
                    L"There are active downloads that do not support resuming. If you exit now, current download "
                    L"progress for these downloads will be lost. Are you sure you wish to exit?",
                    L"Download NOT Resumable", MB_YESNOCANCEL | MB_ICONWARNING) != IDYES)
        return;
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
    switch (message) {
    case WM_COMMAND:
        onCommand(LOWORD(wParam), lParam);
        return 0;
    case WM_INITMENU:
        onInitMenu(reinterpret_cast<HMENU>(wParam));
        return 0;
    case WM_COPYDATA: {
        const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (data && data->dwData == kExitRequest)
            onCommand(IDM_EXIT, 0);
        else
            activateApp();
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
        // Every write has completed now: the list saved again holds what the files hold.
        if (g_app.view)
            g_app.view->downloads()->saveDownloads();
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

// ---- The view's host window ----------------------------------------------------------------

void clientSize(int width, int height) {
    if (g_app.viewWindow && !SetWindowPos(g_app.viewWindow, nullptr, 0, 0, width, height, SWP_NOZORDER | SWP_NOMOVE))
        LOG_ERROR(g_app.log, L"clientSize", L"SetWindowPos", GetLastError());
}

LRESULT CALLBACK ClientWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SIZE)
        clientSize(LOWORD(lParam), HIWORD(lParam));
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK ChildWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DownloadsHandler* handler = reinterpret_cast<DownloadsHandler*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_CREATE: {
        if (g_app.exiting)
            return -1;
        handler = static_cast<DownloadsHandler*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        g_app.viewWindow = window;
        if (!handler->init(window)) {
            LOG_ERROR_TEXT(g_app.log, L"ChildWndProc", L"DownloadsHandler init failed");
            g_app.viewWindow = nullptr;
            return -1;
        }
        SetLastError(0);
        if (!SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(handler)) && GetLastError()) {
            LOG_ERROR(g_app.log, L"ChildWndProc", L"SetWindowLong", GetLastError());
            g_app.viewWindow = nullptr;
            return -1;
        }
        return 0;
    }
    case WM_NCDESTROY:
        if (handler) {
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            g_app.viewWindow = nullptr;
            g_app.view = nullptr;
            delete handler;
        }
        break;
    default:
        if (handler) {
            LRESULT result = 0;
            if (handler->hostMessage(message, wParam, lParam, &result))
                return result;
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void initInterface() {
    ViewContext context = {g_app.log, g_app.server, g_app.instance, g_app.mainWindow, g_app.font, g_app.counter,
                           &g_host};
    DownloadsHandler* handler = new DownloadsHandler(context);
    RECT client = {};
    if (!GetClientRect(g_app.clientWindow, &client))
        LOG_ERROR(g_app.log, L"initInterface", L"GetClientRect", GetLastError());
    // A failed creation has destroyed the handler's window: the handler itself is ours to free.
    HWND view = CreateWindowExW(0, kChildClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0, 0,
                                client.right, client.bottom, g_app.clientWindow, nullptr, g_app.instance, handler);
    if (!view) {
        LOG_ERROR(g_app.log, L"initInterface", L"CreateWindowEx", GetLastError());
        delete handler;
        return;
    }
    g_app.view = handler;
    clientSize(client.right, client.bottom);
}

// ---- Start-up ------------------------------------------------------------------------------

void createFont() {
    NONCLIENTMETRICSW metrics = {};
    // The structure without the padded border width of newer systems: 504 bytes, accepted everywhere.
    metrics.cbSize = 504;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0)) {
        g_app.font = CreateFontIndirectW(&metrics.lfMessageFont);
        if (g_app.font) {
            g_app.ownsFont = true;
            return;
        }
        LOG_ERROR(g_app.log, L"initApp", L"CreateFontIndirect", GetLastError());
    } else {
        LOG_ERROR(g_app.log, L"initApp", L"SystemParametersInfo", GetLastError());
    }
    g_app.font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    if (!g_app.font)
        LOG_ERROR(g_app.log, L"initApp", L"GetStockObject", GetLastError());
}

void unregisterClasses() {
    const wchar_t* const classes[] = {kMainClass, kClientClass, kChildClass, kEmptyClass};
    for (int i = 0; i < g_app.classesRegistered; ++i)
        UnregisterClassW(classes[i], g_app.instance);
    g_app.classesRegistered = 0;
}

bool registerClass(const wchar_t* name, WNDPROC proc, int background, const wchar_t* menu) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = proc;
    wc.hInstance = g_app.instance;
    wc.hIcon = name == kMainClass ? g_app.icon : nullptr;
    wc.hCursor = g_app.cursor;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(background + 1));
    wc.lpszMenuName = menu;
    wc.lpszClassName = name;
    if (!RegisterClassExW(&wc)) {
        LOG_ERROR(g_app.log, L"initApp", L"RegisterClassEx", GetLastError());
        return false;
    }
    ++g_app.classesRegistered;
    return true;
}

bool createBars() {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES | ICC_LISTVIEW_CLASSES | ICC_TAB_CLASSES};
    if (!InitCommonControlsEx(&controls))
        LOG_ERROR(g_app.log, L"initApp", L"InitCommonControlsEx", GetLastError());
    g_app.statusBar = CreateWindowExW(0, STATUSCLASSNAMEW, nullptr, WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0,
                                      0, g_app.mainWindow, nullptr, g_app.instance, nullptr);
    if (!g_app.statusBar) {
        LOG_ERROR(g_app.log, L"initApp", L"CreateWindowEx", GetLastError());
        return false;
    }
    g_app.toolbar = CreateWindowExW(0, TOOLBARCLASSNAMEW, nullptr,
                                    WS_CHILD | WS_VISIBLE | TBSTYLE_FLAT | TBSTYLE_TOOLTIPS | CCS_TOP, 0, 0, 0, 0,
                                    g_app.mainWindow, nullptr, g_app.instance, nullptr);
    if (!g_app.toolbar) {
        LOG_ERROR(g_app.log, L"initApp", L"CreateWindowEx", GetLastError());
        return false;
    }
    SendMessageW(g_app.toolbar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    TBADDBITMAP bitmap = {HINST_COMMCTRL, IDB_STD_SMALL_COLOR};
    SendMessageW(g_app.toolbar, TB_ADDBITMAP, 0, reinterpret_cast<LPARAM>(&bitmap));
    TBBUTTON button = {};
    button.iBitmap = STD_FILENEW;
    button.idCommand = IDM_NEW_DOWNLOAD;
    button.fsState = TBSTATE_ENABLED;
    button.fsStyle = BTNS_BUTTON;
    if (!SendMessageW(g_app.toolbar, TB_ADDBUTTONSW, 1, reinterpret_cast<LPARAM>(&button)))
        LOG_ERROR(g_app.log, L"initApp", L"TB_ADDBUTTONS", GetLastError());
    SendMessageW(g_app.toolbar, TB_AUTOSIZE, 0, 0);
    return true;
}

bool initApp() {
    g_app.cursor = LoadCursorW(nullptr, IDC_ARROW);
    if (!g_app.cursor) {
        LOG_ERROR(g_app.log, L"initApp", L"LoadCursor", GetLastError());
        return false;
    }
    g_app.icon = LoadIconW(g_app.instance, L"IDI_ICON1");
    if (!g_app.icon)
        g_app.icon = LoadIconW(nullptr, IDI_APPLICATION);
    if (!g_app.icon) {
        LOG_ERROR(g_app.log, L"initApp", L"LoadIcon", GetLastError());
        return false;
    }
    g_app.accelerators = LoadAcceleratorsW(g_app.instance, kMainClass);
    if (!g_app.accelerators) {
        LOG_ERROR(g_app.log, L"initApp", L"LoadAccelerators", GetLastError());
        return false;
    }
    createFont();
    if (!g_app.font)
        return false;
    if (!registerClass(kMainClass, WndProc, COLOR_BTNFACE, kMainClass) ||
        !registerClass(kClientClass, ClientWndProc, COLOR_BTNFACE, nullptr) ||
        !registerClass(kChildClass, ChildWndProc, COLOR_BTNFACE, nullptr) ||
        !registerClass(kEmptyClass, DefWindowProcW, COLOR_WINDOW, nullptr)) {
        unregisterClasses();
        return false;
    }
    g_app.mainWindow = CreateWindowExW(0, kMainClass, kTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 900,
                                       500, nullptr, nullptr, g_app.instance, nullptr);
    if (!g_app.mainWindow) {
        LOG_ERROR(g_app.log, L"initApp", L"CreateWindowEx", GetLastError());
        unregisterClasses();
        return false;
    }
    g_app.clientWindow = CreateWindowExW(0, kClientClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
                                         0, 0, 0, 0, g_app.mainWindow, nullptr, g_app.instance, nullptr);
    if (!g_app.clientWindow || !createBars()) {
        if (!g_app.clientWindow)
            LOG_ERROR(g_app.log, L"initApp", L"CreateWindowEx", GetLastError());
        DestroyWindow(g_app.mainWindow);
        g_app.mainWindow = nullptr;
        unregisterClasses();
        return false;
    }
    if (g_app.trayMode != 2)
        showTrayIcon();
    return true;
}

void startNetworkLibrary() {
    WSADATA wsa;
    int started = WSAStartup(MAKEWORD(2, 2), &wsa);
    if (started)
        LOG_ERROR(g_app.log, L"WinMain", L"WSAStartup", static_cast<DWORD>(started));
    else if (wsa.wVersion != MAKEWORD(2, 2))
        LOG_ERROR(g_app.log, L"WinMain", L"WSAStartup", WSAVERNOTSUPPORTED);
}

void defaultFolder() {
    if (!g_app.folder.empty())
        return;
    wchar_t desktop[MAX_PATH] = {};
    HRESULT found = SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY | CSIDL_FLAG_CREATE, nullptr, 0, desktop);
    if (FAILED(found))
        LOG_ERROR(g_app.log, L"WinMain", L"SHGetFolderPathW", static_cast<DWORD>(found));
    else
        g_app.folder = desktop;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int showCommand) {
    g_app.instance = instance;
    // A second instance leaves at once; the running one is not told.
    HANDLE semaphore = CreateSemaphoreW(nullptr, 0, 1, kSemaphoreName);
    if (semaphore && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(semaphore);
        return 0;
    }
    g_app.counter = new ReceivedCounter();
    Log* log = new Log();
    bool logStarted = log->initLog(nullptr);
    g_app.log = log;
    loadSettings();
    defaultFolder();
    saveSettings();
    startNetworkLibrary();
    // The folder dialog's new style needs COM on this thread.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    if (FAILED(com))
        LOG_ERROR(g_app.log, L"WinMain", L"CoInitializeEx", static_cast<DWORD>(com));

    if (!initApp()) {
        LOG_ERROR_TEXT(g_app.log, L"WinMain", L"initApp failed");
    } else {
        MSG peek;
        PeekMessageW(&peek, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
        if (semaphore)
            ReleaseSemaphore(semaphore, 1, nullptr);
        g_app.server = new Server(g_app.log, g_app.mainWindow, WM_ENGINE_STOPPED);
        if (g_app.server->startServer())
            g_app.serverStopped = false;
        else
            LOG_ERROR_TEXT(g_app.log, L"WinMain", L"startServer failed");
        initInterface();
        ShowWindow(g_app.mainWindow, showCommand);
        RECT client;
        GetClientRect(g_app.mainWindow, &client);
        onSize(SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
        if (g_app.view)
            g_app.view->downloads()->readDownloads();
        if (!SetTimer(g_app.mainWindow, kRateTimer, 1000, nullptr))
            LOG_ERROR(g_app.log, L"WinMain", L"SetTimer", GetLastError());
        if (!SetTimer(g_app.mainWindow, kRetryTimer, 10000, nullptr))
            LOG_ERROR(g_app.log, L"WinMain", L"SetTimer", GetLastError());

        MSG msg;
        for (;;) {
            BOOL got = GetMessageW(&msg, nullptr, 0, 0);
            if (got == -1) {
                LOG_ERROR(g_app.log, L"WinMain", L"GetMessage", GetLastError());
                break;
            }
            if (!got)
                break;
            if (TranslateAcceleratorW(g_app.mainWindow, g_app.accelerators, &msg))
                continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (g_app.server)
            g_app.server->destroyServer();
        g_app.server = nullptr;
        removeTrayIcon();
        unregisterClasses();
    }
    // The view (and with it every entry) went with the main window; a window that never came
    // leaves nothing to destroy here.
    if (SUCCEEDED(com))
        CoUninitialize();
    if (WSACleanup())
        LOG_ERROR(g_app.log, L"WinMain - WSACleanup", L"WSACleanup", WSAGetLastError());
    saveSettings();
    if (g_app.font && g_app.ownsFont)
        DeleteObject(g_app.font);
    delete g_app.counter;
    g_app.counter = nullptr;
    if (semaphore)
        CloseHandle(semaphore);
    if (logStarted) {
        log->destroyLog();
        log->waitForEnd();
    }
    g_app.log = nullptr;
    delete log;
    return 0;
}
