// TlsChannel: Schannel's client context driven by the bytes a request object receives, and the
// certificate check that always follows the handshake.
#include "TlsChannel.h"

#include <wincrypt.h>
#include <string.h>

#include "Log.h"

#define TLS_ERROR(function, call, code) Log::error(unit_, log_, __LINE__, (function), (call), (code))
#define TLS_TEXT(function, text) Log::errorText(unit_, log_, __LINE__, (function), (text))

namespace {

// Schannel's own check is asked not to run, so that a refused certificate ends the handshake
// here, with a reason, on every system: the check below always runs instead, and no setting
// turns it off.
const DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                            ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                            ISC_REQ_MANUAL_CRED_VALIDATION;

// Handshake messages past this size are not from a TLS server.
const size_t kMaxHandshakeBytes = 256 * 1024;

}  // namespace

TlsChannel::TlsChannel(Log* log, const wchar_t* unit) : log_(log), unit_(unit) {}

TlsChannel::~TlsChannel() {
    if (haveContext_)
        DeleteSecurityContext(&context_);
    if (haveCredentials_)
        FreeCredentialsHandle(&credentials_);
}

WSABUF TlsChannel::keep(std::string&& bytes) {
    sent_.push_back(std::move(bytes));
    WSABUF out;
    out.buf = sent_.back().empty() ? nullptr : &sent_.back()[0];
    out.len = static_cast<ULONG>(sent_.back().size());
    return out;
}

bool TlsChannel::start(const char* host, WSABUF* out) {
    int needed = MultiByteToWideChar(CP_OEMCP, 0, host, -1, nullptr, 0);
    if (needed <= 1) {
        TLS_TEXT(L"TlsChannel::start", L"no host name");
        return false;
    }
    host_.resize(needed);
    MultiByteToWideChar(CP_OEMCP, 0, host, -1, &host_[0], needed);
    host_.resize(needed - 1);

    SCHANNEL_CRED settings = {};
    settings.dwVersion = SCHANNEL_CRED_VERSION;
    settings.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
    TimeStamp expiry;
    SECURITY_STATUS status =
        AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                  &settings, nullptr, nullptr, &credentials_, &expiry);
    if (status != SEC_E_OK) {
        TLS_ERROR(L"TlsChannel::start", L"AcquireCredentialsHandleW", static_cast<DWORD>(status));
        failure_ = TlsFailure::Handshake;
        return false;
    }
    haveCredentials_ = true;
    std::string hello;
    status = step(&hello);
    if (status != SEC_I_CONTINUE_NEEDED) {
        TLS_ERROR(L"TlsChannel::start", L"InitializeSecurityContextW", static_cast<DWORD>(status));
        failure_ = TlsFailure::Handshake;
        return false;
    }
    *out = keep(std::move(hello));
    return true;
}

SECURITY_STATUS TlsChannel::step(std::string* reply) {
    SecBuffer in[2];
    in[0].BufferType = SECBUFFER_TOKEN;
    in[0].cbBuffer = static_cast<ULONG>(input_.size());
    in[0].pvBuffer = input_.empty() ? nullptr : &input_[0];
    in[1].BufferType = SECBUFFER_EMPTY;
    in[1].cbBuffer = 0;
    in[1].pvBuffer = nullptr;
    SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
    SecBuffer outBuffer = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, &outBuffer};
    ULONG attributes = 0;
    TimeStamp expiry;
    SECURITY_STATUS status = InitializeSecurityContextW(
        &credentials_, haveContext_ ? &context_ : nullptr, &host_[0], kContextFlags, 0, 0,
        haveContext_ ? &inDesc : nullptr, 0, &context_, &outDesc, &attributes, &expiry);
    haveContext_ = true;
    if (outBuffer.pvBuffer) {
        if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)
            reply->append(static_cast<const char*>(outBuffer.pvBuffer), outBuffer.cbBuffer);
        FreeContextBuffer(outBuffer.pvBuffer);
    }
    if (status == SEC_E_INCOMPLETE_MESSAGE)
        return status;   // input_ stays whole: more of the same message is coming
    if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer <= input_.size())
        input_.erase(0, input_.size() - in[1].cbBuffer);
    else
        input_.clear();
    return status;
}

TlsChannel::Step TlsChannel::handshake(const char* data, size_t length, WSABUF* out) {
    input_.append(data, length);
    std::string reply;
    *out = WSABUF{};
    for (;;) {
        if (input_.size() > kMaxHandshakeBytes) {
            TLS_TEXT(L"TlsChannel::handshake", L"handshake too long");
            failure_ = TlsFailure::Handshake;
            return StepFailed;
        }
        SECURITY_STATUS status = step(&reply);
        if (status == SEC_E_INCOMPLETE_MESSAGE)
            break;
        if (status == SEC_I_CONTINUE_NEEDED) {
            if (input_.empty())
                break;
            continue;   // the server's flight held more than one message
        }
        if (status == SEC_E_OK) {
            if (!verifyServer())
                return StepFailed;
            if (QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK ||
                sizes_.cbMaximumMessage == 0) {
                TLS_TEXT(L"TlsChannel::handshake", L"QueryContextAttributesW stream sizes");
                failure_ = TlsFailure::Handshake;
                return StepFailed;
            }
            ready_ = true;
            if (!reply.empty())
                *out = keep(std::move(reply));
            return StepReady;
        }
        TLS_ERROR(L"TlsChannel::handshake", L"InitializeSecurityContextW", static_cast<DWORD>(status));
        failure_ = TlsFailure::Handshake;
        return StepFailed;
    }
    if (!reply.empty())
        *out = keep(std::move(reply));
    return StepContinue;
}

std::string TlsChannel::takeLeftover() {
    std::string left;
    left.swap(input_);
    return left;
}

bool TlsChannel::verifyServer() {
    PCCERT_CONTEXT certificate = nullptr;
    SECURITY_STATUS status = QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
    if (status != SEC_E_OK || !certificate) {
        TLS_ERROR(L"TlsChannel::verifyServer", L"QueryContextAttributesW", static_cast<DWORD>(status));
        failure_ = TlsFailure::Untrusted;
        return false;
    }
    LPSTR serverUse[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA chainPara = {};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = serverUse;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    // The server's other certificates (its intermediates) come in the certificate's own store.
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainPara, 0, nullptr,
                                 &chain)) {
        DWORD error = GetLastError();
        TLS_ERROR(L"TlsChannel::verifyServer", L"CertGetCertificateChain", error);
        CertFreeCertificateContext(certificate);
        failure_ = TlsFailure::Untrusted;
        return false;
    }
    // The chain's own verdict is read as well as the policy's: a chain that does not reach a
    // trusted root is refused even where the policy check passes it.
    DWORD chainErrors = chain->TrustStatus.dwErrorStatus;
    HTTPSPolicyCallbackData server = {};
    server.cbStruct = sizeof server;
    server.dwAuthType = AUTHTYPE_SERVER;
    server.pwszServerName = &host_[0];
    CERT_CHAIN_POLICY_PARA policyPara = {};
    policyPara.cbSize = sizeof policyPara;
    policyPara.pvExtraPolicyPara = &server;
    CERT_CHAIN_POLICY_STATUS verdict = {};
    verdict.cbSize = sizeof verdict;
    bool checked = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &verdict) != FALSE;
    DWORD checkError = checked ? 0 : GetLastError();
    CertFreeCertificateChain(chain);
    CertFreeCertificateContext(certificate);
    if (!checked) {
        TLS_ERROR(L"TlsChannel::verifyServer", L"CertVerifyCertificateChainPolicy", checkError);
        failure_ = TlsFailure::Untrusted;
        return false;
    }
    if (chainErrors & (CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_CTL_IS_NOT_TIME_VALID)) {
        TLS_ERROR(L"TlsChannel::verifyServer", L"CertGetCertificateChain", static_cast<DWORD>(CERT_E_EXPIRED));
        failure_ = TlsFailure::Expired;
        return false;
    }
    if (chainErrors != CERT_TRUST_NO_ERROR) {
        TLS_ERROR(L"TlsChannel::verifyServer", L"CertGetCertificateChain", static_cast<DWORD>(CERT_E_UNTRUSTEDROOT));
        failure_ = TlsFailure::Untrusted;
        return false;
    }
    if (verdict.dwError != 0) {
        TLS_ERROR(L"TlsChannel::verifyServer", L"CertVerifyCertificateChainPolicy", verdict.dwError);
        failure_ = verdict.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH) ? TlsFailure::WrongName
                   : verdict.dwError == static_cast<DWORD>(CERT_E_EXPIRED)  ? TlsFailure::Expired
                                                                            : TlsFailure::Untrusted;
        return false;
    }
    return true;
}

bool TlsChannel::seal(const WSABUF* pieces, DWORD count, WSABUF* out) {
    std::string plain;
    for (DWORD i = 0; i < count; ++i)
        plain.append(pieces[i].buf, pieces[i].len);
    std::string sealed;
    std::string record;
    for (size_t at = 0; at < plain.size();) {
        size_t chunk = plain.size() - at;
        if (chunk > sizes_.cbMaximumMessage)
            chunk = sizes_.cbMaximumMessage;
        record.assign(sizes_.cbHeader + chunk + sizes_.cbTrailer, '\0');
        memcpy(&record[sizes_.cbHeader], plain.data() + at, chunk);
        SecBuffer buffers[4];
        buffers[0] = {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, &record[0]};
        buffers[1] = {static_cast<ULONG>(chunk), SECBUFFER_DATA, &record[sizes_.cbHeader]};
        buffers[2] = {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, &record[sizes_.cbHeader + chunk]};
        buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
        SECURITY_STATUS status = EncryptMessage(&context_, 0, &desc, 0);
        if (status != SEC_E_OK) {
            TLS_ERROR(L"TlsChannel::seal", L"EncryptMessage", static_cast<DWORD>(status));
            return false;
        }
        // The trailer may come out shorter than its room: the record is the three parts' bytes.
        for (int i = 0; i < 3; ++i)
            sealed.append(static_cast<const char*>(buffers[i].pvBuffer), buffers[i].cbBuffer);
        at += chunk;
    }
    *out = keep(std::move(sealed));
    return true;
}

TlsChannel::Read TlsChannel::open(char* data, size_t length, size_t* plain, size_t* used) {
    size_t written = 0;
    size_t at = 0;
    Read result = ReadOk;
    while (at < length) {
        SecBuffer buffers[4];
        buffers[0] = {static_cast<ULONG>(length - at), SECBUFFER_DATA, data + at};
        for (int i = 1; i < 4; ++i)
            buffers[i] = {0, SECBUFFER_EMPTY, nullptr};
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
        SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE)
            break;
        if (status == SEC_I_CONTEXT_EXPIRED) {
            result = ReadClosed;   // the server's close_notify
            at = length;
            break;
        }
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
            TLS_ERROR(L"TlsChannel::open", L"DecryptMessage", static_cast<DWORD>(status));
            result = ReadFailed;
            break;
        }
        size_t extra = 0;
        for (int i = 1; i < 4; ++i) {
            if (buffers[i].BufferType == SECBUFFER_DATA && buffers[i].cbBuffer) {
                // Opened in place, behind at least the record's header: moving it to the front
                // never overwrites bytes not yet read.
                memmove(data + written, buffers[i].pvBuffer, buffers[i].cbBuffer);
                written += buffers[i].cbBuffer;
            } else if (buffers[i].BufferType == SECBUFFER_EXTRA) {
                extra = buffers[i].cbBuffer;
            }
        }
        at = length - extra;
        if (status == SEC_I_RENEGOTIATE) {
            // A handshake message after the handshake (a TLS 1.3 session ticket or key update):
            // the context reads it, and what follows it is records again.
            input_.assign(data + at, extra);
            std::string reply;
            SECURITY_STATUS again = step(&reply);
            if (again != SEC_E_OK) {
                TLS_ERROR(L"TlsChannel::open", L"InitializeSecurityContextW", static_cast<DWORD>(again));
                result = ReadFailed;
                break;
            }
            at = length - input_.size();
            input_.clear();
        }
    }
    *plain = written;
    *used = at;
    return result;
}
