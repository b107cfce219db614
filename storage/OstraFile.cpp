// The storage file: open modes, header creation and checks, positioned I/O, close.
#include "storage/OstraFile.h"

#include "storage/AtomManager.h"
#include "storage/Crc32.h"
#include "storage/KVZError.h"
#include "storage/SpaceAllocator.h"
#include "storage/Timers.h"

#include <algorithm>
#include <cmath>
#include <cstring>

uint8_t NewFileAtomSizeAlign = 1;

namespace {
constexpr int ReadTimer = 0;
constexpr int WriteTimer = 1;
constexpr uint32_t FillBufferSize = 1024;

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

uint64_t RoundUpToGranule(uint64_t size) {
    return (size + OstraFileGranule - 1) / OstraFileGranule * OstraFileGranule;
}
} // namespace

TOstraFile::TOstraFile(const std::string& fileName, TOpenMode mode, std::span<const TGUID> classes,
                       bool writeThrough)
    : fullPath_(FullPathOf(fileName)), writeThrough_(writeThrough) {
    bool creating = mode == TOpenMode::OpenOrCreate || mode == TOpenMode::Create;
    if (creating && classes.size() != 1) RaiseOpenError(OstraCode::UnmatchedClass, OstraMsg::UnmatchedClass, fileName);
    try {
        OpenOs(fileName, mode);
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
    std::string signature(reinterpret_cast<const char*>(sig),
                          size_t(std::find(sig, sig + SignatureSize, 0) - sig));
    if (signature != GetSignature()) RaiseOpenError(OstraCode::InvalidFormat, OstraMsg::InvalidFormat, fileName);

    bool accepted = classes.empty() ? readOnly_
                                    : std::find(classes.begin(), classes.end(), DataClass()) != classes.end();
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
    if (os_.ReadAt(buffer, position) < buffer.size()) throw EKVZError(OstraCode::FileIo, OstraMsg::FileReadError);
}

void TOstraFile::WriteAt(std::span<const uint8_t> bytes, uint64_t position) {
    CheckWritable();
    std::lock_guard guard(lock_);
    TTimedScope timer(WriteTimer);
    written_ = true;
    if (os_.WriteAt(bytes, position) < bytes.size()) throw EKVZError(OstraCode::FileIo, OstraMsg::FileWriteError);
}

void TOstraFile::FillAt(uint32_t count, uint8_t value, uint64_t position) {
    CheckWritable();
    std::lock_guard guard(lock_);
    TTimedScope timer(WriteTimer);
    written_ = true;
    std::array<uint8_t, FillBufferSize> buffer;
    buffer.fill(value);
    while (count > 0) {
        uint32_t piece = std::min(count, FillBufferSize);
        if (os_.WriteAt(std::span<const uint8_t>(buffer.data(), piece), position) < piece)
            throw EKVZError(OstraCode::FileIo, OstraMsg::FileWriteError);
        count -= piece;
        position += piece;
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

void TOstraFile::SetPhysicalLength(uint64_t length) {
    if (length == physicalLength_ && physicalLength_ != 0) return;
    CheckWritable();
    physicalLength_ = length;
    std::lock_guard guard(lock_);
    os_.SetEnd(length);
}

void TOstraFile::Flush() { os_.Flush(); }

uint64_t TOstraFile::GetFileSize() { return os_.Size(); }
