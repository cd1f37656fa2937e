// UpdateDownloader: the request around InstallerReceiver, which gathers the body into one block
// of its content length; the signature is checked here, on the worker, so that nothing
// unverified ever reaches the window that writes and offers it.
#include "UpdateDownloader.h"

#include <string.h>

#include "Log.h"
#include "UpdateRules.h"
#include "UpdateSignature.h"

static const wchar_t kLogUnit[] = L"UpdateDownloader";

namespace {

const wchar_t kHandleMessage[] = L"UpdateDownloader::handleMessage";

const ServiceRequestNames kNames = {
    {L"UpdateDownloader", L"UpdateDownloader::postConnect", L"UpdateDownloader::postRecv",
     L"UpdateDownloader::postSend"},
    L"UpdateDownloader::readyObject",
    L"UpdateDownloader::terminateObject",
    kHandleMessage};

}  // namespace

UpdateDownloader::UpdateDownloader(Server* server, HWND notifyWindow, TrafficCounters* counters,
                                   const uint8_t* publicKey, const char* host, WORD port)
    : ServiceRequest(server, notifyWindow, WM_UPDATE_DOWNLOAD_ENDED, kNames, host, port, "/update.php", counters),
      publicKey_(publicKey) {}

UpdateDownloader::~UpdateDownloader() { delete receiver_; }

bool UpdateDownloader::initObject() {
    receiver_ = new InstallerReceiver();
    return true;
}

bool UpdateDownloader::deleteObject() {
    // Whatever arrived and was not handed over is dropped with the receiver.
    delete receiver_;
    receiver_ = nullptr;
    return true;
}

bool UpdateDownloader::startFirstReceive() {
    return receiver_ && receiver_->ready() &&
           startRecv(receiver_->freeSpace(), static_cast<DWORD>(receiver_->freeBytes()));
}

int UpdateDownloader::onReceived(SocketRecord*, BOOL ok, DWORD bytes) {
    // Closed or failed: whatever was not handed over is dropped.
    if (!ok || bytes == 0)
        return 1;
    if (!handleData(bytes))
        return 1;
    if (receiver_->freeBytes() == 0 || !startRecv(receiver_->freeSpace(), static_cast<DWORD>(receiver_->freeBytes())))
        return 1;
    return 0;
}

bool UpdateDownloader::handleData(DWORD bytes) {
    if (!receiver_->take(bytes))
        return false;
    if (receiver_->complete())
        handOver();
    // The service closes the connection after the body; the object ends with it.
    return true;
}

void UpdateDownloader::handOver() {
    int64_t length = receiver_->contentLength();
    if (length > 0xFFFFFFFFll) {
        LOG_ERROR_TEXT(log_, kHandleMessage, L"installer too large");
        return;
    }
    char* bytes = receiver_->releaseFile();
    if (!receiver_->hasSignature()) {
        LOG_ERROR_TEXT(log_, kHandleMessage, L"installer has no version signature");
        delete[] bytes;
        return;
    }
    int32_t version = receiver_->signedVersion();
    if (!verifyInstallerSignature(log_, kHandleMessage, publicKey_, version, bytes, static_cast<size_t>(length),
                                  receiver_->signature())) {
        LOG_ERROR_TEXT(log_, kHandleMessage, L"installer signature does not verify");
        delete[] bytes;
        return;
    }
    // Checked after the signature: only then is the version the release key's word.
    if (version <= kProgramVersion) {
        LOG_ERROR_TEXT(log_, kHandleMessage, L"installer is not newer than this program");
        delete[] bytes;
        return;
    }
    UpdateFile* record = new UpdateFile{bytes, static_cast<uint32_t>(length), version, {}};
    memcpy(record->signature, receiver_->signature(), sizeof record->signature);
    if (!PostMessageW(window_, dataMessage_, id_, reinterpret_cast<LPARAM>(record))) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, kHandleMessage, L"PostMessage", error);
        delete[] record->bytes;
        delete record;
    }
}
