// Window subclassing through one routing procedure and a per-window binding kept in the
// window's user data; the binding is freed when the window is destroyed.
#include "WndProcDispatcher1.h"

namespace {

struct Binding {
    WndProcDispatcher1* object;
    UINT_PTR tag;
    WNDPROC previous;
};

// SetWindowLongPtr returns the previous value, which may legitimately be 0: only a zero
// result with a last error set is a failure.
bool setWindowLong(HWND window, int index, LONG_PTR value, LONG_PTR* previous) {
    SetLastError(0);
    LONG_PTR result = SetWindowLongPtrW(window, index, value);
    if (previous)
        *previous = result;
    return result != 0 || GetLastError() == 0;
}

}  // namespace

bool WndProcDispatcher1::subclassWindow(HWND window, UINT_PTR tag) {
    Binding* binding = new Binding{this, tag, nullptr};
    binding->previous = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(window, GWLP_WNDPROC));
    if (!binding->previous) {
        delete binding;
        return false;
    }
    if (!setWindowLong(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(binding), nullptr)) {
        delete binding;
        return false;
    }
    if (!setWindowLong(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(routingProc), nullptr)) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        delete binding;
        return false;
    }
    return true;
}

LRESULT WndProcDispatcher1::wndProc(UINT_PTR, WNDPROC previous, HWND window, UINT message, WPARAM wParam,
                                    LPARAM lParam) {
    return CallWindowProcW(previous, window, message, wParam, lParam);
}

LRESULT CALLBACK WndProcDispatcher1::routingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Binding* binding = reinterpret_cast<Binding*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!binding)
        return DefWindowProcW(window, message, wParam, lParam);
    LRESULT result = binding->object->wndProc(binding->tag, binding->previous, window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        delete binding;
    }
    return result;
}
