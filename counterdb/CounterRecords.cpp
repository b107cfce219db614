// The codecs of the counter's records (see CounterRecords.h) and of the public skin records
// TSkinLayout and TSkinInfo. Byte layouts are the file's: changing one breaks stored files.
#include "counterdb/CounterRecords.h"

#include "storage/Corvane.h"

#include <algorithm>
#include <bit>
#include <cstring>

// ---- host and page records ------------------------------------------------------------------

// Host records are short: one read into a buffer on the stack serves all but very long
// addresses, which are read again whole.
THostRecord ReadHostRecord(IVirtualAtom* atom) {
    std::array<uint8_t, 64> buffer;
    std::span<const uint8_t> bytes(buffer.data(), atom->Read(0, buffer));
    TByteArray whole;
    if (bytes.size() == buffer.size()) {
        whole = atom->GetBytes();
        bytes = whole;
    }
    return HostRecordOf(bytes);
}

void WriteHostRecord(IVirtualAtom* atom, const THostRecord& record) {
    TWriter writer;
    writer.WriteString(record.Address);
    writer.WriteDate(record.Date);
    writer.WriteInteger(record.Hits);
    writer.WriteInteger(record.Visits);
    atom->Write(0, writer.Bytes());
}

TPageRecord ReadPageRecord(IVirtualAtom* atom) { return PageRecordOf(atom->GetBytes()); }

void WritePageRecord(IVirtualAtom* atom, const TPageRecord& record) {
    TWriter writer;
    writer.WriteDate(record.Date);
    writer.WriteInteger(record.Count);
    atom->Write(0, writer.Bytes());
}

// ---- paired record --------------------------------------------------------------------------

TPairedRecord PairedRecordOf(std::span<const uint8_t> bytes) {
    TReader reader(bytes);
    TPairedRecord record;
    if (reader.HasMore()) record.First = reader.ReadString();
    if (reader.HasMore()) record.Second = reader.ReadString();
    return record;
}

std::vector<uint8_t> PairedRecordBytes(std::string_view first) {
    TWriter writer;
    writer.WriteString(first);
    return writer.Bytes();
}

std::vector<uint8_t> PairedRecordBytes(std::string_view first, std::string_view second) {
    TWriter writer;
    writer.WriteString(first);
    writer.WriteString(second);
    return writer.Bytes();
}

// ---- referrer record --------------------------------------------------------------------------

TRefererRecord TRefererRecord::FromBytes(std::span<const uint8_t> bytes) {
    return {std::bit_cast<double>(GetLE64(bytes, DateOffset)), int32_t(GetLE32(bytes, CountOffset))};
}

std::array<uint8_t, TRefererRecord::ByteSize> TRefererRecord::Bytes() const {
    std::array<uint8_t, ByteSize> bytes{};
    PutLE64(bytes, DateOffset, std::bit_cast<uint64_t>(Date));
    PutLE32(bytes, CountOffset, uint32_t(Count));
    return bytes;
}

// ---- skin records -----------------------------------------------------------------------------

std::array<uint8_t, SkinInfoRecordSize> SkinInfoRecord(const TSkinLayout& header, const TSkinInfo& texts,
                                                       int32_t colour) {
    std::array<uint8_t, SkinInfoRecordSize> record{};
    auto headerBytes = header.Bytes();
    std::memcpy(&record[0], headerBytes.data(), headerBytes.size());
    std::memcpy(&record[SkinInfoTextsOffset], texts.Bytes.data(), TSkinInfo::ByteSize);
    PutLE32(record, SkinInfoColourOffset, uint32_t(colour));
    return record;
}

void ReadSkinInfoRecord(std::span<const uint8_t> record, TSkinInfo& texts, int32_t& colour, TSkinLayout& header) {
    if (record.size() >= TSkinLayout::ByteSize) header = TSkinLayout::FromBytes(record);
    if (record.size() >= SkinInfoColourOffset) texts = TSkinInfo::FromBytes(record.subspan(SkinInfoTextsOffset));
    if (record.size() >= SkinInfoRecordSize) colour = int32_t(GetLE32(record, SkinInfoColourOffset));
}

std::array<uint8_t, TSkinLayout::ByteSize> TSkinLayout::Bytes() const {
    std::array<uint8_t, ByteSize> b{};
    b[0] = Align;
    PutLE32(b, 1, uint32_t(Digits));
    PutLE32(b, 5, uint32_t(DigitHeight));
    PutLE32(b, 9, uint32_t(X));
    b[13] = Overlay;
    PutLE32(b, 14, uint32_t(Spacing));
    PutLE32(b, 18, uint32_t(Y));
    PutLE32(b, 22, uint32_t(StripWidth));
    return b;
}

TSkinLayout TSkinLayout::FromBytes(std::span<const uint8_t> b) {
    if (b.size() < ByteSize) throw EReadError("Skin layout record is too short");
    TSkinLayout layout;
    layout.Align = b[0];
    layout.Digits = int32_t(GetLE32(b, 1));
    layout.DigitHeight = int32_t(GetLE32(b, 5));
    layout.X = int32_t(GetLE32(b, 9));
    layout.Overlay = b[13];
    layout.Spacing = int32_t(GetLE32(b, 14));
    layout.Y = int32_t(GetLE32(b, 18));
    layout.StripWidth = int32_t(GetLE32(b, 22));
    return layout;
}

TSkinInfo TSkinInfo::FromBytes(std::span<const uint8_t> bytes) {
    if (bytes.size() < ByteSize) throw EReadError("Skin information block is too short");
    TSkinInfo info;
    std::memcpy(info.Bytes.data(), bytes.data(), ByteSize);
    return info;
}

std::string TSkinInfo::Field(size_t offset) const {
    size_t length = Bytes[offset];
    return std::string(reinterpret_cast<const char*>(&Bytes[offset + 1]), length);
}

void TSkinInfo::SetField(size_t offset, std::string_view text) {
    size_t length = std::min<size_t>(text.size(), FieldSize - 1);
    Bytes[offset] = uint8_t(length);
    std::memcpy(&Bytes[offset + 1], text.data(), length);
}
