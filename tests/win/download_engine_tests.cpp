// The download engine's Win32 units against the real registry, real sockets and the real
// engine: the saved list's exact bytes, and how the resolver, the header request and a
// transfer connection end when the other side is missing or slow.
#include <doctest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <thread>
#include <stdlib.h>

#include <vector>

#include "AddressResolver.h"
#include "ByteRangeList.h"
#include "DownloadMessages.h"
#include "DownloadsList.h"
#include "EngineFixture.h"
#include "FileDownloader.h"
#include "LoopbackPeer.h"
#include "HeadRequester.h"

namespace {

struct Posted {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

// Pumps the fixture window's thread until `message` arrives; every engine message seen on the
// way is recorded (its records stay unfreed until the test frees them).
bool pumpFor(UINT message, DWORD milliseconds, std::vector<Posted>* seen) {
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message >= WM_DL_ADDRESS && msg.message <= WM_DL_HEAD_ENDED) {
                seen->push_back(Posted{msg.message, msg.wParam, msg.lParam});
                if (msg.message == message)
                    return true;
                continue;
            }
            DispatchMessageW(&msg);
        }
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= milliseconds)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - elapsed, QS_ALLINPUT);
    }
}

int count(const std::vector<Posted>& seen, UINT message) {
    int n = 0;
    for (const Posted& p : seen)
        n += p.message == message;
    return n;
}

DWORD loopback() { return htonl(INADDR_LOOPBACK); }

class NullObserver final : public DownloadsObserver {
public:
    void entryAdded(DownloadEntry*) override { ++added; }
    void statusChanged(DownloadEntry*) override {}
    void entryCompleted(DownloadEntry*) override {}
    void entryFailed(DownloadEntry*) override {}
    void credentialsNeeded(DownloadEntry*) override {}
    void entryRemoved(DWORD) override {}
    int added = 0;
};

const wchar_t kKey[] = L"Software\\WexaShare";

void writeValue(const std::u16string& value) {
    HKEY key;
    REQUIRE(RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
            ERROR_SUCCESS);
    RegSetValueExW(key, L"DownloadsList", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(value.data()),
                   static_cast<DWORD>(value.size() * 2));
    RegCloseKey(key);
}

std::u16string readValue() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return u"<no key>";
    DWORD bytes = 0, type = 0;
    std::u16string value;
    if (RegQueryValueExW(key, L"DownloadsList", nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS) {
        value.resize(bytes / 2);
        RegQueryValueExW(key, L"DownloadsList", nullptr, &type, reinterpret_cast<BYTE*>(&value[0]), &bytes);
    }
    RegCloseKey(key);
    return type == REG_MULTI_SZ ? value : u"<wrong type>";
}

}  // namespace

TEST_CASE("saved downloads list round-trips byte for byte through restore and save") {
    Winsock winsock;
    EngineFixture engine;
    REQUIRE(engine.server());
    // A download of 1048576 bytes with 3 connections, no credentials and two ranges missing.
    // The host is a dotted address and the port refused, so nothing is fetched meanwhile.
    std::u16string record = u"bC:\\dl\\file.bin\x1Ehttp://127.0.0.1:9/file.bin\x1E" u"1\x1E" u"1048576\x1E"
                            u"3\x1E\x1E" u"0-131071\x1E" u"524288-1048575\x1E";
    std::u16string value = record + std::u16string(1, u'\0') + std::u16string(1, u'\0');
    writeValue(value);

    NullObserver observer;
    ReceivedCounter counter;
    {
        DownloadsList list(engine.log(), engine.server(), engine.window().handle(), &observer, &counter);
        list.setFolder(L"C:\\dl");
        list.readDownloads();
        REQUIRE(list.size() == 1);
        DownloadEntry* entry = list.at(0);
        CHECK(entry->id() == 1);
        CHECK(entry->wantedConnections() == 3);
        CHECK(entry->localPath() == L"C:\\dl\\file.bin");
        CHECK(std::wstring(entry->status()) == EntryStatus::kResolving);
        CHECK(entry->bytesDone() == 1048576 - 131072 - 524288);

        writeValue(u"");
        list.saveDownloads();
        CHECK(readValue() == value);
        CHECK(readValue().size() * 2 == (record.size() + 2) * 2);
        list.stopDispatch();
    }
    CHECK(engine.stop());
}

TEST_CASE("saving no downloads writes two NULs, and restoring them builds nothing") {
    Winsock winsock;
    EngineFixture engine;
    REQUIRE(engine.server());
    NullObserver observer;
    ReceivedCounter counter;
    {
        DownloadsList list(engine.log(), engine.server(), engine.window().handle(), &observer, &counter);
        list.saveDownloads();
        CHECK(readValue() == std::u16string(2, u'\0'));
        list.readDownloads();
        CHECK(list.size() == 0);
        CHECK(observer.added == 0);
    }
    CHECK(engine.stop());
}

TEST_CASE("the resolver answers dotted addresses, and -1 for a name that does not resolve") {
    Winsock winsock;
    EngineFixture engine;
    REQUIRE(engine.server());
    HWND window = engine.window().handle();

    REQUIRE(engine.server()->addObject(new AddressResolver(engine.server(), window, 7, "192.168.1.10")));
    std::vector<Posted> seen;
    REQUIRE(pumpFor(WM_DL_ADDRESS, 10000, &seen));
    CHECK(seen.back().wParam == 7);
    CHECK(static_cast<DWORD>(seen.back().lParam) == inet_addr("192.168.1.10"));

    REQUIRE(engine.server()->addObject(new AddressResolver(engine.server(), window, 8, "no-such-host.invalid")));
    REQUIRE(pumpFor(WM_DL_ADDRESS, 60000, &seen));
    CHECK(seen.back().wParam == 8);
    CHECK(static_cast<DWORD>(seen.back().lParam) == INADDR_NONE);

    // Done resolvers leave the engine.
    for (int i = 0; i < 100 && engine.server()->objectCount(); ++i)
        Sleep(20);
    CHECK(engine.server()->objectCount() == 0);
    CHECK(engine.stop());
}

TEST_CASE("requests to a refused port end their objects and post only their termination") {
    Winsock winsock;
    EngineFixture engine;
    REQUIRE(engine.server());
    HWND window = engine.window().handle();
    const WORD closedPort = unusedPort();

    HeadRequester* head = new HeadRequester(engine.server(), window, 3, loopback(), closedPort, "/f", "h", nullptr);
    DWORD headId = head->id();
    REQUIRE(engine.server()->addObject(head));
    std::vector<Posted> seen;
    REQUIRE(pumpFor(WM_DL_HEAD_ENDED, 10000, &seen));
    CHECK(seen.back().wParam == headId);
    CHECK(count(seen, WM_DL_HEAD) == 0);

    // The connection's position is registered while it lives and gone once it has ended, so
    // the next pick takes its range whole again.
    ByteRangeList ranges;
    ranges.resetToWhole(1000000);
    FileDownloader* connection = new FileDownloader(engine.server(), window, 3, loopback(), closedPort, "/f", "h",
                                                    INVALID_HANDLE_VALUE, 500000, 999999, &ranges, nullptr, nullptr);
    DWORD connectionId = connection->id();
    REQUIRE(engine.server()->addObject(connection));
    CHECK(ranges.pickRange().end == 499999);
    REQUIRE(pumpFor(WM_DL_TRANSFER_ENDED, 10000, &seen));
    CHECK(seen.back().wParam == connectionId);
    CHECK(count(seen, WM_DL_PROGRESS) == 0);
    ByteRange whole = ranges.pickRange();
    CHECK(whole.start == 0);
    CHECK(whole.end == 999999);
    CHECK(engine.server()->objectCount() == 0);
    CHECK(engine.stop());
}

TEST_CASE("the header request sends its exact request and assembles a head split over receives") {
    Winsock winsock;
    EngineFixture engine;
    REQUIRE(engine.server());
    ScriptedPeer peer({"HTTP/1.1 206 Partial Content\r\nContent-Le", "ngth: 5\r\n\r", "\nBODY!"}, 100);
    HeadRequester* head = new HeadRequester(engine.server(), engine.window().handle(), 4, loopback(), peer.listener.port,
                                            "/a%20b", "example", "dTpw");
    REQUIRE(engine.server()->addObject(head));
    std::vector<Posted> seen;
    bool got = pumpFor(WM_DL_HEAD, 10000, &seen);
    peer.thread.join();
    REQUIRE(got);
    HeadRecord* record = reinterpret_cast<HeadRecord*>(seen.back().lParam);
    std::string bytes(record->bytes, record->length);
    CHECK(bytes == "HTTP/1.1 206 Partial Content\r\nContent-Length: 5\r\n\r\n");
    delete[] record->bytes;
    delete record;
    CHECK(peer.request ==
          "HEAD /a%20b HTTP/1.1\r\nHost: example\r\nUser-Agent: Wexa-Share Downloader/1.2.1\r\n"
          "Authorization: Basic dTpw\r\nRange: bytes=0-\r\nConnection: close\r\n\r\n");
    REQUIRE(pumpFor(WM_DL_HEAD_ENDED, 10000, &seen));
    CHECK(engine.stop());
}

namespace {

struct TempFile {
    std::wstring path;
    HANDLE handle;
    explicit TempFile(int64_t size) {
        wchar_t folder[MAX_PATH], name[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        GetTempFileNameW(folder, L"wdl", 0, name);
        path = name;
        handle = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_OVERLAPPED,
                             nullptr);
        LARGE_INTEGER end;
        end.QuadPart = size;
        SetFilePointerEx(handle, end, nullptr, FILE_BEGIN);
        SetEndOfFile(handle);
    }
    ~TempFile() {
        CloseHandle(handle);
        DeleteFileW(path.c_str());
    }
    std::string read(int64_t offset, DWORD length) {
        std::string out(length, '\0');
        OVERLAPPED o = {};
        o.Offset = static_cast<DWORD>(offset);
        o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD got = 0;
        // The handle is on the engine's port: the event (with its low bit set) keeps this
        // read's completion off the port.
        o.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(o.hEvent) | 1);
        if (!ReadFile(handle, &out[0], length, nullptr, &o) && GetLastError() != ERROR_IO_PENDING)
            return "<read failed>";
        GetOverlappedResult(handle, &o, &got, TRUE);
        CloseHandle(reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(o.hEvent) & ~static_cast<ULONG_PTR>(1)));
        out.resize(got);
        return out;
    }
};

int64_t progressTotal(const std::vector<Posted>& seen) {
    int64_t total = 0;
    for (const Posted& p : seen) {
        if (p.message == WM_DL_PROGRESS) {
            ProgressRecord* record = reinterpret_cast<ProgressRecord*>(p.lParam);
            total += record->bytes;
            delete record;
        }
    }
    return total;
}

// Runs one plain connection ("/f" on host "h", no credentials) for bytes first..last of `file`
// until it ends; its progress records are freed. False when it did not end in time.
bool runConnection(EngineFixture& engine, WORD port, TempFile& file, int64_t first, int64_t last,
                   ByteRangeList* ranges) {
    FileDownloader* connection = new FileDownloader(engine.server(), engine.window().handle(), 5, loopback(), port,
                                                    "/f", "h", file.handle, first, last, ranges, nullptr, nullptr);
    if (!engine.server()->addObject(connection))
        return false;
    std::vector<Posted> seen;
    bool ended = pumpFor(WM_DL_TRANSFER_ENDED, 10000, &seen);
    progressTotal(seen);
    return ended;
}

}  // namespace

TEST_CASE("a transfer connection writes its range at its offset and the list learns it when written") {
    Winsock winsock;
    EngineFixture engine;
    REQUIRE(engine.server());
    const std::string head =
        "HTTP/1.1 206 Partial Content\r\nContent-Length: 3000\r\nContent-Range: bytes 4000-6999/10000\r\n\r\n";
    std::string body;
    for (int i = 0; i < 3000; ++i)
        body += static_cast<char>('a' + i % 26);
    // The head ends inside the second piece, the body follows in uneven pieces.
    ScriptedPeer peer({head.substr(0, 20), head.substr(20) + body.substr(0, 7), body.substr(7, 1993),
                       body.substr(2000)});
    TempFile file(10000);
    REQUIRE(engine.server()->associate(file.handle, L"test"));
    ByteRangeList ranges;
    ranges.resetToWhole(10000);
    ReceivedCounter counter;
    FileDownloader* connection =
        new FileDownloader(engine.server(), engine.window().handle(), 5, loopback(), peer.listener.port, "/f.bin",
                           "example", file.handle, 4000, 6999, &ranges, "dTpw", &counter);
    REQUIRE(engine.server()->addObject(connection));
    std::vector<Posted> seen;
    REQUIRE(pumpFor(WM_DL_TRANSFER_ENDED, 10000, &seen));
    peer.thread.join();
    CHECK(peer.request ==
          "GET /f.bin HTTP/1.1\r\nHost: example\r\nUser-Agent: Wexa-Share Downloader/1.2.1\r\n"
          "Authorization: Basic dTpw\r\nRange: bytes=4000-6999\r\nConnection: close\r\n\r\n");
    CHECK(file.read(4000, 3000) == body);
    std::vector<ByteRange> missing = ranges.copyRanges();
    REQUIRE(missing.size() == 2);
    CHECK(missing[0].end == 3999);
    CHECK(missing[1].start == 7000);
    int64_t received = static_cast<int64_t>(head.size() + body.size());
    CHECK(progressTotal(seen) == received);
    CHECK(counter.read() == received);
    CHECK(engine.server()->objectCount() == 0);
    CHECK(engine.stop(5000));
}

TEST_CASE("a connection refuses a 200 for a range that does not start at 0 and writes nothing") {
    Winsock winsock;
    EngineFixture engine;
    REQUIRE(engine.server());
    ScriptedPeer peer({"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(100, 'x')});
    TempFile file(100);
    REQUIRE(engine.server()->associate(file.handle, L"test"));
    ByteRangeList ranges;
    ranges.resetToWhole(100);
    REQUIRE(runConnection(engine, peer.listener.port, file, 50, 99, &ranges));
    CHECK(ranges.missingBytes() == 100);
    CHECK(file.read(50, 50) == std::string(50, '\0'));
    CHECK(engine.stop(5000));
}

TEST_CASE("a connection whose write lands on bytes already written ends after that write") {
    Winsock winsock;
    EngineFixture engine;
    REQUIRE(engine.server());
    // Bytes 20.. are already written by someone else; this server would send far more.
    ScriptedPeer peer({"HTTP/1.1 206 Partial Content\r\nContent-Length: 80\r\nContent-Range: bytes 0-79/100\r\n\r\n" +
                           std::string(30, 'y'),
                       std::string(50, 'z')});
    TempFile file(100);
    REQUIRE(engine.server()->associate(file.handle, L"test"));
    ByteRangeList ranges;
    ByteRange missing[] = {{0, 19}};
    ranges.replace(100, missing, 1);
    REQUIRE(runConnection(engine, peer.listener.port, file, 0, 99, &ranges));
    CHECK(ranges.isEmpty());
    CHECK(file.read(0, 30) == std::string(30, 'y'));
    // It ended on the overlap, before the server's last piece reached the file.
    CHECK(file.read(30, 50) == std::string(50, '\0'));
    CHECK(engine.stop(5000));
}

namespace {

// Accepts `connections` connections; each gets a 206 head and then data without end, until the
// client goes away.
struct StreamingPeer {
    Listener listener;
    std::thread thread;
    explicit StreamingPeer(int connections) {
        listen(listener.socket, 64);
        thread = std::thread([this, connections] {
            std::vector<std::thread> streams;
            for (int i = 0; i < connections; ++i) {
                SOCKET client = accept(listener.socket, nullptr, nullptr);
                if (client == INVALID_SOCKET)
                    break;
                streams.emplace_back([client] {
                    // A client that stops reading must not hold this thread forever.
                    DWORD timeout = 5000;
                    setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout),
                               sizeof timeout);
                    // Under heavy thread churn Wine's blocking recv here has been seen to take a
                    // request off the wire (the kernel counted it received) and never return it.
                    // Such a connection is closed, as a server that gives up would: the
                    // downloader's receive then ends, which is what this test is about.
                    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                               sizeof timeout);
                    if (readRequestHead(client).find("\r\n\r\n") == std::string::npos) {
                        closesocket(client);
                        return;
                    }
                    std::string head =
                        "HTTP/1.1 206 Partial Content\r\nContent-Length: 1048576\r\nContent-Range: bytes "
                        "0-1048575/1048576\r\n\r\n";
                    send(client, head.data(), static_cast<int>(head.size()), 0);
                    std::string data(65536, 'd');
                    for (int sent = 0; sent < 4096; ++sent) {
                        if (send(client, data.data(), static_cast<int>(data.size()), 0) <= 0)
                            break;
                    }
                    closesocket(client);
                });
            }
            for (std::thread& stream : streams)
                stream.join();
        });
    }
    ~StreamingPeer() {
        listener.close();
        if (thread.joinable())
            thread.join();
    }
};

}  // namespace

TEST_CASE("connections ended by a write while their receives keep coming all end") {
    // The write's completion ends the connection on one worker while another worker starts the
    // next receive: that receive must either start before the socket closes (and end with it)
    // or not start at all. A receive started on the closed handle never ends, and neither does
    // its connection.
    Winsock winsock;
    EngineFixture engine;
    REQUIRE(engine.server());
    // More rounds (WEXA_STRESS_ROUNDS=200) reach rarer interleavings.
    const char* rounds = getenv("WEXA_STRESS_ROUNDS");
    const int kRounds = rounds && atoi(rounds) > 0 ? atoi(rounds) : 20;
    const int kPerRound = 10;
    StreamingPeer peer(kRounds * kPerRound);
    TempFile file(1 << 20);
    REQUIRE(engine.server()->associate(file.handle, L"test"));
    // Every byte is already written, so each connection's first write ends it.
    ByteRangeList ranges;
    ranges.replace(1 << 20, nullptr, 0);
    int ended = 0;
    for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kPerRound; ++i) {
            FileDownloader* connection =
                new FileDownloader(engine.server(), engine.window().handle(), 5, loopback(), peer.listener.port, "/f",
                                   "h", file.handle, 0, (1 << 20) - 1, &ranges, nullptr, nullptr);
            REQUIRE(engine.server()->addObject(connection));
        }
        std::vector<Posted> seen;
        while (count(seen, WM_DL_TRANSFER_ENDED) < kPerRound && pumpFor(WM_DL_TRANSFER_ENDED, 30000, &seen)) {
        }
        progressTotal(seen);
        int endedNow = count(seen, WM_DL_TRANSFER_ENDED);
        ended += endedNow;
        if (endedNow < kPerRound)
            break;
    }
    CHECK(ended == kRounds * kPerRound);
    CHECK(engine.server()->objectCount() == 0);
    CHECK(engine.stop(5000));
}
