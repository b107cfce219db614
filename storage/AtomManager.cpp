// The atom table: entries in both forms, bodies, handle allocation and the CRC checks.
#include "storage/AtomManager.h"

#include "storage/Crc32.h"
#include "storage/KVZError.h"
#include "storage/Prefetch.h"
#include "storage/SpaceAllocator.h"
#include "storage/Support.h"
#include "storage/Timers.h"

#include <algorithm>
#include <bit>
#include <cstring>

using namespace AtomTable;

namespace {
enum : int {
    AppendSegmentTimer = 11,
    NewHandleTimer = 12,
    RecycleHandleTimer = 13,
    NewAtomTimer = 14,
    DeleteTimer = 15,
    ReadAtomTimer = 16,
    WriteAtomTimer = 17,
};

uint32_t GetLE24(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16; }
void PutLE24(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
}

uint8_t WidthOf(const TAtomEntry& entry) { return uint8_t(((entry[FlagsOffset] >> 5) & 3) + 1); }

// Decodes count links of width bytes from p into links, with one loop per width.
void DecodeLinks(const uint8_t* p, uint8_t width, uint32_t count, TAtomHandleArray& links) {
    links.resize(count);
    uint32_t* out = links.data();
    switch (width) {
    case 1:
        for (uint32_t i = 0; i < count; ++i) out[i] = p[i];
        break;
    case 2:
        for (uint32_t i = 0; i < count; ++i) out[i] = uint32_t(p[2 * i]) | uint32_t(p[2 * i + 1]) << 8;
        break;
    case 3:
        for (uint32_t i = 0; i < count; ++i) out[i] = GetLE24(p + 3 * size_t(i));
        break;
    default:
        for (uint32_t i = 0; i < count; ++i) out[i] = GetLE32(p + 4 * size_t(i));
        break;
    }
}

void PutLink(uint8_t* p, uint32_t handle, uint8_t width) {
    for (uint8_t i = 0; i < width; ++i) p[i] = uint8_t(handle >> (8 * i));
}

// Stored length of an external atom's body: data then links.
uint64_t BodyLengthOf(const TAtomEntry& entry) {
    return uint64_t(GetLE32(&entry[DataLengthOffset])) + uint64_t(GetLE24(&entry[LinkCountOffset])) * WidthOf(entry);
}

[[noreturn]] void RaiseInvalidAddress() {
    throw EKVZError(OstraCode::InvalidAtomAddress, OstraMsg::InvalidAtomAddress);
}
[[noreturn]] void RaiseTooLarge() { throw EKVZError(OstraCode::FileIo, OstraMsg::FileWriteError); }

// The inline form keeps no link count: links run up to the last non-zero byte.
// Into links, whose memory is reused.
void DecodeInlineLinks(const TAtomEntry& entry, TAtomHandleArray& links) {
    uint32_t dataLength = entry[FlagsOffset] & 0x1F;
    uint8_t width = WidthOf(entry);
    const uint8_t* inlineBytes = &entry[InlineOffset];
    // The last non-zero byte, eight bytes at a time from the end.
    uint32_t end = InlineSize;
    while (end >= dataLength + 8) {
        uint64_t word;
        std::memcpy(&word, inlineBytes + end - 8, 8);
        if (word) break;
        end -= 8;
    }
    while (end > dataLength && inlineBytes[end - 1] == 0) --end;
    links.clear();
    if (end <= dataLength) return;
    uint32_t count = (end - dataLength + width - 1) / width;
    uint8_t padded[InlineSize + 4] = {};
    std::copy(inlineBytes, inlineBytes + InlineSize, padded);
    DecodeLinks(padded + dataLength, width, count, links);
}
} // namespace

TAtomManager::TAtomManager(TOstraFile& file) : file_(&file) { LoadChain(); }

void* TAtomManager::GetInterface(const TGUID& iid) {
    if (void* found = FindInterface<IAtomManager, IDisconnectInternalObject, IBlockOwner>(this, iid)) return found;
    return TUnknown::GetInterface(iid);
}

void TAtomManager::Disconnect() {
    std::lock_guard guard(lock_);
    file_ = nullptr;
}

namespace {
// Both come in every atom read: their raises stay out of line.
[[noreturn, gnu::cold]] void RaiseDisconnected() { throw EKVZError(OstraCode::AccessDenied, OstraMsg::AccessDenied); }
[[noreturn, gnu::cold]] void RaiseNoSegment() { throw EInvalidIndex(); }
} // namespace

TOstraFile& TAtomManager::File() const {
    if (!file_) [[unlikely]]
        RaiseDisconnected();
    return *file_;
}

bool TAtomManager::IsFree(const TAtomEntry& entry) {
    return entry[FlagsOffset] == 0 &&
           std::all_of(&entry[BodyAddressOffset], entry.data() + EntrySize, [](uint8_t b) { return b == 0; });
}

bool TAtomManager::IsInline(const TAtomEntry& entry) { return (entry[FlagsOffset] & FlagInline) != 0; }

uint32_t TAtomManager::EntryCRC(const TAtomEntry& entry) {
    return CRC32Of(std::span<const uint8_t>(entry.data() + 4, EntrySize - 4));
}

// Every segment must lie inside the data and be met once; anything else is a damaged file. Met
// once: segments do not overlap, so together they span no more than the data; a chain that
// comes back to a segment spans more before long.
void TAtomManager::LoadChain() {
    TOstraFile& file = File();
    TPager& pager = file.Pager();
    const uint64_t dataSize = file.DataSize();
    auto damaged = [&] {
        return EOstraOpenError(OstraCode::FileDamaged, StrFormat(OstraMsg::FileDamaged, file.FullPath().c_str()));
    };
    // Past the doubling segments each spans a little over a MiB: room for all the data can hold.
    segments_.reserve(size_t(std::min<uint64_t>(dataSize >> 20, 1u << 16)) + MaxSegmentShift + 1);
    uint64_t total = 0, spanned = 0;
    uint32_t expected = FirstSegmentEntries;
    auto checkAddress = [&](uint64_t address) {
        if (address != 0 && (address < OstraHeader::Size || address > dataSize || dataSize - address < HeadSize))
            throw damaged();
        return address;
    };
    uint8_t head[HeadSize];
    pager.ReadChainOnce(checkAddress(file.AtomTableRoot()), head, [&](uint64_t address) {
        uint32_t count = GetLE32(head + 8);
        uint64_t length = HeadSize + uint64_t(EntrySize) * count;
        spanned += length;
        if (dataSize - address < length || total + count > UINT32_MAX || spanned > dataSize) throw damaged();
        // The count is outside every CRC, but follows from the segment's place in the chain.
        if (count != expected && !(count < expected && total + count == UINT32_MAX)) throw damaged();
        segments_.push_back({address, count, uint32_t(total)});
        total += count;
        if (segments_.size() <= MaxSegmentShift) expected *= 2;
        return checkAddress(GetLE64(head));
    });
    total_ = uint32_t(total);
}

void TAtomManager::ForEachSegment(const std::function<void(uint64_t, uint64_t)>& visit) {
    for (const TSegment& segment : segments_) visit(segment.Address, HeadSize + uint64_t(EntrySize) * segment.EntryCount);
}

// Segments change only under lock_, which every caller holds.
uint64_t TAtomManager::EntryAddress(uint32_t index) const {
    const TSegment& segment = SegmentOf(index);
    return segment.Address + HeadSize + uint64_t(index - segment.FirstIndex) * EntrySize;
}

void TAtomManager::CheckHandle(uint32_t handle) {
    if (handle == 0 || handle > total_) RaiseInvalidAddress();
}

// The damaged mark is best effort: the CRC error that follows is what the caller must see.
void TAtomManager::MarkDamaged() {
    TOstraFile& file = File();
    if (file.ReadOnly()) return;
    try {
        file.SetFlags(uint16_t(file.Flags() | OstraHeader::FlagDamaged));
    } catch (const std::exception&) {}
}

void TAtomManager::ReadEntry(uint32_t handle, TAtomEntry& entry) {
    std::lock_guard guard(lock_);
    std::lock_guard views(File().Pager().ViewLock());
    ReadEntryHeld(handle, entry);
}

void TAtomManager::ReadEntryHeld(uint32_t handle, TAtomEntry& entry) {
    CheckHandle(handle);
    File();
    if (!CheckedEntry(handle - 1, entry)) {
        MarkDamaged();
        throw EKVZError::CreateFmt(OstraCode::EntryCrc, OstraMsg::EntryCrcFailed, File().FullPath().c_str(), handle);
    }
}

void TAtomManager::WriteEntry(uint32_t handle, const TAtomEntry& entry) {
    CheckHandle(handle);
    std::lock_guard guard(lock_);
    if (handle > scanPos_ && handle - 1 >= freshFrom_) freshFrom_ = UINT32_MAX; // the scan reads them again
    TAtomEntry stored = entry;
    PutLE32(&stored[CrcOffset], EntryCRC(stored));
    uint32_t index = handle - 1;
    TChunk& chunk = ChunkOf(index);
    try {
        File().Pager().WriteAt(stored, EntryAddress(index));
    } catch (...) {
        // The disk may hold anything now: read it again, and check it, when needed.
        chunk.reset();
        SetChecked(index, false);
        scanCount_ = 0;
        throw;
    }
    if (chunk) chunk[index % ChunkEntries] = stored;
    if (index - scanFirst_ < scanCount_)
        std::memcpy(scanBuffer_.get() + size_t(index - scanFirst_) * EntrySize, stored.data(), EntrySize);
    SetChecked(index, true);
}

// Segment k holds FirstSegmentEntries << min(k, MaxSegmentShift) entries (the chain is refused
// at open otherwise), so the segment of an index follows from the index alone.
const TAtomManager::TSegment& TAtomManager::SegmentOf(uint32_t index) const {
    constexpr uint32_t doublingEnd = FirstSegmentEntries * ((1u << MaxSegmentShift) - 1);
    size_t k = index < doublingEnd
                   ? size_t(std::bit_width(index / FirstSegmentEntries + 1) - 1)
                   : MaxSegmentShift + size_t((index - doublingEnd) / (FirstSegmentEntries << MaxSegmentShift));
    if (k >= segments_.size() || index - segments_[k].FirstIndex >= segments_[k].EntryCount) [[unlikely]]
        RaiseNoSegment();
    return segments_[k];
}

void TAtomManager::ReadRawEntry(uint32_t index, TStretch& stretch, TAtomEntry& entry) {
    uint32_t local = index % StretchEntries;
    TChunk& chunk = stretch.Chunks[local / ChunkEntries];
    if (!chunk && (stretch.Checked[local / 64] >> (local % 64) & 1)) LoadChunk(index);
    if (chunk) {
        entry = chunk[index % ChunkEntries];
        return;
    }
    TOstraFile& file = File();
    uint64_t address = EntryAddress(index);
    if (const uint8_t* at = file.Pager().ViewOfHeld(address, EntrySize))
        std::memcpy(entry.data(), at, EntrySize);
    else
        file.Pager().ReadAt(entry, address);
}

const uint8_t* TAtomManager::CopiedEntry(uint32_t index) const {
    const TStretch* stretch = FoundStretch(index);
    if (!stretch) return nullptr;
    const TChunk& chunk = stretch->Chunks[index % StretchEntries / ChunkEntries];
    return chunk ? chunk[index % ChunkEntries].data() : nullptr;
}

TAtomManager::TStretch& TAtomManager::MakeStretch(size_t s) {
    size_t g = s / GroupStretches;
    if (g >= stretches_.size()) stretches_.resize(g + 1);
    if (!stretches_[g]) stretches_[g] = std::make_unique<TStretchGroup>();
    std::unique_ptr<TStretch>& stretch = (*stretches_[g])[s % GroupStretches];
    if (!stretch) stretch = std::make_unique<TStretch>();
    return *stretch;
}

const uint8_t* TAtomManager::HeldEntry(uint32_t index) {
    if (const uint8_t* entry = CopiedEntry(index)) return entry;
    return file_->Pager().ResidentView(EntryAddress(index), EntrySize);
}

// Entries are asked for at once; the bodies they name one call later, when the entries have
// had the time to come in (a walk reads the first child between the two calls).
bool TAtomManager::Prefetch(std::span<const uint32_t> handles) noexcept {
    TGuardIfThreads guard(lock_); // nothing here starts a thread
    if (!file_) return false;
    try {
        TOstraFile& file = *file_;
        for (uint32_t handle : prefetched_) {
            const uint8_t* entry = HeldEntry(handle - 1);
            if (!entry || entry[FlagsOffset] & FlagInline) continue;
            if (const uint8_t* body = file.Pager().ResidentView(GetLE64(entry + BodyAddressOffset), 1))
                ::Prefetch(body);
        }
        prefetched_.clear();
        for (uint32_t handle : handles)
            if (handle != 0 && handle <= total_)
                if (const uint8_t* entry = HeldEntry(handle - 1)) {
                    ::Prefetch(entry);
                    prefetched_.push_back(handle);
                }
    } catch (...) {
        // A hint: whatever stood in its way is found again by the read it was for.
        prefetched_.clear();
    }
    return !prefetched_.empty();
}

void TAtomManager::LoadChunk(uint32_t index) {
    TChunk chunk = std::make_unique<TAtomEntry[]>(ChunkEntries); // zeros beyond the table's end
    uint32_t first = index / ChunkEntries * ChunkEntries;
    ReadTableRange(chunk[0].data(), first, std::min(total_ - first, ChunkEntries));
    ChunkOf(index) = std::move(chunk);
}

// Entries [first, first + count) into consecutive bytes: one read per segment crossed.
void TAtomManager::ReadTableRange(uint8_t* into, uint32_t first, uint32_t count) {
    TOstraFile& file = File();
    while (count > 0) {
        const TSegment& segment = SegmentOf(first);
        uint32_t local = first - segment.FirstIndex;
        uint32_t piece = std::min(count, segment.EntryCount - local);
        file.Pager().ReadAt(std::span<uint8_t>(into, size_t(piece) * EntrySize),
                            segment.Address + HeadSize + uint64_t(local) * EntrySize);
        into += size_t(piece) * EntrySize;
        first += piece;
        count -= piece;
    }
}

bool TAtomManager::Verified(uint32_t index, TStretch& stretch, const TAtomEntry& entry) {
    uint32_t local = index % StretchEntries;
    uint64_t bit = uint64_t(1) << (local % 64);
    if (stretch.Checked[local / 64] & bit) return true;
    if (GetLE32(&entry[CrcOffset]) != EntryCRC(entry)) return false;
    stretch.Checked[local / 64] |= bit;
    return true;
}

// One lookup of the stretch for the read and the check: every atom read comes here.
bool TAtomManager::CheckedEntry(uint32_t index, TAtomEntry& entry) {
    TStretch& stretch = StretchOf(index);
    ReadRawEntry(index, stretch, entry);
    return Verified(index, stretch, entry);
}

namespace {
template <size_t N> bool BitOf(const std::array<uint64_t, N>& bits, uint32_t i) { return bits[i / 64] >> (i % 64) & 1; }
template <size_t N> void PutBit(std::array<uint64_t, N>& bits, uint32_t i, bool on) {
    uint64_t bit = uint64_t(1) << (i % 64);
    if (on)
        bits[i / 64] |= bit;
    else
        bits[i / 64] &= ~bit;
}
} // namespace

bool TAtomManager::IsChecked(uint32_t index) const {
    const TStretch* stretch = FoundStretch(index);
    return stretch && BitOf(stretch->Checked, index % StretchEntries);
}

void TAtomManager::SetChecked(uint32_t index, bool checked) {
    PutBit(StretchOf(index).Checked, index % StretchEntries, checked);
}

bool TAtomManager::InRange(uint32_t handle) { return handle >= 1 && handle <= total_; }

bool TAtomManager::Exists(uint32_t handle) {
    if (!InRange(handle)) return false;
    TAtomEntry entry;
    ReadEntry(handle, entry);
    return !IsFree(entry);
}

namespace {
// The entry of an atom with nothing in it.
TAtomEntry EmptyAtomEntry() {
    TAtomEntry entry{};
    entry[FlagsOffset] = FlagInline;
    return entry;
}
} // namespace

uint32_t TAtomManager::NewAtom(uint32_t hint) {
    std::lock_guard guard(lock_);
    TTimedScope timer(NewAtomTimer);
    uint32_t handle = hint != 0 ? hint : NewHandle();
    WriteEntry(handle, EmptyAtomEntry());
    return handle;
}

// The new atom starts from an empty entry held in rec rather than one written and read back.
void TAtomManager::WriteNewAtom(TAtomRec& rec, uint8_t parts) {
    std::lock_guard guard(lock_);
    TTimedScope timer(NewAtomTimer);
    rec.Entry = EmptyAtomEntry();
    rec.EntryLoaded = true;
    if ((parts & rec.Loaded) == 0)
        WriteEntry(rec.Handle, rec.Entry);
    else
        WriteAtom(rec, parts);
}

uint32_t TAtomManager::NewHandle() {
    std::lock_guard guard(lock_);
    TTimedScope timer(NewHandleTimer);
    File();
    if (!pool_.empty()) {
        uint32_t handle = pool_.back();
        pool_.pop_back();
        PutBit(StretchOf(handle - 1).Pooled, (handle - 1) % StretchEntries, false);
        return handle;
    }
    return ScanForFree();
}

// Entries with a bad CRC are passed over unmarked. Each entry is looked at once per open; a
// segment appended in this open is all free, and is handed out without being read. The caller
// holds lock_; the segments' lock is taken only to change the chain.
uint32_t TAtomManager::ScanForFree() {
    {
        std::lock_guard views(File().Pager().ViewLock());
        while (scanPos_ < total_) {
            if (scanPos_ >= freshFrom_) return ++scanPos_;
            if (uint32_t handle = ScanRun()) return handle;
        }
    }
    if (total_ == UINT32_MAX) RaiseTooLarge();
    uint32_t handle = total_ + 1;
    segmentsLock_.BeginWrite();
    try {
        AppendSegment();
    } catch (...) {
        segmentsLock_.EndWrite();
        throw;
    }
    segmentsLock_.EndWrite();
    scanPos_ = handle;
    return handle;
}

// Every entry of the table is passed once by the first writer of each open, so the pass is one
// tight loop over the bytes as the file holds them: the free test (flags byte, then body
// address) on each, the CRC only of a free one. The handle found, or 0 with scanPos_ past the
// run (what is left of the read in scanBuffer_). The table is read into that one buffer, a
// segment's worth at a time, not through the view: the pass touches every entry, and through a
// mapping all of the table would stay in the process's memory.
uint32_t TAtomManager::ScanRun() {
    if (scanPos_ < scanFirst_ || scanPos_ >= scanFirst_ + scanCount_) ReadScanRun();
    const uint8_t* entries = scanBuffer_.get() + size_t(scanPos_ - scanFirst_) * EntrySize;
    uint32_t count = scanFirst_ + scanCount_ - scanPos_;
    size_t length = size_t(count) * EntrySize;
    // Entries from offset on are whole quads while offset < quadsEnd.
    size_t quadsEnd = length < 4 * EntrySize ? 0 : length - 4 * EntrySize + 1;
    for (size_t offset = 0; offset != length; offset += EntrySize) {
        // Four entries with their flags set (inline atoms, external ones with links wider than a
        // byte) are in use: most of the table is passed this way, with a test of one byte each.
        const uint8_t* flags = entries + FlagsOffset;
        while (offset < quadsEnd && flags[offset] && flags[offset + EntrySize] && flags[offset + 2 * EntrySize] &&
               flags[offset + 3 * EntrySize])
            offset += 4 * EntrySize;
        if (offset == length) break;
        const uint8_t* at = entries + offset;
        uint64_t bodyAddress;
        std::memcpy(&bodyAddress, at + BodyAddressOffset, sizeof bodyAddress);
        if ((bodyAddress | at[FlagsOffset]) != 0) [[likely]]
            continue;
        uint32_t index = scanPos_ + uint32_t(offset / EntrySize);
        TAtomEntry entry;
        std::memcpy(entry.data(), at, EntrySize);
        if (Verified(index, StretchOf(index), entry)) {
            scanPos_ = index + 1;
            return scanPos_;
        }
    }
    scanPos_ += count;
    return 0;
}

// The entries from scanPos_ to the end of its segment (at most ScanEntries, and none from
// freshFrom_ on) into scanBuffer_.
void TAtomManager::ReadScanRun() {
    const TSegment& segment = SegmentOf(scanPos_);
    uint32_t local = scanPos_ - segment.FirstIndex;
    uint32_t count = std::min({segment.EntryCount - local, ScanEntries, freshFrom_ - scanPos_});
    if (!scanBuffer_) scanBuffer_ = std::make_unique_for_overwrite<uint8_t[]>(size_t(ScanEntries) * EntrySize);
    scanCount_ = 0;
    File().Pager().ReadAtOnce(std::span<uint8_t>(scanBuffer_.get(), size_t(count) * EntrySize),
                              segment.Address + HeadSize + uint64_t(local) * EntrySize);
    scanFirst_ = scanPos_;
    scanCount_ = count;
}

void TAtomManager::AppendSegment() {
    TTimedScope timer(AppendSegmentTimer);
    TOstraFile& file = File();
    uint32_t count = FirstSegmentEntries << std::min<size_t>(segments_.size(), MaxSegmentShift);
    if (uint64_t(total_) + count > UINT32_MAX) count = UINT32_MAX - total_;
    uint32_t entryBytes = EntrySize * count;
    uint64_t address = file.SpaceAllocator()->Allocate(HeadSize + entryBytes);
    uint8_t head[HeadSize] = {};
    PutLE32(head + 8, count);
    file.Pager().WriteAt(head, address);
    file.Pager().FillAt(entryBytes, 0, address + HeadSize);
    segments_.push_back({address, count, total_});
    uint32_t first = total_;
    total_ += count;
    // Zeros, as written: the CRC of an all-zero entry is zero, so they count as checked.
    for (uint32_t index = first; index < total_; ++index) SetChecked(index, true);
    freshFrom_ = std::min(freshFrom_, first);
    if (segments_.size() == 1) {
        file.SetAtomTableRoot(address);
        return;
    }
    uint8_t next[8];
    PutLE64(next, address);
    file.Pager().WriteAt(next, segments_[segments_.size() - 2].Address);
}

// A handle beyond the scan will be found again by it; one already pooled is not pooled twice.
void TAtomManager::RecycleHandle(uint32_t handle) {
    std::lock_guard guard(lock_);
    TTimedScope timer(RecycleHandleTimer);
    if (handle == 0 || handle > scanPos_ || handle > total_) return;
    TStretch& stretch = StretchOf(handle - 1);
    if (BitOf(stretch.Pooled, (handle - 1) % StretchEntries)) return;
    PutBit(stretch.Pooled, (handle - 1) % StretchEntries, true);
    pool_.push_back(handle);
}

void TAtomManager::Delete(uint32_t handle) {
    if (handle == 0) RaiseInvalidAddress();
    std::lock_guard guard(lock_);
    TTimedScope timer(DeleteTimer);
    TAtomEntry entry;
    ReadEntry(handle, entry);
    if (IsFree(entry)) RaiseInvalidAddress();
    if (!IsInline(entry)) {
        uint64_t reserved = ReservedSize(BodyLengthOf(entry));
        if (reserved != 0 && reserved <= UINT32_MAX)
            File().SpaceAllocator()->Release(uint32_t(reserved), GetLE64(&entry[BodyAddressOffset]));
    }
    WriteEntry(handle, TAtomEntry{});
    RecycleHandle(handle);
}

// AtomSizeAlign 0 is never written by this system; a file carrying it is read as 1.
uint32_t TAtomManager::AlignOf() const {
    uint8_t align = File().AtomSizeAlign();
    return align == 0 ? 1 : align;
}

uint64_t TAtomManager::ReservedSize(uint64_t bodyLength) const {
    uint64_t align = AlignOf();
    return (bodyLength + align - 1) / align * align;
}

void TAtomManager::LoadEntry(TAtomRec& rec) {
    if (!rec.EntryLoaded) {
        ReadEntry(rec.Handle, rec.Entry);
        rec.EntryLoaded = true;
    }
    if (IsFree(rec.Entry)) RaiseInvalidAddress();
}

void TAtomManager::ReadParts(uint32_t handle, const TAtomEntry& entry, uint8_t want, std::vector<uint8_t>& data,
                             TAtomHandleArray& links, uint8_t& width) {
    if (IsInline(entry)) {
        if (want & AtomPartData) {
            uint32_t length = std::min<uint32_t>(entry[FlagsOffset] & 0x1F, InlineSize);
            data.assign(&entry[InlineOffset], &entry[InlineOffset] + length);
        }
        if (want & AtomPartLinks) {
            width = WidthOf(entry);
            DecodeInlineLinks(entry, links);
        }
        return;
    }
    if (!(want & (AtomPartData | AtomPartLinks))) return;
    uint64_t length = BodyLengthOf(entry);
    uint64_t address = GetLE64(&entry[BodyAddressOffset]);
    TOstraFile& file = File();
    bool inside = address >= OstraHeader::Size && address <= file.DataSize() && file.DataSize() - address >= length;
    // Read where it lies when the file's view holds it, else copied in.
    const uint8_t* body = nullptr;
    if (inside && !(body = file.Pager().ViewOfHeld(address, size_t(length)))) {
        body_.resize(size_t(length));
        file.Pager().ReadAt(body_, address);
        body = body_.data();
    }
    if (!inside || CRC32Of({body, size_t(length)}) != GetLE32(&entry[BodyCrcOffset])) {
        MarkDamaged();
        throw EKVZError::CreateFmt(OstraCode::BodyCrc, OstraMsg::BodyCrcFailed, file.FullPath().c_str(), handle);
    }
    uint32_t dataLength = GetLE32(&entry[DataLengthOffset]);
    if (want & AtomPartLinks) {
        width = WidthOf(entry);
        DecodeLinks(body + dataLength, width, GetLE24(&entry[LinkCountOffset]), links);
    }
    if (want & AtomPartData) data.assign(body, body + dataLength);
}

// Everything that can fail (the entry, the body and their checks) comes before rec is touched.
void TAtomManager::ReadAtom(TAtomRec& rec, uint8_t parts) {
    if (parts == 0) return;
    TTimedScope timer(ReadAtomTimer);
    std::lock_guard guard(lock_); // the table and the body buffer
    std::lock_guard views(File().Pager().ViewLock());
    TAtomEntry entry = rec.Entry;
    if (!rec.EntryLoaded) ReadEntryHeld(rec.Handle, entry);
    if (IsFree(entry)) RaiseInvalidAddress();
    uint8_t fill = uint8_t(parts | (AtomPartAll & ~rec.Loaded));
    // A body read for the parts asked for yields the others not loaded yet too.
    uint8_t want = uint8_t(parts & (AtomPartData | AtomPartLinks));
    if (want && !IsInline(entry)) want = uint8_t(fill & (AtomPartData | AtomPartLinks));
    ReadParts(rec.Handle, entry, want, rec.Data, rec.Links, rec.LinkWidth);
    rec.Entry = entry;
    rec.EntryLoaded = true;
    if (fill & AtomPartCounts) {
        rec.LinkRefs = GetLE32(&entry[LinkRefsOffset]);
        rec.ExtRefs = GetLE32(&entry[ExtRefsOffset]);
        rec.Loaded |= AtomPartCounts;
    }
    rec.Loaded |= want;
}

// Every atom a walk or lookup reads comes here, so what it calls, the vectors' growth included,
// is compiled into it.
[[gnu::flatten]] void TAtomManager::ReadInto(uint32_t handle, uint8_t parts, TAtomContent& into) {
    TTimedScope timer(ReadAtomTimer);
    TGuardIfThreads guard(lock_); // the table and the body buffer
    TGuardIfThreads views(File().Pager().ViewLock());
    TAtomEntry entry;
    ReadEntryHeld(handle, entry);
    if (IsFree(entry)) RaiseInvalidAddress();
    uint8_t width;
    ReadParts(handle, entry, parts, into.Data, into.Links, width);
}

void TAtomManager::WriteAtom(TAtomRec& rec, uint8_t parts) {
    parts &= rec.Loaded;
    if (parts == 0) return;
    TTimedScope timer(WriteAtomTimer);
    LoadEntry(rec);
    TAtomEntry& entry = rec.Entry;
    bool wasInline = IsInline(entry);
    uint64_t oldReserved = wasInline ? 0 : ReservedSize(BodyLengthOf(entry));
    uint64_t oldAddress = GetLE64(&entry[BodyAddressOffset]);
    uint32_t oldDataLength = wasInline ? 0 : GetLE32(&entry[DataLengthOffset]);

    if (parts & (AtomPartData | AtomPartLinks)) {
        uint8_t missing = uint8_t((AtomPartData | AtomPartLinks) & ~rec.Loaded);
        if (missing) ReadAtom(rec, missing);
        uint8_t width = uint8_t(std::clamp<int>(rec.LinkWidth, 1, 4));
        uint64_t bodyLength = rec.Data.size() + uint64_t(rec.Links.size()) * width;
        if (bodyLength > InlineSize) {
            uint64_t newReserved = ReservedSize(bodyLength);
            if (rec.Links.size() > MaxLinkCount || newReserved > UINT32_MAX) RaiseTooLarge();
            std::lock_guard guard(lock_); // the body buffer
            std::vector<uint8_t>& body = body_;
            body.assign(rec.Data.begin(), rec.Data.end());
            body.resize(size_t(bodyLength));
            for (size_t i = 0; i < rec.Links.size(); ++i)
                PutLink(&body[rec.Data.size() + i * width], rec.Links[i], width);
            std::fill(entry.begin() + FlagsOffset, entry.end(), 0);
            entry[FlagsOffset] = uint8_t((width - 1) * 32);
            PutLE24(&entry[LinkCountOffset], uint32_t(rec.Links.size()));
            PutLE32(&entry[DataLengthOffset], uint32_t(rec.Data.size()));
            PutLE32(&entry[BodyCrcOffset], CRC32Of(body));
            uint64_t address = oldAddress;
            if (newReserved != oldReserved) {
                parts |= AtomPartData | AtomPartLinks;
                ISpaceAllocator* space = File().SpaceAllocator();
                if (oldReserved != 0) space->Release(uint32_t(oldReserved), oldAddress);
                address = space->Allocate(uint32_t(newReserved));
            }
            PutLE64(&entry[BodyAddressOffset], address);
            TOstraFile& file = File();
            if ((parts & AtomPartData) && !rec.Data.empty())
                file.Pager().WriteAt(std::span<const uint8_t>(body.data(), rec.Data.size()), address);
            bool linksMoved = rec.Data.size() != oldDataLength;
            if (((parts & AtomPartLinks) || linksMoved) && !rec.Links.empty())
                file.Pager().WriteAt(
                    std::span<const uint8_t>(body.data() + rec.Data.size(), body.size() - rec.Data.size()),
                    address + rec.Data.size());
        } else {
            if (oldReserved != 0 && oldReserved <= UINT32_MAX)
                File().SpaceAllocator()->Release(uint32_t(oldReserved), oldAddress);
            std::fill(entry.begin() + FlagsOffset, entry.end(), 0);
            entry[FlagsOffset] = uint8_t(FlagInline + (width - 1) * 32 + rec.Data.size());
            std::copy(rec.Data.begin(), rec.Data.end(), &entry[InlineOffset]);
            for (size_t i = 0; i < rec.Links.size(); ++i)
                PutLink(&entry[InlineOffset + rec.Data.size() + i * width], rec.Links[i], width);
        }
    }
    if (parts & AtomPartCounts) {
        PutLE32(&entry[LinkRefsOffset], rec.LinkRefs);
        PutLE32(&entry[ExtRefsOffset], rec.ExtRefs);
    }
    WriteEntry(rec.Handle, entry);
    PutLE32(&entry[CrcOffset], EntryCRC(entry));
}

TRef<IAtomManager> CAtomManager::Create(TOstraFile& file) { return MakeObj<TAtomManager>(file); }
