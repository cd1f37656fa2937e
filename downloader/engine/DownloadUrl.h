// The text rules of a download's identity: splitting a URL into host, port and path, the file
// name a URL or a chosen local path gives, the "(n)" names tried when a file exists, and the
// cleaning of a server-suggested name. Portable: no <windows.h>.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Offsets into the URL text. The host is url[hostStart, hostStart + hostLength) (already cut
// at a port colon); the path runs from pathStart (a "/") to the end of the URL.
struct UrlParts {
    bool secure;      // the scheme is "https" (any case): TLS, port 443 unless one is given
    size_t hostStart;
    size_t hostLength;
    bool portGiven;   // false: the caller keeps the port it had (80 for a new download)
    uint16_t port;
    size_t pathStart;
};

// False when the URL has no "/" after its host or the host is empty. A "://" counts as the
// scheme separator only before the first other "/", so a URL without a scheme whose query
// holds another URL still names its own host. Any scheme but "https" is read as plain HTTP.
bool splitDownloadUrl(const char16_t* url, size_t length, UrlParts* out);

// The file name a URL path gives: its last non-empty component, made safe for a file name
// (see safeFileName); "download" when nothing usable is left.
std::u16string urlFileName(const char16_t* path, size_t length);

// The file name part of a local path: after its last "\" or "/"; "D" when that is empty.
std::u16string localPathFileName(const char16_t* path, size_t length);

// path with "(n)" before the last "." of its file name part (at its end when the name has no
// dot): C:\dl\a.b\file.zip -> C:\dl\a.b\file(1).zip. n is 1..9.
std::u16string numberedPath(const char16_t* path, size_t length, int n);

// A name that stays inside a folder: separators, drive and stream colons, wildcards, quotes,
// angle brackets, bars and control characters become "_"; trailing dots and spaces go (so "."
// and ".." become empty); a device name (CON, NUL, COM1, ...) gets a leading "_". Empty when
// nothing is left.
std::u16string safeFileName(const char16_t* name, size_t length);

// A content-disposition name (one UTF-16 unit per byte, bytes 128-255 as U+0080-U+00FF): only
// its last "/" or "\" component, then safeFileName. Empty when unusable: the caller keeps the
// URL's file name.
std::u16string safeDispositionName(const char* name, size_t length);

// The port a URL without one names: 443 for "https", else 80.
inline uint16_t defaultPort(const UrlParts& parts) { return parts.secure ? 443 : 80; }
