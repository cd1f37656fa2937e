// FileDownloader: range request, head check, and the receive-to-write pipeline.
#include "FileDownloader.h"

#include <stdio.h>
#include <string.h>

#include "ByteRangeList.h"
#include "DownloadMessages.h"
#include "HeadFields.h"
#include "Log.h"
#include "ResponseHeader.h"
#include "TextHelpers.h"
#include "TlsChannel.h"

static const wchar_t kLogUnit[] = L"FileDownloader";

namespace {
const DWORD MsgWritten = 9;
// A head that has not ended after this many bytes is not an HTTP head.
const size_t kMaxHeadBytes = 65536;

bool isDiskFull(DWORD error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL; }

// Windows queues no completion for a write that fails at once; Wine queues its failure all the
// same (measured with ERROR_DISK_FULL), and freeing the record then would let that completion
// run on freed memory.
bool failureStillCompletes() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// One file write. It owns the receive buffer the data lies in.
struct WriteRecord : ServerMessage {
    char* block;
    DWORD length;
    int64_t offset = 0;
    WriteRecord(DWORD id, char* buffer, DWORD size) : ServerMessage(id, MsgWritten), block(buffer), length(size) {}
    ~WriteRecord() override { delete[] block; }
};
}  // namespace

FileDownloader::FileDownloader(Server* server, HWND notifyWindow, DWORD entryId, DWORD address, WORD port,
                               const char* path, const char* host, HANDLE file, int64_t rangeStart,
                               int64_t rangeEnd, ByteRangeList* ranges, const char* credentials,
                               ReceivedCounter* counter, bool secure)
    : TCPObject(server, notifyWindow, WM_DL_TRANSFER_ENDED, kLogUnit),
      entryId_(entryId),
      progressMessage_(WM_DL_PROGRESS),
      window_(notifyWindow),
      address_(address),
      port_(port),
      path_(path ? path : "/"),
      host_(host ? host : ""),
      credentials_(credentials ? credentials : ""),
      file_(file),
      rangeStart_(rangeStart),
      rangeEnd_(rangeEnd),
      ranges_(ranges),
      writeOffset_(rangeStart),
      counter_(counter),
      tls_(secure ? new TlsChannel(log_, kLogUnit) : nullptr),
      receiveBytes_(secure && kReceiveBufferBytes < kMinSecureReceiveBytes ? kMinSecureReceiveBytes
                                                                           : kReceiveBufferBytes) {
    InitializeCriticalSection(&writeLock_);
}

FileDownloader::~FileDownloader() {
    delete tls_;
    DeleteCriticalSection(&writeLock_);
}

bool FileDownloader::initObject() {
    // Registered before the entry picks the next range, so that pick sees this connection.
    key_ = ranges_->registerPosition(writeOffset_);
    return true;
}

bool FileDownloader::deleteObject() {
    // Every operation has ended: the last report carries what is left and how it ended (a
    // connection that received nothing has nothing to tell).
    if (unreported_ || end_ != TransferEnd::kNothing)
        sendUpdate(unreported_, end_);
    unreported_ = 0;
    // Gone before the termination message is posted, so the entry's next pick is current.
    ranges_->unregisterPosition(key_);
    return true;
}

int FileDownloader::readyObject() {
    return openAndConnect(L"FileDownloader::readyObject", address_, port_) ? 0 : 1;
}

void FileDownloader::terminateObject() {
    closeSocket(L"FileDownloader::terminateObject");
    LOG_INFO(log_, L"FileDownloader::terminateObject", L"socket closed");
}

int FileDownloader::handleMessage(ServerMessage* message, BOOL ok, DWORD error, DWORD bytes) {
    switch (message->code) {
    case MsgConnected:
        return onConnected();
    case MsgSent:
        InterlockedDecrement(&sendsOut_);
        return 0;
    case MsgReceived:
        InterlockedDecrement(&receivesOut_);
        // A secure receive lands behind the plain text held and the carried part of a record:
        // the buffer starts there.
        if (tls_)
            return onSecureReceived(static_cast<SocketRecord*>(message)->buffer - pending_ - carry_, ok, bytes);
        return onReceived(static_cast<SocketRecord*>(message)->buffer, ok, bytes);
    case MsgWritten:
        InterlockedDecrement(&writesOut_);
        return onWritten(message, ok, error, bytes);
    default:
        return 0;
    }
}

int FileDownloader::onConnected() {
    // Made before the receive starts: the receive path reads the channel from then on.
    WSABUF hello = {};
    if (tls_ && !tls_->start(host_.c_str(), &hello))
        return 1;
    char* buffer = new char[receiveBytes_];
    InterlockedIncrement(&receivesOut_);
    if (!postRecv(buffer, receiveBytes_)) {
        InterlockedDecrement(&receivesOut_);
        delete[] buffer;
        LOG_ERROR_TEXT(log_, L"FileDownloader::handleMessage", L"postRecv failed on connect");
        return 1;
    }
    bool sent = tls_ ? send(&hello, 1) : sendRequest(nullptr);
    if (!sent) {
        LOG_ERROR_TEXT(log_, L"FileDownloader::handleMessage", L"postSend failed on connect");
        return 1;
    }
    return 0;
}

bool FileDownloader::send(WSABUF* pieces, DWORD count) {
    InterlockedIncrement(&sendsOut_);
    if (postSend(pieces, count))
        return true;
    InterlockedDecrement(&sendsOut_);
    return false;
}

bool FileDownloader::sendRequest(const WSABUF* before) {
    formatRange(rangeStart_, rangeEnd_, rangeText_, sizeof rangeText_);
    WSABUF pieces[12];
    DWORD count = 0;
    auto add = [&](const char* text, size_t length) {
        pieces[count].buf = const_cast<char*>(text);
        pieces[count].len = static_cast<ULONG>(length);
        ++count;
    };
    auto addText = [&](const char* text) { add(text, strlen(text)); };
    addText("GET ");
    add(path_.data(), path_.size());
    addText(" HTTP/1.1\r\nHost: ");
    add(host_.data(), host_.size());
    addText("\r\nUser-Agent: ");
    addText(kDownloaderAgent);
    if (!credentials_.empty()) {
        addText("\r\nAuthorization: Basic ");
        add(credentials_.data(), credentials_.size());
    }
    addText("\r\nRange: bytes=");
    addText(rangeText_);
    addText("\r\nConnection: close\r\n\r\n");
    if (!tls_)
        return send(pieces, count);
    // The handshake's last message, when it has one, and the request go out in one send.
    WSABUF sealed[2];
    DWORD parts = 0;
    if (before && before->len)
        sealed[parts++] = *before;
    if (!tls_->seal(pieces, count, &sealed[parts++]))
        return false;
    return send(sealed, parts);
}

int FileDownloader::onReceived(char* buffer, BOOL ok, DWORD bytes) {
    // Failure or 0 bytes: the server closed at the end of the range, or the socket broke.
    if (!ok || bytes == 0) {
        delete[] buffer;
        return 1;
    }
    if (!handleReceived(&buffer, bytes)) {
        delete[] buffer;
        return 1;
    }
    return postNextRecv(buffer) ? 0 : 1;
}

bool FileDownloader::postNextRecv(char* buffer) {
    DWORD used = pending_ + carry_;
    InterlockedIncrement(&receivesOut_);
    if (!postRecv(buffer + used, receiveBytes_ - used)) {
        InterlockedDecrement(&receivesOut_);
        LOG_INFO(log_, L"FileDownloader::handleMessage", L"postRecv");
        delete[] buffer;
        return false;
    }
    return true;
}

int FileDownloader::onSecureReceived(char* buffer, BOOL ok, DWORD bytes) {
    bool ended = !ok || bytes == 0;
    if (!ended && !tls_->ready()) {
        WSABUF reply;
        TlsChannel::Step step = tls_->handshake(buffer, bytes, &reply);
        bool sent = step == TlsChannel::StepContinue ? reply.len == 0 || send(&reply, 1)
                    : step == TlsChannel::StepReady  ? sendRequest(&reply)
                                                     : false;
        if (!sent) {
            delete[] buffer;
            return 1;
        }
        if (step == TlsChannel::StepReady) {
            std::string left = tls_->takeLeftover();
            carry_ = static_cast<DWORD>(left.size());
            memcpy(buffer, left.data(), carry_);
        }
        return postNextRecv(buffer) ? 0 : 1;
    }
    if (!ended) {
        // Opened in place behind the plain text already held: the plain text stays one block,
        // and the start of a record still arriving moves up behind it.
        size_t total = carry_ + bytes;
        size_t opened = 0;
        size_t used = 0;
        char* records = buffer + pending_;
        TlsChannel::Read read = tls_->open(records, total, &opened, &used);
        ended = read != TlsChannel::ReadOk;
        carry_ = read == TlsChannel::ReadOk ? static_cast<DWORD>(total - used) : 0;
        memmove(records + opened, records + used, carry_);
        if (opened)
            account(static_cast<DWORD>(opened));
        pending_ += static_cast<DWORD>(opened);
    }
    // Small receives (a rate-limited TLS server sends a record or two at a time) are gathered
    // into one write of at least half the buffer, as the plain path's larger receives are. The
    // head is read at once, and what is held is written once it reaches the end of the range
    // or the connection ends.
    bool rangeDone = headerDone_ && writeOffset_ + pending_ > writeLimit_;
    if (pending_ && (ended || !headerDone_ || rangeDone || pending_ >= receiveBytes_ / 2)) {
        // The buffer goes to the write, which may complete and free it at once: the carried
        // part of a record is copied out first.
        tail_.assign(buffer + pending_, carry_);
        DWORD length = pending_;
        pending_ = 0;
        if (!handleData(&buffer, length))
            ended = true;
        else if (carry_)
            memcpy(buffer, tail_.data(), carry_);
    }
    if (ended) {
        delete[] buffer;
        return 1;
    }
    return postNextRecv(buffer) ? 0 : 1;
}

bool FileDownloader::handleReceived(char** buffer, DWORD bytes) {
    account(bytes);
    return handleData(buffer, bytes);
}

void FileDownloader::account(DWORD bytes) {
    if (counter_)
        counter_->add(bytes);
    unreported_ += bytes;
    DWORD now = GetTickCount();
    if (now - lastUpdate_ >= kUpdateMilliseconds) {
        sendUpdate(unreported_);
        unreported_ = 0;
        lastUpdate_ = now;
    }
}

void FileDownloader::sendUpdate(DWORD bytes, TransferEnd end) {
    ProgressRecord* record = new ProgressRecord{static_cast<int32_t>(bytes), id_, end};
    if (!PostMessageW(window_, progressMessage_, entryId_, reinterpret_cast<LPARAM>(record))) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"FileDownloader::sendUpdate", L"PostMessage", error);
        delete record;
    }
}

void FileDownloader::noteEnd(TransferEnd end) {
    EnterCriticalSection(&writeLock_);
    // The enumerators are ordered from the mildest end to the gravest.
    if (end > end_)
        end_ = end;
    LeaveCriticalSection(&writeLock_);
}

bool FileDownloader::acceptHead(size_t headLength) {
    ResponseHeader head;
    parseResponseHeader(head_.data(), headLength, &head);
    int64_t size = ranges_->size();
    int64_t limit = rangeEnd_ < size - 1 ? rangeEnd_ : size - 1;
    TransferEnd end = TransferEnd::kRefused;
    if (head.version == kResponseVersion11 && head.status == kResponsePartial) {
        // Bytes from elsewhere, or of a file of another size, would be written at this offset.
        ContentRange range;
        if (headContentRange(head_.data(), headLength, &range) && range.first == rangeStart_ &&
            range.total == size) {
            end = TransferEnd::kBody;
            if (range.last < limit)
                limit = range.last;
        }
    } else if (head.version == kResponseVersion11 && head.status == kResponseOk) {
        end = rangeStart_ == 0 ? TransferEnd::kBody : TransferEnd::kWholeAnswer;
    }
    freeResponseHeader(&head);
    bool accepted = end == TransferEnd::kBody;
    EnterCriticalSection(&writeLock_);
    if (accepted) {
        headerDone_ = true;
        writeLimit_ = limit;
    }
    end_ = end;
    LeaveCriticalSection(&writeLock_);
    return accepted;
}

bool FileDownloader::handleData(char** buffer, DWORD count) {
    char* data = *buffer;
    DWORD length = count;
    if (!headerDone_) {
        size_t before = head_.size();
        head_.append(*buffer, count);
        size_t from = before > 3 ? before : 3;
        size_t end = 0;
        for (size_t i = from; i < head_.size(); ++i) {
            if (head_[i - 3] == '\r' && head_[i - 2] == '\n' && head_[i - 1] == '\r' && head_[i] == '\n') {
                end = i + 1;
                break;
            }
        }
        if (!end) {
            if (head_.size() < kMaxHeadBytes)
                return true;
            noteEnd(TransferEnd::kBadHead);
            return false;
        }
        if (!acceptHead(end))
            return false;
        // The blank line ends inside this receive: the body's first bytes follow it here.
        size_t bodyOffset = end - before;
        data = *buffer + bodyOffset;
        length = count - static_cast<DWORD>(bodyOffset);
        std::string().swap(head_);
    }
    // Never past the range or the file: a server that sends more than it was asked for would
    // make the file longer than the server's, or overwrite bytes another connection owns.
    bool last = false;
    int64_t room = writeLimit_ - writeOffset_ + 1;
    if (room <= 0)
        return false;
    if (static_cast<int64_t>(length) >= room) {
        length = static_cast<DWORD>(room);
        last = true;
    }
    if (length == 0)
        return true;
    // The write's reference keeps this object (and the entry's file) until it has completed.
    if (!takeReference())
        return true;
    WriteRecord* record = new WriteRecord(id_, *buffer, length);
    *buffer = nullptr;
    EnterCriticalSection(&writeLock_);
    record->offset = writeOffset_;
    LeaveCriticalSection(&writeLock_);
    OVERLAPPED* overlapped = record->overlapped();
    overlapped->Offset = static_cast<DWORD>(record->offset & 0xFFFFFFFF);
    overlapped->OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(record->offset) >> 32);
    InterlockedIncrement(&writesOut_);
    if (!WriteFile(file_, data, length, nullptr, overlapped)) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            LOG_ERROR(log_, L"FileDownloader::handleData", L"WriteFile", error);
            LOG_ERROR_TEXT(log_, L"FileDownloader::handleData", L"Failed to post write..");
            if (isDiskFull(error))
                noteEnd(TransferEnd::kDiskFull);
            // The record and the reference are the coming completion's where one still comes.
            if (!failureStillCompletes()) {
                InterlockedDecrement(&writesOut_);
                delete record;
                giveReference();
            }
            return false;
        }
    }
    EnterCriticalSection(&writeLock_);
    writeOffset_ += length;
    LeaveCriticalSection(&writeLock_);
    *buffer = new char[receiveBytes_];
    // The whole range is on its way: whatever else the server sends is not ours.
    return !last;
}

void FileDownloader::describe(std::string* out) {
    char text[160];
    snprintf(text, sizeof text, "FileDownloader range %lld-%lld at %lld head %s receives %ld writes %ld sends %ld",
             static_cast<long long>(rangeStart_), static_cast<long long>(rangeEnd_),
             static_cast<long long>(writeOffset_), headerDone_ ? "done" : "waiting", static_cast<long>(receivesOut_),
             static_cast<long>(writesOut_), static_cast<long>(sendsOut_));
    out->append(text);
}

int FileDownloader::onWritten(ServerMessage* message, BOOL ok, DWORD error, DWORD bytes) {
    WriteRecord* record = static_cast<WriteRecord*>(message);
    if (!ok) {
        LOG_ERROR(log_, L"FileDownloader::handleMessage", L"WriteFile completion", error);
        // Fetching the same bytes again would fail the same way: the entry stops instead.
        if (isDiskFull(error)) {
            noteEnd(TransferEnd::kDiskFull);
            return 1;
        }
        return 0;
    }
    if (bytes == 0) {
        LOG_ERROR_TEXT(log_, L"FileDownloader::handleMessage", L"WriteFile zero bytes");
        return 0;
    }
    int64_t last = record->offset + bytes - 1;
    // True when another connection had already written part of this: its range is done.
    return ranges_->markDone(record->offset, last, key_, last + 1) ? 1 : 0;
}
