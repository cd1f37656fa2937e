// Index pages byte for byte: name forms, the table with and without icons, up and send
// rows, the owner heading, and the framed page.
#include <doctest.h>

#include <string>

#include "IndexPage.h"

namespace {

std::string table(const IndexRow* rows, size_t count, const std::u16string& path, bool root,
                  const IndexOptions& options) {
    size_t n = buildIndexTable(rows, count, path.data(), path.size(), root, options, nullptr, 0);
    std::string out(n, '?');
    REQUIRE(buildIndexTable(rows, count, path.data(), path.size(), root, options, &out[0],
                            out.size()) == n);
    return out;
}

std::string link(const std::u16string& s) {
    std::string out(linkForm(s.data(), s.size(), nullptr, 0), '?');
    linkForm(s.data(), s.size(), &out[0], out.size());
    return out;
}

std::string display(const std::u16string& s) {
    std::string out(displayForm(s.data(), s.size(), nullptr, 0), '?');
    displayForm(s.data(), s.size(), &out[0], out.size());
    return out;
}

std::string heading(const std::string& owner) {
    char buf[kHeadingCapacity];
    return std::string(buf, buildIndexHeading(owner.data(), owner.size(), buf));
}

const char kRow[] = "<tr valign=bottom><td width=20></td><td width=350 align=left>";
const char kOpen[] = "<table border=0 cellspacing=0 cellpadding=1>";

}  // namespace

TEST_CASE("names_in_link_and_display_form") {
    struct Case {
        std::u16string name;
        const char* link;
        const char* display;
    };
    const std::u16string longName(39, u'a');
    const Case cases[] = {
        {u"a b%.txt", "a&#32;b%25.txt", "a&#32;b&#37;.txt"},
        {u"Plain-Name_1.~x", "Plain-Name_1.~x", "Plain-Name_1.~x"},
        {u"\u041f\u0440\u0438\u0432\u0435\u0442.txt", "&#1055;&#1088;&#1080;&#1074;&#1077;&#1090;.txt",
         "&#1055;&#1088;&#1080;&#1074;&#1077;&#1090;.txt"},
        {u"\u65e5\u672c.png", "&#26085;&#26412;.png", "&#26085;&#26412;.png"},
        {u"\U0001F600.gif", "&#55357;&#56832;.gif", "&#55357;&#56832;.gif"},
        {u"q&a<b>\"'", "q&#38;a&#60;b&#62;&#34;&#39;", "q&#38;a&#60;b&#62;&#34;&#39;"},
        {std::u16string(38, u'b'), "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb",
         "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"},
        {longName, "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
         "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa.."},
        {u"", "", ""},
    };
    for (const Case& c : cases) {
        CAPTURE(c.link);
        CHECK(link(c.name) == c.link);
        CHECK(display(c.name) == c.display);
    }
}

TEST_CASE("name_forms_never_write_past_a_short_buffer") {
    const std::u16string name = u"a b";
    char buf[8] = {'#', '#', '#', '#', '#', '#', '#', '#'};
    CHECK(linkForm(name.data(), name.size(), buf, 3) == 7);
    CHECK(std::string(buf, 8) == "########");
}

TEST_CASE("parent_link_of_sub_folder_pages") {
    struct Case {
        std::u16string path;
        size_t length;
    };
    const Case cases[] = {
        {u"/a/b/", 3}, {u"/a/", 1}, {u"/a/b", 1}, {u"/", 1}, {u"x", 1}, {u"", 0},
    };
    for (const Case& c : cases)
        CHECK(parentLinkLength(c.path.data(), c.path.size()) == c.length);
}

TEST_CASE("dot_files_are_hidden_from_listings") {
    struct Case {
        std::u16string name;
        bool hidden;
    };
    const Case cases[] = {{u".", true},       {u"..", true},    {u".hidden", true},
                          {u".git/", true},   {u"a.txt", false}, {u"a.", false},
                          {u" .x", false}};
    for (const Case& c : cases)
        CHECK(hiddenFromListing(c.name.data(), c.name.size()) == c.hidden);
}

TEST_CASE("sub_folder_table_with_icons") {
    const std::u16string names[] = {u"a b%.txt", u"Sub", u"\u65e5\u672c.png", u"setup.EXE",
                                    std::u16string(39, u'n') + u".zip", u"notes"};
    const IndexRow rows[] = {
        {names[0].data(), names[0].size(), false, false, 1536},
        {names[1].data(), names[1].size(), true, true, 0},
        {names[2].data(), names[2].size(), false, false, 1023},
        {names[3].data(), names[3].size(), false, false, 5000000},
        {names[4].data(), names[4].size(), false, false, 0},
        {names[5].data(), names[5].size(), false, false, 10240},
    };
    IndexOptions options{true, true, true, false, "Ann", 3};
    std::string expected = std::string(kOpen) + kRow +
        "<img src=\"/up_icon.png\"> <a href=\"&#47;Music&#47;\">Up one level</a></td></tr>"
        "<tr height=10><td></td></tr>" +
        kRow + "<img src=\"/txt_icon.png\"> <a href=\"a&#32;b%25.txt\">a&#32;b&#37;.txt</a>"
        "</td><td align=left>1.5 kb</td></tr>" +
        kRow + "<img src=\"/dir_icon.png\"> <a href=\"Sub&#47;\">Sub&#47;</a></td><td align=left>"
        "Directory</td></tr>" +
        kRow + "<img src=\"/img_icon.png\"> <a href=\"&#26085;&#26412;.png\">&#26085;&#26412;.png"
        "</a></td><td align=left>1023 bytes</td></tr>" +
        kRow + "<img src=\"/exe_icon.png\"> <a href=\"setup.EXE\">setup.EXE</a></td>"
        "<td align=left>4.8 MB</td></tr>" +
        kRow + "<img src=\"/zip_icon.png\"> <a href=\"" + std::string(39, 'n') + ".zip\">" +
        std::string(38, 'n') + "..</a></td><td align=left>0 bytes</td></tr>" +
        kRow + "<img src=\"/doc_icon.png\"> <a href=\"notes\">notes</a></td><td align=left>10 kb"
        "</td></tr></table>";
    // A sub-folder page never offers the send row, whatever the upload settings say.
    CHECK(table(rows, 6, u"/Music/Sub Dir/", false, options) == expected);
}

TEST_CASE("use_icons_off_leaves_no_image_tags") {
    const std::u16string name = u"song.mp3";
    const IndexRow rows[] = {{name.data(), name.size(), false, false, 7}};
    IndexOptions options{false, true, false, false, "", 0};
    CHECK(table(rows, 1, u"/M/", false, options) ==
          std::string(kOpen) + kRow +
              "<a href=\"&#47;\">Up one level</a></td></tr><tr height=10><td></td></tr>" + kRow +
              "<a href=\"song.mp3\">song.mp3</a></td><td align=left>7 bytes</td></tr></table>");
    std::string root = table(rows, 1, u"/", true, options);
    CHECK(root.find("<img") == std::string::npos);
    CHECK(root.find("Up one level") == std::string::npos);
}

TEST_CASE("root_send_row_by_upload_settings") {
    const std::string sendStart =
        "<tr height=10><td></td></tr><tr valign=bottom><td width=20></td><td width=350 "
        "align=left>";
    const std::string swf = "<a href=\"send_file_swf/\">Send files</a>";
    const std::string form = "<a href=\"send_file_form/\">Send a file</a>";
    struct Case {
        bool allow, swfOn, password;
        const char* owner;
        std::string row;
    };
    const Case cases[] = {
        {false, true, false, "Ann", ""},
        {true, true, false, "Ann", sendStart + swf + " to Ann</td></tr>"},
        {true, true, true, "Ann", sendStart + form + " to Ann</td></tr>"},
        {true, false, false, "Ann", sendStart + form + " to Ann</td></tr>"},
        {true, true, false, "", sendStart + swf + "</td></tr>"},
        {true, false, true, "", sendStart + form + "</td></tr>"},
    };
    for (const Case& c : cases) {
        IndexOptions options{true, c.allow, c.swfOn, c.password, c.owner,
                             std::char_traits<char>::length(c.owner)};
        CHECK(table(nullptr, 0, u"/", true, options) == std::string(kOpen) + c.row + "</table>");
    }
}

TEST_CASE("root_table_of_shared_items_keeps_their_names") {
    const std::u16string names[] = {u"Music/", u"a.txt"};
    const IndexRow rows[] = {{names[0].data(), names[0].size(), true, false, 0},
                             {names[1].data(), names[1].size(), false, false, 1024}};
    IndexOptions options{true, false, false, false, "", 0};
    CHECK(table(rows, 2, u"/", true, options) ==
          std::string(kOpen) + kRow +
              "<img src=\"/dir_icon.png\"> <a href=\"Music&#47;\">Music&#47;</a></td><td "
              "align=left>Directory</td></tr>" +
              kRow +
              "<img src=\"/txt_icon.png\"> <a href=\"a.txt\">a.txt</a></td><td align=left>1.0 kb"
              "</td></tr></table>");
}

TEST_CASE("owner_heading_by_last_character") {
    struct Case {
        const char* owner;
        const char* heading;
    };
    const Case cases[] = {
        {"", "Index of "},
        {"Chris", "Chris' Index of "},
        {"Liz", "Liz' Index of "},
        {"Max", "Max' Index of "},
        {"Ann", "Ann's Index of "},
        {"CHRIS", "CHRIS's Index of "},
        {"&#1089;", "&#1089;'s Index of "},
        {"abcdefghijklmnopqrstuvwxyzabc..", "abcdefghijklmnopqrstuvwxyzabc..'s Index of "},
    };
    for (const Case& c : cases)
        CHECK(heading(c.owner) == c.heading);
    // An owner text longer than its 100-byte buffer is cut to 99 bytes.
    CHECK(heading(std::string(150, 'x')) == std::string(99, 'x') + "' Index of ");
}

TEST_CASE("framed_index_page") {
    const std::string path = "/Music/";
    const std::string head = heading("Chris");
    const std::string tableText = "<table border=0 cellspacing=0 cellpadding=1></table>";
    const std::string before =
        "<html><head><title>Index of /Music/</title></head><body><h1>Chris' Index of /Music/"
        "</h1><pre><table border=0 cellspacing=0 cellpadding=1><tr valign=top><td width=20>"
        "</td><td width=350 align=left><u>Name</a></td><td align=left><u>Size</u></td></tr>"
        "</table><hr>\r\n<table border=0 cellspacing=0 cellpadding=1></table>";
    const std::string after =
        "\r\n</pre><hr><address>Wexa-Share/1.2.1 at example.org Port 8080</address></body></html>";
    // The root index of shared items has no archive line; a folder's page has it on a line of
    // its own after the table.
    for (bool archive : {false, true}) {
        CAPTURE(archive);
        PagePiece pieces[kIndexPagePieces];
        size_t total = indexPagePieces(path.data(), path.size(), head.data(), head.size(),
                                       tableText.data(), tableText.size(), archive, "example.org", 11,
                                       "8080", 4, pieces);
        std::string body;
        for (const PagePiece& p : pieces)
            body.append(p.data, p.length);
        const std::string expected =
            before + (archive ? "\r\n<a href=\"?zip\">Download all as .zip</a>" : "") + after;
        CHECK(body == expected);
        CHECK(total == expected.size());
    }
}

TEST_CASE("request_path_made_safe_for_html") {
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"/Music/a%20b/", "/Music/a%20b/"},
        {"/x<script>'\"/", "/x&#60;script&#62;&#39;&#34;/"},
        {"", ""},
    };
    for (const Case& c : cases) {
        size_t n = escapePathForHtml(c.in.data(), c.in.size(), nullptr, 0);
        std::string out(n, '?');
        CHECK(escapePathForHtml(c.in.data(), c.in.size(), &out[0], out.size()) == n);
        CHECK(out == c.out);
    }
}
