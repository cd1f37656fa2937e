// Fuzzes the URL splitter and the file-name rules over UTF-16 input (two input bytes per unit,
// copied into an exactly-sized buffer), and the content-disposition cleaning over the raw
// bytes. Checks that offsets stay inside the URL and that no name can leave its folder.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "DownloadUrl.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

// Safe as the last component of a path: no separator, drive or stream colon, wildcard or
// control; no trailing dot or space (so never "." or "..").
void requireSafeName(const std::u16string& name) {
    for (char16_t c : name) {
        require(c >= 32 && c != 0x7F && c != u'\\' && c != u'/' && c != u':' && c != u'*' && c != u'?' &&
                c != u'"' && c != u'<' && c != u'>' && c != u'|');
    }
    if (!name.empty()) require(name.back() != u'.' && name.back() != u' ');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t units = size / 2;
    char16_t* text = new char16_t[units];
    if (units) std::memcpy(text, data, units * 2);

    UrlParts parts;
    if (splitDownloadUrl(text, units, &parts)) {
        require(parts.hostLength > 0 && parts.hostStart + parts.hostLength <= parts.pathStart);
        require(parts.pathStart < units && text[parts.pathStart] == u'/');
        require(!parts.portGiven || parts.port > 0);
        const std::u16string name = urlFileName(text + parts.pathStart, units - parts.pathStart);
        require(!name.empty());
        requireSafeName(name);
    }
    const std::u16string anyName = urlFileName(text, units);
    require(!anyName.empty());
    requireSafeName(anyName);

    const std::u16string local = localPathFileName(text, units);
    require(!local.empty() && local.find(u'\\') == std::u16string::npos && local.find(u'/') == std::u16string::npos);
    const std::u16string numbered = numberedPath(text, units, 1 + static_cast<int>(size % 9));
    require(numbered.size() == units + 3);

    const std::u16string disposition = safeDispositionName(reinterpret_cast<const char*>(data), size);
    requireSafeName(disposition);

    delete[] text;
    return 0;
}
