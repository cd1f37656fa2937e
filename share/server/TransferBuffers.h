// The process-wide pool of transfer buffers: page-aligned blocks of 4 KiB to 1 MiB from one
// reserved region with a fixed budget, shared by every file download and upload in flight.
// A connection holds none while idle; it takes one per read or receive, sized to what is left
// of its transfer, and gives it back when the data has gone on.
#pragma once
#include <windows.h>

#include "BuddyBlocks.h"

class Log;

// Memory all transfers share; one transfer alone gets 1 MiB buffers, fifty get 512 KiB.
constexpr size_t kTransferBudget = 64 * 1024 * 1024;
// Buffers one transfer holds at most (a read or receive filling one, a send or write on another).
constexpr size_t kTransferSlots = 2;

struct TransferBlock {
    char* data = nullptr;
    DWORD size = 0;
    unsigned shift = 0;
    bool own = false;   // allocated outside the pool because the budget was spent
};

class TransferBuffers {
public:
    explicit TransferBuffers(size_t budget);
    static TransferBuffers& shared();

    // A transfer counts from its first buffer to its end: the budget is split among those.
    void beginTransfer();
    void endTransfer();
    // A buffer for a transfer that still has `remaining` bytes to move. When the budget is spent
    // a 4 KiB block of its own is allocated, so that a transfer never stalls; false only when
    // that fails too (logged).
    bool take(long long remaining, TransferBlock* block, Log* log);
    void give(TransferBlock* block, Log* log);

    // For tests and the benchmark: bytes of the budget given out, and transfers counted.
    size_t bytesInUse();
    size_t activeTransfers();

private:
    bool reserveRegion(Log* log);
    bool commitChunk(size_t chunk, Log* log);

    SRWLOCK lock_ = SRWLOCK_INIT;
    size_t budget_;
    BuddyBlocks blocks_;
    char* region_ = nullptr;
    bool reserveFailed_ = false;
    // Chunks of kBlockMaxSize committed so far: each is committed once, on first use, and kept,
    // so that no request pays for VirtualAlloc or VirtualFree.
    bool* committed_ = nullptr;
    size_t activeTransfers_ = 0;
};
