// DownloadsList: entries and ids, message dispatch to entry operations, the registry value
// "DownloadsList" (written at exit, and also during the run so that a crash keeps progress).
#include "DownloadsList.h"

#include <shlobj.h>

#include "DownloadMessages.h"
#include "DownloadsListCodec.h"
#include "Log.h"
#include "TextHelpers.h"

static const wchar_t kLogUnit[] = L"DownloadsList";
static const wchar_t kSettingsKey[] = L"Software\\WexaShare";

bool loadDownloadFolder(Log* log, std::wstring* folder) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        wchar_t value[501] = {};
        DWORD bytes = 1000;
        DWORD type = 0;
        LONG result = RegQueryValueExW(key, L"DownloadsDirectory", nullptr, &type, reinterpret_cast<BYTE*>(value),
                                       &bytes);
        RegCloseKey(key);
        if (result == ERROR_SUCCESS && type == REG_SZ && value[0]) {
            *folder = value;
            return true;
        }
    }
    wchar_t desktop[MAX_PATH + 1] = {};
    HRESULT found = SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY | CSIDL_FLAG_CREATE, nullptr, 0, desktop);
    if (FAILED(found)) {
        LOG_ERROR(log, L"loadSettings", L"SHGetFolderPathW", static_cast<DWORD>(found));
        return false;
    }
    *folder = desktop;
    return true;
}

DownloadsList::DownloadsList(Log* log, Server* server, HWND window, DownloadsObserver* observer,
                             ReceivedCounter* counter, const StallLimits& limits)
    : log_(log), server_(server), window_(window), observer_(observer), counter_(counter), limits_(limits) {
    if (SetTimer(window_, kSaveTimer, kSaveMilliseconds, nullptr)) {
        timerSet_ = true;
    } else {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"DownloadsList::DownloadsList", L"SetTimer", error);
    }
    if (SetTimer(window_, kWatchTimer, kWatchMilliseconds, nullptr)) {
        watchSet_ = true;
    } else {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"DownloadsList::DownloadsList", L"SetTimer", error);
    }
}

DownloadsList::~DownloadsList() {
    if (timerSet_)
        KillTimer(window_, kSaveTimer);
    if (watchSet_)
        KillTimer(window_, kWatchTimer);
    for (Item& item : entries_)
        delete item.entry;
}

DownloadEntry* DownloadsList::append() {
    EntryContext context = {log_, window_, server_, &folder_, this, counter_};
    return new DownloadEntry(context, nextId_);
}

DownloadEntry* DownloadsList::find(DWORD entryId) {
    for (Item& item : entries_) {
        if (item.entry->id() == entryId)
            return item.entry;
    }
    return nullptr;
}

bool DownloadsList::allComplete() const {
    for (const Item& item : entries_) {
        if (!item.entry->isComplete())
            return false;
    }
    return true;
}

DownloadEntry* DownloadsList::addDownload(const wchar_t* url, size_t length, int connections, const char* user,
                                          const char* password) {
    DownloadEntry* entry = prepareDownload(url, length);
    if (!entry)
        return nullptr;
    if (user)
        entry->setCredentials(user, password);
    startDownload(entry, connections);
    return entry;
}

DownloadEntry* DownloadsList::prepareDownload(const wchar_t* url, size_t length) {
    size_t decodedLength = 0;
    char16_t* decoded = decodeUrl(reinterpret_cast<const char16_t*>(url), length, &decodedLength);
    DownloadEntry* entry = append();
    bool parsed = decoded ? entry->setUrl(reinterpret_cast<wchar_t*>(decoded), decodedLength)
                          : entry->setUrl(url, length);
    delete[] decoded;
    if (!parsed) {
        delete entry;
        return nullptr;
    }
    return entry;
}

void DownloadsList::startDownload(DownloadEntry* entry, int connections) {
    // Ids are given in listing order: an entry prepared and then dropped takes none.
    ++nextId_;
    entries_.push_back(Item{entry, false, false});
    entry->setConnections(connections);
    observer_->entryAdded(entry);
    entry->doStep();
    saveDownloads();
    review(entry);
}

void DownloadsList::pause(DWORD entryId) {
    DownloadEntry* entry = find(entryId);
    if (entry && !entry->isStopped())
        togglePause(entry);
}

void DownloadsList::resume(DWORD entryId) {
    DownloadEntry* entry = find(entryId);
    if (entry && entry->isStopped())
        togglePause(entry);
}

void DownloadsList::togglePause(DownloadEntry* entry) {
    if (entry->isRemoving() || entry->isComplete())
        return;
    entry->togglePause();
    saveDownloads();
    review(entry);
}

void DownloadsList::setConnections(DWORD entryId, int count) {
    DownloadEntry* entry = find(entryId);
    if (entry && !entry->isRemoving()) {
        entry->setConnections(count);
        changed_ = true;
    }
}

void DownloadsList::remove(DWORD entryId, bool deleteFile) {
    DownloadEntry* entry = find(entryId);
    if (!entry || entry->isRemoving())
        return;
    if (entry->beginRemove(deleteFile))
        destroyEntry(entryId);
    saveDownloads();
}

bool DownloadsList::changeUrl(DWORD entryId, const wchar_t* url, size_t length) {
    DownloadEntry* entry = find(entryId);
    if (!entry || entry->isRemoving() || entry->isComplete())
        return false;
    if (!entry->isStopped())
        togglePause(entry);
    bool parsed = entry->changeUrl(url, length);
    if (parsed)
        togglePause(entry);
    else
        saveDownloads();
    return parsed;
}

void DownloadsList::giveCredentials(DWORD entryId, const char* user, const char* password) {
    DownloadEntry* entry = find(entryId);
    if (!entry || entry->isRemoving())
        return;
    entry->setCredentials(user, password);
    if (entry->isStopped())
        togglePause(entry);
    else
        saveDownloads();
}

int DownloadsList::retryFailed() {
    int resumed = 0;
    // togglePause may tell the observer, which must not see the list change under it: the
    // ids are collected first.
    std::vector<DWORD> ids;
    for (Item& item : entries_) {
        if (!item.entry->hasError())
            continue;
        item.entry->clearError();
        if (item.entry->isResumable() && item.entry->isStopped())
            ids.push_back(item.entry->id());
    }
    for (DWORD id : ids) {
        if (DownloadEntry* entry = find(id)) {
            togglePause(entry);
            ++resumed;
        }
    }
    return resumed;
}

void DownloadsList::destroyEntry(DWORD entryId) {
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].entry->id() == entryId) {
            delete entries_[i].entry;
            entries_.erase(entries_.begin() + i);
            observer_->entryRemoved(entryId);
            return;
        }
    }
}

void DownloadsList::entryStatusChanged(DownloadEntry* entry) {
    changed_ = true;
    observer_->statusChanged(entry);
}

void DownloadsList::review(DownloadEntry* entry) {
    for (Item& item : entries_) {
        if (item.entry != entry)
            continue;
        if (entry->isComplete() && !item.reportedComplete) {
            item.reportedComplete = true;
            saveDownloads();
            observer_->entryCompleted(entry);
        }
        bool failed = entry->isStopped() && entry->hasError();
        if (failed && !item.reportedFailed) {
            item.reportedFailed = true;
            saveDownloads();
            observer_->entryFailed(entry);
        }
        if (!failed)
            item.reportedFailed = false;
        return;
    }
}

void DownloadsList::startEntry(DownloadEntry* entry, bool advance) {
    // A freshly opened file gets its connections at once; a redirect's resolver is started once.
    if (advance && entry->doStep() && entry->isFileOpen())
        entry->doStep();
}

void DownloadsList::onAddress(DWORD entryId, DWORD address) {
    DownloadEntry* entry = find(entryId);
    // A paused or removed entry starts again from the resolver when it is resumed.
    if (!entry || entry->isStopped() || entry->isRemoving() || !entry->isResolving())
        return;
    if (entry->handleAddress(address))
        entry->doStep();
    review(entry);
}

void DownloadsList::onHead(DWORD entryId, HeadRecord* record) {
    DownloadEntry* entry = find(entryId);
    // Only the current header request's answer counts; an earlier one's is late.
    bool current = entry && !entry->isStopped() && !entry->isRemoving() && record->requestId == entry->headerRequestId();
    if (current && record->secureFailure != TlsFailure::None) {
        entry->handleSecureFailure(record->secureFailure);
        review(entry);
    } else if (current) {
        bool advance = entry->handleHeader(record->bytes, record->length);
        if (!advance && entry->passwordNeeded())
            observer_->credentialsNeeded(entry);
        startEntry(entry, advance);
        review(entry);
    }
    delete[] record->bytes;
    delete record;
}

void DownloadsList::onHeadEnded(DWORD requestId) {
    for (Item& item : entries_) {
        DownloadEntry* entry = item.entry;
        if (entry->headerRequestId() != requestId)
            continue;
        if (!entry->isStopped() && !entry->isRemoving()) {
            entry->handleHeader(nullptr, 0);
            review(entry);
        }
        return;
    }
}

void DownloadsList::onTransferEnded(DWORD connectionId) {
    for (Item& item : entries_) {
        DownloadEntry* entry = item.entry;
        if (!entry->hasConnection(connectionId))
            continue;
        if (entry->connectionEnded(connectionId)) {
            destroyEntry(entry->id());
            return;
        }
        // A stopped entry starts nothing until it is resumed.
        if (!entry->isStopped() && !entry->isRemoving())
            entry->doStep();
        changed_ = true;
        review(entry);
        return;
    }
}

void DownloadsList::checkStalls() {
    DWORD now = GetTickCount();
    // review may tell the observer, which must not see the list change under it.
    std::vector<DWORD> ids;
    for (Item& item : entries_)
        ids.push_back(item.entry->id());
    for (DWORD id : ids) {
        if (DownloadEntry* entry = find(id)) {
            entry->checkStalls(now, limits_);
            review(entry);
        }
    }
}

bool DownloadsList::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (!dispatching_) {
        if (message == WM_DL_HEAD) {
            HeadRecord* record = reinterpret_cast<HeadRecord*>(lParam);
            delete[] record->bytes;
            delete record;
        } else if (message == WM_DL_PROGRESS) {
            delete reinterpret_cast<ProgressRecord*>(lParam);
        }
        return message >= WM_DL_ADDRESS && message <= WM_DL_HEAD_ENDED;
    }
    switch (message) {
    case WM_DL_ADDRESS:
        onAddress(static_cast<DWORD>(wParam), static_cast<DWORD>(lParam));
        return true;
    case WM_DL_HEAD:
        onHead(static_cast<DWORD>(wParam), reinterpret_cast<HeadRecord*>(lParam));
        return true;
    case WM_DL_PROGRESS: {
        ProgressRecord* record = reinterpret_cast<ProgressRecord*>(lParam);
        if (DownloadEntry* entry = find(static_cast<DWORD>(wParam))) {
            entry->addProgress(record->connectionId, record->bytes, record->end);
            changed_ = true;
        }
        delete record;
        return true;
    }
    case WM_DL_TRANSFER_ENDED:
        onTransferEnded(static_cast<DWORD>(wParam));
        return true;
    case WM_DL_HEAD_ENDED:
        onHeadEnded(static_cast<DWORD>(wParam));
        return true;
    case WM_TIMER:
        if (wParam == kWatchTimer) {
            checkStalls();
            return true;
        }
        if (wParam != kSaveTimer)
            return false;
        if (changed_)
            saveDownloads();
        return true;
    default:
        return false;
    }
}

void DownloadsList::saveDownloads(bool flushNow) {
    changed_ = false;
    std::u16string value;
    DWORD now = GetTickCount();
    for (Item& item : entries_) {
        // A removed entry's file is going away: restoring it would fetch it again.
        if (item.entry->isComplete() || item.entry->isRemoving())
            continue;
        item.entry->flushForSave(now, flushNow);
        DownloadRecord record;
        item.entry->fillRecord(&record);
        if (!appendDownloadRecord(record, &value))
            LOG_ERROR_TEXT(log_, L"saveDownloads", L"Entry cannot be saved");
    }
    finishDownloadsList(&value);
    HKEY key;
    LONG result = RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr);
    if (result != ERROR_SUCCESS) {
        LOG_ERROR(log_, L"saveDownloads", L"RegCreateKeyEx", result);
        return;
    }
    result = RegSetValueExW(key, L"DownloadsList", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(value.data()),
                            static_cast<DWORD>(value.size() * sizeof(char16_t)));
    if (result != ERROR_SUCCESS)
        LOG_ERROR(log_, L"saveDownloads", L"RegSetValueEx", result);
    result = RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        LOG_ERROR(log_, L"saveDownloads", L"RegCloseKey", result);
}

void DownloadsList::readDownloads() {
    HKEY key;
    LONG result = RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_ALL_ACCESS, &key);
    if (result != ERROR_SUCCESS) {
        // No key yet is no value yet: nothing to restore, nothing wrong.
        if (result != ERROR_FILE_NOT_FOUND)
            LOG_ERROR(log_, L"readDownloads", L"RegOpenKeyEx", result);
        return;
    }
    DWORD bytes = 0;
    DWORD type = 0;
    result = RegQueryValueExW(key, L"DownloadsList", nullptr, &type, nullptr, &bytes);
    std::u16string data;
    if (result == ERROR_SUCCESS && bytes > 0) {
        data.resize(bytes / sizeof(char16_t) + 1);
        DWORD read = static_cast<DWORD>(data.size() * sizeof(char16_t));
        result = RegQueryValueExW(key, L"DownloadsList", nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &read);
        if (result != ERROR_SUCCESS) {
            LOG_ERROR(log_, L"readDownloads", L"RegQueryValueEx", result);
            data.clear();
        } else {
            data.resize(read / sizeof(char16_t));
        }
    } else if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
        LOG_ERROR(log_, L"readDownloads", L"RegQueryValueEx", result);
    }
    result = RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        LOG_ERROR(log_, L"readDownloads", L"RegCloseKey", result);
    if (data.empty())
        return;
    std::vector<DownloadRecord> records = readDownloadsList(data.data(), data.size());
    for (const DownloadRecord& record : records) {
        DownloadEntry* entry = append();
        // A URL that no longer parses has no host to ask: such an entry is left out.
        if (!entry->restore(record)) {
            delete entry;
            continue;
        }
        ++nextId_;
        entries_.push_back(Item{entry, false, false});
        observer_->entryAdded(entry);
        entry->doStep();
        entry->setConnections(record.connections);
        review(entry);
    }
}
