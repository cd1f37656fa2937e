// Request-head parser of the share server. One pass over the given bytes: the request line,
// then header lines up to the first empty one. Every read is bounded by the given length, since
// the head comes straight from the network.
#include "HttpRequest.h"

#include <new>

#include "HeadSpan.h"
#include "TextHelpers.h"

namespace {

Span afterIndex(Span s, size_t i) {
    return i < s.length ? Span{s.data + i + 1, s.length - i - 1} : Span{s.data + s.length, 0};
}

Span skipLeadingSpaces(Span s) {
    const size_t n = skipSpaces(s.data, s.length, 0);
    return Span{s.data + n, s.length - n};
}

char* newCopy(Span s) {
    char* copy = new (std::nothrow) char[s.length + 1];
    if (!copy) return nullptr;
    for (size_t i = 0; i < s.length; ++i) copy[i] = s.data[i];
    copy[s.length] = 0;
    return copy;
}

// Replaces an owned text with a copy of s; on allocation failure the old text is dropped too,
// so the field never holds a value older than the header that should have replaced it.
void replaceText(char** text, size_t* textLength, Span s) {
    delete[] *text;
    *text = newCopy(s);
    *textLength = *text ? s.length : 0;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

// "%XY" -> one byte (a non-hex digit counts as 0); a "%" among the last two characters is
// dropped; "+" stays. Output is never longer than the input.
void decodeTarget(HttpRequest* request, Span target) {
    char* decoded = new (std::nothrow) char[target.length + 1];
    if (!decoded) return;
    size_t n = 0;
    for (size_t i = 0; i < target.length; ++i) {
        if (target.data[i] == '%') {
            if (i + 2 < target.length) {
                decoded[n++] = static_cast<char>(hexValue(target.data[i + 1]) * 16 + hexValue(target.data[i + 2]));
                i += 2;
            }
            continue;
        }
        decoded[n++] = target.data[i];
    }
    decoded[n] = 0;
    request->path = decoded;
    request->pathLength = n;

    size_t units = 0;
    char16_t* wide = newUtf16FromUtf8(decoded, n, &units);
    if (!wide) return;
    const size_t htmlLength = htmlEscapedLength(wide, units);
    request->displayPath = new (std::nothrow) char[htmlLength + 1];
    if (request->displayPath) {
        request->displayPathLength = escapeHtml(wide, units, request->displayPath, htmlLength + 1);
    }
    delete[] wide;
}

// Request line: METHOD SP TARGET SP HTTP/1.x. Returns whether it was understood; the method
// and the path are kept even when the version is not.
bool parseRequestLine(HttpRequest* request, Span line) {
    const size_t methodEnd = indexOf(line, ' ');
    const Span method = prefix(line, methodEnd);
    if (equalsKeyword("get", method.data, method.length)) {
        request->method = kMethodGet;
    } else if (equalsKeyword("head", method.data, method.length)) {
        request->method = kMethodHead;
    } else if (equalsKeyword("post", method.data, method.length)) {
        request->method = kMethodPost;
    } else if (equalsKeyword("testcon", method.data, method.length)) {
        request->method = kMethodTestcon;
    } else {
        return false;
    }
    if (methodEnd >= line.length) return false;

    const Span rest = afterIndex(line, methodEnd);
    const size_t targetEnd = indexOf(rest, ' ');
    if (targetEnd == 0) return false;
    decodeTarget(request, prefix(rest, targetEnd));
    if (targetEnd >= rest.length) return false;

    const Span protocol = afterIndex(rest, targetEnd);
    const size_t slash = indexOf(protocol, '/');
    if (slash >= protocol.length || !equalsKeyword("http", protocol.data, slash)) return false;
    const Span versionText = afterIndex(protocol, slash);
    const Span version = prefix(versionText, indexOf(versionText, ' '));
    if (version.length != 3) return false;
    if (version.data[0] == '1' && version.data[1] == '.' && version.data[2] == '1') {
        request->version = kVersion11;
    } else if (version.data[0] == '1' && version.data[1] == '.' && version.data[2] == '0') {
        request->version = kVersion10;
    } else {
        return false;
    }
    return true;
}

// "bytes=" then comma-separated first-last, first- or -suffix items with digits only. Any bad
// item discards the whole header; a trailing comma is harmless.
void parseRange(HttpRequest* request, Span value) {
    const size_t equals = indexOf(value, '=');
    if (equals >= value.length || !equalsKeyword("bytes", value.data, equals)) return;
    const Span list = afterIndex(value, equals);
    if (list.length == 0) return;

    size_t capacity = 1;
    for (size_t i = 0; i < list.length; ++i) capacity += list.data[i] == ',' ? 1 : 0;
    ByteRange* ranges = new (std::nothrow) ByteRange[capacity];
    if (!ranges) return;
    size_t count = 0;
    Span rest = list;
    bool valid = true;
    while (rest.length > 0 && valid) {
        const size_t itemEnd = indexOf(rest, ',');
        const Span item = prefix(rest, itemEnd);
        rest = afterIndex(rest, itemEnd);
        const size_t hyphen = indexOf(item, '-');
        if (hyphen >= item.length) {
            valid = false;
            break;
        }
        const Span firstText = prefix(item, hyphen);
        const Span lastText = afterIndex(item, hyphen);
        ByteRange range{-1, -1};
        if (firstText.length == 0) {
            range.last = lastText.length == 0 ? -1 : parseDecimal(lastText.data, lastText.length);
            valid = range.last >= 0;
        } else {
            range.first = parseDecimal(firstText.data, firstText.length);
            if (lastText.length != 0) range.last = parseDecimal(lastText.data, lastText.length);
            // parseDecimal gives -1 for anything that is not all digits or does not fit.
            valid = range.first >= 0 && (lastText.length == 0 || range.last >= range.first);
        }
        ranges[count++] = range;
    }
    if (!valid || count == 0) {
        delete[] ranges;
        return;
    }
    delete[] request->ranges;
    request->ranges = ranges;
    request->rangeCount = count;
    request->hasRange = true;
}

void parseAuthorization(HttpRequest* request, Span value) {
    const size_t schemeEnd = indexOf(value, ' ');
    if (schemeEnd >= value.length || !equalsKeyword("basic", value.data, schemeEnd)) return;
    Span encoded = afterIndex(value, schemeEnd);
    encoded = prefix(encoded, indexOf(encoded, ';'));
    char decoded[kBase64OutputCapacity];
    const Span credentials{decoded, decodeBase64(encoded.data, encoded.length, decoded)};
    const size_t colon = indexOf(credentials, ':');
    if (colon >= credentials.length) return;
    const Span user = prefix(credentials, colon);
    Span password = afterIndex(credentials, colon);
    password = prefix(password, indexOf(password, ':'));
    replaceText(&request->user, &request->userLength, user);
    replaceText(&request->password, &request->passwordLength, password);
    request->hasCredentials = request->user && request->password;
}

void parseContentType(HttpRequest* request, Span value) {
    const size_t typeEnd = indexOf(value, ';');
    if (typeEnd >= value.length || !equalsKeyword("multipart/form-data", value.data, typeEnd)) return;
    const Span parameter = skipLeadingSpaces(afterIndex(value, typeEnd));
    const size_t equals = indexOf(parameter, '=');
    if (equals >= parameter.length || !equalsKeyword("boundary", parameter.data, equals)) return;
    Span boundary = afterIndex(parameter, equals);
    boundary = prefix(boundary, indexOf(boundary, ';'));
    if (boundary.length == 0) return;
    replaceText(&request->boundary, &request->boundaryLength, boundary);
    request->hasBoundary = request->boundary != nullptr;
}

void parseHeaderLine(HttpRequest* request, Span line) {
    const size_t colon = indexOf(line, ':');
    if (colon >= line.length) return;
    const Span name = prefix(line, colon);
    const Span value = skipLeadingSpaces(afterIndex(line, colon));
    if (equalsKeyword("range", name.data, name.length)) {
        parseRange(request, value);
    } else if (equalsKeyword("host", name.data, name.length)) {
        const Span host = prefix(value, indexOf(value, ':'));
        if (host.length != 0) replaceText(&request->host, &request->hostLength, host);
    } else if (equalsKeyword("authorization", name.data, name.length)) {
        parseAuthorization(request, value);
    } else if (equalsKeyword("content-type", name.data, name.length)) {
        parseContentType(request, value);
    } else if (equalsKeyword("expect", name.data, name.length)) {
        Span expectation = value;
        while (expectation.length && (expectation.data[expectation.length - 1] == ' ' ||
                                      expectation.data[expectation.length - 1] == '\t'))
            --expectation.length;
        request->expectContinue = equalsKeyword("100-continue", expectation.data, expectation.length);
    } else if (equalsKeyword("content-length", name.data, name.length)) {
        const Span number = prefix(value, indexOf(value, ';'));
        // An empty value is no length; parseDecimal rejects non-digits and overflow with -1.
        const int64_t contentLength = number.length == 0 ? -1 : parseDecimal(number.data, number.length);
        if (contentLength >= 0) {
            request->contentLength = contentLength;
            request->hasContentLength = true;
        }
    }
}

}  // namespace

void parseRequestHead(HttpRequest* request, const char* buffer, size_t length) {
    size_t pos = 0;
    const Span requestLine = nextLine(buffer, length, &pos);
    if (parseRequestLine(request, requestLine)) {
        while (pos < length) {
            const Span line = nextLine(buffer, length, &pos);
            if (line.length == 0) break;
            parseHeaderLine(request, line);
        }
    }
    if (request->path) {
        const size_t query = indexOf(Span{request->path, request->pathLength}, '?');
        if (query == 0) request->method = kMethodUnknown;
        if (query < request->pathLength) {
            replaceText(&request->query, &request->queryLength,
                        Span{request->path + query + 1, request->pathLength - query - 1});
            request->path[query] = 0;
            request->pathLength = query;
        }
    }
}

void freeRequest(HttpRequest* request) {
    delete[] request->path;
    delete[] request->query;
    delete[] request->displayPath;
    delete[] request->host;
    delete[] request->user;
    delete[] request->password;
    delete[] request->boundary;
    delete[] request->ranges;
    *request = HttpRequest();
}
