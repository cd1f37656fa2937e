// UpdateRequester: the outbound request pattern, the whole answer gathered over every receive
// and read once the service has closed the connection.
#include "UpdateRequester.h"

#include <string.h>

#include "Log.h"
#include "TrafficCounters.h"
#include "UpdateRules.h"

static const wchar_t kLogUnit[] = L"UpdateRequester";

#ifndef WEXA_SERVICE_HOST
#define WEXA_SERVICE_HOST "service.wexa-share.test"
#endif

namespace {

const char kAgent[] = "Wexa-Share/1.2.1";
const char kCheckPath[] = "/update.php?mode=check";

const OutboundNames kNames = {L"UpdateRequester", L"UpdateRequester::postConnect", L"UpdateRequester::postRecv",
                              L"UpdateRequester::postSend"};

char* copyText(const char* text) {
    size_t length = strlen(text);
    char* copy = new char[length + 1];
    memcpy(copy, text, length + 1);
    return copy;
}

}  // namespace

UpdateRequester::UpdateRequester(Server* server, HWND notifyWindow, TrafficCounters* counters)
    : UpdateRequester(server, notifyWindow, counters, WEXA_SERVICE_HOST, 80) {}

UpdateRequester::UpdateRequester(Server* server, HWND notifyWindow, TrafficCounters* counters, const char* host,
                                 WORD port)
    : OutboundObject(server, notifyWindow, WM_UPDATE_CHECK_ENDED, kNames),
      counters_(counters),
      window_(notifyWindow),
      port_(port),
      host_(copyText(host)) {}

UpdateRequester::~UpdateRequester() {
    delete[] host_;
    delete[] response_;
}

int UpdateRequester::readyObject() {
    static const wchar_t kFunction[] = L"UpdateRequester::readyObject";
    // The lookup blocks this worker; a check is rare (start-up or the user's button).
    if (!resolveHost(kFunction, host_, &address_))
        return 1;
    return openAndConnect(kFunction, address_, port_) ? 0 : 1;
}

void UpdateRequester::terminateObject() { closeSocket(L"UpdateRequester::terminateObject"); }

int UpdateRequester::handleMessage(ServerMessage* message, BOOL ok, DWORD, DWORD bytes) {
    switch (message->code) {
    case MsgConnected:
        return onConnected();
    case MsgReceived:
        return onReceived(static_cast<SocketRecord*>(message), ok, bytes);
    case MsgSent:
        if (ok && counters_)
            counters_->addSent(bytes);
        return 0;
    default:
        return 0;
    }
}

int UpdateRequester::onConnected() {
    // The receive goes first: a failed connect shows here, as a receive that cannot start.
    int answer = 0;
    char* buffer = new char[kReceiveBytes];
    if (!postRecv(buffer, kReceiveBytes)) {
        LOG_ERROR_TEXT(log_, L"UpdateRequester::handleMessage", L"postRecv failed");
        delete[] buffer;
        answer = 1;
    }
    // Static texts and this object's own host: they outlive the send.
    const char* texts[7] = {"GET ", kCheckPath, " HTTP/1.1\r\nUser-Agent: ", kAgent, "\r\nHost: ", host_,
                            "\r\nConnection: close\r\n\r\n"};
    WSABUF pieces[7];
    for (int i = 0; i < 7; ++i) {
        pieces[i].buf = const_cast<char*>(texts[i]);
        pieces[i].len = static_cast<ULONG>(strlen(texts[i]));
    }
    if (!postSend(pieces, 7))
        return 1;
    return answer;
}

int UpdateRequester::onReceived(SocketRecord* record, BOOL ok, DWORD bytes) {
    // One receive is outstanding at a time, so the response fields are only touched here.
    if (ok && bytes > 0) {
        if (counters_)
            counters_->addReceived(bytes);
        if (!append(record->buffer, bytes)) {
            LOG_ERROR_TEXT(log_, L"UpdateRequester::handleMessage", L"response too long");
            delete[] record->buffer;
            return 1;
        }
        if (postRecv(record->buffer, kReceiveBytes))
            return 0;
    }
    delete[] record->buffer;
    handOver();
    return 1;
}

bool UpdateRequester::append(const char* bytes, DWORD count) {
    if (static_cast<int64_t>(responseLength_) + count > kMaxResponseBytes)
        return false;
    char* grown = new char[responseLength_ + count];
    if (responseLength_)
        memcpy(grown, response_, responseLength_);
    memcpy(grown + responseLength_, bytes, count);
    delete[] response_;
    response_ = grown;
    responseLength_ += static_cast<int32_t>(count);
    return true;
}

void UpdateRequester::handOver() {
    int32_t version = parseUpdateVersion(response_, static_cast<size_t>(responseLength_));
    if (version <= 0)
        return;
    UpdateVersion* record = new UpdateVersion{version};
    if (!PostMessageW(window_, versionMessage_, id_, reinterpret_cast<LPARAM>(record))) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"UpdateRequester::handleMessage", L"PostMessage", error);
        delete record;
    }
}
