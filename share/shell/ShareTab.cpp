// The Share page: its windows and layout, the splitter, and the file list (shared items added,
// removed and updated by the shared-file registry; share, remove, clear, copy URL, sort).
#include "ShareTab.h"

#include <commdlg.h>
#include <cderr.h>
#include <shlobj.h>
#include <shellapi.h>

#include <stdlib.h>

#include "FileHandler.h"
#include "FileSelection.h"
#include "HSMain.h"
#include "HSMainSettings.h"
#include "Log.h"
#include "ShareRes.h"
#include "TextHelpers.h"

static const wchar_t kLogUnit[] = L"ShareTab";

namespace {

const int kSplitterHeight = 3;
// Posted to the file panel behind a batch of removals.
const UINT kScrollToTopMessage = WM_APP + 1;
// The open-file dialog's buffer, in characters: hundreds of names from one folder.
const DWORD kSelectionUnits = 65536;
// The longest path the file system takes, terminator included.
const DWORD kLongPathUnits = 32768;
// Dropped paths of this length or longer are not shared.
const UINT kMaxDroppedPath = 2047;
const int kMinPanelHeight = 50;

const int kSortTextUnits = 251;   // texts compared up to 250 characters

// One row's text in the sorted column, keyed by the row's item id. The list moves rows while
// it sorts, so the compare must never read a row by its position.
struct SortKey {
    LPARAM id;
    wchar_t text[kSortTextUnits];
};

struct SortContext {
    SortKey* keys;   // ordered by id
    int count;
};

const wchar_t* sortText(const SortContext* context, LPARAM id) {
    int low = 0, high = context->count - 1;
    while (low <= high) {
        int middle = low + (high - low) / 2;
        LPARAM at = context->keys[middle].id;
        if (at == id)
            return context->keys[middle].text;
        if (at < id)
            low = middle + 1;
        else
            high = middle - 1;
    }
    return L"";
}

int CALLBACK compareRows(LPARAM a, LPARAM b, LPARAM param) {
    const SortContext* context = reinterpret_cast<const SortContext*>(param);
    return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, sortText(context, a), -1, sortText(context, b), -1) -
           CSTR_EQUAL;
}

int compareKeyIds(const void* a, const void* b) {
    LPARAM left = static_cast<const SortKey*>(a)->id, right = static_cast<const SortKey*>(b)->id;
    return left < right ? -1 : left > right ? 1 : 0;
}

}  // namespace

ShareTab::ShareTab(const TabContext& context) : TabWindow(context), files_(context.files) {
    LARGE_INTEGER frequency;
    if (QueryPerformanceFrequency(&frequency) && frequency.QuadPart)
        frequency_ = frequency.QuadPart;
}

ShareTab::~ShareTab() {
    // The windows died with the main window; what is left is our own memory and GDI objects.
    if (fileMenu_)
        DestroyMenu(fileMenu_);
    if (connectionMenu_)
        DestroyMenu(connectionMenu_);
    if (fileImages_)
        ImageList_Destroy(fileImages_);
    if (statusImages_)
        ImageList_Destroy(statusImages_);
    for (size_t i = 0; i < trackedCount_; ++i)
        delete[] tracked_[i].receivedPath;
    delete[] tracked_;
    for (size_t i = 0; i < receivedCount_; ++i) {
        delete[] received_[i].display;
        delete[] received_[i].path;
    }
    delete[] received_;
    if (context_.windows->connectionPanel == connectionPanel_)
        context_.windows->connectionPanel = nullptr;
}

bool ShareTab::init(HINSTANCE instance, HWND tabControl) {
    instance_ = instance;
    tabControl_ = tabControl;
    container_ = createContainer(tabControl, L"ShareTab::init");
    if (!container_)
        return false;
    filePanel_ = createContainer(container_, L"ShareTab::init");
    splitter_ = createContainer(container_, L"ShareTab::init");
    if (!filePanel_ || !splitter_)
        return false;
    subclassWindow(container_, TagContainer);
    subclassWindow(filePanel_, TagFilePanel);
    subclassWindow(splitter_, TagSplitter);
    if (!createFileList())
        return false;
    files_->setNotify(filePanel_, WM_SHARE_ITEM_ADDED, WM_SHARE_ITEM_REMOVED, WM_SHARE_ITEM_STATUS);
    fileMenu_ = CreatePopupMenu();
    if (!fileMenu_)
        LOG_ERROR(log_, L"ShareTab::init", L"CreatePopupMenu", GetLastError());

    connectionPanel_ = createContainer(container_, L"ShareTab::init");
    if (!connectionPanel_)
        return false;
    subclassWindow(connectionPanel_, TagConnectionPanel);
    if (!createConnectionList())
        return false;
    if (!createStatusImages())
        LOG_ERROR_TEXT(log_, L"ShareTab::init", L"Failed to create status images");
    else
        ListView_SetImageList(connectionList_, statusImages_, LVSIL_SMALL);   // answers the previous list
    connectionMenu_ = CreatePopupMenu();
    if (!connectionMenu_)
        LOG_ERROR(log_, L"ShareTab::init", L"CreatePopupMenu", GetLastError());
    if (!SetTimer(connectionPanel_, kSpeedTimerId, 1000, nullptr))
        LOG_ERROR(log_, L"ShareTab::init", L"SetTimer", GetLastError());
    context_.windows->connectionPanel = connectionPanel_;
    return true;
}

void ShareTab::hide() {
    ShowWindow(container_, SW_HIDE);
}

void ShareTab::show() {
    ShowWindow(container_, SW_SHOW);
}

void ShareTab::resize(int left, int top, int right, int bottom) {
    area_ = {left, top, right, bottom};
    layout();
}

void ShareTab::layout() {
    int left = area_.left, top = area_.top, bottom = area_.bottom;
    int width = area_.right - left - 1;
    int height = bottom - top;
    int panel = panelHeight_;
    if (panel > height - 104)
        panel = height - 104;
    if (panel < kMinPanelHeight)
        panel = kMinPanelHeight;
    int fileHeight = height - 4 - panel - kSplitterHeight;
    if (fileHeight < 0)
        fileHeight = 0;
    // The container covers the display rectangle; the panels are placed inside it.
    SetWindowPos(container_, nullptr, left, top, width + 1, height, SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowPos(filePanel_, nullptr, 0, 3, width, fileHeight, SWP_NOZORDER | SWP_NOACTIVATE);
    if (!dragging_)
        SetWindowPos(splitter_, nullptr, 0, 3 + fileHeight, width, kSplitterHeight, SWP_NOZORDER | SWP_NOACTIVATE);
    int conTop = 3 + fileHeight + kSplitterHeight;
    SetWindowPos(connectionPanel_, nullptr, 0, conTop, width, height - 1 - conTop, SWP_NOZORDER | SWP_NOACTIVATE);
    RECT rect;
    GetClientRect(filePanel_, &rect);
    MoveWindow(fileList_, 0, 0, rect.right, rect.bottom, TRUE);
    GetClientRect(connectionPanel_, &rect);
    MoveWindow(connectionList_, 0, 0, rect.right, rect.bottom, TRUE);
}

LRESULT ShareTab::wndProc(UINT_PTR tag, WNDPROC previous, HWND window, UINT message, WPARAM wParam,
                          LPARAM lParam) {
    bool handled = false;
    LRESULT result = 0;
    if (tag == TagFilePanel)
        result = shareWndProc(window, message, wParam, lParam, &handled);
    else if (tag == TagConnectionPanel)
        result = conWndProc(window, message, wParam, lParam, &handled);
    else if (tag == TagSplitter)
        result = splitterWndProc(window, message, wParam, lParam, &handled);
    if (handled)
        return result;
    if (paintBackground(window, message, wParam, lParam, &result))
        return result;
    return CallWindowProcW(previous, window, message, wParam, lParam);
}

LRESULT ShareTab::splitterWndProc(HWND window, UINT message, WPARAM, LPARAM lParam, bool* handled) {
    switch (message) {
    case WM_SETCURSOR:
        SetCursor(dragging_ ? g_splitCursorHorizontal : g_splitCursorVertical);
        *handled = true;
        return TRUE;
    case WM_LBUTTONDOWN: {
        SetCapture(window);
        dragging_ = true;
        dragOffset_ = static_cast<short>(HIWORD(lParam));
        TRACKMOUSEEVENT track = {sizeof track, TME_LEAVE, window, 0};
        TrackMouseEvent(&track);
        *handled = true;
        return 0;
    }
    case WM_MOUSEMOVE:
    case WM_LBUTTONUP: {
        if (!dragging_)
            break;
        POINT at = {0, static_cast<short>(HIWORD(lParam))};
        MapWindowPoints(window, container_, &at, 1);
        // The connection panel's height follows the bar: it ends one pixel above the bottom.
        int height = area_.bottom - area_.top;
        int panel = height - 1 - (at.y - dragOffset_ + kSplitterHeight);
        if (panel < kMinPanelHeight)
            panel = kMinPanelHeight;
        if (panel > height - 104)
            panel = height - 104;
        panelHeight_ = panel;
        if (message == WM_LBUTTONUP) {
            dragging_ = false;
            ReleaseCapture();
        }
        layout();
        *handled = true;
        return 0;
    }
    case WM_CAPTURECHANGED:
        if (dragging_) {
            dragging_ = false;
            layout();
        }
        break;
    }
    return 0;
}

// ---- file list ---------------------------------------------------------------------------------

bool ShareTab::createFileList() {
    fileList_ = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                                WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS |
                                    LVS_SHAREIMAGELISTS,
                                0, 0, 100, 100, filePanel_, nullptr, instance_, nullptr);
    if (!fileList_) {
        LOG_ERROR(log_, L"ShareTab::init", L"CreateWindowExW", GetLastError());
        return false;
    }
    ListView_SetExtendedListViewStyle(fileList_, LVS_EX_FULLROWSELECT | LVS_EX_HEADERDRAGDROP | LVS_EX_DOUBLEBUFFER);
    static const wchar_t* const titles[] = {L"File", L"Size", L"Current Speed", L"Total Sent", L"Path"};
    static const int widths[] = {250, 100, 100, 100, 350};
    for (int i = 0; i < 5; ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        column.pszText = const_cast<wchar_t*>(titles[i]);
        column.cx = widths[i];
        column.iSubItem = i;
        if (ListView_InsertColumn(fileList_, i, &column) < 0)
            LOG_ERROR(log_, L"ShareTab::init", L"ListView_InsertColumn", GetLastError());
    }
    fileImages_ = ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 6, 0);
    if (!fileImages_) {
        LOG_ERROR(log_, L"ShareTab::init", L"ImageList_Create", GetLastError());
        return true;
    }
    for (int id = IDB_ICON_OTHER; id <= IDB_ICON_PROGRAM; ++id) {
        HBITMAP bitmap = static_cast<HBITMAP>(
            LoadImageW(instance_, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 16, 16, LR_CREATEDIBSECTION));
        if (!bitmap) {
            LOG_ERROR(log_, L"ShareTab::init", L"LoadImage", GetLastError());
            continue;
        }
        // Magenta is the bitmaps' transparent colour.
        if (ImageList_AddMasked(fileImages_, bitmap, RGB(255, 0, 255)) < 0)
            LOG_ERROR(log_, L"ShareTab::init", L"ImageList_Add", GetLastError());
        if (!DeleteObject(bitmap))
            LOG_ERROR(log_, L"ShareTab::init", L"DeleteObject", GetLastError());
    }
    ListView_SetImageList(fileList_, fileImages_, LVSIL_SMALL);
    return true;
}

void ShareTab::setCell(HWND list, int row, int column, const wchar_t* text, const wchar_t* function) {
    LVITEMW item = {};
    item.iItem = row;
    item.iSubItem = column;
    item.mask = LVIF_TEXT;
    item.pszText = const_cast<wchar_t*>(text);
    if (!ListView_SetItem(list, &item))
        LOG_ERROR(log_, function, L"ListView_SetItem", GetLastError());
}

int ShareTab::findRowByParam(HWND list, LPARAM param) {
    LVFINDINFOW find = {};
    find.flags = LVFI_PARAM;
    find.lParam = param;
    return ListView_FindItem(list, -1, &find);
}

void ShareTab::onItemAdded(ItemInfo* info) {
    LVITEMW item = {};
    item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM;
    item.iItem = fileCount_;
    item.pszText = info->name;
    item.iImage = static_cast<int>(info->iconClass);
    item.lParam = info->id;
    int row = ListView_InsertItem(fileList_, &item);
    if (row < 0) {
        LOG_ERROR(log_, L"ShareTab::shareWndProc", L"ListView_InsertItem", GetLastError());
        return;
    }
    setCell(fileList_, row, 1, info->details, L"ShareTab::shareWndProc");
    setCell(fileList_, row, 4, info->path, L"ShareTab::shareWndProc");
    ++fileCount_;
}

void ShareTab::onItemRemoved(ItemInfo* info) {
    int row = findRowByParam(fileList_, info->id);
    if (row < 0)
        return;
    if (ListView_DeleteItem(fileList_, row))
        --fileCount_;
    else
        LOG_ERROR(log_, L"ShareTab::shareWndProc", L"ListView_DeleteItem", GetLastError());
}

void ShareTab::onItemStatus(ItemStatus* status) {
    int row = findRowByParam(fileList_, status->id);
    if (row < 0)
        return;
    char16_t text[64];
    formatSize(status->totalSent, text, 64);
    setCell(fileList_, row, 3, reinterpret_cast<wchar_t*>(text), L"ShareTab::shareWndProc");
    text[0] = 0;
    if (status->speed) {
        size_t length = formatSize(status->speed, text, 60);
        copyBounded(text + length, 64 - length, u"/s");
    }
    setCell(fileList_, row, 2, reinterpret_cast<wchar_t*>(text), L"ShareTab::shareWndProc");
}

void ShareTab::shareFiles() {
    // Room for a large multiple selection: the folder plus every chosen name in one buffer.
    wchar_t* buffer = new wchar_t[kSelectionUnits];
    buffer[0] = 0;
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = context_.mainWindow;
    dialog.lpstrFilter = L"All Files\0*.*\0";
    dialog.lpstrFile = buffer;
    dialog.nMaxFile = kSelectionUnits;
    dialog.lpstrTitle = L"Share Files";
    dialog.Flags = OFN_ALLOWMULTISELECT | OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_HIDEREADONLY | OFN_DONTADDTORECENT;
    if (!GetOpenFileNameW(&dialog)) {
        DWORD error = CommDlgExtendedError();
        // Zero: the user cancelled.
        if (error) {
            LOG_ERROR(log_, L"ShareTab::shareFiles", L"GetOpenFileName", error);
            if (error == FNERR_BUFFERTOOSMALL)
                MessageBoxW(context_.mainWindow, L"Too many files were selected at once. Please share them in smaller groups.",
                            L"Share Files", MB_OK | MB_ICONWARNING);
        }
        delete[] buffer;
        return;
    }
    FileSelection selection(reinterpret_cast<const char16_t*>(buffer), kSelectionUnits);
    size_t length = 0;
    while (char16_t* path = selection.next(&length)) {
        files_->addFile(reinterpret_cast<wchar_t*>(path), static_cast<DWORD>(length), false);
        delete[] path;
    }
    delete[] buffer;
}

void ShareTab::shareFolder() {
    BROWSEINFOW browse = {};
    browse.hwndOwner = context_.mainWindow;
    browse.lpszTitle = L"Please select a folder to share:";
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE | BIF_EDITBOX;
    PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&browse);
    if (!chosen)
        return;
    // A long path, as a drop may bring: the plain call stops at MAX_PATH.
    wchar_t* path = new wchar_t[kLongPathUnits];
    if (SHGetPathFromIDListEx(chosen, path, kLongPathUnits, GPFIDL_DEFAULT))
        files_->addFile(path, static_cast<DWORD>(lstrlenW(path)), false);
    else
        LOG_ERROR_TEXT(log_, L"ShareTab::shareFolder", L"SHGetPathFromIDListEx failed");
    delete[] path;
    CoTaskMemFree(chosen);
}

void ShareTab::removeSelected() {
    int removed = 0;
    // Rows leave when the registry confirms; collect the ids first so the walk stays stable.
    int count = ListView_GetSelectedCount(fileList_);
    if (count <= 0)
        return;
    DWORD* ids = new DWORD[count];
    int n = 0;
    for (int row = ListView_GetNextItem(fileList_, -1, LVNI_SELECTED); row >= 0 && n < count;
         row = ListView_GetNextItem(fileList_, row, LVNI_SELECTED)) {
        LVITEMW item = {};
        item.mask = LVIF_PARAM;
        item.iItem = row;
        if (ListView_GetItem(fileList_, &item))
            ids[n++] = static_cast<DWORD>(item.lParam);
    }
    for (int i = 0; i < n; ++i)
        if (files_->removeFile(ids[i]))
            ++removed;
    delete[] ids;
    if (removed > 40)
        scrollToTopLater();
}

void ShareTab::clearShare() {
    files_->removeAll();
    scrollToTopLater();
}

void ShareTab::scrollToTopLater() {
    // The registry posts each removal to the file panel; a message posted after them arrives
    // once the rows are gone, when scrolling to the top is final.
    if (!PostMessageW(filePanel_, kScrollToTopMessage, 0, 0))
        LOG_ERROR(log_, L"ShareTab::shareWndProc", L"PostMessage", GetLastError());
}

void ShareTab::copySelectedUrl() {
    int row = ListView_GetNextItem(fileList_, -1, LVNI_SELECTED);
    if (row < 0)
        return;
    LVITEMW item = {};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    if (!ListView_GetItem(fileList_, &item))
        return;
    SharedItem* shared = files_->getItemCopy(static_cast<DWORD>(item.lParam));
    if (!shared)
        return;
    size_t length = 0;
    char16_t* escaped = escapeSpaces(shared->name, shared->nameLength, &length);
    if (escaped) {
        wchar_t* url = makeServerUrl(reinterpret_cast<wchar_t*>(escaped));
        if (url)
            clipText(url);
        delete[] url;
    }
    delete[] escaped;
    delete shared;
}

void ShareTab::sortByColumn(int column) {
    int count = ListView_GetItemCount(fileList_);
    if (count <= 1)
        return;
    SortKey* keys = new SortKey[count];
    int n = 0;
    for (int row = 0; row < count; ++row) {
        LVITEMW item = {};
        item.mask = LVIF_PARAM | LVIF_TEXT;
        item.iItem = row;
        item.iSubItem = column;
        item.pszText = keys[n].text;
        item.cchTextMax = kSortTextUnits;
        keys[n].text[0] = 0;
        if (!ListView_GetItem(fileList_, &item)) {
            LOG_ERROR(log_, L"ShareTab::shareWndProc", L"ListView_GetItem", GetLastError());
            continue;
        }
        // The list may answer with its own copy of the text instead of filling ours.
        if (item.pszText != keys[n].text)
            lstrcpynW(keys[n].text, item.pszText ? item.pszText : L"", kSortTextUnits);
        keys[n].id = item.lParam;
        ++n;
    }
    qsort(keys, n, sizeof *keys, compareKeyIds);
    SortContext context = {keys, n};
    // ListView_SortItems hands the compare each row's parameter: the item id.
    if (!ListView_SortItems(fileList_, compareRows, reinterpret_cast<LPARAM>(&context)))
        LOG_ERROR(log_, L"ShareTab::shareWndProc", L"ListView_SortItems", GetLastError());
    delete[] keys;
}

void ShareTab::fileMenu(int x, int y) {
    HMENU menu = fileMenu_;
    if (!menu)
        return;
    while (GetMenuItemCount(menu) > 0)
        DeleteMenu(menu, 0, MF_BYPOSITION);
    int selected = ListView_GetSelectedCount(fileList_);
    AppendMenuW(menu, MF_STRING, IDC_SHARE_FILES, L"Share Files...");
    AppendMenuW(menu, MF_STRING, IDC_SHARE_FOLDER, L"Share Directory...");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING | (g_settings.rememberShare ? MF_CHECKED : 0), IDM_FILE_REMEMBER_SHARE,
                L"Remember Share on Exit");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING | (selected == 1 ? 0 : MF_GRAYED), IDM_FILE_COPY_URL, L"Copy File URL to Clipboard");
    AppendMenuW(menu, MF_STRING | (selected ? 0 : MF_GRAYED), IDC_REMOVE_FILES,
                selected == 1 ? L"Remove File from Share" : L"Remove Selected Files from Share");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING | (fileCount_ ? 0 : MF_GRAYED), IDC_CLEAR_SHARE, L"Clear Share");
    UINT chosen = static_cast<UINT>(
        TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, x, y, 0, filePanel_, nullptr));
    if (chosen == IDM_FILE_REMEMBER_SHARE)
        g_settings.rememberShare = !g_settings.rememberShare;
    else if (chosen == IDM_FILE_COPY_URL)
        copySelectedUrl();
    else if (chosen)
        SendMessageW(filePanel_, WM_COMMAND, MAKEWPARAM(chosen, 0), 0);
}

void ShareTab::dropFiles(HDROP drop) {
    UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        // Ask for the length first: a dropped path may be longer than any fixed buffer.
        UINT length = DragQueryFileW(drop, i, nullptr, 0);
        if (!length || length >= kMaxDroppedPath)
            continue;
        wchar_t* path = new wchar_t[length + 1];
        if (DragQueryFileW(drop, i, path, length + 1) == length)
            files_->addFile(path, length, false);
        delete[] path;
    }
    DragFinish(drop);
}

LRESULT ShareTab::shareWndProc(HWND, UINT message, WPARAM wParam, LPARAM lParam, bool* handled) {
    switch (message) {
    case WM_SHARE_ITEM_ADDED:
    case WM_SHARE_ITEM_REMOVED: {
        ItemInfo* info = reinterpret_cast<ItemInfo*>(lParam);
        if (message == WM_SHARE_ITEM_ADDED)
            onItemAdded(info);
        else
            onItemRemoved(info);
        delete info;
        *handled = true;
        return 0;
    }
    case WM_SHARE_ITEM_STATUS: {
        ItemStatus* status = reinterpret_cast<ItemStatus*>(lParam);
        onItemStatus(status);
        delete status;
        *handled = true;
        return 0;
    }
    case kScrollToTopMessage:
        ListView_EnsureVisible(fileList_, 0, FALSE);
        *handled = true;
        return 0;
    case WM_COMMAND:
        *handled = true;
        switch (LOWORD(wParam)) {
        case IDC_SHARE_FILES:
            shareFiles();
            break;
        case IDC_SHARE_FOLDER:
            shareFolder();
            break;
        case IDC_REMOVE_FILES:
            removeSelected();
            break;
        case IDC_CLEAR_SHARE:
            clearShare();
            break;
        }
        return 0;
    case WM_NOTIFY: {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->hwndFrom != fileList_)
            break;
        *handled = true;
        if (header->code == LVN_COLUMNCLICK) {
            sortByColumn(reinterpret_cast<const NMLISTVIEW*>(lParam)->iSubItem);
        } else if (header->code == LVN_KEYDOWN) {
            if (reinterpret_cast<const NMLVKEYDOWN*>(lParam)->wVKey == VK_DELETE)
                removeSelected();
        } else if (header->code == NM_RCLICK) {
            POINT at;
            GetCursorPos(&at);
            fileMenu(at.x, at.y);
        }
        return 0;
    }
    }
    return 0;
}
