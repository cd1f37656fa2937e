// Routes the messages of a subclassed window, with a tag, to an object's window procedure,
// so one object can handle several controls it did not create.
#pragma once
#include <windows.h>

class WndProcDispatcher1 {
public:
    virtual ~WndProcDispatcher1() {}

    // Installs the routing procedure on window; tag tells the object's windows apart.
    bool subclassWindow(HWND window, UINT_PTR tag);

protected:
    // The base forwards to the window's previous procedure.
    virtual LRESULT wndProc(UINT_PTR tag, WNDPROC previous, HWND window, UINT message, WPARAM wParam,
                            LPARAM lParam);

private:
    static LRESULT CALLBACK routingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};
