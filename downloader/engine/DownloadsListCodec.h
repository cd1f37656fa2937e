// The "DownloadsList" value: one record per unfinished download, each ending in a NUL, then one
// more NUL. A record is "b" followed by fields that each end in RS (0x1E): local path, URL,
// file flag, size, connections, credentials, then one "start-end" field per missing range.
// Portable: the registry calls live with the downloads list.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ByteRangeList.h"

constexpr char16_t kRecordSeparator = 0x1E;
constexpr int kMaxDownloadConnections = 50;

struct DownloadRecord {
    std::u16string localPath;
    std::u16string url;
    bool fileFlag = false;      // the file was opened: resume into it
    int64_t size = 0;           // 0 while there is no size
    int connections = 1;        // 1..50
    std::string credentials;    // Base64 text, empty for none
    std::vector<ByteRange> ranges;
};

// Appends the record and its NUL. A NUL or RS inside the URL is written as "%00" / "%1E" (the
// same bytes reach the server, since the path is percent-encoded when sent and "%" is kept);
// credentials holding a NUL or RS (never Base64) are written as none. False, appending
// nothing, when the local path holds a NUL or RS: no record could name that file.
bool appendDownloadRecord(const DownloadRecord& record, std::u16string* value);
// The final NUL; an empty list is then the two NULs of an empty value.
void finishDownloadsList(std::u16string* value);

// Every record that builds an entry, in order: data of at least 3 units ending in two NULs,
// records up to the first empty one; a record not starting with "b", without path and URL
// fields, or with a size that is not decimal is skipped; credentials whose low bytes hold a NUL
// or RS read as none; connections not decimal or 0 give 1,
// above 50 give 50; a range field without "-" or with a non-digit on either side is skipped
// (an empty side is 0).
std::vector<DownloadRecord> readDownloadsList(const char16_t* data, size_t units);
