// FolderZip: the walk of a shared folder into a zip plan and the opening of its files in plan
// order. See FolderZip.h.
#include "FolderZip.h"

#include <cstring>
#include <new>

#include "IndexPage.h"
#include "Log.h"
#include "ServerWithReg.h"
#include "TextHelpers.h"

static const wchar_t kLogUnit[] = L"FolderZip";

namespace {

const LONGLONG kFileTimeTo1970 = 116444736000000000LL;   // 100 ns units from 1601 to 1970

LONGLONG unixSeconds(const FILETIME& t) {
    LONGLONG ticks = static_cast<LONGLONG>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    return (ticks - kFileTimeTo1970) / 10000000;
}

ZipTime timeOf(const FILETIME& written) {
    FILETIME local;
    LONGLONG utc = unixSeconds(written);
    // The DOS fields are local time, as every reader shows them; the extended field keeps UTC.
    return zipTimeOf(utc, FileTimeToLocalFileTime(&written, &local) ? unixSeconds(local) : utc);
}

// folder + "\" + name (a folder that ends in "\", a drive root, gets none); new[], or null.
wchar_t* joinPath(const wchar_t* folder, size_t folderLength, const wchar_t* name, size_t nameLength) {
    bool slash = folderLength && folder[folderLength - 1] != L'\\';
    wchar_t* full = new (std::nothrow) wchar_t[folderLength + nameLength + 2];
    if (!full)
        return nullptr;
    memcpy(full, folder, folderLength * sizeof(wchar_t));
    size_t n = folderLength;
    if (slash)
        full[n++] = L'\\';
    memcpy(full + n, name, nameLength * sizeof(wchar_t));
    full[n + nameLength] = 0;
    return full;
}

}  // namespace

FolderZip::FolderZip(Log* log, Server* server) : log_(log), server_(server) {}

FolderZip::~FolderZip() {
    closeFile();
    delete writer_;
    delete[] root_;
    delete[] prefixes_;
    delete[] disposition_;
}

bool FolderZip::build(const wchar_t* folderPath, DWORD length, size_t memoryLimit, bool* tooLarge) {
    *tooLarge = false;
    root_ = new (std::nothrow) wchar_t[length + 1];
    prefixes_ = new (std::nothrow) char[kTransferSlots * kZipPrefixCapacity];
    if (!root_ || !prefixes_)
        return false;
    memcpy(root_, folderPath, length * sizeof(wchar_t));
    root_[length] = 0;
    rootLength_ = length;
    if (walkFolder(root_, "", 0, memoryLimit, tooLarge) != Walked)
        return false;
    // The plan is its own queue: each folder it lists is walked in turn, so the walk needs no
    // stack and the archive lists every folder's entries before those of its sub-folders.
    for (size_t i = 0; i < plan_.count(); ++i) {
        if (!plan_.folder(i))
            continue;
        size_t nameLength;
        const char* name = plan_.name(i, &nameLength);
        wchar_t* folder = pathOf(i);
        if (!folder)
            return false;
        Walk walked = walkFolder(folder, name, nameLength, memoryLimit, tooLarge);
        delete[] folder;
        // A sub-folder that cannot be listed (gone, or access denied) stays an empty folder.
        if (walked == WalkFailed)
            return false;
    }
    writer_ = new (std::nothrow) ZipWriter(&plan_);
    return writer_ != nullptr;
}

// Adds the entries of one folder below the prefix (a plan name ending in "/", or empty for
// the archived folder itself).
FolderZip::Walk FolderZip::walkFolder(const wchar_t* folder, const char* prefix, size_t prefixLength,
                                      size_t memoryLimit, bool* tooLarge) {
    wchar_t* pattern = joinPath(folder, wcslen(folder), L"*", 1);
    if (!pattern)
        return WalkFailed;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH);
    delete[] pattern;
    if (search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        // An empty drive root has not even "." to find.
        if (error == ERROR_FILE_NOT_FOUND)
            return Walked;
        LOG_ERROR(log_, L"FolderZip::build", L"FindFirstFile", error);
        return NotListed;
    }
    // The prefix may point into the plan's own names, which grow as entries are added.
    char* base = new (std::nothrow) char[prefixLength + 3 * MAX_PATH + 2];
    bool ok = base != nullptr;
    if (ok)
        memcpy(base, prefix, prefixLength);
    while (ok) {
        size_t n = boundedLength(reinterpret_cast<const char16_t*>(found.cFileName), MAX_PATH);
        const char16_t* name = reinterpret_cast<const char16_t*>(found.cFileName);
        bool folderEntry = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        // Links, junctions and every other reparse point stay out: they may lead anywhere.
        bool skipped = hiddenFromListing(name, n) || (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
                       hasLoneSurrogate(name, n);
        if (!skipped) {
            size_t used = prefixLength + utf16ToUtf8(name, n, base + prefixLength, 3 * MAX_PATH);
            if (folderEntry)
                base[used++] = '/';
            ULONGLONG size = (static_cast<ULONGLONG>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
            // A name past the format's limit is left out; only memory ends the walk.
            if (used <= kZipNameLimit && !plan_.add(base, used, folderEntry, size, timeOf(found.ftLastWriteTime)))
                ok = false;
            if (plan_.bytesHeld() > memoryLimit) {
                *tooLarge = true;
                ok = false;
            }
        }
        if (ok && !FindNextFileW(search, &found)) {
            DWORD error = GetLastError();
            // The names found so far are kept, as a listing keeps its rows.
            if (error != ERROR_NO_MORE_FILES)
                LOG_ERROR(log_, L"FolderZip::build", L"FindNextFile", error);
            break;
        }
    }
    delete[] base;
    if (!FindClose(search)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"FolderZip::build", L"FindClose", error);
    }
    return ok ? Walked : WalkFailed;
}

// The file-system path of a plan entry: the root, "\" and the entry's name with "\" between
// its segments (a folder's trailing "/" dropped).
wchar_t* FolderZip::pathOf(size_t entry) {
    size_t nameLength;
    const char* name = plan_.name(entry, &nameLength);
    if (nameLength && name[nameLength - 1] == '/')
        --nameLength;
    size_t units = 0;
    char16_t* wide = newUtf16FromUtf8(name, nameLength, &units);
    if (!wide)
        return nullptr;
    for (size_t i = 0; i < units; ++i) {
        if (wide[i] == u'/')
            wide[i] = u'\\';
    }
    wchar_t* full = joinPath(root_, rootLength_, reinterpret_cast<wchar_t*>(wide), units);
    delete[] wide;
    return full;
}

bool FolderZip::makeDisposition(const wchar_t* folderName, DWORD length) {
    const char16_t* name = reinterpret_cast<const char16_t*>(folderName);
    size_t n = zipDisposition(name, length, nullptr, 0);
    disposition_ = new (std::nothrow) char[n + 1];
    if (!disposition_)
        return false;
    dispositionLength_ = zipDisposition(name, length, disposition_, n);
    disposition_[n] = 0;
    return true;
}

HANDLE FolderZip::fileFor(size_t entry) {
    if (file_ != INVALID_HANDLE_VALUE && fileEntry_ == entry)
        return file_;
    closeFile();
    wchar_t* path = pathOf(entry);
    if (!path)
        return INVALID_HANDLE_VALUE;
    // The link itself is opened, never its target, should a file have become one since the walk.
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    delete[] path;
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"FolderZip::fileFor", L"CreateFile", error);
        return INVALID_HANDLE_VALUE;
    }
    BY_HANDLE_FILE_INFORMATION info;
    bool plain = false;
    if (!GetFileInformationByHandle(file, &info)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"FolderZip::fileFor", L"GetFileInformationByHandle", error);
    } else if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
        LOG_ERROR_TEXT(log_, L"FolderZip::fileFor", L"not a plain file any more");
    } else {
        plain = server_->associate(file, L"FolderZip::fileFor");
    }
    if (!plain) {
        if (!CloseHandle(file)) {
            DWORD error = GetLastError();
            LOG_ERROR(log_, L"FolderZip::fileFor", L"CloseHandle", error);
        }
        return INVALID_HANDLE_VALUE;
    }
    file_ = file;
    fileEntry_ = entry;
    return file_;
}

void FolderZip::closeFile() {
    if (file_ == INVALID_HANDLE_VALUE)
        return;
    if (!CloseHandle(file_)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"FolderZip::closeFile", L"CloseHandle", error);
    }
    file_ = INVALID_HANDLE_VALUE;
}
