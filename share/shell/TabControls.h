// Small helpers the Network and Options pages build their controls with: a child control in
// the message font, placement without z-order changes, and widths that fit the font in use.
#pragma once
#include <windows.h>

// A visible child (WS_CHILD | WS_VISIBLE | style) with the program's message font; null on
// failure (GetLastError is left for the caller to log).
HWND createChild(const wchar_t* className, const wchar_t* text, DWORD style, int x, int y, int width, int height,
                 HWND parent, int id, DWORD exStyle = 0);
void placeChild(HWND window, int x, int y, int width, int height);
bool isChecked(HWND box);
// The designed width, or more when the control's text in the message font needs it: extra is
// the room beside the text (a check box's square, a button's border).
int fitWidth(HWND control, int designed, int extra);

// Room beside the text of a check box and of a push button.
constexpr int kCheckBoxExtra = 24;
constexpr int kButtonExtra = 16;
