// The Share page's connection list: one row per HTTP connection from its opened message to its
// closed message (then kept as a closed row or removed), the tracking table behind the speed
// and time-remaining columns, disconnecting, and received files.
#include "ShareTab.h"

#include <shellapi.h>

#include "HSMain.h"
#include "HSMainSettings.h"
#include "HSMainStatusRules.h"
#include "HTTPConnection.h"
#include "Log.h"
#include "ServerWithReg.h"
#include "ShareRes.h"
#include "TextHelpers.h"

static const wchar_t kLogUnit[] = L"ShareTab";

namespace {

const int kImageReceiving = 101;
const int kImageClosed = 102;
const int kImageReceived = 103;
const int kHistory = 10;

enum Column { ColStatus = 0, ColAddress = 1, ColFile = 2, ColSpeed = 3, ColTransfer = 4, ColRemaining = 5 };

wchar_t* duplicate(const wchar_t* text) {
    size_t length = lstrlenW(text);
    wchar_t* copy = new wchar_t[length + 1];
    memcpy(copy, text, (length + 1) * sizeof(wchar_t));
    return copy;
}

LPARAM rowParam(HWND list, int row) {
    LVITEMW item = {};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    return ListView_GetItem(list, &item) ? item.lParam : 0;
}

}  // namespace

bool ShareTab::createConnectionList() {
    connectionList_ = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                                      WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHAREIMAGELISTS, 0, 0,
                                      100, 100, connectionPanel_, nullptr, instance_, nullptr);
    if (!connectionList_) {
        LOG_ERROR(log_, L"ShareTab::init", L"CreateWindowExW", GetLastError());
        return false;
    }
    ListView_SetExtendedListViewStyle(connectionList_, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    static const wchar_t* const titles[] = {L"Status", L"IP Address", L"File", L"Speed", L"Transfer", L"Time Remaining"};
    static const int widths[] = {110, 130, 350, 100, 100, 100};
    for (int i = 0; i < 6; ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        column.pszText = const_cast<wchar_t*>(titles[i]);
        column.cx = widths[i];
        column.iSubItem = i;
        if (ListView_InsertColumn(connectionList_, i, &column) < 0)
            LOG_ERROR(log_, L"ShareTab::init", L"ListView_InsertColumn", GetLastError());
    }
    return true;
}

ShareTab::Tracked* ShareTab::findTracked(DWORD id) {
    for (size_t i = 0; i < trackedCount_; ++i)
        if (tracked_[i].connectionId == id)
            return &tracked_[i];
    return nullptr;
}

ShareTab::Tracked* ShareTab::track(DWORD id) {
    Tracked* found = findTracked(id);
    if (found)
        return found;
    if (trackedCount_ == trackedCapacity_) {
        size_t capacity = trackedCapacity_ * 2 + 10;
        Tracked* grown = new Tracked[capacity];
        if (trackedCount_)
            memcpy(grown, tracked_, trackedCount_ * sizeof(Tracked));
        delete[] tracked_;
        tracked_ = grown;
        trackedCapacity_ = capacity;
    }
    Tracked* record = &tracked_[trackedCount_++];
    *record = Tracked{};
    record->connectionId = id;
    record->tracked = true;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    record->created = now.QuadPart;
    return record;
}

void ShareTab::untrack(DWORD id) {
    for (size_t i = 0; i < trackedCount_; ++i) {
        if (tracked_[i].connectionId == id) {
            delete[] tracked_[i].receivedPath;
            tracked_[i] = tracked_[--trackedCount_];
            return;
        }
    }
}

void ShareTab::rememberReceived(const wchar_t* display, const wchar_t* path) {
    Received* grown = new Received[receivedCount_ + 1];
    if (receivedCount_)
        memcpy(grown, received_, receivedCount_ * sizeof(Received));
    delete[] received_;
    received_ = grown;
    received_[receivedCount_].display = duplicate(display);
    received_[receivedCount_].path = duplicate(path);
    ++receivedCount_;
}

const wchar_t* ShareTab::receivedPathFor(const wchar_t* display) {
    // Newest first: a later upload of the same name is the one the row shows.
    for (size_t i = receivedCount_; i-- > 0;)
        if (lstrcmpW(received_[i].display, display) == 0)
            return received_[i].path;
    return nullptr;
}

void ShareTab::onConnectionOpened(DWORD id, ConnectionStatus* status) {
    LVITEMW item = {};
    item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM;
    item.iItem = ListView_GetItemCount(connectionList_);
    item.pszText = const_cast<wchar_t*>(L"");
    item.iImage = kImageReceiving;
    item.lParam = id;
    int row = ListView_InsertItem(connectionList_, &item);
    if (row < 0) {
        LOG_ERROR(log_, L"ShareTab::conWndProc", L"ListView_InsertItem", GetLastError());
        return;
    }
    setCell(connectionList_, row, ColAddress, status->peerAddress, L"ShareTab::conWndProc");
}

void ShareTab::onConnectionStatus(DWORD id, ConnectionStatus* status) {
    int row = findRowByParam(connectionList_, id);
    if (row < 0)
        return;
    DWORD fields = status->fields;
    if (fields & 0x2) {
        LVITEMW item = {};
        item.mask = LVIF_IMAGE;
        item.iItem = row;
        item.iImage = static_cast<int>(status->percentage > 100 ? 100 : status->percentage);
        if (!ListView_SetItem(connectionList_, &item))
            LOG_ERROR(log_, L"ShareTab::conWndProc", L"ListView_SetItem", GetLastError());
    }
    if ((fields & 0x8) && status->path) {
        // A HEAD request names a file but moves no data: it gets no speed.
        Tracked* record = (fields & 0x40) ? nullptr : track(id);
        if (fields & 0x80) {
            const wchar_t* name = status->path;
            for (const wchar_t* at = status->path; *at; ++at)
                if (*at == L'\\' || *at == L'/')
                    name = at + 1;
            wchar_t display[260];
            lstrcpynW(display, L"[R]", 260);
            lstrcpynW(display + 3, name, 251);
            setCell(connectionList_, row, ColFile, display, L"ShareTab::conWndProc");
            if (record) {
                delete[] record->receivedPath;
                record->receivedPath = duplicate(status->path);
                record->upload = true;
            }
        } else {
            setCell(connectionList_, row, ColFile, status->path, L"ShareTab::conWndProc");
        }
    }
    if (fields & 0x4)
        setCell(connectionList_, row, ColTransfer, status->sizeText, L"ShareTab::conWndProc");
    if (fields & 0x10) {
        Tracked* record = findTracked(id);
        if (record) {
            record->bytesDone = status->bytesSent;
            record->bytesTotal = status->bytesTotal;
        }
    }
    if (fields & 0x100) {
        Tracked* record = findTracked(id);
        if (record)
            record->uploadComplete = true;
    }
}

void ShareTab::onConnectionClosed(DWORD id) {
    int row = findRowByParam(connectionList_, id);
    Tracked* record = findTracked(id);
    if (row >= 0) {
        if (g_settings.rememberConnections && record) {
            bool received = record->upload && record->uploadComplete;
            LVITEMW item = {};
            item.mask = LVIF_PARAM | LVIF_IMAGE;
            item.iItem = row;
            item.lParam = 0;
            item.iImage = received ? kImageReceived : kImageClosed;
            if (!ListView_SetItem(connectionList_, &item))
                LOG_ERROR(log_, L"ShareTab::conWndProc", L"ListView_SetItem", GetLastError());
            setCell(connectionList_, row, ColSpeed, L"", L"ShareTab::conWndProc");
            setCell(connectionList_, row, ColRemaining, L"", L"ShareTab::conWndProc");
            if (received && record->receivedPath) {
                wchar_t display[260] = {};
                ListView_GetItemText(connectionList_, row, ColFile, display, 260);
                rememberReceived(display, record->receivedPath);
            }
            ++closedCount_;
        } else if (!ListView_DeleteItem(connectionList_, row)) {
            LOG_ERROR(log_, L"ShareTab::conWndProc", L"ListView_DeleteItem", GetLastError());
        }
    }
    untrack(id);
}

void ShareTab::onSpeedTimer() {
    int rows = ListView_GetItemCount(connectionList_);
    for (int row = 0; row < rows; ++row) {
        DWORD id = static_cast<DWORD>(rowParam(connectionList_, row));
        Tracked* record = id ? findTracked(id) : nullptr;
        wchar_t speedText[51] = {}, remainingText[64] = {};
        if (record) {
            record->speed = connectionSpeed(record->history, kHistory);
            for (int i = 0; i + 1 < kHistory; ++i)
                record->history[i] = record->history[i + 1];
            record->history[kHistory - 1] = record->bytesDone;
            if (record->speed > 0) {
                char16_t text[51];
                size_t length = formatSize(record->speed, text, 47);
                copyBounded(text + length, 51 - length, u"/s");
                lstrcpynW(speedText, reinterpret_cast<wchar_t*>(text), 51);
                LONGLONG left = record->bytesTotal - record->bytesDone;
                formatDuration(left > 0 ? left / record->speed : 0, reinterpret_cast<char16_t*>(remainingText), 64);
            }
        }
        if (!id)
            continue;   // closed rows keep what they showed last
        setCell(connectionList_, row, ColSpeed, speedText, L"ShareTab::conWndProc");
        setCell(connectionList_, row, ColRemaining, remainingText, L"ShareTab::conWndProc");
    }
}

void ShareTab::disconnectSelected(bool firstOnly) {
    for (int row = ListView_GetNextItem(connectionList_, -1, LVNI_SELECTED); row >= 0;
         row = ListView_GetNextItem(connectionList_, row, LVNI_SELECTED)) {
        DWORD id = static_cast<DWORD>(rowParam(connectionList_, row));
        if (id && context_.server && !context_.server->terminateObject(id))
            LOG_ERROR_TEXT(log_, L"ShareTab::conWndProc", L"terminateObject failed");
        if (firstOnly)
            break;
    }
}

void ShareTab::clearClosed() {
    ListView_EnsureVisible(connectionList_, 0, FALSE);
    for (int row = ListView_GetItemCount(connectionList_); row-- > 0;)
        if (rowParam(connectionList_, row) == 0)
            ListView_DeleteItem(connectionList_, row);
    closedCount_ = 0;
}

void ShareTab::openReceivedFiles() {
    DWORD length = 0;
    wchar_t* folder = getUploadsDirectoryCopy(&length);
    if (!folder)
        return;
    HINSTANCE result = ShellExecuteW(context_.mainWindow, L"explore", folder, nullptr, nullptr, SW_SHOWNORMAL);
    if (reinterpret_cast<INT_PTR>(result) <= 32)
        LOG_ERROR(log_, L"ShareTab::conWndProc", L"ShellExecuteW", GetLastError());
    delete[] folder;
}

void ShareTab::connectionMenu(int x, int y) {
    HMENU menu = connectionMenu_;
    if (!menu)
        return;
    while (GetMenuItemCount(menu) > 0)
        DeleteMenu(menu, 0, MF_BYPOSITION);
    int selected = 0, live = 0;
    for (int row = ListView_GetNextItem(connectionList_, -1, LVNI_SELECTED); row >= 0;
         row = ListView_GetNextItem(connectionList_, row, LVNI_SELECTED)) {
        ++selected;
        if (rowParam(connectionList_, row))
            ++live;
    }
    AppendMenuW(menu, MF_STRING | (live ? 0 : MF_GRAYED), IDM_CON_DISCONNECT_SELECTED,
                selected > 1 ? L"Disconnect Selected Connections" : L"Disconnect Connection");
    AppendMenuW(menu, MF_STRING | (closedCount_ ? 0 : MF_GRAYED), IDC_CLEAR_CLOSED, L"Clear Closed Connections");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING | (g_settings.rememberConnections ? MF_CHECKED : 0), IDM_CON_KEEP_CLOSED,
                L"Keep Closed Connections in List");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, IDM_CON_OPEN_RECEIVED, L"Open Received Files Folder");
    UINT chosen = static_cast<UINT>(
        TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, x, y, 0, connectionPanel_, nullptr));
    if (chosen)
        SendMessageW(connectionPanel_, WM_COMMAND, MAKEWPARAM(chosen, 0), 0);
}

LRESULT ShareTab::conWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool* handled) {
    switch (message) {
    case WM_CONNECTION_OPENED:
    case WM_CONNECTION_STATUS: {
        ConnectionStatus* status = reinterpret_cast<ConnectionStatus*>(lParam);
        if (message == WM_CONNECTION_OPENED)
            onConnectionOpened(static_cast<DWORD>(wParam), status);
        else
            onConnectionStatus(static_cast<DWORD>(wParam), status);
        delete status;
        *handled = true;
        return 0;
    }
    case WM_CONNECTION_CLOSED:
        // The engine's termination message carries no record.
        onConnectionClosed(static_cast<DWORD>(wParam));
        *handled = true;
        return 0;
    case WM_TIMER:
        if (wParam == kSpeedTimerId) {
            onSpeedTimer();
            *handled = true;
        }
        return 0;
    case WM_COMMAND:
        *handled = true;
        switch (LOWORD(wParam)) {
        case IDC_DISCONNECT:
            disconnectSelected(true);
            break;
        case IDM_CON_DISCONNECT_SELECTED:
            disconnectSelected(false);
            break;
        case IDC_CLEAR_CLOSED:
            clearClosed();
            break;
        case IDM_CON_KEEP_CLOSED:
            g_settings.rememberConnections = !g_settings.rememberConnections;
            break;
        case IDM_CON_OPEN_RECEIVED:
            openReceivedFiles();
            break;
        }
        return 0;
    case WM_NOTIFY: {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->hwndFrom != connectionList_)
            break;
        *handled = true;
        if (header->code == LVN_KEYDOWN) {
            if (reinterpret_cast<const NMLVKEYDOWN*>(lParam)->wVKey == VK_DELETE)
                disconnectSelected(false);
        } else if (header->code == NM_RCLICK) {
            POINT at;
            GetCursorPos(&at);
            connectionMenu(at.x, at.y);
        } else if (header->code == NM_DBLCLK) {
            for (int row = ListView_GetNextItem(connectionList_, -1, LVNI_SELECTED); row >= 0;
                 row = ListView_GetNextItem(connectionList_, row, LVNI_SELECTED)) {
                LVITEMW item = {};
                item.mask = LVIF_PARAM | LVIF_IMAGE;
                item.iItem = row;
                if (!ListView_GetItem(connectionList_, &item) || item.lParam || item.iImage != kImageReceived)
                    continue;
                wchar_t display[260] = {};
                ListView_GetItemText(connectionList_, row, ColFile, display, 260);
                const wchar_t* path = receivedPathFor(display);
                if (path && reinterpret_cast<INT_PTR>(
                                ShellExecuteW(context_.mainWindow, L"open", path, nullptr, nullptr, SW_SHOWNORMAL)) <= 32)
                    LOG_ERROR(log_, L"ShareTab::conWndProc", L"ShellExecuteW", GetLastError());
            }
        }
        return 0;
    }
    }
    (void)window;
    return 0;
}
