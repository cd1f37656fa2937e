// Load and save limits of the settings and the login comparison (see HSMainSettingsRules.h).
#include "HSMainSettingsRules.h"

#include <cstring>

uint16_t sharePortFromStored(uint32_t stored) {
    return static_cast<uint16_t>(stored & 0xFFFF);
}

uint32_t localIPIndexFromStored(uint32_t stored) {
    return stored > kLocalIPIndexMax ? 0 : stored;
}

uint32_t minimizeFunctionFromStored(uint32_t stored, uint32_t current) {
    return stored >= kMinimizeFunctionCount ? current : stored;
}

size_t loginLength(const char* bytes, size_t size) {
    if (!bytes)
        return 0;
    if (size > kLoginMaxBytes)
        size = kLoginMaxBytes;
    size_t n = 0;
    while (n < size && bytes[n] != 0)
        ++n;
    return n;
}

size_t clampLogin(const char* bytes, size_t size, char* out) {
    size_t n = loginLength(bytes, size);
    if (n)
        memcpy(out, bytes, n);
    // Zero the rest so that a shorter value never leaves bytes of an older one behind.
    memset(out + n, 0, kLoginCapacity - n);
    return n;
}

size_t textLengthFromStored(const char16_t* text, size_t bytesReturned) {
    size_t units = bytesReturned / 2;
    size_t n = 0;
    while (n < units && text[n] != 0)
        ++n;
    return n;
}

static bool sameOrUnset(const char* stored, size_t storedLength, const char* given,
                        size_t givenLength) {
    if (storedLength == 0)
        return true;
    return storedLength == givenLength && given && memcmp(stored, given, storedLength) == 0;
}

bool loginMatches(const char* storedUser, size_t storedUserLength, const char* storedPassword,
                  size_t storedPasswordLength, const char* user, size_t userLength,
                  const char* password, size_t passwordLength) {
    return sameOrUnset(storedUser, storedUserLength, user, userLength) &&
           sameOrUnset(storedPassword, storedPasswordLength, password, passwordLength);
}
