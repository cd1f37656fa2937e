// What the downloader reads from a response head beyond the shared parser's fields: any
// HTTP/1.1 status code (the redirects the web uses), a named field's raw value, and the
// Content-Range that proves which bytes an answer carries. Portable: no <windows.h>.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The three digits of an "HTTP/1.1 NNN" status line (letters folded), 0 when there are none.
int headStatusCode(const char* head, size_t length);

// 301, 302, 303, 307 and 308: answers that name the file's new place in Location.
bool isRedirectStatus(int code);

// The value of the last header line named `name` (ASCII letters folded; no blank before the
// colon), from after the colon and its blanks to the end of the line. False when there is none.
bool headField(const char* head, size_t length, const char* name, std::string* value);

// "bytes FIRST-LAST/TOTAL"; total is -1 for "*". Only a well-formed value with
// first <= last < total (when known) is accepted.
struct ContentRange {
    int64_t first;
    int64_t last;
    int64_t total;
};
bool parseContentRange(const std::string& value, ContentRange* out);

// The head's Content-Range, parsed; false when it is missing or malformed.
bool headContentRange(const char* head, size_t length, ContentRange* out);
