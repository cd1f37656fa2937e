// UpdateRequester: the whole answer gathered over every receive and read once the service has
// closed the connection.
#include "UpdateRequester.h"

#include "Log.h"
#include "UpdateRules.h"

static const wchar_t kLogUnit[] = L"UpdateRequester";

static const ServiceRequestNames kNames = {
    {L"UpdateRequester", L"UpdateRequester::postConnect", L"UpdateRequester::postRecv",
     L"UpdateRequester::postSend"},
    L"UpdateRequester::readyObject",
    L"UpdateRequester::terminateObject",
    L"UpdateRequester::handleMessage"};

UpdateRequester::UpdateRequester(Server* server, HWND notifyWindow, TrafficCounters* counters, const char* host,
                                 WORD port)
    : ServiceRequest(server, notifyWindow, WM_UPDATE_CHECK_ENDED, kNames, host, port, "/update.php?mode=check",
                     counters) {}

int UpdateRequester::onReceived(SocketRecord* record, BOOL ok, DWORD bytes) {
    return collectReply(record, ok, bytes, kMaxResponseBytes);
}

void UpdateRequester::replyComplete() {
    int32_t version = parseUpdateVersion(reply_, static_cast<size_t>(replyLength_));
    if (version <= 0)
        return;
    UpdateVersion* record = new UpdateVersion{version};
    if (!PostMessageW(window_, versionMessage_, id_, reinterpret_cast<LPARAM>(record))) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"UpdateRequester::handleMessage", L"PostMessage", error);
        delete record;
    }
}
