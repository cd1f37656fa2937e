// Writing and reading the "DownloadsList" value (see the header). The downloads list builds the
// records from its entries and restores entries from what readDownloadsList returns.
#include "DownloadsListCodec.h"

#include "TextHelpers.h"

namespace {

bool holdsSeparator(const char16_t* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == 0 || text[i] == kRecordSeparator)
            return true;
    }
    return false;
}

// Base64 never holds a NUL or RS; credentials that do could not be written back into a record,
// so they count as none (the server's 401 then asks for them again).
bool usableCredentials(const std::string& credentials) {
    for (char c : credentials) {
        if (c == 0 || c == static_cast<char>(kRecordSeparator))
            return false;
    }
    return true;
}

void appendNumber(int64_t value, std::u16string* text) {
    char16_t digits[24];
    text->append(digits, formatDecimal(value, digits, sizeof digits / sizeof *digits));
}

bool allDigits(const char16_t* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < u'0' || text[i] > u'9')
            return false;
    }
    return true;
}

int readConnections(const char16_t* text, size_t length) {
    if (length == 0 || !allDigits(text, length))
        return 1;
    const int64_t value = parseDecimal(text, length);
    if (value < 0 || value > kMaxDownloadConnections)   // -1: too many digits for int64
        return kMaxDownloadConnections;
    return value == 0 ? 1 : static_cast<int>(value);
}

// "start-end", both sides decimal (an empty side is 0). False for anything else.
bool readRange(const char16_t* text, size_t length, ByteRange* range) {
    size_t dash = 0;
    while (dash < length && text[dash] != u'-')
        ++dash;
    if (dash == length)
        return false;
    const int64_t start = parseDecimal(text, dash);
    const int64_t end = parseDecimal(text + dash + 1, length - dash - 1);
    if (start < 0 || end < 0)
        return false;
    range->start = start;
    range->end = end;
    return true;
}

// One record (without its NUL). False when it builds no entry.
bool readRecord(const char16_t* text, size_t length, DownloadRecord* record) {
    if (length == 0 || text[0] != u'b')
        return false;
    size_t field = 0;
    size_t start = 1;
    for (size_t i = 1; i < length; ++i) {
        if (text[i] != kRecordSeparator)
            continue;
        const char16_t* value = text + start;
        const size_t valueLength = i - start;
        start = i + 1;
        switch (field++) {
        case 0:
            record->localPath.assign(value, valueLength);
            break;
        case 1:
            record->url.assign(value, valueLength);
            break;
        case 2:
            record->fileFlag = valueLength == 1 && value[0] == u'1';
            break;
        case 3:
            record->size = parseDecimal(value, valueLength);
            if (record->size < 0)
                return false;
            break;
        case 4:
            record->connections = readConnections(value, valueLength);
            break;
        case 5:
            record->credentials.clear();
            for (size_t k = 0; k < valueLength; ++k)
                record->credentials += static_cast<char>(value[k] & 0xFF);
            if (!usableCredentials(record->credentials))
                record->credentials.clear();
            break;
        default: {
            ByteRange range;
            if (readRange(value, valueLength, &range))
                record->ranges.push_back(range);
            break;
        }
        }
    }
    return field >= 2;
}

}  // namespace

bool appendDownloadRecord(const DownloadRecord& record, std::u16string* value) {
    if (holdsSeparator(record.localPath.data(), record.localPath.size()))
        return false;
    std::u16string text;
    text += u'b';
    text += record.localPath;
    text += kRecordSeparator;
    for (char16_t c : record.url) {
        if (c == 0)
            text += u"%00";
        else if (c == kRecordSeparator)
            text += u"%1E";
        else
            text += c;
    }
    text += kRecordSeparator;
    text += record.fileFlag ? u'1' : u'0';
    text += kRecordSeparator;
    appendNumber(record.size, &text);
    text += kRecordSeparator;
    appendNumber(record.connections, &text);
    text += kRecordSeparator;
    if (usableCredentials(record.credentials)) {
        for (char c : record.credentials)
            text += static_cast<char16_t>(static_cast<unsigned char>(c));
    }
    text += kRecordSeparator;
    for (const ByteRange& range : record.ranges) {
        char16_t buffer[48];
        text.append(buffer, formatRange(range.start, range.end, buffer, sizeof buffer / sizeof *buffer));
        text += kRecordSeparator;
    }
    text += char16_t(0);
    *value += text;
    return true;
}

void finishDownloadsList(std::u16string* value) {
    // With no record the value is still two NULs: an empty list, not a damaged one.
    if (value->empty())
        *value += char16_t(0);
    *value += char16_t(0);
}

std::vector<DownloadRecord> readDownloadsList(const char16_t* data, size_t units) {
    std::vector<DownloadRecord> records;
    if (units < 3 || data[units - 1] != 0 || data[units - 2] != 0)
        return records;
    size_t start = 0;
    while (start < units) {
        size_t end = start;
        while (end < units && data[end] != 0)
            ++end;
        if (end == start)
            break;   // the empty record ends the list
        DownloadRecord record;
        if (readRecord(data + start, end - start, &record))
            records.push_back(record);
        start = end + 1;
    }
    return records;
}
