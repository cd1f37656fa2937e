// HeadFields: status codes, raw field values and Content-Range, read in one pass each.
#include "HeadFields.h"

namespace {

char folded(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Digits of text from *at, advanced past them; false when there are none or they overflow.
bool readNumber(const std::string& text, size_t* at, int64_t* value) {
    size_t i = *at;
    int64_t v = 0;
    while (i < text.size() && isDigit(text[i])) {
        int digit = text[i] - '0';
        if (v > (INT64_MAX - digit) / 10)
            return false;
        v = v * 10 + digit;
        ++i;
    }
    if (i == *at)
        return false;
    *at = i;
    *value = v;
    return true;
}

}  // namespace

int headStatusCode(const char* head, size_t length) {
    static const char prefix[] = "http/1.1 ";
    const size_t prefixLength = sizeof prefix - 1;
    if (length < prefixLength + 3)
        return 0;
    for (size_t i = 0; i < prefixLength; ++i) {
        if (folded(head[i]) != prefix[i])
            return 0;
    }
    int code = 0;
    for (size_t i = prefixLength; i < prefixLength + 3; ++i) {
        if (!isDigit(head[i]))
            return 0;
        code = code * 10 + (head[i] - '0');
    }
    // "HTTP/1.1 2000" is no status line of ours either.
    if (length > prefixLength + 3 && isDigit(head[prefixLength + 3]))
        return 0;
    return code >= 100 ? code : 0;
}

bool isRedirectStatus(int code) {
    return code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
}

bool headField(const char* head, size_t length, const char* name, std::string* value) {
    size_t nameLength = 0;
    while (name[nameLength])
        ++nameLength;
    bool found = false;
    size_t line = 0;
    // The status line is skipped: fields start after its CR LF.
    while (line < length && !(line + 1 < length && head[line] == '\r' && head[line + 1] == '\n'))
        ++line;
    line += 2;
    while (line < length) {
        size_t end = line;
        while (end < length && !(end + 1 < length && head[end] == '\r' && head[end + 1] == '\n'))
            ++end;
        if (end == line)
            break;  // the empty line ends the head
        if (end - line > nameLength && head[line + nameLength] == ':') {
            bool same = true;
            for (size_t i = 0; i < nameLength && same; ++i)
                same = folded(head[line + i]) == folded(name[i]);
            if (same) {
                size_t from = line + nameLength + 1;
                while (from < end && head[from] == ' ')
                    ++from;
                value->assign(head + from, end - from);
                found = true;
            }
        }
        line = end + 2;
    }
    return found;
}

bool parseContentRange(const std::string& value, ContentRange* out) {
    static const char unit[] = "bytes ";
    size_t at = sizeof unit - 1;
    if (value.size() < at)
        return false;
    for (size_t i = 0; i < at; ++i) {
        if (folded(value[i]) != unit[i])
            return false;
    }
    ContentRange range;
    if (!readNumber(value, &at, &range.first) || at >= value.size() || value[at] != '-')
        return false;
    ++at;
    if (!readNumber(value, &at, &range.last) || at >= value.size() || value[at] != '/')
        return false;
    ++at;
    if (at < value.size() && value[at] == '*') {
        range.total = -1;
        ++at;
    } else if (!readNumber(value, &at, &range.total)) {
        return false;
    }
    while (at < value.size() && value[at] == ' ')
        ++at;
    if (at != value.size() || range.first > range.last || (range.total >= 0 && range.last >= range.total))
        return false;
    *out = range;
    return true;
}

bool headContentRange(const char* head, size_t length, ContentRange* out) {
    std::string value;
    return headField(head, length, "content-range", &value) && parseContentRange(value, out);
}
