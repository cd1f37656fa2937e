// AddressResolver: dotted addresses directly, names through gethostbyname on a detached
// thread, the answer back through the engine's port and on to the window.
#include "AddressResolver.h"

#include <winsock2.h>

#include <string.h>

#include "DownloadMessages.h"
#include "Log.h"

static const wchar_t kLogUnit[] = L"AddressResolver";

namespace {
const DWORD MsgResolved = 4;

struct ResolvedRecord : ServerMessage {
    DWORD address;
    ResolvedRecord(DWORD id, DWORD value) : ServerMessage(id, MsgResolved), address(value) {}
};
}  // namespace

AddressResolver::AddressResolver(Server* server, HWND notifyWindow, DWORD entryId, const char* host)
    : ServerObject(server, nullptr, 0), window_(notifyWindow), resultMessage_(WM_DL_ADDRESS), entryId_(entryId) {
    if (host && *host) {
        size_t length = strlen(host);
        host_ = new char[length + 1];
        memcpy(host_, host, length + 1);
    }
}

AddressResolver::~AddressResolver() { delete[] host_; }

int AddressResolver::readyObject() {
    if (!host_)
        return 0;
    // The thread's reference keeps the object (and its host text) alive until the answer is posted.
    if (!takeReference())
        return 0;
    HANDLE thread = CreateThread(nullptr, 0, resolveThreadProc, this, 0, nullptr);
    if (!thread) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"AddressResolver::readyObject", L"CreateThread", error);
        giveReference();
        return 0;
    }
    if (!CloseHandle(thread)) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"AddressResolver::readyObject", L"CloseHandle", error);
    }
    return 0;
}

DWORD WINAPI AddressResolver::resolveThreadProc(void* param) {
    if (param)
        static_cast<AddressResolver*>(param)->resolve();
    return 0;
}

void AddressResolver::resolve() {
    DWORD address = inet_addr(host_);
    if (address == INADDR_NONE) {
        hostent* found = gethostbyname(host_);
        if (!found) {
            DWORD error = WSAGetLastError();
            LOG_ERROR(log_, L"AddressResolver::resolveThreadProc", L"gethostbyname", error);
        } else if (found->h_addrtype == AF_INET && found->h_length == 4 && found->h_addr_list[0]) {
            memcpy(&address, found->h_addr_list[0], 4);
        }
    }
    ResolvedRecord* record = new ResolvedRecord(id_, address);
    if (!PostQueuedCompletionStatus(port_, 0, KeyMessage, record->overlapped())) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"AddressResolver::resolveThreadProc", L"PostQueuedCompletionStatus", error);
        delete record;
        giveReference();
    }
}

int AddressResolver::handleMessage(ServerMessage* message, BOOL, DWORD, DWORD) {
    if (message->code != MsgResolved)
        return 0;
    DWORD address = static_cast<ResolvedRecord*>(message)->address;
    if (!PostMessageW(window_, resultMessage_, entryId_, static_cast<LPARAM>(static_cast<LONG>(address)))) {
        DWORD error = GetLastError();
        LOG_ERROR(log_, L"AddressResolver::handleMessage", L"PostMessage", error);
    }
    return 1;
}
