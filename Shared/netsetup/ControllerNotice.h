// The notices the network controllers (UPnP port mapping, firewall check) post to the listener
// that owns them through the engine's port: the codes, and the record that carries the
// controller's result. Both sides include this header; nothing else carries a result.
#pragma once
#include "ServerObject.h"

enum ControllerCode : DWORD {
    NoticeUPnPStarted = 10,
    NoticeUPnPFinished = 11,        // always the UPnP controller's last notice
    NoticeUPnPRequestingNat = 12,
    NoticeUPnPRequestingMappings = 13,
    NoticeUPnPAddingMapping = 15,
    NoticeUPnPMapped = 16,
    NoticeUPnPClosing = 17,
    NoticeFirewallStarted = 20,
    NoticeFirewallFinal = 21,       // always the firewall controller's last notice
    NoticeFirewallInterim = 22,
};

// True for the codes above: the ones whose records are ControllerNotice.
inline bool isControllerCode(DWORD code) {
    switch (code) {
    case NoticeUPnPStarted: case NoticeUPnPFinished: case NoticeUPnPRequestingNat:
    case NoticeUPnPRequestingMappings: case NoticeUPnPAddingMapping: case NoticeUPnPMapped:
    case NoticeUPnPClosing: case NoticeFirewallStarted: case NoticeFirewallFinal:
    case NoticeFirewallInterim:
        return true;
    default:
        return false;
    }
}

// Notices are numbered in the order they are made, across every controller: the engine's
// workers may handle two of them in either order, and the owner shows only the newest.
inline DWORD nextNoticeSequence() {
    static volatile LONG counter = 0;
    return static_cast<DWORD>(InterlockedIncrement(&counter));
}

// One notice; the engine frees it after the owner has handled it.
struct ControllerNotice : ServerMessage {
    ControllerNotice(DWORD ownerId, DWORD noticeCode, DWORD noticeResult)
        : ServerMessage(ownerId, noticeCode), result(noticeResult), sequence(nextNoticeSequence()) {}
    DWORD result;     // the controller's result when the notice was posted
    DWORD sequence;   // from nextNoticeSequence
};

// The notice's record when message is one, else null: a plain message (from
// Server::messageObject, or an object's own) never carries a result, whatever its code.
inline const ControllerNotice* asControllerNotice(const ServerMessage* message) {
    if (!isControllerCode(message->code))
        return nullptr;
    return dynamic_cast<const ControllerNotice*>(message);
}
