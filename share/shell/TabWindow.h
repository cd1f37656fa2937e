// The base of the share program's tab pages (Share, Network, Options, Help): the slot order
// the main window drives, and the painting of a page with the tab background brush.
#pragma once
#include <windows.h>

#include "TabContext.h"
#include "WndProcDispatcher1.h"

class TabWindow : public WndProcDispatcher1 {
public:
    // Slot order: destructor, window procedure (wndProc of the dispatcher), init, hide, show,
    // resize.
    ~TabWindow() override {}

    // Creates the page's container and controls as children of tabControl.
    virtual bool init(HINSTANCE instance, HWND tabControl) = 0;
    virtual void hide() = 0;
    virtual void show() = 0;
    // Lays the page out in the tab control's display rectangle.
    virtual void resize(int left, int top, int right, int bottom) = 0;

protected:
    explicit TabWindow(const TabContext& context) : context_(context), log_(context.log) {}

    // The page's routed procedure. The base paints the background (below) and passes every
    // other message to the window's previous procedure.
    LRESULT wndProc(UINT_PTR tag, WNDPROC previous, HWND window, UINT message, WPARAM wParam,
                    LPARAM lParam) override;

    // WM_ERASEBKGND and WM_CTLCOLORSTATIC of a page window: fills with the tab background brush,
    // its origin aligned to the tab control so that the pattern lines up across windows, and
    // makes static text transparent. True (with *result) when the message was one of those.
    bool paintBackground(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

    // A visible "EmptyClass" child of parent with clipping; null (logged under function) on
    // failure.
    HWND createContainer(HWND parent, const wchar_t* function, DWORD extraStyle = 0);

    const TabContext context_;
    Log* log_;
    HINSTANCE instance_ = nullptr;
    HWND tabControl_ = nullptr;
};

// Aligns dc's brush origin so that a pattern brush painted in window matches the one painted
// in the tab control (the pattern is a snapshot of the tab control's client area).
void alignTabBrush(HWND window, HDC dc);
