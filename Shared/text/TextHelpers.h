// Text, number and date helpers shared by both programs: display formatting, number parsing,
// ASCII keyword matching over unterminated byte buffers, bounded copies, Base64, URL and HTML
// escaping. Pure functions over (pointer, length) and fixed-capacity buffers; no <windows.h>.
#pragma once
#include <cstddef>
#include <cstdint>

// Capacities are in characters and include the terminating NUL. A helper never writes past
// the capacity; text that does not fit is cut. A capacity of 0 writes nothing at all.
// Functions returning a count return the characters written, terminator excluded.

// ---- Numbers to text -------------------------------------------------------------------

// Decimal digits of value, no sign, no grouping. Negative values are written as 0.
size_t formatDecimal(int64_t value, char* out, size_t capacity);
size_t formatDecimal(int64_t value, char16_t* out, size_t capacity);

// value in tenths: 123 -> "12.3", 5 -> ".5". Negative values are written as ".0".
size_t formatDecimalTenths(int64_t value, char* out, size_t capacity);
size_t formatDecimalTenths(int64_t value, char16_t* out, size_t capacity);

// Byte count for display: "1023 bytes", "1.5 kb", "10 kb", "4.8 MB", "10 GB".
size_t formatSize(int64_t bytes, char* out, size_t capacity);
size_t formatSize(int64_t bytes, char16_t* out, size_t capacity);

// "<size a> / <size b>" (progress: done of total). capacity is for the whole text.
constexpr size_t kSizePairCapacity16 = 64;   // a ConnectionStatus size text
constexpr size_t kSizePairCapacity8 = 200;
size_t formatSizePair(int64_t a, int64_t b, char* out, size_t capacity);
size_t formatSizePair(int64_t a, int64_t b, char16_t* out, size_t capacity);

// Seconds as "1d 2h", "3h ", "1m 30s", "45s"; 0 and negative give "".
constexpr size_t kDurationCapacity = 60;
size_t formatDuration(int64_t seconds, char16_t* out, size_t capacity);

// "first-last" (a Range header item). Negative values are written as 0.
size_t formatRange(int64_t first, int64_t last, char* out, size_t capacity);
size_t formatRange(int64_t first, int64_t last, char16_t* out, size_t capacity);

// "first-last/total" (a Content-Range value).
constexpr size_t kContentRangeCapacity = 60;
size_t formatContentRange(int64_t first, int64_t last, int64_t total, char* out, size_t capacity);

// "a.b.c.d:port". addressNetworkOrder holds the first octet in its lowest byte, as in
// sockaddr_in.sin_addr read on a little-endian machine; port is in host order.
constexpr size_t kAddressCapacity = 30;
size_t formatAddress(uint32_t addressNetworkOrder, uint16_t port, char16_t* out, size_t capacity);

// ---- Text to numbers -------------------------------------------------------------------

// All characters must be "0"-"9", else -1; the empty text gives 0. A value above INT64_MAX
// also gives -1, so callers that reject -1 reject overflowing input too.
int64_t parseDecimal(const char* text, size_t length);
int64_t parseDecimal(const char16_t* text, size_t length);

// ---- Matching --------------------------------------------------------------------------

// n bytes equal with only ASCII A-Z folded to lower case.
bool equalsNoCase(const char* a, const char* b, size_t n);
// keyword: NUL-terminated, lower case. True when length matches and the bytes are equal
// under the same folding. How every header name, method, scheme and token is matched.
bool equalsKeyword(const char* keyword, const char* text, size_t length);
// Case-insensitive equality of two UTF-16 texts as the system's neutral-locale comparison
// (CompareStringW, NORM_IGNORECASE) sees it for file names: simple one-to-one Unicode case
// folding of each code unit. The NUL-terminated form stops at the terminator. Shared names
// are compared by the system itself, which differs from this on a few letters (the long s,
// the sharp s against "ss"); this is the portable stand-in where the system is not at hand.
bool equalsNoCaseLocale(const char16_t* a, size_t aLength, const char16_t* b, size_t bLength);
bool equalsNoCaseLocale(const char16_t* a, const char16_t* b);
// First position of needle in text (case-sensitive), or -1 when absent or needle is longer.
// An empty needle is found at 0.
int64_t findBytes(const char* text, size_t length, const char* needle, size_t needleLength);
// Number of " " characters from start to the first other character or the end.
size_t skipSpaces(const char* text, size_t length, size_t start);
// Length of a NUL-terminated text, at most max (text may be unterminated beyond max).
size_t boundedLength(const char16_t* text, size_t max);

// ---- Copies ----------------------------------------------------------------------------

// Copies until src's terminator or capacity - 1 characters, then terminates. src may be null
// (copies nothing). Returns the number copied.
size_t copyBounded(char* dst, size_t capacity, const char* src);
size_t copyBounded(char16_t* dst, size_t capacity, const char16_t* src);
// Appends at dst's current end (dst must be terminated within capacity), cutting to fit.
// Returns dst's new length.
size_t appendBounded(char* dst, size_t capacity, const char* src);
size_t appendBounded(char16_t* dst, size_t capacity, const char16_t* src);
// Appends one character when there is room; returns whether it did.
bool appendChar(char16_t* dst, size_t capacity, char16_t c);

// ---- Dates -----------------------------------------------------------------------------

// A UTC calendar time with the fields of the system's time record: month 1-12, weekday
// 0 (Sunday) - 6, day 1-31.
struct CalendarTime {
    int year;
    int month;
    int weekday;
    int day;
    int hour;
    int minute;
    int second;
};

// "Sun, 06 Nov 1994 08:49:37 GMT". Out-of-range fields fall back to "Sun", "Jan", "00",
// and year "9999" outside 1601-9999.
constexpr size_t kHttpDateCapacity = 30;
size_t formatHttpDate(const CalendarTime& time, char* out, size_t capacity);
// Seconds since 1970-01-01 00:00:00 UTC to a calendar time (proleptic Gregorian).
CalendarTime calendarFromUnixTime(int64_t seconds);
// formatHttpDate of the current UTC time.
size_t currentHttpDate(char* out, size_t capacity);

// ---- Credentials -----------------------------------------------------------------------

// Decodes Base64 (standard alphabet; any other character counts as padding) in whole groups
// of four. out must hold kBase64OutputCapacity bytes; at most 499 bytes are produced and the
// result is always NUL-terminated. Returns the number of bytes decoded.
constexpr size_t kBase64OutputCapacity = 500;
size_t decodeBase64(const char* text, size_t length, char* out);

// ---- Unicode conversions ---------------------------------------------------------------

// Strict UTF-8 -> UTF-16 (rejects what MultiByteToWideChar with MB_ERR_INVALID_CHARS
// rejects: bad lead or continuation bytes, overlong forms, surrogates, values above
// U+10FFFF, truncated sequences). Returns the UTF-16 units the text needs, or -1 when it is
// not valid UTF-8. Writes only when out is not null and everything fits in outCapacity
// units (no terminator written); otherwise it only measures.
int64_t utf8ToUtf16(const char* bytes, size_t length, char16_t* out, size_t outCapacity);
// The same into a new NUL-terminated text (delete[]); null when invalid or out of memory.
// The empty text converts to an empty text.
char16_t* newUtf16FromUtf8(const char* bytes, size_t length, size_t* outLength);
// UTF-16 -> UTF-8; a lone surrogate becomes U+FFFD (EF BF BD), as the system's converter
// does without WC_ERR_INVALID_CHARS. Returns the bytes needed; writes only when they fit.
size_t utf16ToUtf8(const char16_t* text, size_t length, char* out, size_t outCapacity);

// ---- Escaping --------------------------------------------------------------------------
// Texts returned as "new ... owned by the caller" are allocated with new[] (nothrow) and
// freed with delete[]; null means out of memory. outLength may be null.

// UTF-16 -> UTF-8, then every byte outside the kept set as "%XX" (upper-case hex). Kept:
// letters, digits, "%", "&", "(" to "/", ":" to "@", "[" to "]", "_", "{" to "}".
char* escapeForUrl(const char16_t* text, size_t length, size_t* outLength);
// "%XX" (hex of either case; a non-hex digit counts as 0) becomes that byte; a "%" in the
// last two positions is dropped; other characters are taken as their low byte. The bytes are
// then read as strict UTF-8. Null when they are not valid UTF-8 (or out of memory).
char16_t* decodeUrl(const char16_t* text, size_t length, size_t* outLength);
// " " -> "%20", "%" -> "%25", all else unchanged.
char16_t* escapeSpaces(const char16_t* text, size_t length, size_t* outLength);
// HTML-safe 8-bit text of UTF-16 units: "A"-"Z", "a"-"z", "0"-"9", ".", "_", "-", "~" as they
// are, any other unit as "&#%u;". Stops before a unit whose text does not fit (never leaves
// half an entity). Returns the bytes written; htmlEscapedLength gives the full length.
size_t escapeHtml(const char16_t* text, size_t length, char* out, size_t capacity);
size_t htmlEscapedLength(const char16_t* text, size_t length);
// escapeHtml of the first 29 units of name, followed by ".." when it has 30 or more.
constexpr size_t kDisplayNameUnits = 29;
size_t htmlDisplayName(const char16_t* name, size_t length, char* out, size_t capacity);

// CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9 and LPT0-9 (superscript one to three too), with or
// without an extension and trailing blanks: the system opens these as devices in any folder, so
// no file may be created under them.
bool isDeviceName(const char16_t* name, size_t length);
