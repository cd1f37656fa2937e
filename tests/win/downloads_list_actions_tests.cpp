// What the downloads view asks of the downloads list: the automatic retry (only failed
// resumable entries come back), Change URL (paused first, resumed only when the URL parses),
// typed credentials resuming a stopped entry, and entries prepared for Save As that are dropped.
#include <doctest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "DownloadMessages.h"
#include "DownloadsList.h"
#include "EngineFixture.h"

namespace {

class NullObserver final : public DownloadsObserver {
public:
    void entryAdded(DownloadEntry*) override {}
    void statusChanged(DownloadEntry*) override {}
    void entryCompleted(DownloadEntry*) override {}
    void entryFailed(DownloadEntry*) override {}
    void credentialsNeeded(DownloadEntry*) override {}
    void entryRemoved(DWORD) override {}
};

struct Winsock {
    Winsock() {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
    }
    ~Winsock() { WSACleanup(); }
};

// A list on a running engine. The entries' hosts are dotted loopback addresses on a refused
// port, so whatever they start ends without fetching anything; the tests drive the entries'
// answers themselves and never pump the engine's messages.
struct ListFixture {
    Winsock winsock;
    EngineFixture engine;
    NullObserver observer;
    ReceivedCounter counter;
    DownloadsList* list;
    ListFixture() {
        list = new DownloadsList(engine.log(), engine.server(), engine.window().handle(), &observer, &counter);
        list->setFolder(L"C:\\dl-not-used");
    }
    ~ListFixture() {
        list->stopDispatch();
        engine.stop();
        delete list;
    }
    DownloadEntry* add(const wchar_t* url) {
        std::wstring text = url;
        return list->addDownload(text.c_str(), text.size(), 1, nullptr, nullptr);
    }
};

const char kRanged[] = "HTTP/1.1 206 Partial Content\r\nContent-Length: 5000\r\nAccept-Ranges: bytes\r\n\r\n";
const char kWhole[] = "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n";
const char kLogin[] = "HTTP/1.1 401 Unauthorized\r\n\r\n";

bool head(DownloadEntry* entry, const char* text) { return entry->handleHeader(text, strlen(text)); }

std::wstring status(DownloadEntry* entry) { return entry->status(); }

}  // namespace

TEST_CASE("retry resumes failed resumable entries only, clearing every error flag") {
    ListFixture f;
    DownloadEntry* resumable = f.add(L"http://127.0.0.1:9/a.bin");
    DownloadEntry* whole = f.add(L"http://127.0.0.1:9/b.bin");
    DownloadEntry* paused = f.add(L"http://127.0.0.1:9/c.bin");
    REQUIRE(resumable);
    REQUIRE(whole);
    REQUIRE(paused);
    head(resumable, kRanged);
    resumable->failDownload();
    head(whole, kWhole);
    whole->failDownload();
    head(paused, kRanged);
    f.list->pause(paused->id());
    REQUIRE(paused->isStopped());

    CHECK(f.list->retryFailed() == 1);
    CHECK_FALSE(resumable->isStopped());
    CHECK(status(resumable) == EntryStatus::kResolving);
    // Without range support a restart would lose what it has: it stays failed, flag cleared.
    CHECK(whole->isStopped());
    CHECK_FALSE(whole->hasError());
    CHECK(paused->isStopped());
    CHECK(status(paused) == EntryStatus::kPaused);
    // Nothing failed since: the next round resumes nothing.
    CHECK(f.list->retryFailed() == 0);
}

TEST_CASE("change URL pauses a running entry and resumes it only when the new URL parses") {
    ListFixture f;
    DownloadEntry* entry = f.add(L"http://127.0.0.1:9/file.bin");
    REQUIRE(entry);
    head(entry, kRanged);
    REQUIRE_FALSE(entry->isStopped());

    const std::wstring other = L"http://127.0.0.2:9/mirror/file.bin";
    CHECK(f.list->changeUrl(entry->id(), other.c_str(), other.size()));
    CHECK(entry->url() == other);
    CHECK_FALSE(entry->isStopped());
    CHECK(status(entry) == EntryStatus::kResolving);
    CHECK(entry->localPath() == L"C:\\dl-not-used\\file.bin");

    const std::wstring broken = L"no-slash-after-the-host";
    CHECK_FALSE(f.list->changeUrl(entry->id(), broken.c_str(), broken.size()));
    CHECK(entry->isStopped());
    CHECK(status(entry) == EntryStatus::kPaused);
}

TEST_CASE("typed credentials resume an entry stopped by a 401") {
    ListFixture f;
    DownloadEntry* entry = f.add(L"http://127.0.0.1:9/private/file.bin");
    REQUIRE(entry);
    CHECK_FALSE(head(entry, kLogin));
    REQUIRE(entry->passwordNeeded());
    REQUIRE(entry->isStopped());
    f.list->giveCredentials(entry->id(), "user", "pass");
    CHECK_FALSE(entry->isStopped());
    CHECK(status(entry) == EntryStatus::kResolving);
}

TEST_CASE("entries prepared and dropped take no id, and a URL that does not parse gives none") {
    ListFixture f;
    const std::wstring bad = L"http://host-without-slash";
    CHECK(f.list->prepareDownload(bad.c_str(), bad.size()) == nullptr);
    const std::wstring good = L"http://127.0.0.1:9/kept%20name.bin";
    DownloadEntry* dropped = f.list->prepareDownload(good.c_str(), good.size());
    REQUIRE(dropped);
    CHECK(dropped->fileName() == L"kept name.bin");  // decoded before it is parsed
    delete dropped;  // Save As cancelled
    CHECK(f.list->size() == 0);
    DownloadEntry* entry = f.list->prepareDownload(good.c_str(), good.size());
    REQUIRE(entry);
    f.list->startDownload(entry, 3);
    CHECK(f.list->size() == 1);
    CHECK(entry->id() == 1);
    CHECK(entry->wantedConnections() == 3);
    CHECK(status(entry) == EntryStatus::kResolving);
}
