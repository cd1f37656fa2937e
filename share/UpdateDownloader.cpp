// UpdateDownloader: the outbound request pattern around InstallerReceiver, which gathers the
// body into one block of its content length; the signature is checked here, on the worker,
// so that nothing unverified ever reaches the window that writes and offers it.
#include "UpdateDownloader.h"

#include <string.h>

#include "Log.h"
#include "TrafficCounters.h"
#include "UpdateRules.h"
#include "UpdateSignature.h"

static const wchar_t kLogUnit[] = L"UpdateDownloader";

#ifndef WEXA_SERVICE_HOST
#define WEXA_SERVICE_HOST "service.wexa-share.test"
#endif

namespace {

const char kAgent[] = "Wexa-Share/1.2.1";
const char kInstallerPath[] = "/update.php";
const wchar_t kHandleMessage[] = L"UpdateDownloader::handleMessage";

const OutboundNames kNames = {L"UpdateDownloader", L"UpdateDownloader::postConnect", L"UpdateDownloader::postRecv",
                              L"UpdateDownloader::postSend"};

char* copyText(const char* text) {
    size_t length = strlen(text);
    char* copy = new char[length + 1];
    memcpy(copy, text, length + 1);
    return copy;
}

}  // namespace

UpdateDownloader::UpdateDownloader(Server* server, HWND notifyWindow, TrafficCounters* counters,
                                   const uint8_t* publicKey)
    : UpdateDownloader(server, notifyWindow, counters, publicKey, WEXA_SERVICE_HOST, 80) {}

UpdateDownloader::UpdateDownloader(Server* server, HWND notifyWindow, TrafficCounters* counters,
                                   const uint8_t* publicKey, const char* host, WORD port)
    : OutboundObject(server, notifyWindow, WM_UPDATE_DOWNLOAD_ENDED, kNames),
      counters_(counters),
      publicKey_(publicKey),
      window_(notifyWindow),
      port_(port),
      host_(copyText(host)) {}

UpdateDownloader::~UpdateDownloader() {
    delete[] host_;
    delete receiver_;
}

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

int UpdateDownloader::readyObject() {
    static const wchar_t kFunction[] = L"UpdateDownloader::readyObject";
    if (!resolveHost(kFunction, host_, &address_))
        return 1;
    return openAndConnect(kFunction, address_, port_) ? 0 : 1;
}

void UpdateDownloader::terminateObject() { closeSocket(L"UpdateDownloader::terminateObject"); }

int UpdateDownloader::handleMessage(ServerMessage* message, BOOL ok, DWORD, DWORD bytes) {
    switch (message->code) {
    case MsgConnected:
        return onConnected();
    case MsgReceived:
        return onReceived(ok, bytes);
    case MsgSent:
        if (ok && counters_)
            counters_->addSent(bytes);
        return 0;
    default:
        return 0;
    }
}

int UpdateDownloader::onConnected() {
    int answer = 0;
    if (!receiver_ || !receiver_->ready() || !postRecv(receiver_->freeSpace(), static_cast<DWORD>(receiver_->freeBytes()))) {
        LOG_ERROR_TEXT(log_, kHandleMessage, L"postRecv failed");
        answer = 1;
    }
    const char* texts[7] = {"GET ", kInstallerPath, " HTTP/1.1\r\nUser-Agent: ", kAgent, "\r\nHost: ", host_,
                            "\r\nConnection: close\r\n\r\n"};
    WSABUF pieces[7];
    for (int i = 0; i < 7; ++i) {
        pieces[i].buf = const_cast<char*>(texts[i]);
        pieces[i].len = static_cast<ULONG>(strlen(texts[i]));
    }
    if (!postSend(pieces, 7))
        return 1;
    return answer;
}

int UpdateDownloader::onReceived(BOOL ok, DWORD bytes) {
    // Closed or failed: whatever was not handed over is dropped.
    if (!ok || bytes == 0)
        return 1;
    if (counters_)
        counters_->addReceived(bytes);
    if (!handleData(bytes))
        return 1;
    if (receiver_->freeBytes() == 0 || !postRecv(receiver_->freeSpace(), static_cast<DWORD>(receiver_->freeBytes())))
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
        LOG_ERROR_TEXT(log_, kHandleMessage, L"installer has no signature");
        delete[] bytes;
        return;
    }
    if (!verifyInstallerSignature(log_, kHandleMessage, publicKey_, bytes, static_cast<size_t>(length),
                                  receiver_->signature())) {
        LOG_ERROR_TEXT(log_, kHandleMessage, L"installer signature does not verify");
        delete[] bytes;
        return;
    }
    UpdateFile* record = new UpdateFile{bytes, static_cast<uint32_t>(length)};
    if (!PostMessageW(window_, dataMessage_, id_, reinterpret_cast<LPARAM>(record))) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, kHandleMessage, L"PostMessage", error);
        delete[] record->bytes;
        delete record;
    }
}
