// The POST path of HTTPConnection: finds the file part of a multipart body (UploadParts),
// creates a new file in the uploads folder and streams the body into it through two buffers of
// the shared pool, each sized to what is left of the body: one overlapped receive (code 8)
// straight into one and one overlapped unbuffered write (code 9) of the other in flight; then
// cuts the file to its exact length and answers.
#include <new>

#include <stdio.h>
#include <string.h>

#include "HTTPConnection.h"
#include "Log.h"
#include "ServerSettings.h"
#include "ServerWithReg.h"
#include "TrafficCounters.h"

static const wchar_t kLogUnit[] = L"HTTPConnection";

namespace {

// getUploadPath belongs to the program's settings side and logs as its unit.
const wchar_t kUploadPathUnit[] = L"HSMain";
// How far back from the file's end the fields sent after the file are looked for.
const LONGLONG kTailWindow = 1024;

#define PIECE(literal) {literal, sizeof(literal) - 1}

}  // namespace

wchar_t* getUploadPath(Log* log, const ServerSettings* settings, const wchar_t* name, size_t length, unsigned first, unsigned* number) {
    if (!length)
        return nullptr;
    DWORD folderLength = 0;
    wchar_t* folder = settings->uploadsDirectoryCopy(&folderLength);
    if (!folder)
        return nullptr;
    if (!CreateDirectoryW(folder, nullptr)) {
        DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS)
            Log::error(kUploadPathUnit, log, __LINE__, L"getUploadPath", L"CreateDirectory", error);
    }
    const size_t numberRoom = 16;
    size_t capacity = folderLength + 1 + length + numberRoom;
    wchar_t* path = new (std::nothrow) wchar_t[capacity];
    if (!path) {
        delete[] folder;
        return nullptr;
    }
    size_t prefix = folderLength;
    memcpy(path, folder, folderLength * sizeof(wchar_t));
    if (prefix == 0 || path[prefix - 1] != L'\\')
        path[prefix++] = L'\\';
    delete[] folder;

    for (unsigned n = first;; ++n) {
        if (n == 0) {
            memcpy(path + prefix, name, length * sizeof(wchar_t));
            path[prefix + length] = 0;
        } else {
            numberedName(reinterpret_cast<const char16_t*>(name), length, n,
                         reinterpret_cast<char16_t*>(path + prefix), capacity - prefix);
        }
        // The last number is returned unchecked: creating it fails when it is taken.
        if (n >= kLastUploadNumber || GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
            *number = n;
            return path;
        }
    }
}

// Send finished stays set while nothing is being sent: a client that goes away while its
// parts are scanned or its body is received ends the connection without an answer.
bool HTTPConnection::beginPost(bool authorized) {
    EnterCriticalSection(&transferLock_);
    bodySeen_ = received_;
    postPhase_ = authorized ? PostScanning : PostDraining;
    if (!authorized)
        sendFinished_ = false;
    LeaveCriticalSection(&transferLock_);
    if (!authorized) {
        if (!send401()) {
            EnterCriticalSection(&transferLock_);
            sendFinished_ = true;
            LeaveCriticalSection(&transferLock_);
        }
        startDraining();
        return keepDraining();
    }
    boundary_ = request_.boundary;
    boundaryLength_ = request_.boundaryLength;
    unquoteBoundary(&boundary_, &boundaryLength_);
    if (boundaryLength_ == 0) {
        EnterCriticalSection(&transferLock_);
        postPhase_ = PostOff;
        LeaveCriticalSection(&transferLock_);
        return false;
    }
    // A client that waits for a go-ahead (command-line tools do, for large bodies) would
    // otherwise sit out its own time-out before sending. Ordered before any later answer.
    if (request_.expectContinue && request_.version == kVersion11 && received_ == 0) {
        static const Piece goAhead[] = {PIECE("HTTP/1.1 100 Continue\r\n\r\n")};
        postPieces(goAhead, 1, MsgSendContinue);
    }
    return handlePostData();
}

bool HTTPConnection::continuePost(DWORD bytes) {
    bodySeen_ += bytes;
    if (postPhase_ == PostDraining) {
        received_ = 0;
        return keepDraining();
    }
    if (watch_)
        watch_->progress(watchSlot_);
    return handlePostData();
}

// The POST step: scan for the file part; open its file and start receiving, answer a failure,
// or ask for more request data.
bool HTTPConnection::handlePostData() {
    FilePart part;
    size_t used = received_;
    PartScan scan = scanForFilePart(&scanner_, receiveBuffer_, &used, kReceiveCapacity, boundary_,
                                    boundaryLength_, &part);
    received_ = static_cast<DWORD>(used);
    if (scan == PartScan::NeedMore && bodySeen_ < request_.contentLength)
        return true;
    // A whole body without a file part, or a part header that does not fit, names no file.
    if (scan != PartScan::FilePart || !openUploadFile(part))
        return answerPostFailure();

    EnterCriticalSection(&transferLock_);
    pumpUpload();
    bool failed = uploadFailed_;
    if (failed) {
        // Nothing was started: the connection ends without an answer.
        receiveFinished_ = true;
        sendFinished_ = true;
    }
    LeaveCriticalSection(&transferLock_);
    if (!failed) {
        if (watch_)
            watch_->setReporting(watchSlot_, true);
        updateUploadPath();
    }
    return false;
}

bool HTTPConnection::openUploadFile(const FilePart& part) {
    size_t capacity = part.nameLength + kUploadNameExtra;
    char16_t* name = new (std::nothrow) char16_t[capacity];
    if (!name) {
        openFailed_ = true;
        return false;
    }
    size_t nameLength = decodeUploadName(receiveBuffer_ + part.nameOffset, part.nameLength, name, capacity);
    uploadName_ = reinterpret_cast<wchar_t*>(name);
    uploadNameLength_ = nameLength;
    LONGLONG expected = expectedFileSize(request_.contentLength, scanner_.consumed, part.headerLength,
                                         boundaryLength_);
    // An empty name, or a body too short for the part it announced, names no file.
    if (nameLength == 0 || expected < 0) {
        openFailed_ = true;
        return false;
    }
    uploadNameHtmlLength_ = uploadNameForHtml(name, nameLength, uploadNameHtml_);

    unsigned number = 0;
    for (;;) {
        delete[] uploadPath_;
        uploadPath_ = getUploadPath(log_, settings_, uploadName_, nameLength, number, &number);
        if (!uploadPath_) {
            openFailed_ = true;
            return false;
        }
        // Unbuffered: whole page-aligned buffers go straight to the disk; CREATE_NEW: an
        // upload never replaces a file.
        uploadFile_ = CreateFileW(uploadPath_, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING, nullptr);
        if (uploadFile_ != INVALID_HANDLE_VALUE)
            break;
        DWORD error = GetLastError();
        // A concurrent upload of the same name may have taken the name since it was checked.
        if ((error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) && number < kLastUploadNumber) {
            ++number;
            continue;
        }
        LOG_ERROR(log_, L"HTTPConnection::handlePostData", L"CreateFileW", error);
        openFailed_ = true;
        fileExists_ = true;
        return false;
    }
    if (!server_->associate(uploadFile_, L"HTTPConnection::handlePostData")) {
        if (!CloseHandle(uploadFile_)) {
            DWORD error = GetLastError();
            LOG_ERROR(log_, L"HTTPConnection::handlePostData", L"CloseHandle", error);
        }
        uploadFile_ = INVALID_HANDLE_VALUE;
        if (!DeleteFileW(uploadPath_)) {
            DWORD error = GetLastError();
            LOG_ERROR(log_, L"HTTPConnection::handlePostData", L"DeleteFileW", error);
        }
        openFailed_ = true;
        return false;
    }

    // The file's first bytes may already be in the request buffer, after the part's headers;
    // they fit in any block (the request buffer is no larger than the smallest).
    EnterCriticalSection(&transferLock_);
    // The rest of the body is received too, so the answer never meets unread data (which
    // would reset the connection under it); what follows the file's data is cut off.
    bodyLeft_ = request_.contentLength - scanner_.consumed - static_cast<LONGLONG>(part.headerLength);
    size_t rest = received_ - part.headerLength;
    countTransfer();
    UploadBuffer& first = uploadBuffers_[postReceiveIndex_];
    if (rest > 0) {
        if (!TransferBuffers::shared().take(bodyLeft_, &first.block, log_)) {
            uploadFailed_ = true;
            rest = 0;
        } else {
            memcpy(first.block.data, receiveBuffer_ + part.headerLength, rest);
        }
    }
    first.fill = static_cast<DWORD>(rest);
    postReceived_ = static_cast<LONGLONG>(rest);
    received_ = 0;
    expectedSize_ = expected;
    fileOpen_ = true;
    postPhase_ = PostReceiving;
    LeaveCriticalSection(&transferLock_);
    return true;
}

bool HTTPConnection::answerPostFailure() {
    EnterCriticalSection(&transferLock_);
    sendFinished_ = false;
    LeaveCriticalSection(&transferLock_);
    bool started = fileExists_ ? send409() : send200PostFile();
    if (!started) {
        EnterCriticalSection(&transferLock_);
        sendFinished_ = true;
        LeaveCriticalSection(&transferLock_);
    }
    startDraining();
    return keepDraining();
}

// The rest of a refused body is read and dropped before the connection closes, so that the
// client reads the answer instead of a reset; but only kDrainLimit bytes and the watch's drain
// time, so that nobody can push an endless body at a refusal.
void HTTPConnection::startDraining() {
    EnterCriticalSection(&transferLock_);
    postPhase_ = PostDraining;
    LeaveCriticalSection(&transferLock_);
    received_ = 0;
    drainStart_ = bodySeen_;
    if (watch_)
        watch_->enter(watchSlot_, ConnectionWatch::PhaseDraining);
}

// Whether more of a refused body is read; once not, the answer alone is left, on the send clock.
bool HTTPConnection::keepDraining() {
    bool more = bodySeen_ < request_.contentLength && bodySeen_ - drainStart_ < kDrainLimit;
    if (!more && watch_)
        watch_->enter(watchSlot_, ConnectionWatch::PhaseSending);
    return more;
}

// Called with the transfer lock held after every change: hands a finished buffer to the
// writer and starts the receive and the write that can start now.
void HTTPConnection::pumpUpload() {
    if (uploadFailed_)
        return;
    UploadBuffer& current = uploadBuffers_[postReceiveIndex_];
    // Written whole once full, or once the body has all arrived (the tail is cut later).
    if (!current.readyToWrite && current.fill > 0 &&
        (current.fill == current.block.size || postReceived_ >= bodyLeft_)) {
        current.readyToWrite = true;
        postReceiveIndex_ = (postReceiveIndex_ + 1) % kRingSlots;
    }
    if (!writePending_)
        writePending_ = postWrite();
    if (!receivePending_ && !uploadFailed_)
        receivePending_ = postPostRecv();
}

// Called with the transfer lock held.
bool HTTPConnection::uploadDone() const {
    return !uploadFailed_ && !uploadComplete_ && postReceived_ >= bodyLeft_ && !receivePending_ &&
           !writePending_ && !uploadBuffers_[0].readyToWrite && !uploadBuffers_[1].readyToWrite;
}

// Called with the transfer lock held.
bool HTTPConnection::postPostRecv() {
    if (postReceived_ >= bodyLeft_)
        return false;
    UploadBuffer& buffer = uploadBuffers_[postReceiveIndex_];
    if (buffer.readyToWrite)
        return false;  // restarted when its write completes
    // An empty buffer takes its block now, sized to the rest of the body.
    if (!buffer.block.data && !TransferBuffers::shared().take(bodyLeft_ - postReceived_, &buffer.block, log_)) {
        uploadFailed_ = true;
        return false;
    }
    ObjectLock hold(this);
    if (!takeReference()) {
        uploadFailed_ = true;
        return false;
    }
    LONGLONG room = buffer.block.size - buffer.fill;
    // Never beyond the body: one request per connection, and nothing of it is left unread.
    if (room > bodyLeft_ - postReceived_)
        room = bodyLeft_ - postReceived_;
    IoRecord* record = new IoRecord(id_, MsgPostReceive, postReceiveIndex_);
    WSABUF piece;
    piece.buf = buffer.block.data + buffer.fill;
    piece.len = static_cast<ULONG>(room);
    DWORD flags = 0;
    if (WSARecv(socket_, &piece, 1, nullptr, &flags, reinterpret_cast<WSAOVERLAPPED*>(record->overlapped()),
                nullptr) == SOCKET_ERROR) {
        DWORD error = WSAGetLastError();
        if (error != WSA_IO_PENDING) {
            LOG_ERROR(log_, L"HTTPConnection::postPostRecv", L"WSARecv", error);
            delete record;
            giveReference();
            uploadFailed_ = true;
            return false;
        }
    }
    return true;
}

// Called with the transfer lock held.
bool HTTPConnection::postWrite() {
    UploadBuffer& buffer = uploadBuffers_[writeIndex_];
    if (!buffer.readyToWrite)
        return false;
    if (!takeReference()) {
        uploadFailed_ = true;
        return false;
    }
    IoRecord* record = new IoRecord(id_, MsgPostWrite, writeIndex_);
    record->overlapped()->Offset = static_cast<DWORD>(written_);
    record->overlapped()->OffsetHigh = static_cast<DWORD>(written_ >> 32);
    // Whole blocks: unbuffered writes take whole sectors at aligned offsets. Every buffer but
    // the last is full; the last is written up to its block's end and cut later.
    DWORD length = (buffer.fill + kIoBlock - 1) / kIoBlock * kIoBlock;
    if (!WriteFile(uploadFile_, buffer.block.data, length, nullptr, record->overlapped())) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            LOG_ERROR(log_, L"HTTPConnection::postWrite", L"WriteFile", error);
            delete record;
            giveReference();
            uploadFailed_ = true;
            return false;
        }
    }
    return true;
}

int HTTPConnection::onPostReceived(BOOL ok, DWORD bytes) {
    if (ok && bytes > 0)
        counters_->addReceived(bytes);
    EnterCriticalSection(&transferLock_);
    receivePending_ = false;
    if (!ok || bytes == 0) {
        // The client went away (or the socket failed) before the body's end.
        uploadFailed_ = true;
    } else {
        postReceived_ += bytes;
        uploadBuffers_[postReceiveIndex_].fill += bytes;
        pumpUpload();
    }
    bool failed = uploadFailed_;
    bool done = uploadDone();
    if (done)
        uploadComplete_ = true;
    LeaveCriticalSection(&transferLock_);
    if (failed)
        return 1;
    if (watch_)
        watch_->progress(watchSlot_);
    updatePostStatus(false);
    return done ? completeUpload() : 0;
}

int HTTPConnection::onPostWritten(BOOL ok, DWORD error, DWORD bytes) {
    if (!ok)
        LOG_ERROR(log_, L"HTTPConnection::handleMessage", L"WriteFile", error);
    EnterCriticalSection(&transferLock_);
    writePending_ = false;
    if (!ok || bytes == 0) {
        uploadFailed_ = true;
    } else {
        written_ += bytes;
        UploadBuffer& buffer = uploadBuffers_[writeIndex_];
        TransferBuffers::shared().give(&buffer.block, log_);
        buffer.fill = 0;
        buffer.readyToWrite = false;
        writeIndex_ = (writeIndex_ + 1) % kRingSlots;
        pumpUpload();
    }
    bool failed = uploadFailed_;
    bool done = uploadDone();
    if (done)
        uploadComplete_ = true;
    LeaveCriticalSection(&transferLock_);
    if (failed)
        return 1;
    return done ? completeUpload() : 0;
}

// Every byte is on disk and nothing is in flight: make the file final before the answer
// goes out, so that a client that has the answer finds the file complete.
int HTTPConnection::completeUpload() {
    if (watch_) {
        watch_->setReporting(watchSlot_, false);
        watch_->enter(watchSlot_, ConnectionWatch::PhaseSending);
    }
    finishUploadFile();
    EnterCriticalSection(&transferLock_);
    postPhase_ = PostComplete;
    receiveFinished_ = true;
    sendFinished_ = false;
    LeaveCriticalSection(&transferLock_);
    updatePostStatus(true);
    bool started = send200PostOk();
    updateCompletePost();
    if (!started) {
        EnterCriticalSection(&transferLock_);
        sendFinished_ = true;
        LeaveCriticalSection(&transferLock_);
        return 1;
    }
    return 0;
}

// Closes the unbuffered handle and reopens the file buffered to cut it: first to the
// expected size (whole buffers were written), then before any part the client sent after
// the file, when that part starts within the last kTailWindow bytes.
void HTTPConnection::finishUploadFile() {
    const wchar_t* function = L"HTTPConnection::handleMessage";
    if (!CloseHandle(uploadFile_)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, function, L"CloseHandle", error);
    }
    uploadFile_ = INVALID_HANDLE_VALUE;
    HANDLE file = CreateFileW(uploadPath_, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, function, L"CreateFileW", error);
        return;
    }
    LONGLONG end = expectedSize_;
    LONGLONG start = end > kTailWindow ? end - kTailWindow : 0;
    char window[kTailWindow];
    DWORD got = 0;
    LARGE_INTEGER at;
    at.QuadPart = start;
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, function, L"SetFilePointerEx", error);
    } else if (!ReadFile(file, window, static_cast<DWORD>(end - start), &got, nullptr)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, function, L"ReadFile for POST truncation", error);
    } else if (got == end - start) {
        int64_t cut = findTrailingParts(window, got, boundary_, boundaryLength_);
        if (cut >= 0)
            end = start + cut;
    }
    at.QuadPart = end;
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, function, L"SetFilePointerEx", error);
    } else if (!SetEndOfFile(file)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, function, L"SetEndOfFile", error);
    }
    if (!CloseHandle(file)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, function, L"CloseHandle", error);
    }
}

// At deletion, a file still open is an upload that never completed (the client went away,
// or the socket or the disk failed): it holds whole buffers of a file that did not arrive,
// and under the sender's name it would pass for the real one, so it is removed.
void HTTPConnection::deleteUpload() {
    if (uploadFile_ != INVALID_HANDLE_VALUE) {
        if (!CloseHandle(uploadFile_)) {
            DWORD error = GetLastError();
            LOG_ERROR(log_, L"HTTPConnection::deleteObject", L"CloseHandle", error);
        }
        uploadFile_ = INVALID_HANDLE_VALUE;
        if (!DeleteFileW(uploadPath_)) {
            DWORD error = GetLastError();
            LOG_ERROR(log_, L"HTTPConnection::deleteObject", L"DeleteFileW", error);
        }
    }
    delete[] uploadPath_;
    uploadPath_ = nullptr;
    delete[] uploadName_;
    uploadName_ = nullptr;
}

bool HTTPConnection::send409() {
    Piece body[10];
    body[0] = PIECE(
        "<html><head><title>409 Conflict</title></head><body><h1>Conflict</h1><p>A file with the specified "
        "name already exists on the server.</p><a href=\"/\">Return to Index</a>");
    size_t count = 1 + footer(body + 1);
    return sendHtml(PIECE("HTTP/1.1 409 Conflict\r\nDate: "), body, count);  // sendPieces logs a failed start
}

bool HTTPConnection::send200PostFile() {
    Piece body[10];
    body[0] = PIECE(
        "<html><head><title>No File Specified</title></head><body><h1>No File Specified</h1><p>It seems no "
        "file was included in the request. A file must be selected before pressing the Send Now button. "
        "<a href=\"/send_file_form/\">Try Again</a>.</p><a href=\"/\">Return to Index</a>");
    size_t count = 1 + footer(body + 1);
    return sendHtml(PIECE("HTTP/1.1 200 OK\r\nDate: "), body, count);  // sendPieces logs a failed start
}

bool HTTPConnection::send200PostOk() {
    Piece body[12];
    body[0] = PIECE("<html><head><title>File Sent</title></head><body><h1>File Sent</h1><p>The file <i>");
    body[1] = {uploadNameHtml_, uploadNameHtmlLength_};
    body[2] = PIECE(
        "</i> has been sent successfully.<br><a href=\"/send_file_form/\">Send Another File</a></p>"
        "<a href=\"/\">Return to Index</a>");
    size_t count = 3 + footer(body + 3);
    return sendHtml(PIECE("HTTP/1.1 200 OK\r\nDate: "), body, count);  // sendPieces logs a failed start
}

// The path record of an upload names the file as stored (with its "(n)", if any).
void HTTPConnection::updateUploadPath() {
    if (!connectionWindow_ || !uploadPath_)
        return;
    const wchar_t* name = uploadPath_;
    for (const wchar_t* p = uploadPath_; *p; ++p) {
        if (*p == L'\\')
            name = p + 1;
    }
    size_t length = wcslen(name);
    ConnectionStatus* status = new ConnectionStatus();
    status->connectionId = id_;
    status->fields = StatusUploadPath;
    status->path = new wchar_t[length + 1];
    memcpy(status->path, name, (length + 1) * sizeof(wchar_t));
    if (!PostMessageW(connectionWindow_, WM_CONNECTION_STATUS, id_, reinterpret_cast<LPARAM>(status))) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"HTTPConnection::updatePath", L"PostMessage", error);
        delete status;
    }
}

void HTTPConnection::updatePostStatus(bool forced) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    EnterCriticalSection(&transferLock_);
    bool due = forced || now.QuadPart - lastPostProgress_ > frequency_;
    if (due)
        lastPostProgress_ = now.QuadPart;
    LONGLONG total = expectedSize_;
    LONGLONG done = postReceived_ < total ? postReceived_ : total;
    bool post = due && connectionWindow_;
    if (post)
        reportedPost_ = done;
    LeaveCriticalSection(&transferLock_);
    if (post)
        postProgress(done, total);
}

void HTTPConnection::updateCompletePost() {
    if (!connectionWindow_)
        return;
    ConnectionStatus* status = new ConnectionStatus();
    status->connectionId = id_;
    status->fields = StatusUploadComplete;
    if (!PostMessageW(connectionWindow_, WM_CONNECTION_STATUS, id_, reinterpret_cast<LPARAM>(status))) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"HTTPConnection::updateCompletePost", L"PostMessage", error);
        delete status;
    }
}
