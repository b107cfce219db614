// TPager: the bytes of a storage file between its users and the system: a buffer of 4096-byte
// pages, the file's view, the rollback journal, and the commit that makes a session's writes
// durable all or nothing (or rolls back one a crash cut short, at open). It knows no header
// and no atoms: TOstraFile keeps the header and its checks.
#pragma once

#include "platform/CriticalSection.h"
#include "platform/Guid.h"
#include "platform/OsFile.h"
#include "storage/Journal.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>

// How many pages the buffer lets wait before it spills them into the file inside the commit
// (their originals journaled first), and how many it keeps in all. Tests lower them to make
// spills common. Pages wait for as long as the buffer can keep them: a page handed to the system
// early is written again when a later atom of the same commit changes it.
struct TPageBufferLimits {
    size_t MaxWaitingPages = 8192;
    size_t MaxKeptPages = 8192;
};
extern TPageBufferLimits PageBufferLimits;

// Where a pager stands. Every entry checks it: a call the state does not allow raises
// EKVZError 3 (a write on a reader, anything on a failed or closed pager). The states that
// refuse everything come last, so that a read's check is one comparison.
enum class TPagerState : uint8_t {
    Reader,        // open for reading only: nothing is ever written
    Open,          // open for writing; nothing changed since the last commit
    Writing,       // writes wait in memory; neither the file nor the journal holds them yet
    JournalSynced, // the journal holds the originals durably: the file may hold part of the commit
    Failed,        // a write failed: the commit under way was undone, every call raises 3
    Closed,        // no file open
};

class TPager {
public:
    // The unit of the page buffer and of the journal.
    static constexpr uint64_t PageSize = 4096;

    TPager() = default;
    TPager(const TPager&) = delete;
    TPager& operator=(const TPager&) = delete;

    // Opens the file (Name as passed, for the messages; FullPath names the journal beside it)
    // and rolls back a commit a crash cut short. Raises EOstraOpenError: 201 when the system
    // refuses the open (EWOULDBLOCK: another open holds the file), 208 when a roll-back needs
    // write access this process has not, 209 when it fails. Closed -> Reader or Open.
    void Open(const std::string& name, const std::string& fullPath, bool writable, TOsDisposition disposition,
              bool writeThrough);
    // Closes the file, giving up what was not committed; with DropJournal also removes the
    // settled journal (a file renamed away would leave it behind). Never throws.
    void Close(bool dropJournal) noexcept;
    TPagerState State() const { return state_; }
    bool IsUsable() const { return state_ < TPagerState::Failed; }

    // Exactly Length bytes or EKVZError 9 "File read error". Sees every write made before it.
    // Small reads go through pages kept in memory.
    void ReadAt(std::span<uint8_t> buffer, uint64_t position);
    // The same from the system's file, keeping no pages and not using the view: for reads made
    // once (the header, the table chains walked at open).
    void ReadAtOnce(std::span<uint8_t> buffer, uint64_t position);
    // A walk over the heads of a chain of table segments, each read into head as ReadAtOnce
    // reads, under one lock: a large table has hundreds of segments. next is given the address
    // of the head just read and returns the next one (0 ends the walk); what it raises ends it.
    template <class Next> void ReadChainOnce(uint64_t first, std::span<uint8_t> head, Next&& next) {
        std::lock_guard guard(lock_);
        for (uint64_t address = first; address != 0; address = next(address)) ReadOnceHeld(head, address);
    }
    // The bytes ReadAt would give, where the view holds them and no write waits, else nullptr
    // (the caller reads them); raises as ReadAt does. Valid until the next call on the pager.
    // For a reader holding ViewLock() over a run of views (an atom's entry, then its body): the
    // lock is taken once for the run, and nothing is timed.
    const uint8_t* ViewOfHeld(uint64_t position, size_t size);
    TCriticalSection& ViewLock() { return lock_; }
    // The size bytes at position where the view holds the storage's bytes already and no write
    // waits, else nullptr; nothing is read in and nothing raises. For hints. Valid until the
    // next call on the pager.
    const uint8_t* ResidentView(uint64_t position, size_t size);

    // The bytes reach the file at the next commit, or earlier when many pages wait (a spill,
    // their originals saved in the journal first). Raise 3 on a reader or a failed pager.
    void WriteAt(std::span<const uint8_t> bytes, uint64_t position);
    void FillAt(uint64_t count, uint8_t value, uint64_t position);
    // The file's length, in memory like every change: pages beyond a shorter end are dropped,
    // the cut page reads zeros after it.
    void SetLength(uint64_t length);
    // Something the next commit writes changed outside the pages (the caller's header).
    void MarkChanged();
    bool HasChanges() const { return state_ == TPagerState::Writing || state_ == TPagerState::JournalSynced; }
    // Including the waiting writes.
    uint64_t Length();

    // The storage the journal names (the header's StorageID); set before the first write.
    void Identify(const TGUID& storageId) { storageId_ = storageId; }
    // Makes every write since the last commit durable, all or nothing; does nothing (no write, no
    // sync) when nothing changed. A failure raises EKVZError 9 with the system's reason, after
    // Fail.
    void Commit();
    // Gives up the writes not committed: the file goes back to the last commit (at once, or at
    // the next open when that fails) and every later call raises 3. For a failure that leaves
    // the caller's tables ahead of the file. Never throws.
    void Fail() noexcept;
    bool Failed() const { return state_ == TPagerState::Failed; }

private:
    struct TPage {
        std::unique_ptr<uint8_t[]> Bytes;
        bool Dirty = false;
    };

    // Entry checks: the pager must be open and not failed; for a write, also writable.
    void CheckUsable() const;
    void BeginWrite();
    void CheckReadable(uint64_t position, size_t size) const;
    [[noreturn]] void RaiseUnreadable() const;

    // Opening.
    void OpenOs(bool writable, TOsDisposition disposition, bool writeThrough);
    void RecoverIfInterrupted(bool writable, TOsDisposition disposition, bool writeThrough);
    void RollBack(TOsFile& file);
    bool HasHotJournal() const;
    [[noreturn]] void RaiseRecoveryError(int32_t code, const std::string& reason) const;

    // The page buffer.
    TPage& CachedPage(uint64_t page);
    TPage* KeptPage(uint64_t page);
    const uint8_t* SystemView(uint64_t position, size_t size);
    const uint8_t* CleanView(uint64_t position, size_t size);
    void PutBytes(const uint8_t* bytes, uint8_t fill, uint64_t count, uint64_t position);
    void ReadFromFile(std::span<uint8_t> buffer, uint64_t position, bool viaView);
    // ReadAtOnce for a caller that holds lock_.
    void ReadOnceHeld(std::span<uint8_t> buffer, uint64_t position);
    void ReadPastPages(std::span<uint8_t> buffer, uint64_t position);
    void OverlayDirtyPages(std::span<uint8_t> buffer, uint64_t position) const;
    bool HasWaitingWrites() const;
    void Spill();

    // The steps of the commit, in order (see Commit); the first three are also the spill.
    void SaveOriginals();
    void SyncJournal();
    void WritePages();
    void SyncFile();
    void CommitPoint();
    void Settle();

    std::string name_;
    std::string fullPath_;
    TPagerState state_ = TPagerState::Closed;
    TOsFile os_;
    TCriticalSection lock_;
    TGUID storageId_{};
    // Pages of the file in memory by page number: read ones (kept up to a limit, then all
    // dropped) and written ones not yet handed to the system; the number of the latter; the
    // length of the file counting them.
    std::map<uint64_t, TPage> pages_;
    size_t dirtyPages_ = 0;
    uint64_t fileEnd_ = 0;
    // The length of the operating system's file, and where a shrinking cut it in memory only:
    // its bytes from there on are not the storage's (they read as zeros) until the next spill
    // or commit cuts the file there.
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

inline void TPager::CheckReadable(uint64_t position, size_t size) const {
    if (!IsUsable() || position > fileEnd_ || fileEnd_ - position < size) [[unlikely]]
        RaiseUnreadable();
}

// Where the system's view of the file holds [position, position + size), or nullptr.
inline const uint8_t* TPager::SystemView(uint64_t position, size_t size) {
    if (pagesRead_ < ViewAfterPages) return nullptr;
    return os_.ViewAt(position, size);
}

// The same where the view still holds the storage's bytes (up to a cut made in memory only).
inline const uint8_t* TPager::CleanView(uint64_t position, size_t size) {
    if (position > staleFrom_ || staleFrom_ - position < size) return nullptr;
    return SystemView(position, size);
}

inline const uint8_t* TPager::ViewOfHeld(uint64_t position, size_t size) {
    CheckReadable(position, size);
    return dirtyPages_ == 0 ? CleanView(position, size) : nullptr;
}
