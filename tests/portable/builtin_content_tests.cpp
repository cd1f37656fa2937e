// Built-in web content: the asset table the registry builds its records from, the lookup of
// built-in names with its gates, and the exact bytes of the two send-file pages.
#include <doctest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "BuiltinContent.h"

namespace {

std::u16string u16(const char* ascii)
{
    std::u16string s;
    while (*ascii)
        s.push_back(static_cast<char16_t>(static_cast<unsigned char>(*ascii++)));
    return s;
}

uint32_t be32(const unsigned char* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

uint32_t le32(const unsigned char* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

std::string formPage(const std::u16string& name)
{
    char buffer[kSendFormPageCapacity];
    size_t n = buildSendFormPage(name.data(), name.size(), buffer, sizeof(buffer));
    return std::string(buffer, n);
}

std::string swfPage(const std::u16string& name)
{
    char buffer[kSendSwfPageCapacity];
    size_t n = buildSendSwfPage(name.data(), name.size(), buffer, sizeof(buffer));
    return std::string(buffer, n);
}

std::string between(const std::string& text, const std::string& from, const std::string& to)
{
    size_t a = text.find(from);
    if (a == std::string::npos)
        return "<missing " + from + ">";
    a += from.size();
    size_t b = text.find(to, a);
    return b == std::string::npos ? "<missing " + to + ">" : text.substr(a, b - a);
}

}  // namespace

TEST_CASE("asset_table_lists_urls_and_types_in_registry_order")
{
    struct Row {
        const char* url;
        const char* mime;
    };
    const Row expected[kBuiltinAssetCount] = {
        {"doc_icon.png", "image/png"},
        {"txt_icon.png", "image/png"},
        {"img_icon.png", "image/png"},
        {"dir_icon.png", "image/png"},
        {"up_icon.png", "image/png"},
        {"zip_icon.png", "image/png"},
        {"exe_icon.png", "image/png"},
        {"favicon.ico", "image/x-icon"},
        {"send_file_swf/handlers.js", "application/x-javascript"},
        {"send_file_swf/fileprogress.js", "application/x-javascript"},
        {"send_file_swf/default.css", "text/css"},
        {"send_file_swf/cancelbutton.png", "image/png"},
        {"send_file_swf/browse111x22.png", "image/png"},
        {"send_file_swf/swfupload.js", "application/x-javascript"},
        {"send_file_swf/swfupload.queue.js", "application/x-javascript"},
        {"send_file_swf/swfupload.speed.js", "application/x-javascript"},
        {"send_file_swf/swfupload.swf", "application/x-shockwave-flash"},
    };
    for (size_t i = 0; i < kBuiltinAssetCount; ++i) {
        CAPTURE(i);
        CHECK(std::string(kBuiltinAssets[i].urlPath) == expected[i].url);
        CHECK(std::string(kBuiltinAssets[i].mimeType) == expected[i].mime);
        REQUIRE(kBuiltinAssets[i].bytes != nullptr);
        CHECK(kBuiltinAssets[i].length > 0);
    }
    CHECK(kFaviconAsset == 7);
    CHECK(std::string(kBuiltinAssets[kFirstSwfAsset].urlPath).rfind("send_file_swf/", 0) == 0);
}

TEST_CASE("embedded_images_have_the_sizes_the_pages_lay_out")
{
    struct Png {
        size_t index;
        uint32_t width;
        uint32_t height;
    };
    const Png pngs[] = {
        {0, 16, 20}, {1, 16, 20}, {2, 16, 14}, {3, 16, 14}, {4, 16, 14},
        {5, 16, 16}, {6, 16, 13}, {11, 28, 14}, {12, 111, 88},
    };
    for (const Png& p : pngs) {
        const BuiltinAsset& a = kBuiltinAssets[p.index];
        CAPTURE(a.urlPath);
        REQUIRE(a.length > 24);
        CHECK(memcmp(a.bytes, "\x89PNG\r\n\x1a\n", 8) == 0);
        CHECK(memcmp(a.bytes + 12, "IHDR", 4) == 0);
        CHECK(be32(a.bytes + 16) == p.width);
        CHECK(be32(a.bytes + 20) == p.height);
    }

    // One 16x16 image, and the directory's byte count and offset stay inside the file.
    const BuiltinAsset& ico = kBuiltinAssets[kFaviconAsset];
    REQUIRE(ico.length > 22);
    CHECK(ico.bytes[0] == 0);
    CHECK(ico.bytes[2] == 1);
    CHECK(ico.bytes[4] == 1);
    CHECK(ico.bytes[6] == 16);
    CHECK(ico.bytes[7] == 16);
    CHECK(size_t(le32(ico.bytes + 14)) + le32(ico.bytes + 18) == ico.length);
}

TEST_CASE("uploader_files_are_the_release_files_or_a_working_stand_in")
{
    const BuiltinAsset& core = kBuiltinAssets[13];
    const BuiltinAsset& swf = kBuiltinAssets[16];
    REQUIRE(swf.length >= 8);
    // Either form of movie header; the stored length is the whole file's when uncompressed.
    bool compressed = memcmp(swf.bytes, "CWS", 3) == 0;
    CHECK((compressed || memcmp(swf.bytes, "FWS", 3) == 0));
    if (!compressed)
        CHECK(le32(swf.bytes + 4) == swf.length);

    if (builtinHasReleaseUploader()) {
        const size_t sizes[] = {38669, 3479, 12575, 12787};
        for (size_t i = 0; i < 4; ++i)
            CHECK(kBuiltinAssets[13 + i].length == sizes[i]);
    } else {
        std::string js(reinterpret_cast<const char*>(core.bytes), core.length);
        // What the page and the handlers rely on.
        const char* needed[] = {"var SWFUpload", "startUpload", "cancelUpload", "getStats",
                                "\"Filedata\"", "XMLHttpRequest", "FormData", "multiple",
                                "upload_url", "button_placeholder_id"};
        for (const char* n : needed) {
            CAPTURE(n);
            CHECK(js.find(n) != std::string::npos);
        }
        std::string queue(reinterpret_cast<const char*>(kBuiltinAssets[14].bytes),
                          kBuiltinAssets[14].length);
        CHECK(queue.find("cancelQueue") != std::string::npos);
        std::string speed(reinterpret_cast<const char*>(kBuiltinAssets[15].bytes),
                          kBuiltinAssets[15].length);
        CHECK(speed.find("formatTime") != std::string::npos);
    }
}

TEST_CASE("text_assets_are_plain_ascii_with_the_handler_texts")
{
    for (size_t i = kFirstSwfAsset; i < kFirstSwfAsset + 3; ++i) {
        const BuiltinAsset& a = kBuiltinAssets[i];
        CAPTURE(a.urlPath);
        bool ascii = true;
        for (size_t k = 0; k < a.length; ++k)
            ascii = ascii && a.bytes[k] != 0 && a.bytes[k] < 0x80;
        CHECK(ascii);
    }
    std::string handlers(reinterpret_cast<const char*>(kBuiltinAssets[8].bytes),
                         kBuiltinAssets[8].length);
    const char* texts[] = {"\" file\"", "\" sent.\"", "\"Pending...\"", "\"Complete.\"",
                           "\"Cancelled\"", "\"Send Error: \"", "\" remaining\"",
                           "\"You have attempted to queue too many files.\\n\""};
    for (const char* t : texts) {
        CAPTURE(t);
        CHECK(handlers.find(t) != std::string::npos);
    }
    std::string css(reinterpret_cast<const char*>(kBuiltinAssets[10].bytes),
                    kBuiltinAssets[10].length);
    CHECK(css.find("url(cancelbutton.png)") != std::string::npos);
}

TEST_CASE("built_in_names_follow_the_gates_and_ignore_case")
{
    constexpr size_t kNoAsset = 999;
    struct Case {
        const char* path;
        bool uploads;
        bool swf;
        BuiltinMatch match;
        size_t asset;
    };
    const Case cases[] = {
        {"/send_file_form/", true, false, BuiltinMatch::FormPage, kNoAsset},
        {"/send_file_form/index.html", true, true, BuiltinMatch::FormPage, kNoAsset},
        {"/SEND_FILE_FORM/", true, false, BuiltinMatch::FormPage, kNoAsset},
        {"/send_file_form", true, true, BuiltinMatch::None, kNoAsset},
        {"/send_file_form/", false, true, BuiltinMatch::None, kNoAsset},
        {"/send_file_swf/", true, true, BuiltinMatch::SwfPage, kNoAsset},
        {"///send_file_swf/Index.HTML", true, true, BuiltinMatch::SwfPage, kNoAsset},
        {"/send_file_swf/", true, false, BuiltinMatch::None, kNoAsset},
        {"/send_file_swf/", false, true, BuiltinMatch::None, kNoAsset},
        {"/send_file_swf/swfupload.js", true, true, BuiltinMatch::Asset, 13},
        {"/send_file_swf/swfupload.js", true, false, BuiltinMatch::None, kNoAsset},
        {"/send_file_swf/swfupload.swf", true, true, BuiltinMatch::Asset, 16},
        {"/send_file_swf/handlers.js", true, true, BuiltinMatch::Asset, 8},
        {"/send_file_swf/handlers.js", false, false, BuiltinMatch::None, kNoAsset},
        {"/doc_icon.png", false, false, BuiltinMatch::Asset, 0},
        {"/EXE_ICON.PNG", false, false, BuiltinMatch::Asset, 6},
        {"/favicon.ico", false, false, BuiltinMatch::Asset, 7},
        {"/send_file_swf/doc_icon.png", true, true, BuiltinMatch::None, kNoAsset},
        {"/doc_icon.png/", false, false, BuiltinMatch::None, kNoAsset},
        {"/index.html", false, false, BuiltinMatch::RootIndex, kNoAsset},
        {"/", true, true, BuiltinMatch::None, kNoAsset},
        {"", true, true, BuiltinMatch::None, kNoAsset},
        {"/favicon.icon", false, false, BuiltinMatch::None, kNoAsset},
    };
    for (const Case& c : cases) {
        CAPTURE(c.path);
        CAPTURE(c.uploads);
        CAPTURE(c.swf);
        std::u16string path = u16(c.path);
        size_t asset = kNoAsset;
        CHECK(matchBuiltin(path.data(), path.size(), c.uploads, c.swf, &asset) == c.match);
        CHECK(asset == c.asset);
    }

    // The comparison covers exactly the given length, and non-ASCII units never fold onto
    // the ASCII names (U+0130 and U+0131 are the dotted and dotless capital/small I).
    std::u16string longer = u16("/favicon.ico.bak");
    CHECK(matchBuiltin(longer.data(), 12, false, false, nullptr) == BuiltinMatch::Asset);
    CHECK(matchBuiltin(longer.data(), 11, false, false, nullptr) == BuiltinMatch::None);
    std::u16string dotted = u"/\u0130ndex.html";
    std::u16string dotless = u"/\u0131ndex.html";
    CHECK(matchBuiltin(dotted.data(), dotted.size(), true, true, nullptr) == BuiltinMatch::None);
    CHECK(matchBuiltin(dotless.data(), dotless.size(), true, true, nullptr) == BuiltinMatch::None);
    // Only the low byte of a unit must not decide: U+0169 has low byte 0x69 ("i").
    std::u16string wide = u"/\u0169ndex.html";
    CHECK(matchBuiltin(wide.data(), wide.size(), true, true, nullptr) == BuiltinMatch::None);
    CHECK(matchBuiltin(nullptr, 0, true, true, nullptr) == BuiltinMatch::None);
}

TEST_CASE("form_page_is_the_exact_form_with_the_owner_in_its_heading")
{
    const std::string tail =
        "</h1><form action=\"send_file.post\" enctype=\"multipart/form-data\" "
        "accept-charset=\"utf-8\" method=\"post\"><p>Please select the file you wish to "
        "send:<br><input type=\"file\" name=\"file\" size=40></p><p>Press the Send Now button "
        "to send the file.<br><input type=\"submit\" value=\"Send Now\"></p></form><a "
        "href=\"/\">Return to Index</a>";
    const std::string head =
        "<html><head><title>Send File</title></head><body><h1>Send File to ";

    CHECK(formPage(u"Ann") == head + "Ann" + tail);
    // No owner leaves the heading's trailing space.
    CHECK(formPage(u"") == head + tail);
    CHECK(buildSendFormPage(nullptr, 0, nullptr, 0) == 0);

    char small[kSendFormPageCapacity - 1];
    CHECK(buildSendFormPage(u"Ann", 3, small, sizeof(small)) == 0);
}

TEST_CASE("owner_name_reaches_both_pages_only_in_html_safe_form")
{
    struct Case {
        std::u16string name;
        std::string heading;
    };
    const Case cases[] = {
        {u"Ann", "Ann"},
        {u"Ann Lee", "Ann&#32;Lee"},
        {u"<script>&\"'", "&#60;script&#62;&#38;&#34;&#39;"},
        {u"\u041f\u0440", "&#1055;&#1088;"},
        {u"a.b_c-d~e", "a.b_c-d~e"},
        // 30 characters: the first 29 and "..".
        {u"abcdefghijklmnopqrstuvwxyz0123", "abcdefghijklmnopqrstuvwxyz012.."},
        // 29 characters are shown whole.
        {u"abcdefghijklmnopqrstuvwxyz012", "abcdefghijklmnopqrstuvwxyz012"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.heading);
        CHECK(between(formPage(c.name), "<h1>Send File to ", "</h1>") == c.heading);
        CHECK(between(swfPage(c.name), "<h1>Send Files to ", "</h1>") == c.heading);
    }

    // Entities too long for the 120-byte owner buffer are cut whole, never in half.
    std::u16string wide(40, u'\uffff');
    for (const std::string& page : {formPage(wide), swfPage(wide)}) {
        std::string owner = between(page, " to ", "</h1>");
        CHECK(owner.size() <= 119);
        CHECK(owner.size() % 8 == 0);
        CHECK(owner.substr(0, 8) == "&#65535;");
    }
}

TEST_CASE("multi_file_page_holds_the_uploader_settings_and_the_page_parts")
{
    const std::string anon = swfPage(u"");
    const std::string ann = swfPage(u"Ann");

    // The optional " to <owner>" is the only difference between the two.
    const std::string mark = "<h1>Send Files";
    size_t head = anon.find(mark);
    REQUIRE(head != std::string::npos);
    head += mark.size();
    CHECK(ann == anon.substr(0, head) + " to Ann" + anon.substr(head));
    CHECK(anon.substr(head, 5) == "</h1>");
    // The fixed parts keep their established sizes, so Content-Length is 2617 + " to <owner>".
    CHECK(head == 1708);
    CHECK(anon.size() == 2617);

    // Every line ends in CR LF.
    for (size_t i = 0; i < anon.size(); ++i) {
        if (anon[i] == '\n') {
            CAPTURE(i);
            REQUIRE(i > 0);
            CHECK(anon[i - 1] == '\r');
        }
    }
    CHECK(anon.substr(anon.size() - 2) == "\r\n");

    const char* inOrder[] = {
        "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\"",
        "<html xmlns=\"http://www.w3.org/1999/xhtml\">",
        "<title>Send Files</title>",
        "href=\"default.css\"",
        "src=\"swfupload.js\"",
        "src=\"swfupload.queue.js\"",
        "src=\"swfupload.speed.js\"",
        "src=\"fileprogress.js\"",
        "src=\"handlers.js\"",
        "var swfu;",
        "flash_url : \"swfupload.swf\"",
        "upload_url : \"send_file.post\"",
        "file_size_limit : \"100 GB\"",
        "file_types : \"*.*\"",
        "file_types_description : \"All Files\"",
        "file_upload_limit : 1000,",
        "file_queue_limit : 0,",
        "progressTarget : \"fsUploadProgress\"",
        "cancelButtonId : \"btnCancel\"",
        "debug : false",
        "button_image_url : \"browse111x22.png\"",
        "button_width : 111,",
        "button_height : 22,",
        "button_placeholder_id : \"spanButtonPlaceHolder\"",
        "file_queued_handler : fileQueued",
        "file_queue_error_handler : fileQueueError",
        "file_dialog_complete_handler : fileDialogComplete",
        "upload_start_handler : uploadStart",
        "upload_progress_handler : uploadProgress",
        "upload_error_handler : uploadError",
        "upload_success_handler : uploadSuccess",
        "upload_complete_handler : uploadComplete",
        "queue_complete_handler : queueComplete",
        "swfu = new SWFUpload(settings);",
        "<body>",
        "<h1>Send Files</h1>",
        "<form id=\"form1\" action=\"send_file.post\" method=\"post\" "
        "enctype=\"multipart/form-data\" accept-charset=\"utf-8\">",
        "To send one or more files, please click the Browse for File... button and select the "
        "file(s) you wish to send.",
        "<div class=\"fieldset flash\" id=\"fsUploadProgress\">",
        "File Queue",
        "<div id=\"divStatus\">0 files sent.</div>",
        "<span id=\"spanButtonPlaceHolder\"></span>",
        "<input id=\"btnCancel\" type=\"button\" value=\"Cancel All\" "
        "onclick=\"swfu.cancelQueue();\" disabled=\"disabled\"",
        "If your browser does not support Flash, please use the "
        "<a href=\"/send_file_form/\">classic send form</a> instead.<br />",
        "This page uses <a href=\"http://www.swfupload.org/\">SWFUpload</a>, a free tool for "
        "sending files using Flash.",
        "<a href=\"/\">Return to Index</a>",
    };
    size_t at = 0;
    for (const char* piece : inOrder) {
        CAPTURE(piece);
        size_t found = anon.find(piece, at);
        CHECK(found != std::string::npos);
        if (found != std::string::npos)
            at = found + strlen(piece);
    }

    char small[kSendSwfPageCapacity - 1];
    CHECK(buildSendSwfPage(u"Ann", 3, small, sizeof(small)) == 0);
}
