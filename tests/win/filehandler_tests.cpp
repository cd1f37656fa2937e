// FileHandler on a real folder tree: naming and duplicates, sorted order, resolution to
// opened files (overlapped, unbuffered, on the port), index pages, built-in content, the
// records posted to the Share tab and the share-list text.
#include <doctest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "BuiltinContent.h"
#include "FileHandler.h"
#include "HSMainSettings.h"

namespace {

std::wstring makeTempRoot() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static int counter = 0;
    std::wstring root = std::wstring(temp) + L"wexa-fh-" + std::to_wstring(GetCurrentProcessId()) +
                        L"-" + std::to_wstring(++counter);
    CreateDirectoryW(root.c_str(), nullptr);
    return root;
}

void writeFile(const std::wstring& path, size_t size) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    REQUIRE(h != INVALID_HANDLE_VALUE);
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>('a' + i % 26);
    DWORD written = 0;
    if (size)
        WriteFile(h, data.data(), static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(h);
}

void removeTree(const std::wstring& dir) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring full = dir + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                removeTree(full);
            else
                DeleteFileW(full.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(dir.c_str());
}

// root\Music\{a.mp3 (10000 bytes), a b%.txt, .hidden, sub\b.txt}, root\other\music\,
// root\files\Music (a file), root\x.txt, root\index.html (a file of that name).
struct Tree {
    std::wstring root = makeTempRoot();
    std::wstring music = root + L"\\Music";
    Tree() {
        CreateDirectoryW(music.c_str(), nullptr);
        CreateDirectoryW((music + L"\\sub").c_str(), nullptr);
        CreateDirectoryW((root + L"\\other").c_str(), nullptr);
        CreateDirectoryW((root + L"\\other\\music").c_str(), nullptr);
        CreateDirectoryW((root + L"\\files").c_str(), nullptr);
        writeFile(music + L"\\a.mp3", 10000);
        writeFile(music + L"\\a b%.txt", 1536);
        writeFile(music + L"\\.hidden", 3);
        writeFile(music + L"\\sub\\b.txt", 5);
        writeFile(root + L"\\files\\Music", 7);
        writeFile(root + L"\\x.txt", 2048);
    }
    ~Tree() { removeTree(root); }
};

struct Fixture {
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  nullptr, nullptr);
    Fixture() {
        initSettingsLock();
        setDefaultSettings();
    }
    ~Fixture() {
        drain();
        DestroyWindow(window);
        CloseHandle(port);
        delete[] g_settings.uploadsDirectory;
        g_settings.uploadsDirectory = nullptr;
        deleteSettingsLock();
    }
    // Every posted record, freed; returns them as (message, id) pairs.
    std::vector<std::pair<UINT, DWORD>> drain(std::vector<ItemInfo*>* infos = nullptr) {
        std::vector<std::pair<UINT, DWORD>> seen;
        MSG msg;
        while (PeekMessageW(&msg, window, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_SHARE_ITEM_ADDED || msg.message == WM_SHARE_ITEM_REMOVED) {
                ItemInfo* info = reinterpret_cast<ItemInfo*>(msg.lParam);
                seen.push_back({msg.message, info->id});
                if (infos)
                    infos->push_back(info);
                else
                    delete info;
            } else if (msg.message == WM_SHARE_ITEM_STATUS) {
                ItemStatus* status = reinterpret_cast<ItemStatus*>(msg.lParam);
                seen.push_back({msg.message, status->id});
                delete status;
            }
        }
        return seen;
    }
};

DWORD add(FileHandler& files, const std::wstring& path, bool quiet = true) {
    return files.addFile(path.c_str(), static_cast<DWORD>(path.size()), quiet);
}

FileEntry* get(FileHandler& files, const std::wstring& path) {
    return files.getEntry(path.c_str(), static_cast<DWORD>(path.size()));
}

std::string content(const FileEntry* e) {
    return std::string(e->content, e->contentLength);
}

std::u16string nameOf(FileHandler& files, DWORD id) {
    SharedItem* item = files.getItemCopy(id);
    if (!item)
        return u"<none>";
    std::u16string name(item->name, item->nameLength);
    delete item;
    return name;
}

const char kRow[] = "<tr valign=bottom><td width=20></td><td width=350 align=left>";

}  // namespace

TEST_CASE("naming_duplicates_and_order") {
    Tree t;
    Fixture f;
    FileHandler files(nullptr, programServerSettings());
    DWORD music = add(files, t.music);
    REQUIRE(music);
    CHECK(nameOf(files, music) == u"Music/");
    // music/ from elsewhere compares equal ignoring case: refused.
    CHECK(add(files, t.root + L"\\other\\music") == 0);
    // A file named Music is a different name than the folder Music/.
    DWORD file = add(files, t.root + L"\\files\\Music");
    CHECK(file);
    CHECK(add(files, t.root + L"\\x.txt") != 0);
    CHECK(add(files, t.root + L"\\X.TXT") == 0);
    CHECK(add(files, L"C:") == 0);   // shorter than 3
    DWORD drive = add(files, L"C:\\");
    CHECK(nameOf(files, drive) == u"C/");
    // Ids are never reused, even after refusals.
    CHECK(drive > file);
    CHECK(files.itemCount() == 4);

    wchar_t* text = nullptr;
    DWORD length = 0;
    REQUIRE(files.serializeList(&text, &length));
    // Sorted by name: C/, Music, Music/, x.txt.
    std::wstring expected = std::wstring(L"C:\\") + L'\0' + L"0" + L'\0' + t.root +
                            L"\\files\\Music" + L'\0' + L"0" + L'\0' + t.music + L'\0' + L"0" +
                            L'\0' + t.root + L"\\x.txt" + L'\0' + L"0" + L'\0' + L'\0';
    CHECK(std::wstring(text, length) == expected);
    delete[] text;

    CHECK(files.removeFile(file));
    CHECK_FALSE(files.removeFile(file));
    CHECK(files.itemCount() == 3);
    files.removeAll();
    CHECK(files.itemCount() == 0);
    REQUIRE(files.serializeList(&text, &length));
    CHECK(text == nullptr);
    CHECK(length == 0);
}

TEST_CASE("sharing_and_requests_compare_names_alike") {
    // Pairs on which the system's comparison and a plain case folding disagree: the long s
    // (U+017F) is its own letter to the system, while the sharp s (U+00DF) and "ss" are one.
    Tree t;
    Fixture f;
    FileHandler files(nullptr, programServerSettings());
    files.setCompletionPort(f.port);
    const wchar_t* folders[] = {L"\\a", L"\\b", L"\\c", L"\\d"};
    for (const wchar_t* folder : folders)
        CreateDirectoryW((t.root + folder).c_str(), nullptr);
    const struct {
        std::wstring path;
        size_t size;
        bool shared;
    } shares[] = {
        {t.root + L"\\a\\sun.txt", 1, true},
        {t.root + L"\\b\\\u017Fun.txt", 2, true},
        {t.root + L"\\c\\stra\u00DFe", 3, true},
        {t.root + L"\\d\\strasse", 4, false},   // the same name as the one above to the system
    };
    for (const auto& share : shares) {
        writeFile(share.path, share.size);
        CHECK((add(files, share.path) != 0) == share.shared);
    }
    // Every shared item is reached by its own name, in any case the system folds.
    const struct {
        const wchar_t* request;
        LONGLONG size;   // 0: no entry
    } requests[] = {
        {L"/sun.txt", 1}, {L"/SUN.TXT", 1}, {L"/\u017Fun.txt", 2}, {L"/\u017FUN.TXT", 2},
        {L"/stra\u00DFe", 3}, {L"/STRA\u00DFE", 3},
        {L"/strasse", 0},   // a segment matches only a name of its own length
    };
    for (const auto& r : requests) {
        CAPTURE(r.size);
        FileEntry* e = get(files, r.request);
        CHECK((e ? e->size : 0) == r.size);
        delete e;
    }
}

TEST_CASE("files_open_overlapped_on_the_port") {
    Tree t;
    Fixture f;
    FileHandler files(nullptr, programServerSettings());
    files.setCompletionPort(f.port);
    DWORD music = add(files, t.music);
    add(files, t.root + L"\\x.txt");
    FileEntry* e = get(files, L"/music/A.MP3");
    REQUIRE(e);
    CHECK(e->kind == EntryOpenFile);
    CHECK(e->itemId == music);
    CHECK(e->size == 10000);
    CHECK(std::string(e->sizeText) == "10000");
    CHECK(std::string(e->mimeType) == "audio/mpeg");
    CHECK(std::wstring(e->name, e->nameLength) == L"A.MP3");   // as requested
    CHECK(std::string(e->dateText).find(" GMT") == 25);

    // An overlapped read of one aligned block completes through the engine's port, key 0.
    void* buffer = VirtualAlloc(nullptr, 8192, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    OVERLAPPED o = {};
    o.Offset = 8192;
    BOOL started = ReadFile(e->fileHandle, buffer, 8192, nullptr, &o);
    CHECK((started || GetLastError() == ERROR_IO_PENDING));
    DWORD bytes = 0;
    ULONG_PTR key = 99;
    OVERLAPPED* done = nullptr;
    REQUIRE(GetQueuedCompletionStatus(f.port, &bytes, &key, &done, 5000));
    CHECK(done == &o);
    CHECK(key == 0);
    CHECK(bytes == 10000 - 8192);
    CHECK(static_cast<char*>(buffer)[0] == static_cast<char>('a' + 8192 % 26));
    VirtualFree(buffer, 0, MEM_RELEASE);

    // The entry outlives the item's removal.
    files.removeAll();
    CHECK(e->fileHandle != INVALID_HANDLE_VALUE);
    delete e;
}

TEST_CASE("no_port_no_open_file") {
    Tree t;
    Fixture f;
    FileHandler files(nullptr, programServerSettings());
    add(files, t.root + L"\\x.txt");
    CHECK(get(files, L"/x.txt") == nullptr);
}

TEST_CASE("parent_segments_and_missing_files_give_no_entry") {
    Tree t;
    Fixture f;
    FileHandler files(nullptr, programServerSettings());
    files.setCompletionPort(f.port);
    add(files, t.music);
    add(files, t.root + L"\\x.txt");
    const std::wstring refused[] = {
        L"/Music/../x.txt", L"/Music/..\\x.txt", L"/Music/sub/../../x.txt", L"/Music/..",
        L"/Music/sub/..\\..\\..", L"/x.txt/..", L"/Music/.. /x.txt", L"/Music/a.mp3::$DATA",
        std::wstring(L"/Music/a.mp3\0", 13), L"/Music/nothing.txt", L"/nothing",
        L"/Music/sub/b.txt/",
    };
    for (const std::wstring& path : refused) {
        CAPTURE(std::string(path.begin(), path.end()));
        FileEntry* e = get(files, path);
        CHECK(e == nullptr);
        delete e;
    }
}

TEST_CASE("folder_listing_and_root_index") {
    Tree t;
    Fixture f;
    FileHandler files(nullptr, programServerSettings());
    files.setCompletionPort(f.port);
    add(files, t.music);
    add(files, t.root + L"\\x.txt");

    FileEntry* root = get(files, L"/");
    REQUIRE(root);
    CHECK(root->kind == EntryIndexTable);
    CHECK(root->itemId == 0);
    CHECK(content(root) ==
          std::string("<table border=0 cellspacing=0 cellpadding=1>") + kRow +
              "<img src=\"/dir_icon.png\"> <a href=\"Music&#47;\">Music&#47;</a></td><td "
              "align=left>Directory</td></tr>" + kRow +
              "<img src=\"/txt_icon.png\"> <a href=\"x.txt\">x.txt</a></td><td align=left>2.0 kb"
              "</td></tr></table>");
    delete root;

    FileEntry* index = get(files, L"/INDEX.html");
    REQUIRE(index);
    CHECK(index->kind == EntryIndexTable);
    CHECK(content(index).find("Music&#47;") != std::string::npos);
    delete index;

    FileEntry* listing = get(files, L"/Music/");
    REQUIRE(listing);
    std::string page = content(listing);
    CHECK(page.find("<a href=\"&#47;\">Up one level</a>") != std::string::npos);
    CHECK(page.find("<a href=\"a&#32;b%25.txt\">a&#32;b&#37;.txt</a></td><td align=left>1.5 kb") !=
          std::string::npos);
    CHECK(page.find("<a href=\"sub&#47;\">sub&#47;</a></td><td align=left>Directory") !=
          std::string::npos);
    CHECK(page.find("hidden") == std::string::npos);
    CHECK(page.find("Send") == std::string::npos);
    delete listing;

    // Hidden files are still served by exact URL.
    FileEntry* hidden = get(files, L"/Music/.hidden");
    REQUIRE(hidden);
    CHECK(hidden->size == 3);
    delete hidden;

    setUseIcons(false);
    FileEntry* plain = get(files, L"/Music/sub");
    REQUIRE(plain);
    CHECK(content(plain).find("<img") == std::string::npos);
    CHECK(content(plain).find("<a href=\"&#47;\">Up one level</a>") != std::string::npos);
    delete plain;
}

TEST_CASE("single_folder_is_root") {
    Tree t;
    Fixture f;
    FileHandler files(nullptr, programServerSettings());
    files.setCompletionPort(f.port);
    setAllowUploads(true);
    DWORD music = add(files, t.music);

    FileEntry* root = get(files, L"/");
    REQUIRE(root);
    std::string page = content(root);
    CHECK(page.find("a.mp3") != std::string::npos);
    CHECK(page.find("Up one level") == std::string::npos);
    CHECK(page.find("send_file_swf/") != std::string::npos);
    delete root;

    FileEntry* file = get(files, L"/a.mp3");
    REQUIRE(file);
    CHECK(file->itemId == music);
    CHECK(file->size == 10000);
    delete file;

    setSingleDirIsRoot(false);
    root = get(files, L"/");
    REQUIRE(root);
    CHECK(content(root).find("Music&#47;") != std::string::npos);
    delete root;
    CHECK(get(files, L"/a.mp3") == nullptr);

    // A second item ends the single-folder case.
    setSingleDirIsRoot(true);
    add(files, t.root + L"\\x.txt");
    root = get(files, L"/");
    REQUIRE(root);
    CHECK(content(root).find("Music&#47;") != std::string::npos);
    CHECK(content(root).find("x.txt") != std::string::npos);
    delete root;
}

TEST_CASE("built_in_content_after_shared_items") {
    Tree t;
    Fixture f;
    FileHandler files(nullptr, programServerSettings());
    files.setCompletionPort(f.port);
    add(files, t.root + L"\\x.txt");

    FileEntry* icon = get(files, L"/doc_icon.png");
    REQUIRE(icon);
    CHECK(icon->kind == EntryBuiltin);
    CHECK(icon->contentLength == kBuiltinAssets[0].length);
    CHECK(std::string(icon->mimeType) == "image/png");
    CHECK(std::string(icon->dateText).size() == 29);
    delete icon;

    setAllowUploads(false);
    CHECK(get(files, L"/send_file_form/") == nullptr);
    setAllowUploads(true);
    setUserName(L"Ann", 3);
    FileEntry* form = get(files, L"/SEND_FILE_FORM/");
    REQUIRE(form);
    CHECK(form->kind == EntryPage);
    CHECK(content(form).find("Send File to Ann") != std::string::npos);
    delete form;
    CHECK(get(files, L"/nothing.png") == nullptr);
}

TEST_CASE("posted_records_and_statistics") {
    Tree t;
    Fixture f;
    FileHandler files(nullptr, programServerSettings());
    files.setCompletionPort(f.port);
    files.setNotify(f.window, WM_SHARE_ITEM_ADDED, WM_SHARE_ITEM_REMOVED, WM_SHARE_ITEM_STATUS);

    DWORD music = add(files, t.music, false);
    DWORD x = add(files, t.root + L"\\x.txt", true);
    CHECK(add(files, t.root + L"\\X.txt", false) == 0);
    std::vector<ItemInfo*> infos;
    auto seen = f.drain(&infos);
    // The refused duplicate posts nothing; the quiet add posts no status.
    CHECK(seen == std::vector<std::pair<UINT, DWORD>>{
                      {WM_SHARE_ITEM_ADDED, music}, {WM_SHARE_ITEM_STATUS, music},
                      {WM_SHARE_ITEM_ADDED, x}});
    REQUIRE(infos.size() == 2);
    CHECK(std::wstring(infos[0]->details) == L"Directory");
    CHECK(infos[0]->iconClass == 3);
    CHECK(std::wstring(infos[0]->name) == L"Music/");
    CHECK(std::wstring(infos[1]->details) == L"2.0 kb");
    CHECK(infos[1]->iconClass == 1);
    CHECK(std::wstring(infos[1]->path) == t.root + L"\\x.txt");
    for (ItemInfo* info : infos)
        delete info;

    // Sends inside the folder count toward the folder item; status posts are rate-limited.
    FileEntry* e = get(files, L"/Music/a.mp3");
    REQUIRE(e);
    files.addSent(e->itemId, 4000);
    files.addSent(e->itemId, 6000);
    SharedItem* item = files.getItemCopy(music);
    REQUIRE(item);
    CHECK(item->totalSent == 10000);
    CHECK(item->activeTransfers == 1);
    delete item;
    CHECK(f.drain().empty());
    // A forced update goes out at once, in the same millisecond as the transfer's start.
    files.endTransfer(e->itemId);
    files.statusUpdate(e->itemId, true);
    MSG msg;
    REQUIRE(PeekMessageW(&msg, f.window, WM_SHARE_ITEM_STATUS, WM_SHARE_ITEM_STATUS, PM_REMOVE));
    ItemStatus* status = reinterpret_cast<ItemStatus*>(msg.lParam);
    CHECK(status->id == music);
    CHECK(status->totalSent == 10000);
    delete status;
    CHECK(f.drain().empty());
    delete e;

    CHECK(files.removeFile(x));
    CHECK(f.drain() == std::vector<std::pair<UINT, DWORD>>{{WM_SHARE_ITEM_REMOVED, x}});
    files.removeAll();
    CHECK(f.drain() == std::vector<std::pair<UINT, DWORD>>{{WM_SHARE_ITEM_REMOVED, music}});
}
