// The engine: the completion port, its ten workers, the server thread that waits for them,
// and the registry of objects with the reference counting that decides when each is freed.
#include "ServerWithReg.h"

#include <stdio.h>
#include <string.h>

#include "Log.h"
#include "ServerObject.h"

static const wchar_t kLogUnit[] = L"ServerWithReg";

Server::Server(Log* log, HWND notifyWindow, UINT stoppedMessage)
    : log_(log), notifyWindow_(notifyWindow), stoppedMessage_(stoppedMessage) {
    InitializeCriticalSection(&lock_);
}

Server::~Server() {
    delete[] registry_;
    DeleteCriticalSection(&lock_);
}

bool Server::startServer() {
    startSemaphore_ = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    if (!startSemaphore_) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"Server::startServer", L"CreateSemaphore", error);
        return false;
    }
    port_ = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    if (!port_) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"Server::startServer", L"CreateIoCompletionPort", error);
        CloseHandle(startSemaphore_);
        startSemaphore_ = nullptr;
        return false;
    }
    serverThread_ = CreateThread(nullptr, 0, serverThreadProc, this, 0, nullptr);
    if (!serverThread_) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"Server::startServer", L"CreateThread", error);
        CloseHandle(port_);
        port_ = nullptr;
        CloseHandle(startSemaphore_);
        startSemaphore_ = nullptr;
        return false;
    }
    DWORD waited = WaitForSingleObject(startSemaphore_, INFINITE);
    if (waited == WAIT_OBJECT_0) {
        CloseHandle(startSemaphore_);
        startSemaphore_ = nullptr;
        return true;
    }
    if (waited == WAIT_ABANDONED) {
        LOG_ERROR_TEXT(log_, L"Server::startServer", L"WaitForSingleObject ABANDONED");
    } else if (waited == WAIT_TIMEOUT) {
        LOG_ERROR_TEXT(log_, L"Server::startServer", L"WaitForSingleObject TIMEOUT");
    } else {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"Server::startServer", L"WaitForSingleObject", error);
    }
    CloseHandle(port_);
    port_ = nullptr;
    CloseHandle(startSemaphore_);
    startSemaphore_ = nullptr;
    return false;
}

DWORD Server::newObjectId() {
    EnterCriticalSection(&lock_);
    DWORD id = nextId_++;
    LeaveCriticalSection(&lock_);
    return id;
}

DWORD Server::objectCount() {
    EnterCriticalSection(&lock_);
    DWORD count = count_;
    LeaveCriticalSection(&lock_);
    return count;
}

void Server::listObjects(std::string* out) {
    EnterCriticalSection(&lock_);
    for (DWORD i = 0; i < count_; ++i) {
        ServerObject* object = registry_[i];
        char line[96];
        // Same order as releaseObject: the server's lock, then the object's.
        EnterCriticalSection(&object->lock_);
        snprintf(line, sizeof line, "object %lu refs %ld%s%s ", static_cast<unsigned long>(object->id_),
                 static_cast<long>(object->refCount_), object->ready_ ? " ready" : "",
                 object->terminating_ ? " terminating" : "");
        LeaveCriticalSection(&object->lock_);
        out->append(line);
        object->describe(out);
        out->append("\n");
    }
    LeaveCriticalSection(&lock_);
}

bool Server::associate(HANDLE handle, const wchar_t* function) {
    if (!CreateIoCompletionPort(handle, port_, KeyMessage, 0)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, function, L"CreateIoCompletionPort", error);
        return false;
    }
    return true;
}

bool Server::addObject(ServerObject* object) {
    if (!object->initObject()) {
        LOG_ERROR_TEXT(log_, L"Server::addObject", L"initObject failed");
        return false;
    }
    ServerObject** old = nullptr;
    EnterCriticalSection(&lock_);
    bool added = !terminating_;
    if (added) {
        ServerObject** grown = new ServerObject*[count_ + 1];
        if (count_)
            memcpy(grown, registry_, count_ * sizeof *registry_);
        grown[count_++] = object;
        old = registry_;
        registry_ = grown;
        // The ready message's reference, taken before anyone else can see the object.
        EnterCriticalSection(&object->lock_);
        ++object->refCount_;
        LeaveCriticalSection(&object->lock_);
    }
    LeaveCriticalSection(&lock_);
    delete[] old;

    if (!added) {
        if (!object->deleteObject())
            LOG_ERROR_TEXT(log_, L"Server::addObject", L"deleteObject failed");
        return false;
    }
    ServerMessage* ready = new ServerMessage(object->id(), MsgReady);
    if (!PostQueuedCompletionStatus(port_, 0, KeyMessage, ready->overlapped())) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"Server::addObject", L"PostQueuedCompletionStatus", error);
        object->giveReference();
        delete ready;
    }
    return true;
}

bool Server::terminateObject(DWORD id) {
    return postToObject(id, MsgTerminate, L"Server::terminateObject");
}

bool Server::messageObject(DWORD id, DWORD code) {
    return postToObject(id, code, L"Server::messageObject");
}

bool Server::postToObject(DWORD id, DWORD code, const wchar_t* function) {
    ServerObject* target = nullptr;
    EnterCriticalSection(&lock_);
    for (DWORD i = 0; i < count_; ++i) {
        if (registry_[i]->id_ == id) {
            // Taken under the server's lock so the object cannot be released meanwhile.
            if (registry_[i]->takeReference())
                target = registry_[i];
            break;
        }
    }
    LeaveCriticalSection(&lock_);
    if (!target)
        return true;  // not registered, or already terminating: nothing to do

    ServerMessage* message = new ServerMessage(id, code);
    if (!PostQueuedCompletionStatus(port_, 0, KeyMessage, message->overlapped())) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, function, L"PostQueuedCompletionStatus", error);
        delete message;
        // Released rather than given back: it may have become the last reference.
        if (releaseObject(target) == 2 && !closeWorkers())
            LOG_ERROR_TEXT(log_, function, L"closeWorkers failed");
        return false;
    }
    return true;
}

bool Server::terminateAllObjects() {
    EnterCriticalSection(&lock_);
    ServerObject** snapshot = new ServerObject*[count_ ? count_ : 1];
    DWORD taken = 0;
    for (DWORD i = 0; i < count_; ++i) {
        if (registry_[i]->takeReference())
            snapshot[taken++] = registry_[i];
    }
    LeaveCriticalSection(&lock_);

    bool result = true;
    for (DWORD i = 0; i < taken; ++i) {
        ServerMessage* message = new ServerMessage(snapshot[i]->id_, MsgTerminate);
        if (!PostQueuedCompletionStatus(port_, 0, KeyMessage, message->overlapped())) {
            DWORD error = GetLastError();
            LOG_ERROR(log_, L"Server::terminateAllObjects", L"PostQueuedCompletionStatus", error);
            delete message;
            if (releaseObject(snapshot[i]) == 2 && !closeWorkers())
                LOG_ERROR_TEXT(log_, L"Server::terminateAllObjects", L"closeWorkers failed");
            result = false;
        }
    }
    delete[] snapshot;
    return result;
}

bool Server::closeWorkers() {
    bool result = true;
    for (DWORD i = 0; i < workerCount_; ++i) {
        if (!PostQueuedCompletionStatus(port_, 0, KeyCloseWorker, nullptr)) {
            DWORD error = GetLastError();
            LOG_ERROR(log_, L"Server::closeWorkers", L"PostQueuedCompletionStatus", error);
            result = false;
        }
    }
    return result;
}

bool Server::terminateServer() {
    EnterCriticalSection(&lock_);
    if (terminating_) {
        LeaveCriticalSection(&lock_);
        return true;
    }
    terminating_ = true;
    bool empty = count_ == 0;
    LeaveCriticalSection(&lock_);
    if (empty) {
        if (!closeWorkers())
            LOG_ERROR_TEXT(log_, L"Server::terminateServer", L"closeWorkers failed");
    } else if (!terminateAllObjects()) {
        LOG_ERROR_TEXT(log_, L"Server::terminateServer", L"terminateAllObjects failed");
    }
    return true;
}

void Server::destroyServer() {
    // The server thread posts the stopped message as its last act; let it finish.
    if (serverThread_) {
        WaitForSingleObject(serverThread_, INFINITE);
        CloseHandle(serverThread_);
        serverThread_ = nullptr;
    }
    if (port_ && !CloseHandle(port_)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"Server::destroyServer", L"CloseHandle", error);
    }
    port_ = nullptr;
    delete this;
}

ServerObject* Server::acquireObject(DWORD id) {
    ServerObject* found = nullptr;
    EnterCriticalSection(&lock_);
    for (DWORD i = 0; i < count_; ++i) {
        if (registry_[i]->id_ == id) {
            found = registry_[i];
            EnterCriticalSection(&found->lock_);
            ++found->refCount_;
            LeaveCriticalSection(&found->lock_);
            break;
        }
    }
    LeaveCriticalSection(&lock_);
    return found;
}

int Server::releaseObject(ServerObject* object) {
    EnterCriticalSection(&lock_);
    EnterCriticalSection(&object->lock_);
    --object->refCount_;
    bool finished = object->terminating_ && object->refCount_ == 0;
    LeaveCriticalSection(&object->lock_);
    if (!finished) {
        LeaveCriticalSection(&lock_);
        return 0;
    }
    int result = 1;
    ServerObject** old = registry_;
    if (count_ > 1) {
        ServerObject** shrunk = new ServerObject*[count_ - 1];
        DWORD n = 0;
        for (DWORD i = 0; i < count_; ++i) {
            if (registry_[i] != object)
                shrunk[n++] = registry_[i];
        }
        registry_ = shrunk;
    } else {
        registry_ = nullptr;
        if (terminating_)
            result = 2;
    }
    --count_;
    LeaveCriticalSection(&lock_);

    delete[] old;
    if (!object->deleteObject())
        LOG_ERROR_TEXT(log_, L"Server::releaseObject", L"deleteObject failed");
    if (!object->notifyTermination())
        LOG_ERROR_TEXT(log_, L"Server::releaseObject", L"notifyTermination failed");
    delete object;
    return result;
}

void Server::beginTermination(ServerObject* object) {
    EnterCriticalSection(&object->lock_);
    bool first = !object->terminating_;
    object->terminating_ = true;
    LeaveCriticalSection(&object->lock_);
    if (first)
        object->terminateObject();
}

DWORD WINAPI Server::serverThreadProc(void* param) {
    static_cast<Server*>(param)->runServerThread();
    return 0;
}

DWORD WINAPI Server::workerThreadProc(void* param) {
    static_cast<Server*>(param)->runWorker();
    return 0;
}

void Server::runServerThread() {
    workers_ = new HANDLE[WorkerCount];
    for (DWORD i = 0; i < WorkerCount; ++i) {
        HANDLE worker = CreateThread(nullptr, 0, workerThreadProc, this, 0, nullptr);
        if (!worker) {
            DWORD error = GetLastError();
            LOG_ERROR(log_, L"Server::serverThreadProc", L"CreateThread", error);
            continue;
        }
        workers_[workerCount_++] = worker;
    }
    if (!ReleaseSemaphore(startSemaphore_, 1, nullptr)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"Server::serverThreadProc", L"ReleaseSemaphore", error);
    }
    if (workerCount_) {
        DWORD waited = WaitForMultipleObjects(workerCount_, workers_, TRUE, INFINITE);
        if (waited >= WAIT_ABANDONED_0 && waited < WAIT_ABANDONED_0 + workerCount_) {
            LOG_ERROR_TEXT(log_, L"Server::serverThreadProc", L"WaitForMultipleObjects ABANDONED");
        } else if (waited == WAIT_TIMEOUT) {
            LOG_ERROR_TEXT(log_, L"Server::serverThreadProc", L"WaitForMultipleObjects TIMEOUT");
        } else if (waited == WAIT_FAILED) {
            DWORD error = GetLastError();
            LOG_ERROR(log_, L"Server::serverThreadProc", L"WaitForMultipleObjects", error);
        }
    }
    for (DWORD i = 0; i < workerCount_; ++i) {
        if (!CloseHandle(workers_[i])) {
            DWORD error = GetLastError();
            LOG_ERROR(log_, L"Server::serverThreadProc", L"CloseHandle", error);
        }
    }
    delete[] workers_;
    workers_ = nullptr;
    if (notifyWindow_ && !PostMessageW(notifyWindow_, stoppedMessage_, 0, 0)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"Server::serverThreadProc", L"PostMessage", error);
    }
}

void Server::runWorker() {
    for (;;) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* record = nullptr;
        BOOL ok = GetQueuedCompletionStatus(port_, &bytes, &key, &record, INFINITE);
        DWORD error = ok ? 0 : GetLastError();
        if (!record && key != KeyCloseWorker) {
            LOG_ERROR(log_, L"Server::workerThreadProc", L"GetQueuedCompletionStatus", error);
            continue;
        }
        if (key == KeyCloseWorker)
            return;
        if (key != KeyMessage && key != KeyQueued)
            continue;

        ServerMessage* message;
        if (key == KeyQueued) {
            QueuedMessage* queued = reinterpret_cast<QueuedMessage*>(record);
            message = queued->message;
            ok = queued->ok;
            error = queued->error;
            bytes = queued->bytes;
            delete queued;
        } else {
            message = ServerMessage::fromOverlapped(record);
        }

        ServerObject* object = acquireObject(message->objectId);
        if (!object) {
            LOG_ERROR(log_, L"Server::workerThreadProc",
                      key == KeyQueued ? L"Failed to aquire object for queued message" : L"Failed to aquire object",
                      message->objectId);
            delete message;
            continue;
        }
        bool kept = dispatchTo(object, message, ok, error, bytes);
        if (releaseObject(object) == 2 && !closeWorkers())
            LOG_ERROR_TEXT(log_, L"Server::workerThreadProc", L"closeWorkers failed");
        if (!kept)
            delete message;
    }
}

bool Server::dispatchTo(ServerObject* object, ServerMessage* message, BOOL ok, DWORD error, DWORD bytes) {
    EnterCriticalSection(&object->lock_);
    bool wasReady = object->ready_;
    bool kept = !wasReady && message->code != MsgReady;
    if (kept) {
        // Until readyObject has run, everything else waits in arrival order.
        QueuedMessage** grown = new QueuedMessage*[object->pendingCount_ + 1];
        if (object->pendingCount_)
            memcpy(grown, object->pending_, object->pendingCount_ * sizeof *grown);
        grown[object->pendingCount_++] = new QueuedMessage{message, ok, error, bytes};
        delete[] object->pending_;
        object->pending_ = grown;
        ++object->refCount_;
    }
    LeaveCriticalSection(&object->lock_);

    if (wasReady) {
        if (message->code == MsgTerminate || object->handleMessage(message, ok, error, bytes) == 1)
            beginTermination(object);
    } else if (!kept) {
        // An object that refuses to start terminates before the messages that waited for
        // it are posted again, so each of them meets a terminating object.
        if (object->readyObject() == 1)
            beginTermination(object);
        object->setReady();
    }

    EnterCriticalSection(&object->lock_);
    --object->refCount_;  // the worker's temporary reference from acquireObject
    LeaveCriticalSection(&object->lock_);
    return kept;
}
