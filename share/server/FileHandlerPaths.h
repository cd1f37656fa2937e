// The pure rules of the shared-file registry: item names from paths, the parent-segment
// refusal and the resolution of a request path against the items, file-system path
// joining, and the extension table (MIME type, index icon, icon class).
#pragma once
#include <cstddef>
#include <cstdint>

#include "FileHandlerItem.h"

// ---- Names --------------------------------------------------------------------------------

// Start of the last component: after the last "\" found scanning from the second-to-last
// unit backwards (a trailing "\" is not a separator); 0 when there is none.
size_t lastComponentStart(const char16_t* path, size_t length);
// The item name of a shared path: the last component, plus "/" for a folder; a drive root
// ("C:\") gives the drive letter and "/". A trailing "\" is not part of the name.
// out needs length + 2 units; returns the name length (out is NUL-terminated).
size_t makeItemName(const char16_t* path, size_t length, bool folder, char16_t* out);

// ---- Request resolution ------------------------------------------------------------------

// True when the decoded request path must be refused: it holds a parent-directory segment
// ("..", also ".. " and "..." forms that the file system reads as the parent) between "/"
// or "\" separators or at the end, a NUL, or a ":" (a drive or stream name).
bool requestPathRefused(const char16_t* path, size_t length);

struct RequestResolution {
    const char16_t* afterSlashes;   // the whole path after its leading "/" characters
    size_t afterSlashesLength;
    bool siteRoot;                  // empty first segment
    bool singleFolderRoot;          // the one shared folder stands for the site root
    long matched;                   // index of the matching item, -1 for none
    const char16_t* remainder;      // below the matched item ("" for the item itself)
    size_t remainderLength;
};

// Whether two names of the same length are the same name. The registry passes the system's
// comparison that also keeps item names unique, so that every shared name stays reachable.
typedef bool (*NamesEqual)(const char16_t* a, const char16_t* b, size_t length);

// Resolves a decoded request path against the items in list order. False when the path is
// refused. singleDirIsRoot is the setting; the single-folder case also needs exactly one
// item and that item a folder. A segment matches an item name of its length for which
// namesEqual holds.
bool resolveRequestPath(const char16_t* path, size_t length, const SharedItem* const* items,
                        size_t count, bool singleDirIsRoot, NamesEqual namesEqual,
                        RequestResolution* out);

// itemPath, or itemPath + "\" + remainder with every "/" turned into "\". out needs
// itemPathLength + remainderLength + 2 units; returns the length (out is NUL-terminated).
size_t joinItemPath(const char16_t* itemPath, size_t itemPathLength, const char16_t* remainder,
                    size_t remainderLength, char16_t* out);

// ---- File types ---------------------------------------------------------------------------

enum IconClass : uint32_t {
    IconOther = 0, IconText = 1, IconImage = 2, IconFolder = 3, IconArchive = 4, IconProgram = 5
};

struct FileType {
    const char* mimeType;    // static
    const char* indexIcon;   // "<img src=\"/..._icon.png\"> " of the index page
    uint32_t iconClass;
};

// Position of the extension (after its "."), or length when the name has none: the scan runs
// from the second-to-last unit down and never looks at the first, so ".profile" and "a."
// have no extension.
size_t extensionStart(const char16_t* name, size_t length);
// The type of a file name (last component), by extension, ignoring case.
const FileType& fileTypeOf(const char16_t* name, size_t length);
// Folders: the dir icon, icon class 3.
const FileType& folderType();
