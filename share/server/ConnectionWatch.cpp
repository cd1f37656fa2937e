// ConnectionWatch: the per-listener table of connection deadlines. See ConnectionWatch.h.
#include "ConnectionWatch.h"

#include <new>

#include <string.h>

#include "ServerWithReg.h"

ConnectionWatch::ConnectionWatch(const TimeLimits& limits) : limits_(limits) {
    InitializeCriticalSection(&lock_);
}

ConnectionWatch::~ConnectionWatch() {
    delete[] entries_;
    DeleteCriticalSection(&lock_);
}

void ConnectionWatch::addRef() {
    InterlockedIncrement(&refs_);
}

void ConnectionWatch::release() {
    if (InterlockedDecrement(&refs_) == 0)
        delete this;
}

DWORD ConnectionWatch::add(DWORD id) {
    EnterCriticalSection(&lock_);
    if (used_ == capacity_) {
        DWORD grown = capacity_ ? capacity_ * 2 : 64;
        Entry* entries = new (std::nothrow) Entry[grown];
        if (!entries) {
            LeaveCriticalSection(&lock_);
            return kNoSlot;
        }
        if (capacity_)
            memcpy(entries, entries_, capacity_ * sizeof *entries);
        for (DWORD i = capacity_; i < grown; ++i)
            entries[i].used = false;
        delete[] entries_;
        entries_ = entries;
        searchFrom_ = capacity_;
        capacity_ = grown;
    }
    DWORD slot = searchFrom_;
    while (entries_[slot].used)
        slot = (slot + 1) % capacity_;
    searchFrom_ = (slot + 1) % capacity_;
    DWORD now = GetTickCount();
    entries_[slot] = Entry{id, PhaseHead, now, now, true, false};
    ++used_;
    LeaveCriticalSection(&lock_);
    return slot;
}

void ConnectionWatch::enter(DWORD slot, Phase phase) {
    if (slot == kNoSlot)
        return;
    EnterCriticalSection(&lock_);
    // A connection already told to end stays so.
    if (entries_[slot].phase != PhaseEnded) {
        entries_[slot].phase = phase;
        entries_[slot].since = GetTickCount();
    }
    LeaveCriticalSection(&lock_);
}

void ConnectionWatch::progress(DWORD slot) {
    if (slot == kNoSlot)
        return;
    EnterCriticalSection(&lock_);
    DWORD phase = entries_[slot].phase;
    if (phase == PhaseBody || phase == PhaseSending || phase == PhasePeerClosed)
        entries_[slot].since = GetTickCount();
    LeaveCriticalSection(&lock_);
}

void ConnectionWatch::setReporting(DWORD slot, bool on) {
    if (slot == kNoSlot)
        return;
    EnterCriticalSection(&lock_);
    entries_[slot].reporting = on;
    entries_[slot].lastReport = GetTickCount();
    LeaveCriticalSection(&lock_);
}

void ConnectionWatch::remove(DWORD slot) {
    if (slot == kNoSlot)
        return;
    EnterCriticalSection(&lock_);
    entries_[slot].used = false;
    --used_;
    LeaveCriticalSection(&lock_);
}

DWORD ConnectionWatch::limitOf(DWORD phase) const {
    switch (phase) {
    case PhaseHead: return limits_.headMs;
    case PhaseBody: return limits_.bodyMs;
    case PhaseSending: return limits_.sendMs;
    case PhaseDraining: return limits_.drainMs;
    case PhasePeerClosed: return kPeerClosedMs < limits_.sendMs ? kPeerClosedMs : limits_.sendMs;
    default: return INFINITE;
    }
}

void ConnectionWatch::sweep(Server* server, DWORD reportCode) {
    EnterCriticalSection(&lock_);
    DWORD count = used_;
    // The engine is called outside the lock: connections take it on every completion.
    DWORD* stale = count ? new (std::nothrow) DWORD[count] : nullptr;
    DWORD* report = count ? new (std::nothrow) DWORD[count] : nullptr;
    DWORD staleCount = 0, reportCount = 0;
    if (stale && report) {
        DWORD now = GetTickCount();
        for (DWORD i = 0; i < capacity_; ++i) {
            Entry& entry = entries_[i];
            if (!entry.used)
                continue;
            // Unsigned differences stay right across the tick count's wrap.
            if (entry.phase != PhaseEnded && now - entry.since > limitOf(entry.phase)) {
                entry.phase = PhaseEnded;
                entry.reporting = false;
                stale[staleCount++] = entry.id;
            } else if (entry.reporting && now - entry.lastReport >= kReportMs) {
                entry.lastReport = now;
                report[reportCount++] = entry.id;
            }
        }
    }
    LeaveCriticalSection(&lock_);
    for (DWORD i = 0; i < staleCount; ++i)
        server->terminateObject(stale[i]);
    for (DWORD i = 0; i < reportCount; ++i)
        server->messageObject(report[i], reportCode);
    delete[] stale;
    delete[] report;
}
