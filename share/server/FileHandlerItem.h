// One shared file or folder of the registry (FileHandler), as plain data so that the
// request resolution in FileHandlerPaths.cpp can run without the system.
#pragma once
#include <cstddef>
#include <cstdint>

enum ItemKind : uint32_t { ItemUnknown = 0, ItemFolder = 1, ItemFile = 2 };

constexpr size_t kSpeedSamples = 8;

struct SharedItem {
    uint32_t id = 0;
    char16_t* name = nullptr;   // a folder's name ends in "/"; owned, NUL-terminated
    size_t nameLength = 0;
    char16_t* path = nullptr;   // full file-system path as given; owned, NUL-terminated
    size_t pathLength = 0;
    uint32_t kind = ItemUnknown;
    int64_t totalSent = 0;      // files inside a shared folder count toward the folder
    int64_t sampleTimes[kSpeedSamples] = {};    // milliseconds; slot 0 oldest
    int64_t sampleTotals[kSpeedSamples] = {};
    uint32_t activeTransfers = 0;

    SharedItem() = default;
    ~SharedItem() {
        delete[] name;
        delete[] path;
    }
    SharedItem(const SharedItem&) = delete;
    SharedItem& operator=(const SharedItem&) = delete;

    // A deep copy (texts duplicated); null when memory runs out.
    SharedItem* copy() const;
};
