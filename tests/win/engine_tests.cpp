// The engine's guarantees, checked with real workers, real window messages and real
// overlapped socket I/O: ready first, terminate once, freed only when nothing refers to it.
#include <doctest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EngineFixture.h"
#include "ServerObject.h"

namespace {

// What happened to one object, kept outside it so it can be read after the object is gone.
struct Trace {
    std::mutex lock;
    std::vector<std::string> events;
    std::atomic<int> inits{0}, readies{0}, terminates{0}, deletes{0}, destructs{0};
    std::atomic<int> handledAfterDestruct{0};
    void add(const std::string& e) {
        std::lock_guard<std::mutex> g(lock);
        events.push_back(e);
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> g(lock);
        return events;
    }
};

class TracedObject : public ServerObject {
public:
    TracedObject(Server* server, Trace* trace, HWND window = nullptr, UINT ended = 0)
        : ServerObject(server, window, ended), trace_(trace) {}
    ~TracedObject() override { ++trace_->destructs; }

    bool initObject() override {
        ++trace_->inits;
        return initResult;
    }
    bool deleteObject() override {
        ++trace_->deletes;
        trace_->add("delete");
        return true;
    }
    int readyObject() override {
        if (readyGate)
            WaitForSingleObject(readyGate, 10000);
        ++trace_->readies;
        trace_->add("ready");
        return readyResult;
    }
    void terminateObject() override {
        ++trace_->terminates;
        trace_->add("terminate");
    }
    int handleMessage(ServerMessage* message, BOOL, DWORD, DWORD) override {
        if (trace_->destructs)
            ++trace_->handledAfterDestruct;
        trace_->add("msg" + std::to_string(message->code));
        return message->code == 99 ? 1 : 0;
    }

    bool initResult = true;
    int readyResult = 0;
    HANDLE readyGate = nullptr;

private:
    Trace* trace_;
};

bool waitUntil(std::atomic<int>& value, int wanted, DWORD ms = 10000) {
    struct Ctx { std::atomic<int>* v; int w; } ctx{&value, wanted};
    return pumpUntil([](void* c) { auto* x = static_cast<Ctx*>(c); return x->v->load() >= x->w; }, &ctx, ms);
}

}  // namespace

TEST_CASE("messages that arrive before readyObject wait and follow it") {
    EngineFixture engine;
    REQUIRE(engine.server());
    Trace trace;
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto* object = new TracedObject(engine.server(), &trace, engine.window().handle(), kObjectEnded);
    object->readyGate = gate;
    DWORD id = object->id();
    REQUIRE(engine.server()->addObject(object));

    // readyObject is held at its gate; everything posted now must be queued behind it.
    Sleep(50);
    for (DWORD code = 2; code < 7; ++code)
        CHECK(engine.server()->messageObject(id, code));
    CHECK(engine.server()->terminateObject(id));
    Sleep(100);
    CHECK(trace.snapshot().empty());
    SetEvent(gate);

    WPARAM endedId = 0;
    REQUIRE(engine.window().waitFor(kObjectEnded, 10000, &endedId));
    CHECK(endedId == id);
    std::vector<std::string> events = trace.snapshot();
    REQUIRE(events.size() >= 3);
    CHECK(events.front() == "ready");
    CHECK(events.back() == "delete");
    int messages = 0;
    for (const std::string& e : events)
        messages += e.rfind("msg", 0) == 0;
    // All five reach handleMessage, even the ones a worker picks up after the terminate.
    CHECK(messages == 5);
    CHECK(trace.terminates == 1);
    CHECK(trace.deletes == 1);
    CHECK(waitUntil(trace.destructs, 1));  // freed just after its termination notice
    CloseHandle(gate);
    CHECK(engine.stop());
}

TEST_CASE("readyObject returning 1 terminates at once and the queued messages still drain") {
    EngineFixture engine;
    REQUIRE(engine.server());
    Trace trace;
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto* object = new TracedObject(engine.server(), &trace, engine.window().handle(), kObjectEnded);
    object->readyGate = gate;
    object->readyResult = 1;
    DWORD id = object->id();
    REQUIRE(engine.server()->addObject(object));
    Sleep(50);
    CHECK(engine.server()->messageObject(id, 2));
    CHECK(engine.server()->messageObject(id, 3));
    Sleep(50);
    SetEvent(gate);
    REQUIRE(engine.window().waitFor(kObjectEnded, 10000));
    std::vector<std::string> events = trace.snapshot();
    REQUIRE(events.size() >= 2);
    CHECK(events[0] == "ready");
    CHECK(events[1] == "terminate");
    CHECK(events.back() == "delete");
    CHECK(trace.terminates == 1);
    CHECK(waitUntil(trace.destructs, 1));
    CloseHandle(gate);
    CHECK(engine.stop());
}

TEST_CASE("terminateObject runs exactly once under racing terminate requests") {
    EngineFixture engine;
    REQUIRE(engine.server());
    for (int round = 0; round < 20; ++round) {
        Trace trace;
        auto* object = new TracedObject(engine.server(), &trace, engine.window().handle(), kObjectEnded);
        DWORD id = object->id();
        REQUIRE(engine.server()->addObject(object));
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([&, t] {
                while (!go) {}
                for (int i = 0; i < 20; ++i) {
                    if (t % 2)
                        engine.server()->terminateObject(id);
                    else
                        engine.server()->messageObject(id, 99);  // handleMessage answers 1
                }
            });
        }
        go = true;
        for (auto& th : threads)
            th.join();
        REQUIRE(waitUntil(trace.destructs, 1));
        CHECK(trace.terminates == 1);
        CHECK(trace.deletes == 1);
        CHECK(trace.handledAfterDestruct == 0);
    }
    CHECK(engine.server()->objectCount() == 0);
    CHECK(engine.stop());
}

TEST_CASE("requests for unknown or terminating objects answer true and post nothing") {
    EngineFixture engine;
    REQUIRE(engine.server());
    CHECK(engine.server()->terminateObject(123456));
    CHECK(engine.server()->messageObject(123456, 5));

    // An object kept alive by an outstanding reference while it terminates.
    Trace trace;
    auto* object = new TracedObject(engine.server(), &trace);
    DWORD id = object->id();
    REQUIRE(engine.server()->addObject(object));
    REQUIRE(waitUntil(trace.readies, 1));
    REQUIRE(object->takeReference());
    CHECK(engine.server()->terminateObject(id));
    REQUIRE(waitUntil(trace.terminates, 1));
    CHECK(engine.server()->messageObject(id, 7));
    CHECK(engine.server()->terminateObject(id));
    Sleep(100);
    std::vector<std::string> events = trace.snapshot();
    for (const std::string& e : events)
        CHECK(e != "msg7");
    CHECK(trace.terminates == 1);
    CHECK(trace.destructs == 0);
    CHECK_FALSE(object->takeReference());

    // Dropping the held reference through a message lets the engine free it.
    struct Late : ServerMessage { using ServerMessage::ServerMessage; };
    PostQueuedCompletionStatus(engine.server()->port(), 0, KeyMessage, (new Late(id, 8))->overlapped());
    REQUIRE(waitUntil(trace.destructs, 1));
    CHECK(trace.deletes == 1);
    CHECK(engine.stop());
}

TEST_CASE("addObject after terminateServer runs initObject then deleteObject and refuses") {
    EngineFixture engine;
    REQUIRE(engine.server());
    Trace trace;
    // Keep one object alive so the engine is terminating but not yet stopped.
    auto* holder = new TracedObject(engine.server(), &trace);
    REQUIRE(engine.server()->addObject(holder));
    REQUIRE(waitUntil(trace.readies, 1));
    REQUIRE(holder->takeReference());
    engine.server()->terminateServer();
    REQUIRE(waitUntil(trace.terminates, 1));

    Trace late;
    auto* refused = new TracedObject(engine.server(), &late);
    CHECK_FALSE(engine.server()->addObject(refused));
    CHECK(late.inits == 1);
    CHECK(late.deletes == 1);
    CHECK(late.readies == 0);
    delete refused;  // the caller destroys a refused object

    struct Late : ServerMessage { using ServerMessage::ServerMessage; };
    PostQueuedCompletionStatus(engine.server()->port(), 0, KeyMessage, (new Late(holder->id(), 8))->overlapped());
    CHECK(engine.stop());
}

TEST_CASE("initObject refusing keeps the object out of the registry") {
    EngineFixture engine;
    REQUIRE(engine.server());
    Trace trace;
    auto* object = new TracedObject(engine.server(), &trace);
    object->initResult = false;
    CHECK_FALSE(engine.server()->addObject(object));
    CHECK(engine.server()->objectCount() == 0);
    CHECK(trace.deletes == 0);
    delete object;
    CHECK(engine.stop());
}

TEST_CASE("terminateServer with no objects stops at once; a second call does nothing") {
    Log log;
    log.initLog(nullptr);
    MessageWindow window;
    Server* server = new Server(&log, window.handle(), kStoppedMessage);
    REQUIRE(server->startServer());
    CHECK(server->terminateServer());
    CHECK(server->terminateServer());
    CHECK(window.waitFor(kStoppedMessage, 10000));
    server->destroyServer();
    log.destroyLog();
    log.waitForEnd();
}

TEST_CASE("object ids count up from 1 and never repeat") {
    EngineFixture engine;
    REQUIRE(engine.server());
    DWORD first = engine.server()->newObjectId();
    CHECK(first == 1);
    DWORD last = first;
    for (int i = 0; i < 50; ++i) {
        Trace trace;
        auto* object = new TracedObject(engine.server(), &trace);
        CHECK(object->id() == last + 1);
        last = object->id();
        REQUIRE(engine.server()->addObject(object));
        engine.server()->terminateObject(last);
        REQUIRE(waitUntil(trace.destructs, 1));
    }
    CHECK(engine.stop());
}

TEST_CASE("a message for a freed object is logged with its id and dropped") {
    wchar_t path[MAX_PATH];
    GetTempPathW(MAX_PATH, path);
    std::wstring file = std::wstring(path) + L"wexa-engine-log-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    DWORD id;
    {
        EngineFixture engine(file.c_str());
        REQUIRE(engine.server());
        Trace trace;
        auto* object = new TracedObject(engine.server(), &trace);
        id = object->id();
        REQUIRE(engine.server()->addObject(object));
        engine.server()->terminateObject(id);
        REQUIRE(waitUntil(trace.destructs, 1));
        struct Late : ServerMessage { using ServerMessage::ServerMessage; };
        PostQueuedCompletionStatus(engine.server()->port(), 0, KeyMessage, (new Late(id, 4))->overlapped());
        Sleep(200);
        CHECK(engine.stop());
        engine.closeLog();
    }
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    REQUIRE(h != INVALID_HANDLE_VALUE);
    std::wstring text(32768, L'\0');
    DWORD got = 0;
    ReadFile(h, &text[0], 65536, &got, nullptr);
    CloseHandle(h);
    DeleteFileW(file.c_str());
    text.resize(got / 2);
    std::wstring expected = L"Failed to aquire object: " + std::to_wstring(id) + L" - ";
    CHECK(text.find(expected) != std::wstring::npos);
    CHECK(text.find(L"Server::workerThreadProc") != std::wstring::npos);
}

namespace {

// Holds a real WSARecv on a loopback socket; terminateObject closes the socket only when
// the test allows it, so the test can see the pending receive keep the object alive.
class ReceivingObject : public ServerObject {
public:
    ReceivingObject(Server* server, Trace* trace, SOCKET s, bool closeOnTerminate)
        : ServerObject(server), trace_(trace), socket_(s), closeOnTerminate_(closeOnTerminate) {}
    ~ReceivingObject() override { ++trace_->destructs; }
    bool initObject() override { return server_->associate(reinterpret_cast<HANDLE>(socket_), L"test"); }
    bool deleteObject() override {
        ++trace_->deletes;
        trace_->add("delete");
        return true;
    }
    int readyObject() override {
        ++trace_->readies;
        if (!takeReference())
            return 1;
        auto* op = new ServerMessage(id_, 2);
        WSABUF buf{sizeof buffer_, buffer_};
        DWORD flags = 0;
        if (WSARecv(socket_, &buf, 1, nullptr, &flags, reinterpret_cast<WSAOVERLAPPED*>(op->overlapped()),
                    nullptr) == SOCKET_ERROR &&
            WSAGetLastError() != WSA_IO_PENDING) {
            delete op;
            giveReference();
            return 1;
        }
        return 0;
    }
    void terminateObject() override {
        ++trace_->terminates;
        trace_->add("terminate");
        if (closeOnTerminate_)
            closesocket(socket_);
    }
    int handleMessage(ServerMessage*, BOOL ok, DWORD, DWORD bytes) override {
        trace_->add(ok && bytes ? "received" : "receive failed");
        return 1;
    }

private:
    Trace* trace_;
    SOCKET socket_;
    bool closeOnTerminate_;
    char buffer_[64];
};

void socketPair(SOCKET& a, SOCKET& b) {
    SOCKET listener = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    int len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    listen(listener, 1);
    a = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    connect(a, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    b = accept(listener, nullptr, nullptr);
    closesocket(listener);
}

struct WinsockInit {
    WinsockInit() {
        WSADATA d;
        WSAStartup(MAKEWORD(2, 2), &d);
    }
    ~WinsockInit() { WSACleanup(); }
};

}  // namespace

TEST_CASE("a pending receive keeps its object alive until closing the socket completes it") {
    WinsockInit winsock;
    EngineFixture engine;
    REQUIRE(engine.server());
    SOCKET mine, peer;
    socketPair(mine, peer);
    REQUIRE(mine != INVALID_SOCKET);
    REQUIRE(peer != INVALID_SOCKET);

    Trace trace;
    auto* object = new ReceivingObject(engine.server(), &trace, mine, false);
    REQUIRE(engine.server()->addObject(object));
    REQUIRE(waitUntil(trace.readies, 1));
    engine.server()->terminateObject(object->id());
    REQUIRE(waitUntil(trace.terminates, 1));
    Sleep(300);
    CHECK(trace.destructs == 0);  // the receive still refers to it
    closesocket(mine);            // completes the receive with an error
    REQUIRE(waitUntil(trace.destructs, 1));
    std::vector<std::string> events = trace.snapshot();
    REQUIRE(events.size() == 3);
    CHECK(events[0] == "terminate");
    CHECK(events[1] == "receive failed");
    CHECK(events[2] == "delete");
    closesocket(peer);

    // The usual road: terminateObject closes the socket itself.
    Trace second;
    socketPair(mine, peer);
    auto* closing = new ReceivingObject(engine.server(), &second, mine, true);
    REQUIRE(engine.server()->addObject(closing));
    REQUIRE(waitUntil(second.readies, 1));
    engine.server()->terminateObject(closing->id());
    REQUIRE(waitUntil(second.destructs, 1));
    CHECK(second.snapshot() == std::vector<std::string>{"terminate", "receive failed", "delete"});
    closesocket(peer);
    CHECK(engine.stop());
}
