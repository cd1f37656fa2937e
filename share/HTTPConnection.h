// One accepted client of the share server: reads one request head, answers it from the
// shared-file registry (file, range, index page, built-in content, 404, 401) and closes.
// File data streams through a ring of page-aligned buffers: one read and one send in flight.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include "HttpRequest.h"
#include "IndexPage.h"
#include "ServerObject.h"
#include "TextHelpers.h"

class FileHandler;
class TrafficCounters;
struct FileEntry;

#ifndef WEXA_RING_BUFFER_SIZE
#define WEXA_RING_BUFFER_SIZE 8192
#endif
// Size of each ring buffer; a multiple of the disk sector size, as unbuffered reads need.
constexpr DWORD kRingBufferSize = WEXA_RING_BUFFER_SIZE;
constexpr DWORD kRingSlots = 2;
constexpr DWORD kReceiveCapacity = 4096;

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

class HTTPConnection : public ServerObject {
public:
    enum Code : DWORD { MsgReceive = 4, MsgSendPieces = 5, MsgSendFile = 6, MsgReadFile = 7 };

    HTTPConnection(Server* server, HWND connectionWindow, TrafficCounters* counters,
                   FileHandler* files, SOCKET client);
    ~HTTPConnection() override;

    bool initObject() override;
    bool deleteObject() override;
    int readyObject() override;
    void terminateObject() override;
    int handleMessage(ServerMessage* message, BOOL ok, DWORD error, DWORD bytes) override;

private:
    struct Slot {
        char* buffer = nullptr;
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
    void answerRequest();
    bool postRecv();
    bool sendPieces(const Piece* head, size_t headCount, const Piece* body, size_t bodyCount);
    bool postPieces(const Piece* pieces, size_t count);
    bool sendEntry();
    bool sendFile();
    bool sendPage(const Piece* body, size_t count);
    bool send404();
    bool send401();
    bool postRead();
    bool postSend();
    int onPiecesSent(BOOL ok, DWORD bytes);
    int onFileRead(ServerMessage* message, BOOL ok, DWORD bytes);
    int onFileSent(ServerMessage* message, BOOL ok, DWORD bytes);
    int finishSending(bool failed);
    void updatePath(bool head);
    void updateStatus(bool forced);
    void fillPeerAddress(wchar_t* out, size_t capacity);
    size_t footer(Piece* out);
    static char* makeSafe(const char* text, size_t length, size_t* outLength);

    TrafficCounters* counters_;
    HWND connectionWindow_;
    FileHandler* files_;
    SOCKET socket_;

    CRITICAL_SECTION transferLock_;
    bool transferLockReady_ = false;
    bool receiveFinished_ = false;
    bool sendFinished_ = false;
    char* receiveBuffer_ = nullptr;
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
    char owner_[kTableOwnerCapacity] = {};

    DWORD responseSends_ = 0;
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
    LONGLONG frequency_ = 1;
};
