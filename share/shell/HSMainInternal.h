// State and helpers of the share program's shell that only its own units (HSMain*.cpp) share:
// start-up in HSMain.cpp, the window procedure in HSMainWindow.cpp, the dialogs in
// HSMainDialogs.cpp, the status displays in HSMainStatus.cpp.
#pragma once
#include <windows.h>

class TabWindow;

struct ShellState {
    HCURSOR arrowCursor = nullptr;
    HICON icon = nullptr;
    bool ownsFont = false;
    bool closing = false;          // shutdown has started
    bool engineStopped = false;    // the engine reported WM_ENGINE_STOPPED (or never ran)
    bool trayShown = false;
    bool minimized = false;
    TabWindow* pages[4] = {};      // in creation order
    size_t pageCount = 0;
    WNDPROC tabProc = nullptr;     // previous procedures of the subclassed controls
    WNDPROC statusProc = nullptr;
    WNDPROC buttonProc = nullptr;
};
extern ShellState g_shell;

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// The program icon at the large or small system size; falls back to the system's.
HICON programIcon(HINSTANCE instance, bool small);
// Tab control, status bar and its button, all subclassed.
bool createMainControls(HINSTANCE instance);
void layoutMainWindow();
// The message loop's keyboard navigation: Tab and Shift+Tab between a page's controls, Ctrl+Tab
// and Ctrl+PgDn / Ctrl+PgUp between the tabs. True when the message was used up.
bool translatePageKeys(MSG* msg);
void addTrayIcon();
void removeTrayIcon();

// Speed display: every slot of both histories starts at the loaded totals.
void seedSpeedHistories(ULONGLONG sent, ULONGLONG received);
void updateSpeeds();
// Redraws status part 2 (the network status line).
void drawNetworkStatus(const DRAWITEMSTRUCT* item);

// The Welcome dialog (first run): sets the display name, UPnP and the share port.
void runWelcomeDialog(HINSTANCE instance);
void runAboutDialog();
// Tries candidate ports in order; the first that binds on all addresses, or 0.
WORD chooseFreePort();

// Posted by the network status's refresh callback from any thread: run the full refresh.
constexpr UINT WM_REFRESH_STATUS = WM_APP + 1;
