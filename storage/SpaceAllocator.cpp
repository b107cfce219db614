// The free-space manager: best-fit allocation from holes, merging on release, the hole table.
#include "storage/SpaceAllocator.h"

#include "storage/AtomManager.h"

#include "storage/Crc32.h"
#include "storage/KVZError.h"
#include "storage/Support.h"
#include "storage/Timers.h"

namespace {
enum : int {
    GrowDataEndTimer = 2,
    ShrinkDataEndTimer = 3,
    AppendSegmentTimer = 4,
    NewHoleTimer = 5,
    DeleteHoleTimer = 6,
    GrowHoleTimer = 7,
    ShrinkHoleTimer = 8,
    AllocateTimer = 9,
    ReleaseTimer = 10,
};

constexpr uint32_t SlotAddressOffset = 4;
constexpr uint32_t SlotSizeOffset = 12;

bool SlotHoldsHole(const uint8_t* entry) {
    uint64_t address = GetLE64(entry + SlotAddressOffset);
    uint32_t crc = CRC32Of(std::span<const uint8_t>(entry + 4, HoleTable::EntrySize - 4));
    return address != 0 && crc == GetLE32(entry);
}
} // namespace

TSpaceManager::TSpaceManager(TOstraFile& file) : file_(&file) { LoadChain(); }

void* TSpaceManager::GetInterface(const TGUID& iid) {
    if (void* found = FindInterface<ISpaceAllocator, IDisconnectInternalObject>(this, iid)) return found;
    return TUnknown::GetInterface(iid);
}

void TSpaceManager::Disconnect() { file_ = nullptr; }

TOstraFile& TSpaceManager::File() const {
    if (!file_) throw EKVZError(OstraCode::AccessDenied, OstraMsg::AccessDenied);
    return *file_;
}

// Every segment must lie inside the data and be met once; anything else is a damaged file. Met
// once: segment k holds SlotsPerStep * (k + 1) slots, so a chain that comes back to a segment
// meets a count that does not follow.
void TSpaceManager::LoadChain() {
    TOstraFile& file = File();
    TPager& pager = file.Pager();
    const uint64_t dataSize = file.DataSize();
    uint64_t total = 0;
    for (uint64_t address = file.HoleTableRoot(); address != 0;) {
        auto damaged = [&] {
            return EOstraOpenError(OstraCode::FileDamaged, StrFormat(OstraMsg::FileDamaged, file.FullPath().c_str()));
        };
        if (address < OstraHeader::Size || address > dataSize || dataSize - address < HoleTable::HeadSize)
            throw damaged();
        uint8_t head[HoleTable::HeadSize];
        pager.ReadAtOnce(head, address);
        uint32_t count = GetLE32(head + 8);
        uint64_t length = HoleTable::HeadSize + uint64_t(HoleTable::EntrySize) * count;
        // The count is outside every CRC, but follows from the segment's place in the chain.
        if (dataSize - address < length || count != HoleTable::SlotsPerStep * (segments_.size() + 1)) throw damaged();
        total += count;
        if (total > UINT32_MAX) throw damaged();
        segments_.push_back({address, count});
        address = GetLE64(head);
    }
    total_ = uint32_t(total);
}

// Entries that do not describe space inside the data, or that overlap a hole already taken or
// a table segment, are passed over: their space is lost to reuse, never handed out twice. The
// atom bodies are not read to check the rest: the journal keeps the hole table in step with
// them, and reading every entry of the atom table would make each writer's first allocation
// cost what the whole file holds.
void TSpaceManager::LoadHoles() {
    TOstraFile& file = File();
    uint32_t slot = 0;
    std::vector<uint8_t> entries;
    for (const TSegment& segment : segments_) {
        entries.resize(size_t(segment.EntryCount) * HoleTable::EntrySize);
        file.Pager().ReadAt(entries, segment.Address + HoleTable::HeadSize);
        for (uint32_t i = 0; i < segment.EntryCount; ++i, ++slot) {
            const uint8_t* entry = &entries[size_t(i) * HoleTable::EntrySize];
            if (!SlotHoldsHole(entry)) continue;
            uint64_t address = GetLE64(entry + SlotAddressOffset);
            uint32_t size = GetLE32(entry + SlotSizeOffset);
            bool inside = size != 0 && address >= OstraHeader::Size && address <= file.DataSize() &&
                          file.DataSize() - address >= size;
            if (inside && !holes_.FindOverlapping(address, address + size)) {
                holes_.AddHole(std::make_unique<THoleRec>(THoleRec{address, size, slot, 0}));
                if (slot == nextScanSlot_) ++nextScanSlot_;
            }
        }
    }
    for (const TSegment& segment : segments_)
        DropOverlapping(segment.Address, HoleTable::HeadSize + uint64_t(HoleTable::EntrySize) * segment.EntryCount);
    if (auto owner = Query<IBlockOwner>(file.AtomManager()))
        owner->ForEachSegment([this](uint64_t address, uint64_t size) { DropOverlapping(address, size); });
}

// A read-only file never allocates: its holes are not loaded at all.
void TSpaceManager::EnsureHoles() {
    if (holesLoaded_) return;
    if (!File().ReadOnly()) LoadHoles();
    holesLoaded_ = true;
}

const THoleList& TSpaceManager::Holes() {
    std::lock_guard guard(lock_);
    EnsureHoles();
    return holes_;
}

void TSpaceManager::DropOverlapping(uint64_t address, uint64_t size) {
    while (THoleRec* hole = holes_.FindOverlapping(address, address + size)) holes_.RemoveHole(hole);
}

uint64_t TSpaceManager::SlotAddress(uint32_t slot) const {
    uint32_t first = 0;
    for (const TSegment& segment : segments_) {
        if (slot - first < segment.EntryCount)
            return segment.Address + HoleTable::HeadSize + uint64_t(slot - first) * HoleTable::EntrySize;
        first += segment.EntryCount;
    }
    throw EInvalidIndex();
}

bool TSpaceManager::ReadSlotIsFree(uint32_t slot) {
    uint8_t entry[HoleTable::EntrySize];
    File().Pager().ReadAt(entry, SlotAddress(slot));
    return !SlotHoldsHole(entry);
}

void TSpaceManager::WriteSlot(uint32_t slot, uint64_t address, uint32_t size) {
    uint8_t entry[HoleTable::EntrySize] = {};
    PutLE64(entry + SlotAddressOffset, address);
    PutLE32(entry + SlotSizeOffset, size);
    PutLE32(entry, CRC32Of(std::span<const uint8_t>(entry + 4, HoleTable::EntrySize - 4)));
    File().Pager().WriteAt(entry, SlotAddress(slot));
}

void TSpaceManager::NewHole(uint32_t size, uint64_t address) {
    TTimedScope timer(NewHoleTimer);
    int64_t slot = -1;
    if (!pool_.empty()) {
        slot = pool_.back();
        pool_.pop_back();
    }
    while (slot < 0 && nextScanSlot_ < total_) {
        uint32_t candidate = nextScanSlot_++;
        if (ReadSlotIsFree(candidate)) slot = candidate;
    }
    if (slot < 0) {
        slot = total_;
        ++nextScanSlot_;
        AppendSegment();
    }
    holes_.AddHole(std::make_unique<THoleRec>(THoleRec{address, size, uint32_t(slot), 0}));
    WriteSlot(uint32_t(slot), address, size);
}

void TSpaceManager::DeleteHole(THoleRec* hole) {
    TTimedScope timer(DeleteHoleTimer);
    std::unique_ptr<THoleRec> owned = holes_.RemoveHole(hole);
    if (owned->Slot < nextScanSlot_) pool_.push_back(owned->Slot);
    WriteSlot(owned->Slot, 0, 0);
}

// A hole changed in place goes to the back of its new size's queue.
void TSpaceManager::ResizeHole(THoleRec* hole, uint64_t newAddress, uint32_t newSize) {
    std::unique_ptr<THoleRec> owned = holes_.RemoveHole(hole);
    owned->Address = newAddress;
    owned->Size = newSize;
    THoleRec* rec = holes_.AddHole(std::move(owned));
    WriteSlot(rec->Slot, rec->Address, rec->Size);
}

void TSpaceManager::AppendSegment() {
    TTimedScope timer(AppendSegmentTimer);
    TOstraFile& file = File();
    uint32_t count = HoleTable::SlotsPerStep * uint32_t(segments_.size() + 1);
    uint32_t entryBytes = HoleTable::EntrySize * count;
    uint64_t address = AllocateBlock(HoleTable::HeadSize + entryBytes, false);
    uint8_t head[HoleTable::HeadSize] = {};
    PutLE32(head + 8, count);
    file.Pager().WriteAt(head, address);
    file.Pager().FillAt(entryBytes, 0, address + HoleTable::HeadSize);
    segments_.push_back({address, count});
    total_ += count;
    if (segments_.size() == 1) {
        file.SetHoleTableRoot(address);
        return;
    }
    uint8_t next[8];
    PutLE64(next, address);
    file.Pager().WriteAt(next, segments_[segments_.size() - 2].Address);
}

// With write-through the file grows in whole 4096-byte steps; the slack becomes a hole.
uint64_t TSpaceManager::GrowDataEnd(uint32_t size, bool mayRound) {
    TTimedScope timer(GrowDataEndTimer);
    TOstraFile& file = File();
    uint64_t start = file.DataSize();
    uint64_t end = start + size;
    if (!(mayRound && file.WriteThrough())) {
        file.SetDataSize(end);
        return start;
    }
    uint64_t rounded = (end + OstraFileGranule - 1) / OstraFileGranule * OstraFileGranule;
    file.SetDataSize(rounded);
    if (rounded > end) NewHole(uint32_t(rounded - end), end);
    return start;
}

uint64_t TSpaceManager::AllocateBlock(uint32_t size, bool mayRound) {
    THoleRec* hole = holes_.BestFit(size);
    if (!hole) return GrowDataEnd(size, mayRound);
    uint64_t address = hole->Address;
    TTimedScope timer(ShrinkHoleTimer);
    if (hole->Size == size)
        DeleteHole(hole);
    else
        ResizeHole(hole, hole->Address + size, hole->Size - size);
    return address;
}

uint64_t TSpaceManager::Allocate(uint32_t size) {
    std::lock_guard guard(lock_);
    TTimedScope timer(AllocateTimer);
    File().CheckWritable();
    EnsureHoles();
    return AllocateBlock(size, true);
}

void TSpaceManager::Release(uint32_t size, uint64_t address) {
    if (size == 0) return;
    std::lock_guard guard(lock_);
    TTimedScope timer(ReleaseTimer);
    TOstraFile& file = File();
    file.CheckWritable();
    EnsureHoles();
    auto [before, after] = holes_.FindNeighbours(size, address);
    if (address + size == file.DataSize()) {
        TTimedScope shrinkTimer(ShrinkDataEndTimer);
        file.SetDataSize(before ? before->Address : address);
        if (before) DeleteHole(before);
        return;
    }
    uint64_t merged = uint64_t(size) + (before ? before->Size : 0) + (after ? after->Size : 0);
    if (merged > UINT32_MAX) throw EKVZError(OstraCode::FileIo, OstraMsg::FileWriteError);
    TTimedScope growTimer(GrowHoleTimer);
    if (before && after) {
        ResizeHole(before, before->Address, before->Size + size + after->Size);
        DeleteHole(after);
    } else if (before) {
        ResizeHole(before, before->Address, before->Size + size);
    } else if (after) {
        ResizeHole(after, address, after->Size + size);
    } else {
        NewHole(size, address);
    }
}

TRef<ISpaceAllocator> CSpaceAllocator::Create(TOstraFile& file) { return MakeObj<TSpaceManager>(file); }
