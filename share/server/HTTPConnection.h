// One accepted client of the share server: reads one request head, answers it from the
// shared-file registry (file, range, index page, built-in content, 404, 401) and closes.
// File data streams through two slots holding buffers of the shared pool (TransferBuffers),
// each sized to what is left of the body: one read and one send in flight. A POST receives
// one file into the uploads folder through two such buffers (HTTPConnectionUpload.cpp).
#pragma once
#include <winsock2.h>
#include <windows.h>

#include "ConnectionWatch.h"
#include "HttpRequest.h"
#include "IndexPage.h"
#include "ServerObject.h"
#include "TextHelpers.h"
#include "TransferBuffers.h"
#include "UploadParts.h"

class FileHandler;
class FolderZip;
class ServerSettings;
class TrafficCounters;
struct FileEntry;

// Unbuffered reads and writes start at multiples of this and move whole multiples of it.
constexpr DWORD kIoBlock = kBlockMinSize;
constexpr DWORD kRingSlots = kTransferSlots;
// Most pieces one gather write takes (an index page's head and body together).
constexpr size_t kMaxPieces = 32;
// The longest request head, and the room an upload's part headers are scanned in.
constexpr DWORD kReceiveCapacity = 4096;
// An idle connection's head buffer: most heads fit, and a longer one moves to kReceiveCapacity.
constexpr DWORD kFirstReceive = 1024;
// At most this much of a refused request body is read and dropped before the connection closes.
// Closing on unread data resets the connection, and a client still sending loses the answer
// with it: this covers the bodies of ordinary uploads, sent before the client reads.
constexpr LONGLONG kDrainLimit = 8 * 1024 * 1024;
// Index pages waiting to be sent may hold this much memory together; beyond it a request for
// one gets a 503 page, so clients that never read cannot make the server's memory grow.
constexpr LONGLONG kPageBudget = 32 * 1024 * 1024;

// Window messages to the Share tab's connection list (wParam = connection id).
constexpr UINT WM_CONNECTION_OPENED = WM_USER + 12;
constexpr UINT WM_CONNECTION_CLOSED = WM_USER + 13;
constexpr UINT WM_CONNECTION_STATUS = WM_USER + 14;

// Which fields of a ConnectionStatus are set.
enum : DWORD {
    StatusOpened = 0x00,
    StatusPath = 0x08,
    StatusHeadPath = 0x48,
    StatusUploadPath = 0x88,
    StatusProgress = 0x36,
    StatusUploadComplete = 0x100,
};

// Posted to the Share tab; the receiver frees it and its path with `delete`.
struct ConnectionStatus {
    DWORD connectionId = 0;
    DWORD fields = 0;
    wchar_t peerAddress[64] = {};
    wchar_t statusText[64] = {};
    wchar_t sizeText[64] = {};
    wchar_t* path = nullptr;
    DWORD percentage = 0;
    LONGLONG bytesSent = 0;
    LONGLONG bytesTotal = 0;

    ConnectionStatus() = default;
    ~ConnectionStatus() { delete[] path; }
    ConnectionStatus(const ConnectionStatus&) = delete;
    ConnectionStatus& operator=(const ConnectionStatus&) = delete;
};

// The full path of a free name for a received file in the UploadsDirectory folder (created
// when missing): name itself, else name with "(n)" for the first n from first up to 8 whose
// file does not exist, else the "(9)" name unchecked. *number tells which (0: the plain name).
// Null for an empty name or when memory runs out; the caller frees it with delete[].
wchar_t* getUploadPath(Log* log, const ServerSettings* settings, const wchar_t* name, size_t length, unsigned first, unsigned* number);

class HTTPConnection : public ServerObject {
public:
    enum Code : DWORD {
        MsgReceive = 4,
        MsgSendPieces = 5,
        MsgSendFile = 6,
        MsgReadFile = 7,
        MsgPostReceive = 8,
        MsgPostWrite = 9,
        MsgReport = 10,   // from the listener's sweep: post the transfer's progress now
        MsgSendContinue = 11,
        MsgZipRead = 12,   // a folder's archive (HTTPConnectionZip.cpp)
        MsgZipSend = 13,
    };
    static constexpr char kProduct[] = "Wexa-Share/1.2.1";

    HTTPConnection(Server* server, HWND connectionWindow, TrafficCounters* counters,
                   const ServerSettings* settings, FileHandler* files, SOCKET client,
                   ConnectionWatch* watch = nullptr);
    ~HTTPConnection() override;

    bool initObject() override;
    bool deleteObject() override;
    int readyObject() override;
    void terminateObject() override;
    int handleMessage(ServerMessage* message, BOOL ok, DWORD error, DWORD bytes) override;

private:
    // One overlapped operation of a connection; the slot says which ring buffer it concerns.
    struct IoRecord : ServerMessage {
        IoRecord(DWORD id, DWORD messageCode, DWORD ringSlot = 0) : ServerMessage(id, messageCode), slot(ringSlot) {}
        DWORD slot;
        DWORD headBytes = 0;   // of a file send: response head bytes in front of the data
    };
    // Where a POST stands. Scanning and Draining read the request buffer (code 4);
    // Receiving streams the file's body through the ring buffers (codes 8 and 9).
    enum PostPhase { PostOff, PostScanning, PostReceiving, PostDraining, PostComplete };
    struct UploadBuffer {
        TransferBlock block;   // taken for the first receive into it, given back once written
        DWORD fill = 0;
        bool readyToWrite = false;
    };

    struct Slot {
        TransferBlock block;   // taken by the read, given back when its bytes are sent
        DWORD bytes = 0;       // to send
        DWORD start = 0;       // offset of those bytes in the buffer
        bool freeForReading = true;
        bool readyToSend = false;
    };
    struct Piece {
        const char* data;
        size_t length;
    };

    int onReceive(BOOL ok, DWORD bytes);
    bool handleData(DWORD bytes);
    bool needsResetWatch();
    bool answerRequest(size_t headLength);
    bool postRecv();
    bool growReceiveBuffer();
    bool sendPieces(const Piece* head, size_t headCount, const Piece* body, size_t bodyCount);
    bool postPieces(const Piece* pieces, size_t count, DWORD code = MsgSendPieces);
    static DWORD gatherPieces(const Piece* pieces, size_t count, WSABUF* buffers);
    bool sendEntry();
    bool sendFile();
    bool sendPage(const Piece* body, size_t count);
    bool sendHtml(Piece status, const Piece* body, size_t count, Piece extra = {"", 0});
    bool send404();
    bool send401();
    bool send503();
    bool reservePage();
    bool reserveMemory(LONGLONG bytes);
    void reportProgress();
    void postFinalProgress();
    bool postRead();
    bool postSend();
    int onPiecesSent(BOOL ok, DWORD bytes);
    int onFileRead(ServerMessage* message, BOOL ok, DWORD bytes);
    int onFileSent(ServerMessage* message, BOOL ok, DWORD bytes);
    int finishSending(bool failed);
    void countTransfer();
    void releaseBuffers();
    void updatePath(bool head);
    void updateStatus(bool forced);
    void postProgress(LONGLONG done, LONGLONG total);
    void fillPeerAddress(wchar_t* out, size_t capacity);
    size_t footer(Piece* out);
    static char* makeSafe(const char* text, size_t length, size_t* outLength);

    // Upload (HTTPConnectionUpload.cpp). Each bool answers whether more request data is wanted.
    bool beginPost(bool authorized);
    bool continuePost(DWORD bytes);
    bool handlePostData();
    bool openUploadFile(const FilePart& part);
    bool answerPostFailure();
    void startDraining();
    void pumpUpload();
    bool uploadDone() const;
    bool keepDraining();
    bool postPostRecv();
    bool postWrite();
    int onPostReceived(BOOL ok, DWORD bytes);
    int onPostWritten(BOOL ok, DWORD error, DWORD bytes);
    int completeUpload();
    void finishUploadFile();
    bool send409();
    bool send200PostFile();
    bool send200PostOk();
    void updateUploadPath();
    void updatePostStatus(bool forced);
    void updateCompletePost();
    void deleteUpload();

    // A folder as one zip archive (HTTPConnectionZip.cpp); the transfer lock guards the pump.
    bool wantsArchive() const;
    bool sendFolderZip();
    void pumpZip();
    bool postZipRead(DWORD index, LONGLONG due);
    bool postZipSend();
    int onZipRead(ServerMessage* message, BOOL ok, DWORD bytes);
    int onZipSent(ServerMessage* message, BOOL ok, DWORD bytes);
    void freeZipSlot(DWORD index);
    enum ZipOutcome { ZipGoing, ZipDone, ZipStop };
    ZipOutcome zipOutcome();
    bool streamsBody() const;

    TrafficCounters* counters_;
    HWND connectionWindow_;
    const ServerSettings* settings_;
    FileHandler* files_;
    SOCKET socket_;
    ConnectionWatch* watch_;
    DWORD watchSlot_ = ConnectionWatch::kNoSlot;
    LONGLONG pageReserved_ = 0;   // bytes of kPageBudget this connection's page holds
    bool transferCounted_ = false;  // counted among the pool's transfers (TransferBuffers)

    CRITICAL_SECTION transferLock_;
    bool transferLockReady_ = false;
    bool receiveFinished_ = false;
    bool watchingPeer_ = false;   // a receive is posted after the head only to see a reset (lock)
    bool sendFinished_ = false;
    char* receiveBuffer_ = nullptr;
    DWORD receiveCapacity_ = 0;
    DWORD received_ = 0;
    HttpRequest request_;
    bool haveRequest_ = false;
    // The request's display path and host made safe for pages (hand-made requests could
    // otherwise put markup into them).
    char* safePath_ = nullptr;
    size_t safePathLength_ = 0;
    char* safeHost_ = nullptr;
    size_t safeHostLength_ = 0;
    FileEntry* entry_ = nullptr;

    char localPort_[30] = {};
    size_t localPortLength_ = 0;
    char bodyLength_[30] = {};
    char date_[kHttpDateCapacity] = {};
    char contentRange_[kContentRangeCapacity] = {};
    char contentLength_[30] = {};
    char heading_[kHeadingCapacity] = {};

    DWORD responseSends_ = 0;
    Piece fileHead_[16];            // a file response's head, sent with its first data
    size_t fileHeadCount_ = 0;      // pieces of it still to send
    bool bodyFollows_ = false;
    LONGLONG first_ = 0;
    LONGLONG last_ = 0;
    LONGLONG sent_ = 0;
    bool readInFlight_ = false;
    bool sendInFlight_ = false;
    bool transferFailed_ = false;
    Slot slots_[kRingSlots];
    DWORD readIndex_ = 0;
    DWORD sendIndex_ = 0;
    LONGLONG nextReadOffset_ = 0;
    LONGLONG lastProgress_ = 0;
    LONGLONG reportedSent_ = -1;   // the figure of the last progress record
    LONGLONG frequency_ = 1;

    // Upload state; the transfer lock guards what the receive and write completions touch.
    PostPhase postPhase_ = PostOff;
    PartScanner scanner_;
    const char* boundary_ = nullptr;   // inside request_
    size_t boundaryLength_ = 0;
    LONGLONG bodySeen_ = 0;            // body bytes that came in through the request buffer
    LONGLONG drainStart_ = 0;          // bodySeen_ when draining began
    wchar_t* uploadPath_ = nullptr;
    wchar_t* uploadName_ = nullptr;
    size_t uploadNameLength_ = 0;
    char uploadNameHtml_[kUploadHtmlNameCapacity] = {};
    size_t uploadNameHtmlLength_ = 0;
    HANDLE uploadFile_ = INVALID_HANDLE_VALUE;
    LONGLONG expectedSize_ = 0;        // the file's exact length
    LONGLONG bodyLeft_ = 0;            // body bytes from the file's data to the body's end
    LONGLONG postReceived_ = 0;
    LONGLONG written_ = 0;
    bool fileOpen_ = false;
    bool openFailed_ = false;
    bool fileExists_ = false;
    bool uploadFailed_ = false;
    bool uploadComplete_ = false;
    bool receivePending_ = false;
    bool writePending_ = false;
    UploadBuffer uploadBuffers_[kRingSlots];
    DWORD postReceiveIndex_ = 0;
    DWORD writeIndex_ = 0;
    LONGLONG lastPostProgress_ = 0;
    LONGLONG reportedPost_ = -1;

    // Archive state: the plan and the open file, and the prefix length of each ring slot.
    FolderZip* zip_ = nullptr;
    DWORD zipPrefix_[kRingSlots] = {};
    bool zipProduced_ = false;   // the writer has given its last byte
    // A slot's data goes through the CRC outside the lock while its send runs; the writer is
    // not asked for more meanwhile, and a slot sent before its CRC is done is freed after it.
    bool zipHashing_ = false;
    DWORD zipHashSlot_ = 0;
    bool zipSentEarly_ = false;
};
