// TSpaceManager: hands out and takes back blocks of file space, keeping given-back space as holes
// in the hole table on disk (segments of 16-byte entries) and in a THoleList in memory.
// It knows nothing of what the blocks hold; the atom table is its only client.
#pragma once

#include "storage/HoleList.h"
#include "storage/OstraFile.h"
#include "storage/Unknown.h"

#include <cstdint>
#include <functional>
#include <vector>

struct ISpaceAllocator : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{E5A41B23-341D-4E3F-B8A5-CE7DD30C2F19}");
    using IUnknown::Release; // the reference count's Release, next to the space one
    // The file address of a new block of size bytes.
    virtual uint64_t Allocate(uint32_t size) = 0;
    // Gives [address, address + size) back. A merge beyond 2^32 - 1 bytes raises 9.
    virtual void Release(uint32_t size, uint64_t address) = 0;

protected:
    ~ISpaceAllocator() = default;
};

// The holder of the table segments inside the data (the atom table). When the holes are loaded,
// every hole overlapping one of its segments is dropped (in memory only): stale or crafted hole
// entries may leak space but never hand out a table.
struct IBlockOwner : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{6F1D2A53-8C4E-4B7A-9E21-3D5C7B0A9F14}");
    // Calls visit(address, size) for every table segment.
    virtual void ForEachSegment(const std::function<void(uint64_t, uint64_t)>& visit) = 0;

protected:
    ~IBlockOwner() = default;
};

// Hole-table layout.
namespace HoleTable {
inline constexpr uint32_t HeadSize = 16;      // Next u64, EntryCount u32, reserved u32
inline constexpr uint32_t EntrySize = 16;     // CRC u32 (of bytes 4..15), Address u64, Size u32
inline constexpr uint32_t SlotsPerStep = 256; // segment n holds 256 x (n + 1) entries
} // namespace HoleTable

class TSpaceManager : public TUnknown, public ISpaceAllocator, public IDisconnectInternalObject {
public:
    // Walks the hole-table chain; a chain leaving the data or looping raises EOstraOpenError 207.
    // The entries themselves are read at the first allocation or release: most opens never
    // change the file, and a large hole table would otherwise be read on every one.
    explicit TSpaceManager(TOstraFile& file);
    using TUnknown::Release;

    uint64_t Allocate(uint32_t size) override;
    void Release(uint32_t size, uint64_t address) override;
    void Disconnect() override;

    // For inspection; loads the holes first.
    size_t HoleCount() { return Holes().Count(); }
    const THoleList& Holes();
    uint32_t Total() const { return total_; }

protected:
    void* GetInterface(const TGUID& iid) override;

private:
    struct TSegment {
        uint64_t Address;
        uint32_t EntryCount;
    };
    TOstraFile& File() const;
    void LoadChain();
    void LoadHoles();
    void EnsureHoles();
    void DropOverlapping(uint64_t address, uint64_t size);
    uint64_t SlotAddress(uint32_t slot) const;
    bool ReadSlotIsFree(uint32_t slot);
    void WriteSlot(uint32_t slot, uint64_t address, uint32_t size);
    void NewHole(uint32_t size, uint64_t address);
    void DeleteHole(THoleRec* hole);
    void ResizeHole(THoleRec* hole, uint64_t newAddress, uint32_t newSize);
    void AppendSegment();
    uint64_t GrowDataEnd(uint32_t size, bool mayRound);
    uint64_t AllocateBlock(uint32_t size, bool mayRound);

    TOstraFile* file_;
    std::vector<uint32_t> pool_; // freed slots, last in first out
    uint32_t nextScanSlot_ = 0;
    THoleList holes_;
    bool holesLoaded_ = false;
    TCriticalSection lock_;
    std::vector<TSegment> segments_;
    uint32_t total_ = 0;
};

struct CSpaceAllocator {
    static TRef<ISpaceAllocator> Create(TOstraFile& file);
};
