// The share program's entry point: start-up in a fixed order (settings, log, network library,
// first-run dialog, shared-file registry, window, engine, tabs, listeners, timers), the
// message loop, and the shutdown that undoes it in reverse, saving the share list and the
// settings on the way out. The main window procedure is in HSMainWindow.cpp.
#include "HSMain.h"

#include <commctrl.h>
#include <shlobj.h>
#include <stdlib.h>
#include <time.h>

#include "FileHandler.h"
#include "HSMainInternal.h"
#include "HSMainSettings.h"
#include "Log.h"
#include "ServerWithReg.h"
#include "ShareRes.h"
#include "ShareTab.h"
#include "TabWindow.h"
#include "TrafficCounters.h"

static const wchar_t kLogUnit[] = L"HSMain";

HINSTANCE g_instance = nullptr;
Log* g_log = nullptr;
Server* g_server = nullptr;
FileHandler* g_fileHandler = nullptr;
TrafficCounters* g_trafficCounters = nullptr;
HWND g_mainWindow = nullptr;
HWND g_tabControl = nullptr;
HWND g_statusBar = nullptr;
HWND g_copyButton = nullptr;
HFONT g_messageFont = nullptr;
HBRUSH g_tabBrush = nullptr;
HCURSOR g_splitCursorVertical = nullptr;
HCURSOR g_splitCursorHorizontal = nullptr;
ShareTab* g_shareTab = nullptr;
TabWindow* g_networkTab = nullptr;
TabWindow* g_optionsTab = nullptr;
TabWindow* g_helpTab = nullptr;
PageWindows g_pageWindows;
bool g_updateDownloaded = false;
bool g_firstStartHint = false;

ShellState g_shell;

namespace {

const wchar_t kSemaphoreName[] = L"Local\\WexaShare";

// The Welcome dialog leaves its choice here; WinMain applies nothing else.
bool g_welcomeShown = false;

bool loadResources(HINSTANCE instance) {
    g_shell.arrowCursor = LoadCursorW(nullptr, IDC_ARROW);
    if (!g_shell.arrowCursor) {
        LOG_ERROR(g_log, L"initApp", L"LoadCursor", GetLastError());
        return false;
    }
    g_splitCursorVertical = LoadCursorW(instance, MAKEINTRESOURCEW(IDCUR_SPLIT_VERTICAL));
    if (!g_splitCursorVertical) {
        LOG_ERROR(g_log, L"initApp", L"LoadCursor", GetLastError());
        return false;
    }
    g_splitCursorHorizontal = LoadCursorW(instance, MAKEINTRESOURCEW(IDCUR_SPLIT_HORIZONTAL));
    if (!g_splitCursorHorizontal) {
        LOG_ERROR(g_log, L"initApp", L"LoadCursor", GetLastError());
        return false;
    }
    g_shell.icon = programIcon(instance, false);
    if (!g_shell.icon) {
        LOG_ERROR(g_log, L"initApp", L"LoadIcon", GetLastError());
        return false;
    }
    return true;
}

void createMessageFont() {
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        g_messageFont = CreateFontIndirectW(&metrics.lfMessageFont);
        if (g_messageFont) {
            g_shell.ownsFont = true;
            return;
        }
        LOG_ERROR(g_log, L"initApp", L"CreateFontIndirect", GetLastError());
    } else {
        LOG_ERROR(g_log, L"initApp", L"SystemParametersInfo", GetLastError());
    }
    g_messageFont = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    g_shell.ownsFont = false;
}

void reverseInitApp() {
    if (g_messageFont && g_shell.ownsFont)
        DeleteObject(g_messageFont);
    g_messageFont = nullptr;
    if (g_mainWindow)
        DestroyWindow(g_mainWindow);
    g_mainWindow = nullptr;
    if (g_tabBrush)
        DeleteObject(g_tabBrush);
    g_tabBrush = nullptr;
    UnregisterClassW(kEmptyClassName, g_instance);
    UnregisterClassW(kMainClassName, g_instance);
}

bool initApp(HINSTANCE instance) {
    if (!loadResources(instance))
        return false;
    createMessageFont();

    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WndProc;
    wc.hInstance = instance;
    wc.hIcon = g_shell.icon;
    wc.hIconSm = programIcon(instance, true);
    wc.hCursor = g_shell.arrowCursor;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszMenuName = L"WexaShare";
    wc.lpszClassName = kMainClassName;
    if (!RegisterClassExW(&wc)) {
        LOG_ERROR(g_log, L"initApp", L"RegisterClassEx", GetLastError());
        reverseInitApp();
        return false;
    }
    WNDCLASSEXW empty = {};
    empty.cbSize = sizeof empty;
    empty.lpfnWndProc = DefWindowProcW;
    empty.hInstance = instance;
    empty.hCursor = g_shell.arrowCursor;
    empty.lpszClassName = kEmptyClassName;
    if (!RegisterClassExW(&empty)) {
        LOG_ERROR(g_log, L"initApp", L"RegisterClassEx", GetLastError());
        reverseInitApp();
        return false;
    }

    g_mainWindow = CreateWindowExW(0, kMainClassName, L"Wexa-Share",
                                   WS_OVERLAPPEDWINDOW | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, CW_USEDEFAULT,
                                   CW_USEDEFAULT, 950, 650, nullptr, nullptr, instance, nullptr);
    if (!g_mainWindow) {
        LOG_ERROR(g_log, L"initApp", L"CreateWindowEx", GetLastError());
        reverseInitApp();
        return false;
    }

    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_LINK_CLASS |
                                                          ICC_TAB_CLASSES | ICC_STANDARD_CLASSES};
    if (!InitCommonControlsEx(&controls))
        LOG_ERROR(g_log, L"initApp", L"InitCommonControlsEx", GetLastError());

    // Without visual styles the pages keep this plain button-face brush.
    g_tabBrush = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
    if (!g_tabBrush) {
        LOG_ERROR(g_log, L"initApp", L"CreateSolidBrush", GetLastError());
        reverseInitApp();
        return false;
    }
    if (!createMainControls(instance)) {
        reverseInitApp();
        return false;
    }
    if (g_settings.minimizeFunction != 2)
        addTrayIcon();
    return true;
}

void destroyApp() {
    removeTrayIcon();
    if (g_messageFont && g_shell.ownsFont)
        DeleteObject(g_messageFont);
    g_messageFont = nullptr;
    if (g_tabBrush)
        DeleteObject(g_tabBrush);
    g_tabBrush = nullptr;
    UnregisterClassW(kMainClassName, g_instance);
}

// Initialises a page and gives it a tab; the page is destroyed (null returned) when either
// fails, so a broken page is simply left out.
TabWindow* addPage(TabWindow* page, const wchar_t* title, bool shown) {
    if (!page)
        return nullptr;
    if (!page->init(g_instance, g_tabControl)) {
        LOG_ERROR_TEXT(g_log, L"initTabs", L"Failed to init tab");
        delete page;
        return nullptr;
    }
    TCITEMW item = {};
    item.mask = TCIF_TEXT | TCIF_PARAM;
    item.pszText = const_cast<wchar_t*>(title);
    item.lParam = reinterpret_cast<LPARAM>(page);
    if (TabCtrl_InsertItem(g_tabControl, static_cast<int>(g_shell.pageCount), &item) < 0) {
        LOG_ERROR(g_log, L"initTabs", L"TabCtrl_InsertItem", GetLastError());
        delete page;
        return nullptr;
    }
    g_shell.pages[g_shell.pageCount++] = page;
    if (shown)
        page->show();
    else
        page->hide();
    return page;
}

bool initTabs() {
    TabContext context = {g_log, g_server, g_fileHandler, g_trafficCounters, g_mainWindow, &g_pageWindows};
    g_shareTab = static_cast<ShareTab*>(addPage(new ShareTab(context), L"Share", true));
    g_networkTab = addPage(newNetworkTab(context), L"Network", false);
    g_optionsTab = addPage(newOptionsTab(context), L"Options", false);
    g_helpTab = addPage(newHelpTab(context), L"Help", false);
    layoutMainWindow();
    return g_shell.pageCount == 4;
}

void setDefaultUploadFolder() {
    if (g_settings.uploadsDirectoryLength)
        return;
    wchar_t documents[MAX_PATH];
    HRESULT result = SHGetFolderPathW(nullptr, CSIDL_PERSONAL | CSIDL_FLAG_CREATE, nullptr, 0, documents);
    if (FAILED(result)) {
        LOG_ERROR(g_log, L"WinMain", L"SHGetFolderPathW", static_cast<DWORD>(result));
        return;
    }
    wchar_t folder[MAX_PATH + 40];
    int length = wsprintfW(folder, L"%s\\Wexa-Share Received", documents);
    if (length > 259)
        length = 259;
    folder[length] = 0;
    setUploadsDirectory(folder, static_cast<DWORD>(length));
}

void startNetworkLibrary() {
    WSADATA wsa;
    int started = WSAStartup(MAKEWORD(2, 2), &wsa);
    if (started)
        LOG_ERROR(g_log, L"WinMain", L"WSAStartup", static_cast<DWORD>(started));
    else if (wsa.wVersion != MAKEWORD(2, 2))
        LOG_ERROR(g_log, L"WinMain", L"WSAStartup", WSAVERNOTSUPPORTED);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int showCommand) {
    g_instance = instance;
    srand(static_cast<unsigned>(time(nullptr)));

    // A second instance finds the semaphore and leaves without a word; the first one keeps it
    // until the very end.
    HANDLE semaphore = CreateSemaphoreW(nullptr, 0, 1, kSemaphoreName);
    if (semaphore && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(semaphore);
        return 0;
    }

    initSettingsLock();
    setDefaultSettings();
    Log* log = new Log();
    bool logStarted = log->initLog(nullptr);
    g_log = log;
    loadSettings(g_log);
    seedSpeedHistories(g_settings.sentBytes, g_settings.receivedBytes);
    setDefaultUploadFolder();
    startNetworkLibrary();

    if (g_settings.firstRun) {
        runWelcomeDialog(instance);
        g_welcomeShown = true;
    }
    createListenerList(g_settings.sharePort);
    if (!LoadLibraryW(L"Riched20.dll"))
        LOG_ERROR(g_log, L"WinMain", L"LoadLibrary", GetLastError());
    g_trafficCounters = new TrafficCounters(g_settings.sentBytes, g_settings.receivedBytes);
    g_fileHandler = new FileHandler(g_log, programServerSettings());
    if (g_settings.detectLocalIP)
        doDetectLocal();
    g_settings.firstRun = false;
    saveSettings(g_log, g_settings.sentBytes, g_settings.receivedBytes);

    bool engineStarted = false;
    bool tabsCreated = false;
    if (!initApp(instance)) {
        LOG_ERROR_TEXT(g_log, L"WinMain", L"initApp failed");
    } else {
        MSG peek;
        PeekMessageW(&peek, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
        if (semaphore)
            ReleaseSemaphore(semaphore, 1, nullptr);

        g_server = new Server(g_log, g_mainWindow, WM_ENGINE_STOPPED);
        engineStarted = g_server->startServer();
        if (!engineStarted) {
            LOG_ERROR_TEXT(g_log, L"WinMain", L"startServer failed");
            // Nothing runs, so an exit request may destroy the window at once.
            g_shell.engineStopped = true;
        } else {
            g_fileHandler->setCompletionPort(g_server->port());
        }
        if (!initTabs())
            LOG_ERROR_TEXT(g_log, L"WinMain", L"initTabs failed");
        tabsCreated = true;
        if (g_settings.rememberShare)
            loadFileList(g_log, g_fileHandler);

        DragAcceptFiles(g_mainWindow, TRUE);
        ShowWindow(g_mainWindow, showCommand);
        if (g_networkTab && engineStarted)
            startListeners();
        refreshAddressStatus(true);
        if (!SetTimer(g_mainWindow, kSpeedTimerId, 1000, nullptr))
            LOG_ERROR(g_log, L"WinMain", L"SetTimer", GetLastError());
        if (g_settings.autoDetectAddress && g_pageWindows.addressBox)
            SendMessageW(g_pageWindows.addressBox, WM_COMMAND, MAKEWPARAM(1011, BN_CLICKED), 0);
        if (g_settings.autoUpdate && g_pageWindows.updateBox)
            SendMessageW(g_pageWindows.updateBox, WM_COMMAND, MAKEWPARAM(1001, BN_CLICKED), 0);
        if (g_welcomeShown) {
            g_firstStartHint = true;
            PostMessageW(g_mainWindow, WM_COMMAND, MAKEWPARAM(IDM_NETWORK_STATUS, 0), 0);
        }

        MSG msg;
        for (;;) {
            BOOL got = GetMessageW(&msg, nullptr, 0, 0);
            if (got == -1) {
                LOG_ERROR(g_log, L"WinMain", L"GetMessage", GetLastError());
                break;
            }
            if (!got)
                break;
            if (translatePageKeys(&msg))
                continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }

    // The engine has stopped (or never ran): nothing posts to the windows any more.
    if (g_server)
        g_server->destroyServer();
    g_server = nullptr;
    destroyApp();
    for (size_t i = g_shell.pageCount; i-- > 0;)
        delete g_shell.pages[i];
    g_shell.pageCount = 0;
    g_shareTab = nullptr;
    g_networkTab = g_optionsTab = g_helpTab = nullptr;
    if (g_settings.rememberShare && tabsCreated)
        saveFileList(g_log, g_fileHandler);
    delete g_fileHandler;
    g_fileHandler = nullptr;
    if (WSACleanup())
        LOG_ERROR(g_log, L"WinMain - WSACleanup", L"WSACleanup", WSAGetLastError());
    ULONGLONG sent, received;
    g_trafficCounters->read(&sent, &received);
    saveSettings(g_log, sent, received);
    delete g_trafficCounters;
    g_trafficCounters = nullptr;
    freeListenerList();
    if (semaphore)
        CloseHandle(semaphore);
    if (logStarted) {
        log->destroyLog();
        log->waitForEnd();
    }
    g_log = nullptr;
    delete log;
    deleteSettingsLock();
    return 0;
}
