// The storage file: open modes, header creation and checks, positioned I/O, close.
#include "storage/OstraFile.h"

#include "storage/AtomManager.h"
#include "storage/Crc32.h"
#include "storage/KVZError.h"
#include "storage/SpaceAllocator.h"
#include "storage/Timers.h"

#include "platform/Report.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

uint8_t NewFileAtomSizeAlign = 1;
TPageBufferLimits PageBufferLimits;

namespace {
constexpr int ReadTimer = 0;
constexpr int WriteTimer = 1;
constexpr size_t MaxCachedRead = 1024;  // larger reads (table chunks, big bodies) go to the system
constexpr size_t MaxPagesPerWrite = 64; // buffered pages handed to the system in one call

[[noreturn]] void RaiseOpenError(int32_t code, const char* format, const std::string& name) {
    throw EOstraOpenError(code, StrFormat(format, name.c_str()));
}

// The stamp words of a date-time: whole days, and seconds since midnight.
void EncodeStamp(TDateTime when, uint8_t* timeWord, uint8_t* dateWord) {
    TDateParts parts = DecodeDateTime(when);
    PutLE32(timeWord, uint32_t(parts.Hour * 3600 + parts.Minute * 60 + parts.Second));
    PutLE32(dateWord, uint32_t(int32_t(std::trunc(when))));
}

TDateTime DecodeStamp(const uint8_t* timeWord, const uint8_t* dateWord) {
    uint32_t seconds = GetLE32(timeWord);
    TDateTime date = double(int32_t(GetLE32(dateWord)));
    return date + EncodeTime(int((seconds / 3600) % 24), int((seconds / 60) % 60), int(seconds % 60), 0);
}

uint64_t RoundUpToGranule(uint64_t size) { return (size + OstraFileGranule - 1) / OstraFileGranule * OstraFileGranule; }

// The message table's text, then the system's reason (a full disk and a failing one call for
// different remedies).
[[noreturn]] void RaiseWriteError(const std::exception& cause) {
    throw EKVZError(OstraCode::FileIo, std::string(OstraMsg::FileWriteError) + ": " + cause.what());
}

[[noreturn]] void RaiseReadError(const std::exception& cause) {
    throw EKVZError(OstraCode::FileIo, std::string(OstraMsg::FileReadError) + ": " + cause.what());
}

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

TOstraFile::TOstraFile(const std::string& fileName, TOpenMode mode, std::span<const TGUID> classes, bool writeThrough)
    : fullPath_(FullPathOf(fileName)), writeThrough_(writeThrough) {
    bool creating = mode == TOpenMode::OpenOrCreate || mode == TOpenMode::Create;
    if (creating && classes.size() != 1) RaiseOpenError(OstraCode::UnmatchedClass, OstraMsg::UnmatchedClass, fileName);
    try {
        OpenOs(fileName, mode);
        RecoverIfInterrupted(fileName, mode);
        fileEnd_ = osLength_ = os_.Size();
        isNew_ = mode == TOpenMode::Create || (mode == TOpenMode::OpenOrCreate && os_.Size() == 0);
        if (isNew_)
            InitHeader(classes);
        else
            CheckHeader(fileName, classes);
        CreateManagers();
    } catch (...) {
        Shutdown();
        throw;
    }
}

TOstraFile::~TOstraFile() { Shutdown(); }

void TOstraFile::OpenOs(const std::string& fileName, TOpenMode mode) {
    readOnly_ = mode == TOpenMode::ReadOnly;
    TOsDisposition disposition = mode == TOpenMode::Create         ? TOsDisposition::CreateNew
                                 : mode == TOpenMode::OpenOrCreate ? TOsDisposition::OpenAlways
                                                                   : TOsDisposition::OpenExisting;
    int error = os_.Open(fileName, !readOnly_, disposition, writeThrough_);
    if (error == 0) return;
    // A file no writer may open is no busy one when an interrupted commit waits in it.
    if (!readOnly_ && IsWriteRefusal(error) && HasHotJournal())
        RaiseRecoveryError(OstraCode::RecoveryNeedsWrite, fileName, "open for writing: " + OsErrorText(error));
    throw EOstraOpenError(OstraCode::OpenFailed,
                          StrFormat(OstraMsg::OpenFailed, fileName.c_str(), OsErrorText(error).c_str()));
}

bool TOstraFile::HasHotJournal() const {
    try {
        return TRollbackJournal::Inspect(TRollbackJournal::NameFor(fullPath_), uint32_t(PageSize)) ==
               TRollbackJournal::TState::Hot;
    } catch (const EOSError&) {
        return false;
    }
}

// The two ways a recovery ends in an error, both reported on stderr too: the reason is for
// whoever keeps the server, and the answer may not show it. The journal stays for the next open.
void TOstraFile::RaiseRecoveryError(int32_t code, const std::string& fileName, const std::string& reason) {
    const char* format = code == OstraCode::RecoveryNeedsWrite ? OstraMsg::RecoveryNeedsWrite : OstraMsg::RecoveryFailed;
    std::string message = StrFormat(format, fileName.c_str(), reason.c_str());
    DebugLine(message);
    throw EOstraOpenError(code, message);
}

// A hot journal beside the file is the mark of a writer that died inside a commit: the file may
// hold part of it. The original pages go back before anything reads the file, under an
// exclusive lock, so that no living writer's journal is ever taken for a dead one's. A reader
// holds a shared lock only: it lets go, rolls back under the exclusive one, and opens again.
// Reading the file as it is would show a half-made commit: a roll-back that cannot be made
// refuses the open.
void TOstraFile::RecoverIfInterrupted(const std::string& fileName, TOpenMode mode) {
    using TState = TRollbackJournal::TState;
    try {
        TState state = TRollbackJournal::Inspect(TRollbackJournal::NameFor(fullPath_), uint32_t(PageSize));
        if (state == TState::Missing || state == TState::Settled) return;
        if (!readOnly_) return RollBack(os_); // a torn journal is only removed
        if (state == TState::Torn) return;
        os_.Close();
        TOsFile writer;
        if (int error = writer.Open(fileName, true, TOsDisposition::OpenExisting, false)) {
            if (error == EWOULDBLOCK) // a living writer holds the file: its commit is no dead one's
                throw EOstraOpenError(OstraCode::OpenFailed, StrFormat(OstraMsg::OpenFailed, fileName.c_str(),
                                                                       OsErrorText(error).c_str()));
            throw EOSError(error, "open for writing");
        }
        RollBack(writer);
    } catch (const EOSError& error) {
        RaiseRecoveryError(IsWriteRefusal(error.Code) ? OstraCode::RecoveryNeedsWrite : OstraCode::RecoveryFailed,
                           fileName, error.what());
    }
    OpenOs(fileName, mode);
}

// Puts a hot journal's original pages and length back, makes that durable, then removes the
// journal. A journal that is torn (its writer died before syncing it: the file was not touched
// yet), settled, or of another file is only removed. Raises EOSError.
void TOstraFile::RollBack(TOsFile& file) {
    std::string journalName = TRollbackJournal::NameFor(fullPath_);
    std::optional<TGUID> fileId = StorageIDIn(file);
    // A new file's first commit names the storage only in the pages it writes.
    auto belongs = [&](const TGUID& id, uint64_t originalLength) {
        return fileId ? *fileId == id : originalLength == 0;
    };
    TRollbackJournal::RollBack(journalName, belongs, uint32_t(PageSize), file);
    OsFileLayer().Remove(journalName);
}

void TOstraFile::InitHeader(std::span<const TGUID> classes) {
    using namespace OstraHeader;
    header_.fill(0);
    std::string signature = GetSignature().substr(0, SignatureSize);
    std::memcpy(&header_[SignatureOffset], signature.data(), signature.size());
    auto storageId = TGUID::New().Bytes();
    std::copy(storageId.begin(), storageId.end(), &header_[StorageIDOffset]);
    auto dataClass = classes[0].Bytes();
    std::copy(dataClass.begin(), dataClass.end(), &header_[DataClassOffset]);
    TDateTime now = Now();
    EncodeStamp(now, &header_[CreatedTimeOffset], &header_[CreatedDateOffset]);
    EncodeStamp(now, &header_[ModifiedTimeOffset], &header_[ModifiedDateOffset]);
    PutLE16(&header_[FormatVersionOffset], GetFormatVersion());
    PutLE16(&header_[MinReaderVersionOffset], GetFormatVersion());
    header_[AtomSizeAlignOffset] = NewFileAtomSizeAlign;
    PutLE64(&header_[DataSizeOffset], Size);
    WriteHeader();
}

// The checks run in a fixed order; the first failing one decides the error.
void TOstraFile::CheckHeader(const std::string& fileName, std::span<const TGUID> classes) {
    using namespace OstraHeader;
    if (os_.ReadAt(header_, 0) < Size) RaiseOpenError(OstraCode::InvalidFormat, OstraMsg::InvalidFormat, fileName);

    const uint8_t* sig = &header_[SignatureOffset];
    std::string signature(reinterpret_cast<const char*>(sig), size_t(std::find(sig, sig + SignatureSize, 0) - sig));
    if (signature != GetSignature()) RaiseOpenError(OstraCode::InvalidFormat, OstraMsg::InvalidFormat, fileName);

    bool accepted =
        classes.empty() ? readOnly_ : std::find(classes.begin(), classes.end(), DataClass()) != classes.end();
    if (!accepted) RaiseOpenError(OstraCode::UnmatchedClass, OstraMsg::UnmatchedClass, fileName);

    if (MinReaderVersion() > GetFormatVersion() || FormatVersion() < GetFormatVersion())
        RaiseOpenError(OstraCode::UnsupportedVersion, OstraMsg::UnsupportedVersion, fileName);

    if (GetLE32(&header_[CrcOffset]) != HeaderCRC())
        RaiseOpenError(OstraCode::HeaderCrc, OstraMsg::HeaderCrcFailed, fileName);

    if (DataSize() < Size || DataSize() > os_.Size())
        RaiseOpenError(OstraCode::FileDamaged, OstraMsg::FileDamaged, fileName);

    if ((Flags() & FlagReadOnly) && !readOnly_)
        RaiseOpenError(OstraCode::ReadOnlyMarked, OstraMsg::ReadOnlyMarked, fileName);
}

void TOstraFile::CreateManagers() {
    spaceAllocator_ = CSpaceAllocator::Create(*this).Detach();
    atomManager_ = CAtomManager::Create(*this).Detach();
}

void TOstraFile::Shutdown() noexcept {
    if (os_.IsOpen() && !readOnly_ && !failed_) {
        try {
            Commit();
            // A file made in this session may be renamed into place (a new counter database):
            // its settled journal would stay behind under the old name.
            if (isNew_) OsFileLayer().Remove(TRollbackJournal::NameFor(fullPath_));
        } catch (const std::exception& error) {
            // A destructor may not raise: Commit, called before, is where this is reported.
            DebugLine(fullPath_ + ": changes lost, the commit at close failed: " + error.what());
        }
    }
    if (IAtomManager* atoms = std::exchange(atomManager_, nullptr)) {
        if (auto disconnect = Query<IDisconnectInternalObject>(atoms)) disconnect->Disconnect();
        atoms->Release();
    }
    if (ISpaceAllocator* space = std::exchange(spaceAllocator_, nullptr)) {
        if (auto disconnect = Query<IDisconnectInternalObject>(space)) disconnect->Disconnect();
        space->Release();
    }
    os_.Close();
}

uint32_t TOstraFile::HeaderCRC() const {
    return CRC32Of(std::span<const uint8_t>(header_.data(), OstraHeader::CrcOffset));
}

void TOstraFile::StoreHeaderCRC() { PutLE32(&header_[OstraHeader::CrcOffset], HeaderCRC()); }

void TOstraFile::WriteHeader() {
    StoreHeaderCRC();
    WriteAt(header_, 0);
}

// A field of the header changed in memory: the commit writes the header, so that a session
// growing the file by thousands of atoms does not rewrite it each time.
void TOstraFile::HeaderChanged() {
    CheckWritable();
    std::lock_guard guard(lock_);
    CheckUsable();
    changed_ = true;
}

TGUID TOstraFile::DataClass() const {
    return TGUID::FromBytes(std::span<const uint8_t>(&header_[OstraHeader::DataClassOffset], TGUID::ByteSize));
}

TGUID TOstraFile::StorageID() const {
    return TGUID::FromBytes(std::span<const uint8_t>(&header_[OstraHeader::StorageIDOffset], TGUID::ByteSize));
}

TDateTime TOstraFile::GetCreated() const {
    return DecodeStamp(&header_[OstraHeader::CreatedTimeOffset], &header_[OstraHeader::CreatedDateOffset]);
}

TDateTime TOstraFile::GetModified() const {
    return DecodeStamp(&header_[OstraHeader::ModifiedTimeOffset], &header_[OstraHeader::ModifiedDateOffset]);
}

void TOstraFile::CheckWritable() const {
    if (readOnly_) throw EKVZError(OstraCode::AccessDenied, OstraMsg::AccessDenied);
}

void TOstraFile::CheckUsable() const {
    if (failed_) throw EKVZError(OstraCode::AccessDenied, OstraMsg::AccessDenied);
}

// Every read's check raises here, out of line.
void TOstraFile::RaiseUnreadable() const {
    CheckUsable();
    throw EKVZError(OstraCode::FileIo, OstraMsg::FileReadError);
}

void TOstraFile::ReadAt(std::span<uint8_t> buffer, uint64_t position) {
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

const uint8_t* TOstraFile::ViewOf(uint64_t position, size_t size) {
    std::lock_guard guard(lock_);
    TTimedScope timer(ReadTimer);
    return ViewOfHeld(position, size);
}

const uint8_t* TOstraFile::Peek(uint64_t position, size_t size) {
    TGuardIfThreads guard(lock_); // nothing here starts a thread
    if (!os_.IsOpen() || dirtyPages_ != 0 || pagesRead_ < ViewAfterPages) return nullptr;
    uint64_t end = std::min(fileEnd_, staleFrom_);
    if (position > end || end - position < size) return nullptr;
    return os_.ViewIfIn(position, size);
}

void TOstraFile::ReadAtOnce(std::span<uint8_t> buffer, uint64_t position) {
    std::lock_guard guard(lock_);
    TTimedScope timer(ReadTimer);
    CheckReadable(position, buffer.size());
    ReadPastPages(buffer, position);
}

// The storage's bytes the system's file holds: zeros past its end and past a cut not made yet.
// Past its end (where a growing file's new pages lie until written back) it is not asked.
void TOstraFile::ReadFromFile(std::span<uint8_t> buffer, uint64_t position) {
    size_t got = 0;
    if (const uint8_t* from = SystemView(position, buffer.size())) {
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

// From the system, with the waiting writes laid over; inside the file (checked by the caller).
void TOstraFile::ReadPastPages(std::span<uint8_t> buffer, uint64_t position) {
    ReadFromFile(buffer, position);
    OverlayDirtyPages(buffer, position);
}

void TOstraFile::WriteAt(std::span<const uint8_t> bytes, uint64_t position) {
    CheckWritable();
    std::lock_guard guard(lock_);
    TTimedScope timer(WriteTimer);
    CheckUsable();
    changed_ = true;
    PutBytes(bytes.data(), 0, bytes.size(), position);
}

void TOstraFile::FillAt(uint32_t count, uint8_t value, uint64_t position) {
    CheckWritable();
    std::lock_guard guard(lock_);
    TTimedScope timer(WriteTimer);
    CheckUsable();
    changed_ = true;
    PutBytes(nullptr, value, count, position);
}

TOstraFile::TPage* TOstraFile::KeptPage(uint64_t page) {
    const TRecentPage& recent = recentPages_[page % recentPages_.size()];
    if (recent.Page && recent.Number == page) return recent.Page;
    if (pages_.empty()) return nullptr;
    auto it = pages_.find(page);
    if (it == pages_.end()) return nullptr;
    RememberPage(page, &it->second);
    return &it->second;
}

// A page enters with the bytes the file holds there (zeros beyond its end). When too many are
// held, the written ones go to the system and all are dropped.
TOstraFile::TPage& TOstraFile::CachedPage(uint64_t page) {
    if (TPage* kept = KeptPage(page)) return *kept;
    if (pages_.size() >= PageBufferLimits.MaxKeptPages) {
        WriteBack();
        ForgetRecentPages();
        pages_.clear();
    }
    auto bytes = std::make_unique_for_overwrite<uint8_t[]>(PageSize);
    uint64_t start = page * PageSize;
    if (start < fileEnd_)
        ReadFromFile(std::span<uint8_t>(bytes.get(), PageSize), start);
    else
        std::memset(bytes.get(), 0, PageSize);
    auto it = pages_.emplace(page, TPage{std::move(bytes), false}).first;
    RememberPage(page, &it->second);
    return it->second;
}

// Copies count bytes (or count times fill when bytes is null) into the pages. Every page they
// go to past the first is read in before any of them changes, so that a read failing half-way
// leaves them all as they were. Should one fail after a change all the same (the buffer dropped
// pages to make room), the file gives up what it holds since its last commit, as after a failed
// write-back: a write half made must never reach the disk.
void TOstraFile::PutBytes(const uint8_t* bytes, uint8_t fill, uint64_t count, uint64_t position) {
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
    if (dirtyPages_ > PageBufferLimits.MaxWaitingPages) WriteBack();
}

void TOstraFile::OverlayDirtyPages(std::span<uint8_t> buffer, uint64_t position) const {
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

// Hands the waiting pages to the system inside the commit under way (a commit, or a spill of
// a buffer grown too large). The journal holds the originals first, so that a crash from here
// on can always be undone.
void TOstraFile::WriteBack() {
    if (dirtyPages_ == 0 && staleFrom_ >= osLength_ && fileEnd_ == osLength_) return;
    try {
        SaveOriginals();
        if (staleFrom_ < osLength_) {
            os_.SetEnd(staleFrom_);
            osLength_ = staleFrom_;
        }
        staleFrom_ = UINT64_MAX;
        WritePages();
        if (osLength_ != fileEnd_) {
            os_.SetEnd(fileEnd_);
            osLength_ = fileEnd_;
        }
    } catch (const std::exception& error) {
        Fail();
        RaiseWriteError(error);
    }
}

// The pages about to change that were part of the file at the last commit: the waiting ones
// and those a shorter file cuts off. Each is saved once per commit, read from the file, which
// still holds it as the last commit left it.
void TOstraFile::SaveOriginals() {
    if (!journal_.IsActive()) journal_.Begin(TRollbackJournal::NameFor(fullPath_), StorageID(), osLength_);
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
    std::vector<uint8_t> originals(std::min(pages.size(), MaxPagesPerWrite) * PageSize);
    for (size_t first = 0; first < pages.size(); first += MaxPagesPerWrite) {
        size_t count = std::min(MaxPagesPerWrite, pages.size() - first);
        for (size_t i = 0, run; i < count; i += run) {
            for (run = 1; i + run < count && pages[first + i + run] == pages[first + i] + run;) ++run;
            std::span<uint8_t> into(&originals[i * PageSize], run * PageSize);
            size_t got = os_.ReadAt(into, pages[first + i] * PageSize);
            std::fill(into.begin() + std::ptrdiff_t(got), into.end(), 0); // past the file's end
        }
        journal_.Add(std::span<const uint64_t>(pages).subspan(first, count),
                     std::span<const uint8_t>(originals).first(count * PageSize));
    }
    journal_.Sync();
}

// In address order, runs of neighbouring pages in one write; page 0, which holds the header,
// last (with the journal that no longer matters for safety, but costs nothing). Pages written
// leave the buffer.
void TOstraFile::WritePages() {
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
    std::vector<uint8_t> run;
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
            run.resize(count * PageSize);
            size_t offset = 0;
            for (auto page = it; page != stop; ++page, offset += PageSize)
                std::memcpy(&run[offset], page->second.Bytes.get(), PageSize);
            bytes = run.data();
        }
        write(bytes, it->first * PageSize, count * PageSize);
        for (; it != stop; ++it) clean(it->second);
    }
    if (auto first = pages_.find(0); first != pages_.end() && first->second.Dirty) {
        write(first->second.Bytes.get(), 0, PageSize);
        clean(first->second);
    }
}

// The commit protocol, in order:
//   1. nothing changed since the last commit: nothing is written or synced;
//   2. the header is restamped (Modified);
//   3. the originals of the pages about to change, and the file's length, go to the journal,
//      which is synced (and its folder, when the journal is new);
//   4. the waiting pages are written and the file cut or grown to its length;
//   5. the file is synced;
//   6. the journal is removed: the commit point.
// Any failure rolls the file back and leaves this object refusing work.
void TOstraFile::Commit() {
    std::lock_guard guard(lock_);
    CheckUsable();
    if (!changed_) return;
    EncodeStamp(Now(), &header_[OstraHeader::ModifiedTimeOffset], &header_[OstraHeader::ModifiedDateOffset]);
    WriteHeader();
    WriteBack();
    try {
        os_.Sync();
        journal_.End();
    } catch (const std::exception& error) {
        Fail();
        RaiseWriteError(error);
    }
    journaled_.clear();
    changed_ = false;
    os_.DropView(); // the next view is made at the file's new length
}

// After a failed write-back the pages in memory and the managers' tables may be ahead of the
// file: nothing of them may reach it any more. The file goes back to the last commit now, or
// at the next open when even that fails (the journal stays for it).
void TOstraFile::Fail() noexcept {
    failed_ = true;
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

void TOstraFile::SetFlags(uint16_t flags) {
    if (flags == Flags()) return;
    PutLE16(&header_[OstraHeader::FlagsOffset], flags);
    HeaderChanged();
}

void TOstraFile::SetAtomTableRoot(uint64_t address) {
    if (address == AtomTableRoot()) return;
    PutLE64(&header_[OstraHeader::AtomTableRootOffset], address);
    HeaderChanged();
}

void TOstraFile::SetHoleTableRoot(uint64_t address) {
    if (address == HoleTableRoot()) return;
    PutLE64(&header_[OstraHeader::HoleTableRootOffset], address);
    HeaderChanged();
}

void TOstraFile::SetDataSize(uint64_t size) {
    if (size == DataSize()) return;
    CheckWritable();
    PutLE64(&header_[OstraHeader::DataSizeOffset], size);
    HeaderChanged();
    SetPhysicalLength(RoundUpToGranule(size));
}

// In memory only, like every change: the file takes its new length at the next write-back.
// Pages beyond a shorter end are dropped; the cut page reads zeros after the end.
void TOstraFile::SetPhysicalLength(uint64_t length) {
    if (length == physicalLength_ && physicalLength_ != 0) return;
    CheckWritable();
    std::lock_guard guard(lock_);
    CheckUsable();
    physicalLength_ = length;
    if (length == fileEnd_) return;
    changed_ = true;
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

uint64_t TOstraFile::GetFileSize() {
    std::lock_guard guard(lock_);
    return fileEnd_;
}
