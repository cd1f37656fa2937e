// UpdateRules: the check response's version number and the installer download's assembly.
#include "UpdateRules.h"

#include <new>
#include <string.h>

#include "ResponseHeader.h"
#include "TextHelpers.h"

namespace {

// Index of the first CR LF CR LF, searched from index 3 as the requesters do; -1 when none.
int64_t findBlankLine(const char* bytes, size_t length) {
    for (size_t i = 3; i < length; ++i) {
        if (bytes[i] == '\n' && bytes[i - 1] == '\r' && bytes[i - 2] == '\n' && bytes[i - 3] == '\r')
            return static_cast<int64_t>(i - 3);
    }
    return -1;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Media types are compared without regard to case.
bool sameIgnoringCase(const char* text, int32_t length, const char* expected) {
    size_t expectedLength = strlen(expected);
    if (length < 0 || static_cast<size_t>(length) != expectedLength)
        return false;
    for (size_t i = 0; i < expectedLength; ++i) {
        if (lower(text[i]) != lower(expected[i]))
            return false;
    }
    return true;
}

bool isBase64Char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
           c == '=';
}

// The value of the first header line named `name` (without regard to case), blanks around it
// trimmed; null when there is none.
const char* findHeaderValue(const char* head, size_t length, const char* name, size_t* valueLength) {
    const size_t nameLength = strlen(name);
    size_t line = 0;
    while (line < length) {
        size_t end = line;
        while (end < length && head[end] != '\r' && head[end] != '\n')
            ++end;
        if (end - line > nameLength && head[line + nameLength] == ':') {
            bool same = true;
            for (size_t i = 0; i < nameLength && same; ++i)
                same = lower(head[line + i]) == lower(name[i]);
            if (same) {
                size_t value = line + nameLength + 1;
                while (value < end && (head[value] == ' ' || head[value] == '\t'))
                    ++value;
                size_t valueEnd = end;
                while (valueEnd > value && (head[valueEnd - 1] == ' ' || head[valueEnd - 1] == '\t'))
                    --valueEnd;
                *valueLength = valueEnd - value;
                return head + value;
            }
        }
        line = end;
        while (line < length && (head[line] == '\r' || head[line] == '\n'))
            ++line;
    }
    return nullptr;
}

}  // namespace

int32_t parseUpdateVersion(const char* response, size_t length) {
    if (length <= 3)
        return 0;
    int64_t blank = findBlankLine(response, length);
    if (blank < 0)
        return 0;
    size_t start = static_cast<size_t>(blank) + 4;
    if (start >= length)
        return 0;
    int64_t value = 0;
    for (size_t i = start; i < length; ++i) {
        char c = response[i];
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + (c - '0');
        // Far beyond any version: a longer run of digits is not one.
        if (value > 99999999)
            return 0;
    }
    return static_cast<int32_t>(value);
}

VersionParts versionParts(int32_t version) {
    return {version / 100, version % 100 / 10, version % 10};
}

bool findInstallerSignature(const char* head, size_t length, const char* name, uint8_t signature[kSignatureBytes]) {
    size_t valueLength = 0;
    const char* value = findHeaderValue(head, length, name, &valueLength);
    // 64 bytes are 88 Base64 characters with their padding, no more and no less.
    if (!value || valueLength != 88)
        return false;
    for (size_t i = 0; i < valueLength; ++i) {
        if (!isBase64Char(value[i]))
            return false;
    }
    char decoded[kBase64OutputCapacity];
    if (decodeBase64(value, valueLength, decoded) != kSignatureBytes)
        return false;
    memcpy(signature, decoded, kSignatureBytes);
    return true;
}

int32_t findSignedVersion(const char* head, size_t length) {
    size_t valueLength = 0;
    const char* value = findHeaderValue(head, length, kVersionHeader, &valueLength);
    if (!value || valueLength == 0 || valueLength > 8)
        return 0;
    int32_t version = 0;
    for (size_t i = 0; i < valueLength; ++i) {
        if (value[i] < '0' || value[i] > '9')
            return 0;
        version = version * 10 + (value[i] - '0');
    }
    return version;
}

size_t signedVersionText(int32_t version, char* out, size_t capacity) {
    static const char kPrefix[] = "Wexa-Share update ";
    if (version <= 0)
        return 0;
    char digits[12];
    size_t count = 0;
    for (int32_t rest = version; rest > 0; rest /= 10)
        digits[count++] = static_cast<char>('0' + rest % 10);
    size_t length = sizeof kPrefix - 1 + count + 1;
    if (length > capacity)
        return 0;
    memcpy(out, kPrefix, sizeof kPrefix - 1);
    for (size_t i = 0; i < count; ++i)
        out[sizeof kPrefix - 1 + i] = digits[count - 1 - i];
    out[length - 1] = '\n';
    return length;
}

InstallerReceiver::InstallerReceiver() : window_(new (std::nothrow) char[kWindowBytes]) {}

InstallerReceiver::~InstallerReceiver() {
    delete[] window_;
    delete[] file_;
}

bool InstallerReceiver::take(size_t bytes) {
    if (!window_ || bytes > freeBytes())
        return false;
    held_ += bytes;
    if (!headDone_) {
        if (held_ <= 3)
            return true;
        int64_t blank = findBlankLine(window_, held_);
        if (blank < 0)
            return held_ < kWindowBytes;   // no room left to receive the rest of the head into
        headDone_ = true;
        return takeHead();
    }
    keepBody(window_, held_);
    held_ = 0;
    return true;
}

bool InstallerReceiver::takeHead() {
    size_t headLength = static_cast<size_t>(findBlankLine(window_, held_)) + 4;
    ResponseHeader head;
    bool accepted = parseResponseHeader(window_, headLength, &head) == ResponseParseResult::kParsed &&
                    head.version == kResponseVersion11 && head.status == kResponseOk;
    if (accepted) {
        static const char kType[] = "application/octet-stream";
        accepted = head.contentLengthFound && head.contentLength > 0 && head.contentTypeFound &&
                   sameIgnoringCase(head.contentType, head.contentTypeLength, kType);
        if (accepted)
            contentLength_ = head.contentLength;
    }
    if (accepted) {
        signedVersion_ = findSignedVersion(window_, headLength);
        hasSignature_ = signedVersion_ > 0 &&
                        findInstallerSignature(window_, headLength, kVersionSignatureHeader, signature_);
    }
    freeResponseHeader(&head);
    if (!accepted)
        return false;
    if (contentLength_ > kMaxInstallerBytes)
        return false;
    file_ = new (std::nothrow) char[static_cast<size_t>(contentLength_)];
    if (!file_)
        return false;
    keepBody(window_ + headLength, held_ - headLength);
    held_ = 0;
    return true;
}

void InstallerReceiver::keepBody(const char* bytes, size_t count) {
    // Past the content length is not the installer: dropped.
    int64_t room = contentLength_ - received_;
    size_t keep = static_cast<int64_t>(count) < room ? count : static_cast<size_t>(room);
    memcpy(file_ + received_, bytes, keep);
    received_ += static_cast<int64_t>(keep);
}

char* InstallerReceiver::releaseFile() {
    if (!complete())
        return nullptr;
    char* file = file_;
    file_ = nullptr;
    return file;
}
