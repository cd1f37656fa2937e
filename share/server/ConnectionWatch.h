// Deadlines of one listener's connections: each connection keeps an entry with its phase and
// the tick its phase's clock started; the listener's timer sweeps the entries a few times a
// second, asks the engine to end the connections that overstayed, and asks the transferring
// ones to report their progress. The listener and its connections share it, reference-counted,
// as either may end first.
#pragma once
#include <winsock2.h>
#include <windows.h>

class Server;

// How long a connection may stay in each phase without progress, in milliseconds.
struct TimeLimits {
    DWORD headMs = 30000;    // from its start until the request head is complete
    DWORD bodyMs = 60000;    // an upload body without a byte
    DWORD sendMs = 300000;   // a response the client does not read
    DWORD drainMs = 1000;    // the rest of a refused body is read this long at most
};

class ConnectionWatch {
public:
    enum Phase : DWORD { PhaseHead, PhaseBody, PhaseSending, PhaseDraining, PhasePeerClosed, PhaseEnded };
    // A response whose client has closed its side: under Wine a reset can look like that, and
    // a send pending then never completes, so it may stall only this long.
    static constexpr DWORD kPeerClosedMs = 5000;
    static constexpr DWORD kNoSlot = 0xFFFFFFFF;
    // Progress is asked for this often while a connection reports.
    static constexpr DWORD kReportMs = 1000;

    explicit ConnectionWatch(const TimeLimits& limits);
    void addRef();
    void release();

    // A new connection's slot, its head clock started; kNoSlot when memory runs out.
    DWORD add(DWORD id);
    // Starts the clock of a new phase.
    void enter(DWORD slot, Phase phase);
    // Restarts the clock of the body and sending phases; the head's and the drain's run on.
    void progress(DWORD slot);
    // Whether the sweep asks the connection for its progress (code `reportCode`).
    void setReporting(DWORD slot, bool on);
    void remove(DWORD slot);

    // Called by the listener's timer: ends the overstayed connections through the engine,
    // each once, and sends the reporting ones `reportCode` about once a second.
    void sweep(Server* server, DWORD reportCode);

private:
    struct Entry {
        DWORD id;
        DWORD phase;
        DWORD since;         // GetTickCount at the clock's start
        DWORD lastReport;    // when the connection was last asked for its progress
        bool used;
        bool reporting;
    };
    ~ConnectionWatch();
    DWORD limitOf(DWORD phase) const;

    TimeLimits limits_;
    LONG refs_ = 1;
    CRITICAL_SECTION lock_;   // the entries; held briefly, never with another lock
    Entry* entries_ = nullptr;
    DWORD capacity_ = 0;
    DWORD used_ = 0;          // entries in use
    DWORD searchFrom_ = 0;    // where the next free entry is looked for first
};
