// Control helpers shared by the Network and Options pages.
#include "TabControls.h"

#include "HSMain.h"

HWND createChild(const wchar_t* className, const wchar_t* text, DWORD style, int x, int y, int width, int height,
                 HWND parent, int id, DWORD exStyle) {
    HWND window = CreateWindowExW(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height,
                                  parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), g_instance, nullptr);
    if (window)
        SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(g_messageFont), FALSE);
    return window;
}

void placeChild(HWND window, int x, int y, int width, int height) {
    SetWindowPos(window, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

bool isChecked(HWND box) {
    return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

int fitWidth(HWND control, int designed, int extra) {
    // The designed sizes suit the classic 8-point font; larger system fonts would clip them.
    wchar_t text[128];
    int length = GetWindowTextW(control, text, 128);
    HDC dc = length > 0 ? GetDC(control) : nullptr;
    if (!dc)
        return designed;
    HGDIOBJ old = SelectObject(dc, g_messageFont ? static_cast<HGDIOBJ>(g_messageFont) : GetStockObject(DEFAULT_GUI_FONT));
    SIZE size = {};
    BOOL measured = GetTextExtentPoint32W(dc, text, length, &size);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return measured && size.cx + extra > designed ? size.cx + extra : designed;
}
