// TransferBuffers: the shared pool of page-aligned transfer buffers. See TransferBuffers.h.
#include "TransferBuffers.h"

#include <new>

#include "Log.h"

static const wchar_t kLogUnit[] = L"TransferBuffers";

TransferBuffers::TransferBuffers(size_t budget) : budget_(budget), blocks_(budget) {}

TransferBuffers& TransferBuffers::shared() {
    static TransferBuffers pool(kTransferBudget);
    return pool;
}

void TransferBuffers::beginTransfer() {
    AcquireSRWLockExclusive(&lock_);
    ++activeTransfers_;
    ReleaseSRWLockExclusive(&lock_);
}

void TransferBuffers::endTransfer() {
    AcquireSRWLockExclusive(&lock_);
    if (activeTransfers_)
        --activeTransfers_;
    ReleaseSRWLockExclusive(&lock_);
}

// Called with the lock held. Address space only: nothing is committed until a chunk is used.
bool TransferBuffers::reserveRegion(Log* log) {
    if (region_)
        return true;
    if (reserveFailed_ || blocks_.regionBytes() == 0)
        return false;
    size_t chunks = blocks_.regionBytes() / kBlockMaxSize;
    committed_ = new (std::nothrow) bool[chunks]();
    void* region = committed_ ? VirtualAlloc(nullptr, blocks_.regionBytes(), MEM_RESERVE, PAGE_READWRITE) : nullptr;
    if (!region) {
        DWORD error = GetLastError();
        LOG_ERROR(log, L"TransferBuffers::take", L"VirtualAlloc", error);
        delete[] committed_;
        committed_ = nullptr;
        reserveFailed_ = true;
        return false;
    }
    region_ = static_cast<char*>(region);
    return true;
}

// Called with the lock held.
bool TransferBuffers::commitChunk(size_t chunk, Log* log) {
    if (committed_[chunk])
        return true;
    if (!VirtualAlloc(region_ + chunk * kBlockMaxSize, kBlockMaxSize, MEM_COMMIT, PAGE_READWRITE)) {
        DWORD error = GetLastError();
        LOG_ERROR(log, L"TransferBuffers::take", L"VirtualAlloc", error);
        return false;
    }
    committed_[chunk] = true;
    return true;
}

bool TransferBuffers::take(long long remaining, TransferBlock* block, Log* log) {
    *block = TransferBlock();
    AcquireSRWLockExclusive(&lock_);
    if (reserveRegion(log)) {
        unsigned wanted = transferBlockShift(remaining, activeTransfers_, kTransferSlots, budget_);
        // The fair size first; a smaller block when the budget is fragmented or spent.
        for (unsigned shift = wanted; shift >= kBlockMinShift && !block->data; --shift) {
            int64_t offset = blocks_.take(shift);
            if (offset < 0)
                continue;
            if (!commitChunk(static_cast<size_t>(offset) / kBlockMaxSize, log)) {
                blocks_.give(offset, shift);
                break;
            }
            block->data = region_ + offset;
            block->size = DWORD(1) << shift;
            block->shift = shift;
        }
    }
    ReleaseSRWLockExclusive(&lock_);
    if (block->data)
        return true;
    void* own = VirtualAlloc(nullptr, kBlockMinSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!own) {
        DWORD error = GetLastError();
        LOG_ERROR(log, L"TransferBuffers::take", L"VirtualAlloc", error);
        return false;
    }
    block->data = static_cast<char*>(own);
    block->size = kBlockMinSize;
    block->shift = kBlockMinShift;
    block->own = true;
    return true;
}

void TransferBuffers::give(TransferBlock* block, Log* log) {
    if (!block->data)
        return;
    if (block->own) {
        if (!VirtualFree(block->data, 0, MEM_RELEASE)) {
            DWORD error = GetLastError();
            LOG_ERROR(log, L"TransferBuffers::give", L"VirtualFree", error);
        }
    } else {
        AcquireSRWLockExclusive(&lock_);
        blocks_.give(block->data - region_, block->shift);
        ReleaseSRWLockExclusive(&lock_);
    }
    *block = TransferBlock();
}

size_t TransferBuffers::bytesInUse() {
    AcquireSRWLockExclusive(&lock_);
    size_t used = blocks_.regionBytes() - blocks_.freeBytes();
    ReleaseSRWLockExclusive(&lock_);
    return used;
}

size_t TransferBuffers::activeTransfers() {
    AcquireSRWLockExclusive(&lock_);
    size_t active = activeTransfers_;
    ReleaseSRWLockExclusive(&lock_);
    return active;
}
