// The typed-value record format: a run of values, each a tag byte and its payload, little-endian.
// Integers take tag 2 (1 byte), 3 (2 bytes) or 4 (4 bytes), the shortest that holds the value;
// strings tag 6 (1-byte length) or 12 (4-byte length); dates tag 17 (8-byte double).
#pragma once

#include "platform/Clock.h"
#include "platform/Exception.h"

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

// Reads typed values one after another from a byte buffer it does not own.
class TReader {
public:
    explicit TReader(std::span<const uint8_t> data) : FData(data) {}

    // Raise EReadError for another tag or short data.
    int32_t ReadInteger();
    std::string ReadString();
    // The string's bytes where they lie, valid as long as the data.
    std::string_view ReadStringView();
    // Also takes an integer in place of a date, as whole days.
    TDateTime ReadDate();

    // True when more bytes follow the position.
    bool HasMore() const { return FPos < FData.size(); }
    size_t Position() const { return FPos; }

private:
    uint8_t ReadTag();
    uint64_t TakeLE(int bytes);
    int32_t IntegerOfTag(uint8_t tag);
    std::span<const uint8_t> FData;
    size_t FPos = 0;
};
