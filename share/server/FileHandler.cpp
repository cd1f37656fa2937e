// FileHandler: the shared-file registry on the system's side (attributes, enumeration,
// overlapped file opening, posting to the Share tab). Names, resolution, the type table and
// the page text are the portable rules of FileHandlerPaths.cpp and IndexPage.cpp.
#include "FileHandler.h"

#include <cstring>
#include <new>

#include "BuiltinContent.h"
#include "FileHandlerPaths.h"
#include "IndexPage.h"
#include "Log.h"
#include "ShareListCodec.h"

static const wchar_t kLogUnit[] = L"FileHandler";

static const char16_t* u16(const wchar_t* s) {
    return reinterpret_cast<const char16_t*>(s);
}
static char16_t* u16(wchar_t* s) {
    return reinterpret_cast<char16_t*>(s);
}
static const wchar_t* w(const char16_t* s) {
    return reinterpret_cast<const wchar_t*>(s);
}

FileEntry::~FileEntry() {
    delete[] name;
    delete[] path;
    if (ownsContent)
        delete[] content;
    // The entry's owner has no log at hand; a failed close leaves nothing to undo.
    if (fileHandle != INVALID_HANDLE_VALUE)
        CloseHandle(fileHandle);
}

static void httpDateOf(const SYSTEMTIME& t, char* out) {
    CalendarTime c{t.wYear, t.wMonth, t.wDayOfWeek, t.wDay, t.wHour, t.wMinute, t.wSecond};
    formatHttpDate(c, out, kHttpDateCapacity);
}

FileHandler::FileHandler(Log* log, const ServerSettings* settings) : log_(log), settings_(settings) {
    InitializeCriticalSection(&lock_);
    SYSTEMTIME now;
    GetSystemTime(&now);
    char date[kHttpDateCapacity];
    httpDateOf(now, date);
    builtins_ = new (std::nothrow) FileEntry[kBuiltinAssetCount];
    if (!builtins_)
        return;
    builtinCount_ = kBuiltinAssetCount;
    for (size_t i = 0; i < kBuiltinAssetCount; ++i) {
        const BuiltinAsset& a = kBuiltinAssets[i];
        FileEntry& e = builtins_[i];
        e.kind = EntryBuiltin;
        e.mimeType = a.mimeType;
        e.size = static_cast<LONGLONG>(a.length);
        formatDecimal(e.size, e.sizeText, 32);
        memcpy(e.dateText, date, sizeof date);
        // Static bytes: every copy handed out can point at them without owning them.
        e.content = const_cast<char*>(reinterpret_cast<const char*>(a.bytes));
        e.contentLength = static_cast<DWORD>(a.length);
        e.ownsContent = false;
    }
}

FileHandler::~FileHandler() {
    delete[] builtins_;
    for (size_t i = 0; i < count_; ++i)
        delete items_[i];
    delete[] items_;
    DeleteCriticalSection(&lock_);
}

void FileHandler::setCompletionPort(HANDLE port) {
    EnterCriticalSection(&lock_);
    port_ = port;
    LeaveCriticalSection(&lock_);
}

void FileHandler::setNotify(HWND window, UINT addedMessage, UINT removedMessage,
                            UINT statusMessage) {
    // Under the lock: workers read these when they post status records.
    EnterCriticalSection(&lock_);
    notifyWindow_ = window;
    addedMessage_ = addedMessage;
    removedMessage_ = removedMessage;
    statusMessage_ = statusMessage;
    LeaveCriticalSection(&lock_);
}

LONGLONG FileHandler::nowMilliseconds() {
    LARGE_INTEGER frequency, counter;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0)
        return -1;
    QueryPerformanceCounter(&counter);
    // Split so that counter * 1000 cannot overflow on a long uptime.
    LONGLONG f = frequency.QuadPart, c = counter.QuadPart;
    return c / f * 1000 + c % f * 1000 / f;
}

bool FileHandler::post(UINT message, WPARAM wParam, void* record, const wchar_t* function) {
    EnterCriticalSection(&lock_);
    HWND window = notifyWindow_;
    LeaveCriticalSection(&lock_);
    if (!window)
        return false;
    if (!PostMessageW(window, message, wParam, reinterpret_cast<LPARAM>(record))) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, function, L"PostMessage", error);
        return false;
    }
    return true;
}

// ---- Items --------------------------------------------------------------------------------

ItemInfo* FileHandler::makeInfo(const SharedItem& item, bool withDetails) {
    ItemInfo* info = new (std::nothrow) ItemInfo;
    if (!info)
        return nullptr;
    info->id = item.id;
    info->name = new (std::nothrow) wchar_t[item.nameLength + 1];
    info->path = new (std::nothrow) wchar_t[item.pathLength + 1];
    if (!info->name || !info->path) {
        delete info;
        return nullptr;
    }
    memcpy(info->name, item.name, item.nameLength * sizeof(wchar_t));
    info->name[item.nameLength] = 0;
    info->nameLength = static_cast<DWORD>(item.nameLength);
    memcpy(info->path, item.path, item.pathLength * sizeof(wchar_t));
    info->path[item.pathLength] = 0;
    info->pathLength = static_cast<DWORD>(item.pathLength);
    if (withDetails) {
        if (item.kind == ItemFolder) {
            wcscpy(info->details, L"Directory");
        } else {
            WIN32_FILE_ATTRIBUTE_DATA data;
            if (GetFileAttributesExW(info->path, GetFileExInfoStandard, &data)) {
                LONGLONG size = static_cast<LONGLONG>(
                    (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
                formatSize(size, u16(info->details), 100);
            } else {
                DWORD error = GetLastError();
                if (error != ERROR_FILE_NOT_FOUND)
                    LOG_ERROR(log_, L"FileHandler::makeInfo", L"GetFileAttributesEx", error);
                wcscpy(info->details, L"*Error");
            }
        }
    }
    if (item.nameLength == 0)
        info->iconClass = IconOther;
    else if (item.kind == ItemFolder)
        info->iconClass = IconFolder;
    else
        info->iconClass = fileTypeOf(item.name, item.nameLength).iconClass;
    return info;
}

// The one comparison of item names, for their order and uniqueness and for matching request
// segments: were they to differ, a name could be shared twice and one of the two never reached.
// It fails only on invalid arguments, and a failure reads as "different".
static int compareNames(const char16_t* a, size_t aLength, const char16_t* b, size_t bLength) {
    return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, w(a), static_cast<int>(aLength), w(b),
                          static_cast<int>(bLength));
}

static bool namesEqual(const char16_t* a, const char16_t* b, size_t length) {
    return compareNames(a, length, b, length) == CSTR_EQUAL;
}

// Sorted insertion; false when an item of the same name (ignoring case) exists.
bool FileHandler::insertSorted(SharedItem* item) {
    if (count_ == capacity_) {
        size_t grown = capacity_ * 2 + 10;
        SharedItem** bigger = new (std::nothrow) SharedItem*[grown];
        if (!bigger)
            return false;
        if (count_)
            memcpy(bigger, items_, count_ * sizeof *items_);
        delete[] items_;
        items_ = bigger;
        capacity_ = grown;
    }
    size_t at = count_;
    for (size_t i = 0; i < count_; ++i) {
        int order = compareNames(item->name, item->nameLength, items_[i]->name, items_[i]->nameLength);
        if (order == CSTR_EQUAL)
            return false;
        if (order == CSTR_LESS_THAN) {
            at = i;
            break;
        }
    }
    memmove(items_ + at + 1, items_ + at, (count_ - at) * sizeof *items_);
    items_[at] = item;
    ++count_;
    return true;
}

DWORD FileHandler::addFile(const wchar_t* path, DWORD length, bool quiet) {
    if (!path || length < 3)
        return 0;
    SharedItem* item = new (std::nothrow) SharedItem;
    if (!item)
        return 0;
    item->path = new (std::nothrow) char16_t[length + 1];
    item->name = new (std::nothrow) char16_t[length + 2];
    if (!item->path || !item->name) {
        delete item;
        return 0;
    }
    memcpy(item->path, path, length * sizeof(wchar_t));
    item->path[length] = 0;
    item->pathLength = length;

    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(w(item->path), GetFileExInfoStandard, &data)) {
        item->kind = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? ItemFolder : ItemFile;
    } else {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"FileHandler::addFile", L"GetFileAttributesEx", error);
    }
    item->nameLength = makeItemName(item->path, length, item->kind == ItemFolder, item->name);

    EnterCriticalSection(&lock_);
    item->id = nextId_++;
    bool notify = notifyWindow_ != nullptr;
    LeaveCriticalSection(&lock_);
    // Made before the item is visible, so no other thread can free it under us.
    ItemInfo* info = notify ? makeInfo(*item, true) : nullptr;
    DWORD id = item->id;

    EnterCriticalSection(&lock_);
    bool inserted = insertSorted(item);
    LeaveCriticalSection(&lock_);
    if (!inserted) {
        delete info;
        delete item;
        return 0;
    }
    if (info && !post(addedMessage_, id, info, L"FileHandler::addFile"))
        delete info;
    if (!quiet)
        statusUpdate(id, true);
    return id;
}

void FileHandler::delFile(SharedItem* item) {
    ItemInfo* info = makeInfo(*item, false);
    if (info && !post(removedMessage_, item->id, info, L"FileHandler::delFile"))
        delete info;
    delete item;
}

bool FileHandler::removeFile(DWORD id) {
    SharedItem* removed = nullptr;
    EnterCriticalSection(&lock_);
    for (size_t i = 0; i < count_; ++i) {
        if (items_[i]->id == id) {
            removed = items_[i];
            memmove(items_ + i, items_ + i + 1, (count_ - i - 1) * sizeof *items_);
            --count_;
            break;
        }
    }
    LeaveCriticalSection(&lock_);
    if (!removed)
        return false;
    delFile(removed);
    return true;
}

void FileHandler::removeAll() {
    EnterCriticalSection(&lock_);
    SharedItem** removed = items_;
    size_t count = count_;
    items_ = nullptr;
    count_ = capacity_ = 0;
    LeaveCriticalSection(&lock_);
    // Posting and freeing happen outside the lock.
    for (size_t i = 0; i < count; ++i)
        delFile(removed[i]);
    delete[] removed;
}

SharedItem* FileHandler::findLocked(DWORD id) {
    for (size_t i = 0; i < count_; ++i) {
        if (items_[i]->id == id)
            return items_[i];
    }
    return nullptr;
}

SharedItem* FileHandler::getItemCopy(DWORD id) {
    EnterCriticalSection(&lock_);
    SharedItem* item = findLocked(id);
    SharedItem* copy = item ? item->copy() : nullptr;
    LeaveCriticalSection(&lock_);
    return copy;
}

DWORD FileHandler::itemCount() {
    EnterCriticalSection(&lock_);
    DWORD n = static_cast<DWORD>(count_);
    LeaveCriticalSection(&lock_);
    return n;
}

// ---- Statistics ---------------------------------------------------------------------------

void FileHandler::statusUpdate(DWORD id, bool force) {
    LONGLONG now = nowMilliseconds();
    if (now < 0)
        return;
    EnterCriticalSection(&lock_);
    SharedItem* item = findLocked(id);
    if (!item || (!force && now < item->sampleTimes[kSpeedSamples - 1] + 1000)) {
        LeaveCriticalSection(&lock_);
        return;
    }
    // A forced update is always posted (it carries a transfer's final total), even when no
    // time has passed to measure a speed over.
    LONGLONG dt = now - item->sampleTimes[0];
    LONGLONG speed = item->activeTransfers && dt > 0
                         ? (item->totalSent - item->sampleTotals[0]) * 1000 / dt
                         : 0;
    memmove(item->sampleTimes, item->sampleTimes + 1, (kSpeedSamples - 1) * sizeof(int64_t));
    memmove(item->sampleTotals, item->sampleTotals + 1, (kSpeedSamples - 1) * sizeof(int64_t));
    item->sampleTimes[kSpeedSamples - 1] = now;
    item->sampleTotals[kSpeedSamples - 1] = item->totalSent;
    LONGLONG total = item->totalSent;
    UINT message = statusMessage_;
    bool notify = notifyWindow_ != nullptr;
    LeaveCriticalSection(&lock_);
    if (!notify)
        return;
    ItemStatus* status = new (std::nothrow) ItemStatus{id, total, speed};
    if (status && !post(message, id, status, L"FileHandler::statusUpdate"))
        delete status;
}

void FileHandler::beginTransfer(DWORD id) {
    if (!id)
        return;
    LONGLONG now = nowMilliseconds();
    EnterCriticalSection(&lock_);
    SharedItem* item = findLocked(id);
    // A new burst starts from a clean window; a second concurrent transfer keeps it.
    if (item && ++item->activeTransfers == 1) {
        for (size_t i = 0; i < kSpeedSamples; ++i) {
            item->sampleTimes[i] = now;
            item->sampleTotals[i] = item->totalSent;
        }
    }
    LeaveCriticalSection(&lock_);
}

void FileHandler::endTransfer(DWORD id) {
    EnterCriticalSection(&lock_);
    SharedItem* item = findLocked(id);
    if (item && item->activeTransfers)
        --item->activeTransfers;
    LeaveCriticalSection(&lock_);
}

void FileHandler::addSent(DWORD id, LONGLONG bytes) {
    EnterCriticalSection(&lock_);
    SharedItem* item = findLocked(id);
    if (item)
        item->totalSent += bytes;
    LeaveCriticalSection(&lock_);
    if (item)
        statusUpdate(id, false);
}

void FileHandler::setSent(DWORD id, LONGLONG total) {
    EnterCriticalSection(&lock_);
    SharedItem* item = findLocked(id);
    if (item)
        item->totalSent = total;
    LeaveCriticalSection(&lock_);
    if (item)
        statusUpdate(id, true);
}

void FileHandler::refreshActive() {
    DWORD* ids = nullptr;
    size_t n = 0;
    EnterCriticalSection(&lock_);
    if (count_)
        ids = new (std::nothrow) DWORD[count_];
    for (size_t i = 0; ids && i < count_; ++i) {
        if (items_[i]->activeTransfers)
            ids[n++] = items_[i]->id;
    }
    LeaveCriticalSection(&lock_);
    for (size_t i = 0; i < n; ++i)
        statusUpdate(ids[i], false);
    delete[] ids;
}

// ---- Share list ---------------------------------------------------------------------------

bool FileHandler::serializeList(wchar_t** text, DWORD* length) {
    *text = nullptr;
    *length = 0;
    EnterCriticalSection(&lock_);
    size_t count = count_;
    SharedItem** copies = count ? new (std::nothrow) SharedItem*[count]() : nullptr;
    bool ok = !count || copies;
    for (size_t i = 0; ok && i < count; ++i) {
        copies[i] = items_[i]->copy();
        ok = copies[i] != nullptr;
    }
    LeaveCriticalSection(&lock_);

    ShareListEntry* entries = ok && count ? new (std::nothrow) ShareListEntry[count] : nullptr;
    if (entries) {
        for (size_t i = 0; i < count; ++i)
            entries[i] = {copies[i]->path, copies[i]->pathLength, copies[i]->totalSent};
        size_t units = shareListLength(entries, count);
        char16_t* out = new (std::nothrow) char16_t[units];
        if (out && encodeShareList(entries, count, out, units) == units) {
            *text = reinterpret_cast<wchar_t*>(out);
            *length = static_cast<DWORD>(units);
        } else {
            delete[] out;
            ok = false;
        }
    } else if (count) {
        ok = false;
    }
    delete[] entries;
    for (size_t i = 0; copies && i < count; ++i)
        delete copies[i];
    delete[] copies;
    return ok;
}

void FileHandler::loadList(const wchar_t* text, DWORD length) {
    ShareListReader reader(u16(text), length);
    const char16_t* path;
    size_t pathLength;
    bool hasTotal;
    int64_t total;
    while (reader.next(&path, &pathLength, &hasTotal, &total)) {
        DWORD id = addFile(w(path), static_cast<DWORD>(pathLength), true);
        if (id && hasTotal)
            setSent(id, total);
    }
}

// ---- Request resolution -------------------------------------------------------------------

FileEntry* FileHandler::tableEntry(const IndexRow* rows, size_t count,
                                   const wchar_t* requestPath, DWORD requestLength,
                                   bool rootPage) {
    IndexOptions options;
    PageSwitches switches = settings_->pageSwitches();
    options.useIcons = switches.useIcons;
    options.allowUploads = switches.allowUploads;
    options.swfUpload = switches.swfUpload;
    options.requirePassword = switches.requirePassword;
    wchar_t user[kUserNameReadUnits + 1];
    DWORD userLength = settings_->copyUserName(user, kUserNameReadUnits + 1);
    char owner[kTableOwnerCapacity];
    options.owner = owner;
    options.ownerLength = htmlDisplayName(u16(user), userLength, owner, sizeof owner);

    size_t length = buildIndexTable(rows, count, u16(requestPath), requestLength, rootPage,
                                    options, nullptr, 0);
    FileEntry* entry = new (std::nothrow) FileEntry;
    char* table = new (std::nothrow) char[length + 1];
    if (!entry || !table) {
        delete entry;
        delete[] table;
        return nullptr;
    }
    buildIndexTable(rows, count, u16(requestPath), requestLength, rootPage, options, table,
                    length);
    entry->kind = EntryIndexTable;
    entry->content = table;
    entry->contentLength = static_cast<DWORD>(length);
    entry->size = static_cast<LONGLONG>(length);
    formatDecimal(entry->size, entry->sizeText, 32);
    return entry;
}

namespace {

// One listed name with the attributes the enumeration gave for its row.
struct ListedName {
    wchar_t* name;
    DWORD length;
    bool folder;
    int64_t size;
};

void freeNames(ListedName* names, size_t count) {
    for (size_t i = 0; i < count; ++i)
        delete[] names[i].name;
    delete[] names;
}

// folder + "\" + name; a folder that already ends in "\" (a drive root) gets none added.
wchar_t* joinName(const wchar_t* folder, DWORD folderLength, const wchar_t* name,
                  DWORD nameLength) {
    bool slash = folderLength && folder[folderLength - 1] != L'\\';
    wchar_t* full = new (std::nothrow) wchar_t[folderLength + nameLength + 2];
    if (!full)
        return nullptr;
    memcpy(full, folder, folderLength * sizeof(wchar_t));
    DWORD n = folderLength;
    if (slash)
        full[n++] = L'\\';
    memcpy(full + n, name, nameLength * sizeof(wchar_t));
    full[n + nameLength] = 0;
    return full;
}

}  // namespace

FileEntry* FileHandler::buildIndex(const wchar_t* folderPath, DWORD length,
                                   const wchar_t* requestPath, DWORD requestLength,
                                   bool rootPage) {
    wchar_t* pattern = joinName(folderPath, length, L"*", 1);
    if (!pattern)
        return nullptr;
    WIN32_FIND_DATAW found;
    // No short names (the listing never shows them) and larger batches per directory read.
    HANDLE search = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH);
    delete[] pattern;
    if (search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"FileHandler::buildIndex", L"FindFirstFile", error);
        return nullptr;
    }
    ListedName* names = nullptr;
    size_t count = 0, capacity = 0;
    bool ok = true;
    do {
        DWORD n = static_cast<DWORD>(boundedLength(u16(found.cFileName), MAX_PATH));
        if (hiddenFromListing(u16(found.cFileName), n))
            continue;
        if (count == capacity) {
            size_t grown = capacity * 2 + 16;
            ListedName* bigger = new (std::nothrow) ListedName[grown];
            if (!bigger) {
                ok = false;
                break;
            }
            if (count)
                memcpy(bigger, names, count * sizeof *names);
            delete[] names;
            names = bigger;
            capacity = grown;
        }
        wchar_t* copy = new (std::nothrow) wchar_t[n + 1];
        if (!copy) {
            ok = false;
            break;
        }
        memcpy(copy, found.cFileName, n * sizeof(wchar_t));
        copy[n] = 0;
        // The search already read each entry's attributes: asking again per row by path
        // cost a name lookup each, the larger part of an index page's time.
        bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        int64_t size = static_cast<int64_t>((static_cast<ULONGLONG>(found.nFileSizeHigh) << 32) |
                                            found.nFileSizeLow);
        names[count++] = {copy, n, folder, size};
    } while (FindNextFileW(search, &found));
    if (ok) {
        DWORD error = GetLastError();
        if (error != ERROR_NO_MORE_FILES)
            LOG_ERROR(log_, L"FileHandler::buildIndex", L"FindNextFile", error);
    }
    if (!FindClose(search)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"FileHandler::buildIndex", L"FindClose", error);
    }
    if (!ok) {
        freeNames(names, count);
        return nullptr;
    }

    IndexRow* rows = count ? new (std::nothrow) IndexRow[count] : nullptr;
    if (count && !rows) {
        freeNames(names, count);
        return nullptr;
    }
    size_t used = 0;
    for (size_t i = 0; i < count; ++i)
        rows[used++] = {u16(names[i].name), names[i].length, names[i].folder, names[i].folder, names[i].size};
    FileEntry* entry = tableEntry(rows, used, requestPath, requestLength, rootPage);
    if (entry)
        entry->offersArchive = true;
    delete[] rows;
    freeNames(names, count);
    return entry;
}

// The root index of all shared items, in their stored order.
FileEntry* FileHandler::rootIndex() {
    EnterCriticalSection(&lock_);
    size_t count = count_;
    SharedItem** copies = count ? new (std::nothrow) SharedItem*[count]() : nullptr;
    bool ok = !count || copies;
    for (size_t i = 0; ok && i < count; ++i) {
        copies[i] = items_[i]->copy();
        ok = copies[i] != nullptr;
    }
    LeaveCriticalSection(&lock_);

    FileEntry* entry = nullptr;
    IndexRow* rows = ok && count ? new (std::nothrow) IndexRow[count] : nullptr;
    if (ok && (rows || !count)) {
        size_t used = 0;
        for (size_t i = 0; i < count; ++i) {
            WIN32_FILE_ATTRIBUTE_DATA data;
            if (!GetFileAttributesExW(w(copies[i]->path), GetFileExInfoStandard, &data)) {
                DWORD error = GetLastError();
                LOG_ERROR(log_, L"FileHandler::buildIndex", L"GetFileAttributesEx", error);
                continue;
            }
            bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            rows[used++] = {copies[i]->name, copies[i]->nameLength, folder, false,
                            static_cast<int64_t>(
                                (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) |
                                data.nFileSizeLow)};
        }
        entry = tableEntry(rows, used, L"/", 1, true);
    }
    delete[] rows;
    for (size_t i = 0; copies && i < count; ++i)
        delete copies[i];
    delete[] copies;
    return entry;
}

// A folder to be sent as one archive: its path, and its name for the download's file name
// (a drive root's is its letter).
FileEntry* FileHandler::archiveEntry(const wchar_t* folderPath, DWORD length) {
    FileEntry* entry = new (std::nothrow) FileEntry;
    wchar_t* path = new (std::nothrow) wchar_t[length + 1];
    wchar_t* name = new (std::nothrow) wchar_t[length + 2];
    if (!entry || !path || !name) {
        delete entry;
        delete[] path;
        delete[] name;
        return nullptr;
    }
    memcpy(path, folderPath, length * sizeof(wchar_t));
    path[length] = 0;
    size_t nameLength = makeItemName(u16(path), length, true, u16(name));
    if (nameLength && name[nameLength - 1] == L'/')
        name[--nameLength] = 0;
    entry->kind = EntryFolderArchive;
    entry->mimeType = "application/zip";
    entry->path = path;
    entry->pathLength = length;
    entry->name = name;
    entry->nameLength = static_cast<DWORD>(nameLength);
    return entry;
}

FileEntry* FileHandler::loadEntry(const wchar_t* path, DWORD length, const wchar_t* requestPath,
                                  DWORD requestLength, bool archive) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND)
            LOG_ERROR(log_, L"FileHandler::loadEntry", L"GetFileAttributesEx", error);
        return nullptr;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return archive ? archiveEntry(path, length) : buildIndex(path, length, requestPath, requestLength, false);

    EnterCriticalSection(&lock_);
    HANDLE port = port_;
    LeaveCriticalSection(&lock_);
    if (!port) {
        // Without the engine's port the association would create a new port instead.
        LOG_ERROR_TEXT(log_, L"FileHandler::loadEntry", L"no completion port set");
        return nullptr;
    }
    // Unbuffered and overlapped: a worker never blocks on the disk; the connection reads
    // into sector-aligned buffers.
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"FileHandler::loadEntry", L"CreateFile", error);
        return nullptr;
    }
    if (!CreateIoCompletionPort(file, port, 0, 0)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"FileHandler::loadEntry", L"CreateIoCompletionPort", error);
        if (!CloseHandle(file)) {
            error = GetLastError();
            LOG_ERROR(log_, L"FileHandler::loadEntry", L"CloseHandle", error);
        }
        return nullptr;
    }
    FileEntry* entry = new (std::nothrow) FileEntry;
    size_t start = lastComponentStart(u16(path), length);
    DWORD nameLength = length - static_cast<DWORD>(start);
    wchar_t* name = new (std::nothrow) wchar_t[nameLength + 1];
    if (!entry || !name) {
        delete[] name;
        delete entry;
        CloseHandle(file);
        return nullptr;
    }
    memcpy(name, path + start, nameLength * sizeof(wchar_t));
    name[nameLength] = 0;
    entry->name = name;
    entry->nameLength = nameLength;
    entry->kind = EntryOpenFile;
    entry->fileHandle = file;
    entry->size = static_cast<LONGLONG>(
        (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    formatDecimal(entry->size, entry->sizeText, kEntrySizeTextCapacity);
    SYSTEMTIME written;
    if (FileTimeToSystemTime(&data.ftLastWriteTime, &written)) {
        httpDateOf(written, entry->dateText);
    } else {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"FileHandler::loadEntry", L"FileTimeToSystemTime", error);
    }
    entry->mimeType = fileTypeOf(u16(name), nameLength).mimeType;
    return entry;
}

// The built-in content named by path, tried after the shared items missed.
FileEntry* FileHandler::builtinEntry(const wchar_t* path, DWORD length,
                                     const SharedItem* matched, bool archive) {
    PageSwitches switches = settings_->pageSwitches();
    bool allowUploads = switches.allowUploads;
    bool swfUpload = switches.swfUpload;
    size_t asset = 0;
    BuiltinMatch match = matchBuiltin(u16(path), length, allowUploads, swfUpload, &asset);
    switch (match) {
    case BuiltinMatch::None:
        return nullptr;
    case BuiltinMatch::Asset: {
        if (asset >= builtinCount_)
            return nullptr;
        const FileEntry& b = builtins_[asset];
        FileEntry* e = new (std::nothrow) FileEntry;
        if (!e)
            return nullptr;
        e->kind = b.kind;
        e->mimeType = b.mimeType;
        e->size = b.size;
        memcpy(e->sizeText, b.sizeText, sizeof e->sizeText);
        memcpy(e->dateText, b.dateText, sizeof e->dateText);
        e->content = b.content;
        e->contentLength = b.contentLength;
        e->ownsContent = false;
        return e;
    }
    case BuiltinMatch::FormPage:
    case BuiltinMatch::SwfPage: {
        wchar_t user[kUserNameReadUnits + 1];
        DWORD userLength = settings_->copyUserName(user, kUserNameReadUnits + 1);
        size_t capacity =
            match == BuiltinMatch::FormPage ? kSendFormPageCapacity : kSendSwfPageCapacity;
        FileEntry* e = new (std::nothrow) FileEntry;
        char* page = new (std::nothrow) char[capacity];
        if (!e || !page) {
            delete e;
            delete[] page;
            return nullptr;
        }
        size_t n = match == BuiltinMatch::FormPage
                       ? buildSendFormPage(u16(user), userLength, page, capacity)
                       : buildSendSwfPage(u16(user), userLength, page, capacity);
        e->kind = EntryPage;
        e->mimeType = "text/html";
        e->content = page;
        e->contentLength = static_cast<DWORD>(n);
        e->size = static_cast<LONGLONG>(n);
        formatDecimal(e->size, e->sizeText, kEntrySizeTextCapacity);
        return e;
    }
    case BuiltinMatch::RootIndex:
        if (matched && archive)
            return archiveEntry(w(matched->path), static_cast<DWORD>(matched->pathLength));
        if (matched) {
            return buildIndex(w(matched->path), static_cast<DWORD>(matched->pathLength), path,
                              length, true);
        }
        return rootIndex();
    }
    return nullptr;
}

FileEntry* FileHandler::getEntry(const wchar_t* path, DWORD length, bool archive) {
    if (!path)
        return nullptr;
    // Read before the registry lock is taken: the settings lock is never held with another.
    bool singleDirIsRoot = settings_->singleDirIsRoot();

    EnterCriticalSection(&lock_);
    RequestResolution r;
    if (!resolveRequestPath(u16(path), length, items_, count_, singleDirIsRoot, namesEqual, &r)) {
        LeaveCriticalSection(&lock_);
        return nullptr;
    }
    SharedItem* matched = nullptr;
    if (r.singleFolderRoot || r.matched >= 0)
        matched = items_[r.matched >= 0 ? r.matched : 0]->copy();
    LeaveCriticalSection(&lock_);

    FileEntry* entry = nullptr;
    DWORD itemId = 0;
    if (r.siteRoot) {
        if (!r.singleFolderRoot || !matched)
            entry = rootIndex();
        else if (archive)
            entry = archiveEntry(w(matched->path), static_cast<DWORD>(matched->pathLength));
        else
            entry = buildIndex(w(matched->path), static_cast<DWORD>(matched->pathLength), path, length, true);
    } else {
        if (matched) {
            itemId = matched->id;
            wchar_t* full =
                new (std::nothrow) wchar_t[matched->pathLength + r.remainderLength + 2];
            if (full) {
                DWORD n = static_cast<DWORD>(joinItemPath(matched->path, matched->pathLength,
                                                          r.remainder, r.remainderLength,
                                                          u16(full)));
                entry = loadEntry(full, n, path, length, archive);
                delete[] full;
            }
        }
        if (!entry)
            entry = builtinEntry(path, length, matched, archive);
    }
    delete matched;
    if (entry) {
        entry->itemId = itemId;
        beginTransfer(itemId);
    }
    return entry;
}
