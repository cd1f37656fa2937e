// Subclassing a real window: messages reach the object with its tag, unhandled ones reach
// the window's own procedure, and WM_NCDESTROY is routed before the binding goes.
#include <doctest.h>

#include <string>
#include <vector>

#include "WndProcDispatcher1.h"

namespace {

class Recorder : public WndProcDispatcher1 {
public:
    std::vector<UINT_PTR> tags;
    int destroys = 0;

protected:
    LRESULT wndProc(UINT_PTR tag, WNDPROC previous, HWND window, UINT message, WPARAM wParam,
                    LPARAM lParam) override {
        if (message == WM_APP + 1) {
            tags.push_back(tag);
            return 1000 + static_cast<LRESULT>(tag);
        }
        if (message == WM_NCDESTROY)
            ++destroys;
        return WndProcDispatcher1::wndProc(tag, previous, window, message, wParam, lParam);
    }
};

HWND makeEdit() {
    return CreateWindowExW(0, L"EDIT", L"hello", WS_POPUP, 0, 0, 100, 20, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

}  // namespace

TEST_CASE("one object tells its subclassed windows apart by tag and frees on destroy") {
    Recorder recorder;
    HWND first = makeEdit(), second = makeEdit();
    REQUIRE(first);
    REQUIRE(second);
    REQUIRE(recorder.subclassWindow(first, 7));
    REQUIRE(recorder.subclassWindow(second, 8));

    CHECK(SendMessageW(first, WM_APP + 1, 0, 0) == 1007);
    CHECK(SendMessageW(second, WM_APP + 1, 0, 0) == 1008);
    CHECK(recorder.tags == std::vector<UINT_PTR>{7, 8});

    // Messages the object passes on still work as the control's own.
    SetWindowTextW(first, L"changed");
    wchar_t text[32] = {};
    GetWindowTextW(first, text, 32);
    CHECK(std::wstring(text) == L"changed");

    DestroyWindow(first);
    CHECK(recorder.destroys == 1);
    CHECK(SendMessageW(second, WM_APP + 1, 0, 0) == 1008);
    DestroyWindow(second);
    CHECK(recorder.destroys == 2);
}

TEST_CASE("subclassing a window that does not exist fails cleanly") {
    Recorder recorder;
    CHECK_FALSE(recorder.subclassWindow(nullptr, 1));
}
