// State and helpers that the downloader's shell units share: start-up, settings and the
// view's host window in HttpDL.cpp; the main window procedure, its commands, the tray icon,
// the timers and the exit in HttpDLWindow.cpp.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <string>

#include "DownloadMessages.h"
#include "DownloadViewRules.h"
#include "DownloadsHandler.h"

class Log;
class Server;

extern const wchar_t kMainClass[];
extern const wchar_t kTitle[];

const UINT WM_ENGINE_STOPPED = WM_USER + 5;
const UINT_PTR kRateTimer = 1001;
const UINT_PTR kRetryTimer = 1002;

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
extern App g_app;

// What the downloads view asks of the shell.
class ShellHost final : public ViewHost {
public:
    void newDownloadDialog() override;
    const std::wstring& downloadFolder() override { return g_app.folder; }
};
extern ShellHost g_host;

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void saveSettings();
void showTrayIcon();
void removeTrayIcon();
// Lays out the status bar, the toolbar and the client window (also what a restore does).
void onSize(WPARAM kind, LPARAM lParam);
