// HTML index pages of the share: the table of rows (built by FileHandler::buildIndex into a
// kind-13 entry) and the page framing the connection sends around it. All output is 8-bit;
// names reach HTML only as ASCII or "&#%u;" references.
#pragma once
#include <cstddef>
#include <cstdint>

// One row of a listing, its attributes already read by the caller.
struct IndexRow {
    const char16_t* name;
    size_t nameLength;
    bool folder;
    bool appendSlash;   // folder names from a directory enumeration get a "/"
    int64_t size;       // files only
};

// Settings that shape the table, read under the settings lock by the caller.
struct IndexOptions {
    bool useIcons;
    bool allowUploads;
    bool swfUpload;
    bool requirePassword;
    const char* owner;   // htmlDisplayName of UserName (buffer of kTableOwnerCapacity)
    size_t ownerLength;
};

constexpr size_t kTableOwnerCapacity = 280;
constexpr size_t kHeadingOwnerCapacity = 100;
constexpr size_t kDisplayNameCut = 38;
constexpr size_t kUserNameReadUnits = 255;

// The link form of a name: A-Z a-z 0-9 . _ - ~ as they are, "%" as "%25", any other unit as
// "&#%u;". The display form writes "%" as "&#37;" and cuts names longer than 38 units to 38
// followed by "..". Each returns the bytes the form takes; it writes only when out is not
// null and the whole form fits in capacity.
size_t linkForm(const char16_t* text, size_t length, char* out, size_t capacity);
size_t displayForm(const char16_t* text, size_t length, char* out, size_t capacity);

// Folder listings leave out every name that begins with "." (".", ".." and hidden
// dot-files); such files can still be fetched by their exact URL.
bool hiddenFromListing(const char16_t* name, size_t length);

// The parent link of a sub-folder page: the request path up to and including its
// second-to-last "/", or its first unit when it has fewer than two.
size_t parentLinkLength(const char16_t* requestPath, size_t length);

// Builds the table. rootPage: no "Up one level" row; a send row when uploads are allowed.
// Returns the table's length; writes only when out is not null and the table fits in
// capacity, so a first call with out null sizes the buffer exactly.
size_t buildIndexTable(const IndexRow* rows, size_t count, const char16_t* requestPath,
                       size_t requestPathLength, bool rootPage, const IndexOptions& options,
                       char* out, size_t capacity);

// The heading text before the request path: "Index of " without an owner, else the owner
// and "' Index of " (owner ending in s, z or x) or "'s Index of ". owner is the
// htmlDisplayName of UserName cut to kHeadingOwnerCapacity. out holds
// kHeadingCapacity bytes; returns the length.
constexpr size_t kHeadingCapacity = kHeadingOwnerCapacity + 16;
size_t buildIndexHeading(const char* owner, size_t ownerLength, char* out);

// One piece of a gathered send.
struct PagePiece {
    const char* data;
    size_t length;
};

constexpr size_t kIndexPagePieces = 15;

// The body pieces of an index page, in send order: head, title path, heading, path, column
// head, table, the archive line (a folder's page only; otherwise an empty piece), foot with
// the address block. requestPath is the path text of the request as it stands
// (escapePathForHtml makes it safe to embed); host without port; port in decimal.
// Returns the body length.
size_t indexPagePieces(const char* requestPath, size_t requestPathLength, const char* heading,
                       size_t headingLength, const char* table, size_t tableLength,
                       bool archiveLink, const char* host, size_t hostLength, const char* port,
                       size_t portLength, PagePiece* out);

// The request path text made safe inside HTML: "<", ">", "\"" and "'" (which browsers
// always send percent-escaped) become "&#%u;" references, so a hand-made request cannot
// inject markup into a page; every other byte is kept. Returns the bytes needed; writes
// only when out is not null and everything fits.
size_t escapePathForHtml(const char* path, size_t length, char* out, size_t capacity);
