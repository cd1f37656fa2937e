// URL forms of the share and the Change Port number rule.
#include "ServerUrls.h"

#include <cstring>

#include "TextHelpers.h"

const char16_t kLoopbackHost[] = u"127.0.0.1";
const char16_t kSendFileFormPath[] = u"send_file_form/";
const char16_t kSendFileSwfPath[] = u"send_file_swf/";

namespace {

uint16_t preferDefaultPort(const uint16_t* ports, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (ports[i] == kDefaultHttpPort)
            return kDefaultHttpPort;
    }
    return ports[0];
}

}  // namespace

uint16_t urlPort(const uint16_t* active, size_t activeCount, const uint16_t* configured,
                 size_t configuredCount) {
    if (active && activeCount)
        return preferDefaultPort(active, activeCount);
    if (configured && configuredCount)
        return preferDefaultPort(configured, configuredCount);
    return kDefaultHttpPort;
}

char16_t* makeUrl(const char16_t* host, size_t hostLength, uint16_t port, const char16_t* path,
                  size_t pathLength, size_t* outLength) {
    static const char16_t kScheme[] = u"http://";
    const size_t schemeLength = sizeof kScheme / sizeof kScheme[0] - 1;
    size_t hostUnits = 0;
    if (host) {
        // The settings buffers are NUL-terminated well inside their capacity, but the host
        // may also come from a longer typed text: stop at whichever comes first.
        size_t limit = hostLength < kUrlHostMaxUnits ? hostLength : kUrlHostMaxUnits;
        while (hostUnits < limit && host[hostUnits])
            ++hostUnits;
    }
    size_t pathUnits = path ? (pathLength < kUrlPathMaxUnits ? pathLength : kUrlPathMaxUnits) : 0;
    char16_t portText[8] = {};
    size_t portUnits = 0;
    if (port != kDefaultHttpPort) {
        portText[0] = u':';
        portUnits = 1 + formatDecimal(port, portText + 1, sizeof portText / sizeof portText[0] - 1);
    }
    size_t length = schemeLength + hostUnits + portUnits + 1 + pathUnits;
    char16_t* url = new char16_t[length + 1];
    char16_t* at = url;
    memcpy(at, kScheme, schemeLength * sizeof(char16_t));
    at += schemeLength;
    if (hostUnits)
        memcpy(at, host, hostUnits * sizeof(char16_t));
    at += hostUnits;
    if (portUnits)
        memcpy(at, portText, portUnits * sizeof(char16_t));
    at += portUnits;
    *at++ = u'/';
    if (pathUnits)
        memcpy(at, path, pathUnits * sizeof(char16_t));
    at += pathUnits;
    *at = 0;
    if (outLength)
        *outLength = length;
    return url;
}

uint16_t portFromText(const char16_t* text, size_t length) {
    if (!text)
        return 0;
    int64_t value = parseDecimal(text, length < kPortTextMaxUnits ? length : kPortTextMaxUnits);
    return value >= 1 && value <= 65535 ? static_cast<uint16_t>(value) : 0;
}

size_t formatDottedAddress(const uint8_t* address, char16_t* out, size_t capacity) {
    if (!capacity)
        return 0;
    out[0] = 0;
    size_t length = 0;
    for (int i = 0; i < 4; ++i) {
        if (i)
            length = appendBounded(out, capacity, u".");
        length += formatDecimal(address[i], out + length, capacity - length);
    }
    return length;
}

int chooseLocalAddress(const uint8_t (*addresses)[4], size_t count, const char16_t* current,
                       size_t currentLength) {
    int best = -1;
    int bestScore = -1;
    size_t currentUnits = 0;
    while (current && currentUnits < currentLength && current[currentUnits])
        ++currentUnits;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* a = addresses[i];
        int score = 0;
        if (a[0] == 192)
            score = a[1] == 168 ? 3 : 1;
        else if (a[0] == 10 || (a[0] == 172 && a[1] >= 16 && a[1] <= 31))
            score = 2;
        // The address the user chose earlier stays as long as the host still has it.
        char16_t dotted[16];
        size_t length = formatDottedAddress(a, dotted, 16);
        if (currentUnits && length == currentUnits && memcmp(dotted, current, length * sizeof(char16_t)) == 0)
            score += 10;
        if (score > bestScore) {
            bestScore = score;
            best = static_cast<int>(i);
        }
    }
    return best;
}
