// Text, number and date helpers: the 8-bit and UTF-16 variants share one template each, so the
// two programs' wire texts and display texts come from the same digit and rounding code.
#include "TextHelpers.h"

#include <chrono>
#include <new>

namespace {

// ---- Bounded writer --------------------------------------------------------------------

// Appends characters to a fixed buffer, keeping room for the terminator; once something does
// not fit, everything after it is dropped so a cut text is always a prefix.
template <typename Ch>
class Writer {
public:
    Writer(Ch* out, size_t capacity) : out_(out), capacity_(capacity) {}
    void put(Ch c) {
        if (full_ || length_ + 1 >= capacity_) {
            full_ = true;
            return;
        }
        out_[length_++] = c;
    }
    void put(const char* ascii) {
        while (*ascii) put(static_cast<Ch>(*ascii++));
    }
    // Writes the whole piece or nothing of it.
    bool putWhole(const char* ascii, size_t n) {
        if (full_ || length_ + n >= capacity_) {
            full_ = true;
            return false;
        }
        for (size_t i = 0; i < n; ++i) out_[length_++] = static_cast<Ch>(ascii[i]);
        return true;
    }
    size_t finish() {
        if (capacity_ > 0) out_[length_] = 0;
        return length_;
    }
    size_t length() const { return length_; }

private:
    Ch* out_;
    size_t capacity_;
    size_t length_ = 0;
    bool full_ = false;
};

uint64_t clampNonNegative(int64_t value) { return value < 0 ? 0 : static_cast<uint64_t>(value); }

// Digits of value, most significant first: one digit per power of ten from the largest not
// above the value, so nothing has to be reversed.
template <typename Ch>
void putDigits(Writer<Ch>& w, uint64_t value) {
    uint64_t power = 1;
    while (value / power >= 10) power *= 10;
    for (; power > 0; power /= 10) {
        w.put(static_cast<Ch>('0' + (value / power) % 10));
    }
}

// Decimal digits into a small local buffer (20 digits hold any 64-bit value).
size_t digitsOf(uint64_t value, char (&digits)[21]) {
    Writer<char> w(digits, sizeof digits);
    putDigits(w, value);
    return w.finish();
}

template <typename Ch>
void putTenths(Writer<Ch>& w, uint64_t tenths) {
    char digits[21];
    size_t n = digitsOf(tenths, digits);
    for (size_t i = 0; i + 1 < n; ++i) w.put(static_cast<Ch>(digits[i]));
    w.put(static_cast<Ch>('.'));
    w.put(static_cast<Ch>(digits[n - 1]));
}

// Rounding is half up: half the divisor is added before the division. The sums are done
// unsigned so that sizes near INT64_MAX cannot overflow.
template <typename Ch>
void putSize(Writer<Ch>& w, int64_t bytes) {
    const uint64_t count = clampNonNegative(bytes);
    const uint64_t kKiB = 1024, kMiB = kKiB * 1024, kGiB = kMiB * 1024;
    const char* unit;
    uint64_t divisor;
    if (count < kKiB) {
        putDigits(w, count);
        unit = " bytes";
    } else {
        if (count < kMiB) {
            divisor = kKiB;
            unit = " kb";
        } else if (count < kGiB) {
            divisor = kMiB;
            unit = " MB";
        } else {
            divisor = kGiB;
            unit = " GB";
        }
        if (count < 10 * divisor) {
            putTenths(w, (count * 10 + divisor / 2) / divisor);
        } else {
            putDigits(w, (count + divisor / 2) / divisor);
        }
    }
    w.put(unit);
}

template <typename Ch>
size_t formatDecimalT(int64_t value, Ch* out, size_t capacity) {
    Writer<Ch> w(out, capacity);
    putDigits(w, clampNonNegative(value));
    return w.finish();
}

template <typename Ch>
size_t formatDecimalTenthsT(int64_t value, Ch* out, size_t capacity) {
    Writer<Ch> w(out, capacity);
    putTenths(w, clampNonNegative(value));
    return w.finish();
}

template <typename Ch>
size_t formatSizeT(int64_t bytes, Ch* out, size_t capacity) {
    Writer<Ch> w(out, capacity);
    putSize(w, bytes);
    return w.finish();
}

// Each half is formatted within 30 characters, as the share program's progress texts are.
constexpr size_t kSizeHalfCapacity = 30;

template <typename Ch>
size_t formatSizePairT(int64_t a, int64_t b, Ch* out, size_t capacity) {
    Ch half[kSizeHalfCapacity];
    Writer<Ch> w(out, capacity);
    size_t n = formatSizeT(a, half, kSizeHalfCapacity);
    for (size_t i = 0; i < n; ++i) w.put(half[i]);
    w.put(" / ");
    n = formatSizeT(b, half, kSizeHalfCapacity);
    for (size_t i = 0; i < n; ++i) w.put(half[i]);
    return w.finish();
}

template <typename Ch>
size_t formatRangeT(int64_t first, int64_t last, Ch* out, size_t capacity) {
    Writer<Ch> w(out, capacity);
    putDigits(w, clampNonNegative(first));
    w.put(static_cast<Ch>('-'));
    putDigits(w, clampNonNegative(last));
    return w.finish();
}

template <typename Ch>
int64_t parseDecimalT(const Ch* text, size_t length) {
    const uint64_t kMax = static_cast<uint64_t>(INT64_MAX);
    uint64_t value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
        const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        // A value that no longer fits is as unusable as a non-digit.
        if (value > (kMax - digit) / 10) return -1;
        value = value * 10 + digit;
    }
    return static_cast<int64_t>(value);
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

// Simple case folding of the Basic Multilingual Plane (Unicode 14 folding, one unit to one
// unit, else the simple lower case), as runs: every stride-th unit from first to last folds to
// unit + delta. Besides case it joins the variant forms the system also ignores case over
// (final sigma, long s). Left out, because the system's comparison keeps them apart: the Greek
// symbol forms (U+03D0, U+03D1, U+03D5, U+03D6, U+03F0, U+03F1, U+03F4), U+1E9B, and case
// pairs added to Unicode late (most Cherokee and Georgian Mtavruli letters, the capitals of
// IPA letters). Letters that fold to more than one unit (U+0130, U+00DF) stay as they are.
struct FoldRun {
    char16_t first;
    char16_t last;
    int32_t delta;
    int32_t stride;
};

const FoldRun kFoldRuns[] = {
    {0x0041, 0x005A, 32, 1}, {0x00B5, 0x00B5, 775, 1}, {0x00C0, 0x00D6, 32, 1}, {0x00D8, 0x00DE, 32, 1},
    {0x0100, 0x012E, 1, 2}, {0x0132, 0x0136, 1, 2}, {0x0139, 0x0147, 1, 2}, {0x014A, 0x0176, 1, 2},
    {0x0178, 0x0178, -121, 1}, {0x0179, 0x017D, 1, 2}, {0x017F, 0x017F, -268, 1}, {0x0181, 0x0181, 210, 1},
    {0x0182, 0x0184, 1, 2}, {0x0186, 0x0186, 206, 1}, {0x0187, 0x0187, 1, 1}, {0x0189, 0x018A, 205, 1},
    {0x018B, 0x018B, 1, 1}, {0x018E, 0x018E, 79, 1}, {0x018F, 0x018F, 202, 1}, {0x0190, 0x0190, 203, 1},
    {0x0191, 0x0191, 1, 1}, {0x0193, 0x0193, 205, 1}, {0x0194, 0x0194, 207, 1}, {0x0196, 0x0196, 211, 1},
    {0x0197, 0x0197, 209, 1}, {0x0198, 0x0198, 1, 1}, {0x019C, 0x019C, 211, 1}, {0x019D, 0x019D, 213, 1},
    {0x019F, 0x019F, 214, 1}, {0x01A0, 0x01A4, 1, 2}, {0x01A7, 0x01A7, 1, 1}, {0x01A9, 0x01A9, 218, 1},
    {0x01AC, 0x01AC, 1, 1}, {0x01AE, 0x01AE, 218, 1}, {0x01AF, 0x01AF, 1, 1}, {0x01B1, 0x01B2, 217, 1},
    {0x01B3, 0x01B5, 1, 2}, {0x01B7, 0x01B7, 219, 1}, {0x01B8, 0x01B8, 1, 1}, {0x01BC, 0x01BC, 1, 1},
    {0x01C4, 0x01C4, 2, 1}, {0x01C5, 0x01C5, 1, 1}, {0x01C7, 0x01C7, 2, 1}, {0x01C8, 0x01C8, 1, 1},
    {0x01CA, 0x01CA, 2, 1}, {0x01CB, 0x01DB, 1, 2}, {0x01DE, 0x01EE, 1, 2}, {0x01F1, 0x01F1, 2, 1},
    {0x01F2, 0x01F4, 1, 2}, {0x01F6, 0x01F6, -97, 1}, {0x01F7, 0x01F7, -56, 1}, {0x01F8, 0x021E, 1, 2},
    {0x0220, 0x0220, -130, 1}, {0x0222, 0x0232, 1, 2}, {0x023A, 0x023A, 10795, 1}, {0x023B, 0x023B, 1, 1},
    {0x023D, 0x023D, -163, 1}, {0x023E, 0x023E, 10792, 1}, {0x0241, 0x0241, 1, 1}, {0x0243, 0x0243, -195, 1},
    {0x0244, 0x0244, 69, 1}, {0x0245, 0x0245, 71, 1}, {0x0246, 0x024E, 1, 2}, {0x0345, 0x0345, 116, 1},
    {0x0370, 0x0372, 1, 2}, {0x0376, 0x0376, 1, 1}, {0x037F, 0x037F, 116, 1}, {0x0386, 0x0386, 38, 1},
    {0x0388, 0x038A, 37, 1}, {0x038C, 0x038C, 64, 1}, {0x038E, 0x038F, 63, 1}, {0x0391, 0x03A1, 32, 1},
    {0x03A3, 0x03AB, 32, 1}, {0x03C2, 0x03C2, 1, 1}, {0x03CF, 0x03CF, 8, 1}, {0x03D8, 0x03EE, 1, 2},
    {0x03F5, 0x03F5, -64, 1}, {0x03F7, 0x03F7, 1, 1}, {0x03F9, 0x03F9, -7, 1}, {0x03FA, 0x03FA, 1, 1},
    {0x03FD, 0x03FF, -130, 1}, {0x0400, 0x040F, 80, 1}, {0x0410, 0x042F, 32, 1}, {0x0460, 0x0480, 1, 2},
    {0x048A, 0x04BE, 1, 2}, {0x04C0, 0x04C0, 15, 1}, {0x04C1, 0x04CD, 1, 2}, {0x04D0, 0x052E, 1, 2},
    {0x0531, 0x0556, 48, 1}, {0x10A0, 0x10C5, 7264, 1}, {0x10C7, 0x10C7, 7264, 1}, {0x10CD, 0x10CD, 7264, 1},
    {0x13FD, 0x13FD, -8, 1}, {0x1C80, 0x1C80, -6222, 1}, {0x1C81, 0x1C81, -6221, 1},
    {0x1C82, 0x1C82, -6212, 1}, {0x1C83, 0x1C84, -6210, 1}, {0x1C85, 0x1C85, -6211, 1},
    {0x1C86, 0x1C86, -6204, 1}, {0x1C87, 0x1C87, -6180, 1}, {0x1C88, 0x1C88, 35267, 1},
    {0x1CBD, 0x1CBF, -3008, 1}, {0x1E00, 0x1E94, 1, 2}, {0x1E9E, 0x1E9E, -7615, 1}, {0x1EA0, 0x1EFE, 1, 2},
    {0x1F08, 0x1F0F, -8, 1}, {0x1F18, 0x1F1D, -8, 1}, {0x1F28, 0x1F2F, -8, 1}, {0x1F38, 0x1F3F, -8, 1},
    {0x1F48, 0x1F4D, -8, 1}, {0x1F59, 0x1F5F, -8, 2}, {0x1F68, 0x1F6F, -8, 1}, {0x1F88, 0x1F8F, -8, 1},
    {0x1F98, 0x1F9F, -8, 1}, {0x1FA8, 0x1FAF, -8, 1}, {0x1FB8, 0x1FB9, -8, 1}, {0x1FBA, 0x1FBB, -74, 1},
    {0x1FBC, 0x1FBC, -9, 1}, {0x1FBE, 0x1FBE, -7173, 1}, {0x1FC8, 0x1FCB, -86, 1}, {0x1FCC, 0x1FCC, -9, 1},
    {0x1FD8, 0x1FD9, -8, 1}, {0x1FDA, 0x1FDB, -100, 1}, {0x1FE8, 0x1FE9, -8, 1}, {0x1FEA, 0x1FEB, -112, 1},
    {0x1FEC, 0x1FEC, -7, 1}, {0x1FF8, 0x1FF9, -128, 1}, {0x1FFA, 0x1FFB, -126, 1}, {0x1FFC, 0x1FFC, -9, 1},
    {0x2126, 0x2126, -7517, 1}, {0x212A, 0x212A, -8383, 1}, {0x212B, 0x212B, -8262, 1},
    {0x2132, 0x2132, 28, 1}, {0x2160, 0x216F, 16, 1}, {0x2183, 0x2183, 1, 1}, {0x24B6, 0x24CF, 26, 1},
    {0x2C00, 0x2C2F, 48, 1}, {0x2C60, 0x2C60, 1, 1}, {0x2C62, 0x2C62, -10743, 1}, {0x2C63, 0x2C63, -3814, 1},
    {0x2C64, 0x2C64, -10727, 1}, {0x2C67, 0x2C6B, 1, 2}, {0x2C6D, 0x2C6D, -10780, 1},
    {0x2C6E, 0x2C6E, -10749, 1}, {0x2C6F, 0x2C6F, -10783, 1}, {0x2C72, 0x2C72, 1, 1}, {0x2C75, 0x2C75, 1, 1},
    {0x2C7E, 0x2C7F, -10815, 1}, {0x2C80, 0x2CE2, 1, 2}, {0x2CEB, 0x2CED, 1, 2}, {0x2CF2, 0x2CF2, 1, 1},
    {0xA640, 0xA66C, 1, 2}, {0xA680, 0xA69A, 1, 2}, {0xA722, 0xA72E, 1, 2}, {0xA732, 0xA76E, 1, 2},
    {0xA779, 0xA77B, 1, 2}, {0xA77D, 0xA77D, -35332, 1}, {0xA77E, 0xA786, 1, 2}, {0xA78B, 0xA78B, 1, 1},
    {0xA790, 0xA792, 1, 2}, {0xA796, 0xA7A8, 1, 2}, {0xA7B3, 0xA7B3, 928, 1}, {0xA7B4, 0xA7C2, 1, 2},
    {0xA7C4, 0xA7C4, -48, 1}, {0xA7C7, 0xA7C9, 1, 2}, {0xA7D0, 0xA7D0, 1, 1}, {0xA7D6, 0xA7D8, 1, 2},
    {0xA7F5, 0xA7F5, 1, 1}, {0xFF21, 0xFF3A, 32, 1},
};

char16_t foldUnit(char16_t c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? static_cast<char16_t>(c + 0x20) : c;
    size_t low = 0, high = sizeof kFoldRuns / sizeof kFoldRuns[0];
    while (low < high) {
        const size_t mid = (low + high) / 2;
        if (kFoldRuns[mid].last < c) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    if (low < sizeof kFoldRuns / sizeof kFoldRuns[0]) {
        const FoldRun& run = kFoldRuns[low];
        if (c >= run.first && (c - run.first) % run.stride == 0) return static_cast<char16_t>(c + run.delta);
    }
    return c;
}

// ---- Dates -----------------------------------------------------------------------------

const char kWeekdays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void putTwoDigits(Writer<char>& w, int value, int low, int high) {
    if (value < low || value > high) value = 0;
    w.put(static_cast<char>('0' + value / 10));
    w.put(static_cast<char>('0' + value % 10));
}

// ---- Base64 ----------------------------------------------------------------------------

int base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// ---- UTF-8 -----------------------------------------------------------------------------

// Decodes one scalar value starting at bytes[i]; returns its byte count, or 0 when the
// sequence is invalid (the strict rules of the system's converter).
size_t decodeUtf8(const unsigned char* bytes, size_t length, size_t i, uint32_t* value) {
    const unsigned char b0 = bytes[i];
    if (b0 < 0x80) {
        *value = b0;
        return 1;
    }
    size_t count;
    unsigned char low = 0x80, high = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        count = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        count = 3;
        if (b0 == 0xE0) low = 0xA0;        // overlong
        if (b0 == 0xED) high = 0x9F;       // UTF-16 surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        count = 4;
        if (b0 == 0xF0) low = 0x90;        // overlong
        if (b0 == 0xF4) high = 0x8F;       // above U+10FFFF
    } else {
        return 0;
    }
    if (length - i < count) return 0;
    uint32_t v = b0 & (0xFF >> (count + 1));
    for (size_t k = 1; k < count; ++k) {
        const unsigned char b = bytes[i + k];
        if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF)) return 0;
        v = (v << 6) | (b & 0x3F);
    }
    *value = v;
    return count;
}

bool isHtmlSafe(char16_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-' || c == '~';
}

// "&#N;" for one code unit; returns its length.
size_t entityOf(char16_t c, char (&entity)[10]) {
    Writer<char> w(entity, sizeof entity);
    w.put("&#");
    putDigits(w, c);
    w.put(';');
    return w.finish();
}

// Writes whole pieces only; returns false once one did not fit.
bool putHtml(Writer<char>& w, const char16_t* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        char piece[10];
        size_t n;
        if (isHtmlSafe(text[i])) {
            piece[0] = static_cast<char>(text[i]);
            n = 1;
        } else {
            n = entityOf(text[i], piece);
        }
        if (!w.putWhole(piece, n)) return false;
    }
    return true;
}

int hexValue(char16_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

bool keptInUrl(unsigned char b) {
    return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
           (b >= '(' && b <= '/') || b == '%' || b == '&' || (b >= ':' && b <= '@') ||
           (b >= '[' && b <= ']') || b == '_' || (b >= '{' && b <= '}');
}

}  // namespace

// ---- Numbers to text -------------------------------------------------------------------

size_t formatDecimal(int64_t value, char* out, size_t capacity) { return formatDecimalT(value, out, capacity); }
size_t formatDecimal(int64_t value, char16_t* out, size_t capacity) { return formatDecimalT(value, out, capacity); }

size_t formatDecimalTenths(int64_t value, char* out, size_t capacity) {
    return formatDecimalTenthsT(value, out, capacity);
}
size_t formatDecimalTenths(int64_t value, char16_t* out, size_t capacity) {
    return formatDecimalTenthsT(value, out, capacity);
}

size_t formatSize(int64_t bytes, char* out, size_t capacity) { return formatSizeT(bytes, out, capacity); }
size_t formatSize(int64_t bytes, char16_t* out, size_t capacity) { return formatSizeT(bytes, out, capacity); }

size_t formatSizePair(int64_t a, int64_t b, char* out, size_t capacity) {
    return formatSizePairT(a, b, out, capacity);
}
size_t formatSizePair(int64_t a, int64_t b, char16_t* out, size_t capacity) {
    return formatSizePairT(a, b, out, capacity);
}

size_t formatDuration(int64_t seconds, char16_t* out, size_t capacity) {
    Writer<char16_t> w(out, capacity);
    const uint64_t s = clampNonNegative(seconds);
    const uint64_t days = s / 86400, hours = s % 86400 / 3600, minutes = s % 3600 / 60, secs = s % 60;
    if (days != 0) {
        putDigits(w, days);
        w.put("d ");
        if (hours != 0) {
            putDigits(w, hours);
            w.put(u'h');
        }
    } else if (hours != 0) {
        putDigits(w, hours);
        w.put("h ");
        if (minutes != 0) {
            putDigits(w, minutes);
            w.put(u'm');
        }
    } else {
        if (minutes != 0) {
            putDigits(w, minutes);
            w.put("m ");
        }
        if (secs != 0) {
            putDigits(w, secs);
            w.put(u's');
        }
    }
    return w.finish();
}

size_t formatRange(int64_t first, int64_t last, char* out, size_t capacity) {
    return formatRangeT(first, last, out, capacity);
}
size_t formatRange(int64_t first, int64_t last, char16_t* out, size_t capacity) {
    return formatRangeT(first, last, out, capacity);
}

size_t formatContentRange(int64_t first, int64_t last, int64_t total, char* out, size_t capacity) {
    Writer<char> w(out, capacity);
    putDigits(w, clampNonNegative(first));
    w.put('-');
    putDigits(w, clampNonNegative(last));
    w.put('/');
    putDigits(w, clampNonNegative(total));
    return w.finish();
}

size_t formatAddress(uint32_t addressNetworkOrder, uint16_t port, char16_t* out, size_t capacity) {
    Writer<char16_t> w(out, capacity);
    for (int octet = 0; octet < 4; ++octet) {
        if (octet != 0) w.put(u'.');
        putDigits(w, (addressNetworkOrder >> (8 * octet)) & 0xFF);
    }
    w.put(u':');
    putDigits(w, port);
    return w.finish();
}

// ---- Text to numbers -------------------------------------------------------------------

int64_t parseDecimal(const char* text, size_t length) { return parseDecimalT(text, length); }
int64_t parseDecimal(const char16_t* text, size_t length) { return parseDecimalT(text, length); }

// ---- Matching --------------------------------------------------------------------------

bool equalsNoCase(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    }
    return true;
}

bool equalsKeyword(const char* keyword, const char* text, size_t length) {
    size_t i = 0;
    for (; keyword[i] != 0; ++i) {
        if (i >= length || lowerAscii(text[i]) != keyword[i]) return false;
    }
    return i == length;
}

bool equalsNoCaseLocale(const char16_t* a, size_t aLength, const char16_t* b, size_t bLength) {
    if (aLength != bLength) return false;
    for (size_t i = 0; i < aLength; ++i) {
        if (foldUnit(a[i]) != foldUnit(b[i])) return false;
    }
    return true;
}

bool equalsNoCaseLocale(const char16_t* a, const char16_t* b) {
    size_t aLength = 0, bLength = 0;
    while (a[aLength] != 0) ++aLength;
    while (b[bLength] != 0) ++bLength;
    return equalsNoCaseLocale(a, aLength, b, bLength);
}

int64_t findBytes(const char* text, size_t length, const char* needle, size_t needleLength) {
    if (needleLength > length) return -1;
    for (size_t i = 0; i + needleLength <= length; ++i) {
        size_t k = 0;
        while (k < needleLength && text[i + k] == needle[k]) ++k;
        if (k == needleLength) return static_cast<int64_t>(i);
    }
    return -1;
}

size_t skipSpaces(const char* text, size_t length, size_t start) {
    size_t i = start;
    while (i < length && text[i] == ' ') ++i;
    return i < start ? 0 : i - start;
}

size_t boundedLength(const char16_t* text, size_t max) {
    size_t n = 0;
    while (n < max && text[n] != 0) ++n;
    return n;
}

// ---- Copies ----------------------------------------------------------------------------

namespace {

template <typename Ch>
size_t copyBoundedT(Ch* dst, size_t capacity, const Ch* src) {
    if (capacity == 0) return 0;
    size_t n = 0;
    if (src) {
        while (n + 1 < capacity && src[n] != 0) {
            dst[n] = src[n];
            ++n;
        }
    }
    dst[n] = 0;
    return n;
}

template <typename Ch>
size_t appendBoundedT(Ch* dst, size_t capacity, const Ch* src) {
    size_t used = 0;
    while (used < capacity && dst[used] != 0) ++used;
    if (used >= capacity) return used;  // not terminated within capacity: leave it alone
    return used + copyBoundedT(dst + used, capacity - used, src);
}

}  // namespace

size_t copyBounded(char* dst, size_t capacity, const char* src) { return copyBoundedT(dst, capacity, src); }
size_t copyBounded(char16_t* dst, size_t capacity, const char16_t* src) {
    return copyBoundedT(dst, capacity, src);
}
size_t appendBounded(char* dst, size_t capacity, const char* src) { return appendBoundedT(dst, capacity, src); }
size_t appendBounded(char16_t* dst, size_t capacity, const char16_t* src) {
    return appendBoundedT(dst, capacity, src);
}

bool appendChar(char16_t* dst, size_t capacity, char16_t c) {
    size_t used = 0;
    while (used < capacity && dst[used] != 0) ++used;
    if (used + 1 >= capacity) return false;
    dst[used] = c;
    dst[used + 1] = 0;
    return true;
}

// ---- Dates -----------------------------------------------------------------------------

size_t formatHttpDate(const CalendarTime& time, char* out, size_t capacity) {
    Writer<char> w(out, capacity);
    w.put(time.weekday >= 0 && time.weekday <= 6 ? kWeekdays[time.weekday] : kWeekdays[0]);
    w.put(", ");
    putTwoDigits(w, time.day, 1, 31);
    w.put(' ');
    w.put(time.month >= 1 && time.month <= 12 ? kMonths[time.month - 1] : kMonths[0]);
    w.put(' ');
    putDigits(w, static_cast<uint64_t>(time.year >= 1601 && time.year <= 9999 ? time.year : 9999));
    w.put(' ');
    putTwoDigits(w, time.hour, 0, 23);
    w.put(':');
    putTwoDigits(w, time.minute, 0, 59);
    w.put(':');
    putTwoDigits(w, time.second, 0, 59);
    w.put(" GMT");
    return w.finish();
}

CalendarTime calendarFromUnixTime(int64_t seconds) {
    // Days-to-civil over 400-year eras (146,097 days each), valid for every 64-bit day count
    // that maps to a representable year.
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    CalendarTime t{};
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest % 3600 / 60);
    t.second = static_cast<int>(rest % 60);
    // 1970-01-01 was a Thursday.
    int64_t weekday = (days + 4) % 7;
    t.weekday = static_cast<int>(weekday < 0 ? weekday + 7 : weekday);
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    t.year = static_cast<int>(yoe + era * 400 + (t.month <= 2 ? 1 : 0));
    return t;
}

size_t currentHttpDate(char* out, size_t capacity) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const int64_t seconds = std::chrono::duration_cast<std::chrono::seconds>(now).count();
    return formatHttpDate(calendarFromUnixTime(seconds), out, capacity);
}

// ---- Credentials -----------------------------------------------------------------------

size_t decodeBase64(const char* text, size_t length, char* out) {
    // Stop once 497 bytes are out: one more group of three still fits below 500 with the NUL.
    const size_t kStopAt = kBase64OutputCapacity - 3;
    size_t n = 0;
    for (size_t i = 0; i + 4 <= length && n < kStopAt; i += 4) {
        int v[4];
        uint32_t bits = 0;
        for (int k = 0; k < 4; ++k) {
            v[k] = base64Value(static_cast<unsigned char>(text[i + k]));
            bits = (bits << 6) | static_cast<uint32_t>(v[k] < 0 ? 0 : v[k]);
        }
        out[n++] = static_cast<char>(bits >> 16);
        if (v[2] < 0 && v[3] < 0) continue;
        out[n++] = static_cast<char>(bits >> 8);
        if (v[3] < 0) continue;
        out[n++] = static_cast<char>(bits);
    }
    out[n] = 0;
    return n;
}

// ---- Unicode conversions ---------------------------------------------------------------

int64_t utf8ToUtf16(const char* bytes, size_t length, char16_t* out, size_t outCapacity) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes);
    size_t units = 0;
    for (size_t i = 0; i < length;) {
        uint32_t v = 0;
        const size_t n = decodeUtf8(b, length, i, &v);
        if (n == 0) return -1;
        units += v >= 0x10000 ? 2 : 1;
        i += n;
    }
    if (out && units <= outCapacity) {
        size_t o = 0;
        for (size_t i = 0; i < length;) {
            uint32_t v = 0;
            i += decodeUtf8(b, length, i, &v);
            if (v >= 0x10000) {
                v -= 0x10000;
                out[o++] = static_cast<char16_t>(0xD800 + (v >> 10));
                out[o++] = static_cast<char16_t>(0xDC00 + (v & 0x3FF));
            } else {
                out[o++] = static_cast<char16_t>(v);
            }
        }
    }
    return static_cast<int64_t>(units);
}

char16_t* newUtf16FromUtf8(const char* bytes, size_t length, size_t* outLength) {
    const int64_t units = utf8ToUtf16(bytes, length, nullptr, 0);
    if (units < 0) return nullptr;
    char16_t* text = new (std::nothrow) char16_t[static_cast<size_t>(units) + 1];
    if (!text) return nullptr;
    utf8ToUtf16(bytes, length, text, static_cast<size_t>(units));
    text[units] = 0;
    if (outLength) *outLength = static_cast<size_t>(units);
    return text;
}

size_t utf16ToUtf8(const char16_t* text, size_t length, char* out, size_t outCapacity) {
    // Two passes: the first measures, the second writes when the whole text fits.
    for (int pass = 0; pass < 2; ++pass) {
        size_t o = 0;
        for (size_t i = 0; i < length; ++i) {
            uint32_t v = text[i];
            if (v >= 0xD800 && v <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                v = 0x10000 + ((v - 0xD800) << 10) + (text[i + 1] - 0xDC00);
                ++i;
            } else if (v >= 0xD800 && v <= 0xDFFF) {
                v = 0xFFFD;
            }
            unsigned char enc[4];
            size_t n;
            if (v < 0x80) {
                enc[0] = static_cast<unsigned char>(v);
                n = 1;
            } else if (v < 0x800) {
                enc[0] = static_cast<unsigned char>(0xC0 | (v >> 6));
                enc[1] = static_cast<unsigned char>(0x80 | (v & 0x3F));
                n = 2;
            } else if (v < 0x10000) {
                enc[0] = static_cast<unsigned char>(0xE0 | (v >> 12));
                enc[1] = static_cast<unsigned char>(0x80 | ((v >> 6) & 0x3F));
                enc[2] = static_cast<unsigned char>(0x80 | (v & 0x3F));
                n = 3;
            } else {
                enc[0] = static_cast<unsigned char>(0xF0 | (v >> 18));
                enc[1] = static_cast<unsigned char>(0x80 | ((v >> 12) & 0x3F));
                enc[2] = static_cast<unsigned char>(0x80 | ((v >> 6) & 0x3F));
                enc[3] = static_cast<unsigned char>(0x80 | (v & 0x3F));
                n = 4;
            }
            if (pass == 1) {
                for (size_t k = 0; k < n; ++k) out[o + k] = static_cast<char>(enc[k]);
            }
            o += n;
        }
        if (pass == 1 || !out || o > outCapacity) return o;
    }
    return 0;
}

// ---- Escaping --------------------------------------------------------------------------

char* escapeForUrl(const char16_t* text, size_t length, size_t* outLength) {
    const size_t utf8Length = utf16ToUtf8(text, length, nullptr, 0);
    char* utf8 = new (std::nothrow) char[utf8Length + 1];
    if (!utf8) return nullptr;
    utf16ToUtf8(text, length, utf8, utf8Length);
    size_t escapedLength = 0;
    for (size_t i = 0; i < utf8Length; ++i) {
        escapedLength += keptInUrl(static_cast<unsigned char>(utf8[i])) ? 1 : 3;
    }
    char* escaped = new (std::nothrow) char[escapedLength + 1];
    if (escaped) {
        static const char kHex[] = "0123456789ABCDEF";
        size_t o = 0;
        for (size_t i = 0; i < utf8Length; ++i) {
            const unsigned char b = static_cast<unsigned char>(utf8[i]);
            if (keptInUrl(b)) {
                escaped[o++] = static_cast<char>(b);
            } else {
                escaped[o++] = '%';
                escaped[o++] = kHex[b >> 4];
                escaped[o++] = kHex[b & 0xF];
            }
        }
        escaped[o] = 0;
        if (outLength) *outLength = o;
    }
    delete[] utf8;
    return escaped;
}

char16_t* decodeUrl(const char16_t* text, size_t length, size_t* outLength) {
    // Decoding only shrinks the text, so the byte buffer needs at most one byte per unit.
    char* bytes = new (std::nothrow) char[length + 1];
    if (!bytes) return nullptr;
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == u'%') {
            if (i + 2 < length) {
                bytes[n++] = static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
                i += 2;
            }
            continue;
        }
        bytes[n++] = static_cast<char>(text[i] & 0xFF);
    }
    char16_t* decoded = newUtf16FromUtf8(bytes, n, outLength);
    delete[] bytes;
    return decoded;
}

char16_t* escapeSpaces(const char16_t* text, size_t length, size_t* outLength) {
    size_t escapedLength = 0;
    for (size_t i = 0; i < length; ++i) escapedLength += (text[i] == u' ' || text[i] == u'%') ? 3 : 1;
    char16_t* escaped = new (std::nothrow) char16_t[escapedLength + 1];
    if (!escaped) return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == u' ' || text[i] == u'%') {
            escaped[o++] = u'%';
            escaped[o++] = u'2';
            escaped[o++] = text[i] == u' ' ? u'0' : u'5';
        } else {
            escaped[o++] = text[i];
        }
    }
    escaped[o] = 0;
    if (outLength) *outLength = o;
    return escaped;
}

size_t escapeHtml(const char16_t* text, size_t length, char* out, size_t capacity) {
    Writer<char> w(out, capacity);
    putHtml(w, text, length);
    return w.finish();
}

size_t htmlEscapedLength(const char16_t* text, size_t length) {
    size_t total = 0;
    for (size_t i = 0; i < length; ++i) {
        if (isHtmlSafe(text[i])) {
            ++total;
        } else {
            char entity[10];
            total += entityOf(text[i], entity);
        }
    }
    return total;
}

size_t htmlDisplayName(const char16_t* name, size_t length, char* out, size_t capacity) {
    Writer<char> w(out, capacity);
    // ".." only after the whole 29 units went in, so a cut name never ends in half an entity.
    if (putHtml(w, name, length < kDisplayNameUnits ? length : kDisplayNameUnits) && length > kDisplayNameUnits) {
        w.put("..");
    }
    return w.finish();
}

static bool equalsUpperAscii(const char16_t* text, size_t length, const char* word) {
    size_t i = 0;
    for (; i < length && word[i]; ++i) {
        char16_t c = text[i];
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
        if (c != static_cast<unsigned char>(word[i]))
            return false;
    }
    return i == length && word[i] == 0;
}

bool isDeviceName(const char16_t* name, size_t length) {
    size_t stem = 0;
    while (stem < length && name[stem] != u'.')
        ++stem;
    while (stem > 0 && name[stem - 1] == u' ')
        --stem;
    static const char* const kPlain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* word : kPlain) {
        if (equalsUpperAscii(name, stem, word))
            return true;
    }
    if (stem == 4 && (equalsUpperAscii(name, 3, "COM") || equalsUpperAscii(name, 3, "LPT"))) {
        char16_t digit = name[3];
        return (digit >= u'0' && digit <= u'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
    }
    return false;
}
