// The downloads list: every DownloadEntry in creation order with its id, the dispatch of the
// engine objects' messages (WM_USER+9..13) to entry operations, the saved "DownloadsList"
// registry value, and the periodic save. A window (the future downloads view, or the headless
// host) forwards its messages here and watches the entries through DownloadsObserver.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "DownloadEntry.h"

class Log;
class Server;
class ReceivedCounter;
struct HeadRecord;

class DownloadsObserver {
public:
    virtual void entryAdded(DownloadEntry* entry) = 0;
    virtual void statusChanged(DownloadEntry* entry) = 0;
    virtual void entryCompleted(DownloadEntry* entry) = 0;
    // Stopped with an error (after the list was saved).
    virtual void entryFailed(DownloadEntry* entry) = 0;
    // The server wants a login: a window asks for it (clearing the entry's error first).
    virtual void credentialsNeeded(DownloadEntry* entry) = 0;
    virtual void entryRemoved(DWORD entryId) = 0;

protected:
    ~DownloadsObserver() {}
};

// The download folder: "DownloadsDirectory" under HKCU\Software\WexaShare, else the desktop.
bool loadDownloadFolder(Log* log, std::wstring* folder);

class DownloadsList final : private EntryListener {
public:
    static const UINT_PTR kSaveTimer = 1003;
    static const UINT kSaveMilliseconds = 5000;
    // Looks for stalled requests, connections and downloads (StallLimits).
    static const UINT_PTR kWatchTimer = 1004;
    static const UINT kWatchMilliseconds = 1000;

    DownloadsList(Log* log, Server* server, HWND window, DownloadsObserver* observer, ReceivedCounter* counter,
                  const StallLimits& limits = StallLimits());
    // Destroys every entry (an entry being removed with its file deletes it then).
    ~DownloadsList();
    DownloadsList(const DownloadsList&) = delete;
    DownloadsList& operator=(const DownloadsList&) = delete;

    void setFolder(const std::wstring& folder) { folder_ = folder; }
    const std::wstring& folder() const { return folder_; }

    // A typed URL (percent-decoded first); null when it does not parse. Started at once.
    DownloadEntry* addDownload(const wchar_t* url, size_t length, int connections, const char* user,
                               const char* password);
    // The two halves of addDownload, for a window that asks where to save in between: an entry
    // that is not listed yet (null when the URL does not parse; the caller deletes it if it is
    // not started), then listing and starting it.
    DownloadEntry* prepareDownload(const wchar_t* url, size_t length);
    void startDownload(DownloadEntry* entry, int connections);
    DownloadEntry* find(DWORD entryId);
    size_t size() const { return entries_.size(); }
    DownloadEntry* at(size_t index) { return entries_[index].entry; }
    bool allComplete() const;

    void pause(DWORD entryId);
    void resume(DWORD entryId);
    void setConnections(DWORD entryId, int count);
    // Removes the entry, deleting its partial file unless told not to; it goes when its last
    // connection has ended.
    void remove(DWORD entryId, bool deleteFile = true);
    // A new URL for the same file: paused first when running, resumed when the URL parses.
    bool changeUrl(DWORD entryId, const wchar_t* url, size_t length);
    // The login typed for a server that asked for one; a stopped entry is resumed with it.
    void giveCredentials(DWORD entryId, const char* user, const char* password);
    // The automatic retry: every entry with its error flag has it cleared, and a resumable one
    // that is stopped is resumed. Answers how many were resumed.
    int retryFailed();

    // Every message of the engine's objects and the save timer; true when it was one of them.
    bool handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // From now on (the engine is stopping) messages only have their records freed: no entry
    // may start new work that the stopping engine would refuse.
    void stopDispatch() { dispatching_ = false; }

    // flushNow: every file with newly completed ranges is flushed first, however recently it
    // was (at exit, once every write has completed).
    void saveDownloads(bool flushNow = false);
    void readDownloads();

private:
    struct Item {
        DownloadEntry* entry;
        bool reportedComplete;
        bool reportedFailed;
    };

    void entryStatusChanged(DownloadEntry* entry) override;
    void togglePause(DownloadEntry* entry);
    DownloadEntry* append();
    void startEntry(DownloadEntry* entry, bool advance);
    // Tells the observer of completion and failure once each, saving the list first.
    void review(DownloadEntry* entry);
    void destroyEntry(DWORD entryId);
    void onAddress(DWORD entryId, DWORD address);
    void onHead(DWORD entryId, HeadRecord* record);
    void onHeadEnded(DWORD requestId);
    void onTransferEnded(DWORD connectionId);
    void checkStalls();

    Log* log_;
    Server* server_;
    HWND window_;
    DownloadsObserver* observer_;
    ReceivedCounter* counter_;
    std::wstring folder_;
    std::vector<Item> entries_;
    DWORD nextId_ = 1;
    StallLimits limits_;
    bool changed_ = false;
    bool timerSet_ = false;
    bool watchSet_ = false;
    bool dispatching_ = true;
};
