// UpdateSignature: SHA-256 and ECDSA P-256 verification through BCrypt. ECDSA P-256 is what
// CNG offers on every Windows the program runs on (and Wine through GnuTLS).
#include "UpdateSignature.h"

#include <bcrypt.h>
#include <string.h>

#include "Log.h"
#include "UpdateRules.h"

static const wchar_t kLogUnit[] = L"UpdateSignature";

namespace {

const NTSTATUS kStatusInvalidSignature = static_cast<NTSTATUS>(0xC000A000L);

// Closes a provider handle at the end of a scope.
class Provider {
public:
    Provider() = default;
    ~Provider() {
        if (handle_)
            BCryptCloseAlgorithmProvider(handle_, 0);
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    BCRYPT_ALG_HANDLE* out() { return &handle_; }
    BCRYPT_ALG_HANDLE get() const { return handle_; }

private:
    BCRYPT_ALG_HANDLE handle_ = nullptr;
};

class Key {
public:
    Key() = default;
    ~Key() {
        if (handle_)
            BCryptDestroyKey(handle_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    BCRYPT_KEY_HANDLE* out() { return &handle_; }
    BCRYPT_KEY_HANDLE get() const { return handle_; }

private:
    BCRYPT_KEY_HANDLE handle_ = nullptr;
};

}  // namespace

bool verifyInstallerSignature(Log* log, const wchar_t* function, const uint8_t publicKey[kUpdatePublicKeyBytes],
                              int32_t version, const char* bytes, size_t length, const uint8_t signature[64]) {
    char versionText[kSignedVersionTextBytes];
    size_t versionLength = signedVersionText(version, versionText, sizeof versionText);
    if (length > 0xFFFFFFFFu || versionLength == 0)
        return false;
    Provider sha;
    NTSTATUS status = BCryptOpenAlgorithmProvider(sha.out(), BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(status)) {
        LOG_ERROR(log, function, L"BCryptOpenAlgorithmProvider", static_cast<DWORD>(status));
        return false;
    }
    // CreateHash, HashData, FinishHash rather than the one-call hash: they exist on Windows 7.
    UCHAR digest[32];
    BCRYPT_HASH_HANDLE hash = nullptr;
    status = BCryptCreateHash(sha.get(), &hash, nullptr, 0, nullptr, 0, 0);
    if (!BCRYPT_SUCCESS(status)) {
        LOG_ERROR(log, function, L"BCryptCreateHash", static_cast<DWORD>(status));
        return false;
    }
    status = BCryptHashData(hash, reinterpret_cast<PUCHAR>(versionText), static_cast<ULONG>(versionLength), 0);
    if (BCRYPT_SUCCESS(status))
        status = BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes)), static_cast<ULONG>(length), 0);
    if (BCRYPT_SUCCESS(status)) {
        status = BCryptFinishHash(hash, digest, sizeof digest, 0);
        if (!BCRYPT_SUCCESS(status))
            LOG_ERROR(log, function, L"BCryptFinishHash", static_cast<DWORD>(status));
    } else {
        LOG_ERROR(log, function, L"BCryptHashData", static_cast<DWORD>(status));
    }
    BCryptDestroyHash(hash);
    if (!BCRYPT_SUCCESS(status))
        return false;

    Provider ecdsa;
    status = BCryptOpenAlgorithmProvider(ecdsa.out(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(status)) {
        LOG_ERROR(log, function, L"BCryptOpenAlgorithmProvider", static_cast<DWORD>(status));
        return false;
    }
    UCHAR blob[sizeof(BCRYPT_ECCKEY_BLOB) + kUpdatePublicKeyBytes];
    BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    memcpy(blob, &header, sizeof header);
    memcpy(blob + sizeof header, publicKey, kUpdatePublicKeyBytes);
    Key key;
    status = BCryptImportKeyPair(ecdsa.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.out(), blob, sizeof blob, 0);
    if (!BCRYPT_SUCCESS(status)) {
        LOG_ERROR(log, function, L"BCryptImportKeyPair", static_cast<DWORD>(status));
        return false;
    }
    UCHAR copy[64];
    memcpy(copy, signature, sizeof copy);
    status = BCryptVerifySignature(key.get(), nullptr, digest, sizeof digest, copy, sizeof copy, 0);
    if (BCRYPT_SUCCESS(status))
        return true;
    if (status != kStatusInvalidSignature)
        LOG_ERROR(log, function, L"BCryptVerifySignature", static_cast<DWORD>(status));
    return false;
}
