// Index page table and framing (see IndexPage.h).
#include "IndexPage.h"

#include <cstring>

#include "FileHandlerPaths.h"
#include "TextHelpers.h"

namespace {

const char kProductToken[] = "Wexa-Share/1.2.1";
const char kRowStart[] = "<tr valign=bottom><td width=20></td><td width=350 align=left>";
const char kSendRowStart[] =
    "<tr height=10><td></td></tr><tr valign=bottom><td width=20></td><td width=350 align=left>";

// Counts every byte and copies those that fit, so one routine both sizes and writes.
struct Writer {
    char* out;
    size_t capacity;
    size_t pos;

    void put(const char* s, size_t n) {
        if (out && pos + n <= capacity)
            memcpy(out + pos, s, n);
        pos += n;
    }
    void put(const char* s) { put(s, strlen(s)); }
    void putChar(char c) { put(&c, 1); }
    void putReference(unsigned value) {
        char digits[8];
        size_t n = formatDecimal(value, digits, sizeof digits);
        put("&#", 2);
        put(digits, n);
        putChar(';');
    }
};

bool keptAsIs(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
           c == u'.' || c == u'_' || c == u'-' || c == u'~';
}

// A name, optionally followed by "/", in link or display form.
void putNameForm(Writer& w, const char16_t* text, size_t length, bool slash, bool display) {
    size_t total = length + (slash ? 1 : 0);
    size_t shown = display && total > kDisplayNameCut ? kDisplayNameCut : total;
    for (size_t i = 0; i < shown; ++i) {
        char16_t c = i < length ? text[i] : u'/';
        if (keptAsIs(c))
            w.putChar(static_cast<char>(c));
        else if (c == u'%' && !display)
            w.put("%25", 3);
        else
            w.putReference(c);
    }
    if (shown < total)
        w.put("..", 2);
}

void buildTable(Writer& w, const IndexRow* rows, size_t count, const char16_t* requestPath,
                size_t requestPathLength, bool rootPage, const IndexOptions& options) {
    w.put("<table border=0 cellspacing=0 cellpadding=1>");
    if (!rootPage) {
        w.put(kRowStart);
        if (options.useIcons)
            w.put("<img src=\"/up_icon.png\"> ");
        w.put("<a href=\"");
        putNameForm(w, requestPath, parentLinkLength(requestPath, requestPathLength), false,
                    false);
        w.put("\">Up one level</a></td></tr><tr height=10><td></td></tr>");
    }
    for (size_t i = 0; i < count; ++i) {
        const IndexRow& row = rows[i];
        w.put(kRowStart);
        if (options.useIcons) {
            w.put(row.folder ? folderType().indexIcon
                             : fileTypeOf(row.name, row.nameLength).indexIcon);
        }
        w.put("<a href=\"");
        putNameForm(w, row.name, row.nameLength, row.appendSlash, false);
        w.put("\">");
        putNameForm(w, row.name, row.nameLength, row.appendSlash, true);
        w.put("</a></td><td align=left>");
        if (row.folder) {
            w.put("Directory");
        } else {
            char size[61];
            w.put(size, formatSize(row.size, size, sizeof size));
        }
        w.put("</td></tr>");
    }
    if (rootPage && options.allowUploads) {
        // The multi-file page is never offered while a login is required.
        bool form = !options.swfUpload || options.requirePassword;
        w.put(kSendRowStart);
        w.put(form ? "<a href=\"send_file_form/\">Send a file</a>"
                   : "<a href=\"send_file_swf/\">Send files</a>");
        if (options.ownerLength) {
            w.put(" to ");
            w.put(options.owner, options.ownerLength);
        }
        w.put("</td></tr>");
    }
    w.put("</table>");
}

}  // namespace

size_t linkForm(const char16_t* text, size_t length, char* out, size_t capacity) {
    Writer measure{nullptr, 0, 0};
    putNameForm(measure, text, length, false, false);
    if (out && measure.pos <= capacity) {
        Writer w{out, capacity, 0};
        putNameForm(w, text, length, false, false);
    }
    return measure.pos;
}

size_t displayForm(const char16_t* text, size_t length, char* out, size_t capacity) {
    Writer measure{nullptr, 0, 0};
    putNameForm(measure, text, length, false, true);
    if (out && measure.pos <= capacity) {
        Writer w{out, capacity, 0};
        putNameForm(w, text, length, false, true);
    }
    return measure.pos;
}

bool hiddenFromListing(const char16_t* name, size_t length) {
    return length == 0 || name[0] == u'.';
}

size_t parentLinkLength(const char16_t* requestPath, size_t length) {
    size_t seen = 0;
    for (size_t i = length; i-- > 0;) {
        if (requestPath[i] == u'/' && ++seen == 2)
            return i + 1;
    }
    return length ? 1 : 0;
}

size_t buildIndexTable(const IndexRow* rows, size_t count, const char16_t* requestPath,
                       size_t requestPathLength, bool rootPage, const IndexOptions& options,
                       char* out, size_t capacity) {
    Writer measure{nullptr, 0, 0};
    buildTable(measure, rows, count, requestPath, requestPathLength, rootPage, options);
    if (out && measure.pos <= capacity) {
        Writer w{out, capacity, 0};
        buildTable(w, rows, count, requestPath, requestPathLength, rootPage, options);
    }
    return measure.pos;
}

size_t buildIndexHeading(const char* owner, size_t ownerLength, char* out) {
    if (ownerLength >= kHeadingOwnerCapacity)
        ownerLength = kHeadingOwnerCapacity - 1;
    Writer w{out, kHeadingCapacity, 0};
    if (ownerLength) {
        w.put(owner, ownerLength);
        char last = owner[ownerLength - 1];
        w.put(last == 's' || last == 'z' || last == 'x' ? "' Index of " : "'s Index of ");
    } else {
        w.put("Index of ");
    }
    return w.pos;
}

size_t indexPagePieces(const char* requestPath, size_t requestPathLength, const char* heading,
                       size_t headingLength, const char* table, size_t tableLength,
                       bool archiveLink, const char* host, size_t hostLength, const char* port,
                       size_t portLength, PagePiece* out) {
    static const char kHead[] = "<html><head><title>Index of ";
    static const char kTitleEnd[] = "</title></head><body><h1>";
    static const char kColumns[] =
        "</h1><pre><table border=0 cellspacing=0 cellpadding=1><tr valign=top><td width=20>"
        "</td><td width=350 align=left><u>Name</a></td><td align=left><u>Size</u></td></tr>"
        "</table><hr>\r\n";
    // A line of its own below the table: the same page with "?zip" is the folder as one archive.
    static const char kArchive[] = "\r\n<a href=\"?zip\">Download all as .zip</a>";
    static const char kFoot[] = "\r\n</pre><hr><address>";
    static const char kAt[] = " at ";
    static const char kPort[] = " Port ";
    static const char kEnd[] = "</address></body></html>";
    const PagePiece pieces[kIndexPagePieces] = {
        {kHead, sizeof kHead - 1},
        {requestPath, requestPathLength},
        {kTitleEnd, sizeof kTitleEnd - 1},
        {heading, headingLength},
        {requestPath, requestPathLength},
        {kColumns, sizeof kColumns - 1},
        {table, tableLength},
        {kArchive, archiveLink ? sizeof kArchive - 1 : 0},
        {kFoot, sizeof kFoot - 1},
        {kProductToken, sizeof kProductToken - 1},
        {kAt, sizeof kAt - 1},
        {host, hostLength},
        {kPort, sizeof kPort - 1},
        {port, portLength},
        {kEnd, sizeof kEnd - 1},
    };
    size_t total = 0;
    for (size_t i = 0; i < kIndexPagePieces; ++i) {
        out[i] = pieces[i];
        total += pieces[i].length;
    }
    return total;
}

size_t escapePathForHtml(const char* path, size_t length, char* out, size_t capacity) {
    Writer measure{nullptr, 0, 0};
    for (int pass = 0; pass < 2; ++pass) {
        Writer w{pass ? out : nullptr, capacity, 0};
        for (size_t i = 0; i < length; ++i) {
            char c = path[i];
            if (c == '<' || c == '>' || c == '"' || c == '\'')
                w.putReference(static_cast<unsigned char>(c));
            else
                w.putChar(c);
        }
        if (pass == 0) {
            measure = w;
            if (!out || w.pos > capacity)
                break;
        }
    }
    return measure.pos;
}
