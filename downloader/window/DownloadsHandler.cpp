// DownloadsHandler: the controls of the downloads view, their layout, the engine's messages on
// the list area, the rows and the details of the selected download. The list's context menu,
// the buttons and the pages are in DownloadsHandlerActions.cpp.
#include "DownloadsHandler.h"

#include <commctrl.h>

#include "DownloadMessages.h"
#include "DownloadRes.h"
#include "DownloadViewRules.h"
#include "Log.h"
#include "TextHelpers.h"

static const wchar_t kLogUnit[] = L"DownloadsHandler";

namespace {

const int kBarHeight = 30;
const int kPanelHeight = 110;
const int kPanelWidth = 450;
const int kStatusImageWidth = 100;
const int kStatusImageHeight = 15;
const ULONGLONG kRefreshMilliseconds = 1000;

struct Column {
    const wchar_t* title;
    int width;
};
const Column kListColumns[] = {{L"Progress", 110}, {L"Transfer Rate", 110}, {L"Time Remaining", 110},
                               {L"File", 220},     {L"URL", 240},           {L"Connections", 90}};
const Column kConnectionColumns[] = {{L"ID", 40}, {L"Byte Interval", 150}, {L"Current Byte", 110}};
const Column kRangeColumns[] = {{L"Remaining Bytes", 170}};
const wchar_t* const kConnectionItems[kConnectionChoiceCount] = {
    L"1 connection", L"2 connections", L"3 connections", L"5 connections",
    L"10 connections", L"15 connections", L"25 connections", L"50 connections"};

bool addColumns(HWND list, const Column* columns, int count) {
    for (int i = 0; i < count; ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = const_cast<wchar_t*>(columns[i].title);
        column.cx = columns[i].width;
        if (ListView_InsertColumn(list, i, &column) < 0)
            return false;
    }
    return true;
}

void setCell(Log* log, const wchar_t* function, HWND list, int row, int column, const wchar_t* text) {
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(text);
    if (!SendMessageW(list, LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item)))
        LOG_ERROR_TEXT(log, function, L"ListView_SetItem failed");
}

}  // namespace

DownloadsHandler::DownloadsHandler(const ViewContext& context)
    : log_(context.log), server_(context.server), context_(context) {}

DownloadsHandler::~DownloadsHandler() {
    delete list_;
    if (contextMenu_)
        DestroyMenu(contextMenu_);  // destroys the submenu with it
    if (statusImages_)
        ImageList_Destroy(statusImages_);
}

HWND DownloadsHandler::createControl(DWORD exStyle, const wchar_t* className, const wchar_t* text, DWORD style,
                                     int x, int y, int width, int height, HWND parent, int id) {
    HWND control = CreateWindowExW(exStyle, className, text, WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | style, x, y,
                                   width, height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   context_.instance, nullptr);
    if (!control) {
        LOG_ERROR(log_, L"DownloadsHandler::init", L"CreateWindowEx", GetLastError());
        return nullptr;
    }
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(context_.font), FALSE);
    return control;
}

bool DownloadsHandler::init(HWND hostWindow) {
    host_ = hostWindow;
    if (!createControls() || !createLists())
        return false;
    const struct {
        HWND window;
        UINT_PTR tag;
    } tagged[] = {{listArea_, TagListArea}, {details_, TagDetails}, {addressBar_, TagAddressBar},
                  {progressPage_, TagProgressPage}, {urlEdit_, TagUrlEdit}};
    for (const auto& t : tagged) {
        if (!subclassWindow(t.window, t.tag)) {
            LOG_ERROR(log_, L"DownloadsHandler::init", L"SetWindowLongPtr", GetLastError());
            return false;
        }
    }
    createStatusImages();
    createContextMenu();
    list_ = new DownloadsList(log_, server_, listArea_, this, context_.counter);
    list_->setFolder(context_.host->downloadFolder());
    nothingSelected();
    return true;
}

bool DownloadsHandler::createControls() {
    RECT client = {};
    GetClientRect(host_, &client);
    int w = client.right, h = client.bottom;
    addressBar_ = createControl(0, L"STATIC", L"", 0, 0, 0, w, kBarHeight, host_, 0);
    if (!addressBar_)
        return false;
    urlEdit_ = createControl(WS_EX_CLIENTEDGE, L"EDIT", L"", ES_AUTOHSCROLL | WS_TABSTOP, 5, 5, w - 100, 20,
                             addressBar_, 0);
    downloadButton_ = createControl(0, L"BUTTON", L"Download", BS_PUSHBUTTON | WS_TABSTOP, w - 90, 4, 80, 22,
                                    addressBar_, IDC_DOWNLOAD_BUTTON);
    listArea_ = createControl(WS_EX_CLIENTEDGE, L"EmptyClass", L"", WS_CLIPCHILDREN, 0, kBarHeight, w, h - 142,
                              host_, 0);
    details_ = createControl(WS_EX_CLIENTEDGE, L"EmptyClass", L"", WS_CLIPCHILDREN, 0, h - kPanelHeight,
                             kPanelWidth, kPanelHeight, host_, 0);
    if (!urlEdit_ || !downloadButton_ || !listArea_ || !details_)
        return false;
    pathLabel_ = createControl(0, L"STATIC", L"<no download selected>", SS_NOPREFIX | SS_PATHELLIPSIS, 8, 8, 434,
                               20, details_, 0);
    statusLabel_ = createControl(0, L"STATIC", L"", SS_NOPREFIX, 8, 28, 350, 20, details_, 0);
    progressLabel_ = createControl(0, L"STATIC", L"", SS_NOPREFIX, 8, 48, 310, 20, details_, 0);
    pauseButton_ = createControl(0, L"BUTTON", L"Pause", BS_PUSHBUTTON | WS_DISABLED | WS_TABSTOP, 8, 68, 80, 22,
                                 details_, IDC_PAUSE_BUTTON);
    removeButton_ = createControl(0, L"BUTTON", L"Remove", BS_PUSHBUTTON | WS_DISABLED | WS_TABSTOP, 96, 68, 80,
                                  22, details_, IDC_REMOVE_BUTTON);
    connectionBox_ = createControl(WS_EX_CLIENTEDGE, L"COMBOBOX", L"",
                                   CBS_DROPDOWNLIST | WS_VSCROLL | WS_DISABLED | WS_TABSTOP, 330, 68, 110, 200,
                                   details_, IDC_CONNECTION_BOX);
    tabs_ = createControl(0, WC_TABCONTROLW, L"", WS_CLIPCHILDREN, kPanelWidth + 2, h - kPanelHeight,
                          w - kPanelWidth - 2, kPanelHeight, host_, 0);
    if (!pathLabel_ || !statusLabel_ || !progressLabel_ || !pauseButton_ || !removeButton_ || !connectionBox_ ||
        !tabs_)
        return false;
    for (const wchar_t* item : kConnectionItems)
        SendMessageW(connectionBox_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
    SendMessageW(connectionBox_, CB_SETCURSEL, 0, 0);
    const wchar_t* const pages[] = {L"Progress", L"Details", L"Connections"};
    for (int i = 0; i < 3; ++i) {
        TCITEMW item = {};
        item.mask = TCIF_TEXT;
        item.pszText = const_cast<wchar_t*>(pages[i]);
        if (TabCtrl_InsertItem(tabs_, i, &item) < 0)
            LOG_ERROR(log_, L"DownloadsHandler::init", L"TabCtrl_InsertItem", GetLastError());
    }
    // The pages are the host's children, over the tab control, so that their notifications
    // and painting do not pass through it.
    progressPage_ = createControl(WS_EX_CLIENTEDGE, L"EmptyClass", L"", 0, 0, 0, 10, 10, host_, 0);
    return progressPage_ != nullptr;
}

bool DownloadsHandler::createLists() {
    const DWORD reportStyle = LVS_REPORT | LVS_SHOWSELALWAYS | WS_TABSTOP;
    // The handler owns the status images and destroys them: the view must not destroy them too.
    listView_ = createControl(0, WC_LISTVIEWW, L"", reportStyle | LVS_SINGLESEL | LVS_SHAREIMAGELISTS, 0, 0, 10, 10,
                              listArea_, 0);
    connectionsList_ = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                                       WS_CHILD | WS_CLIPSIBLINGS | reportStyle, 0, 0, 10, 10, host_, nullptr,
                                       context_.instance, nullptr);
    rangesList_ = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"", WS_CHILD | WS_CLIPSIBLINGS | reportStyle, 0,
                                  0, 10, 10, host_, nullptr, context_.instance, nullptr);
    if (!listView_ || !connectionsList_ || !rangesList_) {
        LOG_ERROR(log_, L"DownloadsHandler::init", L"CreateWindowExW", GetLastError());
        return false;
    }
    SendMessageW(connectionsList_, WM_SETFONT, reinterpret_cast<WPARAM>(context_.font), FALSE);
    SendMessageW(rangesList_, WM_SETFONT, reinterpret_cast<WPARAM>(context_.font), FALSE);
    ListView_SetExtendedListViewStyle(listView_, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    ListView_SetExtendedListViewStyle(connectionsList_, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    ListView_SetExtendedListViewStyle(rangesList_, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    if (!addColumns(listView_, kListColumns, 6) || !addColumns(connectionsList_, kConnectionColumns, 3) ||
        !addColumns(rangesList_, kRangeColumns, 1)) {
        LOG_ERROR(log_, L"DownloadsHandler::init", L"ListView_InsertColumn", GetLastError());
        return false;
    }
    RECT client = {};
    GetClientRect(host_, &client);
    layout(client.right, client.bottom);
    return true;
}

void DownloadsHandler::createStatusImages() {
    statusImages_ = ImageList_Create(kStatusImageWidth, kStatusImageHeight, ILC_COLOR24, 101, 0);
    if (!statusImages_) {
        LOG_ERROR(log_, L"DownloadsHandler::createStatusImages", L"ImageList_Create", GetLastError());
        return;
    }
    HDC screen = GetDC(nullptr);
    if (!screen) {
        LOG_ERROR(log_, L"DownloadsHandler::createStatusImages", L"GetDC", GetLastError());
        return;
    }
    HDC dc = CreateCompatibleDC(screen);
    if (!dc)
        LOG_ERROR(log_, L"DownloadsHandler::createStatusImages", L"CreateCompatibleDC", GetLastError());
    HBRUSH grey = CreateSolidBrush(RGB(200, 200, 200));
    HBRUSH blue = CreateSolidBrush(RGB(100, 100, 255));
    HBRUSH frame = CreateSolidBrush(RGB(50, 50, 50));
    if (!grey || !blue || !frame)
        LOG_ERROR(log_, L"DownloadsHandler::createStatusImages", L"CreateSolidBrush", GetLastError());
    if (dc && grey && blue && frame) {
        HGDIOBJ oldFont = SelectObject(dc, context_.font);
        for (int p = 0; p <= 100; ++p) {
            BITMAPINFO info = {};
            info.bmiHeader.biSize = sizeof info.bmiHeader;
            info.bmiHeader.biWidth = kStatusImageWidth;
            info.bmiHeader.biHeight = kStatusImageHeight;
            info.bmiHeader.biPlanes = 1;
            info.bmiHeader.biBitCount = 32;
            void* bits = nullptr;
            HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
            if (!bitmap) {
                LOG_ERROR(log_, L"DownloadsHandler::createStatusImages", L"CreateDIBSection", GetLastError());
                continue;
            }
            HGDIOBJ old = SelectObject(dc, bitmap);
            RECT whole = {0, 0, kStatusImageWidth, kStatusImageHeight};
            RECT done = {0, 0, p, kStatusImageHeight};
            FillRect(dc, &whole, grey);
            FillRect(dc, &done, blue);
            FrameRect(dc, &whole, frame);
            wchar_t text[8];
            wsprintfW(text, L"%d%c", p, L'%');
            SetBkMode(dc, TRANSPARENT);
            // White where the text lies over the filled part, black elsewhere.
            HRGN left = CreateRectRgn(0, 0, p, kStatusImageHeight);
            HRGN right = CreateRectRgn(p, 0, kStatusImageWidth, kStatusImageHeight);
            SelectClipRgn(dc, right);
            SetTextColor(dc, RGB(0, 0, 0));
            DrawTextW(dc, text, -1, &whole, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
            SelectClipRgn(dc, left);
            SetTextColor(dc, RGB(255, 255, 255));
            DrawTextW(dc, text, -1, &whole, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
            SelectClipRgn(dc, nullptr);
            DeleteObject(left);
            DeleteObject(right);
            GdiFlush();
            SelectObject(dc, old);
            if (ImageList_Add(statusImages_, bitmap, nullptr) < 0)
                LOG_ERROR(log_, L"DownloadsHandler::createStatusImages", L"ImageList_Add", GetLastError());
            DeleteObject(bitmap);
        }
        SelectObject(dc, oldFont);
    }
    if (grey)
        DeleteObject(grey);
    if (blue)
        DeleteObject(blue);
    if (frame)
        DeleteObject(frame);
    if (dc)
        DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    ListView_SetImageList(listView_, statusImages_, LVSIL_SMALL);
}

void DownloadsHandler::createContextMenu() {
    contextMenu_ = CreatePopupMenu();
    connectionsMenu_ = CreatePopupMenu();
    if (!contextMenu_ || !connectionsMenu_) {
        LOG_ERROR(log_, L"DownloadsHandler::init", L"CreatePopupMenu", GetLastError());
        return;
    }
    for (int count : kConnectionChoices) {
        wchar_t text[8];
        wsprintfW(text, L"%d", count);
        AppendMenuW(connectionsMenu_, MF_STRING, IDM_LIST_CONNECTIONS_BASE + count, text);
    }
    AppendMenuW(contextMenu_, MF_STRING, IDM_LIST_NEW, L"New Download...");
    AppendMenuW(contextMenu_, MF_STRING, IDM_LIST_COPY_URL, L"Copy URL");
    AppendMenuW(contextMenu_, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(contextMenu_, MF_STRING, IDM_LIST_PAUSE, L"Pause Download");
    AppendMenuW(contextMenu_, MF_POPUP, reinterpret_cast<UINT_PTR>(connectionsMenu_), L"Set Connections");
    AppendMenuW(contextMenu_, MF_STRING, IDM_LIST_OPEN_CONTAINING, L"Open Containing Folder");
    AppendMenuW(contextMenu_, MF_STRING, IDM_LIST_REMOVE, L"Remove Download");
    AppendMenuW(contextMenu_, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(contextMenu_, MF_STRING, IDM_LIST_OPEN_DEFAULT, L"Open Default Download Folder");
    AppendMenuW(contextMenu_, MF_STRING, IDM_LIST_CHANGE_URL, L"Change Download URL...");
}

void DownloadsHandler::layout(int w, int h) {
    MoveWindow(addressBar_, 0, 0, w, kBarHeight, TRUE);
    MoveWindow(urlEdit_, 5, 5, w - 100, 20, TRUE);
    MoveWindow(downloadButton_, w - 90, 4, 80, 22, TRUE);
    MoveWindow(listArea_, 0, kBarHeight, w, h - 142, TRUE);
    MoveWindow(details_, 0, h - kPanelHeight, kPanelWidth, kPanelHeight, TRUE);
    MoveWindow(tabs_, kPanelWidth + 2, h - kPanelHeight, w - kPanelWidth - 2, kPanelHeight, TRUE);
    RECT page = {0, 0, w - kPanelWidth - 2, kPanelHeight};
    TabCtrl_AdjustRect(tabs_, FALSE, &page);
    OffsetRect(&page, kPanelWidth + 2, h - kPanelHeight);
    for (HWND window : {progressPage_, connectionsList_, rangesList_}) {
        SetWindowPos(window, HWND_TOP, page.left, page.top, page.right - page.left, page.bottom - page.top,
                     SWP_NOACTIVATE);
    }
    InvalidateRect(progressPage_, nullptr, FALSE);
}

void DownloadsHandler::showPage(int index) {
    ShowWindow(progressPage_, index == 0 ? SW_SHOW : SW_HIDE);
    ShowWindow(rangesList_, index == 1 ? SW_SHOW : SW_HIDE);
    ShowWindow(connectionsList_, index == 2 ? SW_SHOW : SW_HIDE);
}

bool DownloadsHandler::hostMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    switch (message) {
    case WM_SIZE:
        layout(LOWORD(lParam), HIWORD(lParam));
        *result = 0;
        return true;
    case WM_NOTIFY: {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->hwndFrom == tabs_ && header->code == TCN_SELCHANGE) {
            showPage(TabCtrl_GetCurSel(tabs_));
            *result = 0;
            return true;
        }
        return false;
    }
    default:
        return false;
    }
}

LRESULT DownloadsHandler::wndProc(UINT_PTR tag, WNDPROC previous, HWND window, UINT message, WPARAM wParam,
                                  LPARAM lParam) {
    switch (tag) {
    case TagListArea:
        return listAreaMessage(previous, window, message, wParam, lParam);
    case TagDetails:
        if (message == WM_COMMAND && lParam) {
            detailsCommand(LOWORD(wParam), HIWORD(wParam));
            return 0;
        }
        if (message == WM_CTLCOLORSTATIC) {
            // The labels sit on the panel's window-coloured face.
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetBkColor(dc, GetSysColor(COLOR_WINDOW));
            SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
        }
        break;
    case TagAddressBar:
        if (message == WM_COMMAND && LOWORD(wParam) == IDC_DOWNLOAD_BUTTON && HIWORD(wParam) == BN_CLICKED) {
            addressBarDownload();
            return 0;
        }
        break;
    case TagUrlEdit:
        if (message == WM_GETDLGCODE)
            return DLGC_WANTALLKEYS | CallWindowProcW(previous, window, message, wParam, lParam);
        if (message == WM_KEYDOWN && wParam == VK_RETURN) {
            addressBarDownload();
            return 0;
        }
        if (message == WM_CHAR && (wParam == L'\r' || wParam == L'\n'))
            return 0;
        break;
    case TagProgressPage:
        if (message == WM_PAINT) {
            paintProgress(window);
            return 0;
        }
        if (message == WM_ERASEBKGND)
            return 1;
        if (message == WM_SIZE)
            InvalidateRect(window, nullptr, FALSE);
        break;
    }
    return WndProcDispatcher1::wndProc(tag, previous, window, message, wParam, lParam);
}

LRESULT DownloadsHandler::listAreaMessage(WNDPROC previous, HWND window, UINT message, WPARAM wParam,
                                          LPARAM lParam) {
    if (message >= WM_DL_ADDRESS && message <= WM_DL_HEAD_ENDED) {
        engineMessage(message, wParam, lParam);
        return 0;
    }
    switch (message) {
    case WM_TIMER:
        if (list_ && list_->handleMessage(message, wParam, lParam))
            return 0;
        break;
    case WM_COMMAND:
        if (!lParam) {
            contextCommand(LOWORD(wParam));
            return 0;
        }
        break;
    case WM_SIZE:
        MoveWindow(listView_, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
        return 0;
    case WM_NOTIFY:
        if (reinterpret_cast<const NMHDR*>(lParam)->hwndFrom == listView_) {
            listNotify(reinterpret_cast<const NMHDR*>(lParam));
            return 0;
        }
        break;
    }
    return WndProcDispatcher1::wndProc(TagListArea, previous, window, message, wParam, lParam);
}

void DownloadsHandler::engineMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (!list_)
        return;
    // The transfer's and the header request's end name their object: find the entry first.
    DWORD entryId = 0;
    if (message == WM_DL_TRANSFER_ENDED || message == WM_DL_HEAD_ENDED) {
        for (size_t i = 0; i < list_->size(); ++i) {
            DownloadEntry* entry = list_->at(i);
            if (message == WM_DL_TRANSFER_ENDED ? entry->hasConnection(static_cast<DWORD>(wParam))
                                                : entry->headerRequestId() == static_cast<DWORD>(wParam)) {
                entryId = entry->id();
                break;
            }
        }
    } else {
        entryId = static_cast<DWORD>(wParam);
    }
    list_->handleMessage(message, wParam, lParam);
    if (!entryId || !list_->find(entryId))
        return;
    viewDetails(entryId, message != WM_DL_PROGRESS);
    if (message == WM_DL_TRANSFER_ENDED && list_->find(entryId)->connectionCount() == 0)
        viewDetails(0, false);
}

// ---- Rows and details ----------------------------------------------------------------------

int DownloadsHandler::findRow(DWORD entryId) {
    LVFINDINFOW find = {};
    find.flags = LVFI_PARAM;
    find.lParam = static_cast<LPARAM>(entryId);
    return ListView_FindItem(listView_, -1, &find);
}

DownloadEntry* DownloadsHandler::selectedEntry() {
    int row = ListView_GetNextItem(listView_, -1, LVNI_SELECTED);
    if (row < 0 || !list_)
        return nullptr;
    LVITEMW item = {};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    if (!ListView_GetItem(listView_, &item) || !item.lParam)
        return nullptr;
    return list_->find(static_cast<DWORD>(item.lParam));
}

void DownloadsHandler::listDownload(DownloadEntry* entry) {
    LVITEMW item = {};
    item.mask = LVIF_PARAM | LVIF_IMAGE;
    item.iItem = ListView_GetItemCount(listView_);
    item.lParam = static_cast<LPARAM>(entry->id());
    item.iImage = entry->percentDone();
    int row = ListView_InsertItem(listView_, &item);
    if (row < 0) {
        LOG_ERROR_TEXT(log_, L"DownloadsHandler::listDownload", L"ListView_InsertItem failed");
        return;
    }
    setCell(log_, L"DownloadsHandler::listDownload", listView_, row, 3, entry->fileName().c_str());
    setCell(log_, L"DownloadsHandler::listDownload", listView_, row, 4, entry->url().c_str());
}

void DownloadsHandler::updateDownloaderInList(DWORD entryId) {
    static const wchar_t kUpdateRow[] = L"DownloadsHandler::updateDownloaderInList";
    DownloadEntry* entry = list_ ? list_->find(entryId) : nullptr;
    int row = entry ? findRow(entryId) : -1;
    if (row < 0)
        return;
    LVITEMW item = {};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    item.iImage = entry->percentDone();
    if (!ListView_SetItem(listView_, &item))
        LOG_ERROR_TEXT(log_, kUpdateRow, L"ListView_SetItem failed");
    setCell(log_, kUpdateRow, listView_, row, 1, entry->rateText());
    setCell(log_, kUpdateRow, listView_, row, 2, entry->timeRemainingText());
    setCell(log_, kUpdateRow, listView_, row, 3, entry->fileName().c_str());
    setCell(log_, kUpdateRow, listView_, row, 4, entry->url().c_str());
    wchar_t counts[24];
    wsprintfW(counts, L"%d/%d", entry->connectionCount(), entry->wantedConnections());
    setCell(log_, kUpdateRow, listView_, row, 5, counts);
}

void DownloadsHandler::viewDetails(DWORD entryId, bool force) {
    if (entryId)
        updateDownloaderInList(entryId);
    DownloadEntry* entry = selectedEntry();
    if (!entry) {
        nothingSelected();
        return;
    }
    // Another download's news changes its row only, and leaves the shown one's clock alone:
    // the throttle is the shown entry's, so that other downloads cannot hold its details back.
    if (entryId && entry->id() != entryId)
        return;
    ULONGLONG now = GetTickCount64();
    if (static_cast<long>(entryId) == shownEntry_ && !force && now - lastDetails_ < kRefreshMilliseconds)
        return;
    lastDetails_ = now;
    SetWindowTextW(pathLabel_, entry->localPath().c_str());
    SetWindowTextW(statusLabel_, entry->status());
    char progress[160] = "Progress: ";
    char sizes[100];
    formatSizePair(entry->bytesDone(), entry->rangeSize(), sizes, sizeof sizes);
    appendBounded(progress, sizeof progress, sizes);
    char percent[16];
    wsprintfA(percent, " (%u%%)", static_cast<unsigned>(entry->percentDone()));
    appendBounded(progress, sizeof progress, percent);
    SetWindowTextA(progressLabel_, progress);
    SetWindowTextW(pauseButton_, entry->isStopped() ? L"Resume" : L"Pause");
    EnableWindow(pauseButton_, !entry->isComplete());
    EnableWindow(connectionBox_, !entry->isComplete());
    EnableWindow(removeButton_, TRUE);
    detailsShown_ = true;
    InvalidateRect(progressPage_, nullptr, FALSE);
    fillRanges(entry);
    fillConnections(entry);
    if (entryId && static_cast<long>(entryId) != shownEntry_) {
        SendMessageW(connectionBox_, CB_SETCURSEL, connectionChoiceIndex(entry->wantedConnections()), 0);
        shownEntry_ = static_cast<long>(entryId);
    }
}

void DownloadsHandler::nothingSelected() {
    ULONGLONG now = GetTickCount64();
    if (shownEntry_ == -1 && !detailsShown_ && now - lastNothing_ < kRefreshMilliseconds)
        return;
    lastNothing_ = now;
    detailsShown_ = false;
    SetWindowTextW(pathLabel_, L"<no download selected>");
    SetWindowTextW(statusLabel_, L"");
    SetWindowTextW(progressLabel_, L"");
    SetWindowTextW(pauseButton_, L"Pause");
    EnableWindow(pauseButton_, FALSE);
    EnableWindow(removeButton_, FALSE);
    EnableWindow(connectionBox_, FALSE);
    ListView_DeleteAllItems(rangesList_);
    ListView_DeleteAllItems(connectionsList_);
    InvalidateRect(progressPage_, nullptr, FALSE);
    shownEntry_ = -1;
}

void DownloadsHandler::fillRanges(DownloadEntry* entry) {
    std::vector<ByteRange> ranges = entry->missingRanges();
    SendMessageW(rangesList_, WM_SETREDRAW, FALSE, 0);
    ListView_DeleteAllItems(rangesList_);
    for (size_t i = 0; i < ranges.size(); ++i) {
        char16_t text[64];
        formatRange(ranges[i].start, ranges[i].end, text, 64);
        LVITEMW item = {};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(i);
        item.pszText = reinterpret_cast<wchar_t*>(text);
        if (ListView_InsertItem(rangesList_, &item) < 0)
            LOG_ERROR_TEXT(log_, L"DownloadsHandler::viewDetails", L"ListView_InsertItem failed");
    }
    SendMessageW(rangesList_, WM_SETREDRAW, TRUE, 0);
}

void DownloadsHandler::fillConnections(DownloadEntry* entry) {
    SendMessageW(connectionsList_, WM_SETREDRAW, FALSE, 0);
    ListView_DeleteAllItems(connectionsList_);
    int row = 0;
    for (const ConnectionSlot& slot : entry->slots()) {
        wchar_t id[16];
        wsprintfW(id, L"%d", static_cast<int>(slot.connectionId));
        LVITEMW item = {};
        item.mask = LVIF_TEXT | LVIF_PARAM;
        item.iItem = row;
        item.pszText = id;
        item.lParam = static_cast<LPARAM>(slot.connectionId);
        row = ListView_InsertItem(connectionsList_, &item);
        if (row < 0) {
            LOG_ERROR_TEXT(log_, L"DownloadsHandler::viewDetails", L"ListView_InsertItem failed");
            break;
        }
        char16_t interval[64], position[32];
        formatRange(slot.rangeStart, slot.rangeEnd, interval, 64);
        formatDecimal(slot.position, position, 32);
        setCell(log_, L"DownloadsHandler::viewDetails", connectionsList_, row, 1, reinterpret_cast<wchar_t*>(interval));
        setCell(log_, L"DownloadsHandler::viewDetails", connectionsList_, row, 2, reinterpret_cast<wchar_t*>(position));
        ++row;
    }
    SendMessageW(connectionsList_, WM_SETREDRAW, TRUE, 0);
}

void DownloadsHandler::paintProgress(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    if (!dc)
        return;
    RECT client;
    GetClientRect(window, &client);
    DownloadEntry* entry = detailsShown_ ? selectedEntry() : nullptr;
    std::vector<uint8_t> shades(client.right > 0 ? client.right : 0);
    bool painted = false;
    if (entry && !shades.empty()) {
        std::vector<ByteRange> ranges = entry->missingRanges();
        painted = progressShades(ranges.data(), ranges.size(), entry->rangeSize(), client.right, shades.data());
    }
    if (!painted) {
        FillRect(dc, &client, GetSysColorBrush(COLOR_WINDOW));
    } else {
        HGDIOBJ old = SelectObject(dc, GetStockObject(DC_BRUSH));
        for (int x = 0; x < client.right; ++x) {
            SetDCBrushColor(dc, RGB(shades[x], shades[x], 255));
            PatBlt(dc, x, 0, 1, client.bottom, PATCOPY);
        }
        SelectObject(dc, old);
    }
    EndPaint(window, &paint);
}

// ---- What the downloads list tells --------------------------------------------------------

void DownloadsHandler::entryAdded(DownloadEntry* entry) {
    listDownload(entry);
}

void DownloadsHandler::statusChanged(DownloadEntry* entry) {
    updateDownloaderInList(entry->id());
}

void DownloadsHandler::entryCompleted(DownloadEntry* entry) {
    viewDetails(entry->id(), true);
}

void DownloadsHandler::entryFailed(DownloadEntry* entry) {
    viewDetails(entry->id(), true);
}

void DownloadsHandler::credentialsNeeded(DownloadEntry* entry) {
    entry->clearError();
    if (!PostMessageW(context_.mainWindow, WM_USER + 20, entry->id(), 0))
        LOG_ERROR(log_, L"DownloadsHandler::credentialsNeeded", L"PostMessage", GetLastError());
}

void DownloadsHandler::entryRemoved(DWORD entryId) {
    int row = findRow(entryId);
    if (row >= 0)
        ListView_DeleteItem(listView_, row);
    if (static_cast<long>(entryId) == shownEntry_)
        viewDetails(0, true);
}
