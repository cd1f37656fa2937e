// A shared folder on its way out as one zip archive: the plan made by walking the folder and
// everything below it, and its files opened one at a time, in plan order, for the connection's
// overlapped reads. The walk leaves out what the folder's listing leaves out (names beginning
// with ".") and never follows a link or any other reparse point, so nothing outside the folder
// can enter the archive.
#pragma once
#include <windows.h>

#include "TransferBuffers.h"
#include "ZipStream.h"

class Log;
class Server;

// Generated archive bytes one ring slot carries in front of its file data.
constexpr DWORD kZipPrefixCapacity = 16 * 1024;

class FolderZip {
public:
    FolderZip(Log* log, Server* server);
    ~FolderZip();   // closes the open file
    FolderZip(const FolderZip&) = delete;
    FolderZip& operator=(const FolderZip&) = delete;

    // Walks the folder. False when it cannot be listed or memory runs out (logged), or when
    // the plan would hold more than memoryLimit bytes (*tooLarge set).
    bool build(const wchar_t* folderPath, DWORD length, size_t memoryLimit, bool* tooLarge);
    // The Content-Disposition value for the archive named after the folder; false when memory
    // runs out.
    bool makeDisposition(const wchar_t* folderName, DWORD length);
    const char* disposition() const { return disposition_; }
    size_t dispositionLength() const { return dispositionLength_; }

    ZipPlan& plan() { return plan_; }
    ZipWriter& writer() { return *writer_; }   // once build() has succeeded
    char* prefix(DWORD slot) { return prefixes_ + slot * kZipPrefixCapacity; }

    // The file of a plan entry, opened on first request (and the previous one closed):
    // overlapped, unbuffered, on the engine's port. INVALID_HANDLE_VALUE when it cannot be
    // opened or is no longer a plain file (logged).
    HANDLE fileFor(size_t entry);
    void closeFile();

private:
    // Failed: memory ran out or the plan grew past its limit; the walk ends.
    enum Walk { Walked, NotListed, WalkFailed };
    Walk walkFolder(const wchar_t* folder, const char* prefix, size_t prefixLength, size_t memoryLimit,
                    bool* tooLarge);
    wchar_t* pathOf(size_t entry);

    Log* log_;
    Server* server_;
    ZipPlan plan_;
    ZipWriter* writer_ = nullptr;   // made for the finished plan
    wchar_t* root_ = nullptr;
    DWORD rootLength_ = 0;
    char* prefixes_ = nullptr;   // kTransferSlots areas of kZipPrefixCapacity
    char* disposition_ = nullptr;
    size_t dispositionLength_ = 0;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    size_t fileEntry_ = 0;
};
