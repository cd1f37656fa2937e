// HeadRequester: the header request's exchange, following the outbound request pattern.
#include "HeadRequester.h"

#include <string.h>

#include "DownloadMessages.h"
#include "Log.h"

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
                             const char* path, const char* host, const char* credentials)
    : OutboundObject(server, notifyWindow, WM_DL_HEAD_ENDED, kHeadNames),
      entryId_(entryId),
      headMessage_(WM_DL_HEAD),
      address_(address),
      port_(port),
      path_(copyText(path)),
      host_(copyText(host)),
      credentials_(copyText(credentials)),
      window_(notifyWindow) {}

HeadRequester::~HeadRequester() {
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
        if (ok && bytes > 0 && handleData(record->buffer, bytes) && postRecv(record->buffer, kReceiveBytes))
            return 0;
        delete[] record->buffer;
        return 1;
    }
    default:
        return 0;
    }
}

int HeadRequester::onConnected() {
    // The receive goes first: a failed connect shows here, as a receive that cannot start.
    char* buffer = new char[kBufferBytes];
    if (!postRecv(buffer, kReceiveBytes)) {
        LOG_ERROR_TEXT(log_, L"HeadRequester::handleMessage", L"postRecv failed");
        delete[] buffer;
        return 1;
    }
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
    return postSend(pieces, count) ? 0 : 1;
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
