// Pure rules of the shared-file registry (see FileHandlerPaths.h).
#include "FileHandlerPaths.h"

#include <cstring>
#include <new>

#include "TextHelpers.h"

SharedItem* SharedItem::copy() const {
    SharedItem* c = new (std::nothrow) SharedItem;
    if (!c)
        return nullptr;
    c->name = new (std::nothrow) char16_t[nameLength + 1];
    c->path = new (std::nothrow) char16_t[pathLength + 1];
    if (!c->name || !c->path) {
        delete c;
        return nullptr;
    }
    memcpy(c->name, name, nameLength * sizeof(char16_t));
    c->name[nameLength] = 0;
    memcpy(c->path, path, pathLength * sizeof(char16_t));
    c->path[pathLength] = 0;
    c->id = id;
    c->nameLength = nameLength;
    c->pathLength = pathLength;
    c->kind = kind;
    c->totalSent = totalSent;
    memcpy(c->sampleTimes, sampleTimes, sizeof sampleTimes);
    memcpy(c->sampleTotals, sampleTotals, sizeof sampleTotals);
    c->activeTransfers = activeTransfers;
    return c;
}

// ---- Names --------------------------------------------------------------------------------

size_t lastComponentStart(const char16_t* path, size_t length) {
    if (length < 2)
        return 0;
    for (size_t i = length - 1; i-- > 0;) {
        if (path[i] == u'\\')
            return i + 1;
    }
    return 0;
}

size_t makeItemName(const char16_t* path, size_t length, bool folder, char16_t* out) {
    size_t start = lastComponentStart(path, length);
    size_t n = length - start;
    memcpy(out, path + start, n * sizeof(char16_t));
    if (folder) {
        // A drive root "C:\" has no separator before its last unit: its whole path remains.
        if (n >= 3 && out[n - 2] == u':' && out[n - 1] == u'\\') {
            out[0] = out[n - 3];
            n = 1;
        } else if (n > 1 && out[n - 1] == u'\\') {
            // "C:\Music\" names the folder Music, not "Music\".
            --n;
        }
        out[n++] = u'/';
    } else if (n > 1 && out[n - 1] == u'\\') {
        --n;
    }
    out[n] = 0;
    return n;
}

// ---- Request resolution ------------------------------------------------------------------

static bool isSeparator(char16_t c) {
    return c == u'/' || c == u'\\';
}

// ".." and the forms the file system trims to it (trailing dots and spaces).
static bool isParentSegment(const char16_t* s, size_t n) {
    if (n < 2 || s[0] != u'.' || s[1] != u'.')
        return false;
    for (size_t i = 2; i < n; ++i) {
        if (s[i] != u'.' && s[i] != u' ')
            return false;
    }
    return true;
}

bool requestPathRefused(const char16_t* path, size_t length) {
    size_t segment = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i < length) {
            char16_t c = path[i];
            // A NUL would cut the path short in the system's calls; a ":" names a drive
            // or an alternate data stream, neither of which lies inside a shared folder.
            if (c == 0 || c == u':')
                return true;
            if (!isSeparator(c))
                continue;
        }
        if (isParentSegment(path + segment, i - segment))
            return true;
        segment = i + 1;
    }
    return false;
}

static bool itemMatchesSegment(const SharedItem& item, const char16_t* seg, size_t segLength,
                               NamesEqual namesEqual) {
    if (item.kind == ItemFolder) {
        return item.nameLength == segLength + 1 && item.name[segLength] == u'/' &&
               namesEqual(item.name, seg, segLength);
    }
    return item.nameLength == segLength && namesEqual(item.name, seg, segLength);
}

bool resolveRequestPath(const char16_t* path, size_t length, const SharedItem* const* items,
                        size_t count, bool singleDirIsRoot, NamesEqual namesEqual,
                        RequestResolution* out) {
    if (requestPathRefused(path, length))
        return false;
    size_t start = 0;
    while (start < length && path[start] == u'/')
        ++start;
    size_t end = start;
    while (end < length && path[end] != u'/')
        ++end;

    out->afterSlashes = path + start;
    out->afterSlashesLength = length - start;
    out->siteRoot = end == start;
    out->singleFolderRoot = singleDirIsRoot && count == 1 && items[0]->kind == ItemFolder;
    out->matched = -1;
    out->remainder = path + length;
    out->remainderLength = 0;
    if (out->siteRoot)
        return true;

    if (out->singleFolderRoot) {
        out->matched = 0;
        out->remainder = path + start;
        out->remainderLength = length - start;
        return true;
    }
    for (size_t i = 0; i < count; ++i) {
        if (itemMatchesSegment(*items[i], path + start, end - start, namesEqual)) {
            out->matched = static_cast<long>(i);
            size_t rest = end;
            while (rest < length && path[rest] == u'/')
                ++rest;
            out->remainder = path + rest;
            out->remainderLength = length - rest;
            break;
        }
    }
    return true;
}

size_t joinItemPath(const char16_t* itemPath, size_t itemPathLength, const char16_t* remainder,
                    size_t remainderLength, char16_t* out) {
    memcpy(out, itemPath, itemPathLength * sizeof(char16_t));
    size_t n = itemPathLength;
    if (remainderLength) {
        out[n++] = u'\\';
        for (size_t i = 0; i < remainderLength; ++i)
            out[n++] = remainder[i] == u'/' ? u'\\' : remainder[i];
    }
    out[n] = 0;
    return n;
}

// ---- File types ---------------------------------------------------------------------------

#define ICON(x) "<img src=\"/" x "_icon.png\"> "

namespace {
struct TypeRow {
    const char* extension;
    FileType type;
};

const char kOctet[] = "application/octet-stream";

const TypeRow kTypes[] = {
    {"txt", {"text/plain", ICON("txt"), IconText}},
    {"cpp", {"text/plain", ICON("txt"), IconText}},
    {"c", {"text/plain", ICON("txt"), IconText}},
    {"h", {"text/plain", ICON("txt"), IconText}},
    {"hpp", {"text/plain", ICON("txt"), IconText}},
    {"rtf", {"text/rtf", ICON("txt"), IconText}},
    {"htm", {"text/html", ICON("txt"), IconText}},
    {"html", {"text/html", ICON("txt"), IconText}},
    {"css", {"text/css", ICON("txt"), IconText}},
    {"xml", {"text/xml", ICON("txt"), IconText}},
    {"js", {"application/x-javascript", ICON("txt"), IconText}},
    {"doc", {"application/msword", ICON("txt"), IconText}},
    {"docx", {"application/vnd.openxmlformats-officedocument.wordprocessingml.document",
              ICON("txt"), IconText}},
    {"gif", {"image/gif", ICON("img"), IconImage}},
    {"jpg", {"image/jpeg", ICON("img"), IconImage}},
    {"jpeg", {"image/jpeg", ICON("img"), IconImage}},
    {"png", {"image/png", ICON("img"), IconImage}},
    {"tif", {"image/tiff", ICON("img"), IconImage}},
    {"tiff", {"image/tiff", ICON("img"), IconImage}},
    {"tga", {"image/x-tga", ICON("img"), IconImage}},
    {"bmp", {"image/bmp", ICON("img"), IconImage}},
    {"psd", {"image/psd", ICON("img"), IconImage}},
    {"ico", {"image/x-icon", ICON("doc"), IconOther}},
    {"swf", {"application/x-shockwave-flash", ICON("doc"), IconOther}},
    {"zip", {"application/zip", ICON("zip"), IconArchive}},
    {"rar", {"application/x-rar-compressed", ICON("zip"), IconArchive}},
    {"7z", {kOctet, ICON("zip"), IconArchive}},
    {"bin", {kOctet, ICON("zip"), IconArchive}},
    {"sit", {kOctet, ICON("zip"), IconArchive}},
    {"gz", {kOctet, ICON("zip"), IconArchive}},
    {"exe", {kOctet, ICON("exe"), IconProgram}},
    {"msi", {kOctet, ICON("exe"), IconProgram}},
    {"tar", {"application/x-tar", ICON("doc"), IconOther}},
    {"ps", {"application/postscript", ICON("doc"), IconOther}},
    {"pdf", {"application/pdf", ICON("doc"), IconOther}},
    {"ppt", {"application/vnd.ms-powerpoint", ICON("doc"), IconOther}},
    {"xls", {"application/vnd.ms-excel", ICON("doc"), IconOther}},
    {"pptx", {"application/vnd.openxmlformats-officedocument.presentationml.presentation",
              ICON("doc"), IconOther}},
    {"xlsx", {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",
              ICON("doc"), IconOther}},
    {"ogg", {"application/ogg", ICON("doc"), IconOther}},
    {"mp3", {"audio/mpeg", ICON("doc"), IconOther}},
    {"wav", {"audio/x-wav", ICON("doc"), IconOther}},
    {"wma", {"audio/x-ms-wma", ICON("doc"), IconOther}},
    {"mpg", {"video/mpeg", ICON("doc"), IconOther}},
    {"mpeg", {"video/mpeg", ICON("doc"), IconOther}},
    {"mp4", {"video/mp4", ICON("doc"), IconOther}},
    {"qt", {"video/quicktime", ICON("doc"), IconOther}},
    {"wmv", {"video/x-ms-wmv", ICON("doc"), IconOther}},
};

const FileType kUnknownType = {kOctet, ICON("doc"), IconOther};
const FileType kFolderType = {kOctet, ICON("dir"), IconFolder};

bool extensionEquals(const char16_t* ext, size_t length, const char* known) {
    size_t i = 0;
    for (; i < length; ++i) {
        char16_t c = ext[i];
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c + (u'a' - u'A'));
        if (known[i] == 0 || c != static_cast<unsigned char>(known[i]))
            return false;
    }
    return known[i] == 0;
}
}  // namespace

size_t extensionStart(const char16_t* name, size_t length) {
    if (length < 3)
        return length;
    for (size_t i = length - 2; i >= 1; --i) {
        if (name[i] == u'.')
            return i + 1;
    }
    return length;
}

const FileType& fileTypeOf(const char16_t* name, size_t length) {
    size_t start = extensionStart(name, length);
    if (start < length) {
        for (const TypeRow& row : kTypes) {
            if (extensionEquals(name + start, length - start, row.extension))
                return row.type;
        }
    }
    return kUnknownType;
}

const FileType& folderType() {
    return kFolderType;
}
