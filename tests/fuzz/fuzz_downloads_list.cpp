// Fuzzes the "DownloadsList" reader over UTF-16 input (two input bytes per unit, copied into an
// exactly-sized buffer). Checks that what it reads writes back into a value that reads the
// same, and that restored ranges always come out clean inside the stored size.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ByteRangeList.h"
#include "DownloadsListCodec.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

bool sameRecord(const DownloadRecord& a, const DownloadRecord& b) {
    if (a.localPath != b.localPath || a.url != b.url || a.fileFlag != b.fileFlag || a.size != b.size ||
        a.connections != b.connections || a.credentials != b.credentials || a.ranges.size() != b.ranges.size())
        return false;
    for (size_t i = 0; i < a.ranges.size(); ++i) {
        if (a.ranges[i].start != b.ranges[i].start || a.ranges[i].end != b.ranges[i].end)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t units = size / 2;
    char16_t* text = new char16_t[units];
    if (units) std::memcpy(text, data, units * 2);

    const std::vector<DownloadRecord> records = readDownloadsList(text, units);
    std::u16string value;
    for (const DownloadRecord& r : records) {
        require(r.size >= 0 && r.connections >= 1 && r.connections <= kMaxDownloadConnections);
        for (const ByteRange& range : r.ranges) require(range.start >= 0 && range.end >= 0);
        require(appendDownloadRecord(r, &value));

        ByteRangeList list;
        list.replace(r.size, r.ranges.data(), r.ranges.size());
        const std::vector<ByteRange> clean = list.copyRanges();
        int64_t missing = 0;
        for (size_t i = 0; i < clean.size(); ++i) {
            require(clean[i].start >= 0 && clean[i].start <= clean[i].end);
            require(r.size == 0 || clean[i].end < r.size);
            require(i == 0 || clean[i - 1].end + 1 < clean[i].start);
            missing += clean[i].end - clean[i].start + 1;
        }
        require(list.missingBytes() == missing);
    }
    finishDownloadsList(&value);
    const std::vector<DownloadRecord> again = readDownloadsList(value.data(), value.size());
    require(again.size() == records.size());
    for (size_t i = 0; i < records.size(); ++i) require(sameRecord(records[i], again[i]));

    delete[] text;
    return 0;
}
