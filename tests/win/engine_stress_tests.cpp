// Engine stress: threads add and terminate objects while others post messages and real
// overlapped file reads run. Every object must be deleted exactly once, nothing may be
// handled after its object is destroyed, and the stop must complete.
#include <doctest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "EngineFixture.h"
#include "ServerObject.h"

namespace {

const int kObjects = 1000;
const int kMessages = 100000;

// Per-object state kept outside the objects, indexed by id, so it outlives them.
struct Ledger {
    std::atomic<int> readies[kObjects + 64];
    std::atomic<int> terminates[kObjects + 64];
    std::atomic<int> deletes[kObjects + 64];
    std::atomic<int> destructs[kObjects + 64];
    std::atomic<int> lateHandles{0};
    std::atomic<long> handled{0};
    std::atomic<long> reads{0};
    Ledger() {
        for (int i = 0; i < kObjects + 64; ++i)
            readies[i] = terminates[i] = deletes[i] = destructs[i] = 0;
    }
};

struct ReadOp : ServerMessage {
    ReadOp(DWORD id) : ServerMessage(id, 2) {}
    char buffer[512];
};

// Keeps overlapped reads of a real file going until it is told to stop.
class Reader : public ServerObject {
public:
    Reader(Server* server, Ledger* ledger, const std::wstring& path)
        : ServerObject(server), ledger_(ledger), path_(path) {}
    ~Reader() override { ++ledger_->destructs[id_]; }

    bool initObject() override {
        file_ = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        if (file_ == INVALID_HANDLE_VALUE)
            return false;
        if (!server_->associate(file_, L"Reader::initObject")) {
            CloseHandle(file_);
            return false;
        }
        return true;
    }
    bool deleteObject() override {
        ++ledger_->deletes[id_];
        return true;
    }
    int readyObject() override {
        ++ledger_->readies[id_];
        return startRead() ? 0 : 1;
    }
    void terminateObject() override {
        ++ledger_->terminates[id_];
        EnterCriticalSection(&lock_);
        HANDLE f = file_;
        file_ = INVALID_HANDLE_VALUE;
        LeaveCriticalSection(&lock_);
        if (f != INVALID_HANDLE_VALUE)
            CloseHandle(f);
    }
    int handleMessage(ServerMessage* message, BOOL ok, DWORD, DWORD) override {
        if (ledger_->destructs[id_] || ledger_->deletes[id_])
            ++ledger_->lateHandles;
        ++ledger_->handled;
        if (message->code == 2) {
            ++ledger_->reads;
            if (!ok)
                return 1;
            return startRead() ? 0 : 1;
        }
        return message->code == 9 ? 1 : 0;
    }

private:
    bool startRead() {
        if (!takeReference())
            return true;  // terminating: no new operations
        auto* op = new ReadOp(id_);
        op->overlapped()->Offset = (reads_++ % 8) * 512;
        EnterCriticalSection(&lock_);
        BOOL started = file_ != INVALID_HANDLE_VALUE &&
                       (ReadFile(file_, op->buffer, sizeof op->buffer, nullptr, op->overlapped()) ||
                        GetLastError() == ERROR_IO_PENDING);
        LeaveCriticalSection(&lock_);
        if (!started) {
            delete op;
            giveReference();
            return false;
        }
        return true;
    }

    Ledger* ledger_;
    std::wstring path_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    unsigned reads_ = 0;
};

}  // namespace

TEST_CASE("objects, messages and overlapped reads from many threads all end cleanly") {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring path = std::wstring(temp) + L"wexa-stress-" + std::to_wstring(GetCurrentProcessId()) + L".bin";
    {
        HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        REQUIRE(f != INVALID_HANDLE_VALUE);
        std::vector<char> data(4096, 'x');
        DWORD written;
        WriteFile(f, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
        CloseHandle(f);
    }

    auto ledger = std::make_unique<Ledger>();
    EngineFixture engine;
    REQUIRE(engine.server());
    Server* server = engine.server();
    std::atomic<int> added{0};
    std::atomic<DWORD> highestId{0};
    std::atomic<bool> adding{true};

    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            while (true) {
                int n = added.fetch_add(1);
                if (n >= kObjects)
                    break;
                auto* reader = new Reader(server, ledger.get(), path);
                DWORD id = reader->id();
                if (id >= kObjects + 64 || !server->addObject(reader)) {
                    delete reader;
                    continue;
                }
                DWORD seen = highestId.load();
                while (seen < id && !highestId.compare_exchange_weak(seen, id)) {}
                // Terminate an earlier object now and then, while others keep running.
                if (n % 3 == 0)
                    server->terminateObject(id > 5 ? id - 5 : id);
            }
        });
    }
    std::atomic<int> posted{0};
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(t + 1);
            while (posted.fetch_add(1) < kMessages) {
                DWORD top = highestId.load();
                if (!top)
                    continue;
                DWORD id = 1 + random() % top;
                server->messageObject(id, (random() % 50) == 0 ? 9 : 3);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    adding = false;

    REQUIRE(engine.stop(120000));
    DeleteFileW(path.c_str());

    int objects = 0;
    for (DWORD id = 1; id <= highestId; ++id) {
        if (!ledger->readies[id] && !ledger->deletes[id])
            continue;
        ++objects;
        CHECK(ledger->deletes[id] == 1);
        CHECK(ledger->destructs[id] == 1);
        CHECK(ledger->terminates[id] == 1);
        CHECK(ledger->readies[id] == 1);
    }
    CHECK(objects == kObjects);
    CHECK(ledger->lateHandles == 0);
    MESSAGE("objects " << objects << ", handled " << ledger->handled.load() << ", reads " << ledger->reads.load());
}
