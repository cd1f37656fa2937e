// The share server's own web content: the static assets compiled into the program (icons,
// favicon, the multi-file send page's scripts, style sheet and images) and the two generated
// send-file pages. Portable: FileHandler turns these into FileEntry records; nothing here
// reads settings, so the caller passes the values it read under the settings lock.
#pragma once
#include <cstddef>

struct BuiltinAsset {
    const char* urlPath;         // compared after the request path's leading "/" characters
    const char* mimeType;        // static text
    const unsigned char* bytes;  // static, never freed
    size_t length;
};

// The static assets, in the order FileHandler creates its records:
//   0..6  the index icons (doc, txt, img, dir, up, zip, exe), 7 favicon.ico,
//   8..16 the multi-file send page's files under "send_file_swf/".
constexpr size_t kBuiltinAssetCount = 17;
constexpr size_t kFirstIconAsset = 0;
constexpr size_t kFaviconAsset = 7;
constexpr size_t kFirstSwfAsset = 8;
extern const BuiltinAsset kBuiltinAssets[kBuiltinAssetCount];

// Whether the multi-file page's upload component was embedded from its release files
// (false: our HTML5 stand-in is served in its place).
bool builtinHasReleaseUploader();

// What a request path names among the built-in content, after the shared items missed.
enum class BuiltinMatch {
    None,       // 404
    FormPage,   // generate with buildSendFormPage
    SwfPage,    // generate with buildSendSwfPage
    Asset,      // assetIndex says which
    RootIndex,  // "index.html": the root index of the share
};

// Applies the lookup order and gates: the form page only while uploads are allowed; the
// multi-file page and its assets only while both uploads and the multi-file page are on;
// the icons, favicon and "index.html" always. path is the decoded request path (leading "/"
// characters are skipped here); the comparison ignores ASCII case and covers the whole length.
// assetIndex may be null; it is set only for BuiltinMatch::Asset.
BuiltinMatch matchBuiltin(const char16_t* path, size_t length, bool allowUploads,
                          bool swfUpload, size_t* assetIndex);

// Send-file pages (kind 14). userName is the raw UserName setting (UTF-16, may be empty or
// null); it reaches the page only through the HTML display form of the owner name. Each
// returns the page length written into out (no terminator), or 0 when capacity is smaller
// than the page's capacity constant below. The connection appends the address block.
constexpr size_t kSendFormPageCapacity = 612;
constexpr size_t kSendSwfPageCapacity = 2817;
size_t buildSendFormPage(const char16_t* userName, size_t userNameLength, char* out,
                         size_t capacity);
size_t buildSendSwfPage(const char16_t* userName, size_t userNameLength, char* out,
                        size_t capacity);
