// Test support for engine-driven code: a running engine with its log, a hidden message
// window that receives the stopped and termination messages, and a pump that waits for them.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include "Log.h"
#include "ServerWithReg.h"

const UINT kStoppedMessage = WM_USER + 5;
const UINT kObjectEnded = WM_USER + 60;

class MessageWindow {
public:
    MessageWindow();
    ~MessageWindow();
    HWND handle() const { return window_; }
    // Pumps messages until `message` arrives (returns its wParam in *wParam) or the time runs out.
    bool waitFor(UINT message, DWORD milliseconds, WPARAM* wParam = nullptr);
    // Counts termination messages per object id seen by the pump so far.
    unsigned endedCount() const { return ended_; }

private:
    static LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    HWND window_ = nullptr;
    unsigned ended_ = 0;
};

// A started engine whose stop the destructor completes, so a failing test never leaves
// ten workers behind.
class EngineFixture {
public:
    explicit EngineFixture(const wchar_t* logFile = nullptr);
    ~EngineFixture();
    Server* server() { return server_; }
    Log* log() { return &log_; }
    MessageWindow& window() { return window_; }
    // terminateServer, then waits for the stopped message; true when it came in time.
    bool stop(DWORD milliseconds = 20000);
    // Ends the log so its file can be read; call after stop.
    void closeLog();

private:
    Log log_;
    MessageWindow window_;
    Server* server_ = nullptr;
    bool stopped_ = false;
    bool logClosed_ = false;
};

// Pumps this thread's messages for a while (for waits on conditions set by workers).
bool pumpUntil(bool (*done)(void*), void* context, DWORD milliseconds);
