// DownloadsHandler's answers to the user: the address bar, the list's notifications and context
// menu, the details panel's buttons and connection box, Save As for a new download, the
// clipboard and opening folders.
#include "DownloadsHandler.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include "DownloadRes.h"
#include "DownloadViewRules.h"
#include "DownloaderDialogs.h"
#include "Log.h"

static const wchar_t kLogUnit[] = L"DownloadsHandler";

namespace {

const wchar_t kNotResumableTitle[] = L"Download NOT Resumable";

bool runningWithoutResume(DownloadEntry* entry) {
    return !entry->isResumable() && !entry->isStopped() && entry->isFileOpen();
}

}  // namespace

bool clipText(Log* log, HWND owner, const wchar_t* text) {
    if (!OpenClipboard(owner)) {
        LOG_ERROR(log, L"clipText", L"OpenClipboard", GetLastError());
        return false;
    }
    size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    bool ok = false;
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (!memory) {
        LOG_ERROR(log, L"clipText", L"GlobalAlloc", GetLastError());
    } else if (void* target = GlobalLock(memory)) {
        memcpy(target, text, bytes);
        GlobalUnlock(memory);
        if (!EmptyClipboard()) {
            LOG_ERROR(log, L"clipText", L"EmptyClipboard", GetLastError());
        } else if (!SetClipboardData(CF_UNICODETEXT, memory)) {
            LOG_ERROR(log, L"clipText", L"SetClipboardData", GetLastError());
        } else {
            ok = true;  // the clipboard owns the memory now
        }
    } else {
        LOG_ERROR(log, L"clipText", L"GlobalLock", GetLastError());
    }
    if (memory && !ok && GlobalFree(memory))
        LOG_ERROR(log, L"clipText", L"GlobalFree", GetLastError());
    CloseClipboard();
    return ok;
}

void DownloadsHandler::copyText(const std::wstring& text) {
    clipText(log_, context_.mainWindow, text.c_str());
}

void DownloadsHandler::openPath(const wchar_t* path) {
    HINSTANCE result = ShellExecuteW(context_.mainWindow, L"open", path, nullptr, nullptr, SW_SHOWNORMAL);
    if (reinterpret_cast<INT_PTR>(result) <= 32)
        LOG_ERROR(log_, L"DownloadsHandler::openPath", L"ShellExecuteW",
                  static_cast<DWORD>(reinterpret_cast<INT_PTR>(result)));
}

void DownloadsHandler::addressBarDownload() {
    int length = GetWindowTextLengthW(urlEdit_);
    if (length <= 0 || !list_)
        return;
    if (length > 50000)
        length = 50000;
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    length = GetWindowTextW(urlEdit_, &text[0], length + 1);
    DownloadEntry* entry = list_->prepareDownload(text.c_str(), static_cast<size_t>(length));
    if (!entry) {
        MessageBeep(MB_ICONEXCLAMATION);
        return;
    }
    list_->startDownload(entry, 1);
    SetWindowTextW(urlEdit_, L"");
}

void DownloadsHandler::addFromDialog(const wchar_t* url, size_t length, bool saveAs) {
    if (!list_)
        return;
    DownloadEntry* entry = list_->prepareDownload(url, length);
    if (!entry)
        return;
    if (saveAs) {
        wchar_t path[260] = {};
        lstrcpynW(path, entry->fileName().c_str(), 251);
        OPENFILENAMEW dialog = {};
        dialog.lStructSize = sizeof dialog;
        dialog.hwndOwner = context_.mainWindow;
        dialog.lpstrFile = path;
        dialog.nMaxFile = 260;
        dialog.lpstrTitle = L"Choose Download Location";
        dialog.Flags = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_EXPLORER |
                       OFN_DONTADDTORECENT;
        if (!GetSaveFileNameW(&dialog)) {
            delete entry;
            return;
        }
        entry->setLocalPath(path, wcslen(path), true);
    }
    list_->startDownload(entry, 1);
}

void DownloadsHandler::listNotify(const NMHDR* header) {
    switch (header->code) {
    case LVN_KEYDOWN:
        if (reinterpret_cast<const NMLVKEYDOWN*>(header)->wVKey == VK_DELETE)
            removeSelected();
        break;
    case LVN_ITEMCHANGED: {
        const NMLISTVIEW* change = reinterpret_cast<const NMLISTVIEW*>(header);
        if (!(change->uChanged & LVIF_STATE))
            break;
        // Showing the newly selected entry at once also sets its connection box.
        DownloadEntry* entry = selectedEntry();
        if (entry)
            viewDetails(entry->id(), true);
        else
            nothingSelected();
        break;
    }
    case NM_DBLCLK: {
        DownloadEntry* entry = selectedEntry();
        if (entry && entry->isComplete())
            openPath(entry->localPath().c_str());
        break;
    }
    case NM_RCLICK: {
        POINT at;
        GetCursorPos(&at);
        contextMenu(at);
        break;
    }
    }
}

void DownloadsHandler::contextMenu(POINT at) {
    if (!contextMenu_)
        return;
    DownloadEntry* entry = selectedEntry();
    for (int count : kConnectionChoices)
        CheckMenuItem(connectionsMenu_, IDM_LIST_CONNECTIONS_BASE + count, MF_BYCOMMAND | MF_UNCHECKED);
    ModifyMenuW(contextMenu_, IDM_LIST_PAUSE, MF_BYCOMMAND | MF_STRING | MF_GRAYED, IDM_LIST_PAUSE,
                L"Pause/Resume Download");
    bool open = entry && !entry->isComplete();
    if (open) {
        ModifyMenuW(contextMenu_, IDM_LIST_PAUSE, MF_BYCOMMAND | MF_STRING | MF_ENABLED, IDM_LIST_PAUSE,
                    entry->isStopped() ? L"Resume Download" : L"Pause Download");
        CheckMenuItem(connectionsMenu_, IDM_LIST_CONNECTIONS_BASE + entry->wantedConnections(),
                      MF_BYCOMMAND | MF_CHECKED);
    }
    UINT selected = entry ? MF_ENABLED : MF_GRAYED;
    EnableMenuItem(contextMenu_, IDM_LIST_COPY_URL, MF_BYCOMMAND | selected);
    EnableMenuItem(contextMenu_, IDM_LIST_REMOVE, MF_BYCOMMAND | selected);
    EnableMenuItem(contextMenu_, IDM_LIST_OPEN_CONTAINING, MF_BYCOMMAND | selected);
    EnableMenuItem(contextMenu_, 4, MF_BYPOSITION | (open ? MF_ENABLED : MF_GRAYED));
    EnableMenuItem(contextMenu_, IDM_LIST_CHANGE_URL, MF_BYCOMMAND | (open ? MF_ENABLED : MF_GRAYED));
    int command = TrackPopupMenu(contextMenu_, TPM_RETURNCMD | TPM_NONOTIFY, at.x, at.y, 0, listArea_, nullptr);
    if (command)
        contextCommand(command);
}

void DownloadsHandler::contextCommand(int command) {
    // The menu may have been open a while: the entry is looked up now.
    DownloadEntry* entry = selectedEntry();
    switch (command) {
    case IDM_LIST_NEW:
        context_.host->newDownloadDialog();
        return;
    case IDM_LIST_PAUSE:
        pauseSelected();
        return;
    case IDM_LIST_REMOVE:
        removeSelected();
        return;
    case IDM_LIST_OPEN_DEFAULT:
        openPath(context_.host->downloadFolder().c_str());
        return;
    }
    if (!entry)
        return;
    if (command == IDM_LIST_OPEN_CONTAINING) {
        wchar_t folder[262];
        const std::wstring& path = entry->localPath();
        containingFolder(reinterpret_cast<const char16_t*>(path.c_str()), path.size(),
                         reinterpret_cast<char16_t*>(folder), 262);
        openPath(folder);
    } else if (command == IDM_LIST_CHANGE_URL) {
        changeUrlSelected();
    } else if (command == IDM_LIST_COPY_URL) {
        copyText(entry->url());
    } else if (command > IDM_LIST_CONNECTIONS_BASE && command <= IDM_LIST_CONNECTIONS_BASE + 99) {
        if (!entry->isComplete() && !entry->isRemoving()) {
            list_->setConnections(entry->id(), command - IDM_LIST_CONNECTIONS_BASE);
            viewDetails(entry->id(), true);
        }
    }
}

void DownloadsHandler::detailsCommand(WORD id, WORD code) {
    if (id == IDC_PAUSE_BUTTON && code == BN_CLICKED) {
        pauseSelected();
    } else if (id == IDC_REMOVE_BUTTON && code == BN_CLICKED) {
        removeSelected();
    } else if (id == IDC_CONNECTION_BOX && code == CBN_SELCHANGE) {
        DownloadEntry* entry = selectedEntry();
        LRESULT index = SendMessageW(connectionBox_, CB_GETCURSEL, 0, 0);
        if (entry && index >= 0 && index < kConnectionChoiceCount) {
            list_->setConnections(entry->id(), kConnectionChoices[index]);
            updateDownloaderInList(entry->id());
        }
    }
}

void DownloadsHandler::pauseSelected() {
    DownloadEntry* entry = selectedEntry();
    if (!entry || entry->isComplete())
        return;
    if (runningWithoutResume(entry) &&
        MessageBoxW(context_.mainWindow,
                    L"The server for this download does not support resuming. If you pause this download, the "
                    L"current progress will be lost, and the download will have to be restarted. Are you sure "
                    L"you wish to pause it?",
                    kNotResumableTitle, MB_YESNOCANCEL | MB_ICONWARNING) != IDYES)
        return;
    DWORD id = entry->id();
    if (entry->isStopped())
        list_->resume(id);
    else
        list_->pause(id);
    viewDetails(id, true);
}

void DownloadsHandler::removeSelected() {
    DownloadEntry* entry = selectedEntry();
    if (!entry)
        return;
    DWORD id = entry->id();
    if (!entry->isComplete()) {
        wchar_t name[255];
        lstrcpynW(name, entry->fileName().c_str(), 255);
        wchar_t question[400];
        wsprintfW(question, L"Are you sure you wish to remove %s?\nPartially downloaded data will be lost.", name);
        if (MessageBoxW(context_.mainWindow, question, L"Wexa-Share Downloader", MB_YESNOCANCEL | MB_ICONWARNING) !=
            IDYES)
            return;
    }
    // The question may have been open a while: the entry may have gone, or completed, meanwhile.
    // Decided now: a complete download keeps its file whatever was asked.
    entry = list_->find(id);
    if (!entry)
        return;
    list_->remove(id, !entry->isComplete());
    if (list_->find(id))
        updateDownloaderInList(id);
}

void DownloadsHandler::changeUrlSelected() {
    DownloadEntry* entry = selectedEntry();
    if (!entry || entry->isComplete())
        return;
    DWORD id = entry->id();
    wchar_t url[1001];
    if (runUrlDialog(log_, context_.instance, context_.mainWindow, IDD_CHANGE_URL, url, 1001) != IDOK)
        return;
    list_->changeUrl(id, url, wcslen(url));
    viewDetails(id, true);
}
