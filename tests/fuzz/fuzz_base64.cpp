// Fuzzes the Base64 decoder with an exactly-sized input and an output of exactly the documented
// 500 bytes, so a write past the output or a read past the input is an ASan report.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "TextHelpers.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char* text = new char[size];
    if (size) std::memcpy(text, data, size);
    char* out = new char[kBase64OutputCapacity];
    const size_t n = decodeBase64(text, size, out);
    require(n < kBase64OutputCapacity && out[n] == 0);
    require(n <= size / 4 * 3);
    // Whole groups of the alphabet decode to three bytes each, up to the output limit.
    bool plain = size % 4 == 0;
    for (size_t i = 0; i < size && plain; ++i) {
        const char c = text[i];
        plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
    }
    if (plain && size / 4 * 3 < 497) require(n == size / 4 * 3);
    delete[] out;
    delete[] text;
    return 0;
}
