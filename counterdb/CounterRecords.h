// The records the counter stores in its value atoms and their byte codecs: host, page and
// paired records in the typed-value format, the 12-byte referrer record and the skin
// information record. Not where the records live (the tables' units).
#pragma once

#include "counterdb/UCounter.h"
#include "platform/ByteOrder.h"
#include "platform/TypedStream.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct IVirtualAtom;

// Counts are 32-bit in the records; they wrap instead of overflowing.
inline int32_t Add32(int32_t a, int64_t b) { return int32_t(uint32_t(a) + uint32_t(uint64_t(b))); }

// ---- host record: String address, Date last hit, Integer hits, Integer visits -------------

struct THostRecord {
    std::string Address;
    TDateTime Date = 0;
    int32_t Hits = 0;
    int32_t Visits = 0;
};

// A host record read where its bytes lie, the address not copied.
struct THostFields {
    std::string_view Address;
    TDateTime Date = 0;
    int32_t Hits = 0;
    int32_t Visits = 0;
};

// Raise EReadError for a record that does not read; bytes after the record are ignored.
inline THostFields HostFieldsOf(std::span<const uint8_t> bytes) {
    TReader reader(bytes);
    THostFields fields;
    fields.Address = reader.ReadStringView();
    fields.Date = reader.ReadDate();
    fields.Hits = reader.ReadInteger();
    fields.Visits = reader.ReadInteger();
    return fields;
}

inline THostRecord HostRecordOf(std::span<const uint8_t> bytes) {
    THostFields fields = HostFieldsOf(bytes);
    return {std::string(fields.Address), fields.Date, fields.Hits, fields.Visits};
}

THostRecord ReadHostRecord(IVirtualAtom* atom);
// Written from offset 0 without truncating: counts only grow, so the record never shrinks.
void WriteHostRecord(IVirtualAtom* atom, const THostRecord& record);

// ---- page record: Date, Integer count -------------------------------------------------------

struct TPageRecord {
    TDateTime Date = 0;
    int32_t Count = 0;
};

inline TPageRecord PageRecordOf(std::span<const uint8_t> bytes) {
    TReader reader(bytes);
    TPageRecord record;
    record.Date = reader.ReadDate();
    record.Count = reader.ReadInteger();
    return record;
}

TPageRecord ReadPageRecord(IVirtualAtom* atom);
// Written from offset 0 without truncating, as the host record.
void WritePageRecord(IVirtualAtom* atom, const TPageRecord& record);

// ---- paired record: String first, then optionally String second ----------------------------

struct TPairedRecord {
    std::string First;
    std::string Second;
};

// The texts a record holds, empty where it ends; raises EReadError for a value that is not a
// string.
TPairedRecord PairedRecordOf(std::span<const uint8_t> bytes);
std::vector<uint8_t> PairedRecordBytes(std::string_view first);
std::vector<uint8_t> PairedRecordBytes(std::string_view first, std::string_view second);

// ---- referrer record: 12 bytes, not typed values --------------------------------------------

struct TRefererRecord {
    static constexpr size_t ByteSize = 12;
    static constexpr size_t DateOffset = 0;  // double, little-endian
    static constexpr size_t CountOffset = 8; // i32, little-endian

    TDateTime Date = 0;
    int32_t Count = 0;

    // bytes holds at least ByteSize bytes; later ones carry no meaning.
    static TRefererRecord FromBytes(std::span<const uint8_t> bytes);
    std::array<uint8_t, ByteSize> Bytes() const;
};

// ---- skin information record: layout, three texts, colour ----------------------------------

inline constexpr size_t SkinInfoTextsOffset = TSkinLayout::ByteSize;
inline constexpr size_t SkinInfoColourOffset = SkinInfoTextsOffset + TSkinInfo::ByteSize;
inline constexpr size_t SkinInfoRecordSize = SkinInfoColourOffset + 4;

std::array<uint8_t, SkinInfoRecordSize> SkinInfoRecord(const TSkinLayout& header, const TSkinInfo& texts,
                                                       int32_t colour);
// Reads the fields a record holds whole; those it lacks are left as they are.
void ReadSkinInfoRecord(std::span<const uint8_t> record, TSkinInfo& texts, int32_t& colour, TSkinLayout& header);
