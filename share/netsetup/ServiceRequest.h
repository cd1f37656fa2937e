// One request to our web service: a blocking host lookup and the connect in readyObject, the
// first receive before the one "GET", the traffic counted, the socket closed on terminate. An
// exchange that brings no byte for 30 seconds ends as a failed one.
// Each requester adds its path, how it reads the reply and what it posts to its window.
#pragma once
#include <cstddef>
#include <cstdint>

#include "OutboundObject.h"

class TrafficCounters;

// The web service's host name (a build setting); every request to it goes to TCP port 80.
constexpr const char* kServiceHost = WEXA_SERVICE_HOST;
constexpr WORD kServicePort = 80;

// A requester's log names: its starters' and those of its own slots ("AddrRequester::readyObject", ...).
struct ServiceRequestNames {
    OutboundNames starters;
    const wchar_t* readyObject;
    const wchar_t* terminateObject;
    const wchar_t* handleMessage;
};

class ServiceRequest : public OutboundObject {
public:
    ~ServiceRequest() override;

    bool initObject() override { return true; }
    bool deleteObject() override { return true; }
    int readyObject() override;
    void terminateObject() override;
    int handleMessage(ServerMessage* message, BOOL ok, DWORD error, DWORD bytes) override;

    static const DWORD kReceiveBytes = 2048;
    // From the connect's start, and again from every byte received.
    static constexpr DWORD kIdleLimitMilliseconds = 30000;
    // Before the object is added (tests shorten it).
    void setIdleLimit(DWORD milliseconds) { idleLimit_ = milliseconds; }

protected:
    // host is copied; path must outlive the object (the send points into it). counters may be
    // null: the request is then not counted.
    ServiceRequest(Server* server, HWND notifyWindow, UINT terminationMessage, const ServiceRequestNames& names,
                   const char* host, WORD port, const char* path, TrafficCounters* counters);

    // Posts the first receive; false when it could not start (the buffer, if any, is freed).
    virtual bool startFirstReceive();
    // A completed receive (already counted); 0 while the exchange goes on, 1 to end it.
    virtual int onReceived(SocketRecord* record, BOOL ok, DWORD bytes) = 0;

    // The receive chain of requesters that read the whole reply: appends every receive to
    // reply_ and calls replyComplete once the service closes (or a receive fails). A reply
    // growing past maxBytes ends the request without replyComplete.
    int collectReply(SocketRecord* record, BOOL ok, DWORD bytes, size_t maxBytes);
    virtual void replyComplete() {}

    // True once the idle limit ended the exchange: what came until then is no answer.
    bool timedOut() const { return timedOut_ != 0; }

    // Touched only by the receive chain, which has one receive outstanding at a time.
    char* reply_ = nullptr;   // new[]; a requester that takes it sets reply_ null and replyLength_ 0
    int32_t replyLength_ = 0;

    HWND window_;   // the notify window, where requesters post what they found
    // The connectivity test sends nothing once its receive could not start; the others still send.
    bool sendsWithoutReceive_ = true;

private:
    int onConnected();
    // On a thread of the default timer queue; terminateObject waits for it before the object goes.
    static void CALLBACK onIdleTimer(void* param, BOOLEAN fired);
    void startIdleTimer();
    void stopIdleTimer();
    bool append(const char* bytes, DWORD count, size_t maxBytes);

    ServiceRequestNames names_;
    TrafficCounters* counters_;
    char* host_;
    const char* path_;
    DWORD address_ = 0;   // network order, 0 until resolved
    WORD port_;
    DWORD idleLimit_ = kIdleLimitMilliseconds;
    HANDLE idleTimer_ = nullptr;
    // Written by the receive path and read by the timer thread: interlocked.
    volatile LONG lastByteTick_ = 0;
    volatile LONG timedOut_ = 0;
};
