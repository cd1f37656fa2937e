// Response-head parser of the clients: one pass, lines ending at CR LF, the status line matched
// on its first 12 bytes, then the six known fields. Reads never pass the given length, since
// the head comes from any server on the Internet.
#include "ResponseHeader.h"

#include <cstdint>
#include <new>

#include "HeadSpan.h"
#include "TextHelpers.h"

namespace {

// Bytes a file name may not carry: NUL and the characters Windows file names forbid.
bool droppedFromFileName(unsigned char c) {
    switch (c) {
        case 0: case '"': case '*': case '/': case ':': case '<': case '>': case '?': case '\\': case '|':
            return true;
        default:
            return false;
    }
}

class Parser {
public:
    explicit Parser(ResponseHeader* record) : record_(record) {}

    // Replaces an owned text with a copy of value (bytes not passing keep() are left out);
    // an empty result clears the field.
    template <typename Keep>
    void store(char** text, int32_t* textLength, bool* found, Span value, Keep keep) {
        size_t n = 0;
        for (size_t i = 0; i < value.length; ++i) n += keep(static_cast<unsigned char>(value.data[i])) ? 1 : 0;
        if (n > static_cast<size_t>(INT32_MAX)) return;
        char* copy = nullptr;
        if (n != 0) {
            copy = new (std::nothrow) char[n + 1];
            if (!copy) {
                outOfMemory_ = true;
                return;
            }
            size_t o = 0;
            for (size_t i = 0; i < value.length; ++i) {
                if (keep(static_cast<unsigned char>(value.data[i]))) copy[o++] = value.data[i];
            }
            copy[n] = 0;
        }
        delete[] *text;
        *text = copy;
        *textLength = static_cast<int32_t>(n);
        *found = copy != nullptr;
    }

    void headerLine(Span line) {
        const size_t colon = indexOf(line, ':');
        if (colon == 0 || colon >= line.length) return;
        const Span name = prefix(line, colon);
        const Span afterColon{line.data + colon + 1, line.length - colon - 1};
        const size_t blanks = skipSpaces(afterColon.data, afterColon.length, 0);
        const Span value{afterColon.data + blanks, afterColon.length - blanks};
        const auto keepAll = [](unsigned char) { return true; };

        if (equalsKeyword("content-length", name.data, name.length)) {
            const Span number = prefix(value, indexOf(value, ';'));
            // parseDecimal gives -1 for non-digits and for values beyond INT64_MAX.
            const int64_t contentLength = number.length == 0 ? -1 : parseDecimal(number.data, number.length);
            if (contentLength >= 0) {
                record_->contentLength = contentLength;
                record_->contentLengthFound = true;
            }
        } else if (equalsKeyword("accept-ranges", name.data, name.length)) {
            const Span token = prefix(value, indexOf(value, ' '));
            if (equalsKeyword("bytes", token.data, token.length)) record_->byteRanges = true;
        } else if (equalsKeyword("content-type", name.data, name.length)) {
            const Span type = prefix(value, indexOf(value, ';'));
            if (type.length != 0) {
                store(&record_->contentType, &record_->contentTypeLength, &record_->contentTypeFound, type, keepAll);
            }
        } else if (equalsKeyword("location", name.data, name.length)) {
            const Span location = prefix(value, indexOf(value, ';'));
            if (location.length != 0) {
                store(&record_->location, &record_->locationLength, &record_->locationFound, location, keepAll);
            }
        } else if (equalsKeyword("content-disposition", name.data, name.length)) {
            static const char kFileName[] = "filename=";
            const size_t kFileNameLength = sizeof kFileName - 1;
            const int64_t at = findBytes(afterColon.data, afterColon.length, kFileName, kFileNameLength);
            if (at < 0) return;
            const size_t start = static_cast<size_t>(at) + kFileNameLength;
            if (start >= afterColon.length) return;
            const Span fileNameValue{afterColon.data + start, afterColon.length - start};
            store(&record_->fileName, &record_->fileNameLength, &record_->fileNameFound, fileNameValue,
                  [](unsigned char c) { return !droppedFromFileName(c); });
        }
    }

    bool outOfMemory() const { return outOfMemory_; }

private:
    ResponseHeader* record_;
    bool outOfMemory_ = false;
};

struct StatusLine {
    const char* text;
    int32_t status;
};

const StatusLine kStatusLines[] = {
    {"http/1.1 200", kResponseOk},       {"http/1.1 206", kResponsePartial},
    {"http/1.1 404", kResponseNotFound}, {"http/1.1 301", kResponseMoved},
    {"http/1.1 401", kResponseAuthNeeded},
};
const size_t kStatusPrefixLength = 12;

}  // namespace

ResponseParseResult parseResponseHeader(const char* bytes, size_t length, ResponseHeader* record) {
    size_t pos = 0;
    const Span statusLine = nextLine(bytes, length, &pos);
    if (statusLine.length < kStatusPrefixLength) return ResponseParseResult::kParsed;
    bool recognised = false;
    for (const StatusLine& known : kStatusLines) {
        if (equalsNoCase(statusLine.data, known.text, kStatusPrefixLength)) {
            record->status = known.status;
            record->version = kResponseVersion11;
            recognised = true;
            break;
        }
    }
    // Heads of other versions and statuses are not read at all: the callers act on none of them.
    if (!recognised) return ResponseParseResult::kParsed;

    Parser parser(record);
    while (pos < length) {
        const Span line = nextLine(bytes, length, &pos);
        if (line.length == 0) break;
        parser.headerLine(line);
    }
    return parser.outOfMemory() ? ResponseParseResult::kOutOfMemory : ResponseParseResult::kParsed;
}

void freeResponseHeader(ResponseHeader* record) {
    delete[] record->contentType;
    delete[] record->fileName;
    delete[] record->location;
    *record = ResponseHeader();
}
