// HTTPConnection: receive one head, answer it, close. See HTTPConnection.h.
#include "HTTPConnection.h"

#include <new>
#include <stdio.h>
#include <string.h>

#include "FileHandler.h"
#include "FolderZip.h"
#include "HTTPConnectionRanges.h"
#include "Log.h"
#include "NetStatus.h"
#include "ServerSettings.h"
#include "ServerWithReg.h"
#include "TrafficCounters.h"

static const wchar_t kLogUnit[] = L"HTTPConnection";

namespace {

// A body up to this size goes out with the head in front of it, in one send.
const LONGLONG kSmallBody = 64 * 1024;
// A body this small goes out with its head in a send the socket's buffer takes at once.
const LONGLONG kUnwatchedBody = 8 * 1024;

#define PIECE(literal) {literal, sizeof(literal) - 1}

size_t decimalText(LONGLONG value, char* out, size_t capacity) {
    return formatDecimal(value, out, capacity);
}

// Bytes of index pages held by all connections of the process (kPageBudget).
SRWLOCK g_pageLock = SRWLOCK_INIT;
LONGLONG g_pageBytesHeld = 0;

}  // namespace

HTTPConnection::HTTPConnection(Server* server, HWND connectionWindow, TrafficCounters* counters,
                               const ServerSettings* settings, FileHandler* files, SOCKET client,
                               ConnectionWatch* watch)
    : ServerObject(server, connectionWindow, WM_CONNECTION_CLOSED),
      counters_(counters),
      connectionWindow_(connectionWindow),
      settings_(settings),
      files_(files),
      socket_(client),
      watch_(watch) {
    if (watch_)
        watch_->addRef();
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    frequency_ = f.QuadPart > 0 ? f.QuadPart : 1;
}

HTTPConnection::~HTTPConnection() {
    if (watch_)
        watch_->release();
}

bool HTTPConnection::initObject() {
    InitializeCriticalSection(&transferLock_);
    transferLockReady_ = true;
    // Only a small head buffer until a long head or a body comes: idle connections cost little.
    receiveBuffer_ = new char[kFirstReceive];
    receiveCapacity_ = kFirstReceive;
    return true;
}

// Gives the head buffer its full size, keeping what it holds.
bool HTTPConnection::growReceiveBuffer() {
    if (receiveCapacity_ == kReceiveCapacity)
        return true;
    char* grown = new (std::nothrow) char[kReceiveCapacity];
    if (!grown) {
        LOG_ERROR(log_, L"HTTPConnection::growReceiveBuffer", L"new", ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    memcpy(grown, receiveBuffer_, received_);
    delete[] receiveBuffer_;
    receiveBuffer_ = grown;
    receiveCapacity_ = kReceiveCapacity;
    return true;
}

bool HTTPConnection::deleteObject() {
    postFinalProgress();
    if (watch_)
        watch_->remove(watchSlot_);
    watchSlot_ = ConnectionWatch::kNoSlot;
    if (pageReserved_) {
        AcquireSRWLockExclusive(&g_pageLock);
        g_pageBytesHeld -= pageReserved_;
        ReleaseSRWLockExclusive(&g_pageLock);
        pageReserved_ = 0;
    }
    deleteUpload();
    if (entry_) {
        if (entry_->itemId) {
            files_->endTransfer(entry_->itemId);
            files_->statusUpdate(entry_->itemId, true);
        }
        delete entry_;
        entry_ = nullptr;
    }
    delete zip_;
    zip_ = nullptr;
    releaseBuffers();
    delete[] receiveBuffer_;
    receiveBuffer_ = nullptr;
    delete[] safePath_;
    safePath_ = nullptr;
    delete[] safeHost_;
    safeHost_ = nullptr;
    if (haveRequest_) {
        freeRequest(&request_);
        haveRequest_ = false;
    }
    if (transferLockReady_) {
        DeleteCriticalSection(&transferLock_);
        transferLockReady_ = false;
    }
    return true;
}

int HTTPConnection::readyObject() {
    // The head's clock starts now: a client gets a fixed time to send its whole head.
    if (watch_)
        watchSlot_ = watch_->add(id_);
    if (!server_->associate(reinterpret_cast<HANDLE>(socket_), L"HTTPConnection::readyObject"))
        return 1;
    sockaddr_in local;
    int length = sizeof local;
    if (getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length) == SOCKET_ERROR) {
        DWORD error = WSAGetLastError();
        LOG_ERROR(log_, L"HTTPConnection::readyObject", L"getsockname", error);
    } else if (length != sizeof local) {
        LOG_ERROR_TEXT(log_, L"HTTPConnection::readyObject", L"getsockname returned bad address length");
    } else {
        localPortLength_ = decimalText(ntohs(local.sin_port), localPort_, sizeof localPort_);
    }
    if (!postRecv())
        return 1;
    EnterCriticalSection(&transferLock_);
    sendFinished_ = true;  // nothing to send until a head has been read
    LeaveCriticalSection(&transferLock_);

    if (connectionWindow_) {
        ConnectionStatus* status = new ConnectionStatus();
        status->connectionId = id_;
        status->fields = StatusOpened;
        fillPeerAddress(status->peerAddress, 64);
        copyBounded(reinterpret_cast<char16_t*>(status->statusText), 64, u"Receiving Request");
        if (!PostMessageW(connectionWindow_, WM_CONNECTION_OPENED, id_, reinterpret_cast<LPARAM>(status))) {
            DWORD error = GetLastError();
            LOG_ERROR(log_, L"HTTPConnection::readyObject", L"PostMessage", error);
            delete status;
        }
    }
    return 0;
}

void HTTPConnection::fillPeerAddress(wchar_t* out, size_t capacity) {
    sockaddr_in peer;
    int length = sizeof peer;
    if (getpeername(socket_, reinterpret_cast<sockaddr*>(&peer), &length) == SOCKET_ERROR) {
        DWORD error = WSAGetLastError();
        LOG_ERROR(log_, L"HTTPConnection::readyObject", L"getpeername", error);
    } else if (length != sizeof peer) {
        LOG_ERROR_TEXT(log_, L"HTTPConnection::readyObject", L"getpeername returned bad address length");
    } else {
        formatAddress(peer.sin_addr.s_addr, ntohs(peer.sin_port), reinterpret_cast<char16_t*>(out), capacity);
        return;
    }
    copyBounded(reinterpret_cast<char16_t*>(out), capacity, u"<unknown>");
}

void HTTPConnection::terminateObject() {
    // Every outstanding receive, send and read then completes with an error.
    // Cancelled first: under Wine a send still pending on a reset socket is not always
    // completed by closesocket alone, and the connection would then never be released.
    if (!CancelIoEx(reinterpret_cast<HANDLE>(socket_), nullptr)) {
        DWORD error = GetLastError();
        if (error != ERROR_NOT_FOUND)
            LOG_ERROR(log_, L"HTTPConnection::terminateObject", L"CancelIoEx", error);
    }
    ObjectLock hold(this);
    if (closesocket(socket_) == SOCKET_ERROR) {
        DWORD error = WSAGetLastError();
        LOG_ERROR(log_, L"HTTPConnection::terminateObject", L"closesocket", error);
    }
}

int HTTPConnection::handleMessage(ServerMessage* message, BOOL ok, DWORD error, DWORD bytes) {
    switch (message->code) {
    case MsgReceive:
        return onReceive(ok, bytes);
    case MsgSendPieces:
        return onPiecesSent(ok, bytes);
    case MsgSendFile:
        return onFileSent(message, ok, bytes);
    case MsgReadFile:
        return onFileRead(message, ok, bytes);
    case MsgPostReceive:
        return onPostReceived(ok, bytes);
    case MsgPostWrite:
        return onPostWritten(ok, error, bytes);
    case MsgZipRead:
        return onZipRead(message, ok, bytes);
    case MsgZipSend:
        return onZipSent(message, ok, bytes);
    case MsgReport:
        reportProgress();
        return 0;
    case MsgSendContinue:
        // Only a go-ahead: a failure shows again in the body's receive.
        if (ok)
            counters_->addSent(bytes);
        return 0;
    default:
        return 0;
    }
}

bool HTTPConnection::postRecv() {
    ObjectLock hold(this);
    if (!takeReference())
        return false;
    IoRecord* record = new IoRecord(id_, MsgReceive);
    WSABUF buffer;
    buffer.buf = receiveBuffer_ + received_;
    buffer.len = receiveCapacity_ - received_;
    DWORD flags = 0;
    if (WSARecv(socket_, &buffer, 1, nullptr, &flags, reinterpret_cast<WSAOVERLAPPED*>(record->overlapped()),
                nullptr) == SOCKET_ERROR) {
        DWORD error = WSAGetLastError();
        if (error != WSA_IO_PENDING) {
            LOG_ERROR(log_, L"HTTPConnection::postRecv", L"WSARecv", error);
            delete record;
            giveReference();
            return false;
        }
    }
    return true;
}

int HTTPConnection::onReceive(BOOL ok, DWORD bytes) {
    if (watchingPeer_) {
        // The peer reset the connection: its response can go nowhere, and a send pending at
        // that moment may never complete under Wine, so the connection ends now. Wine reports
        // some resets as an orderly end of data: a half-closed client still gets its whole
        // response while it reads, but a send that stalls after it is cut soon.
        if (!ok)
            return 1;
        if (bytes > 0)
            counters_->addReceived(bytes);   // bytes after the head are not a request
        else if (watch_)
            watch_->enter(watchSlot_, ConnectionWatch::PhasePeerClosed);
    } else if (ok && bytes > 0) {
        counters_->addReceived(bytes);
        if (handleData(bytes)) {
            if (postRecv())
                return 0;
        } else if (needsResetWatch()) {
            // While a large response goes out one receive stays posted, only to learn of a reset;
            // a socket that takes no receive any more has been reset already. Marked first:
            // the body may end before the post returns, and then ends the connection itself.
            EnterCriticalSection(&transferLock_);
            watchingPeer_ = true;
            LeaveCriticalSection(&transferLock_);
            return postRecv() ? 0 : 1;
        }
    }
    EnterCriticalSection(&transferLock_);
    // An upload's body has a receive pipeline of its own, which finishes the receive side.
    if (postPhase_ != PostReceiving && postPhase_ != PostComplete)
        receiveFinished_ = true;
    bool done = sendFinished_ && receiveFinished_;
    LeaveCriticalSection(&transferLock_);
    return done ? 1 : 0;
}

// A file body or an index page still going out, too large to be sure its send never waits on
// the peer, has a receive posted beside it to learn of a reset (see onReceive).
bool HTTPConnection::needsResetWatch() {
    EnterCriticalSection(&transferLock_);
    bool fileBody = bodyFollows_ && last_ - first_ >= kUnwatchedBody;
    bool page = responseSends_ > 0 && pageReserved_ >= kUnwatchedBody;
    bool needed = postPhase_ == PostOff && !sendFinished_ && (fileBody || page);
    LeaveCriticalSection(&transferLock_);
    return needed;
}

// Answers whether more data is wanted.
bool HTTPConnection::handleData(DWORD bytes) {
    if (postPhase_ != PostOff) {
        received_ += bytes;
        return continuePost(bytes);
    }
    received_ += bytes;
    int64_t end = findBytes(receiveBuffer_, received_, "\r\n\r\n", 4);
    if (end < 0) {
        // A full buffer without the blank line: the head is too long and gets no answer.
        if (received_ < receiveCapacity_)
            return true;
        return receiveCapacity_ < kReceiveCapacity && growReceiveBuffer();
    }
    size_t headLength = static_cast<size_t>(end) + 4;
    parseRequestHead(&request_, receiveBuffer_, headLength);
    haveRequest_ = true;
    if (watch_)
        watch_->enter(watchSlot_, request_.method == kMethodPost ? ConnectionWatch::PhaseBody
                                                                 : ConnectionWatch::PhaseSending);
    safePath_ = makeSafe(request_.displayPath, request_.displayPathLength, &safePathLength_);
    safeHost_ = makeSafe(request_.host, request_.hostLength, &safeHostLength_);
    bool more = answerRequest(headLength);
    // Only the first head is handled; anything after it is ignored, except a POST's body.
    if (postPhase_ == PostOff)
        received_ = 0;
    return more;
}

// Answers whether more request data is wanted (only a POST's body is).
bool HTTPConnection::answerRequest(size_t headLength) {
    if (request_.method == kMethodTestcon) {
        setTestSucceeded(true);
        return false;
    }
    if (request_.version == kVersionUnknown || request_.method == kMethodUnknown)
        return false;

    if (request_.method == kMethodPost) {
        if (!settings_->allowUploads() || !request_.hasBoundary || request_.boundaryLength == 0)
            return false;
        bool authorized = !settings_->requirePassword() ||
                          (request_.hasCredentials &&
                           settings_->checkLogin(request_.user, static_cast<DWORD>(request_.userLength), request_.password,
                                      static_cast<DWORD>(request_.passwordLength)));
        // The body's first bytes may have come with the head: they start the POST step, which
        // scans part headers in the full buffer.
        memmove(receiveBuffer_, receiveBuffer_ + headLength, received_ - headLength);
        received_ -= static_cast<DWORD>(headLength);
        return growReceiveBuffer() && beginPost(authorized);
    }

    // GET or HEAD.
    wchar_t* path = nullptr;
    size_t pathLength = 0;
    if (request_.path) {
        path = reinterpret_cast<wchar_t*>(newUtf16FromUtf8(request_.path, request_.pathLength, &pathLength));
        if (!path)
            LOG_ERROR(log_, L"HTTPConnection::handleData", L"MultiByteToWideChar", ERROR_NO_UNICODE_TRANSLATION);
    }
    EnterCriticalSection(&transferLock_);
    sendFinished_ = false;
    LeaveCriticalSection(&transferLock_);

    bool started;
    if (settings_->requirePassword() &&
        !(request_.hasCredentials && settings_->checkLogin(request_.user, static_cast<DWORD>(request_.userLength),
                                                request_.password, static_cast<DWORD>(request_.passwordLength)))) {
        started = send401();
    } else {
        entry_ = path ? files_->getEntry(path, static_cast<DWORD>(pathLength), wantsArchive()) : nullptr;
        started = entry_ ? sendEntry() : send404();
    }
    delete[] path;
    if (!started) {
        EnterCriticalSection(&transferLock_);
        sendFinished_ = true;
        LeaveCriticalSection(&transferLock_);
    }
    return false;
}

char* HTTPConnection::makeSafe(const char* text, size_t length, size_t* outLength) {
    *outLength = 0;
    if (!text)
        return nullptr;
    size_t needed = escapePathForHtml(text, length, nullptr, 0);
    char* safe = new char[needed + 1];
    *outLength = escapePathForHtml(text, length, safe, needed + 1);
    return safe;
}

size_t HTTPConnection::footer(Piece* out) {
    out[0] = PIECE("<hr><address>");
    out[1] = PIECE(kProduct);
    out[2] = PIECE(" at ");
    out[3] = {safeHost_ ? safeHost_ : "", safeHostLength_};
    out[4] = PIECE(" Port ");
    out[5] = {localPort_, localPortLength_};
    out[6] = PIECE("</address></body></html>");
    return 7;
}

bool HTTPConnection::sendEntry() {
    switch (entry_->kind) {
    case EntryOpenFile:
        return sendFile();
    case EntryIndexTable: {
        if (!reservePage())
            return send503();
        char owner[kTableOwnerCapacity];
        wchar_t name[kUserNameReadUnits + 1];
        DWORD nameLength = settings_->copyUserName(name, kUserNameReadUnits + 1);
        size_t ownerLength = htmlDisplayName(reinterpret_cast<char16_t*>(name), nameLength, owner,
                                             kHeadingOwnerCapacity);
        size_t headingLength = buildIndexHeading(owner, ownerLength, heading_);
        PagePiece pieces[kIndexPagePieces];
        indexPagePieces(safePath_ ? safePath_ : "", safePathLength_, heading_, headingLength, entry_->content,
                        entry_->contentLength, entry_->offersArchive, safeHost_ ? safeHost_ : "",
                        safeHostLength_, localPort_, localPortLength_, pieces);
        Piece body[kIndexPagePieces];
        for (size_t i = 0; i < kIndexPagePieces; ++i)
            body[i] = {pieces[i].data, pieces[i].length};
        return sendPage(body, kIndexPagePieces);
    }
    case EntryPage: {
        Piece body[8];
        body[0] = {entry_->content, entry_->contentLength};
        size_t count = 1 + footer(body + 1);
        return sendPage(body, count);
    }
    case EntryFolderArchive:
        return sendFolderZip();
    case EntryBuiltin: {
        currentHttpDate(date_, sizeof date_);
        Piece head[] = {
            PIECE("HTTP/1.1 200 OK\r\nDate: "), {date_, strlen(date_)},
            PIECE("\r\nServer: "), PIECE(kProduct),
            PIECE("\r\nLast-Modified: "), {entry_->dateText, strlen(entry_->dateText)},
            PIECE("\r\nContent-Length: "), {entry_->sizeText, strlen(entry_->sizeText)},
            PIECE("\r\nContent-Type: "), {entry_->mimeType, strlen(entry_->mimeType)},
            PIECE("\r\nConnection: close\r\n\r\n"),
        };
        Piece body[] = {{entry_->content, entry_->contentLength}};
        return sendPieces(head, sizeof head / sizeof *head, body, 1);
    }
    default:
        return false;  // no response for anything else
    }
}

bool HTTPConnection::sendPage(const Piece* body, size_t count) {
    return sendHtml(PIECE("HTTP/1.1 200 OK\r\nDate: "), body, count);
}

// Every generated page goes out with the same head; extra is a header line of its own
// ("\r\nName: value") placed after "Server", or empty.
bool HTTPConnection::sendHtml(Piece status, const Piece* body, size_t count, Piece extra) {
    size_t length = 0;
    for (size_t i = 0; i < count; ++i)
        length += body[i].length;
    decimalText(static_cast<LONGLONG>(length), bodyLength_, sizeof bodyLength_);
    currentHttpDate(date_, sizeof date_);
    Piece head[] = {
        status, {date_, strlen(date_)},
        PIECE("\r\nServer: "), PIECE(kProduct),
        extra,
        PIECE("\r\nContent-Length: "), {bodyLength_, strlen(bodyLength_)},
        PIECE("\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n"),
    };
    return sendPieces(head, sizeof head / sizeof *head, body, count);
}

bool HTTPConnection::send404() {
    Piece body[10];
    body[0] = PIECE("<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1><p>The requested URL ");
    body[1] = {safePath_ ? safePath_ : "", safePathLength_};
    body[2] = PIECE(" was not found on this server.</p>");
    size_t count = 3 + footer(body + 3);
    return sendHtml(PIECE("HTTP/1.1 404 Not Found\r\nDate: "), body, count);
}

bool HTTPConnection::send401() {
    Piece body[10];
    body[0] = PIECE(
        "<html><head><title>401 Authorization Required</title></head><body><h1>Authorization Required</h1>"
        "<p>This server could not verify that you are authorized to access the document requested. "
        "You may have entered an incorrect login or password.</p>");
    size_t count = 1 + footer(body + 1);
    return sendHtml(PIECE("HTTP/1.1 401 Authorization Required\r\nDate: "), body, count,
                    PIECE("\r\nWWW-Authenticate: Basic realm =\"Password protected\""));
}

// Counts this connection's index page against kPageBudget; when the budget is spent the page is
// freed at once and false returned. A page larger than the whole budget still goes out when no
// other page is held, so that a big folder can always be listed by someone.
bool HTTPConnection::reservePage() {
    if (reserveMemory(entry_->contentLength))
        return true;
    if (entry_->ownsContent)
        delete[] entry_->content;
    entry_->content = nullptr;
    entry_->contentLength = 0;
    return false;
}

// Counts bytes against kPageBudget (index pages and archive plans share it); false when it is
// spent. What is larger than the whole budget still fits when nothing else is held.
bool HTTPConnection::reserveMemory(LONGLONG bytes) {
    AcquireSRWLockExclusive(&g_pageLock);
    bool fits = g_pageBytesHeld == 0 || g_pageBytesHeld + bytes <= kPageBudget;
    if (fits)
        g_pageBytesHeld += bytes;
    ReleaseSRWLockExclusive(&g_pageLock);
    if (fits)
        pageReserved_ += bytes;
    return fits;
}

bool HTTPConnection::send503() {
    Piece body[10];
    body[0] = PIECE(
        "<html><head><title>503 Service Unavailable</title></head><body><h1>Service Unavailable</h1>"
        "<p>The server is too busy to list this folder now. Please try again later.</p>");
    size_t count = 1 + footer(body + 1);
    return sendHtml(PIECE("HTTP/1.1 503 Service Unavailable\r\nDate: "), body, count,
                    PIECE("\r\nRetry-After: 10"));
}

// The head and, except for HEAD, the body: two gather writes, counted before they start.
// (One write of both was tried: under Wine a send of several pieces that is pending when the
// client resets was then often never completed.) Whoever brings the count to zero finishes the
// send side: a completion (onPiecesSent), or this caller when a failed start leaves nothing in
// flight (false tells it so). A head that completes while the body's start fails on another
// thread thus never strands the connection.
bool HTTPConnection::sendPieces(const Piece* head, size_t headCount, const Piece* body, size_t bodyCount) {
    bool withBody = request_.method != kMethodHead && bodyCount > 0;
    EnterCriticalSection(&transferLock_);
    responseSends_ += withBody ? 2 : 1;
    LeaveCriticalSection(&transferLock_);
    bool headStarted = postPieces(head, headCount);
    bool bodyStarted = headStarted && withBody && postPieces(body, bodyCount);
    if (!headStarted || (withBody && !bodyStarted)) {
        LOG_ERROR_TEXT(log_, L"HTTPConnection::postSend", L"postSend failed");
        EnterCriticalSection(&transferLock_);
        responseSends_ -= (headStarted ? 0 : 1) + (withBody && !bodyStarted ? 1 : 0);
        bool inFlight = responseSends_ > 0;
        LeaveCriticalSection(&transferLock_);
        return inFlight;
    }
    return true;
}

// The non-empty pieces as a gather write's buffers; answers how many.
DWORD HTTPConnection::gatherPieces(const Piece* pieces, size_t count, WSABUF* buffers) {
    DWORD used = 0;
    for (size_t i = 0; i < count; ++i) {
        if (!pieces[i].length)
            continue;
        buffers[used].buf = const_cast<char*>(pieces[i].data);
        buffers[used].len = static_cast<ULONG>(pieces[i].length);
        ++used;
    }
    return used;
}

bool HTTPConnection::postPieces(const Piece* pieces, size_t count, DWORD code) {
    ObjectLock hold(this);
    if (count > kMaxPieces || !takeReference())
        return false;
    WSABUF buffers[kMaxPieces];
    DWORD used = gatherPieces(pieces, count, buffers);
    IoRecord* record = new IoRecord(id_, code);
    if (WSASend(socket_, buffers, used, nullptr, 0, reinterpret_cast<WSAOVERLAPPED*>(record->overlapped()),
                nullptr) == SOCKET_ERROR) {
        DWORD error = WSAGetLastError();
        if (error != WSA_IO_PENDING) {
            LOG_ERROR(log_, L"HTTPConnection::postSend", L"WSASend", error);
            delete record;
            giveReference();
            return false;
        }
    }
    return true;
}

bool HTTPConnection::sendFile() {
    LONGLONG size = entry_->size;
    LONGLONG first = 0, last = size - 1;
    bool partial = request_.hasRange &&
                   normalizeSingleRange(request_.ranges, request_.rangeCount, size, &first, &last);
    bool isGet = request_.method == kMethodGet;
    // An empty file has no body: the head alone is the response.
    bool body = isGet && last >= first;
    EnterCriticalSection(&transferLock_);
    bodyFollows_ = body;
    LeaveCriticalSection(&transferLock_);
    updatePath(!isGet);

    currentHttpDate(date_, sizeof date_);
    Piece* head = fileHead_;
    size_t n = 0;
    if (partial)
        head[n++] = PIECE("HTTP/1.1 206 Partial Content\r\nDate: ");
    else
        head[n++] = PIECE("HTTP/1.1 200 OK\r\nDate: ");
    head[n++] = {date_, strlen(date_)};
    head[n++] = PIECE("\r\nServer: ");
    head[n++] = PIECE(kProduct);
    head[n++] = PIECE("\r\nLast-Modified: ");
    head[n++] = {entry_->dateText, strlen(entry_->dateText)};
    head[n++] = PIECE("\r\nAccept-Ranges: bytes\r\nContent-Length: ");
    if (partial) {
        decimalText(last - first + 1, contentLength_, sizeof contentLength_);
        head[n++] = {contentLength_, strlen(contentLength_)};
        head[n++] = PIECE("\r\nContent-Range: bytes ");
        formatContentRange(first, last, size, contentRange_, sizeof contentRange_);
        head[n++] = {contentRange_, strlen(contentRange_)};
    } else {
        head[n++] = {entry_->sizeText, strlen(entry_->sizeText)};
    }
    head[n++] = PIECE("\r\nContent-Type: ");
    head[n++] = {entry_->mimeType, strlen(entry_->mimeType)};
    head[n++] = PIECE("\r\nConnection: close\r\n\r\n");

    EnterCriticalSection(&transferLock_);
    // With a body the head waits for the first data and goes out in the same send: under
    // Wine every operation costs about the same, and a small file then takes one send, not two.
    bool headStarted = true;
    if (body && last - first < kSmallBody) {
        fileHeadCount_ = n;
    } else {
        ++responseSends_;
        headStarted = postPieces(head, n);
        if (!headStarted) {
            --responseSends_;
            LOG_ERROR_TEXT(log_, L"HTTPConnection::sendFile", L"postSend failed");
        }
    }
    first_ = first;
    last_ = last;
    nextReadOffset_ = first - first % kIoBlock;  // unbuffered reads start on a block
    sent_ = 0;
    // The first progress record comes a second into the body: a body sent sooner has only
    // its final one.
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    lastProgress_ = now.QuadPart;
    bool started = headStarted;
    if (headStarted && body) {
        countTransfer();
        if (watch_)
            watch_->setReporting(watchSlot_, true);
        readInFlight_ = postRead();
        if (!readInFlight_) {
            LOG_ERROR_TEXT(log_, L"HTTPConnection::sendFile", L"postRead failed");
            bodyFollows_ = false;
            started = false;
        }
    }
    LeaveCriticalSection(&transferLock_);
    return started;
}

// Called with the transfer lock held.
bool HTTPConnection::postRead() {
    if (nextReadOffset_ > last_)
        return false;
    Slot& slot = slots_[readIndex_];
    if (!slot.freeForReading)
        return false;
    // Sized to what is left from this block-aligned offset, so that the last read of a body
    // does not take (or read into) more than it needs.
    LONGLONG remaining = last_ + 1 - nextReadOffset_;
    if (!TransferBuffers::shared().take(remaining, &slot.block, log_))
        return false;
    if (!takeReference()) {
        TransferBuffers::shared().give(&slot.block, log_);
        return false;
    }
    DWORD length = slot.block.size;
    if (remaining < length)
        length = static_cast<DWORD>((remaining + kIoBlock - 1) / kIoBlock * kIoBlock);
    DWORD index = readIndex_;
    slot.freeForReading = false;
    readIndex_ = (readIndex_ + 1) % kRingSlots;
    IoRecord* record = new IoRecord(id_, MsgReadFile, index);
    record->overlapped()->Offset = static_cast<DWORD>(nextReadOffset_);
    record->overlapped()->OffsetHigh = static_cast<DWORD>(nextReadOffset_ >> 32);
    if (!ReadFile(entry_->fileHandle, slot.block.data, length, nullptr, record->overlapped())) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            LOG_ERROR(log_, L"HTTPConnection::postRead", L"ReadFile", error);
            delete record;
            TransferBuffers::shared().give(&slot.block, log_);
            slot.freeForReading = true;
            readIndex_ = index;
            giveReference();
            return false;
        }
    }
    return true;
}

// Called with the transfer lock held.
bool HTTPConnection::postSend() {
    Slot& slot = slots_[sendIndex_];
    if (!slot.readyToSend)
        return false;
    ObjectLock hold(this);
    if (!takeReference())
        return false;
    DWORD index = sendIndex_;
    slot.readyToSend = false;
    sendIndex_ = (sendIndex_ + 1) % kRingSlots;
    IoRecord* record = new IoRecord(id_, MsgSendFile, index);
    WSABUF buffers[kMaxPieces + 1];
    // The first data of a body carries the response head in front of it.
    DWORD used = gatherPieces(fileHead_, fileHeadCount_, buffers);
    for (DWORD i = 0; i < used; ++i)
        record->headBytes += buffers[i].len;
    buffers[used].buf = slot.block.data + slot.start;
    buffers[used].len = slot.bytes;
    ++used;
    if (WSASend(socket_, buffers, used, nullptr, 0, reinterpret_cast<WSAOVERLAPPED*>(record->overlapped()),
                nullptr) == SOCKET_ERROR) {
        DWORD error = WSAGetLastError();
        if (error != WSA_IO_PENDING) {
            LOG_ERROR(log_, L"HTTPConnection::postSend", L"WSASend", error);
            delete record;
            giveReference();
            return false;
        }
    }
    fileHeadCount_ = 0;
    return true;
}

int HTTPConnection::onFileRead(ServerMessage* message, BOOL ok, DWORD bytes) {
    IoRecord* record = static_cast<IoRecord*>(message);
    Slot& slot = slots_[record->slot];
    EnterCriticalSection(&transferLock_);
    LONGLONG offset = static_cast<LONGLONG>(record->overlapped()->Offset) |
                      (static_cast<LONGLONG>(record->overlapped()->OffsetHigh) << 32);
    bool failed = !ok || bytes == 0;
    if (!failed) {
        LONGLONG useful = bytes;
        if (useful > last_ - offset + 1)
            useful = last_ - offset + 1;
        LONGLONG skip = offset < first_ ? first_ - offset : 0;
        if (useful <= skip) {
            failed = true;  // the file is shorter than it was when it was opened
        } else {
            nextReadOffset_ = offset + bytes;
            slot.start = static_cast<DWORD>(skip);
            slot.bytes = static_cast<DWORD>(useful - skip);
            slot.readyToSend = true;
            if (!sendInFlight_)
                sendInFlight_ = postSend();
            readInFlight_ = postRead();
        }
    }
    if (failed) {
        readInFlight_ = false;
        transferFailed_ = true;
    }
    bool idle = !readInFlight_ && !sendInFlight_;
    LeaveCriticalSection(&transferLock_);
    return (failed || idle) ? 1 : 0;
}

int HTTPConnection::onFileSent(ServerMessage* message, BOOL ok, DWORD bytes) {
    IoRecord* record = static_cast<IoRecord*>(message);
    Slot& slot = slots_[record->slot];
    if (!ok || bytes == 0 || bytes < slot.bytes + record->headBytes) {
        EnterCriticalSection(&transferLock_);
        sendInFlight_ = false;
        transferFailed_ = true;
        LeaveCriticalSection(&transferLock_);
        return 1;
    }
    counters_->addSent(bytes);
    DWORD data = bytes - record->headBytes;
    if (entry_->itemId)
        files_->addSent(entry_->itemId, data);
    if (watch_)
        watch_->progress(watchSlot_);
    EnterCriticalSection(&transferLock_);
    sent_ += data;
    LeaveCriticalSection(&transferLock_);
    updateStatus(false);

    EnterCriticalSection(&transferLock_);
    TransferBuffers::shared().give(&slot.block, log_);
    slot.freeForReading = true;
    if (!readInFlight_)
        readInFlight_ = postRead();
    sendInFlight_ = postSend();
    bool finished = !sendInFlight_ && (sent_ == last_ - first_ + 1 || !readInFlight_);
    LeaveCriticalSection(&transferLock_);
    if (!finished)
        return 0;
    return finishSending(false);
}

// From the first buffer of a body to the connection's end this transfer has its share of
// the pool's budget.
void HTTPConnection::countTransfer() {
    if (transferCounted_)
        return;
    transferCounted_ = true;
    TransferBuffers::shared().beginTransfer();
}

// Called at deletion, when nothing is in flight any more: every buffer still held goes back.
void HTTPConnection::releaseBuffers() {
    for (Slot& slot : slots_)
        TransferBuffers::shared().give(&slot.block, log_);
    for (UploadBuffer& buffer : uploadBuffers_)
        TransferBuffers::shared().give(&buffer.block, log_);
    if (transferCounted_) {
        TransferBuffers::shared().endTransfer();
        transferCounted_ = false;
    }
}

int HTTPConnection::onPiecesSent(BOOL ok, DWORD bytes) {
    if (ok) {
        counters_->addSent(bytes);
        if (watch_)
            watch_->progress(watchSlot_);
    }
    EnterCriticalSection(&transferLock_);
    --responseSends_;
    bool allDone = responseSends_ == 0 && !bodyFollows_;
    LeaveCriticalSection(&transferLock_);
    if (ok && bytes > 0 && !allDone)
        return 0;
    return finishSending(!ok);
}

int HTTPConnection::finishSending(bool failed) {
    if (watch_)
        watch_->setReporting(watchSlot_, false);
    updateStatus(true);
    EnterCriticalSection(&transferLock_);
    sendFinished_ = true;
    // A receive posted only to watch for a reset does not keep a finished response open.
    bool done = receiveFinished_ || watchingPeer_ || failed;
    LeaveCriticalSection(&transferLock_);
    return done ? 1 : 0;
}

void HTTPConnection::updatePath(bool head) {
    if (!connectionWindow_)
        return;
    ConnectionStatus* status = new ConnectionStatus();
    status->connectionId = id_;
    status->fields = head ? StatusHeadPath : StatusPath;
    status->path = new wchar_t[entry_->nameLength + 1];
    if (entry_->name)
        memcpy(status->path, entry_->name, entry_->nameLength * sizeof(wchar_t));
    status->path[entry_->nameLength] = 0;
    if (!PostMessageW(connectionWindow_, WM_CONNECTION_STATUS, id_, reinterpret_cast<LPARAM>(status))) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"HTTPConnection::updatePath", L"PostMessage", error);
        delete status;
    }
}

void HTTPConnection::updateStatus(bool forced) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    EnterCriticalSection(&transferLock_);
    bool due = forced || now.QuadPart - lastProgress_ > frequency_;
    if (due)
        lastProgress_ = now.QuadPart;
    LONGLONG sent = sent_;
    LONGLONG total = last_ - first_ + 1;
    bool post = due && connectionWindow_ && streamsBody();
    if (post)
        reportedSent_ = sent;
    LeaveCriticalSection(&transferLock_);
    if (post)
        postProgress(sent, total);
}

// The sweep asks about once a second while a transfer runs: the row moves even when the
// completions come further apart than that.
void HTTPConnection::reportProgress() {
    EnterCriticalSection(&transferLock_);
    bool upload = postPhase_ == PostReceiving;
    LeaveCriticalSection(&transferLock_);
    if (upload)
        updatePostStatus(true);
    else
        updateStatus(true);
}

// At the end, whatever road it took, the row shows where the transfer really stopped.
void HTTPConnection::postFinalProgress() {
    if (!connectionWindow_)
        return;
    if (postPhase_ == PostReceiving || postPhase_ == PostComplete) {
        LONGLONG done = postReceived_ < expectedSize_ ? postReceived_ : expectedSize_;
        if (done != reportedPost_)
            postProgress(done, expectedSize_);
    } else if (streamsBody() && sent_ != reportedSent_) {
        postProgress(sent_, last_ - first_ + 1);
    }
}

// One progress record: "Sending File: 12.3%" with the size pair; an empty total counts as done.
void HTTPConnection::postProgress(LONGLONG done, LONGLONG total) {
    ConnectionStatus* status = new ConnectionStatus();
    status->connectionId = id_;
    status->fields = StatusProgress;
    LONGLONG percent = total > 0 ? done * 100 / total : 100;
    LONGLONG tenths = total > 0 ? (done * 1000 / total) % 10 : 0;
    _snwprintf(status->statusText, 63, L"Sending File: %d.%d%lc", static_cast<int>(percent),
               static_cast<int>(tenths), L'%');
    formatSizePair(done, total, reinterpret_cast<char16_t*>(status->sizeText), 64);
    status->percentage = static_cast<DWORD>(percent);
    status->bytesSent = done;
    status->bytesTotal = total;
    if (!PostMessageW(connectionWindow_, WM_CONNECTION_STATUS, id_, reinterpret_cast<LPARAM>(status))) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"HTTPConnection::updateStatus", L"PostMessage", error);
        delete status;
    }
}
