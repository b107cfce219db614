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

uint8_t NewFileAtomSizeAlign = 1;

namespace {
constexpr int ReadTimer = 0;
constexpr int WriteTimer = 1;
constexpr uint32_t FillBufferSize = 1024;
// The write-back buffer: its page size, the pages that may wait, the pages written at once.
constexpr uint64_t PageSize = 4096;
constexpr size_t MaxWaitingPages = 2048;
constexpr size_t MaxKeptPages = 8192;
constexpr size_t MaxCachedRead = 1024; // larger reads (table chunks, big bodies) go to the system
constexpr size_t MaxPagesPerWrite = 64;

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
} // namespace

TOstraFile::TOstraFile(const std::string& fileName, TOpenMode mode, std::span<const TGUID> classes, bool writeThrough)
    : fullPath_(FullPathOf(fileName)), writeThrough_(writeThrough) {
    bool creating = mode == TOpenMode::OpenOrCreate || mode == TOpenMode::Create;
    if (creating && classes.size() != 1) RaiseOpenError(OstraCode::UnmatchedClass, OstraMsg::UnmatchedClass, fileName);
    try {
        OpenOs(fileName, mode);
        fileEnd_ = os_.Size();
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
    if (error != 0)
        throw EOstraOpenError(OstraCode::OpenFailed,
                              StrFormat(OstraMsg::OpenFailed, fileName.c_str(), OsErrorText(error).c_str()));
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
    if (os_.IsOpen() && !readOnly_ && written_) {
        try {
            EncodeStamp(Now(), &header_[OstraHeader::ModifiedTimeOffset], &header_[OstraHeader::ModifiedDateOffset]);
            WriteHeader();
        } catch (...) {
            // The close goes on; the header keeps its previous stamp.
        }
    }
    if (os_.IsOpen()) {
        try {
            std::lock_guard guard(lock_);
            WriteBack();
        } catch (const std::exception& error) {
            DebugLine(fullPath_ + ": writing at close failed: " + error.what());
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

void TOstraFile::ReadAt(std::span<uint8_t> buffer, uint64_t position) {
    std::lock_guard guard(lock_);
    TTimedScope timer(ReadTimer);
    if (position > fileEnd_ || fileEnd_ - position < buffer.size())
        throw EKVZError(OstraCode::FileIo, OstraMsg::FileReadError);
    if (buffer.size() > MaxCachedRead) {
        ReadPastPages(buffer, position);
        return;
    }
    for (size_t done = 0; done < buffer.size();) {
        uint64_t at = position + done;
        size_t offset = size_t(at % PageSize);
        size_t piece = std::min<size_t>(buffer.size() - done, PageSize - offset);
        std::memcpy(buffer.data() + done, CachedPage(at / PageSize).Bytes.get() + offset, piece);
        done += piece;
    }
}

void TOstraFile::ReadAtOnce(std::span<uint8_t> buffer, uint64_t position) {
    std::lock_guard guard(lock_);
    TTimedScope timer(ReadTimer);
    if (position > fileEnd_ || fileEnd_ - position < buffer.size())
        throw EKVZError(OstraCode::FileIo, OstraMsg::FileReadError);
    ReadPastPages(buffer, position);
}

// From the system, with the waiting writes laid over; inside the file (checked by the caller).
void TOstraFile::ReadPastPages(std::span<uint8_t> buffer, uint64_t position) {
    size_t got = os_.ReadAt(buffer, position);
    std::fill(buffer.begin() + std::ptrdiff_t(got), buffer.end(), 0);
    OverlayDirtyPages(buffer, position);
}

void TOstraFile::WriteAt(std::span<const uint8_t> bytes, uint64_t position) {
    CheckWritable();
    std::lock_guard guard(lock_);
    TTimedScope timer(WriteTimer);
    written_ = true;
    if (!writeThrough_) {
        PutBytes(bytes.data(), 0, bytes.size(), position);
        return;
    }
    DropPages(position, bytes.size());
    if (os_.WriteAt(bytes, position) < bytes.size()) throw EKVZError(OstraCode::FileIo, OstraMsg::FileWriteError);
    if (!bytes.empty()) fileEnd_ = std::max(fileEnd_, position + bytes.size());
}

void TOstraFile::FillAt(uint32_t count, uint8_t value, uint64_t position) {
    CheckWritable();
    std::lock_guard guard(lock_);
    TTimedScope timer(WriteTimer);
    written_ = true;
    if (!writeThrough_) {
        PutBytes(nullptr, value, count, position);
        return;
    }
    DropPages(position, count);
    std::array<uint8_t, FillBufferSize> buffer;
    buffer.fill(value);
    while (count > 0) {
        uint32_t piece = std::min(count, FillBufferSize);
        if (os_.WriteAt(std::span<const uint8_t>(buffer.data(), piece), position) < piece)
            throw EKVZError(OstraCode::FileIo, OstraMsg::FileWriteError);
        count -= piece;
        position += piece;
        fileEnd_ = std::max(fileEnd_, position);
    }
}

// A page enters with the bytes the file holds there (zeros beyond its end). When too many are
// held, the written ones go to the system and all are dropped.
TOstraFile::TPage& TOstraFile::CachedPage(uint64_t page) {
    if (lastPage_ && lastPageNumber_ == page) return *lastPage_;
    auto it = pages_.find(page);
    if (it == pages_.end()) {
        if (pages_.size() >= MaxKeptPages) {
            WriteBack();
            pages_.clear();
        }
        auto bytes = std::make_unique<uint8_t[]>(PageSize);
        uint64_t start = page * PageSize;
        if (start < fileEnd_) os_.ReadAt(std::span<uint8_t>(bytes.get(), PageSize), start);
        it = pages_.emplace(page, TPage{std::move(bytes), false}).first;
    }
    lastPage_ = &it->second;
    lastPageNumber_ = page;
    return it->second;
}

// Forgets the read pages a write past them (write-through) changes; none is dirty then.
void TOstraFile::DropPages(uint64_t position, uint64_t count) {
    if (count == 0) return;
    auto first = pages_.lower_bound(position / PageSize);
    auto last = pages_.upper_bound((position + count - 1) / PageSize);
    pages_.erase(first, last);
    lastPage_ = nullptr;
}

// Copies count bytes (or count times fill when bytes is null) into the pages.
void TOstraFile::PutBytes(const uint8_t* bytes, uint8_t fill, uint64_t count, uint64_t position) {
    if (count == 0) return;
    uint64_t end = position + count;
    while (count > 0) {
        size_t offset = size_t(position % PageSize);
        size_t piece = size_t(std::min<uint64_t>(count, PageSize - offset));
        TPage& page = CachedPage(position / PageSize);
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
    fileEnd_ = std::max(fileEnd_, end);
    if (dirtyPages_ > MaxWaitingPages) WriteBack();
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

// In address order, runs of neighbouring pages in one write; page 0, which holds the header,
// last, so that the header never names what is not on the disk yet. Pages written leave the
// buffer; on a failure the rest stay.
void TOstraFile::WriteBack() {
    if (dirtyPages_ == 0) return;
    auto write = [this](const uint8_t* bytes, uint64_t start, uint64_t length) {
        if (start >= fileEnd_) return;
        length = std::min(length, fileEnd_ - start);
        if (os_.WriteAt(std::span<const uint8_t>(bytes, size_t(length)), start) < length)
            throw EKVZError(OstraCode::FileIo, OstraMsg::FileWriteError);
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

void TOstraFile::SetFlags(uint16_t flags) {
    if (flags == Flags()) return;
    PutLE16(&header_[OstraHeader::FlagsOffset], flags);
    WriteHeader();
}

void TOstraFile::SetAtomTableRoot(uint64_t address) {
    if (address == AtomTableRoot()) return;
    PutLE64(&header_[OstraHeader::AtomTableRootOffset], address);
    WriteHeader();
}

void TOstraFile::SetHoleTableRoot(uint64_t address) {
    if (address == HoleTableRoot()) return;
    PutLE64(&header_[OstraHeader::HoleTableRootOffset], address);
    WriteHeader();
}

// Growing sets the length before the header names the new end; shrinking writes the header
// first, so that a crash in between never leaves a header pointing beyond the file.
void TOstraFile::SetDataSize(uint64_t size) {
    if (size == DataSize()) return;
    CheckWritable();
    bool growing = size > DataSize();
    if (growing) SetPhysicalLength(RoundUpToGranule(size));
    PutLE64(&header_[OstraHeader::DataSizeOffset], size);
    WriteHeader();
    if (!growing) SetPhysicalLength(RoundUpToGranule(size));
}

// Before the file is cut, the waiting pages (the header naming the shorter data among them)
// go to the disk; pages beyond the new end are dropped.
void TOstraFile::SetPhysicalLength(uint64_t length) {
    if (length == physicalLength_ && physicalLength_ != 0) return;
    CheckWritable();
    physicalLength_ = length;
    std::lock_guard guard(lock_);
    if (length < fileEnd_) {
        for (auto it = pages_.lower_bound((length + PageSize - 1) / PageSize); it != pages_.end();) {
            if (it->second.Dirty) --dirtyPages_;
            it = pages_.erase(it);
        }
        lastPage_ = nullptr;
        if (auto last = pages_.find(length / PageSize); last != pages_.end()) // the cut page reads zeros after the end
            std::memset(last->second.Bytes.get() + length % PageSize, 0, size_t(PageSize - length % PageSize));
        fileEnd_ = length;
        WriteBack();
    }
    os_.SetEnd(length);
    fileEnd_ = length;
}

void TOstraFile::Flush() {
    {
        std::lock_guard guard(lock_);
        WriteBack();
    }
    os_.Flush();
}

uint64_t TOstraFile::GetFileSize() {
    std::lock_guard guard(lock_);
    return std::max(os_.Size(), fileEnd_);
}
