// The downloader's entry point: start-up in a fixed order (single instance, settings, log,
// network library, windows, engine, the downloads view and the saved list), the message loop
// and the shutdown; the settings, the window classes and the view's host window. The main
// window procedure is in HttpDLWindow.cpp.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <string>

#include "DownloadRes.h"
#include "HttpDLInternal.h"
#include "Log.h"
#include "ServerWithReg.h"
#include "TextHelpers.h"

static const wchar_t kLogUnit[] = L"HttpDL";

const wchar_t kMainClass[] = L"WexaShareDownload";
const wchar_t kTitle[] = L"Wexa-Share Downloader";
App g_app;

namespace {

const wchar_t kSemaphoreName[] = L"Local\\WexaDownload";
const wchar_t kClientClass[] = L"ClientWindow";
const wchar_t kChildClass[] = L"ChildWindow";
const wchar_t kEmptyClass[] = L"EmptyClass";
const wchar_t kSettingsKey[] = L"Software\\WexaShare";
const DWORD kTrayModes = 3;

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
