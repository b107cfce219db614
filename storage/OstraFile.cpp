// The storage file: open modes, header creation and checks, the header's setters, close.
#include "storage/OstraFile.h"

#include "storage/AtomManager.h"
#include "storage/Crc32.h"
#include "storage/KVZError.h"
#include "storage/SpaceAllocator.h"

#include "platform/Report.h"

#include <algorithm>
#include <cmath>
#include <cstring>

uint8_t NewFileAtomSizeAlign = 1;

namespace {
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
    readOnly_ = mode == TOpenMode::ReadOnly;
    TOsDisposition disposition = mode == TOpenMode::Create         ? TOsDisposition::CreateNew
                                 : mode == TOpenMode::OpenOrCreate ? TOsDisposition::OpenAlways
                                                                   : TOsDisposition::OpenExisting;
    try {
        pager_.Open(fileName, fullPath_, !readOnly_, disposition, writeThrough_);
        isNew_ = mode == TOpenMode::Create || (mode == TOpenMode::OpenOrCreate && pager_.Length() == 0);
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
    pager_.Identify(StorageID());
    WriteHeader();
}

// The checks run in a fixed order; the first failing one decides the error.
void TOstraFile::CheckHeader(const std::string& fileName, std::span<const TGUID> classes) {
    using namespace OstraHeader;
    if (pager_.Length() < Size) RaiseOpenError(OstraCode::InvalidFormat, OstraMsg::InvalidFormat, fileName);
    pager_.ReadAtOnce(header_, 0);

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

    if (DataSize() < Size || DataSize() > pager_.Length())
        RaiseOpenError(OstraCode::FileDamaged, OstraMsg::FileDamaged, fileName);

    if ((Flags() & FlagReadOnly) && !readOnly_)
        RaiseOpenError(OstraCode::ReadOnlyMarked, OstraMsg::ReadOnlyMarked, fileName);
    pager_.Identify(StorageID());
}

void TOstraFile::CreateManagers() {
    spaceAllocator_ = CSpaceAllocator::Create(*this).Detach();
    atomManager_ = CAtomManager::Create(*this).Detach();
}

void TOstraFile::Shutdown() noexcept {
    if (pager_.IsUsable() && pager_.State() != TPagerState::Reader) {
        try {
            Commit();
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
    // A file made in this session may be renamed into place (a new counter database): its
    // settled journal would stay behind under the old name.
    pager_.Close(isNew_);
}

uint32_t TOstraFile::HeaderCRC() const {
    return CRC32Of(std::span<const uint8_t>(header_.data(), OstraHeader::CrcOffset));
}

void TOstraFile::StoreHeaderCRC() { PutLE32(&header_[OstraHeader::CrcOffset], HeaderCRC()); }

void TOstraFile::WriteHeader() {
    StoreHeaderCRC();
    pager_.WriteAt(header_, 0);
}

// A field of the header changed in memory: the commit writes the header, so that a session
// growing the file by thousands of atoms does not rewrite it each time.
void TOstraFile::HeaderChanged() {
    CheckWritable();
    pager_.MarkChanged();
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

// The header is written last, with a new Modified stamp, only when the pager has changes.
void TOstraFile::Commit() {
    if (pager_.HasChanges()) {
        EncodeStamp(Now(), &header_[OstraHeader::ModifiedTimeOffset], &header_[OstraHeader::ModifiedDateOffset]);
        WriteHeader();
    }
    pager_.Commit();
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

// In memory only, like every change: the file takes its new length at the next spill or commit.
void TOstraFile::SetPhysicalLength(uint64_t length) {
    if (length == physicalLength_ && physicalLength_ != 0) return;
    CheckWritable();
    pager_.SetLength(length);
    physicalLength_ = length;
}
