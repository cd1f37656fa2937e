// URL splitting and file-name rules of a download (see the header). Pure functions; the entry
// keeps the texts.
#include "DownloadUrl.h"

#include "TextHelpers.h"

namespace {

bool isSeparator(char16_t c) {
    return c == u'\\' || c == u'/';
}

bool unsafeInName(char16_t c) {
    return c < 32 || c == 0x7F || c == u'\\' || c == u'/' || c == u':' || c == u'*' ||
           c == u'?' || c == u'"' || c == u'<' || c == u'>' || c == u'|';
}

bool isHttpsScheme(const char16_t* text, size_t length) {
    static const char16_t kHttps[] = u"https";
    if (length != 5)
        return false;
    for (size_t i = 0; i < 5; ++i) {
        char16_t c = text[i] >= u'A' && text[i] <= u'Z' ? static_cast<char16_t>(text[i] + 32) : text[i];
        if (c != kHttps[i])
            return false;
    }
    return true;
}

size_t findFrom(const char16_t* text, size_t length, size_t from, char16_t c) {
    for (size_t i = from; i < length; ++i) {
        if (text[i] == c)
            return i;
    }
    return length;
}

}  // namespace

bool splitDownloadUrl(const char16_t* url, size_t length, UrlParts* out) {
    size_t hostStart = 0;
    const size_t firstSlash = findFrom(url, length, 0, u'/');
    if (firstSlash > 0 && firstSlash + 1 < length && url[firstSlash - 1] == u':' &&
        url[firstSlash + 1] == u'/')
        hostStart = firstSlash + 2;
    const size_t pathStart = findFrom(url, length, hostStart, u'/');
    if (pathStart == length || pathStart == hostStart)
        return false;

    size_t hostLength = pathStart - hostStart;
    bool portGiven = false;
    uint16_t port = 0;
    const size_t colon = findFrom(url, pathStart, hostStart, u':');
    if (colon > hostStart && colon + 1 < pathStart) {
        const size_t digits = pathStart - colon - 1;
        const int64_t value = parseDecimal(url + colon + 1, digits);
        if (digits <= 10 && value >= 1 && value <= 65535) {
            portGiven = true;
            port = static_cast<uint16_t>(value);
        }
        hostLength = colon - hostStart;
    }
    out->secure = hostStart > 0 && isHttpsScheme(url, firstSlash - 1);
    out->hostStart = hostStart;
    out->hostLength = hostLength;
    out->portGiven = portGiven;
    out->port = port;
    out->pathStart = pathStart;
    return true;
}

std::u16string safeFileName(const char16_t* name, size_t length) {
    std::u16string safe(name, length);
    for (char16_t& c : safe) {
        if (unsafeInName(c))
            c = u'_';
    }
    // The file system drops trailing dots and spaces itself; dropping them here keeps "." and
    // ".." (which become empty) and "CON." out.
    while (!safe.empty() && (safe.back() == u'.' || safe.back() == u' '))
        safe.pop_back();
    if (!safe.empty() && isDeviceName(safe.data(), safe.size()))
        safe.insert(safe.begin(), u'_');
    return safe;
}

std::u16string urlFileName(const char16_t* path, size_t length) {
    // The last "/" that is not the last character; trailing separators are then dropped.
    size_t start = 0;
    for (size_t i = 0; i + 1 < length; ++i) {
        if (path[i] == u'/')
            start = i + 1;
    }
    size_t end = length;
    while (end > start && isSeparator(path[end - 1]))
        --end;
    std::u16string name = safeFileName(path + start, end - start);
    if (name.empty())
        return u"download";
    return name;
}

std::u16string localPathFileName(const char16_t* path, size_t length) {
    size_t start = 0;
    for (size_t i = 0; i < length; ++i) {
        if (isSeparator(path[i]))
            start = i + 1;
    }
    if (start == length)
        return u"D";
    return std::u16string(path + start, length - start);
}

std::u16string numberedPath(const char16_t* path, size_t length, int n) {
    size_t nameStart = 0;
    for (size_t i = 0; i < length; ++i) {
        if (isSeparator(path[i]))
            nameStart = i + 1;
    }
    size_t dot = length;
    for (size_t i = length; i > nameStart; --i) {
        if (path[i - 1] == u'.') {
            dot = i - 1;
            break;
        }
    }
    char16_t number[24];
    const size_t digits = formatDecimal(n, number, sizeof number / sizeof *number);
    std::u16string result(path, dot);
    result += u'(';
    result.append(number, digits);
    result += u')';
    result.append(path + dot, length - dot);
    return result;
}

std::u16string safeDispositionName(const char* name, size_t length) {
    size_t start = 0;
    for (size_t i = 0; i < length; ++i) {
        if (name[i] == '/' || name[i] == '\\')
            start = i + 1;
    }
    std::u16string wide;
    wide.reserve(length - start);
    for (size_t i = start; i < length; ++i)
        wide += static_cast<char16_t>(static_cast<unsigned char>(name[i]));
    return safeFileName(wide.data(), wide.size());
}
