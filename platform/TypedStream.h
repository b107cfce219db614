// The typed-value record format: a run of values, each a tag byte and its payload, little-endian.
// Integers take tag 2 (1 byte), 3 (2 bytes) or 4 (4 bytes), the shortest that holds the value;
// strings tag 6 (1-byte length) or 12 (4-byte length); dates tag 17 (8-byte double).
#pragma once

#include "platform/ByteOrder.h"
#include "platform/Clock.h"
#include "platform/Exception.h"

#include <bit>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Raised by readers for a wrong tag or data that ends early.
class EReadError : public Exception {
public:
    using Exception::Exception;
};

namespace TypedTag {
inline constexpr uint8_t Int8 = 2;
inline constexpr uint8_t Int16 = 3;
inline constexpr uint8_t Int32 = 4;
inline constexpr uint8_t String = 6;
inline constexpr uint8_t LString = 12;
inline constexpr uint8_t Date = 17;
} // namespace TypedTag

// Appends typed values to a byte buffer.
class TWriter {
public:
    void WriteInteger(int32_t value);
    void WriteString(std::string_view text);
    void WriteDate(TDateTime value);

    const std::vector<uint8_t>& Bytes() const { return FBytes; }

private:
    void PutLE(uint64_t value, int bytes);
    std::vector<uint8_t> FBytes;
};

// Reads typed values one after another from a byte buffer it does not own. The reads are
// compiled into their callers: a list page decodes a record per row.
class TReader {
public:
    explicit TReader(std::span<const uint8_t> data) : FData(data) {}

    // Raise EReadError for another tag or short data.
    int32_t ReadInteger() { return IntegerOfTag(ReadTag()); }
    std::string ReadString() { return std::string(ReadStringView()); }
    // The string's bytes where they lie, valid as long as the data.
    std::string_view ReadStringView() {
        uint8_t tag = ReadTag();
        uint64_t length;
        if (tag == TypedTag::String)
            length = TakeLE(1);
        else if (tag == TypedTag::LString)
            length = TakeLE(4);
        else
            RaiseWrongTag();
        if (FData.size() - FPos < length) RaiseShort();
        std::string_view text(reinterpret_cast<const char*>(FData.data() + FPos), size_t(length));
        FPos += size_t(length);
        return text;
    }
    // Also takes an integer in place of a date, as whole days.
    TDateTime ReadDate() {
        uint8_t tag = ReadTag();
        if (tag == TypedTag::Date) return std::bit_cast<double>(TakeLE(8));
        return IntegerOfTag(tag);
    }

    // True when more bytes follow the position.
    bool HasMore() const { return FPos < FData.size(); }
    size_t Position() const { return FPos; }

private:
    [[noreturn]] static void RaiseShort();
    [[noreturn]] static void RaiseWrongTag();
    uint8_t ReadTag() { return uint8_t(TakeLE(1)); }
    // The widths the tags give are read whole, not byte by byte.
    uint64_t TakeLE(int bytes) {
        if (FData.size() - FPos < size_t(bytes)) [[unlikely]]
            RaiseShort();
        uint64_t value = 0;
        switch (bytes) {
        case 1: value = FData[FPos]; break;
        case 2: value = GetLE16(FData, FPos); break;
        case 4: value = GetLE32(FData, FPos); break;
        case 8: value = GetLE64(FData, FPos); break;
        default:
            for (int i = 0; i < bytes; ++i) value |= uint64_t(FData[FPos + size_t(i)]) << (8 * i);
        }
        FPos += size_t(bytes);
        return value;
    }
    int32_t IntegerOfTag(uint8_t tag) {
        switch (tag) {
        case TypedTag::Int8: return int8_t(TakeLE(1));
        case TypedTag::Int16: return int16_t(TakeLE(2));
        case TypedTag::Int32: return int32_t(uint32_t(TakeLE(4)));
        default: RaiseWrongTag();
        }
    }
    std::span<const uint8_t> FData;
    size_t FPos = 0;
};
