// TOstraFile: the one operating-system file of a storage, its 128-byte header (checked at open,
// kept in memory, rewritten on change) and positioned reads and writes under one lock, with a
// page buffer and the commit protocol over a rollback journal. It creates the free-space and
// atom-table managers at the end of its open; it knows no atoms.
#pragma once

#include "platform/Clock.h"
#include "platform/CriticalSection.h"
#include "platform/Guid.h"
#include "platform/OsFile.h"
#include "storage/Corvane.h"
#include "storage/Journal.h"
#include "storage/Unknown.h"

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <memory>
#include <span>
#include <string>

struct IAtomManager;
struct ISpaceAllocator;

// Makes a manager forget its file; the file calls it on both managers when it closes.
struct IDisconnectInternalObject : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{999D33E7-ED42-47EB-B717-31CB65F45CB9}");
    virtual void Disconnect() = 0;

protected:
    ~IDisconnectInternalObject() = default;
};

// The file header, 128 bytes at offset 0, little-endian.
namespace OstraHeader {
inline constexpr uint32_t Size = 128;
inline constexpr uint32_t SignatureOffset = 0;
inline constexpr uint32_t SignatureSize = 16;
inline constexpr uint32_t HoleTableRootOffset = 16;
inline constexpr uint32_t AtomTableRootOffset = 24;
inline constexpr uint32_t DataClassOffset = 32;
inline constexpr uint32_t StorageIDOffset = 48;
inline constexpr uint32_t CreatedTimeOffset = 64;
inline constexpr uint32_t CreatedDateOffset = 68;
inline constexpr uint32_t ModifiedTimeOffset = 72;
inline constexpr uint32_t ModifiedDateOffset = 76;
inline constexpr uint32_t FlagsOffset = 80;
inline constexpr uint32_t FormatVersionOffset = 82;
inline constexpr uint32_t MinReaderVersionOffset = 84;
inline constexpr uint32_t AtomSizeAlignOffset = 87;
inline constexpr uint32_t DataSizeOffset = 88;
inline constexpr uint32_t CrcOffset = 124; // the CRC covers bytes 0..123

inline constexpr uint16_t FlagReadOnly = 1;
inline constexpr uint16_t FlagDamaged = 2;
} // namespace OstraHeader

// The file grows and shrinks in steps of this many bytes.
inline constexpr uint64_t OstraFileGranule = 4096;

// How many pages the buffer lets wait before it writes them inside the commit (their originals
// journaled first), and how many it keeps in all. Tests lower them to make spills common.
// Pages wait for as long as the buffer can keep them: a page handed to the system early is
// written again when a later atom of the same commit changes it.
struct TPageBufferLimits {
    size_t MaxWaitingPages = 8192;
    size_t MaxKeptPages = 8192;
};
extern TPageBufferLimits PageBufferLimits;

// The AtomSizeAlign written into the header of the next file created (1..255); the storage
// factory sets it from its parameters before an open.
extern uint8_t NewFileAtomSizeAlign;

// Little-endian access to byte buffers of the file formats.
inline uint16_t GetLE16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t GetLE32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t GetLE64(const uint8_t* p) { return uint64_t(GetLE32(p)) | uint64_t(GetLE32(p + 4)) << 32; }
inline void PutLE16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void PutLE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void PutLE64(uint8_t* p, uint64_t v) {
    PutLE32(p, uint32_t(v));
    PutLE32(p + 4, uint32_t(v >> 32));
}

class TOstraFile {
public:
    // The unit of the page buffer and of the journal.
    static constexpr uint64_t PageSize = 4096;

    // Opens or creates the file, rolls back a commit a crash cut short (a valid journal beside
    // the file), then checks the header; raises EOstraOpenError (201..209) with the name as
    // passed: 208 when that roll-back needs write access this process has not, 209 when it
    // fails. Classes: the data classes accepted; a creating open needs exactly one.
    TOstraFile(const std::string& fileName, TOpenMode mode, std::span<const TGUID> classes, bool writeThrough);
    // Commits what is left (reporting a failure on stderr: Commit is the call that raises),
    // disconnects the managers, closes. Never throws.
    virtual ~TOstraFile();
    TOstraFile(const TOstraFile&) = delete;
    TOstraFile& operator=(const TOstraFile&) = delete;

    virtual std::string GetSignature() const { return "KVZ-STORAGE"; }
    virtual uint16_t GetFormatVersion() const { return 516; }

    // Exactly Length bytes or EKVZError 9 "File read error". Sees every write made before it.
    // Small reads go through pages kept in memory. Every call raises 3 once the file failed.
    void ReadAt(std::span<uint8_t> buffer, uint64_t position);
    // The same, keeping no pages: for reads made once (the table chains walked at open).
    void ReadAtOnce(std::span<uint8_t> buffer, uint64_t position);
    // The bytes ReadAt would give, where the view holds them and no write waits, else nullptr
    // (the caller reads them); raises as ReadAt does. Valid until the next call on the file.
    const uint8_t* ViewOf(uint64_t position, size_t size);
    // ViewOf for a reader holding ViewLock() over a run of views (an atom's entry, then its body):
    // the lock is taken once for the run, and nothing is timed.
    const uint8_t* ViewOfHeld(uint64_t position, size_t size);
    TCriticalSection& ViewLock() { return lock_; }
    // The size bytes at position where the view holds the storage's bytes already and no write
    // waits (so that they read as ReadAt would), else nullptr; nothing is read in. For hints.
    // Valid until the next call on the file.
    const uint8_t* Peek(uint64_t position, size_t size);
    // Raises 3 on a read-only file. The bytes reach the file at the next commit, or earlier when
    // many pages are waiting (their originals saved in the journal first).
    void WriteAt(std::span<const uint8_t> bytes, uint64_t position);
    void FillAt(uint32_t count, uint8_t value, uint64_t position);

    // Each changes one header field and rewrites the header; the same value does nothing.
    void SetFlags(uint16_t flags);
    void SetDataSize(uint64_t size); // also sets the physical length (rounded up to 4096)
    void SetAtomTableRoot(uint64_t address);
    void SetHoleTableRoot(uint64_t address);
    void SetPhysicalLength(uint64_t length);

    // Raises EKVZError 3 "Access is denied" when the file is read-only.
    void CheckWritable() const;
    // Makes every change since the last commit durable, all or nothing; does nothing (no write,
    // no sync) when nothing changed. A failure raises EKVZError 9; the file is then rolled back
    // (at once, or at the next open when that fails too) and refuses further work with 3.
    void Commit();
    // Gives up the changes not committed: the file goes back to the last commit (at once, or at
    // the next open when that fails) and this object refuses further work with 3. For a failure
    // that leaves the caller's tables ahead of the file. Never throws.
    void Fail() noexcept;
    bool Failed() const { return failed_; }
    // Including the waiting writes.
    uint64_t GetFileSize();
    TDateTime GetCreated() const;
    TDateTime GetModified() const;
    // CRC-32 of header bytes 0..123 as they are in memory.
    uint32_t HeaderCRC() const;

    bool IsNew() const { return isNew_; }
    bool ReadOnly() const { return readOnly_; }
    bool WriteThrough() const { return writeThrough_; }
    const std::string& FullPath() const { return fullPath_; }
    uint64_t PhysicalLength() const { return physicalLength_; }
    // The managers (not counted; they live while the file is open).
    IAtomManager* AtomManager() const { return atomManager_; }
    ISpaceAllocator* SpaceAllocator() const { return spaceAllocator_; }

    // Header fields as held in memory.
    const std::array<uint8_t, OstraHeader::Size>& Header() const { return header_; }
    uint64_t HoleTableRoot() const { return GetLE64(&header_[OstraHeader::HoleTableRootOffset]); }
    uint64_t AtomTableRoot() const { return GetLE64(&header_[OstraHeader::AtomTableRootOffset]); }
    TGUID DataClass() const;
    TGUID StorageID() const;
    uint16_t Flags() const { return GetLE16(&header_[OstraHeader::FlagsOffset]); }
    uint16_t FormatVersion() const { return GetLE16(&header_[OstraHeader::FormatVersionOffset]); }
    uint16_t MinReaderVersion() const { return GetLE16(&header_[OstraHeader::MinReaderVersionOffset]); }
    // As stored; 0 (never written by this system) is used as 1 by the atom table.
    uint8_t AtomSizeAlign() const { return header_[OstraHeader::AtomSizeAlignOffset]; }
    uint64_t DataSize() const { return GetLE64(&header_[OstraHeader::DataSizeOffset]); }

private:
    void OpenOs(const std::string& fileName, TOpenMode mode);
    void RecoverIfInterrupted(const std::string& fileName, TOpenMode mode);
    bool HasHotJournal() const;
    [[noreturn]] static void RaiseRecoveryError(int32_t code, const std::string& fileName, const std::string& reason);
    void RollBack(TOsFile& file);
    void InitHeader(std::span<const TGUID> classes);
    void CheckHeader(const std::string& fileName, std::span<const TGUID> classes);
    void CreateManagers();
    void WriteHeader();
    void HeaderChanged();
    void StoreHeaderCRC();
    void Shutdown() noexcept;
    struct TPage {
        std::unique_ptr<uint8_t[]> Bytes;
        bool Dirty = false;
    };
    TPage& CachedPage(uint64_t page);
    // The page when it is in memory, else nullptr.
    TPage* KeptPage(uint64_t page);
    const uint8_t* SystemView(uint64_t position, size_t size);
    const uint8_t* CleanView(uint64_t position, size_t size);
    void PutBytes(const uint8_t* bytes, uint8_t fill, uint64_t count, uint64_t position);
    void DropPages(uint64_t position, uint64_t count);
    void ReadFromFile(std::span<uint8_t> buffer, uint64_t position);
    void ReadPastPages(std::span<uint8_t> buffer, uint64_t position);
    void OverlayDirtyPages(std::span<uint8_t> buffer, uint64_t position) const;
    void CheckUsable() const;
    // CheckUsable, then EKVZError 9 unless [position, position + size) lies within the file.
    void CheckReadable(uint64_t position, size_t size) const;
    [[noreturn]] void RaiseUnreadable() const;
    void WriteBack();
    void SaveOriginals();
    void WritePages();

    IAtomManager* atomManager_ = nullptr;       // counted
    ISpaceAllocator* spaceAllocator_ = nullptr; // counted
    bool isNew_ = false;
    TOsFile os_;
    uint64_t physicalLength_ = 0;
    std::array<uint8_t, OstraHeader::Size> header_{};
    TCriticalSection lock_;
    bool changed_ = false; // since the last commit
    bool failed_ = false;
    std::string fullPath_;
    bool readOnly_ = false;
    bool writeThrough_ = false;
    // Pages of the file in memory by page number: read ones (kept up to a limit, then all
    // dropped) and written ones not yet handed to the system; the number of the latter; the
    // length of the file counting them.
    std::map<uint64_t, TPage> pages_;
    size_t dirtyPages_ = 0;
    uint64_t fileEnd_ = 0;
    // The length of the operating system's file, and where a shrinking cut it in memory only:
    // its bytes from there on are not the storage's (they read as zeros) until the next
    // write-back cuts the file there.
    uint64_t osLength_ = 0;
    uint64_t staleFrom_ = UINT64_MAX;
    // The journal of the commit under way, and the pages whose originals it holds.
    TRollbackJournal journal_{uint32_t(PageSize)};
    std::set<uint64_t> journaled_;
    uint64_t pagesRead_ = 0; // pages' worth read from the system, this session
    // Pages found lately, each in the slot of its number modulo their count: a lookup in pages_
    // is a dozen dependent loads, and a commit's writes go back and forth between a few places
    // of the file. Entries point into pages_, whose nodes stay put until dropped: whatever drops
    // pages forgets these first.
    struct TRecentPage {
        uint64_t Number = 0;
        TPage* Page = nullptr;
    };
    std::array<TRecentPage, 64> recentPages_{};
    void ForgetRecentPages() { recentPages_.fill(TRecentPage{}); }
    void RememberPage(uint64_t number, TPage* page) { recentPages_[number % recentPages_.size()] = {number, page}; }

    // Making the view costs more than a session reading a few pages saves: it is made once this
    // many pages' worth have been read from the system, into the page buffer or past it.
    static constexpr uint64_t ViewAfterPages = 64;
};

inline void TOstraFile::CheckReadable(uint64_t position, size_t size) const {
    if (failed_ || position > fileEnd_ || fileEnd_ - position < size) [[unlikely]]
        RaiseUnreadable();
}

// Where the system's view of the file holds [position, position + size), or nullptr.
inline const uint8_t* TOstraFile::SystemView(uint64_t position, size_t size) {
    if (pagesRead_ < ViewAfterPages) return nullptr;
    return os_.ViewAt(position, size);
}

// The same where the view still holds the storage's bytes (up to a cut made in memory only).
inline const uint8_t* TOstraFile::CleanView(uint64_t position, size_t size) {
    if (position > staleFrom_ || staleFrom_ - position < size) return nullptr;
    return SystemView(position, size);
}

inline const uint8_t* TOstraFile::ViewOfHeld(uint64_t position, size_t size) {
    CheckReadable(position, size);
    return dirtyPages_ == 0 ? CleanView(position, size) : nullptr;
}
