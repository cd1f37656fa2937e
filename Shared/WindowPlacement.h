// Where the programs' dialogs open: centred over a window (their templates centre them on the
// screen), kept inside that window's monitor.
#pragma once
#include <windows.h>

// Centres window over `over`; over the work area when `over` is null, hidden or minimised.
// False when the window could not be moved (the caller logs it under its own name).
bool centreWindow(HWND window, HWND over);
