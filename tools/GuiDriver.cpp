// Drives a running program's windows from outside, for the end-to-end tests: finds windows,
// lists child controls, reads list views and status bars across the process boundary (the
// records live in the target's memory, reached with VirtualAllocEx / ReadProcessMemory),
// selects rows, sends commands and keys, and delivers dropped files.
//
// One command per run; results on standard output, one item per line; exit code 0 on
// success, 1 when the window or item was not found, 2 on a usage error.
//   find CLASS [TITLE]                top-level window handle (hex)
//   wait CLASS TITLE SECONDS          the same, polling until it appears
//   gone HWND SECONDS                 waits until the window no longer exists
//   count CLASS                       number of top-level windows of the class
//   parent HWND                       the parent window's handle
//   children HWND [CLASS]             "hwnd<TAB>class<TAB>id<TAB>visible<TAB>text", depth first
//   rows LIST                         "param<TAB>image<TAB>column 0<TAB>column 1..." per row
//   select LIST ROW...                selects exactly these rows (none: clears)
//   key HWND VK                       posts a key press (WM_KEYDOWN / WM_KEYUP)
//   command HWND ID                   posts WM_COMMAND with ID
//   send-command HWND ID              sends it and waits for the answer
//   notify-click HWND ID              clicks a button through BM_CLICK
//   status BAR PART                   the text of a status bar part (owner-drawn too)
//   dblclick-part BAR PART            a left double click in the middle of a status bar part
//   rclick-part BAR PART              a right click in the middle of a status bar part
//   rclick HWND                       a right click in the middle of the window
//   menu-pick INDEX [SECONDS]         picks the INDEX-th item (separators skipped) of the pop-up
//                                     menu that opens within SECONDS (default 10)
//   drop HWND PATH...                 posts WM_DROPFILES with the paths
//   close HWND                        posts WM_CLOSE
//   text HWND                         the window's text
//   header-click LIST COLUMN          clicks a list view's column header
//   top LIST                          the list view's top visible row
//   rect HWND                         "left<TAB>top<TAB>right<TAB>bottom" in screen pixels
//   cursel TABCONTROL                 the selected tab's index
//   click HWND                        a left click in the middle of the window (focuses an edit)
//   focus HWND                        "hwnd<TAB>id" of the focused window of HWND's thread
//   press HWND VK [ctrl] [shift]      makes HWND the foreground window and types the key
//                                     through the system's input (modifiers held meanwhile)
//   show HWND SW                      ShowWindowAsync with the show command (2 minimise, 9 restore)
//   process-path HWND                 the full path of the program that owns the window
//   post HWND MSG WPARAM LPARAM       posts any message (numbers decimal, or hex with 0x; MSG may
//                                     also be the name of a registered message, "TaskbarCreated")
//   tray-remove HWND ID               removes the window's tray icon ID, as a shell that restarts
//                                     loses every icon
//   dblclick-row LIST ROW             a left double click in the middle of the list view's row
//   copydata HWND DWDATA              sends WM_COPYDATA with that dwData and no data; prints the
//                                     answer ("timeout" after 20 seconds)
//   tips                              the texts of every tool of every tooltip window (the tray's
//                                     icon tips among them), one per line
//   visible HWND                      "1" when the window is visible, else "0"; then "1" when minimised
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <stdio.h>
#include <wchar.h>

#include <utility>

namespace {

HWND parseHandle(const wchar_t* text) {
    return reinterpret_cast<HWND>(static_cast<INT_PTR>(wcstoull(text, nullptr, 16)));
}

void printHandle(HWND window) {
    wprintf(L"%llx\n", static_cast<unsigned long long>(reinterpret_cast<INT_PTR>(window)));
}

// Memory in the target process for the records a control fills in; freed with the object.
class RemoteBlock {
public:
    RemoteBlock(HWND window, SIZE_T size) : size_(size) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (process_)
            address_ = static_cast<BYTE*>(VirtualAllocEx(process_, nullptr, size, MEM_COMMIT, PAGE_READWRITE));
    }
    ~RemoteBlock() {
        if (address_ && !leak_)
            VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
        if (process_)
            CloseHandle(process_);
    }
    RemoteBlock(const RemoteBlock&) = delete;
    RemoteBlock& operator=(const RemoteBlock&) = delete;

    bool ok() const { return address_ != nullptr; }
    BYTE* at(SIZE_T offset) const { return address_ + offset; }
    bool write(SIZE_T offset, const void* data, SIZE_T size) {
        return WriteProcessMemory(process_, address_ + offset, data, size, nullptr);
    }
    bool read(SIZE_T offset, void* data, SIZE_T size) {
        return ReadProcessMemory(process_, address_ + offset, data, size, nullptr);
    }
    bool readAt(const void* remote, void* data, SIZE_T size) {
        return ReadProcessMemory(process_, remote, data, size, nullptr);
    }
    // The target takes ownership (a dropped-files block is freed by its receiver).
    void leak() { leak_ = true; }

private:
    HANDLE process_ = nullptr;
    BYTE* address_ = nullptr;
    SIZE_T size_;
    bool leak_ = false;
};

const SIZE_T kTextOffset = 512;
const int kTextUnits = 1024;

bool readCell(RemoteBlock& block, HWND list, int row, int column, wchar_t* out) {
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = reinterpret_cast<wchar_t*>(block.at(kTextOffset));
    item.cchTextMax = kTextUnits;
    block.write(0, &item, sizeof item);
    SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(block.at(0)));
    out[0] = 0;
    block.read(kTextOffset, out, kTextUnits * sizeof(wchar_t));
    out[kTextUnits - 1] = 0;
    return true;
}

int rows(HWND list) {
    RemoteBlock block(list, kTextOffset + kTextUnits * sizeof(wchar_t));
    if (!block.ok())
        return 1;
    HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
    int columns = header ? static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : 1;
    int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int row = 0; row < count; ++row) {
        LVITEMW item = {};
        item.mask = LVIF_PARAM | LVIF_IMAGE;
        item.iItem = row;
        block.write(0, &item, sizeof item);
        SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(block.at(0)));
        block.read(0, &item, sizeof item);
        wprintf(L"%lld\t%d", static_cast<long long>(item.lParam), item.iImage);
        for (int column = 0; column < columns; ++column) {
            wchar_t text[kTextUnits];
            readCell(block, list, row, column, text);
            wprintf(L"\t%ls", text);
        }
        wprintf(L"\n");
    }
    return 0;
}

int selectRows(HWND list, int argc, wchar_t** argv) {
    RemoteBlock block(list, sizeof(LVITEMW));
    if (!block.ok())
        return 1;
    LVITEMW item = {};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = 0;
    block.write(0, &item, sizeof item);
    SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(block.at(0)));
    for (int i = 0; i < argc; ++i) {
        item.state = LVIS_SELECTED | LVIS_FOCUSED;
        block.write(0, &item, sizeof item);
        SendMessageW(list, LVM_SETITEMSTATE, _wtoi(argv[i]), reinterpret_cast<LPARAM>(block.at(0)));
    }
    return 0;
}

int statusText(HWND bar, int part) {
    LRESULT info = SendMessageW(bar, SB_GETTEXTLENGTHW, part, 0);
    RemoteBlock block(bar, 4096);
    if (!block.ok())
        return 1;
    wchar_t text[2048] = {};
    if (HIWORD(info) & SBT_OWNERDRAW) {
        // An owner-drawn part answers its item data: here, the text in the owner's memory.
        LRESULT data = SendMessageW(bar, SB_GETTEXTW, part, reinterpret_cast<LPARAM>(block.at(0)));
        if (data)
            block.readAt(reinterpret_cast<const void*>(data), text, 400);
        text[199] = 0;
    } else {
        SendMessageW(bar, SB_GETTEXTW, part, reinterpret_cast<LPARAM>(block.at(0)));
        block.read(0, text, sizeof text - sizeof(wchar_t));
    }
    wprintf(L"%ls\n", text);
    return 0;
}

// The middle of an item's rectangle as the control writes it for `message` (SB_GETRECT,
// TCM_GETITEMRECT, HDM_GETITEMRECT), read across the process boundary.
bool itemCenter(HWND control, UINT message, int index, LPARAM* at) {
    RemoteBlock block(control, sizeof(RECT));
    if (!control || !block.ok() || !SendMessageW(control, message, index, reinterpret_cast<LPARAM>(block.at(0))))
        return false;
    RECT rect;
    block.read(0, &rect, sizeof rect);
    *at = MAKELPARAM((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    return true;
}

// Posted in order, so the control sees a press and a release in the same spot: a click.
void postClick(HWND window, LPARAM at, bool right = false) {
    PostMessageW(window, right ? WM_RBUTTONDOWN : WM_LBUTTONDOWN, right ? MK_RBUTTON : MK_LBUTTON, at);
    PostMessageW(window, right ? WM_RBUTTONUP : WM_LBUTTONUP, 0, at);
}

int doubleClickPart(HWND bar, int part) {
    LPARAM at;
    if (!itemCenter(bar, SB_GETRECT, part, &at))
        return 1;
    postClick(bar, at);
    PostMessageW(bar, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
    PostMessageW(bar, WM_LBUTTONUP, 0, at);
    return 0;
}

// A right click in a status-bar part: the release is what opens the part's menu.
int rightClickPart(HWND bar, int part) {
    LPARAM at;
    if (!itemCenter(bar, SB_GETRECT, part, &at))
        return 1;
    postClick(bar, at, true);
    return 0;
}

// Picks the INDEX-th selectable item (separators skipped) of the pop-up menu that opens within
// SECONDS. Keys are posted to the menu window: its tracking loop reads every keyboard message of
// the owner's thread, so this needs neither focus nor the foreground.
int pickMenuItem(int index, int seconds) {
    DWORD deadline = GetTickCount() + static_cast<DWORD>(seconds * 1000);
    HWND menu;
    while (!(menu = FindWindowW(L"#32768", nullptr)) || !IsWindowVisible(menu)) {
        if (static_cast<LONG>(GetTickCount() - deadline) > 0)
            return 1;
        Sleep(50);
    }
    for (int i = 0; i <= index; ++i) {
        PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 1);
        PostMessageW(menu, WM_KEYUP, VK_DOWN, 0xC0000001);
    }
    PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 1);
    PostMessageW(menu, WM_KEYUP, VK_RETURN, 0xC0000001);
    return 0;
}

int drop(HWND window, int argc, wchar_t** argv) {
    // DROPFILES followed by the NUL-separated wide paths and a final NUL, as the shell builds it.
    SIZE_T size = sizeof(DROPFILES);
    for (int i = 0; i < argc; ++i)
        size += (wcslen(argv[i]) + 1) * sizeof(wchar_t);
    size += sizeof(wchar_t);
    BYTE* local = static_cast<BYTE*>(calloc(1, size));
    DROPFILES* header = reinterpret_cast<DROPFILES*>(local);
    header->pFiles = sizeof(DROPFILES);
    header->fWide = TRUE;
    wchar_t* at = reinterpret_cast<wchar_t*>(local + sizeof(DROPFILES));
    for (int i = 0; i < argc; ++i) {
        wcscpy(at, argv[i]);
        at += wcslen(argv[i]) + 1;
    }
    RemoteBlock block(window, size);
    bool ok = block.ok() && block.write(0, local, size);
    free(local);
    if (!ok)
        return 1;
    // The receiver reads the block through the drop handle and releases it when done.
    block.leak();
    return PostMessageW(window, WM_DROPFILES, reinterpret_cast<WPARAM>(block.at(0)), 0) ? 0 : 1;
}

struct ChildFilter {
    const wchar_t* className;
};

BOOL CALLBACK printChild(HWND window, LPARAM param) {
    const ChildFilter* filter = reinterpret_cast<const ChildFilter*>(param);
    wchar_t className[128] = {};
    GetClassNameW(window, className, 128);
    if (filter->className && _wcsicmp(filter->className, className) != 0)
        return TRUE;
    wchar_t text[512] = {};
    SendMessageTimeoutW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, nullptr);
    for (wchar_t* c = text; *c; ++c)
        if (*c == L'\t' || *c == L'\r' || *c == L'\n')
            *c = L' ';
    wprintf(L"%llx\t%ls\t%d\t%d\t%ls\n", static_cast<unsigned long long>(reinterpret_cast<INT_PTR>(window)),
            className, GetDlgCtrlID(window), IsWindowVisible(window) ? 1 : 0, text);
    return TRUE;
}

HWND findTop(const wchar_t* className, const wchar_t* title) {
    return FindWindowW(className && wcscmp(className, L"-") ? className : nullptr,
                       title && wcscmp(title, L"-") ? title : nullptr);
}

// ---- Commands for the Network, Options and Help pages ---------------------------------------
//   tab TABCONTROL INDEX              clicks a tab (the control notifies its parent itself)
//   settext HWND TEXT                 WM_SETTEXT (an edit then sends EN_CHANGE)
//   state HWND                        "enabled<TAB>checked" of a control
//   gettext HWND                      the whole text through WM_GETTEXT (up to 16383 units)
// A window that has just appeared may not have added its tabs yet: asked again for a while.
int clickTab(HWND tabs, int index) {
    LPARAM at;
    for (int tries = 0; !itemCenter(tabs, TCM_GETITEMRECT, index, &at); ++tries) {
        if (tries == 50 || !IsWindow(tabs))
            return 1;
        Sleep(100);
    }
    postClick(tabs, at);
    return 0;
}

int pageCommand(const wchar_t* command, HWND window, int argc, wchar_t** argv) {
    if (!wcscmp(command, L"tab") && argc >= 4)
        return clickTab(window, _wtoi(argv[3]));
    if (!wcscmp(command, L"settext") && argc >= 4)
        return SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[3])) ? 0 : 1;
    if (!wcscmp(command, L"gettext")) {
        // WM_GETTEXT is marshalled across processes; GetWindowText of a foreign window is not.
        static wchar_t text[16384];
        SendMessageTimeoutW(window, WM_GETTEXT, 16384, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                            nullptr);
        wprintf(L"%ls\n", text);
        return 0;
    }
    if (!wcscmp(command, L"state")) {
        wprintf(L"%d\t%d\n", IsWindowEnabled(window) ? 1 : 0,
                SendMessageW(window, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0);
        return 0;
    }
    return -1;
}

int clickHeader(HWND list, int column) {
    HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
    LPARAM at;
    if (!itemCenter(header, HDM_GETITEMRECT, column, &at))
        return 1;
    postClick(header, at);
    return 0;
}

int pressKey(HWND window, WORD key, bool control, bool shift) {
    SetForegroundWindow(window);
    Sleep(200);
    INPUT inputs[6] = {};
    int n = 0;
    auto add = [&](WORD vk, DWORD flags) {
        inputs[n].type = INPUT_KEYBOARD;
        inputs[n].ki.wVk = vk;
        inputs[n].ki.wScan = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
        inputs[n].ki.dwFlags = flags;
        ++n;
    };
    // Page keys are extended keys; without the flag they arrive as the keypad's digits.
    DWORD extended = key == VK_NEXT || key == VK_PRIOR ? KEYEVENTF_EXTENDEDKEY : 0;
    if (control)
        add(VK_CONTROL, 0);
    if (shift)
        add(VK_SHIFT, 0);
    add(key, extended);
    add(key, extended | KEYEVENTF_KEYUP);
    if (shift)
        add(VK_SHIFT, KEYEVENTF_KEYUP);
    if (control)
        add(VK_CONTROL, KEYEVENTF_KEYUP);
    return SendInput(n, inputs, sizeof(INPUT)) == static_cast<UINT>(n) ? 0 : 1;
}

int windowCommand(const wchar_t* command, HWND window, int argc, wchar_t** argv) {
    if (!wcscmp(command, L"post") && argc >= 6) {
        UINT message = iswdigit(argv[3][0]) ? static_cast<UINT>(wcstoul(argv[3], nullptr, 0))
                                            : RegisterWindowMessageW(argv[3]);
        WPARAM wParam = static_cast<WPARAM>(wcstoull(argv[4], nullptr, 0));
        LPARAM lParam = static_cast<LPARAM>(wcstoll(argv[5], nullptr, 0));
        return PostMessageW(window, message, wParam, lParam) ? 0 : 1;
    }
    if (!wcscmp(command, L"tray-remove") && argc >= 4) {
        NOTIFYICONDATAW data = {};
        data.cbSize = sizeof data;
        data.hWnd = window;
        data.uID = static_cast<UINT>(_wtoi(argv[3]));
        return Shell_NotifyIconW(NIM_DELETE, &data) ? 0 : 1;
    }
    if (!wcscmp(command, L"dblclick-row") && argc >= 4) {
        RemoteBlock block(window, sizeof(RECT));
        RECT rect = {LVIR_LABEL, 0, 0, 0};
        if (!block.ok() || !block.write(0, &rect, sizeof rect) ||
            !SendMessageW(window, LVM_GETITEMRECT, _wtoi(argv[3]), reinterpret_cast<LPARAM>(block.at(0))) ||
            !block.read(0, &rect, sizeof rect))
            return 1;
        LPARAM at = MAKELPARAM((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
        // The double click alone: a posted button-down would start the view's drag tracking.
        PostMessageW(window, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
        PostMessageW(window, WM_LBUTTONUP, 0, at);
        return 0;
    }
    if (!wcscmp(command, L"copydata") && argc >= 4) {
        COPYDATASTRUCT data = {};
        data.dwData = static_cast<ULONG_PTR>(wcstoull(argv[3], nullptr, 0));
        DWORD_PTR answer = 0;
        if (!SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL, 20000,
                                 &answer)) {
            wprintf(L"timeout\n");
            return 1;
        }
        wprintf(L"%d\n", static_cast<int>(answer));
        return 0;
    }
    if (!wcscmp(command, L"visible")) {
        wprintf(L"%d\t%d\n", IsWindowVisible(window) ? 1 : 0, IsIconic(window) ? 1 : 0);
        return 0;
    }
    if (!wcscmp(command, L"header-click") && argc >= 4)
        return clickHeader(window, _wtoi(argv[3]));
    if (!wcscmp(command, L"top")) {
        wprintf(L"%d\n", static_cast<int>(SendMessageW(window, LVM_GETTOPINDEX, 0, 0)));
        return 0;
    }
    if (!wcscmp(command, L"rect")) {
        RECT rect;
        if (!GetWindowRect(window, &rect))
            return 1;
        wprintf(L"%ld\t%ld\t%ld\t%ld\n", rect.left, rect.top, rect.right, rect.bottom);
        return 0;
    }
    if (!wcscmp(command, L"cursel")) {
        wprintf(L"%d\n", static_cast<int>(SendMessageW(window, TCM_GETCURSEL, 0, 0)));
        return 0;
    }
    if (!wcscmp(command, L"click")) {
        RECT rect;
        GetClientRect(window, &rect);
        postClick(window, MAKELPARAM(rect.right / 2, rect.bottom / 2));
        return 0;
    }
    if (!wcscmp(command, L"focus")) {
        GUITHREADINFO info = {};
        info.cbSize = sizeof info;
        if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info))
            return 1;
        wprintf(L"%llx\t%d\n", static_cast<unsigned long long>(reinterpret_cast<INT_PTR>(info.hwndFocus)),
                info.hwndFocus ? GetDlgCtrlID(info.hwndFocus) : 0);
        return 0;
    }
    if (!wcscmp(command, L"press") && argc >= 4) {
        bool control = false, shift = false;
        for (int i = 4; i < argc; ++i) {
            control = control || !wcscmp(argv[i], L"ctrl");
            shift = shift || !wcscmp(argv[i], L"shift");
        }
        return pressKey(window, static_cast<WORD>(_wtoi(argv[3])), control, shift);
    }
    return -1;
}

BOOL CALLBACK countWindow(HWND window, LPARAM param) {
    std::pair<const wchar_t*, int>* counter = reinterpret_cast<std::pair<const wchar_t*, int>*>(param);
    wchar_t className[128] = {};
    GetClassNameW(window, className, 128);
    if (!_wcsicmp(className, counter->first))
        ++counter->second;
    return TRUE;
}

// Every tool text of one tooltip window, read through a record in the tooltip's process.
BOOL CALLBACK printTips(HWND window, LPARAM) {
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if (_wcsicmp(className, TOOLTIPS_CLASSW))
        return TRUE;
    const SIZE_T textOffset = sizeof(TTTOOLINFOW);
    const SIZE_T textBytes = 1024 * sizeof(wchar_t);
    RemoteBlock block(window, textOffset + textBytes);
    if (!block.ok())
        return TRUE;
    int count = static_cast<int>(SendMessageW(window, TTM_GETTOOLCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        TTTOOLINFOW info = {};
        info.cbSize = sizeof info;
        info.lpszText = reinterpret_cast<wchar_t*>(block.at(textOffset));
        wchar_t text[1024] = {};
        block.write(0, &info, sizeof info);
        block.write(textOffset, text, sizeof text);
        if (!SendMessageW(window, TTM_ENUMTOOLSW, i, reinterpret_cast<LPARAM>(block.at(0))))
            continue;
        block.read(textOffset, text, sizeof text);
        text[1023] = 0;
        wprintf(L"%ls\n", text);
    }
    return TRUE;
}

int usage() {
    fwprintf(stderr, L"usage: GuiDriver find|wait|gone|children|rows|select|key|command|send-command|"
                     L"notify-click|status|rclick|rclick-part|menu-pick|drop|close|text ...\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2)
        return usage();
    const wchar_t* command = argv[1];
    if (!wcscmp(command, L"find") && argc >= 3) {
        HWND window = findTop(argv[2], argc >= 4 ? argv[3] : nullptr);
        if (!window)
            return 1;
        printHandle(window);
        return 0;
    }
    if (!wcscmp(command, L"wait") && argc >= 5) {
        DWORD deadline = GetTickCount() + static_cast<DWORD>(_wtoi(argv[4]) * 1000);
        for (;;) {
            HWND window = findTop(argv[2], argv[3]);
            if (window && IsWindowVisible(window)) {
                printHandle(window);
                return 0;
            }
            if (static_cast<LONG>(GetTickCount() - deadline) > 0)
                return 1;
            Sleep(100);
        }
    }
    if (!wcscmp(command, L"gone") && argc >= 4) {
        HWND window = parseHandle(argv[2]);
        DWORD deadline = GetTickCount() + static_cast<DWORD>(_wtoi(argv[3]) * 1000);
        while (IsWindow(window)) {
            if (static_cast<LONG>(GetTickCount() - deadline) > 0)
                return 1;
            Sleep(100);
        }
        return 0;
    }
    if (!wcscmp(command, L"tips")) {
        EnumWindows(printTips, 0);
        return 0;
    }
    if (argc < 3)
        return usage();
    if (!wcscmp(command, L"menu-pick"))
        return pickMenuItem(_wtoi(argv[2]), argc >= 4 ? _wtoi(argv[3]) : 10);
    if (!wcscmp(command, L"count")) {
        std::pair<const wchar_t*, int> counter(argv[2], 0);
        EnumWindows(countWindow, reinterpret_cast<LPARAM>(&counter));
        wprintf(L"%d\n", counter.second);
        return 0;
    }
    HWND window = parseHandle(argv[2]);
    if (!IsWindow(window)) {
        fwprintf(stderr, L"%ls: %ls is not a window\n", command, argv[2]);
        return 1;
    }
    if (!wcscmp(command, L"children")) {
        ChildFilter filter = {argc >= 4 ? argv[3] : nullptr};
        EnumChildWindows(window, printChild, reinterpret_cast<LPARAM>(&filter));
        return 0;
    }
    if (!wcscmp(command, L"parent")) {
        printHandle(GetParent(window));
        return 0;
    }
    if (!wcscmp(command, L"rows"))
        return rows(window);
    if (!wcscmp(command, L"select"))
        return selectRows(window, argc - 3, argv + 3);
    if (!wcscmp(command, L"key") && argc >= 4) {
        WPARAM key = static_cast<WPARAM>(_wtoi(argv[3]));
        PostMessageW(window, WM_KEYDOWN, key, 1);
        PostMessageW(window, WM_KEYUP, key, 0xC0000001);
        return 0;
    }
    if (!wcscmp(command, L"command") && argc >= 4)
        return PostMessageW(window, WM_COMMAND, MAKEWPARAM(_wtoi(argv[3]), 0), 0) ? 0 : 1;
    if (!wcscmp(command, L"send-command") && argc >= 4) {
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(_wtoi(argv[3]), 0), 0);
        return 0;
    }
    if (!wcscmp(command, L"notify-click") && argc >= 4) {
        HWND button = GetDlgItem(window, _wtoi(argv[3]));
        if (!button) {
            fwprintf(stderr, L"notify-click: no item %ls in %ls\n", argv[3], argv[2]);
            return 1;
        }
        PostMessageW(button, BM_CLICK, 0, 0);
        return 0;
    }
    if (!wcscmp(command, L"status") && argc >= 4)
        return statusText(window, _wtoi(argv[3]));
    if (!wcscmp(command, L"dblclick-part") && argc >= 4)
        return doubleClickPart(window, _wtoi(argv[3]));
    if (!wcscmp(command, L"rclick-part") && argc >= 4)
        return rightClickPart(window, _wtoi(argv[3]));
    if (!wcscmp(command, L"rclick")) {
        RECT rect;
        GetClientRect(window, &rect);
        postClick(window, MAKELPARAM(rect.right / 2, rect.bottom / 2), true);
        return 0;
    }
    if (!wcscmp(command, L"drop") && argc >= 4)
        return drop(window, argc - 3, argv + 3);
    if (!wcscmp(command, L"close"))
        return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
    if (!wcscmp(command, L"show") && argc >= 4) {
        // Its answer is the earlier visibility, not success.
        ShowWindowAsync(window, _wtoi(argv[3]));
        return 0;
    }
    if (!wcscmp(command, L"process-path")) {
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
        if (!process)
            return 1;
        wchar_t path[MAX_PATH];
        DWORD length = MAX_PATH;
        BOOL got = QueryFullProcessImageNameW(process, 0, path, &length);
        CloseHandle(process);
        if (!got)
            return 1;
        wprintf(L"%ls\n", path);
        return 0;
    }
    if (!wcscmp(command, L"text")) {
        wchar_t text[1024] = {};
        GetWindowTextW(window, text, 1024);
        wprintf(L"%ls\n", text);
        return 0;
    }
    int page = pageCommand(command, window, argc, argv);
    if (page >= 0)
        return page;
    int other = windowCommand(command, window, argc, argv);
    if (other >= 0)
        return other;
    return usage();
}
