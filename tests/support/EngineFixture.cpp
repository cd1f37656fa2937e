// Engine test support: see EngineFixture.h.
#include "EngineFixture.h"

MessageWindow::MessageWindow() {
    static ATOM atom = 0;
    if (!atom) {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"WexaTestMessageWindow";
        atom = RegisterClassW(&wc);
    }
    window_ = CreateWindowExW(0, L"WexaTestMessageWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

MessageWindow::~MessageWindow() {
    if (window_)
        DestroyWindow(window_);
}

LRESULT CALLBACK MessageWindow::proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    MessageWindow* self = reinterpret_cast<MessageWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self && message == kObjectEnded)
        ++self->ended_;
    return DefWindowProcW(window, message, wParam, lParam);
}

bool MessageWindow::waitFor(UINT wanted, DWORD milliseconds, WPARAM* wParam) {
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            bool hit = msg.hwnd == window_ && msg.message == wanted;
            if (hit && wParam)
                *wParam = msg.wParam;
            DispatchMessageW(&msg);
            if (hit)
                return true;
        }
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= milliseconds)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - elapsed, QS_ALLINPUT);
    }
}

EngineFixture::EngineFixture(const wchar_t* logFile) {
    log_.initLog(logFile);
    server_ = new Server(&log_, window_.handle(), kStoppedMessage);
    if (!server_->startServer()) {
        server_->destroyServer();
        server_ = nullptr;
    }
}

bool EngineFixture::stop(DWORD milliseconds) {
    if (!server_ || stopped_)
        return stopped_;
    server_->terminateServer();
    stopped_ = window_.waitFor(kStoppedMessage, milliseconds);
    if (stopped_) {
        server_->destroyServer();
        server_ = nullptr;
    }
    return stopped_;
}

void EngineFixture::closeLog() {
    if (logClosed_)
        return;
    logClosed_ = true;
    log_.destroyLog();
    log_.waitForEnd();
}

EngineFixture::~EngineFixture() {
    // A server that never stopped is leaked on purpose: freeing it under running workers
    // would turn a failed test into a crash.
    stop();
    closeLog();
}

bool pumpUntil(bool (*done)(void*), void* context, DWORD milliseconds) {
    DWORD start = GetTickCount();
    while (!done(context)) {
        if (GetTickCount() - start >= milliseconds)
            return false;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
        Sleep(1);
    }
    return true;
}
