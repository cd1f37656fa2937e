// ServerObject: reference counting, the pending queue of messages that arrive before the
// object is ready, and the termination notice to the creator's window.
#include "ServerObject.h"

#include "Log.h"
#include "ServerWithReg.h"

static const wchar_t kLogUnit[] = L"ServerObject";

ServerObject::ServerObject(Server* server, HWND notifyWindow, UINT terminationMessage)
    : log_(server->log()),
      id_(server->newObjectId()),
      port_(server->port()),
      server_(server),
      notifyWindow_(notifyWindow),
      terminationMessage_(terminationMessage) {
    InitializeCriticalSection(&lock_);
}

ServerObject::~ServerObject() {
    for (DWORD i = 0; i < pendingCount_; ++i) {
        delete pending_[i]->message;
        delete pending_[i];
    }
    delete[] pending_;
    DeleteCriticalSection(&lock_);
}

bool ServerObject::takeReference() {
    EnterCriticalSection(&lock_);
    bool taken = !terminating_;
    if (taken)
        ++refCount_;
    LeaveCriticalSection(&lock_);
    return taken;
}

void ServerObject::giveReference() {
    EnterCriticalSection(&lock_);
    --refCount_;
    LeaveCriticalSection(&lock_);
}

void ServerObject::holdReference() {
    EnterCriticalSection(&lock_);
    ++refCount_;
    LeaveCriticalSection(&lock_);
}

bool ServerObject::isTerminating() {
    EnterCriticalSection(&lock_);
    bool terminating = terminating_;
    LeaveCriticalSection(&lock_);
    return terminating;
}

bool ServerObject::postToSelf(ServerMessage* message, DWORD bytes) {
    if (!takeReference()) {
        delete message;
        return false;
    }
    if (!PostQueuedCompletionStatus(port_, bytes, KeyMessage, message->overlapped())) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"ServerObject::postToSelf", L"PostQueuedCompletionStatus", error);
        delete message;
        giveReference();
        return false;
    }
    return true;
}

void ServerObject::setReady() {
    EnterCriticalSection(&lock_);
    ready_ = true;
    QueuedMessage** queued = pending_;
    DWORD count = pendingCount_;
    pending_ = nullptr;
    pendingCount_ = 0;
    LeaveCriticalSection(&lock_);

    // Posted again in arrival order; each keeps the reference it took when it was queued.
    for (DWORD i = 0; i < count; ++i) {
        QueuedMessage* entry = queued[i];
        if (!PostQueuedCompletionStatus(port_, 0, KeyQueued, reinterpret_cast<OVERLAPPED*>(entry))) {
            DWORD error = GetLastError();
            LOG_ERROR(log_, L"ServerObject::setReady", L"PostQueuedCompletionStatus", error);
            delete entry->message;
            delete entry;
            // The dispatching worker still holds its own reference, so this cannot be the last.
            giveReference();
        }
    }
    delete[] queued;
}

bool ServerObject::notifyTermination() {
    if (!notifyWindow_ || !terminationMessage_)
        return true;
    if (!PostMessageW(notifyWindow_, terminationMessage_, id_, 0)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"ServerObject::notifyTermination", L"PostMessage", error);
        return false;
    }
    return true;
}
