// AddrRequester: the reply gathered over every receive, so a reply split over many receives or
// longer than the receive buffer arrives whole.
#include "AddrRequester.h"

#include "AddressResponse.h"
#include "Log.h"

static const wchar_t kLogUnit[] = L"AddrRequester";

static const ServiceRequestNames kNames = {
    {L"AddrRequester", L"AddrRequester::postConnect", L"AddrRequester::postRecv", L"AddrRequester::postSend"},
    L"AddrRequester::readyObject",
    L"AddrRequester::terminateObject",
    L"AddrRequester::handleMessage"};

AddrRequester::AddrRequester(Server* server, HWND notifyWindow, const char* host, WORD port)
    : ServiceRequest(server, notifyWindow, WM_ADDRESS_ENDED, kNames, host, port, "/getip.php", nullptr) {}

int AddrRequester::onReceived(SocketRecord* record, BOOL ok, DWORD bytes) {
    return collectReply(record, ok, bytes, kAddressResponseMaxBytes);
}

void AddrRequester::replyComplete() {
    // Nothing at all (a refused connect also ends here on some socket layers) is no reply.
    if (replyLength_ == 0)
        return;
    AddressReply* reply = new AddressReply{reply_, replyLength_};
    reply_ = nullptr;
    replyLength_ = 0;
    if (!PostMessageW(window_, replyMessage_, id_, reinterpret_cast<LPARAM>(reply))) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"AddrRequester::handleMessage", L"PostMessage", error);
        delete[] reply->bytes;
        delete reply;
    }
}
