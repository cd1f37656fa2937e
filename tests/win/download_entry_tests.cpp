// DownloadEntry's decisions on real files and a running engine, without a network: what each
// response head does to the entry, where its file goes, and how names are numbered.
#include <doctest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "DownloadEntry.h"
#include "DownloadsListCodec.h"
#include "DownloadMessages.h"
#include "EngineFixture.h"
#include "LoopbackPeer.h"

namespace {

std::wstring makeFolder() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    std::wstring folder = std::wstring(base) + L"wexa-entry-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                          std::to_wstring(GetTickCount());
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

void touch(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(file);
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

int64_t fileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

struct Entry {
    EngineFixture engine;
    std::wstring folder = L"C:\\dl";
    DownloadEntry* entry;
    explicit Entry(const wchar_t* url = L"http://example.com/dir/file.bin") {
        EntryContext context = {engine.log(), engine.window().handle(), engine.server(), &folder, nullptr, nullptr};
        entry = new DownloadEntry(context, 1);
        std::wstring text = url;
        entry->setUrl(text.c_str(), text.size());
    }
    ~Entry() {
        delete entry;
        engine.stop();
    }
    bool head(const std::string& text) { return entry->handleHeader(text.data(), text.size()); }
};

const char kRanged[] = "HTTP/1.1 206 Partial Content\r\nContent-Length: 5000\r\nAccept-Ranges: bytes\r\n\r\n";

}  // namespace

TEST_CASE("each kind of response head sets its status, and only 200 and 206 with a size go on") {
    struct Case {
        const char* head;
        bool result;
        const wchar_t* status;
        bool failed;
    };
    const Case cases[] = {
        {kRanged, true, EntryStatus::kHeaderRead, false},
        {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", true, EntryStatus::kHeaderRead, false},
        {"HTTP/1.1 206 Partial\r\nContent-Length: 10\r\n\r\n", false, EntryStatus::kInvalidHeader, true},
        {"HTTP/1.1 206 Partial\r\nAccept-Ranges: bytes\r\n\r\n", false, EntryStatus::kZeroSize, true},
        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false, EntryStatus::kZeroSize, true},
        {"HTTP/1.1 404 Not Found\r\n\r\n", false, EntryStatus::kNotFound, true},
        {"HTTP/1.1 401 Login\r\n\r\n", false, EntryStatus::kPasswordProtected, true},
        {"HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n", false, EntryStatus::kInvalidHeader, true},
        {"HTTP/1.1 302 Found\r\nLocation: http://a/b\r\n\r\n", true, EntryStatus::kMoved, false},
        {"HTTP/1.1 303 See Other\r\nLocation: http://a/b\r\n\r\n", true, EntryStatus::kMoved, false},
        {"HTTP/1.1 307 Temporary\r\nLocation: http://a/b\r\n\r\n", true, EntryStatus::kMoved, false},
        {"HTTP/1.1 308 Permanent\r\nLocation: http://a/b\r\n\r\n", true, EntryStatus::kMoved, false},
        {"HTTP/1.1 300 Choices\r\nLocation: http://a/b\r\n\r\n", false, EntryStatus::kInvalidHeader, true},
        {"HTTP/1.1 304 Not Modified\r\nLocation: http://a/b\r\n\r\n", false, EntryStatus::kInvalidHeader, true},
        // A CR or LF decoded from the location would reach the Host line.
        {"HTTP/1.1 302 Found\r\nLocation: http://a%0d%0aX-Injected:%201/b\r\n\r\n", false,
         EntryStatus::kMovedUnusable, true},
        {"HTTP/1.1 301 Moved\r\nLocation: http://a%0A/b\r\n\r\n", false, EntryStatus::kMovedUnusable, true},
        {"HTTP/1.1 301 Moved\r\nLocation: nowhere\r\n\r\n", false, EntryStatus::kMovedUnusable, true},
        {"HTTP/1.1 301 Moved\r\n\r\n", false, EntryStatus::kMovedUnusable, true},
    };
    for (const Case& c : cases) {
        CAPTURE(c.head);
        Entry e;
        CHECK(e.head(c.head) == c.result);
        CHECK(std::wstring(e.entry->status()) == c.status);
        CHECK((e.entry->isStopped() && e.entry->hasError()) == c.failed);
    }
}

TEST_CASE("206 makes the entry resumable, 200 does not, and 401 asks for credentials") {
    Entry ranged;
    ranged.head(kRanged);
    CHECK(ranged.entry->isResumable());
    CHECK(ranged.entry->bytesDone() == 0);

    Entry whole;
    whole.head("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n");
    CHECK_FALSE(whole.entry->isResumable());

    Entry login;
    login.head("HTTP/1.1 401 Login\r\n\r\n");
    CHECK(login.entry->passwordNeeded());
    // A later head clears the need again.
    login.entry->clearError();
    login.head(kRanged);
    CHECK_FALSE(login.entry->passwordNeeded());
}

TEST_CASE("a 206 proves ranges by Accept-Ranges or by a Content-Range of the whole file, and its total is the size") {
    struct Case {
        const char* head;
        bool accepted;
        int64_t size;
    };
    const Case cases[] = {
        // Servers that leave Accept-Ranges out of their 206 answers.
        {"HTTP/1.1 206 Partial\r\nContent-Length: 5000\r\nContent-Range: bytes 0-4999/5000\r\n\r\n", true, 5000},
        {"HTTP/1.1 206 Partial\r\nContent-Length: 1000\r\nContent-Range: bytes 0-999/5000\r\n\r\n", false, 0},
        {"HTTP/1.1 206 Partial\r\nContent-Length: 4999\r\nContent-Range: bytes 0-4999/5000\r\n\r\n", false, 0},
        // A capped answer: the size is the total, not the part's length.
        {"HTTP/1.1 206 Partial\r\nContent-Length: 1000\r\nAccept-Ranges: bytes\r\nContent-Range: bytes 0-999/5000\r\n\r\n",
         true, 5000},
        {"HTTP/1.1 206 Partial\r\nContent-Length: 90\r\nAccept-Ranges: bytes\r\nContent-Range: bytes 10-99/100\r\n\r\n",
         false, 0},
        {"HTTP/1.1 206 Partial\r\nContent-Length: 90\r\nAccept-Ranges: bytes\r\nContent-Range: bytes 0-89/*\r\n\r\n",
         false, 0},
        {"HTTP/1.1 206 Partial\r\nContent-Length: 90\r\nAccept-Ranges: bytes\r\nContent-Range: junk\r\n\r\n", false, 0},
    };
    for (const Case& c : cases) {
        CAPTURE(c.head);
        Entry e;
        CHECK(e.head(c.head) == c.accepted);
        CHECK(e.entry->isResumable() == c.accepted);
        CHECK(e.entry->rangeSize() == c.size);
        if (!c.accepted)
            CHECK(std::wstring(e.entry->status()) == EntryStatus::kInvalidHeader);
    }
}

TEST_CASE("a move takes the decoded location as the URL and keeps the file name") {
    Entry e(L"http://first.example/a/original.zip");
    CHECK(e.head("HTTP/1.1 301 Moved\r\nLocation: http://second.example:8080/b/new%20name.zip\r\n\r\n"));
    CHECK(std::wstring(e.entry->status()) == EntryStatus::kMoved);
    CHECK(e.entry->url() == L"http://second.example:8080/b/new name.zip");
    CHECK(e.entry->localPath() == L"C:\\dl\\original.zip");
}

TEST_CASE("ten moves in a row are followed, the eleventh fails the download, and a usable head resets the count") {
    Entry e;
    const std::string move = "HTTP/1.1 302 Found\r\nLocation: http://a/b\r\n\r\n";
    for (int i = 0; i < DownloadEntry::kMaxMoves; ++i)
        REQUIRE(e.head(move));
    CHECK_FALSE(e.head(move));
    CHECK(std::wstring(e.entry->status()) == EntryStatus::kTooManyMoves);
    CHECK(e.entry->hasError());

    Entry again;
    for (int i = 0; i < DownloadEntry::kMaxMoves; ++i)
        REQUIRE(again.head(move));
    REQUIRE(again.head(kRanged));
    CHECK(again.head(move));
}

TEST_CASE("credentials are saved only while the download points at the server they were given for") {
    Entry e(L"http://first.example:8080/a/file.bin");
    e.entry->setCredentials("u", "p");
    DownloadRecord record;
    e.entry->fillRecord(&record);
    CHECK(record.credentials == "dTpw");
    REQUIRE(e.head("HTTP/1.1 302 Found\r\nLocation: http://first.example:8080/b/file.bin\r\n\r\n"));
    e.entry->fillRecord(&record);
    CHECK(record.credentials == "dTpw");
    for (const char* other : {"http://first.example:8081/b", "http://second.example:8080/b",
                               "https://first.example:8080/b"}) {
        CAPTURE(other);
        Entry moved(L"http://first.example:8080/a/file.bin");
        moved.entry->setCredentials("u", "p");
        REQUIRE(moved.head(std::string("HTTP/1.1 302 Found\r\nLocation: ") + other + "\r\n\r\n"));
        DownloadRecord saved;
        moved.entry->fillRecord(&saved);
        CHECK(saved.credentials.empty());
    }
}

TEST_CASE("the scheme sets tls and the default port on every way a URL comes in") {
    Entry e(L"https://secure.example/f.bin");
    CHECK(e.entry->isSecure());
    CHECK(e.entry->port() == 443);
    // A move between schemes takes the new scheme and its port.
    CHECK(e.head("HTTP/1.1 301 Moved\r\nLocation: http://plain.example/f.bin\r\n\r\n"));
    CHECK_FALSE(e.entry->isSecure());
    CHECK(e.entry->port() == 80);
    CHECK(e.head("HTTP/1.1 301 Moved\r\nLocation: https://secure.example:8443/f.bin\r\n\r\n"));
    CHECK(e.entry->isSecure());
    CHECK(e.entry->port() == 8443);
    std::wstring changed = L"https://other.example/f.bin";
    CHECK(e.entry->changeUrl(changed.c_str(), changed.size()));
    CHECK(e.entry->isSecure());
    CHECK(e.entry->port() == 443);
    changed = L"other.example:81/f.bin";
    CHECK(e.entry->changeUrl(changed.c_str(), changed.size()));
    CHECK_FALSE(e.entry->isSecure());
    CHECK(e.entry->port() == 81);
    // A saved record keeps the URL as typed, scheme included.
    DownloadRecord record;
    e.entry->fillRecord(&record);
    CHECK(record.url == u"other.example:81/f.bin");
}

TEST_CASE("a refused secure connection fails the entry with its reason") {
    struct Row {
        TlsFailure why;
        const wchar_t* status;
    };
    const Row rows[] = {{TlsFailure::Untrusted, EntryStatus::kSecureUntrusted},
                        {TlsFailure::WrongName, EntryStatus::kSecureWrongName},
                        {TlsFailure::Expired, EntryStatus::kSecureExpired},
                        {TlsFailure::Handshake, EntryStatus::kSecureFailed}};
    for (const Row& row : rows) {
        Entry e(L"https://secure.example/f.bin");
        e.entry->handleSecureFailure(row.why);
        CHECK(std::wstring(e.entry->status()) == row.status);
        CHECK(e.entry->isStopped());
        CHECK(e.entry->hasError());
        // The header request's end that follows does not overwrite the reason.
        e.entry->handleHeader(nullptr, 0);
        CHECK(std::wstring(e.entry->status()) == row.status);
    }
}

TEST_CASE("a known size that the server no longer reports stops the entry as modified") {
    Entry e;
    DownloadRecord record;
    record.url = u"http://example.com/file.bin";
    record.localPath = u"C:\\dl\\file.bin";
    record.size = 5000;
    record.ranges = {{100, 4999}};
    REQUIRE(e.entry->restore(record));
    CHECK_FALSE(e.head("HTTP/1.1 206 Partial\r\nContent-Length: 5001\r\nAccept-Ranges: bytes\r\n\r\n"));
    CHECK(std::wstring(e.entry->status()) == EntryStatus::kModified);
    CHECK_FALSE(e.head("HTTP/1.1 206 Partial\r\nAccept-Ranges: bytes\r\n\r\n"));
    CHECK(std::wstring(e.entry->status()) == EntryStatus::kModified);
    // The same size keeps the ranges: only what was missing is missing.
    CHECK(e.head(kRanged));
    CHECK(e.entry->bytesDone() == 100);
}

TEST_CASE("a server-suggested name is used, but never one that leaves the download folder") {
    struct Case {
        const char* disposition;
        const wchar_t* path;
    };
    const Case cases[] = {
        {"attachment; filename=\"report.pdf\"", L"C:\\dl\\report.pdf"},
        // The head parser already drops separators; what is left stays one name.
        {"attachment; filename=\"..\\..\\windows\\evil.exe\"", L"C:\\dl\\....windowsevil.exe"},
        {"attachment; filename=\"..\"", L"C:\\dl\\file.bin"},
        {"attachment; filename=\"CON\"", L"C:\\dl\\_CON"},
        {"attachment; filename=\"name. . \"", L"C:\\dl\\name"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.disposition);
        Entry e;
        std::string head = "HTTP/1.1 206 Partial\r\nContent-Length: 10\r\nAccept-Ranges: bytes\r\nContent-Disposition: " +
                           std::string(c.disposition) + "\r\n\r\n";
        CHECK(e.head(head));
        CHECK(e.entry->localPath() == c.path);
    }
}

TEST_CASE("opening the file gives it its full length and numbers taken names up to nine") {
    std::wstring folder = makeFolder();
    {
        Entry e;
        e.folder = folder;
        e.entry->setUrl(L"http://h/x/name.bin", 19);
        e.head(kRanged);
        e.entry->handleAddress(htonl(INADDR_LOOPBACK));
        touch(folder + L"\\name.bin");
        REQUIRE(e.entry->doStep());
        CHECK(std::wstring(e.entry->status()) == EntryStatus::kDownloading);
        CHECK(e.entry->localPath() == folder + L"\\name(1).bin");
        CHECK(fileSize(folder + L"\\name(1).bin") == 5000);
        // Removing a partial download deletes its file when the entry goes.
        e.entry->beginRemove(true);
    }
    CHECK_FALSE(exists(folder + L"\\name(1).bin"));
    for (int n = 1; n <= 9; ++n)
        touch(folder + L"\\name(" + std::to_wstring(n) + L").bin");
    {
        Entry e;
        e.folder = folder;
        e.entry->setUrl(L"http://h/x/name.bin", 19);
        e.head(kRanged);
        e.entry->handleAddress(htonl(INADDR_LOOPBACK));
        CHECK_FALSE(e.entry->doStep());
        CHECK(std::wstring(e.entry->status()) == EntryStatus::kOpenFailed);
        CHECK(e.entry->hasError());
    }
    {
        // A restored download whose file has gone cannot resume into it.
        Entry e;
        DownloadRecord record;
        record.url = u"http://h/x/gone.bin";
        record.localPath = std::u16string(reinterpret_cast<const char16_t*>(folder.c_str())) + u"\\gone.bin";
        record.fileFlag = true;
        record.size = 5000;
        record.ranges = {{0, 4999}};
        REQUIRE(e.entry->restore(record));
        e.head(kRanged);
        e.entry->handleAddress(htonl(INADDR_LOOPBACK));
        CHECK_FALSE(e.entry->doStep());
        CHECK(std::wstring(e.entry->status()) == EntryStatus::kResumeOpenFailed);
        CHECK_FALSE(exists(folder + L"\\gone.bin"));
    }
}

TEST_CASE("a file that cannot get its length is deleted and the next try starts from the same name") {
    std::wstring folder = makeFolder();
    touch(folder + L"\\huge.bin");
    // Far beyond what the file system allows for one file.
    const char head[] = "HTTP/1.1 206 Partial\r\nContent-Length: 17592186044416\r\nAccept-Ranges: bytes\r\n\r\n";
    Entry e;
    e.folder = folder;
    e.entry->setUrl(L"http://h/x/huge.bin", 19);
    e.head(head);
    e.entry->handleAddress(htonl(INADDR_LOOPBACK));
    for (int round = 0; round < 2; ++round) {
        CAPTURE(round);
        CHECK_FALSE(e.entry->doStep());
        const std::wstring status = e.entry->status();
        CHECK((status == EntryStatus::kOpenFailed || status == EntryStatus::kDiskFull));
        CHECK(e.entry->localPath() == folder + L"\\huge.bin");
        CHECK_FALSE(exists(folder + L"\\huge(1).bin"));
        CHECK(fileSize(folder + L"\\huge.bin") == 0);
        e.entry->togglePause();  // resumed: a new header request, then the same file again
        e.entry->togglePause();
        e.head(head);
        e.entry->handleAddress(htonl(INADDR_LOOPBACK));
    }
}

TEST_CASE("Save As is overwritten only at the confirmed path, not under a server-suggested name") {
    std::wstring folder = makeFolder();
    const std::string disposition =
        "HTTP/1.1 206 Partial\r\nContent-Length: 5000\r\nAccept-Ranges: bytes\r\nContent-Disposition: attachment; "
        "filename=\"";
    touch(folder + L"\\server.bin");
    touch(folder + L"\\chosen.bin");
    {
        Entry e;
        e.folder = folder;
        std::wstring chosen = folder + L"\\chosen.bin";
        e.entry->setLocalPath(chosen.c_str(), chosen.size(), true);
        REQUIRE(e.head(disposition + "server.bin\"\r\n\r\n"));
        e.entry->handleAddress(htonl(INADDR_LOOPBACK));
        REQUIRE(e.entry->doStep());
        CHECK(e.entry->localPath() == folder + L"\\server(1).bin");
        CHECK(fileSize(folder + L"\\server.bin") == 0);
        e.entry->beginRemove(false);
    }
    {
        Entry e;
        e.folder = folder;
        std::wstring chosen = folder + L"\\chosen.bin";
        e.entry->setLocalPath(chosen.c_str(), chosen.size(), true);
        REQUIRE(e.head(disposition + "CHOSEN.bin\"\r\n\r\n"));
        e.entry->handleAddress(htonl(INADDR_LOOPBACK));
        REQUIRE(e.entry->doStep());
        CHECK(fileSize(folder + L"\\chosen.bin") == 5000);
        e.entry->beginRemove(false);
    }
}

TEST_CASE("a saved record claims written bytes only once the file has been flushed") {
    Winsock winsock;
    std::wstring folder = makeFolder();
    const std::string body(5000, 'b');
    ScriptedPeer peer({"HTTP/1.1 206 Partial\r\nContent-Length: 5000\r\nContent-Range: bytes 0-4999/5000\r\n\r\n" +
                       body});
    std::wstring url = L"http://127.0.0.1:" + std::to_wstring(peer.listener.port) + L"/x/flushed.bin";
    Entry e(url.c_str());
    e.folder = folder;
    e.entry->setUrl(url.c_str(), url.size());
    REQUIRE(e.head(kRanged));
    e.entry->handleAddress(htonl(INADDR_LOOPBACK));
    REQUIRE(e.entry->doStep());
    e.entry->doStep();
    REQUIRE(e.entry->connectionCount() == 1);
    // The window's part: progress and the connection's end go to the entry.
    for (DWORD start = GetTickCount(); e.entry->connectionCount() > 0 && GetTickCount() - start < 10000;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_DL_PROGRESS) {
                ProgressRecord* record = reinterpret_cast<ProgressRecord*>(msg.lParam);
                e.entry->addProgress(record->connectionId, record->bytes, record->end);
                delete record;
            } else if (msg.message == WM_DL_TRANSFER_ENDED) {
                e.entry->connectionEnded(static_cast<DWORD>(msg.wParam));
            } else {
                DispatchMessageW(&msg);
            }
        }
        Sleep(5);
    }
    peer.thread.join();
    REQUIRE(e.entry->bytesDone() == 5000);
    DownloadRecord record;
    e.entry->fillRecord(&record);
    REQUIRE(record.ranges.size() == 1);
    CHECK(record.ranges[0].start == 0);
    CHECK(record.ranges[0].end == 4999);
    e.entry->flushForSave(GetTickCount(), true);
    e.entry->fillRecord(&record);
    CHECK(record.ranges.empty());
    e.entry->beginRemove(true);
}
