// The rollback journal beside a storage file ("<file>-journal"): the original bytes of every
// page a commit is about to change, and the file's original length, so that a commit cut short
// by a crash can be undone at the next open. Between commits the file stays, its header zeroed:
// the next commit reuses it without making its name durable again. Not the commit itself:
// TPager drives it.
#pragma once

#include "platform/Guid.h"
#include "platform/OsFile.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>

// Layout, little-endian. The header fills the first sector, so a torn header is one that fails
// its CRC; each record carries its own CRC, seeded with the journal's nonce so that records of
// an older journal never pass for this one's.
namespace JournalFormat {
inline constexpr uint32_t HeaderSize = 512;
inline constexpr uint32_t MagicOffset = 0; // "KVZ-JOURNAL", zero-padded to 16 bytes
inline constexpr uint32_t MagicSize = 16;
inline constexpr uint32_t StorageIDOffset = 16;
inline constexpr uint32_t OriginalLengthOffset = 32;
inline constexpr uint32_t NonceOffset = 40;
inline constexpr uint32_t PageSizeOffset = 48;
inline constexpr uint32_t HeaderCrcOffset = 52; // covers bytes 0..51
// A record: the page number (u64), the page's bytes, the CRC (u32) of both.
inline constexpr uint32_t RecordHeadSize = 8;
inline constexpr uint32_t RecordTailSize = 4;
} // namespace JournalFormat

class TRollbackJournal {
public:
    explicit TRollbackJournal(uint32_t pageSize) : pageSize_(pageSize) {}

    static std::string NameFor(const std::string& fullPath) { return fullPath + "-journal"; }

    // What lies at Name: nothing, a settled journal (header zeroed: its commit completed), a hot
    // one (a whole header: its commit may have reached the file), or a torn one (its writer died
    // before syncing it: the file was not touched). Raises EOSError when reading fails.
    enum class TState { Missing, Settled, Hot, Torn };
    static TState Inspect(const std::string& name, uint32_t pageSize);

    bool IsActive() const { return file_.IsOpen(); }
    uint64_t OriginalLength() const { return originalLength_; }

    // Starts the journal with its header (reusing a settled one); nothing is durable before
    // Sync. Raises EOSError.
    void Begin(const std::string& name, const TGUID& storageId, uint64_t originalLength);
    // Appends the original bytes of pages (Pages.size() * PageSize bytes of Bytes).
    void Add(std::span<const uint64_t> pages, std::span<const uint8_t> bytes);
    // Makes what was added durable; the first time also the journal's name in its folder.
    void Sync();
    // Zeroes the header, durably: from here on the file's new contents stand. The records are
    // cut off by the next Begin. Raises EOSError.
    void End();
    // Forgets the journal without touching it (it stays for the next open to roll back).
    void Abandon() { file_.Close(); }

    // Rewrites the header this journal began with, durably: after a failure at or before the
    // commit point the journal is hot again (End may have zeroed it), so that the next open
    // rolls back whatever an undo in this session leaves undone. Raises EOSError.
    void Reinstate();
    // Puts the originals this journal holds back into target (read with the header in memory,
    // whatever the disk's says), cuts target to its original length and syncs it. Raises
    // EOSError.
    void Undo(TOsFile& target);

    // Rolls back with the journal Name when it is valid: its header whole and naming a storage
    // that Belongs accepts (given the storage ID and the original length); then the originals
    // go back into target as Undo puts them. False (target untouched) when there is no valid
    // journal. Raises EOSError.
    using TBelongs = std::function<bool(const TGUID& storageId, uint64_t originalLength)>;
    static bool RollBack(const std::string& name, const TBelongs& belongs, uint32_t pageSize, TOsFile& target);

private:
    uint32_t RecordSize() const { return JournalFormat::RecordHeadSize + pageSize_ + JournalFormat::RecordTailSize; }
    static void Replay(TOsFile& journal, const uint8_t* header, uint32_t pageSize, TOsFile& target);

    uint32_t pageSize_;
    TOsFile file_;
    uint8_t header_[JournalFormat::HeaderSize] = {};
    std::string name_;
    uint64_t nonce_ = 0;
    uint64_t originalLength_ = 0;
    uint64_t end_ = 0;   // where the next record goes
    bool named_ = false; // the journal's name is durable: made by an earlier commit, or synced
};
