// HelpTab: the container, the Rich Edit control and the embedded getting-started document.
#include "HelpTab.h"

#include <richedit.h>

#include "HSMain.h"
#include "Log.h"
#include "ShareRes.h"

static const wchar_t kLogUnit[] = L"HelpTab";

namespace {

// Lines wrap at this width whatever the window's size: the document is laid out for it.
const int kTextRight = 558;

}  // namespace

TabWindow* newHelpTab(const TabContext& context) {
    return new HelpTab(context);
}

HelpTab::HelpTab(const TabContext& context) : TabWindow(context) {}

bool HelpTab::init(HINSTANCE instance, HWND tabControl) {
    static const wchar_t kFunction[] = L"HelpTab::init";
    instance_ = instance;
    tabControl_ = tabControl;
    container_ = createContainer(tabControl, kFunction);
    if (!container_)
        return false;
    SendMessageW(container_, WM_SETFONT, reinterpret_cast<WPARAM>(g_messageFont), FALSE);
    if (!subclassWindow(container_, 0)) {
        LOG_ERROR(log_, kFunction, L"SetWindowLongPtr", GetLastError());
        return false;
    }
    text_ = CreateWindowExW(0, L"RichEdit20W", L"",
                            WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, 0,
                            0, 10, 10, container_, nullptr, instance, nullptr);
    if (!text_) {
        LOG_ERROR(log_, kFunction, L"CreateWindow", GetLastError());
        return false;
    }
    loadDocument();
    return true;
}

void HelpTab::loadDocument() {
    static const wchar_t kFunction[] = L"HelpTab::init";
    HRSRC found = FindResourceW(instance_, MAKEINTRESOURCEW(IDR_HELP_DOCUMENT),
                                MAKEINTRESOURCEW(IDR_HELP_DOCUMENT_TYPE));
    if (!found)
        return;
    HGLOBAL loaded = LoadResource(instance_, found);
    DWORD size = SizeofResource(instance_, found);
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (!bytes || !size) {
        LOG_ERROR(log_, kFunction, L"LoadResource", GetLastError());
        return;
    }
    // The resource is not terminated; the control reads up to a NUL.
    char* text = new char[size + 1];
    memcpy(text, bytes, size);
    text[size] = 0;
    SETTEXTEX how = {ST_DEFAULT, CP_ACP};
    SendMessageW(text_, EM_SETTEXTEX, reinterpret_cast<WPARAM>(&how), reinterpret_cast<LPARAM>(text));
    delete[] text;
}

void HelpTab::hide() {
    ShowWindow(container_, SW_HIDE);
}

void HelpTab::show() {
    ShowWindow(container_, SW_SHOW);
}

void HelpTab::resize(int left, int top, int right, int bottom) {
    int width = right - left - 1;
    int height = bottom - top - 4;
    SetWindowPos(container_, nullptr, left, top + 3, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowPos(text_, nullptr, 0, 0, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    RECT format = {8, 8, kTextRight, bottom - top - 20};
    SendMessageW(text_, EM_SETRECT, 0, reinterpret_cast<LPARAM>(&format));
}
