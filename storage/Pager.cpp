// The pager: opening with recovery, the page buffer, spills, and the commit protocol over the
// rollback journal.
#include "storage/Pager.h"

#include "storage/Crc32.h"
#include "storage/KVZError.h"
#include "storage/OstraFile.h"
#include "storage/Timers.h"

#include "platform/Report.h"
#include "platform/StrUtils.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

TPageBufferLimits PageBufferLimits;

namespace {
constexpr int ReadTimer = 0;
constexpr int WriteTimer = 1;
constexpr size_t MaxCachedRead = 1024;  // larger reads (table chunks, big bodies) go to the system
constexpr size_t MaxPagesPerWrite = 64; // buffered pages handed to the system in one call

// The message table's text, then the system's reason (a full disk and a failing one call for
// different remedies).
[[noreturn]] void RaiseWriteError(const std::exception& cause) {
    throw EKVZError(OstraCode::FileIo, std::string(OstraMsg::FileWriteError) + ": " + cause.what());
}

[[noreturn]] void RaiseReadError(const std::exception& cause) {
    throw EKVZError(OstraCode::FileIo, std::string(OstraMsg::FileReadError) + ": " + cause.what());
}

[[noreturn]] void RaiseAccessDenied() { throw EKVZError(OstraCode::AccessDenied, OstraMsg::AccessDenied); }

// The system refuses to let this process write the file or its folder: no retry helps.
bool IsWriteRefusal(int error) { return error == EACCES || error == EPERM || error == EROFS; }

// The GUID a file's header names, or nothing when the file holds no whole header.
std::optional<TGUID> StorageIDIn(TOsFile& file) {
    std::array<uint8_t, OstraHeader::Size> header;
    if (file.ReadAt(header, 0) < header.size()) return std::nullopt;
    if (GetLE32(&header[OstraHeader::CrcOffset]) !=
        CRC32Of(std::span<const uint8_t>(header.data(), OstraHeader::CrcOffset)))
        return std::nullopt;
    return TGUID::FromBytes(std::span<const uint8_t>(&header[OstraHeader::StorageIDOffset], TGUID::ByteSize));
}
} // namespace

// ---- entry checks ----

void TPager::CheckUsable() const {
    if (!IsUsable()) RaiseAccessDenied();
}

// Every write passes here: a reader refuses it, an open pager starts waiting writes.
void TPager::BeginWrite() {
    CheckUsable();
    if (state_ == TPagerState::Reader) RaiseAccessDenied();
    if (state_ == TPagerState::Open) state_ = TPagerState::Writing;
}

// Every read's check raises here, out of line.
void TPager::RaiseUnreadable() const {
    CheckUsable();
    throw EKVZError(OstraCode::FileIo, OstraMsg::FileReadError);
}

// ---- opening and closing ----

void TPager::Open(const std::string& name, const std::string& fullPath, bool writable, TOsDisposition disposition,
                  bool writeThrough) {
    name_ = name;
    fullPath_ = fullPath;
    OpenOs(writable, disposition, writeThrough);
    RecoverIfInterrupted(writable, disposition, writeThrough);
    fileEnd_ = osLength_ = os_.Size();
    state_ = writable ? TPagerState::Open : TPagerState::Reader;
}

void TPager::OpenOs(bool writable, TOsDisposition disposition, bool writeThrough) {
    int error = os_.Open(name_, writable, disposition, writeThrough);
    if (error == 0) return;
    // A file no writer may open is no busy one when an interrupted commit waits in it.
    if (writable && IsWriteRefusal(error) && HasHotJournal())
        RaiseRecoveryError(OstraCode::RecoveryNeedsWrite, "open for writing: " + OsErrorText(error));
    throw EOstraOpenError(OstraCode::OpenFailed,
                          StrFormat(OstraMsg::OpenFailed, name_.c_str(), OsErrorText(error).c_str()));
}

bool TPager::HasHotJournal() const {
    try {
        return TRollbackJournal::Inspect(TRollbackJournal::NameFor(fullPath_), uint32_t(PageSize)) ==
               TRollbackJournal::TState::Hot;
    } catch (const EOSError&) {
        return false;
    }
}

// The two ways a recovery ends in an error, both reported on stderr too: the reason is for
// whoever keeps the server, and the answer may not show it. The journal stays for the next open.
void TPager::RaiseRecoveryError(int32_t code, const std::string& reason) const {
    const char* format =
        code == OstraCode::RecoveryNeedsWrite ? OstraMsg::RecoveryNeedsWrite : OstraMsg::RecoveryFailed;
    std::string message = StrFormat(format, name_.c_str(), reason.c_str());
    DebugLine(message);
    throw EOstraOpenError(code, message);
}

// A hot journal beside the file is the mark of a writer that died inside a commit: the file may
// hold part of it. The original pages go back before anything reads the file, under an
// exclusive lock, so that no living writer's journal is ever taken for a dead one's. A reader
// holds a shared lock only: it lets go, rolls back under the exclusive one, and opens again.
// Reading the file as it is would show a half-made commit: a roll-back that cannot be made
// refuses the open.
void TPager::RecoverIfInterrupted(bool writable, TOsDisposition disposition, bool writeThrough) {
    using TState = TRollbackJournal::TState;
    try {
        TState state = TRollbackJournal::Inspect(TRollbackJournal::NameFor(fullPath_), uint32_t(PageSize));
        if (state == TState::Missing || state == TState::Settled) return;
        if (writable) return RollBack(os_); // a torn journal is only removed
        if (state == TState::Torn) return;
        os_.Close();
        TOsFile writer;
        if (int error = writer.Open(name_, true, TOsDisposition::OpenExisting, false)) {
            if (error == EWOULDBLOCK) // a living writer holds the file: its commit is no dead one's
                throw EOstraOpenError(OstraCode::OpenFailed,
                                      StrFormat(OstraMsg::OpenFailed, name_.c_str(), OsErrorText(error).c_str()));
            throw EOSError(error, "open for writing");
        }
        RollBack(writer);
    } catch (const EOSError& error) {
        RaiseRecoveryError(IsWriteRefusal(error.Code) ? OstraCode::RecoveryNeedsWrite : OstraCode::RecoveryFailed,
                           error.what());
    }
    OpenOs(writable, disposition, writeThrough);
}

// Puts a hot journal's original pages and length back, makes that durable, then removes the
// journal. A journal that is torn (its writer died before syncing it: the file was not touched
// yet), settled, or of another file is only removed. Raises EOSError.
void TPager::RollBack(TOsFile& file) {
    std::string journalName = TRollbackJournal::NameFor(fullPath_);
    std::optional<TGUID> fileId = StorageIDIn(file);
    // A new file's first commit names the storage only in the pages it writes.
    auto belongs = [&](const TGUID& id, uint64_t originalLength) {
        return fileId ? *fileId == id : originalLength == 0;
    };
    TRollbackJournal::RollBack(journalName, belongs, uint32_t(PageSize), file);
    OsFileLayer().Remove(journalName);
}

void TPager::Close(bool dropJournal) noexcept {
    ForgetRecentPages();
    pages_.clear();
    dirtyPages_ = 0;
    journal_.Abandon();
    if (dropJournal && state_ == TPagerState::Open) {
        try {
            OsFileLayer().Remove(TRollbackJournal::NameFor(fullPath_));
        } catch (const std::exception& error) {
            // Only clutter: a settled journal holds no commit.
            DebugLine(fullPath_ + ": the settled journal stays: " + error.what());
        }
    }
    os_.Close();
    state_ = TPagerState::Closed;
}

// ---- reading ----

void TPager::ReadAt(std::span<uint8_t> buffer, uint64_t position) {
    std::lock_guard guard(lock_);
    TTimedScope timer(ReadTimer);
    CheckReadable(position, buffer.size());
    if (buffer.size() > MaxCachedRead) {
        ReadPastPages(buffer, position);
        return;
    }
    // With no write waiting, a page held in the buffer reads as the view does.
    if (dirtyPages_ == 0)
        if (const uint8_t* from = CleanView(position, buffer.size())) {
            std::memcpy(buffer.data(), from, buffer.size());
            return;
        }
    for (size_t done = 0; done < buffer.size();) {
        uint64_t at = position + done;
        size_t offset = size_t(at % PageSize);
        size_t piece = std::min<size_t>(buffer.size() - done, PageSize - offset);
        const uint8_t* from;
        if (TPage* page = KeptPage(at / PageSize))
            from = page->Bytes.get() + offset;
        else if (!(from = CleanView(at, piece)))
            from = CachedPage(at / PageSize).Bytes.get() + offset;
        std::memcpy(buffer.data() + done, from, piece);
        done += piece;
    }
}

// Not through the view either: a mapping would bring in (and keep) the pages around each read,
// a copy a granule; a walk over hundreds of table heads scattered in the file cost more in those
// than in its system calls.
void TPager::ReadAtOnce(std::span<uint8_t> buffer, uint64_t position) {
    std::lock_guard guard(lock_);
    TTimedScope timer(ReadTimer);
    ReadOnceHeld(buffer, position);
}

const uint8_t* TPager::ResidentView(uint64_t position, size_t size) {
    TGuardIfThreads guard(lock_); // nothing here starts a thread
    if (!IsUsable() || dirtyPages_ != 0 || pagesRead_ < ViewAfterPages) return nullptr;
    uint64_t end = std::min(fileEnd_, staleFrom_);
    if (position > end || end - position < size) return nullptr;
    return os_.ViewIfIn(position, size);
}

// The storage's bytes the system's file holds: zeros past its end and past a cut not made yet.
// Past its end (where a growing file's new pages lie until written) it is not asked. Compiled
// into each caller: the walk at open makes hundreds of reads of a head each.
[[gnu::always_inline]] inline void TPager::ReadFromFile(std::span<uint8_t> buffer, uint64_t position, bool viaView) {
    size_t got = 0;
    const uint8_t* from = viaView ? SystemView(position, buffer.size()) : nullptr;
    if (from) {
        std::memcpy(buffer.data(), from, buffer.size());
        got = buffer.size();
    } else if (position < osLength_) {
        pagesRead_ += (buffer.size() + PageSize - 1) / PageSize;
        try {
            got = os_.ReadAt(buffer, position);
        } catch (const EOSError& error) {
            RaiseReadError(error);
        }
    }
    if (position + got > staleFrom_) got = position < staleFrom_ ? size_t(staleFrom_ - position) : 0;
    std::fill(buffer.begin() + std::ptrdiff_t(got), buffer.end(), 0);
}

void TPager::ReadOnceHeld(std::span<uint8_t> buffer, uint64_t position) {
    CheckReadable(position, buffer.size());
    ReadFromFile(buffer, position, false);
    if (dirtyPages_ != 0) OverlayDirtyPages(buffer, position);
}

// From the system, with the waiting writes laid over; inside the file (checked by the caller).
void TPager::ReadPastPages(std::span<uint8_t> buffer, uint64_t position) {
    ReadFromFile(buffer, position, true);
    OverlayDirtyPages(buffer, position);
}

void TPager::OverlayDirtyPages(std::span<uint8_t> buffer, uint64_t position) const {
    if (buffer.empty() || dirtyPages_ == 0) return;
    uint64_t end = position + buffer.size();
    for (auto it = pages_.lower_bound(position / PageSize); it != pages_.end() && it->first * PageSize < end; ++it) {
        if (!it->second.Dirty) continue;
        uint64_t start = std::max(it->first * PageSize, position);
        uint64_t stop = std::min(it->first * PageSize + PageSize, end);
        std::memcpy(buffer.data() + (start - position), it->second.Bytes.get() + (start - it->first * PageSize),
                    size_t(stop - start));
    }
}

// ---- the page buffer ----

TPager::TPage* TPager::KeptPage(uint64_t page) {
    const TRecentPage& recent = recentPages_[page % recentPages_.size()];
    if (recent.Page && recent.Number == page) return recent.Page;
    if (pages_.empty()) return nullptr;
    auto it = pages_.find(page);
    if (it == pages_.end()) return nullptr;
    RememberPage(page, &it->second);
    return &it->second;
}

// A page enters with the bytes the file holds there (zeros beyond its end). When too many are
// held, the written ones are spilled into the file and all are dropped.
TPager::TPage& TPager::CachedPage(uint64_t page) {
    if (TPage* kept = KeptPage(page)) return *kept;
    if (pages_.size() >= PageBufferLimits.MaxKeptPages) {
        Spill();
        ForgetRecentPages();
        pages_.clear();
    }
    auto bytes = std::make_unique_for_overwrite<uint8_t[]>(PageSize);
    uint64_t start = page * PageSize;
    if (start < fileEnd_)
        ReadFromFile(std::span<uint8_t>(bytes.get(), PageSize), start, true);
    else
        std::memset(bytes.get(), 0, PageSize);
    auto it = pages_.emplace(page, TPage{std::move(bytes), false}).first;
    RememberPage(page, &it->second);
    return it->second;
}

void TPager::WriteAt(std::span<const uint8_t> bytes, uint64_t position) {
    std::lock_guard guard(lock_);
    TTimedScope timer(WriteTimer);
    BeginWrite();
    PutBytes(bytes.data(), 0, bytes.size(), position);
}

void TPager::FillAt(uint64_t count, uint8_t value, uint64_t position) {
    std::lock_guard guard(lock_);
    TTimedScope timer(WriteTimer);
    BeginWrite();
    PutBytes(nullptr, value, count, position);
}

void TPager::MarkChanged() {
    std::lock_guard guard(lock_);
    BeginWrite();
}

// Copies count bytes (or count times fill when bytes is null) into the pages. Every page they
// go to past the first is read in before any of them changes, so that a read failing half-way
// leaves them all as they were. Should one fail after a change all the same (the buffer dropped
// pages to make room), the pager gives up what it holds since its last commit, as after a failed
// spill: a write half made must never reach the disk.
void TPager::PutBytes(const uint8_t* bytes, uint8_t fill, uint64_t count, uint64_t position) {
    if (count == 0) return;
    uint64_t end = position + count;
    for (uint64_t page = position / PageSize + 1; page <= (end - 1) / PageSize; ++page) CachedPage(page);
    bool changed = false;
    try {
        while (count > 0) {
            size_t offset = size_t(position % PageSize);
            size_t piece = size_t(std::min<uint64_t>(count, PageSize - offset));
            TPage& page = CachedPage(position / PageSize);
            changed = true;
            if (!page.Dirty) {
                page.Dirty = true;
                ++dirtyPages_;
            }
            if (bytes) {
                std::memcpy(page.Bytes.get() + offset, bytes, piece);
                bytes += piece;
            } else {
                std::memset(page.Bytes.get() + offset, fill, piece);
            }
            position += piece;
            count -= piece;
        }
    } catch (...) {
        if (changed) Fail();
        throw;
    }
    fileEnd_ = std::max(fileEnd_, end);
    if (dirtyPages_ > PageBufferLimits.MaxWaitingPages) Spill();
}

void TPager::SetLength(uint64_t length) {
    std::lock_guard guard(lock_);
    CheckUsable();
    if (length == fileEnd_) return;
    BeginWrite();
    if (length < fileEnd_) {
        ForgetRecentPages();
        for (auto it = pages_.lower_bound((length + PageSize - 1) / PageSize); it != pages_.end();) {
            if (it->second.Dirty) --dirtyPages_;
            it = pages_.erase(it);
        }
        if (auto last = pages_.find(length / PageSize); last != pages_.end())
            std::memset(last->second.Bytes.get() + length % PageSize, 0, size_t(PageSize - length % PageSize));
        staleFrom_ = std::min(staleFrom_, length);
    }
    fileEnd_ = length;
}

uint64_t TPager::Length() {
    std::lock_guard guard(lock_);
    return fileEnd_;
}

bool TPager::HasWaitingWrites() const { return dirtyPages_ != 0 || staleFrom_ < osLength_ || fileEnd_ != osLength_; }

// The buffer holds too many waiting pages: they go into the file inside the commit under way,
// by the commit's own first steps, so that a crash from here on can always be undone.
void TPager::Spill() {
    if (!HasWaitingWrites()) return;
    try {
        SaveOriginals();
        SyncJournal();
        WritePages();
    } catch (const std::exception& error) {
        Fail();
        RaiseWriteError(error);
    }
}

// ---- the commit ----

// The commit protocol, in order; each step is the call of its name:
//   0. nothing changed since the last commit: nothing is written or synced;
//   1. SaveOriginals: the original bytes of the pages about to change, and the file's length,
//      go to the journal;
//   2. SyncJournal: the journal is made durable (and its name, when it is new): from here on a
//      crash leaves a hot journal, and the next open rolls the file back;
//   3. WritePages: the waiting pages are written, the file cut or grown to its length;
//   4. SyncFile: the file is made durable;
//   5. CommitPoint: the journal's header is zeroed, durably: from here on the commit stands;
//   6. Settle: the pager forgets the commit and is open for the next one.
// A spill runs steps 1 to 3 early. A failure in steps 1 to 5 undoes the commit (Fail) and
// raises; the pager then refuses further work.
void TPager::Commit() {
    std::lock_guard guard(lock_);
    CheckUsable();
    if (!HasChanges()) return;
    try {
        SaveOriginals();
        SyncJournal();
        WritePages();
        SyncFile();
        CommitPoint();
    } catch (const std::exception& error) {
        Fail();
        RaiseWriteError(error);
    }
    Settle();
}

// The pages about to change that were part of the file at the last commit: the waiting ones
// and those a shorter file cuts off. Each is saved once per commit, read from the file, which
// still holds it as the last commit left it.
void TPager::SaveOriginals() {
    if (!journal_.IsActive()) journal_.Begin(TRollbackJournal::NameFor(fullPath_), storageId_, osLength_);
    uint64_t committedPages = (journal_.OriginalLength() + PageSize - 1) / PageSize;
    std::vector<uint64_t> pages;
    auto save = [&](uint64_t page) {
        if (page < committedPages && journaled_.insert(page).second) pages.push_back(page);
    };
    for (auto& [number, page] : pages_)
        if (page.Dirty) save(number);
    if (staleFrom_ < osLength_)
        for (uint64_t page = staleFrom_ / PageSize; page * PageSize < osLength_; ++page) save(page);
    // A batch at a time, each run of neighbouring pages in one read: a large commit holds no
    // copy of all its originals (twice over, with the journal's records).
    // Read over whole: nothing to clear first.
    auto originals = std::make_unique_for_overwrite<uint8_t[]>(std::min(pages.size(), MaxPagesPerWrite) * PageSize);
    for (size_t first = 0; first < pages.size(); first += MaxPagesPerWrite) {
        size_t count = std::min(MaxPagesPerWrite, pages.size() - first);
        for (size_t i = 0, run; i < count; i += run) {
            for (run = 1; i + run < count && pages[first + i + run] == pages[first + i] + run;) ++run;
            std::span<uint8_t> into(originals.get() + i * PageSize, run * PageSize);
            size_t got = os_.ReadAt(into, pages[first + i] * PageSize);
            std::fill(into.begin() + std::ptrdiff_t(got), into.end(), 0); // past the file's end
        }
        journal_.Add(std::span<const uint64_t>(pages).subspan(first, count),
                     std::span<const uint8_t>(originals.get(), count * PageSize));
    }
}

void TPager::SyncJournal() {
    journal_.Sync();
    state_ = TPagerState::JournalSynced;
}

// A cut made in memory first, then the pages in address order, runs of neighbouring pages in
// one write, page 0 (which holds the header) last, then the file's end where the pages leave it.
// Pages written leave the buffer's waiting ones.
void TPager::WritePages() {
    if (staleFrom_ < osLength_) {
        os_.SetEnd(staleFrom_);
        osLength_ = staleFrom_;
    }
    staleFrom_ = UINT64_MAX;
    auto write = [this](const uint8_t* bytes, uint64_t start, uint64_t length) {
        if (start >= fileEnd_) return;
        length = std::min(length, fileEnd_ - start);
        if (os_.WriteAt(std::span<const uint8_t>(bytes, size_t(length)), start) < length)
            throw EOSError(ENOSPC, "pwrite");
        osLength_ = std::max(osLength_, start + length);
    };
    auto clean = [this](TPage& page) {
        page.Dirty = false;
        --dirtyPages_;
    };
    std::unique_ptr<uint8_t[]> run; // copied over whole: nothing to clear first
    size_t runLength = 0;
    for (auto it = pages_.upper_bound(0); it != pages_.end();) {
        if (!it->second.Dirty) {
            ++it;
            continue;
        }
        auto stop = it;
        size_t count = 0;
        for (uint64_t next = it->first;
             stop != pages_.end() && stop->first == next && stop->second.Dirty && count < MaxPagesPerWrite;
             ++stop, ++next)
            ++count;
        const uint8_t* bytes = it->second.Bytes.get();
        if (count > 1) {
            if (runLength < count * PageSize) {
                runLength = count * PageSize;
                run = std::make_unique_for_overwrite<uint8_t[]>(runLength);
            }
            size_t offset = 0;
            for (auto page = it; page != stop; ++page, offset += PageSize)
                std::memcpy(run.get() + offset, page->second.Bytes.get(), PageSize);
            bytes = run.get();
        }
        write(bytes, it->first * PageSize, count * PageSize);
        for (; it != stop; ++it) clean(it->second);
    }
    if (auto first = pages_.find(0); first != pages_.end() && first->second.Dirty) {
        write(first->second.Bytes.get(), 0, PageSize);
        clean(first->second);
    }
    if (osLength_ != fileEnd_) {
        os_.SetEnd(fileEnd_);
        osLength_ = fileEnd_;
    }
}

void TPager::SyncFile() { os_.Sync(); }

void TPager::CommitPoint() { journal_.End(); }

void TPager::Settle() {
    journaled_.clear();
    os_.DropView(); // the next view is made at the file's new length
    state_ = TPagerState::Open;
}

// The pages in memory and the caller's tables may be ahead of the file: nothing of them may
// reach it any more. Once a journal was begun for the commit, its header is written again from
// memory (the commit point may have zeroed it), so that the journal is hot on disk, and its
// originals go back into the file. When that fails the hot journal stays for the next open.
void TPager::Fail() noexcept {
    state_ = TPagerState::Failed;
    ForgetRecentPages();
    pages_.clear();
    dirtyPages_ = 0;
    if (!journal_.IsActive()) return;
    try {
        journal_.Reinstate();
    } catch (const std::exception& error) {
        DebugLine(fullPath_ + ": the journal could not be made hot again: " + error.what());
    }
    try {
        journal_.Undo(os_);
        journal_.Abandon();
        OsFileLayer().Remove(TRollbackJournal::NameFor(fullPath_));
    } catch (const std::exception& error) {
        journal_.Abandon();
        DebugLine(fullPath_ + ": rolling back failed, the next open will: " + error.what());
    }
}
