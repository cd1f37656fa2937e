// One transfer connection of a download: a GET for one byte range, and every receive written
// straight into the file at its offset with one overlapped write. The range list learns of
// bytes only when their write has completed, so it never claims bytes the file lacks.
#pragma once
#include <cstdint>
#include <string>

#include "DownloadMessages.h"
#include "TCPObject.h"

class ByteRangeList;
class ReceivedCounter;
class TlsChannel;

// Each receive fills one buffer, which then becomes that receive's write buffer as it is.
// Under Wine every overlapped operation costs about the same whatever its size, so the size
// sets the speed: 256 KiB measured about five times faster than 10 KiB at 16 connections, for
// about 38 MiB at most with 16 connections. The build can override it for benchmarks.
#ifdef WEXA_DL_RECEIVE_BUFFER
const DWORD kReceiveBufferBytes = WEXA_DL_RECEIVE_BUFFER;
#else
const DWORD kReceiveBufferBytes = 262144;
#endif

class FileDownloader : public TCPObject {
public:
    // Texts are copied (path already percent-encoded; credentials Base64 or null). The file
    // handle and the range list are the entry's, which outlive every connection. secure: TLS
    // to the server named host.
    FileDownloader(Server* server, HWND notifyWindow, DWORD entryId, DWORD address, WORD port, const char* path,
                   const char* host, HANDLE file, int64_t rangeStart, int64_t rangeEnd, ByteRangeList* ranges,
                   const char* credentials, ReceivedCounter* counter, bool secure = false);
    ~FileDownloader() override;

    bool initObject() override;
    bool deleteObject() override;
    int readyObject() override;
    void terminateObject() override;
    int handleMessage(ServerMessage* message, BOOL ok, DWORD error, DWORD bytes) override;
    void describe(std::string* out) override;

private:
    int onConnected();
    bool sendRequest(const WSABUF* before);
    bool send(WSABUF* pieces, DWORD count);
    int onReceived(char* buffer, BOOL ok, DWORD bytes);
    // A receive of a secure connection: handshake replies, or records opened in place and
    // their plain text gathered for the next write.
    int onSecureReceived(char* buffer, BOOL ok, DWORD bytes);
    // Posts the next receive behind what the buffer holds; false (buffer freed) when it cannot.
    bool postNextRecv(char* buffer);
    // Progress and the data handler for bytes of plain text at the front of *buffer (which may
    // go to a write and be replaced). False: the connection ends.
    bool handleReceived(char** buffer, DWORD bytes);
    // Counts received plain bytes for the totals and posts progress at most every kUpdateMilliseconds.
    void account(DWORD bytes);
    int onWritten(ServerMessage* message, BOOL ok, DWORD error, DWORD bytes);
    void sendUpdate(DWORD bytes, TransferEnd end = TransferEnd::kRunning);
    // At most one progress message per connection every kUpdateMilliseconds: under Wine every
    // post is a round trip to the server, and a message per receive costs a large share of the
    // speed. What is left is posted before the termination message.
    static const DWORD kUpdateMilliseconds = 50;
    // *buffer may be handed to a write and replaced by a fresh one. False: the connection ends
    // (the caller frees *buffer when it is still set).
    bool handleData(char** buffer, DWORD count);
    bool acceptHead(size_t headLength);
    // Keeps the worst end seen (receive path and write completions).
    void noteEnd(TransferEnd end);

    DWORD entryId_;
    UINT progressMessage_;
    HWND window_;
    DWORD address_;
    WORD port_;
    std::string path_;
    std::string host_;
    std::string credentials_;
    std::string head_;   // received bytes until the head's blank line
    char rangeText_[64] = {};
    CRITICAL_SECTION writeLock_;  // guards writeOffset_ and headerDone_
    HANDLE file_;
    int64_t rangeStart_;
    int64_t rangeEnd_;
    ByteRangeList* ranges_;
    int32_t key_ = 0;
    int64_t writeOffset_;
    bool headerDone_ = false;
    // The last byte this connection may write: its range end, cut to the file's size and to
    // the answer's Content-Range. Set with the head, read by the receive path only.
    int64_t writeLimit_ = -1;
    // How it ended so far (guarded by writeLock_): told with the last progress report.
    TransferEnd end_ = TransferEnd::kNothing;
    ReceivedCounter* counter_;
    // TLS: null for plain HTTP. The receive path alone touches these after the connect. The
    // receive buffer holds pending_ bytes of plain text not yet written, then carry_ bytes of a
    // record still arriving, then the next receive (tail_ keeps the carried bytes while the
    // buffer goes to a write).
    TlsChannel* tls_ = nullptr;
    DWORD pending_ = 0;
    DWORD carry_ = 0;
    std::string tail_;
    // A secure receive must hold a whole record (at most 16 KiB and its overhead) behind a carried
    // part of another, or a smaller buffer could never complete one.
    static const DWORD kMinSecureReceiveBytes = 65536;
    const DWORD receiveBytes_;
    // Progress not yet posted, and when the last post went: touched only by the receive path
    // (one receive outstanding) and by deleteObject, after every operation has ended.
    DWORD unreported_ = 0;
    DWORD lastUpdate_ = 0;
    // Operations started and not yet handled, for describe (Interlocked).
    volatile LONG receivesOut_ = 0;
    volatile LONG writesOut_ = 0;
    volatile LONG sendsOut_ = 0;
};
