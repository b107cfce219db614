// TOstraFile: the one operating-system file of a storage: its 128-byte header (checked at open,
// kept in memory, rewritten on change) and the pager through which every byte of it passes. It
// creates the free-space and atom-table managers at the end of its open; it knows no atoms.
#pragma once

#include "platform/ByteOrder.h"
#include "platform/Clock.h"
#include "platform/Guid.h"
#include "platform/OsFile.h"
#include "storage/Corvane.h"
#include "storage/Pager.h"
#include "storage/Unknown.h"

#include <array>
#include <cstdint>
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

// The AtomSizeAlign written into the header of the next file created (1..255); the storage
// factory sets it from its parameters before an open.
extern uint8_t NewFileAtomSizeAlign;

class TOstraFile {
public:
    // The unit of the page buffer and of the journal.
    static constexpr uint64_t PageSize = TPager::PageSize;

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

    // Every byte of the file, read or written, passes through the pager (WriteAt and FillAt
    // raise 3 on a read-only file).
    TPager& Pager() { return pager_; }

    // Each changes one header field and rewrites the header; the same value does nothing.
    void SetFlags(uint16_t flags);
    void SetDataSize(uint64_t size); // also sets the physical length (rounded up to 4096)
    void SetAtomTableRoot(uint64_t address);
    void SetHoleTableRoot(uint64_t address);
    void SetPhysicalLength(uint64_t length);

    // Raises EKVZError 3 "Access is denied" when the file is read-only.
    void CheckWritable() const;
    // Restamps the header (Modified) and has the pager commit: every change since the last
    // commit durable, all or nothing; nothing written or synced when nothing changed. A
    // failure raises EKVZError 9; the file is then rolled back (at once, or at the next open
    // when that fails too) and refuses further work with 3.
    void Commit();
    // The pager's Fail: the changes not committed are given up. Never throws.
    void Fail() noexcept { pager_.Fail(); }
    bool Failed() const { return pager_.Failed(); }
    // Including the waiting writes.
    uint64_t GetFileSize() { return pager_.Length(); }
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
    void InitHeader(std::span<const TGUID> classes);
    void CheckHeader(const std::string& fileName, std::span<const TGUID> classes);
    void CreateManagers();
    void WriteHeader();
    void HeaderChanged();
    void StoreHeaderCRC();
    void Shutdown() noexcept;

    IAtomManager* atomManager_ = nullptr;       // counted
    ISpaceAllocator* spaceAllocator_ = nullptr; // counted
    bool isNew_ = false;
    TPager pager_;
    uint64_t physicalLength_ = 0;
    std::array<uint8_t, OstraHeader::Size> header_{};
    std::string fullPath_;
    bool readOnly_ = false;
    bool writeThrough_ = false;
};
