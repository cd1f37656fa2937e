// The registry of shared files and folders: unique URL names kept in name order, the
// resolution of request paths into FileEntry answers (opened files, index pages, built-in
// content), per-item transfer statistics, and the records posted to the Share tab.
#pragma once
#include <windows.h>

#include "FileHandlerItem.h"
#include "ServerSettings.h"
#include "TextHelpers.h"

class Log;

// Window messages the Share tab's file panel receives (lParam is the owned record).
constexpr UINT WM_SHARE_ITEM_ADDED = WM_USER + 8;     // ItemInfo, wParam = item id
constexpr UINT WM_SHARE_ITEM_REMOVED = WM_USER + 9;   // ItemInfo without details
constexpr UINT WM_SHARE_ITEM_STATUS = WM_USER + 34;   // ItemStatus

enum EntryKind : DWORD {
    EntryFolder = 1,
    EntryFile = 2,
    EntryOpened = 4,
    EntryOpenFile = EntryFile | EntryOpened,
    EntryBuiltin = 10,
    EntryIndexTable = 13,   // framed by the connection (indexPagePieces)
    EntryPage = 14,         // followed by the connection's address footer
    EntryFolderArchive = 15,   // a folder asked for as one zip archive (FolderZip)
};

constexpr size_t kEntrySizeTextCapacity = 36;

// The answer to one request; owned by the connection that asked, which deletes it.
struct FileEntry {
    DWORD itemId = 0;                 // the matched shared item, 0 for none
    wchar_t* name = nullptr;          // last path component (files only), owned
    DWORD nameLength = 0;
    char dateText[kHttpDateCapacity] = {};         // "Last-Modified"
    char sizeText[kEntrySizeTextCapacity] = {};    // "Content-Length"
    const char* mimeType = "application/octet-stream";
    DWORD kind = 0;
    LONGLONG size = 0;
    HANDLE fileHandle = INVALID_HANDLE_VALUE;      // overlapped, unbuffered, on the engine's port
    char* content = nullptr;          // kinds 10, 13, 14
    DWORD contentLength = 0;
    bool ownsContent = true;          // built-in assets point at static bytes
    bool offersArchive = false;       // a folder's index table: its page links the folder's zip
    wchar_t* path = nullptr;          // the folder of an archive entry, owned
    DWORD pathLength = 0;

    FileEntry() = default;
    ~FileEntry();
    FileEntry(const FileEntry&) = delete;
    FileEntry& operator=(const FileEntry&) = delete;
};

// Posted with WM_SHARE_ITEM_ADDED / WM_SHARE_ITEM_REMOVED; the receiver deletes it.
struct ItemInfo {
    DWORD id = 0;
    wchar_t* name = nullptr;
    DWORD nameLength = 0;
    wchar_t* path = nullptr;
    DWORD pathLength = 0;
    wchar_t details[100] = {};   // "Directory", a size text, or "*Error" (added only)
    DWORD iconClass = 0;         // IconClass of FileHandlerPaths.h

    ItemInfo() = default;
    ~ItemInfo() {
        delete[] name;
        delete[] path;
    }
    ItemInfo(const ItemInfo&) = delete;
    ItemInfo& operator=(const ItemInfo&) = delete;
};

// Posted with WM_SHARE_ITEM_STATUS; the receiver deletes it.
struct ItemStatus {
    DWORD id;
    LONGLONG totalSent;
    LONGLONG speed;   // bytes per second
};

class FileHandler {
public:
    // settings outlives the handler; it is read on worker threads.
    FileHandler(Log* log, const ServerSettings* settings);
    ~FileHandler();
    FileHandler(const FileHandler&) = delete;
    FileHandler& operator=(const FileHandler&) = delete;

    // The engine's port: every file opened for a request is associated with it (key 0).
    void setCompletionPort(HANDLE port);
    // The Share tab's file panel and its three message numbers; window 0 posts nothing.
    void setNotify(HWND window, UINT addedMessage, UINT removedMessage, UINT statusMessage);

    // Adds a file or folder; 0 when the path is shorter than 3 units or the name is taken.
    DWORD addFile(const wchar_t* path, DWORD length, bool quiet);
    bool removeFile(DWORD id);
    void removeAll();

    // Worker threads: the decoded request path (UTF-16, starting with "/") to an entry, or
    // null (404). With archive, a path that would list a folder gives the folder's archive
    // entry instead; every other path resolves as without.
    FileEntry* getEntry(const wchar_t* path, DWORD length, bool archive = false);
    // A file-system path to an opened file or a sub-folder listing (or archive); requestPath
    // feeds the listing's "Up one level" link.
    FileEntry* loadEntry(const wchar_t* path, DWORD length, const wchar_t* requestPath,
                         DWORD requestLength, bool archive = false);
    // The listing of a folder as a kind-13 table; null when it cannot be enumerated.
    FileEntry* buildIndex(const wchar_t* folderPath, DWORD length, const wchar_t* requestPath,
                          DWORD requestLength, bool rootPage);

    void beginTransfer(DWORD id);
    void endTransfer(DWORD id);
    void addSent(DWORD id, LONGLONG bytes);
    void setSent(DWORD id, LONGLONG total);
    void refreshActive();
    void statusUpdate(DWORD id, bool force);

    // A deep copy made under the lock (delete it), or null.
    SharedItem* getItemCopy(DWORD id);
    DWORD itemCount();

    // The "ShareList" text (delete[]); an empty share gives null and length 0. False only
    // when memory runs out.
    bool serializeList(wchar_t** text, DWORD* length);
    // Adds each stored path (quietly) and restores its total; malformed text adds nothing.
    void loadList(const wchar_t* text, DWORD length);

    ItemInfo* makeInfo(const SharedItem& item, bool withDetails);

private:
    bool insertSorted(SharedItem* item);
    void delFile(SharedItem* item);
    SharedItem* findLocked(DWORD id);
    FileEntry* rootIndex();
    FileEntry* builtinEntry(const wchar_t* path, DWORD length, const SharedItem* matched, bool archive);
    FileEntry* archiveEntry(const wchar_t* folderPath, DWORD length);
    FileEntry* tableEntry(const struct IndexRow* rows, size_t count, const wchar_t* requestPath,
                          DWORD requestLength, bool rootPage);
    bool post(UINT message, WPARAM wParam, void* record, const wchar_t* function);
    static LONGLONG nowMilliseconds();

    Log* log_;
    const ServerSettings* settings_;
    HANDLE port_ = nullptr;
    HWND notifyWindow_ = nullptr;
    UINT addedMessage_ = WM_SHARE_ITEM_ADDED;
    UINT removedMessage_ = WM_SHARE_ITEM_REMOVED;
    UINT statusMessage_ = WM_SHARE_ITEM_STATUS;
    DWORD nextId_ = 1;
    CRITICAL_SECTION lock_;   // the item list, the id counter, every item's statistics
    FileEntry* builtins_ = nullptr;   // one per built-in asset, read-only after construction
    size_t builtinCount_ = 0;
    SharedItem** items_ = nullptr;    // sorted by name, case-insensitively
    size_t count_ = 0;
    size_t capacity_ = 0;
};
