// Dialog placement shared by both programs (see WindowPlacement.h).
#include "WindowPlacement.h"

bool centreWindow(HWND window, HWND over) {
    RECT area, box;
    if (!GetWindowRect(window, &box))
        return false;
    bool overWindow = over && IsWindowVisible(over) && !IsIconic(over) && GetWindowRect(over, &area);
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    HMONITOR screen = MonitorFromWindow(overWindow ? over : window, MONITOR_DEFAULTTONEAREST);
    bool haveMonitor = GetMonitorInfoW(screen, &monitor) != FALSE;
    if (!overWindow) {
        if (haveMonitor)
            area = monitor.rcWork;
        else
            SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    }
    int width = box.right - box.left, height = box.bottom - box.top;
    int x = area.left + ((area.right - area.left) - width) / 2;
    int y = area.top + ((area.bottom - area.top) - height) / 2;
    if (haveMonitor) {
        const RECT& work = monitor.rcWork;
        if (x + width > work.right)
            x = work.right - width;
        if (y + height > work.bottom)
            y = work.bottom - height;
        if (x < work.left)
            x = work.left;
        if (y < work.top)
            y = work.top;
    }
    return SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE) != FALSE;
}
