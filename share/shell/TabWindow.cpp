// Shared behaviour of the tab pages: background painting with the tab brush and the
// container windows every page is built in.
#include "TabWindow.h"

#include "HSMain.h"
#include "Log.h"

static const wchar_t kLogUnit[] = L"TabWindow";

void alignTabBrush(HWND window, HDC dc) {
    // The brush's pattern starts at the tab control's client origin; shift it by this window's
    // offset from there so that adjacent windows continue the same pattern.
    POINT origin = {0, 0};
    MapWindowPoints(window, g_tabControl, &origin, 1);
    SetBrushOrgEx(dc, -origin.x, -origin.y, nullptr);
}

bool TabWindow::paintBackground(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    HBRUSH brush = g_tabBrush ? g_tabBrush : GetSysColorBrush(COLOR_BTNFACE);
    if (message == WM_ERASEBKGND) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        RECT rect;
        GetClientRect(window, &rect);
        alignTabBrush(window, dc);
        FillRect(dc, &rect, brush);
        *result = 1;
        return true;
    }
    if (message == WM_CTLCOLORSTATIC || message == WM_CTLCOLORBTN) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetBkMode(dc, TRANSPARENT);
        // The control paints with the brush in its own coordinates.
        alignTabBrush(reinterpret_cast<HWND>(lParam), dc);
        *result = reinterpret_cast<LRESULT>(brush);
        return true;
    }
    return false;
}

LRESULT TabWindow::wndProc(UINT_PTR tag, WNDPROC previous, HWND window, UINT message, WPARAM wParam,
                           LPARAM lParam) {
    LRESULT result;
    if (paintBackground(window, message, wParam, lParam, &result))
        return result;
    return CallWindowProcW(previous, window, message, wParam, lParam);
}

HWND TabWindow::createContainer(HWND parent, const wchar_t* function, DWORD extraStyle) {
    HWND window = CreateWindowExW(WS_EX_CONTROLPARENT, kEmptyClassName, L"",
                                  WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | extraStyle,
                                  0, 0, 10, 10, parent, nullptr, instance_, nullptr);
    if (!window)
        LOG_ERROR(log_, function, L"CreateWindowExW", GetLastError());
    return window;
}
