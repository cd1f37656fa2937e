// HeadRequester: the header request's exchange, following the outbound request pattern.
#include "HeadRequester.h"

#include <string.h>

#include "DownloadMessages.h"
#include "Log.h"
#include "TlsChannel.h"

static const wchar_t kLogUnit[] = L"HeadRequester";

static const OutboundNames kHeadNames = {L"HeadRequester", L"HeadRequester::postConnect", L"HeadRequester::postRecv",
                                         L"HeadRequester::postSend"};

static char* copyText(const char* text) {
    if (!text || !*text)
        return nullptr;
    size_t length = strlen(text);
    char* copy = new char[length + 1];
    memcpy(copy, text, length + 1);
    return copy;
}

HeadRequester::HeadRequester(Server* server, HWND notifyWindow, DWORD entryId, DWORD address, WORD port,
                             const char* path, const char* host, const char* credentials, bool secure)
    : OutboundObject(server, notifyWindow, WM_DL_HEAD_ENDED, kHeadNames),
      entryId_(entryId),
      headMessage_(WM_DL_HEAD),
      address_(address),
      port_(port),
      path_(copyText(path)),
      host_(copyText(host)),
      credentials_(copyText(credentials)),
      window_(notifyWindow),
      tls_(secure ? new TlsChannel(log_, kLogUnit) : nullptr) {}

HeadRequester::~HeadRequester() {
    delete tls_;
    delete[] path_;
    delete[] host_;
    delete[] received_;
    delete[] credentials_;
}

int HeadRequester::readyObject() {
    return openAndConnect(L"HeadRequester::readyObject", address_, port_) ? 0 : 1;
}

void HeadRequester::terminateObject() { closeSocket(L"HeadRequester::terminateObject"); }

int HeadRequester::handleMessage(ServerMessage* message, BOOL ok, DWORD, DWORD bytes) {
    switch (message->code) {
    case MsgConnected:
        return onConnected();
    case MsgReceived: {
        SocketRecord* record = static_cast<SocketRecord*>(message);
        bool goOn = ok && bytes > 0 && (tls_ ? handleSecure(record->buffer, bytes) : handleData(record->buffer, bytes));
        if (goOn && postRecv(record->buffer, kReceiveBytes))
            return 0;
        // Connected, and the server ended the connection before the handshake was done: it
        // does not speak TLS on that port, or would not with us.
        if (tls_ && !tls_->ready() && tls_->failure() == TlsFailure::None && (!ok || bytes == 0))
            postSecureFailure(TlsFailure::Handshake);
        delete[] record->buffer;
        return 1;
    }
    default:
        return 0;
    }
}

int HeadRequester::onConnected() {
    // Made before the receive starts: the receive path reads the channel from then on.
    WSABUF hello = {};
    if (tls_ && !tls_->start(host_ ? host_ : "", &hello))
        return 1;
    // The receive goes first: a failed connect shows here, as a receive that cannot start.
    char* buffer = new char[kBufferBytes];
    if (!postRecv(buffer, kReceiveBytes)) {
        LOG_ERROR_TEXT(log_, L"HeadRequester::handleMessage", L"postRecv failed");
        delete[] buffer;
        return 1;
    }
    if (tls_)
        return postSend(&hello, 1) ? 0 : 1;
    return sendRequest(nullptr) ? 0 : 1;
}

bool HeadRequester::sendRequest(const WSABUF* before) {
    // Pieces point at static texts and this object's own fields, which outlive the send.
    WSABUF pieces[10];
    DWORD count = 0;
    auto add = [&](const char* text) {
        pieces[count].buf = const_cast<char*>(text ? text : "");
        pieces[count].len = text ? static_cast<ULONG>(strlen(text)) : 0;
        ++count;
    };
    add("HEAD ");
    add(path_ ? path_ : "/");
    add(" HTTP/1.1\r\nHost: ");
    add(host_);
    add("\r\nUser-Agent: ");
    add(kDownloaderAgent);
    if (credentials_) {
        add("\r\nAuthorization: Basic ");
        add(credentials_);
    }
    add("\r\nRange: bytes=0-\r\nConnection: close\r\n\r\n");
    if (!tls_)
        return postSend(pieces, count);
    // The handshake's last message, when it has one, and the request go out in one send.
    WSABUF sealed[2];
    DWORD parts = 0;
    if (before && before->len)
        sealed[parts++] = *before;
    if (!tls_->seal(pieces, count, &sealed[parts++]))
        return false;
    return postSend(sealed, parts);
}

bool HeadRequester::handleSecure(const char* bytes, DWORD count) {
    if (!tls_->ready()) {
        WSABUF reply;
        TlsChannel::Step step = tls_->handshake(bytes, count, &reply);
        if (step == TlsChannel::StepFailed) {
            postSecureFailure(tls_->failure());
            return false;
        }
        if (step == TlsChannel::StepContinue)
            return reply.len == 0 || postSend(&reply, 1);
        sealed_ = tls_->takeLeftover();
        if (!sendRequest(&reply))
            return false;
        if (sealed_.empty())
            return true;
    } else {
        sealed_.append(bytes, count);
    }
    size_t plain = 0;
    size_t used = 0;
    TlsChannel::Read read = tls_->open(&sealed_[0], sealed_.size(), &plain, &used);
    bool goOn = read == TlsChannel::ReadOk;
    if (read != TlsChannel::ReadFailed && plain)
        goOn = handleData(sealed_.data(), static_cast<DWORD>(plain)) && goOn;
    sealed_.erase(0, used);
    return goOn;
}

void HeadRequester::postSecureFailure(TlsFailure why) {
    HeadRecord* record = new HeadRecord{nullptr, 0, id_, why};
    if (!PostMessageW(window_, headMessage_, entryId_, reinterpret_cast<LPARAM>(record))) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"HeadRequester::handleSecure", L"PostMessage", error);
        delete record;
    }
}

bool HeadRequester::handleData(const char* bytes, DWORD count) {
    char* grown = new char[receivedLength_ + count];
    if (receivedLength_)
        memcpy(grown, received_, receivedLength_);
    memcpy(grown + receivedLength_, bytes, count);
    delete[] received_;
    received_ = grown;
    int32_t searchFrom = receivedLength_ > 3 ? receivedLength_ : 3;
    receivedLength_ += static_cast<int32_t>(count);
    for (int32_t i = searchFrom; i < receivedLength_; ++i) {
        if (received_[i - 3] == '\r' && received_[i - 2] == '\n' && received_[i - 1] == '\r' && received_[i] == '\n') {
            deliver(i + 1);
            return false;
        }
    }
    // Endless header lines would grow this until memory runs out: what has not ended by now is
    // handed over as a head of no length, which the entry refuses as an unusable answer.
    if (receivedLength_ >= kMaxHeadBytes) {
        deliver(0);
        return false;
    }
    return true;
}

void HeadRequester::deliver(int32_t headLength) {
    HeadRecord* record = new HeadRecord{received_, headLength, id_};
    received_ = nullptr;
    receivedLength_ = 0;
    if (!PostMessageW(window_, headMessage_, entryId_, reinterpret_cast<LPARAM>(record))) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"HeadRequester::handleData", L"PostMessage", error);
        delete[] record->bytes;
        delete record;
    }
}
