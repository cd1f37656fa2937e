// AddrRequester: the outbound request pattern with a reply gathered over every receive, so a
// reply split over many receives or longer than the receive buffer arrives whole.
#include "AddrRequester.h"

#include <string.h>

#include "AddressResponse.h"
#include "Log.h"

static const wchar_t kLogUnit[] = L"AddrRequester";

#ifndef WEXA_SERVICE_HOST
#define WEXA_SERVICE_HOST "service.wexa-share.test"
#endif

namespace {

const char kServiceHostName[] = WEXA_SERVICE_HOST;
const WORD kServiceHttpPort = 80;
const char kAgent[] = "Wexa-Share/1.2.1";

const OutboundNames kAddrNames = {L"AddrRequester", L"AddrRequester::postConnect", L"AddrRequester::postRecv",
                                  L"AddrRequester::postSend"};

char* copyText(const char* text) {
    size_t length = strlen(text);
    char* copy = new char[length + 1];
    memcpy(copy, text, length + 1);
    return copy;
}

}  // namespace

AddrRequester::AddrRequester(Server* server, HWND notifyWindow)
    : AddrRequester(server, notifyWindow, kServiceHostName, kServiceHttpPort) {}

AddrRequester::AddrRequester(Server* server, HWND notifyWindow, const char* host, WORD port)
    : OutboundObject(server, notifyWindow, WM_ADDRESS_ENDED, kAddrNames),
      window_(notifyWindow),
      port_(port),
      host_(copyText(host)) {}

AddrRequester::~AddrRequester() {
    delete[] host_;
    delete[] response_;
}

int AddrRequester::readyObject() {
    static const wchar_t kFunction[] = L"AddrRequester::readyObject";
    // The lookup blocks this worker; the request is rare and made by the user or at start-up.
    if (!resolveHost(kFunction, host_, &address_))
        return 1;
    return openAndConnect(kFunction, address_, port_) ? 0 : 1;
}

void AddrRequester::terminateObject() { closeSocket(L"AddrRequester::terminateObject"); }

int AddrRequester::handleMessage(ServerMessage* message, BOOL ok, DWORD, DWORD bytes) {
    switch (message->code) {
    case MsgConnected:
        return onConnected();
    case MsgReceived:
        return onReceived(static_cast<SocketRecord*>(message), ok, bytes);
    default:
        return 0;
    }
}

int AddrRequester::onConnected() {
    // The receive goes first: a failed connect shows here, as a receive that cannot start.
    int answer = 0;
    char* buffer = new char[kReceiveBytes];
    if (!postRecv(buffer, kReceiveBytes)) {
        LOG_ERROR_TEXT(log_, L"AddrRequester::handleMessage", L"postRecv failed");
        delete[] buffer;
        answer = 1;
    }
    // Static texts and this object's own host: they outlive the send.
    WSABUF pieces[5];
    const char* texts[5] = {"GET /getip.php HTTP/1.1\r\nUser-Agent: ", kAgent, "\r\nHost: ", host_,
                            "\r\nConnection: close\r\n\r\n"};
    for (int i = 0; i < 5; ++i) {
        pieces[i].buf = const_cast<char*>(texts[i]);
        pieces[i].len = static_cast<ULONG>(strlen(texts[i]));
    }
    if (!postSend(pieces, 5))
        return 1;
    return answer;
}

int AddrRequester::onReceived(SocketRecord* record, BOOL ok, DWORD bytes) {
    // One receive is outstanding at a time, so the reply fields are only touched here.
    if (ok && bytes > 0) {
        if (!append(record->buffer, bytes)) {
            LOG_ERROR_TEXT(log_, L"AddrRequester::handleMessage", L"response too long");
            delete[] record->buffer;
            return 1;
        }
        if (postRecv(record->buffer, kReceiveBytes))
            return 0;
    }
    // Closed by the service, failed, or no next receive: whatever came is the reply. Nothing
    // at all (a refused connect also ends here on some socket layers) is no reply.
    delete[] record->buffer;
    if (responseLength_ > 0)
        handOver();
    return 1;
}

bool AddrRequester::append(const char* bytes, DWORD count) {
    if (static_cast<size_t>(responseLength_) + count > kAddressResponseMaxBytes)
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

void AddrRequester::handOver() {
    AddressReply* reply = new AddressReply{response_, responseLength_};
    response_ = nullptr;
    responseLength_ = 0;
    if (!PostMessageW(window_, replyMessage_, id_, reinterpret_cast<LPARAM>(reply))) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"AddrRequester::handleMessage", L"PostMessage", error);
        delete[] reply->bytes;
        delete reply;
    }
}
