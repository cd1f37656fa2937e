// What the updater reads from the web service, portable so it runs under the sanitizers and the
// fuzzer: the version number of "/update.php?mode=check", and the installer download with its
// signature header, gathered from a 4096-byte receive window into one block of exactly its
// content length. The Win32 requesters feed it the bytes their receives bring.
#pragma once
#include <cstddef>
#include <cstdint>

// This program's version number (major x 100 + minor x 10 + patch): an update must be above it.
constexpr int32_t kProgramVersion = 121;

// The version number in a whole check response: the body after the first CR LF CR LF must be
// decimal digits only (no blank, no line end). 0 when there is none; the status line is not read.
int32_t parseUpdateVersion(const char* response, size_t length);

// Version 122 -> 1, 2, 2.
struct VersionParts {
    int major, minor, patch;
};
VersionParts versionParts(int32_t version);

// The installer's signatures travel in response headers, each Base64 of a raw 64-byte ECDSA
// P-256 signature (r then s, big-endian). kSignatureHeader signs the SHA-256 of the body alone;
// programs up to 1.2.1 read it, and the service keeps sending it for them. This program reads
// kVersionHeader, the installer's version in decimal, and kVersionSignatureHeader, which signs
// the SHA-256 of signedVersionText(version) followed by the body: a validly signed older
// installer cannot be passed off as a newer one.
constexpr char kSignatureHeader[] = "X-Wexa-Signature";
constexpr char kVersionHeader[] = "X-Wexa-Version";
constexpr char kVersionSignatureHeader[] = "X-Wexa-Version-Signature";
constexpr size_t kSignatureBytes = 64;
// Finds the header `name` (matched without regard to case) in a response head and decodes it.
// False when it is missing, not Base64 or not exactly 64 bytes long.
bool findInstallerSignature(const char* head, size_t length, const char* name, uint8_t signature[kSignatureBytes]);
// The version in kVersionHeader: decimal digits only, 1 to 99999999; 0 when missing or not that.
int32_t findSignedVersion(const char* head, size_t length);

// What is signed ahead of the installer's bytes: "Wexa-Share update <version>\n". Writes it
// (no NUL) and answers its length, 0 when it does not fit or the version is not above 0.
const size_t kSignedVersionTextBytes = 32;
size_t signedVersionText(int32_t version, char* out, size_t capacity);

// The download of "/update.php", fed receive by receive. The caller receives into freeSpace()
// and reports the count with take(); take() answers whether to go on receiving.
class InstallerReceiver {
public:
    static const size_t kWindowBytes = 4096;
    // The whole installer is held in memory: a content length beyond any installer of ours
    // (about a megabyte) is refused rather than allocated on a stranger's say-so.
    static const int64_t kMaxInstallerBytes = 256 * 1024 * 1024;

    InstallerReceiver();
    ~InstallerReceiver();
    InstallerReceiver(const InstallerReceiver&) = delete;
    InstallerReceiver& operator=(const InstallerReceiver&) = delete;

    // False when the receive window could not be allocated: nothing can be received.
    bool ready() const { return window_ != nullptr; }
    char* freeSpace() { return window_ + held_; }
    size_t freeBytes() const { return kWindowBytes - held_; }
    // False when the download is refused (not "HTTP/1.1 200", no positive content length or one
    // above kMaxInstallerBytes, not "application/octet-stream", the block cannot be allocated, or a head that fills the window
    // without ending); the caller then stops receiving.
    bool take(size_t bytes);

    bool complete() const { return file_ && received_ == contentLength_; }
    // Hands the finished installer over (new[], contentLength() bytes); null before it is complete.
    char* releaseFile();
    int64_t contentLength() const { return contentLength_; }
    // The version-bound signature and the version it names; false, 0 when either header is missing.
    bool hasSignature() const { return hasSignature_; }
    const uint8_t* signature() const { return signature_; }
    int32_t signedVersion() const { return signedVersion_; }

private:
    bool takeHead();
    void keepBody(const char* bytes, size_t count);

    char* window_;
    size_t held_ = 0;
    bool headDone_ = false;
    char* file_ = nullptr;
    int64_t contentLength_ = 0;
    int64_t received_ = 0;
    bool hasSignature_ = false;
    int32_t signedVersion_ = 0;
    uint8_t signature_[kSignatureBytes] = {};
};
