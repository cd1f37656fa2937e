// The completion-port engine: one port, ten workers, and the registry of the objects it
// drives. It guarantees readyObject first, terminateObject once, and destruction only
// after the last message or operation referring to an object has been handled.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <string>

class Log;
class ServerObject;
struct ServerMessage;

class Server {
public:
    static const DWORD WorkerCount = 10;

    Server(Log* log, HWND notifyWindow, UINT stoppedMessage);
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    bool startServer();
    DWORD newObjectId();
    bool addObject(ServerObject* object);
    bool terminateObject(DWORD id);
    bool messageObject(DWORD id, DWORD code);
    bool terminateServer();
    // After the stopped message: closes the port, deletes the lock and frees the server.
    void destroyServer();

    Log* log() const { return log_; }
    HANDLE port() const { return port_; }
    // Number of registered objects; for tests and diagnostics.
    DWORD objectCount();
    // One line per registered object: id, references, state and what it waits for.
    void listObjects(std::string* out);
    // Associates a socket or file with the port under key 0.
    bool associate(HANDLE handle, const wchar_t* function);

private:
    friend class ServerObject;
    ~Server();
    ServerObject* acquireObject(DWORD id);
    int releaseObject(ServerObject* object);
    bool terminateAllObjects();
    bool closeWorkers();
    bool postToObject(DWORD id, DWORD code, const wchar_t* function);
    // Runs one message on an acquired object; true when it was queued (not to be freed).
    bool dispatchTo(ServerObject* object, ServerMessage* message, BOOL ok, DWORD error, DWORD bytes);
    // Sets the terminating flag; the first caller runs terminateObject.
    void beginTermination(ServerObject* object);
    static DWORD WINAPI serverThreadProc(void* param);
    static DWORD WINAPI workerThreadProc(void* param);
    void runServerThread();
    void runWorker();

    Log* log_;
    CRITICAL_SECTION lock_;
    HANDLE startSemaphore_ = nullptr;
    HANDLE port_ = nullptr;
    HANDLE serverThread_ = nullptr;
    HANDLE* workers_ = nullptr;
    DWORD workerCount_ = 0;
    bool terminating_ = false;
    ServerObject** registry_ = nullptr;
    DWORD count_ = 0;
    DWORD nextId_ = 1;
    HWND notifyWindow_;
    UINT stoppedMessage_;
};
