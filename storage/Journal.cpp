// Writing and reading the rollback journal.
#include "storage/Journal.h"

#include "storage/Crc32.h"
#include "storage/OstraFile.h"

#include <cerrno>
#include <cstring>
#include <random>
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
} // namespace

void TRollbackJournal::Begin(const std::string& name, const TGUID& storageId, uint64_t originalLength) {
    name_ = name;
    if (int error = file_.Open(name, true, TOsDisposition::CreateAlways, false)) throw EOSError(error, "open " + name);
    nonce_ = std::random_device()() | uint64_t(std::random_device()()) << 32;
    originalLength_ = originalLength;
    named_ = false;
    uint8_t header[HeaderSize] = {};
    std::memcpy(header + MagicOffset, Magic, sizeof(Magic) - 1);
    auto id = storageId.Bytes();
    std::memcpy(header + StorageIDOffset, id.data(), id.size());
    PutLE64(header + OriginalLengthOffset, originalLength);
    PutLE64(header + NonceOffset, nonce_);
    PutLE32(header + PageSizeOffset, pageSize_);
    PutLE32(header + HeaderCrcOffset, CRC32Of(std::span<const uint8_t>(header, HeaderCrcOffset)));
    WriteAll(file_, header, 0);
    end_ = HeaderSize;
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

// The removal is made durable too: a journal that came back after a power cut would undo this
// commit, which its caller was told stands.
void TRollbackJournal::End() {
    file_.Close();
    OsFileLayer().Remove(name_);
    OsFileLayer().SyncFolderOf(name_);
}

int64_t TRollbackJournal::Read(const std::string& name, const std::function<bool(const TGUID&, uint64_t)>& belongs,
                               uint32_t pageSize, const TRestore& restore) {
    TOsFile file;
    if (int error = file.Open(name, false, TOsDisposition::OpenExisting, false)) {
        if (error == ENOENT) return -1;
        throw EOSError(error, "open " + name);
    }
    uint8_t header[HeaderSize];
    if (file.ReadAt(header, 0) < HeaderSize) return -1;
    if (std::memcmp(header + MagicOffset, Magic, sizeof(Magic)) != 0 ||
        GetLE32(header + HeaderCrcOffset) != CRC32Of(std::span<const uint8_t>(header, HeaderCrcOffset)) ||
        GetLE32(header + PageSizeOffset) != pageSize)
        return -1;
    uint64_t originalLength = GetLE64(header + OriginalLengthOffset);
    if (originalLength > uint64_t(INT64_MAX)) return -1;
    TGUID id = TGUID::FromBytes(std::span<const uint8_t>(header + StorageIDOffset, TGUID::ByteSize));
    if (!belongs(id, originalLength)) return -1;
    uint64_t nonce = GetLE64(header + NonceOffset);
    std::vector<uint8_t> record(RecordHeadSize + pageSize + RecordTailSize);
    for (uint64_t at = HeaderSize;; at += record.size()) {
        if (file.ReadAt(record, at) < record.size()) break;
        if (GetLE32(&record[RecordHeadSize + pageSize]) != RecordCRC(nonce, record.data(), RecordHeadSize + pageSize))
            break; // torn before its sync: its page was never written
        restore(GetLE64(record.data()), std::span<const uint8_t>(&record[RecordHeadSize], pageSize));
    }
    return int64_t(originalLength);
}
