// The program-wide totals of bytes sent and received by the share server. Created by the
// shell, seeded from the saved statistics, and added to by every connection.
#pragma once
#include <windows.h>

class TrafficCounters {
public:
    TrafficCounters(ULONGLONG sent = 0, ULONGLONG received = 0) : sent_(sent), received_(received) {
        InitializeCriticalSection(&lock_);
    }
    ~TrafficCounters() { DeleteCriticalSection(&lock_); }
    TrafficCounters(const TrafficCounters&) = delete;
    TrafficCounters& operator=(const TrafficCounters&) = delete;

    void addSent(ULONGLONG bytes) {
        EnterCriticalSection(&lock_);
        sent_ += bytes;
        LeaveCriticalSection(&lock_);
    }
    void addReceived(ULONGLONG bytes) {
        EnterCriticalSection(&lock_);
        received_ += bytes;
        LeaveCriticalSection(&lock_);
    }
    // "Clear Stats" on the Network page.
    void clear() {
        EnterCriticalSection(&lock_);
        sent_ = received_ = 0;
        LeaveCriticalSection(&lock_);
    }
    void read(ULONGLONG* sent, ULONGLONG* received) {
        EnterCriticalSection(&lock_);
        *sent = sent_;
        *received = received_;
        LeaveCriticalSection(&lock_);
    }

private:
    CRITICAL_SECTION lock_;
    ULONGLONG sent_;
    ULONGLONG received_;
};
