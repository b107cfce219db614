// Writing and reading the rollback journal.
#include "storage/Journal.h"

#include "platform/Random.h"
#include "storage/Crc32.h"
#include "storage/OstraFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

using namespace JournalFormat;

namespace {
constexpr char Magic[] = "KVZ-JOURNAL";

uint32_t RecordCRC(uint64_t nonce, const uint8_t* record, size_t length) {
    uint32_t crc = uint32_t(nonce) ^ uint32_t(nonce >> 32);
    CRC32Update(crc, std::span<const uint8_t>(record, length));
    return crc;
}

void WriteAll(TOsFile& file, std::span<const uint8_t> bytes, uint64_t position) {
    if (file.WriteAt(bytes, position) < bytes.size()) throw EOSError(ENOSPC, "pwrite");
}

bool IsZero(std::span<const uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

// The header when the file holds a whole one, else nothing.
bool ReadHeader(TOsFile& file, uint8_t (&header)[HeaderSize]) { return file.ReadAt(header, 0) == HeaderSize; }

bool IsValidHeader(const uint8_t (&header)[HeaderSize], uint32_t pageSize) {
    return std::memcmp(header + MagicOffset, Magic, sizeof(Magic)) == 0 &&
           GetLE32(header + HeaderCrcOffset) == CRC32Of(std::span<const uint8_t>(header, HeaderCrcOffset)) &&
           GetLE32(header + PageSizeOffset) == pageSize &&
           GetLE64(header + OriginalLengthOffset) <= uint64_t(INT64_MAX);
}
} // namespace

TRollbackJournal::TState TRollbackJournal::Inspect(const std::string& name, uint32_t pageSize) {
    TOsFile file;
    if (int error = file.Open(name, false, TOsDisposition::OpenExisting, false)) {
        if (error == ENOENT) return TState::Missing;
        throw EOSError(error, "open " + name);
    }
    uint8_t header[HeaderSize];
    if (!ReadHeader(file, header)) return TState::Torn;
    if (IsZero(header)) return TState::Settled;
    return IsValidHeader(header, pageSize) ? TState::Hot : TState::Torn;
}

// The header is made in memory before the file is touched: an undo after a failure anywhere
// from here on has it.
void TRollbackJournal::Begin(const std::string& name, const TGUID& storageId, uint64_t originalLength) {
    name_ = name;
    nonce_ = RandomWord();
    originalLength_ = originalLength;
    std::memset(header_, 0, HeaderSize);
    std::memcpy(header_ + MagicOffset, Magic, sizeof(Magic) - 1);
    auto id = storageId.Bytes();
    std::memcpy(header_ + StorageIDOffset, id.data(), id.size());
    PutLE64(header_ + OriginalLengthOffset, originalLength);
    PutLE64(header_ + NonceOffset, nonce_);
    PutLE32(header_ + PageSizeOffset, pageSize_);
    PutLE32(header_ + HeaderCrcOffset, CRC32Of(std::span<const uint8_t>(header_, HeaderCrcOffset)));
    end_ = HeaderSize;
    if (int error = file_.Open(name, true, TOsDisposition::OpenAlways, false)) throw EOSError(error, "open " + name);
    // A settled journal was written and synced by a commit whose name was made durable.
    uint8_t found[HeaderSize];
    named_ = ReadHeader(file_, found) && IsZero(found);
    file_.SetEnd(0);
    WriteAll(file_, header_, 0);
}

void TRollbackJournal::Add(std::span<const uint64_t> pages, std::span<const uint8_t> bytes) {
    if (pages.empty()) return;
    std::vector<uint8_t> records(pages.size() * RecordSize());
    for (size_t i = 0; i < pages.size(); ++i) {
        uint8_t* record = &records[i * RecordSize()];
        PutLE64(record, pages[i]);
        std::memcpy(record + RecordHeadSize, &bytes[i * pageSize_], pageSize_);
        PutLE32(record + RecordHeadSize + pageSize_, RecordCRC(nonce_, record, RecordHeadSize + pageSize_));
    }
    WriteAll(file_, records, end_);
    end_ += records.size();
}

void TRollbackJournal::Sync() {
    file_.Sync();
    if (named_) return;
    OsFileLayer().SyncFolderOf(name_);
    named_ = true;
}

// The zeroed header is made durable: a journal that came back whole after a power cut would
// undo this commit, which its caller was told stands. Cutting the records off here, before or
// after that sync, could leave a whole header without its records: the next Begin does it.
void TRollbackJournal::End() {
    const uint8_t zeros[HeaderSize] = {};
    WriteAll(file_, zeros, 0);
    file_.Sync();
    file_.Close();
}

void TRollbackJournal::Reinstate() {
    WriteAll(file_, header_, 0);
    Sync();
}

void TRollbackJournal::Undo(TOsFile& target) { Replay(file_, header_, pageSize_, target); }

bool TRollbackJournal::RollBack(const std::string& name, const TBelongs& belongs, uint32_t pageSize, TOsFile& target) {
    TOsFile file;
    if (int error = file.Open(name, false, TOsDisposition::OpenExisting, false)) {
        if (error == ENOENT) return false;
        throw EOSError(error, "open " + name);
    }
    uint8_t header[HeaderSize];
    if (!ReadHeader(file, header) || !IsValidHeader(header, pageSize)) return false;
    TGUID id = TGUID::FromBytes(std::span<const uint8_t>(header + StorageIDOffset, TGUID::ByteSize));
    if (!belongs(id, GetLE64(header + OriginalLengthOffset))) return false;
    Replay(file, header, pageSize, target);
    return true;
}

// Each whole record in order, up to the first torn one (torn before its sync: its page was
// never written); pages past the original length are not put back, the cut removes them.
void TRollbackJournal::Replay(TOsFile& journal, const uint8_t* header, uint32_t pageSize, TOsFile& target) {
    uint64_t originalLength = GetLE64(header + OriginalLengthOffset);
    uint64_t nonce = GetLE64(header + NonceOffset);
    std::vector<uint8_t> record(RecordHeadSize + pageSize + RecordTailSize);
    for (uint64_t at = HeaderSize;; at += record.size()) {
        if (journal.ReadAt(record, at) < record.size()) break;
        if (GetLE32(&record[RecordHeadSize + pageSize]) != RecordCRC(nonce, record.data(), RecordHeadSize + pageSize))
            break;
        uint64_t start = GetLE64(record.data()) * pageSize;
        if (start >= originalLength) continue;
        auto part = std::span<const uint8_t>(&record[RecordHeadSize],
                                             size_t(std::min<uint64_t>(pageSize, originalLength - start)));
        WriteAll(target, part, start);
    }
    target.SetEnd(originalLength);
    target.Sync();
}
