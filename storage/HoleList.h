// THoleList: the holes of a storage file in memory, found by address (to merge a released block
// with its neighbours) and by size (best fit, oldest first among equal sizes). No disk access.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <utility>

struct THoleRec {
    uint64_t Address = 0;
    uint32_t Size = 0;
    uint32_t Slot = 0;  // the hole-table slot that stores it
    uint64_t Order = 0; // when it was (re)added; the oldest of a size is taken first
};

class THoleList {
public:
    // Takes the record; a hole changed in place is removed and added again.
    THoleRec* AddHole(std::unique_ptr<THoleRec> hole);
    std::unique_ptr<THoleRec> RemoveHole(THoleRec* hole);
    // The hole ending exactly at address and the one starting exactly at address + size.
    std::pair<THoleRec*, THoleRec*> FindNeighbours(uint32_t size, uint64_t address) const;
    // The smallest hole of at least size bytes, the earliest added among equals; or nullptr.
    THoleRec* BestFit(uint32_t size) const;
    // The hole with the greatest address below end that reaches beyond begin, or nullptr.
    THoleRec* FindOverlapping(uint64_t begin, uint64_t end) const;
    size_t Count() const { return byAddress_.size(); }
    // Holes in address order.
    const std::map<uint64_t, std::unique_ptr<THoleRec>>& ByAddress() const { return byAddress_; }

private:
    std::map<uint64_t, std::unique_ptr<THoleRec>> byAddress_;
    std::map<std::pair<uint32_t, uint64_t>, THoleRec*> bySize_;
    uint64_t nextOrder_ = 0;
};
