// The installer's signature check: ECDSA P-256 over the SHA-256 of the version text and the
// installer (UpdateRules.h), verified with the system's CNG (BCrypt) against a public key built
// into the program.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

class Log;

constexpr size_t kUpdatePublicKeyBytes = 64;   // X then Y, big-endian

// True only when signature (64 bytes, r then s) was made with the private half of publicKey
// over signedVersionText(version) followed by bytes. Failures of the system calls are logged
// under function; a wrong signature is not a failure of theirs and is left to the caller to report.
bool verifyInstallerSignature(Log* log, const wchar_t* function, const uint8_t publicKey[kUpdatePublicKeyBytes],
                              int32_t version, const char* bytes, size_t length, const uint8_t signature[64]);

// The release key the program was built with (UpdateKey.cpp, one per executable).
extern const uint8_t kUpdatePublicKey[kUpdatePublicKeyBytes];
