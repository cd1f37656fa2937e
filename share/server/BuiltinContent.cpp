// The built-in asset table over the byte arrays the build embeds from resources/web, the
// lookup of built-in names, and the two send-file page generators.
#include "BuiltinContent.h"

#include <cstring>

#include "TextHelpers.h"
#include "WebAssetData.h"

#define WEB_ASSET(url, mime, data) {url, mime, data, sizeof(data)}

// Order matters: FileHandler creates its records in this order and the lookup tries the
// send-file assets before the icons.
const BuiltinAsset kBuiltinAssets[kBuiltinAssetCount] = {
    WEB_ASSET("doc_icon.png", "image/png", kWebDocIcon),
    WEB_ASSET("txt_icon.png", "image/png", kWebTxtIcon),
    WEB_ASSET("img_icon.png", "image/png", kWebImgIcon),
    WEB_ASSET("dir_icon.png", "image/png", kWebDirIcon),
    WEB_ASSET("up_icon.png", "image/png", kWebUpIcon),
    WEB_ASSET("zip_icon.png", "image/png", kWebZipIcon),
    WEB_ASSET("exe_icon.png", "image/png", kWebExeIcon),
    WEB_ASSET("favicon.ico", "image/x-icon", kWebFavicon),
    WEB_ASSET("send_file_swf/handlers.js", "application/x-javascript", kWebHandlersJs),
    WEB_ASSET("send_file_swf/fileprogress.js", "application/x-javascript", kWebFileProgressJs),
    WEB_ASSET("send_file_swf/default.css", "text/css", kWebDefaultCss),
    WEB_ASSET("send_file_swf/cancelbutton.png", "image/png", kWebCancelButton),
    WEB_ASSET("send_file_swf/browse111x22.png", "image/png", kWebBrowseButton),
    WEB_ASSET("send_file_swf/swfupload.js", "application/x-javascript", kWebUploaderJs),
    WEB_ASSET("send_file_swf/swfupload.queue.js", "application/x-javascript", kWebUploaderQueue),
    WEB_ASSET("send_file_swf/swfupload.speed.js", "application/x-javascript", kWebUploaderSpeed),
    WEB_ASSET("send_file_swf/swfupload.swf", "application/x-shockwave-flash", kWebUploaderSwf),
};

bool builtinHasReleaseUploader()
{
    return WEXA_WEB_RELEASE_UPLOADER != 0;
}

namespace {

// name is ASCII; a path unit outside ASCII never matches, so no locale folding is needed.
bool equalsNameNoCase(const char16_t* path, size_t length, const char* name)
{
    if (length != strlen(name))
        return false;
    for (size_t i = 0; i < length; ++i) {
        char16_t c = path[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char16_t>(c - 'A' + 'a');
        char n = name[i];
        if (n >= 'A' && n <= 'Z')
            n = static_cast<char>(n - 'A' + 'a');
        if (c != static_cast<unsigned char>(n))
            return false;
    }
    return true;
}

bool findAsset(const char16_t* path, size_t length, size_t first, size_t end, size_t* found)
{
    for (size_t i = first; i < end; ++i) {
        if (equalsNameNoCase(path, length, kBuiltinAssets[i].urlPath)) {
            *found = i;
            return true;
        }
    }
    return false;
}

}  // namespace

BuiltinMatch matchBuiltin(const char16_t* path, size_t length, bool allowUploads,
                          bool swfUpload, size_t* assetIndex)
{
    if (path == nullptr)
        return BuiltinMatch::None;
    while (length > 0 && *path == u'/') {
        ++path;
        --length;
    }
    size_t found = 0;
    BuiltinMatch match = BuiltinMatch::None;
    if (allowUploads && (equalsNameNoCase(path, length, "send_file_form/") ||
                         equalsNameNoCase(path, length, "send_file_form/index.html"))) {
        match = BuiltinMatch::FormPage;
    } else if (allowUploads && swfUpload &&
               (equalsNameNoCase(path, length, "send_file_swf/") ||
                equalsNameNoCase(path, length, "send_file_swf/index.html"))) {
        match = BuiltinMatch::SwfPage;
    } else if (allowUploads && swfUpload &&
               findAsset(path, length, kFirstSwfAsset, kBuiltinAssetCount, &found)) {
        match = BuiltinMatch::Asset;
    } else if (findAsset(path, length, kFirstIconAsset, kFirstSwfAsset, &found)) {
        match = BuiltinMatch::Asset;
    } else if (equalsNameNoCase(path, length, "index.html")) {
        match = BuiltinMatch::RootIndex;
    }
    if (match == BuiltinMatch::Asset && assetIndex != nullptr)
        *assetIndex = found;
    return match;
}

namespace {

// The owner name as it may appear in a page heading: at most 119 bytes of HTML text.
constexpr size_t kOwnerNameCapacity = 120;

constexpr char kFormPageHead[] =
    "<html><head><title>Send File</title></head><body><h1>Send File to ";
constexpr char kFormPageTail[] =
    "</h1><form action=\"send_file.post\" enctype=\"multipart/form-data\" accept-charset=\"utf-8\" "
    "method=\"post\"><p>Please select the file you wish to send:<br><input type=\"file\" "
    "name=\"file\" size=40></p><p>Press the Send Now button to send the file.<br><input "
    "type=\"submit\" value=\"Send Now\"></p></form><a href=\"/\">Return to Index</a>";

// The multi-file page. The settings object is what the upload component's constructor
// reads; the handler names are the functions of handlers.js.
constexpr char kSwfPageHead[] =
    "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
    "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">\r\n"
    "<html xmlns=\"http://www.w3.org/1999/xhtml\">\r\n"
    "<head>\r\n"
    "<title>Send Files</title>\r\n"
    "<link href=\"default.css\" rel=\"stylesheet\" type=\"text/css\" />\r\n"
    "<script type=\"text/javascript\" src=\"swfupload.js\"></script>\r\n"
    "<script type=\"text/javascript\" src=\"swfupload.queue.js\"></script>\r\n"
    "<script type=\"text/javascript\" src=\"swfupload.speed.js\"></script>\r\n"
    "<script type=\"text/javascript\" src=\"fileprogress.js\"></script>\r\n"
    "<script type=\"text/javascript\" src=\"handlers.js\"></script>\r\n"
    "<script type=\"text/javascript\">\r\n"
    "var swfu;\r\n"
    "\r\n"
    "window.onload = function () {\r\n"
    "\tvar settings = {\r\n"
    "\t\tflash_url : \"swfupload.swf\",\r\n"
    "\t\tupload_url : \"send_file.post\",\r\n"
    "\t\tfile_size_limit : \"100 GB\",\r\n"
    "\t\tfile_types : \"*.*\",\r\n"
    "\t\tfile_types_description : \"All Files\",\r\n"
    "\t\tfile_upload_limit : 1000,\r\n"
    "\t\tfile_queue_limit : 0,\r\n"
    "\t\tcustom_settings : {\r\n"
    "\t\t\tprogressTarget : \"fsUploadProgress\",\r\n"
    "\t\t\tcancelButtonId : \"btnCancel\"\r\n"
    "\t\t},\r\n"
    "\t\tdebug : false,\r\n"
    "\r\n"
    "\t\t// Browse button, 4 states.\r\n"
    "\t\tbutton_image_url : \"browse111x22.png\",\r\n"
    "\t\tbutton_width : 111,\r\n"
    "\t\tbutton_height : 22,\r\n"
    "\t\tbutton_placeholder_id : \"spanButtonPlaceHolder\",\r\n"
    "\r\n"
    "\t\t// The handlers live in handlers.js.\r\n"
    "\t\tfile_queued_handler : fileQueued,\r\n"
    "\t\tfile_queue_error_handler : fileQueueError,\r\n"
    "\t\tfile_dialog_complete_handler : fileDialogComplete,\r\n"
    "\t\tupload_start_handler : uploadStart,\r\n"
    "\t\tupload_progress_handler : uploadProgress,\r\n"
    "\t\tupload_error_handler : uploadError,\r\n"
    "\t\tupload_success_handler : uploadSuccess,\r\n"
    "\t\tupload_complete_handler : uploadComplete,\r\n"
    "\t\tqueue_complete_handler : queueComplete\r\n"
    "\t};\r\n"
    "\r\n"
    "\tswfu = new SWFUpload(settings);\r\n"
    "};\r\n"
    "</script>\r\n"
    "</head>\r\n"
    "<body>\r\n"
    "<h1>Send Files";
constexpr char kSwfPageOwnerLead[] = " to ";
constexpr char kSwfPageTail[] =
    "</h1>\r\n"
    "<form id=\"form1\" action=\"send_file.post\" method=\"post\" enctype=\"multipart/form-data\" "
    "accept-charset=\"utf-8\">\r\n"
    "<p>To send one or more files, please click the Browse for File... button and select the "
    "file(s) you wish to send.</p>\r\n"
    "<div class=\"fieldset flash\" id=\"fsUploadProgress\">\r\n"
    "<span class=\"legend\">File Queue</span>\r\n"
    "</div>\r\n"
    "<div id=\"divStatus\">0 files sent.</div>\r\n"
    "<div style=\"margin: 10px 0 10px 0;\">\r\n"
    "<span id=\"spanButtonPlaceHolder\"></span>\r\n"
    "<input id=\"btnCancel\" type=\"button\" value=\"Cancel All\" onclick=\"swfu.cancelQueue();\" "
    "disabled=\"disabled\" style=\"margin-left: 2px; font-size: 8pt; height: 22px;\" />\r\n"
    "</div>\r\n"
    "</form>\r\n"
    "<p>If your browser does not support Flash, please use the "
    "<a href=\"/send_file_form/\">classic send form</a> instead.<br />\r\n"
    "This page uses <a href=\"http://www.swfupload.org/\">SWFUpload</a>, a free tool for "
    "sending files using Flash.</p>\r\n"
    "<a href=\"/\">Return to Index</a>\r\n";

// The longest owner name and its lead must fit the advertised capacities.
static_assert((sizeof(kFormPageHead) - 1) + (kOwnerNameCapacity - 1) + (sizeof(kFormPageTail) - 1)
                  <= kSendFormPageCapacity,
              "form page capacity");
static_assert((sizeof(kSwfPageHead) - 1) + (sizeof(kSwfPageOwnerLead) - 1) +
                      (kOwnerNameCapacity - 1) + (sizeof(kSwfPageTail) - 1)
                  <= kSendSwfPageCapacity,
              "multi-file page capacity");

size_t ownerName(const char16_t* userName, size_t userNameLength, char* out)
{
    if (userName == nullptr || userNameLength == 0) {
        out[0] = '\0';
        return 0;
    }
    return htmlDisplayName(userName, userNameLength, out, kOwnerNameCapacity);
}

size_t put(char* out, size_t at, const char* text, size_t length)
{
    memcpy(out + at, text, length);
    return at + length;
}

}  // namespace

size_t buildSendFormPage(const char16_t* userName, size_t userNameLength, char* out,
                         size_t capacity)
{
    if (out == nullptr || capacity < kSendFormPageCapacity)
        return 0;
    char owner[kOwnerNameCapacity];
    size_t ownerLength = ownerName(userName, userNameLength, owner);
    size_t n = put(out, 0, kFormPageHead, sizeof(kFormPageHead) - 1);
    n = put(out, n, owner, ownerLength);
    return put(out, n, kFormPageTail, sizeof(kFormPageTail) - 1);
}

size_t buildSendSwfPage(const char16_t* userName, size_t userNameLength, char* out,
                        size_t capacity)
{
    if (out == nullptr || capacity < kSendSwfPageCapacity)
        return 0;
    char owner[kOwnerNameCapacity];
    size_t ownerLength = ownerName(userName, userNameLength, owner);
    size_t n = put(out, 0, kSwfPageHead, sizeof(kSwfPageHead) - 1);
    // Without an owner the heading is just "Send Files" (no dangling " to ").
    if (ownerLength > 0) {
        n = put(out, n, kSwfPageOwnerLead, sizeof(kSwfPageOwnerLead) - 1);
        n = put(out, n, owner, ownerLength);
    }
    return put(out, n, kSwfPageTail, sizeof(kSwfPageTail) - 1);
}
