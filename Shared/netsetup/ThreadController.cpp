// ThreadController: the lock-guarded flag and result, handle waits and closes, and the notice
// posted to the owner, shared by the share program's network controllers.
#include "ThreadController.h"

#include "ControllerNotice.h"
#include "Log.h"
#include "ServerObject.h"
#include "ServerWithReg.h"

// Entries logged here belong to the controller's unit, not to this one.
#define LOG_CONTROLLER_ERROR(function, call, code) \
    Log::error(names_.unit, log_, __LINE__, (function), (call), (code))

ThreadController::ThreadController(const Names& names, Log* log, Server* server, ServerObject* owner)
    : log_(log), server_(server), owner_(owner), names_(names) {
    InitializeCriticalSection(&lock_);
}

ThreadController::~ThreadController() {
    closeHandle(&stopSemaphore_, names_.deleteThis);
    DeleteCriticalSection(&lock_);
}

bool ThreadController::createStopSemaphore() {
    stopSemaphore_ = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    if (!stopSemaphore_) {
        DWORD error = GetLastError();
        LOG_CONTROLLER_ERROR(names_.start, L"CreateSemaphore", error);
        return false;
    }
    return true;
}

HANDLE ThreadController::startThread(LPTHREAD_START_ROUTINE entry, void* param) {
    HANDLE thread = CreateThread(nullptr, 0, entry, param, 0, nullptr);
    if (!thread) {
        DWORD error = GetLastError();
        LOG_CONTROLLER_ERROR(names_.start, L"CreateThread", error);
    }
    return thread;
}

void ThreadController::stop() {
    requestStop();
    // A second stop finds the count at its maximum: harmless, the thread wakes once.
    if (!ReleaseSemaphore(stopSemaphore_, 1, nullptr)) {
        DWORD error = GetLastError();
        if (error != ERROR_TOO_MANY_POSTS)
            LOG_CONTROLLER_ERROR(names_.stop, L"ReleaseSemaphore", error);
    }
}

DWORD ThreadController::result() {
    EnterCriticalSection(&lock_);
    DWORD value = result_;
    LeaveCriticalSection(&lock_);
    return value;
}

void ThreadController::logWait(const wchar_t* function, DWORD waited) {
    if (waited == WAIT_ABANDONED) {
        Log::errorText(names_.unit, log_, __LINE__, function, L"WaitForSingleObject ABANDONED");
    } else if (waited == WAIT_TIMEOUT) {
        Log::errorText(names_.unit, log_, __LINE__, function, L"WaitForSingleObject TIMEOUT");
    } else if (waited == WAIT_FAILED) {
        DWORD error = GetLastError();
        LOG_CONTROLLER_ERROR(function, L"WaitForSingleObject", error);
    }
}

void ThreadController::waitForThread(HANDLE* thread) {
    if (!*thread)
        return;
    logWait(names_.deleteThis, WaitForSingleObject(*thread, INFINITE));
    closeHandle(thread, names_.deleteThis);
}

void ThreadController::closeHandle(HANDLE* handle, const wchar_t* function) {
    if (*handle && !CloseHandle(*handle)) {
        DWORD error = GetLastError();
        LOG_CONTROLLER_ERROR(function, L"CloseHandle", error);
    }
    *handle = nullptr;
}

void ThreadController::notifyObject(DWORD code) {
    ControllerNotice* notice = new ControllerNotice(owner_->id(), code, result());
    // Whatever the owner's terminating state: the reference it holds for us keeps it alive,
    // and it must still see our last notice to let go of us.
    owner_->holdReference();
    if (!PostQueuedCompletionStatus(server_->port(), 0, KeyMessage, notice->overlapped())) {
        DWORD error = GetLastError();
        LOG_CONTROLLER_ERROR(names_.notifyObject, L"PostQueuedCompletionStatus", error);
        owner_->giveReference();
        delete notice;
    }
}

bool ThreadController::stopRequested() {
    EnterCriticalSection(&lock_);
    bool stop = stop_;
    LeaveCriticalSection(&lock_);
    return stop;
}

void ThreadController::requestStop() {
    EnterCriticalSection(&lock_);
    stop_ = true;
    LeaveCriticalSection(&lock_);
}

void ThreadController::setResult(DWORD value) {
    EnterCriticalSection(&lock_);
    result_ = value;
    LeaveCriticalSection(&lock_);
}
