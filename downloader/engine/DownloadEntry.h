// One download: its URL and where it points, the local file, the missing byte ranges, the
// transfer connections working on it and one status text. doStep drives it through its steps
// (resolve, header, open, transfer, complete); every operation runs on the thread of the window
// that receives the engine objects' messages. Only the range list is shared with workers.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ByteRangeList.h"
#include "DownloadMessages.h"

class Log;
class Server;
class ReceivedCounter;
class DownloadEntry;
struct DownloadRecord;

// The status texts, exactly as the window shows them.
namespace EntryStatus {
extern const wchar_t kIdle[];
extern const wchar_t kResolving[];
extern const wchar_t kResolveStartFailed[];
extern const wchar_t kResolveFailed[];
extern const wchar_t kResolved[];
extern const wchar_t kRequestingHeader[];
extern const wchar_t kHeaderStartFailed[];
extern const wchar_t kNoFileInfo[];
extern const wchar_t kHeaderRead[];
extern const wchar_t kDownloading[];
extern const wchar_t kDownloadingNoResume[];
extern const wchar_t kOpenFailed[];
extern const wchar_t kResumeOpenFailed[];
extern const wchar_t kModified[];
extern const wchar_t kZeroSize[];
extern const wchar_t kNotFound[];
extern const wchar_t kPasswordProtected[];
extern const wchar_t kMoved[];
extern const wchar_t kMovedUnusable[];
extern const wchar_t kInvalidHeader[];
extern const wchar_t kPaused[];
extern const wchar_t kSecureUntrusted[];
extern const wchar_t kSecureWrongName[];
extern const wchar_t kSecureExpired[];
extern const wchar_t kSecureFailed[];
extern const wchar_t kComplete[];
extern const wchar_t kStalled[];
extern const wchar_t kDiskFull[];
extern const wchar_t kTooManyMoves[];
}  // namespace EntryStatus

// Told of every status change (the downloads list, which tells its observer).
class EntryListener {
public:
    virtual void entryStatusChanged(DownloadEntry* entry) = 0;

protected:
    ~EntryListener() {}
};

struct ConnectionSlot {
    DWORD connectionId;
    int64_t rangeStart;
    int64_t rangeEnd;
    int64_t position;
    bool asked;     // told to terminate by the entry (pause, fewer connections, failure)
    TransferEnd end;  // how it ended, from its last progress report
    DWORD lastMoved;  // tick of its start or of its last progress
    bool timedOut;    // ended by the entry for receiving nothing
};

// How long a download waits for a server that has gone quiet, in milliseconds. The window
// program uses these; the console host may shorten them for tests.
struct StallLimits {
    DWORD transfer = 60000;   // a transfer connection that received nothing
    DWORD header = 30000;     // a header request without its head
    DWORD download = 120000;  // a download none of whose connections wrote a byte
};

// What an entry needs from the program around it.
struct EntryContext {
    Log* log;
    HWND window;                // receives the engine objects' messages
    Server* server;
    const std::wstring* folder;  // the download folder, read when a name is chosen
    EntryListener* listener;
    ReceivedCounter* counter;
};

class DownloadEntry {
public:
    static const int kMaxConnections = 50;
    // Moves followed in a row before the download fails.
    static const int kMaxMoves = 10;

    DownloadEntry(const EntryContext& context, DWORD entryId);
    ~DownloadEntry();
    DownloadEntry(const DownloadEntry&) = delete;
    DownloadEntry& operator=(const DownloadEntry&) = delete;

    bool setUrl(const wchar_t* text, size_t length);
    void setLocalPath(const wchar_t* text, size_t length, bool overwrite);
    // Takes size, ranges, resume flag, connections and credentials of a saved record; false
    // when its URL does not parse.
    bool restore(const DownloadRecord& record);
    // The record saveDownloads writes for this entry: its ranges never claim bytes written
    // after the last flush.
    void fillRecord(DownloadRecord* record);
    // Before a save: flushes the file when ranges were completed since the last flush, at most
    // every kFlushMilliseconds unless forced, so that the saved list claims only bytes on disk.
    void flushForSave(DWORD now, bool force);
    static const DWORD kFlushMilliseconds = 5000;

    bool doStep();
    bool handleAddress(DWORD address);
    // head null: the header request ended without a reply.
    bool handleHeader(const char* head, size_t length);
    // The header request's secure connection was refused: the entry fails with its reason.
    void handleSecureFailure(TlsFailure why);
    bool openFile();
    void addDownloaders();
    void addProgress(DWORD connectionId, int32_t bytes, TransferEnd end = TransferEnd::kRunning);
    // Ends what has waited too long (now: GetTickCount): a silent transfer connection (its range
    // stays missing), a header request without a head, and a download that stopped moving.
    void checkStalls(DWORD now, const StallLimits& limits);
    bool connectionEnded(DWORD connectionId);
    bool hasConnection(DWORD connectionId) const;
    void togglePause();
    void failDownload();
    bool beginRemove(bool deleteFileOnDestroy);
    void setConnections(int count);
    bool changeUrl(const wchar_t* text, size_t length);
    void setCredentials(const char* user, const char* password);
    bool deleteFile();

    int percentDone();
    int64_t bytesDone();
    const wchar_t* rateText();
    const wchar_t* timeRemainingText();

    DWORD id() const { return id_; }
    const wchar_t* status() const { return status_; }
    const std::wstring& url() const { return url_; }
    const std::wstring& localPath() const { return localPath_; }
    const std::wstring& fileName() const { return fileName_; }
    // The running connections in the order they were started, for display.
    const std::vector<ConnectionSlot>& slots() const { return slots_; }
    // Snapshots taken under the range list's lock: the missing ranges and the size they refer to.
    std::vector<ByteRange> missingRanges() { return ranges_.copyRanges(); }
    int64_t rangeSize() { return ranges_.size(); }
    DWORD headerRequestId() const { return headerRequestId_; }
    bool isComplete() const { return complete_; }
    bool isFileOpen() const { return fileOpen_; }
    // Waiting for the resolver's answer (a second answer, from a resolver started before a
    // pause, is then no longer awaited).
    bool isResolving() const { return resolving_; }
    bool isStopped() const { return stopped_; }
    bool hasError() const { return error_; }
    void clearError() { error_ = false; }
    bool isRemoving() const { return removing_; }
    bool passwordNeeded() const { return passwordNeeded_; }
    bool isResumable() const { return resumable_; }
    bool isSecure() const { return secure_; }
    WORD port() const { return port_; }
    int connectionCount() const { return static_cast<int>(slots_.size()); }
    int wantedConnections() const { return wanted_; }

private:
    void setStatus(const wchar_t* text);
    bool parseUrl(const wchar_t* text, size_t length, bool takeName);
    void useFolderName(const std::wstring& name);
    void terminateConnections();
    // A connection ended by itself: decide what the next one needs.
    void judgeEnd(const ConnectionSlot& slot);
    void closeFile(const wchar_t* function);
    // Gives the just created or opened file its port and its full length; false (logged, the
    // error in openError_) when it cannot be used.
    bool prepareFile();
    std::string hostText();
    bool checkSize(int64_t length);  // the answer's size, -1 when it gave none
    void failHeader();
    // A redirect: takes its location as the new URL; false (failed) when it is unusable.
    bool followMove(const char* bytes, size_t length);
    // The credentials when the current host and port are the ones they were given for.
    const char* credentialsForHost() const;

    Log* log_;
    HWND window_;
    Server* server_;
    const std::wstring* folder_;
    EntryListener* listener_;
    ReceivedCounter* counter_;
    const wchar_t* status_;
    std::wstring url_, host_, path_, fileName_, localPath_;
    DWORD address_ = INADDR_NONE;
    WORD port_ = 80;
    bool secure_ = false;   // "https": every connection of the entry talks TLS
    bool resolved_ = false;
    bool resolving_ = false;
    ByteRangeList ranges_;
    int64_t size_ = 0;
    bool headerRead_ = false;
    bool headerReceived_ = false;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    bool fileOpen_ = false;
    bool resumeFile_ = false;
    DWORD openError_ = 0;
    // The missing ranges as they were at the last flush of the open file (empty: none yet;
    // a lone empty range: nothing was missing), their byte count, and when it was.
    std::vector<ByteRange> flushed_;
    int64_t flushedMissing_ = -1;
    DWORD lastFlush_ = 0;
    bool flushedOnce_ = false;   // why the last openFile failed, 0 when not said
    bool overwrite_ = false;
    std::vector<ConnectionSlot> slots_;
    int wanted_ = 1;
    DWORD headerRequestId_ = 0;
    bool headerPending_ = false;   // the current header request has not answered yet
    DWORD headerStarted_ = 0;
    // The missing bytes when last looked at, and since when they have not changed.
    int64_t lastMissing_ = -1;
    DWORD lastMoved_ = 0;
    bool stopped_ = false;
    bool removing_ = false;
    bool deleteOnDestroy_ = false;
    bool error_ = false;
    int64_t bytesReceived_ = 0;
    bool complete_ = false;
    wchar_t rateText_[64] = {};
    wchar_t remainingText_[67] = {};
    LARGE_INTEGER frequency_;
    LONGLONG sampleTimes_[8];
    int64_t sampleBytes_[8];
    int64_t speed_ = 0;
    bool resumable_ = false;
    int savedConnections_ = 1;
    std::string credentials_;
    std::wstring credentialsHost_;
    WORD credentialsPort_ = 80;
    bool credentialsSecure_ = false;
    int moves_ = 0;   // moves followed since the last usable head
    bool passwordNeeded_ = false;
    // Every connection ended without a usable head: ask the server again before starting more.
    bool recheck_ = false;
    // Connections that ended without a usable head while others ran, since the last that got
    // one; from the second on, the server is taken to allow no more than are running (cap_),
    // and each connection that gets a head allows one more again.
    int failedStreak_ = 0;
    int cap_ = kMaxConnections;
    DWORD id_;
};
