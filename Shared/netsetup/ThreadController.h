// ThreadController: what the share program's network controllers have in common: the stop flag
// and result behind one lock, the stop semaphore, their threads' handles, and the notices to the
// owning listener through the engine's port. Entries logged here carry each controller's own names.
#pragma once
#include <winsock2.h>
#include <windows.h>

class Log;
class Server;
class ServerObject;

class ThreadController {
public:
    // The controller's log unit and the functions its entries logged here are filed under.
    struct Names {
        const wchar_t* unit;
        const wchar_t* start;
        const wchar_t* stop;
        const wchar_t* deleteThis;
        const wchar_t* notifyObject;
    };
    ThreadController(const ThreadController&) = delete;
    ThreadController& operator=(const ThreadController&) = delete;

    // Asks the threads to end; does not wait.
    void stop();
    DWORD result();

protected:
    ThreadController(const Names& names, Log* log, Server* server, ServerObject* owner);
    // Only once every thread has ended: closes the stop semaphore and frees the lock.
    ~ThreadController();

    bool createStopSemaphore();
    // Null when the thread cannot be created (logged under the start function).
    HANDLE startThread(LPTHREAD_START_ROUTINE entry, void* param);
    // Logs a wait on one of our handles that did not end signalled.
    void logWait(const wchar_t* function, DWORD waited);
    void waitForThread(HANDLE* thread);
    void closeHandle(HANDLE* handle, const wchar_t* function);
    void notifyObject(DWORD code);
    bool stopRequested();
    // Sets the flag without waking the semaphore.
    void requestStop();
    void setResult(DWORD value);

    Log* log_;
    Server* server_;
    ServerObject* owner_;
    CRITICAL_SECTION lock_;   // stop_, result_ and the controllers' own flags; held around single accesses only
    HANDLE stopSemaphore_ = nullptr;
    bool stop_ = false;
    DWORD result_ = 0;

private:
    Names names_;
};
