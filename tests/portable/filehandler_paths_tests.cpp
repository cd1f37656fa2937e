// Registry rules without the system: item names, request resolution (parent-directory
// attacks, the single-folder root), path joining and the extension table.
#include <doctest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FileHandlerPaths.h"
#include "TextHelpers.h"

namespace {

SharedItem* item(const std::u16string& name, uint32_t kind, const std::u16string& path) {
    SharedItem* it = new SharedItem;
    it->name = new char16_t[name.size() + 1];
    memcpy(it->name, name.c_str(), (name.size() + 1) * sizeof(char16_t));
    it->nameLength = name.size();
    it->path = new char16_t[path.size() + 1];
    memcpy(it->path, path.c_str(), (path.size() + 1) * sizeof(char16_t));
    it->pathLength = path.size();
    it->kind = kind;
    return it;
}

// The registry passes the system's comparison; the portable folding stands in for it here.
bool foldedEqual(const char16_t* a, const char16_t* b, size_t length) {
    return equalsNoCaseLocale(a, length, b, length);
}

bool exactlyEqual(const char16_t* a, const char16_t* b, size_t length) {
    return memcmp(a, b, length * sizeof(char16_t)) == 0;
}

struct Share {
    std::vector<SharedItem*> items;
    NamesEqual namesEqual = foldedEqual;
    ~Share() {
        for (SharedItem* it : items)
            delete it;
    }
    // The file-system path a request reaches, "" when nothing matches, "refused" when the
    // path is refused.
    std::u16string resolve(const std::u16string& request, bool singleDirIsRoot) const {
        RequestResolution r;
        if (!resolveRequestPath(request.data(), request.size(), items.data(), items.size(),
                                singleDirIsRoot, namesEqual, &r))
            return u"refused";
        if (r.siteRoot)
            return r.singleFolderRoot ? u"root:" + std::u16string(items[0]->path) : u"root";
        if (r.matched < 0)
            return u"";
        const SharedItem& m = *items[r.matched];
        std::u16string out(m.pathLength + r.remainderLength + 2, u'?');
        out.resize(joinItemPath(m.path, m.pathLength, r.remainder, r.remainderLength, &out[0]));
        return out;
    }
};

}  // namespace

TEST_CASE("item_names_from_paths") {
    struct Case {
        std::u16string path;
        bool folder;
        std::u16string name;
    };
    const Case cases[] = {
        {u"C:\\Music", true, u"Music/"},
        {u"D:\\data\\Music\\", true, u"Music/"},
        {u"C:\\", true, u"C/"},
        {u"e:\\", true, u"e/"},
        {u"\\\\?\\C:\\", true, u"C/"},
        {u"\\\\server\\share", true, u"share/"},
        {u"C:\\docs\\a b.txt", false, u"a b.txt"},
        {u"C:\\x\\\u65e5\u672c.png", false, u"\u65e5\u672c.png"},
        {u"abc", false, u"abc"},
    };
    for (const Case& c : cases) {
        std::u16string out(c.path.size() + 2, u'?');
        out.resize(makeItemName(c.path.data(), c.path.size(), c.folder, &out[0]));
        CHECK(out == c.name);
    }
}

TEST_CASE("parent_directory_attacks_resolve_to_nothing") {
    // Decoded request paths: every percent-escape has already been turned into its character.
    const std::u16string attacks[] = {
        u"/..", u"/../", u"/../../etc/passwd", u"/..\\", u"/..\\..\\boot.ini",
        u"/Music/..", u"/Music/../", u"/Music/../../Windows/win.ini", u"/music/..\\secret.txt",
        u"/MUSIC/../a.txt", u"/Music\\..\\..\\x", u"/Music/sub/../../..", u"\\..\\x",
        u"/Music//..//x", u"//..//..//x", u"/Music/./../x", u"/Music/sub/..",
        u"/Music/sub/..\\", u"/a.mp3/../../x", u"/Music/.. /x", u"/Music/... /x",
        u"/Music/.../x", u"/Music/..../x", u"/Music/.. ", u"/Music/..%2f/x" /* "%" kept */,
        u"/C:/Windows/win.ini", u"/C:\\Windows\\win.ini", u"/c:/boot.ini", u"/Music/C:/x",
        u"/Music/a.mp3::$DATA", u"/Music/a.mp3:stream", u"/\\\\?\\C:\\Windows",
        std::u16string(u"/Music/a.mp3\0.txt", 17), std::u16string(u"/\0../x", 6),
        std::u16string(u"/Music/\0", 8), u"..", u"../x", u"..\\x",
        u"/Music/sub/.. /..", u"/Music/...", u"/Music/\\..", u"/Music/..\\/x",
        u"/./.././x", u"/Music/sub\\..\\..\\..\\Windows",
    };
    static_assert(sizeof attacks / sizeof attacks[0] >= 40, "at least forty attacks");
    Share share;
    share.items.push_back(item(u"a.mp3", ItemFile, u"D:\\songs\\a.mp3"));
    share.items.push_back(item(u"Music/", ItemFolder, u"C:\\Music"));
    Share single;
    single.items.push_back(item(u"Music/", ItemFolder, u"C:\\Music"));
    for (const std::u16string& a : attacks) {
        CAPTURE(std::string(a.begin(), a.end()));
        if (a == u"/Music/..%2f/x") {
            // Not decoded: "..%2f" is an ordinary name inside the folder.
            CHECK(share.resolve(a, false) == u"C:\\Music\\..%2f\\x");
            continue;
        }
        CHECK(share.resolve(a, false) == u"refused");
        CHECK(single.resolve(a, true) == u"refused");
    }
}

TEST_CASE("names_that_only_look_like_parents_are_served") {
    Share share;
    share.items.push_back(item(u"Music/", ItemFolder, u"C:\\Music"));
    struct Case {
        std::u16string request, path;
    };
    const Case cases[] = {
        {u"/Music/..a", u"C:\\Music\\..a"},
        {u"/Music/a..", u"C:\\Music\\a.."},
        {u"/Music/.hidden", u"C:\\Music\\.hidden"},
        {u"/Music/./x", u"C:\\Music\\.\\x"},
        {u"/Music/a..b/c", u"C:\\Music\\a..b\\c"},
    };
    for (const Case& c : cases)
        CHECK(share.resolve(c.request, false) == c.path);
}

TEST_CASE("resolution_against_items_and_single_folder_root") {
    struct Case {
        std::u16string request;
        bool singleDirIsRoot;
        std::u16string oneFolder;   // share holding only the folder Music
        std::u16string twoItems;    // share holding Music/ and the file Music (elsewhere)
    };
    const Case cases[] = {
        {u"/", true, u"root:C:\\Music", u"root"},
        {u"///", true, u"root:C:\\Music", u"root"},
        {u"/", false, u"root", u"root"},
        {u"/a.mp3", true, u"C:\\Music\\a.mp3", u""},
        {u"/a.mp3", false, u"", u""},
        {u"/sub/b.txt", true, u"C:\\Music\\sub\\b.txt", u""},
        {u"/music/a.mp3", false, u"C:\\Music\\a.mp3", u"C:\\Music\\a.mp3"},
        {u"/MUSIC//sub//b", false, u"C:\\Music\\sub\\\\b", u"C:\\Music\\sub\\\\b"},
        {u"/Music", false, u"C:\\Music", u"C:\\Music"},
        {u"/Music/", false, u"C:\\Music", u"C:\\Music"},
        {u"/Musi", false, u"", u""},
        {u"/Music/a.mp3", true, u"C:\\Music\\Music\\a.mp3", u"C:\\Music\\a.mp3"},
        {u"/index.html", false, u"", u""},
    };
    Share one;
    one.items.push_back(item(u"Music/", ItemFolder, u"C:\\Music"));
    Share two;
    // The file Music sorts after the folder Music/; the folder, first in order, wins.
    two.items.push_back(item(u"Music/", ItemFolder, u"C:\\Music"));
    two.items.push_back(item(u"Music", ItemFile, u"D:\\other\\Music"));
    for (const Case& c : cases) {
        CAPTURE(std::string(c.request.begin(), c.request.end()));
        CHECK(one.resolve(c.request, c.singleDirIsRoot) == c.oneFolder);
        CHECK(two.resolve(c.request, c.singleDirIsRoot) == c.twoItems);
    }
    // A file item matches its segment exactly and never as a folder.
    Share fileOnly;
    fileOnly.items.push_back(item(u"Music", ItemFile, u"D:\\other\\Music"));
    CHECK(fileOnly.resolve(u"/music", true) == u"D:\\other\\Music");
    CHECK(fileOnly.resolve(u"/music/x", false) == u"D:\\other\\Music\\x");
    // Segments are matched by the comparison the registry passes in, nothing of its own.
    two.namesEqual = exactlyEqual;
    CHECK(two.resolve(u"/music/a.mp3", false) == u"");
    CHECK(two.resolve(u"/Music/a.mp3", false) == u"C:\\Music\\a.mp3");
}

TEST_CASE("extension_table") {
    struct Case {
        std::u16string name;
        const char* mime;
        const char* icon;
        uint32_t iconClass;
    };
    const Case cases[] = {
        {u"a.txt", "text/plain", "txt", IconText},
        {u"A.TXT", "text/plain", "txt", IconText},
        {u"main.Cpp", "text/plain", "txt", IconText},
        {u"x.docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
         "txt", IconText},
        {u"photo.JPeG", "image/jpeg", "img", IconImage},
        {u"favicon.ico", "image/x-icon", "doc", IconOther},
        {u"b.tar.gz", "application/octet-stream", "zip", IconArchive},
        {u"b.tar", "application/x-tar", "doc", IconOther},
        {u"setup.msi", "application/octet-stream", "exe", IconProgram},
        {u"song.mp3", "audio/mpeg", "doc", IconOther},
        {u"movie.qt", "video/quicktime", "doc", IconOther},
        {u".txt", "application/octet-stream", "doc", IconOther},
        {u"notes.", "application/octet-stream", "doc", IconOther},
        {u"README", "application/octet-stream", "doc", IconOther},
        {u"a.txt2", "application/octet-stream", "doc", IconOther},
        {u"a.tx", "application/octet-stream", "doc", IconOther},
        {u"a.\u0442xt", "application/octet-stream", "doc", IconOther},
        {u"", "application/octet-stream", "doc", IconOther},
    };
    for (const Case& c : cases) {
        CAPTURE(c.mime);
        const FileType& t = fileTypeOf(c.name.data(), c.name.size());
        CHECK(std::string(t.mimeType) == c.mime);
        CHECK(std::string(t.indexIcon) == std::string("<img src=\"/") + c.icon + "_icon.png\"> ");
        CHECK(t.iconClass == c.iconClass);
    }
    CHECK(folderType().iconClass == IconFolder);
    CHECK(std::string(folderType().indexIcon) == "<img src=\"/dir_icon.png\"> ");
}

TEST_CASE("item_copy_is_deep") {
    SharedItem* original = item(u"Music/", ItemFolder, u"C:\\Music");
    original->id = 7;
    original->totalSent = 42;
    original->sampleTotals[7] = 40;
    SharedItem* c = original->copy();
    REQUIRE(c);
    delete original;   // the copy must not share its texts
    CHECK(std::u16string(c->name) == u"Music/");
    CHECK(std::u16string(c->path) == u"C:\\Music");
    CHECK(c->id == 7);
    CHECK(c->totalSent == 42);
    CHECK(c->sampleTotals[7] == 40);
    delete c;
}
