// TAtomManager: the atom table of a storage file (segments of 32-byte entries, one per handle),
// atom bodies stored apart when they do not fit in their entry, handle allocation and recycling,
// and CRC checks on every entry and body. Sharing and transactions live above it.
#pragma once

#include "storage/AtomPeek.h"
#include "storage/OstraFile.h"
#include "storage/ReadWriteLock.h"
#include "storage/SpaceAllocator.h"
#include "storage/Unknown.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

// Part bits of TAtomRec.Loaded and of the Parts arguments.
inline constexpr uint8_t AtomPartCounts = 1;
inline constexpr uint8_t AtomPartLinks = 2;
inline constexpr uint8_t AtomPartData = 4;
inline constexpr uint8_t AtomPartAll = 7;

using TAtomHandleArray = std::vector<uint32_t>;
using TAtomEntry = std::array<uint8_t, 32>;

// Atom-table layout.
namespace AtomTable {
inline constexpr uint32_t HeadSize = 16; // Next u64, EntryCount u32, reserved u32
inline constexpr uint32_t EntrySize = 32;
inline constexpr uint32_t FirstSegmentEntries = 256; // doubling up to segment 7, then constant
inline constexpr uint32_t MaxSegmentShift = 7;
// Entry fields.
inline constexpr uint32_t CrcOffset = 0; // CRC of bytes 4..31
inline constexpr uint32_t LinkRefsOffset = 4;
inline constexpr uint32_t ExtRefsOffset = 8;
inline constexpr uint32_t FlagsOffset = 12;
inline constexpr uint32_t InlineOffset = 13;
inline constexpr uint32_t InlineSize = 19;
inline constexpr uint32_t LinkCountOffset = 13; // u24, external form
inline constexpr uint32_t DataLengthOffset = 16;
inline constexpr uint32_t BodyCrcOffset = 20;
inline constexpr uint32_t BodyAddressOffset = 24;
inline constexpr uint8_t FlagInline = 0x80;
inline constexpr uint32_t MaxLinkCount = (1u << 24) - 1;
} // namespace AtomTable

// The content of an atom as it travels between the object layer, the cache and the table.
struct TAtomData : TAtomContent {
    uint32_t LinkRefs = 0;
    uint32_t ExtRefs = 0;
    uint8_t LinkWidth = 1;
    uint8_t Parts = 0; // part bits present (AtomPartCounts, AtomPartLinks, AtomPartData)
};

// An atom travelling between the table and its callers.
struct TAtomRec {
    std::vector<uint8_t> Data;
    uint32_t Handle = 0;
    TAtomHandleArray Links;
    TAtomEntry Entry{}; // as last read or written
    bool EntryLoaded = false;
    uint8_t LinkWidth = 1; // 1..4 bytes per stored link
    uint32_t LinkRefs = 0;
    uint32_t ExtRefs = 0;
    uint8_t Loaded = 0; // part bits present
};

struct IAtomManager : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{47A455A7-E0D1-43E9-AF88-F01F826A3D66}");
    // Raises 5 for handle 0 or beyond the table, 12 on a CRC mismatch (marking the file damaged).
    virtual void ReadEntry(uint32_t handle, TAtomEntry& entry) = 0;
    // Sets the entry's CRC and writes it.
    virtual void WriteEntry(uint32_t handle, const TAtomEntry& entry) = 0;
    // Occupies the entry of hint (or of a new handle when hint is 0) as an empty atom.
    virtual uint32_t NewAtom(uint32_t hint) = 0;
    // Reserves a handle whose entry is free; the entry stays free on disk.
    virtual uint32_t NewHandle() = 0;
    virtual bool Exists(uint32_t handle) = 0;
    // Frees the body, zeroes the entry, recycles the handle; 5 when the entry is already free.
    virtual void Delete(uint32_t handle) = 0;
    // Gives back a reserved or deleted handle.
    virtual void RecycleHandle(uint32_t handle) = 0;
    virtual bool InRange(uint32_t handle) = 0;
    // Fills the parts of rec.Handle (and any missing ones the same body read gives).
    virtual void ReadAtom(TAtomRec& rec, uint8_t parts) = 0;
    // The data and links among parts of the atom at handle, straight into the caller's buffers:
    // the parts asked for are replaced, the others left as they are.
    virtual void ReadInto(uint32_t handle, uint8_t parts, TAtomContent& into) = 0;
    // A hint that the atoms at handles are read soon: where the table's copy in memory or the
    // file's view holds their entries already, the entries and then the heads of the bodies they
    // name (where the view holds them) are brought towards the processor. Nothing is checked,
    // read in or changed; handles that name no atom are passed over. A walk over atoms that lie
    // in no order waits on memory at every step. False when no entry was in memory.
    virtual bool Prefetch(std::span<const uint32_t> handles) noexcept = 0;
    // Stores the loaded ones among parts.
    virtual void WriteAtom(TAtomRec& rec, uint8_t parts) = 0;
    // NewAtom(rec.Handle) and WriteAtom(rec, parts) with one write of the entry.
    virtual void WriteNewAtom(TAtomRec& rec, uint8_t parts) = 0;

protected:
    ~IAtomManager() = default;
};

class TAtomManager final : public TUnknown, public IAtomManager, public IDisconnectInternalObject, public IBlockOwner {
public:
    // Reads the segment chain; a chain leaving the data or looping raises EOstraOpenError 207.
    explicit TAtomManager(TOstraFile& file);

    void ReadEntry(uint32_t handle, TAtomEntry& entry) override;
    void WriteEntry(uint32_t handle, const TAtomEntry& entry) override;
    uint32_t NewAtom(uint32_t hint) override;
    uint32_t NewHandle() override;
    bool Exists(uint32_t handle) override;
    void Delete(uint32_t handle) override;
    void RecycleHandle(uint32_t handle) override;
    bool InRange(uint32_t handle) override;
    void ReadAtom(TAtomRec& rec, uint8_t parts) override;
    void ReadInto(uint32_t handle, uint8_t parts, TAtomContent& into) override;
    bool Prefetch(std::span<const uint32_t> handles) noexcept override;
    void WriteAtom(TAtomRec& rec, uint8_t parts) override;
    void WriteNewAtom(TAtomRec& rec, uint8_t parts) override;
    void Disconnect() override;
    void ForEachSegment(const std::function<void(uint64_t, uint64_t)>& visit) override;

    uint32_t Total() const { return total_; }
    size_t SegmentCount() const { return segments_.size(); }

    // Entry helpers (pure functions of the 32 bytes).
    static bool IsFree(const TAtomEntry& entry);
    static bool IsInline(const TAtomEntry& entry);
    static uint32_t EntryCRC(const TAtomEntry& entry);

protected:
    void* GetInterface(const TGUID& iid) override;

private:
    // The table is read through the pager (its page buffer and view), entry by entry. A chunk
    // of ChunkEntries entries is copied into memory, and written through, when one of its
    // entries is read again: a walk that reads each entry once keeps no copy of the table (on a
    // list page the copy cost more than the reads it saved), a session that comes back to the
    // table reads it from memory. Which entries had their CRC checked (were read) is kept
    // apart, so that each is checked once while the file stays as read.
    static constexpr uint32_t ChunkEntries = 128;
    using TChunk = std::unique_ptr<TAtomEntry[]>;
    // What the manager knows of StretchEntries neighbouring entries, made when one of them is
    // first touched: an open costs the same however large the table is.
    static constexpr uint32_t StretchEntries = 4096;
    struct TStretch {
        std::array<uint64_t, StretchEntries / 64> Checked{}; // a bit an entry: its CRC matched
        std::array<uint64_t, StretchEntries / 64> Pooled{};  // the handle is in the pool
        std::array<TChunk, StretchEntries / ChunkEntries> Chunks;
    };
    struct TSegment {
        uint64_t Address;
        uint32_t EntryCount;
        uint32_t FirstIndex;
    };
    TOstraFile& File() const;
    void LoadChain();
    uint64_t EntryAddress(uint32_t index) const;
    void CheckHandle(uint32_t handle);
    // ReadEntry for a caller that holds lock_ and the file's view lock.
    void ReadEntryHeld(uint32_t handle, TAtomEntry& entry);
    // The data and links (those of want) of the atom whose entry this is, read and checked
    // before any of data, links and width is touched. For a caller that holds lock_ and the
    // file's view lock.
    void ReadParts(uint32_t handle, const TAtomEntry& entry, uint8_t want, std::vector<uint8_t>& data,
                   TAtomHandleArray& links, uint8_t& width);
    void MarkDamaged();
    void AppendSegment();
    uint32_t ScanForFree();
    uint32_t ScanRun();
    void ReadScanRun();
    static constexpr uint32_t ScanEntries = 32768; // entries of one read of the pass: a segment's
    // The entry as the file holds it (stretch: that of index), for a caller that holds lock_ and
    // the file's view lock.
    void ReadRawEntry(uint32_t index, TStretch& stretch, TAtomEntry& entry);
    // Copies the chunk of index into memory; nothing is kept when the read fails.
    void LoadChunk(uint32_t index);
    // The entry in its chunk's copy, or nullptr when the chunk is not copied.
    const uint8_t* CopiedEntry(uint32_t index) const;
    // CopiedEntry, else the entry in the file's view where that holds it already; for hints.
    const uint8_t* HeldEntry(uint32_t index);
    void ReadTableRange(uint8_t* into, uint32_t first, uint32_t count);
    // Whether the entry just read passes its CRC (checked once); false on a mismatch.
    bool Verified(uint32_t index, TStretch& stretch, const TAtomEntry& entry);
    // The entry, its CRC checked; false on a mismatch.
    bool CheckedEntry(uint32_t index, TAtomEntry& entry);
    // Stretches are found through groups of GroupStretches, each made when one of its stretches
    // is: the directory is a pointer per 2^18 entries, nothing an open walks or clears.
    static constexpr uint32_t GroupStretches = 64;
    using TStretchGroup = std::array<std::unique_ptr<TStretch>, GroupStretches>;
    // The stretch of index, or nullptr when none was made; StretchOf makes it.
    TStretch* FoundStretch(uint32_t index) const {
        size_t s = index / StretchEntries, g = s / GroupStretches;
        return g < stretches_.size() && stretches_[g] ? (*stretches_[g])[s % GroupStretches].get() : nullptr;
    }
    TStretch& StretchOf(uint32_t index) {
        TStretch* stretch = FoundStretch(index);
        return stretch ? *stretch : MakeStretch(index / StretchEntries);
    }
    TStretch& MakeStretch(size_t s);
    TChunk& ChunkOf(uint32_t index) { return StretchOf(index).Chunks[index % StretchEntries / ChunkEntries]; }
    bool IsChecked(uint32_t index) const;
    void SetChecked(uint32_t index, bool checked);
    const TSegment& SegmentOf(uint32_t index) const;
    uint32_t AlignOf() const;
    uint64_t ReservedSize(uint64_t bodyLength) const;
    void LoadEntry(TAtomRec& rec);

    TOstraFile* file_;
    TCriticalSection lock_;
    std::vector<uint32_t> pool_; // recycled handles, last in first out
    uint32_t scanPos_ = 0;
    // The first entry of the segments appended this session: from there on every entry the scan
    // has not handed out is free, and is handed out unread (UINT32_MAX: none, or one was written).
    uint32_t freshFrom_ = UINT32_MAX;
    std::vector<TSegment> segments_;
    TReadWriteLock segmentsLock_;
    uint32_t total_ = 0;
    // By stretch / GroupStretches, grown as touched.
    std::vector<std::unique_ptr<TStretchGroup>> stretches_;
    std::vector<uint8_t> body_; // an atom body on its way in or out (under lock_)
    // Entries [scanFirst_, scanFirst_ + scanCount_) as the free-entry pass read them, kept the
    // same as the table by WriteEntry.
    std::unique_ptr<uint8_t[]> scanBuffer_;
    uint32_t scanFirst_ = 0;
    uint32_t scanCount_ = 0;
    std::vector<uint32_t> prefetched_; // handles whose entries were asked for, not yet bodies
};

struct CAtomManager {
    static TRef<IAtomManager> Create(TOstraFile& file);
};
