// The open-file dialog's answer split into full paths: one file, several, a drive root, long
// paths and many names, and buffers that end early or hold no terminator.
#include <doctest.h>

#include <string>
#include <vector>

#include "FileSelection.h"

namespace {

// The dialog's buffer: the strings, each NUL-terminated, then one more NUL.
std::u16string answer(const std::vector<std::u16string>& strings) {
    std::u16string out;
    for (const std::u16string& s : strings)
        out += s + u'\0';
    out += u'\0';
    return out;
}

std::vector<std::u16string> paths(const std::u16string& buffer, size_t units) {
    FileSelection selection(buffer.data(), units);
    std::vector<std::u16string> out;
    size_t length = 0;
    while (char16_t* path = selection.next(&length)) {
        CHECK(std::u16string(path).size() == length);
        out.push_back(std::u16string(path, length));
        delete[] path;
    }
    return out;
}

std::vector<std::u16string> paths(const std::u16string& buffer) {
    return paths(buffer, buffer.size());
}

}  // namespace

TEST_CASE("selection_gives_full_paths") {
    struct Case {
        std::vector<std::u16string> strings;
        std::vector<std::u16string> expected;
    };
    const Case cases[] = {
        {{u"C:\\data\\one.txt"}, {u"C:\\data\\one.txt"}},
        {{u"C:\\data", u"a b.txt", u"c.zip"}, {u"C:\\data\\a b.txt", u"C:\\data\\c.zip"}},
        // A drive root already ends in its separator.
        {{u"C:\\", u"a.txt", u"b.txt"}, {u"C:\\a.txt", u"C:\\b.txt"}},
        {{u"Z:\\tmp\\x", u"only.bin", u""}, {u"Z:\\tmp\\x\\only.bin"}},
        {{u""}, {}},
    };
    for (const Case& c : cases)
        CHECK(paths(answer(c.strings)) == c.expected);
}

TEST_CASE("selection_of_many_files_and_long_paths") {
    // 100 names from one folder: more than any fixed path buffer of 260 would take in total.
    std::vector<std::u16string> strings = {u"Z:\\shares\\holiday pictures"};
    std::vector<std::u16string> expected;
    for (int i = 0; i < 100; ++i) {
        std::u16string name = u"picture number " + std::u16string(1, char16_t(u'A' + i % 26)) +
                              std::u16string(i / 26 + 1, u'x') + u".jpg";
        strings.push_back(name);
        expected.push_back(strings[0] + u"\\" + name);
    }
    CHECK(paths(answer(strings)) == expected);

    // Folder and name each longer than MAX_PATH: the joined path is whole, not cut at 260.
    std::u16string folder = u"\\\\?\\Z:\\" + std::u16string(300, u'd');
    std::u16string name(280, u'n');
    std::vector<std::u16string> joined = paths(answer({folder, name, u"short"}));
    REQUIRE(joined.size() == 2);
    CHECK(joined[0].size() == folder.size() + 1 + name.size());
    CHECK(joined[0] == folder + u"\\" + name);
    CHECK(paths(answer({folder + u"\\" + name})) == std::vector<std::u16string>{folder + u"\\" + name});
}

TEST_CASE("selection_never_reads_past_the_buffer") {
    std::u16string full = answer({u"C:\\d", u"a.txt", u"bb.txt"});
    // Cut inside the last name: that name has no terminator in the buffer and is not a file.
    size_t cut = full.find(u"bb.txt") + 3;
    CHECK(paths(full, cut) == std::vector<std::u16string>{u"C:\\d\\a.txt"});
    // Cut right after the folder's terminator: the folder string is the single chosen file.
    CHECK(paths(full, 5) == std::vector<std::u16string>{u"C:\\d"});
    // No terminator at all, or an empty buffer: nothing.
    std::u16string unterminated = u"C:\\d\\file";
    CHECK(paths(unterminated).empty());
    CHECK(paths(full, 0).empty());
    FileSelection none(nullptr, 10);
    size_t length = 7;
    CHECK(none.next(&length) == nullptr);
    CHECK(length == 0);
}
