// Encoding and decoding of the "ShareList" multi-string (see ShareListCodec.h).
#include "ShareListCodec.h"

#include <cstring>

#include "TextHelpers.h"

static size_t totalDigits(int64_t total, char16_t* digits) {
    return formatDecimal(total < 0 ? 0 : total, digits, kShareListTotalDigits + 1);
}

size_t shareListLength(const ShareListEntry* entries, size_t count) {
    if (count == 0)
        return 0;
    size_t units = 1;
    char16_t digits[kShareListTotalDigits + 1];
    for (size_t i = 0; i < count; ++i)
        units += entries[i].pathLength + 1 + totalDigits(entries[i].totalSent, digits) + 1;
    return units;
}

size_t encodeShareList(const ShareListEntry* entries, size_t count, char16_t* out,
                       size_t capacity) {
    size_t needed = shareListLength(entries, count);
    if (needed == 0 || capacity < needed)
        return 0;
    size_t pos = 0;
    char16_t digits[kShareListTotalDigits + 1];
    for (size_t i = 0; i < count; ++i) {
        if (entries[i].pathLength)
            memcpy(out + pos, entries[i].path, entries[i].pathLength * sizeof(char16_t));
        pos += entries[i].pathLength;
        out[pos++] = 0;
        size_t n = totalDigits(entries[i].totalSent, digits);
        memcpy(out + pos, digits, n * sizeof(char16_t));
        pos += n;
        out[pos++] = 0;
    }
    out[pos++] = 0;
    return pos;
}

ShareListReader::ShareListReader(const char16_t* text, size_t length)
    : text_(text),
      length_(length),
      valid_(text && length >= 3 && text[length - 1] == 0 && text[length - 2] == 0) {}

size_t ShareListReader::stringAt(size_t start) const {
    size_t n = 0;
    // The list ends in a NUL, so this stops inside the text.
    while (start + n < length_ && text_[start + n] != 0)
        ++n;
    return n;
}

bool ShareListReader::next(const char16_t** path, size_t* pathLength, bool* hasTotal,
                           int64_t* total) {
    if (!valid_ || ended_ || pos_ >= length_)
        return false;
    size_t n = stringAt(pos_);
    if (n == 0) {
        ended_ = true;
        return false;
    }
    *path = text_ + pos_;
    *pathLength = n;
    pos_ += n + 1;
    size_t t = pos_ < length_ ? stringAt(pos_) : 0;
    *hasTotal = t != 0;
    *total = t ? parseStoredTotal(text_ + pos_, t) : 0;
    if (t == 0)
        ended_ = true;
    pos_ += t + 1;
    return true;
}

int64_t parseStoredTotal(const char16_t* text, size_t length) {
    size_t i = 0;
    bool negative = false;
    if (i < length && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i] == u'-';
        ++i;
    }
    int64_t value = 0;
    const int64_t limit = INT64_MAX / 10;
    for (; i < length && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        int digit = text[i] - u'0';
        if (value > limit || (value == limit && digit > INT64_MAX % 10))
            value = INT64_MAX;   // saturate rather than wrap into a negative total
        else
            value = value * 10 + digit;
    }
    return negative ? 0 : value;
}
