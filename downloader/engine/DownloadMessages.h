// The vocabulary between the download engine's objects and the window that owns the
// downloads: message numbers and the heap records they carry (the receiver frees them).
#pragma once
#include <windows.h>

#include <cstdint>

const UINT WM_DL_ADDRESS = WM_USER + 9;        // wParam entry id, lParam IPv4 (network order) or -1
const UINT WM_DL_HEAD = WM_USER + 10;          // wParam entry id, lParam HeadRecord*
const UINT WM_DL_PROGRESS = WM_USER + 11;      // wParam entry id, lParam ProgressRecord*
const UINT WM_DL_TRANSFER_ENDED = WM_USER + 12;  // wParam connection object id
const UINT WM_DL_HEAD_ENDED = WM_USER + 13;    // wParam header request object id

// Why a secure connection was given up: its handshake failed, or the server's certificate was
// refused (not from a trusted root, for another name, outside its validity).
enum class TlsFailure : uint8_t { None, Handshake, Untrusted, WrongName, Expired };

// The received bytes of a header request: the head and whatever followed it. A secure request
// whose connection was refused sends no bytes, only why.
struct HeadRecord {
    char* bytes;       // delete[]
    int32_t length;    // the head's length, its CR LF CR LF included
    DWORD requestId;   // the header request's object id: a late answer is told apart
    TlsFailure secureFailure = TlsFailure::None;
};

// How a transfer connection ended, told by its last progress report (the entry decides what the
// next connection needs from it).
enum class TransferEnd : uint8_t {
    kRunning,      // an ordinary progress report
    kNothing,      // no head was accepted: refused connect, reset, closed or silent before one
    kBody,         // its head was accepted
    kRefused,      // a head other than a usable 206 or 200 (503, 429, 416, a wrong Content-Range)
    kWholeAnswer,  // 200 for a range that does not start at 0: ranges are not served on GET
    kBadHead,      // no end of the head within its size limit
    kDiskFull,     // a write failed for lack of space
};

struct ProgressRecord {
    int32_t bytes;
    DWORD connectionId;
    TransferEnd end;
};

// Every byte every transfer connection received, for the program's total rate.
class ReceivedCounter {
public:
    ReceivedCounter() { InitializeCriticalSection(&lock_); }
    ~ReceivedCounter() { DeleteCriticalSection(&lock_); }
    ReceivedCounter(const ReceivedCounter&) = delete;
    ReceivedCounter& operator=(const ReceivedCounter&) = delete;
    void add(int64_t bytes) {
        EnterCriticalSection(&lock_);
        total_ += bytes;
        LeaveCriticalSection(&lock_);
    }
    int64_t read() {
        EnterCriticalSection(&lock_);
        int64_t total = total_;
        LeaveCriticalSection(&lock_);
        return total;
    }

private:
    CRITICAL_SECTION lock_;
    int64_t total_ = 0;
};

// "Wexa-Share Downloader/1.2.1", sent by both requesters.
extern const char kDownloaderAgent[];
