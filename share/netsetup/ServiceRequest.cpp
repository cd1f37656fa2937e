// ServiceRequest: the outbound request pattern as every requester of the web service runs it;
// entries are logged under the requester's own unit and names.
#include "ServiceRequest.h"

#include <string.h>

#include "Log.h"
#include "ServerWithReg.h"
#include "TrafficCounters.h"

namespace {

const char kAgent[] = "Wexa-Share/1.2.1";

char* copyText(const char* text) {
    size_t length = strlen(text);
    char* copy = new char[length + 1];
    memcpy(copy, text, length + 1);
    return copy;
}

}  // namespace

ServiceRequest::ServiceRequest(Server* server, HWND notifyWindow, UINT terminationMessage,
                               const ServiceRequestNames& names, const char* host, WORD port, const char* path,
                               TrafficCounters* counters)
    : OutboundObject(server, notifyWindow, terminationMessage, names.starters),
      window_(notifyWindow),
      names_(names),
      counters_(counters),
      host_(copyText(host)),
      path_(path),
      port_(port) {}

ServiceRequest::~ServiceRequest() {
    stopIdleTimer();
    delete[] host_;
    delete[] reply_;
}

int ServiceRequest::readyObject() {
    // The lookup blocks this worker; these requests are rare (start-up or the user's button).
    if (!resolveHost(names_.readyObject, host_, &address_))
        return 1;
    startIdleTimer();
    return openAndConnect(names_.readyObject, address_, port_) ? 0 : 1;
}

void ServiceRequest::terminateObject() {
    closeSocket(names_.terminateObject);
    stopIdleTimer();
}

void ServiceRequest::startIdleTimer() {
    InterlockedExchange(&lastByteTick_, static_cast<LONG>(GetTickCount()));
    // Checked ten times per limit, at most once a second: it ends within a tenth of the limit.
    DWORD period = idleLimit_ / 10;
    period = period < 10 ? 10 : (period > 1000 ? 1000 : period);
    // Without the timer the request still works, only without its time limit.
    if (!CreateTimerQueueTimer(&idleTimer_, nullptr, onIdleTimer, this, period, period, WT_EXECUTEDEFAULT)) {
        DWORD error = GetLastError();
        Log::error(names_.starters.unit, log_, __LINE__, names_.readyObject, L"CreateTimerQueueTimer", error);
        idleTimer_ = nullptr;
    }
}

void ServiceRequest::stopIdleTimer() {
    // INVALID_HANDLE_VALUE: waits for a running check, which uses this object.
    if (idleTimer_ && !DeleteTimerQueueTimer(nullptr, idleTimer_, INVALID_HANDLE_VALUE)) {
        DWORD error = GetLastError();
        Log::error(names_.starters.unit, log_, __LINE__, names_.terminateObject, L"DeleteTimerQueueTimer", error);
    }
    idleTimer_ = nullptr;
}

void CALLBACK ServiceRequest::onIdleTimer(void* param, BOOLEAN) {
    ServiceRequest* request = static_cast<ServiceRequest*>(param);
    DWORD idle = GetTickCount() - static_cast<DWORD>(request->lastByteTick_);
    if (idle < request->idleLimit_ || InterlockedExchange(&request->timedOut_, 1))
        return;
    Log::errorText(request->names_.starters.unit, request->log_, __LINE__, request->names_.handleMessage,
                   L"no answer from the service within the time limit");
    // Only a posted order: the termination itself runs on a worker, never on this thread.
    request->server_->terminateObject(request->id_);
}

int ServiceRequest::handleMessage(ServerMessage* message, BOOL ok, DWORD, DWORD bytes) {
    switch (message->code) {
    case MsgConnected:
        return onConnected();
    case MsgReceived:
        if (ok && bytes > 0) {
            InterlockedExchange(&lastByteTick_, static_cast<LONG>(GetTickCount()));
            if (counters_)
                counters_->addReceived(bytes);
        }
        return onReceived(static_cast<SocketRecord*>(message), ok, bytes);
    case MsgSent:
        if (ok && counters_)
            counters_->addSent(bytes);
        return 0;
    default:
        return 0;
    }
}

bool ServiceRequest::startFirstReceive() {
    char* buffer = new char[kReceiveBytes];
    if (startRecv(buffer, kReceiveBytes))
        return true;
    delete[] buffer;
    return false;
}

int ServiceRequest::onConnected() {
    // The receive goes first: a failed connect shows here, as a receive that cannot start.
    bool receiving = startFirstReceive();
    if (!receiving) {
        Log::errorText(names_.starters.unit, log_, __LINE__, names_.handleMessage, L"postRecv failed");
        if (!sendsWithoutReceive_)
            return 1;
    }
    // Static texts and this object's own fields: they outlive the send.
    const char* texts[7] = {"GET ", path_, " HTTP/1.1\r\nUser-Agent: ", kAgent, "\r\nHost: ", host_,
                            "\r\nConnection: close\r\n\r\n"};
    WSABUF pieces[7];
    for (int i = 0; i < 7; ++i) {
        pieces[i].buf = const_cast<char*>(texts[i]);
        pieces[i].len = static_cast<ULONG>(strlen(texts[i]));
    }
    if (!startSend(pieces, 7))
        return 1;
    return receiving ? 0 : 1;
}

int ServiceRequest::collectReply(SocketRecord* record, BOOL ok, DWORD bytes, size_t maxBytes) {
    if (ok && bytes > 0) {
        if (!append(record->buffer, bytes, maxBytes)) {
            Log::errorText(names_.starters.unit, log_, __LINE__, names_.handleMessage, L"response too long");
            delete[] record->buffer;
            return 1;
        }
        if (startRecv(record->buffer, kReceiveBytes))
            return 0;
    }
    // Closed by the service, failed, or no next receive: whatever came is the reply, unless the
    // time limit cut the exchange short.
    delete[] record->buffer;
    if (!timedOut())
        replyComplete();
    return 1;
}

bool ServiceRequest::append(const char* bytes, DWORD count, size_t maxBytes) {
    if (static_cast<size_t>(replyLength_) + count > maxBytes)
        return false;
    char* grown = new char[replyLength_ + count];
    if (replyLength_)
        memcpy(grown, reply_, replyLength_);
    memcpy(grown + replyLength_, bytes, count);
    delete[] reply_;
    reply_ = grown;
    replyLength_ += static_cast<int32_t>(count);
    return true;
}
