// The installer download fed arbitrary responses in arbitrary receive sizes: it must never read
// or write outside its window or file block, whatever the head claims.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "UpdateRules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    // The first byte picks the receive size, so pieces split heads and bodies everywhere.
    size_t step = 1 + data[0] % 64 * 67;
    ++data;
    --size;
    InstallerReceiver receiver;
    size_t at = 0;
    while (at < size) {
        size_t count = size - at < step ? size - at : step;
        if (count > receiver.freeBytes())
            count = receiver.freeBytes();
        if (count == 0)
            break;
        memcpy(receiver.freeSpace(), data + at, count);
        at += count;
        if (!receiver.take(count))
            break;
    }
    delete[] receiver.releaseFile();
    parseUpdateVersion(reinterpret_cast<const char*>(data), size);
    uint8_t signature[kSignatureBytes];
    findInstallerSignature(reinterpret_cast<const char*>(data), size, kVersionSignatureHeader, signature);
    findSignedVersion(reinterpret_cast<const char*>(data), size);
    return 0;
}
