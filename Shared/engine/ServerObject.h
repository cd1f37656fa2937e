// The base of every object the completion-port engine drives, and the records that travel
// through the port. The engine (ServerWithReg) alone frees objects and records.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <string>

class Log;
class Server;

// Completion keys of the engine's port.
enum : ULONG_PTR { KeyMessage = 0, KeyQueued = 1, KeyCloseWorker = 2 };

// Message codes the engine itself uses; each object's own codes start at 2.
enum : DWORD { MsgReady = 0, MsgTerminate = 1, MsgFirstOwn = 2 };

// One posted message or one overlapped operation. Objects derive their own records from
// it; the worker frees the record with `delete` after dispatch, so it has a virtual
// destructor. The OVERLAPPED sits in a standard-layout block that points back at its record.
struct ServerMessage {
    struct Block {
        OVERLAPPED overlapped;  // first: the port hands back this address
        ServerMessage* owner;
    };

    Block block;
    DWORD objectId;
    DWORD code;

    ServerMessage(DWORD id, DWORD messageCode) : objectId(id), code(messageCode) {
        ZeroMemory(&block.overlapped, sizeof block.overlapped);
        block.owner = this;
    }
    virtual ~ServerMessage() {}
    ServerMessage(const ServerMessage&) = delete;
    ServerMessage& operator=(const ServerMessage&) = delete;

    OVERLAPPED* overlapped() { return &block.overlapped; }
    // Zeroed before every overlapped call: the system owns it while the call is pending.
    void resetOverlapped() { ZeroMemory(&block.overlapped, sizeof block.overlapped); }
    static ServerMessage* fromOverlapped(OVERLAPPED* o) { return reinterpret_cast<Block*>(o)->owner; }
};

// A message that reached an object before it was ready, kept as it was received.
struct QueuedMessage {
    ServerMessage* message;
    BOOL ok;
    DWORD error;
    DWORD bytes;
};

class ServerObject {
public:
    ServerObject(Server* server, HWND notifyWindow = nullptr, UINT terminationMessage = 0);
    virtual ~ServerObject();
    ServerObject(const ServerObject&) = delete;
    ServerObject& operator=(const ServerObject&) = delete;

    virtual bool initObject() = 0;
    virtual bool deleteObject() = 0;
    virtual int readyObject() = 0;
    virtual void terminateObject() = 0;
    virtual int handleMessage(ServerMessage* message, BOOL ok, DWORD error, DWORD bytes) = 0;
    // Appends what the object waits for, for diagnostics (the engine's lock is held: no locks).
    virtual void describe(std::string* out) { out->append("object"); }

    DWORD id() const { return id_; }
    // Takes one reference for an operation or post about to start; false once terminating.
    bool takeReference();
    // Gives back a reference whose operation could not be started.
    void giveReference();
    // One more reference whatever the terminating state, for a holder that already has one
    // (a controller thread's notices: its own reference keeps the object alive meanwhile).
    void holdReference();
    // Posts one of the object's own messages with a reference taken; false when the
    // object is terminating or the post failed (the record is then freed here).
    bool postToSelf(ServerMessage* message, DWORD bytes = 0);
    bool isTerminating();

protected:
    // Holds the object's lock for a scope. Socket starters and the close that ends them run
    // under it, so an operation either starts before the close (and completes with it) or
    // finds the object terminating: a call on a handle closed meanwhile might never complete.
    class ObjectLock {
    public:
        explicit ObjectLock(ServerObject* object) : lock_(&object->lock_) { EnterCriticalSection(lock_); }
        ~ObjectLock() { LeaveCriticalSection(lock_); }
        ObjectLock(const ObjectLock&) = delete;
        ObjectLock& operator=(const ObjectLock&) = delete;

    private:
        CRITICAL_SECTION* lock_;
    };

    Log* log_;
    DWORD id_;
    HANDLE port_;
    CRITICAL_SECTION lock_;   // guards the fields below; derived classes use it for theirs
    Server* server_;

private:
    friend class Server;
    void setReady();
    bool notifyTermination();

    LONG refCount_ = 0;
    bool ready_ = false;
    bool terminating_ = false;
    QueuedMessage** pending_ = nullptr;
    DWORD pendingCount_ = 0;
    HWND notifyWindow_;
    UINT terminationMessage_;
};
