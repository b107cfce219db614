// Typed-value writer and reader.
#include "platform/TypedStream.h"

#include "platform/ByteOrder.h"

#include <bit>
#include <cstring>

void TWriter::PutLE(uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) FBytes.push_back(uint8_t(value >> (8 * i)));
}

void TWriter::WriteInteger(int32_t value) {
    if (value >= -128 && value <= 127) {
        FBytes.push_back(TypedTag::Int8);
        PutLE(uint32_t(value), 1);
    } else if (value >= -32768 && value <= 32767) {
        FBytes.push_back(TypedTag::Int16);
        PutLE(uint32_t(value), 2);
    } else {
        FBytes.push_back(TypedTag::Int32);
        PutLE(uint32_t(value), 4);
    }
}

void TWriter::WriteString(std::string_view text) {
    if (text.size() <= 255) {
        FBytes.push_back(TypedTag::String);
        PutLE(text.size(), 1);
    } else {
        FBytes.push_back(TypedTag::LString);
        PutLE(text.size(), 4);
    }
    FBytes.insert(FBytes.end(), text.begin(), text.end());
}

void TWriter::WriteDate(TDateTime value) {
    FBytes.push_back(TypedTag::Date);
    PutLE(std::bit_cast<uint64_t>(value), 8);
}

namespace {
// Records are read by the hundred thousand: the raises stay out of the reading.
[[noreturn, gnu::cold]] void RaiseShort() { throw EReadError("Read beyond end of stream"); }
[[noreturn, gnu::cold]] void RaiseWrongTag() { throw EReadError("Invalid property value"); }
} // namespace

// The widths the tags give are read whole, not byte by byte. Compiled into each read, where the
// width is known: a list page decodes a record per row.
[[gnu::always_inline]] inline uint64_t TReader::TakeLE(int bytes) {
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

[[gnu::always_inline]] inline uint8_t TReader::ReadTag() { return uint8_t(TakeLE(1)); }

[[gnu::always_inline]] inline int32_t TReader::IntegerOfTag(uint8_t tag) {
    switch (tag) {
    case TypedTag::Int8: return int8_t(TakeLE(1));
    case TypedTag::Int16: return int16_t(TakeLE(2));
    case TypedTag::Int32: return int32_t(uint32_t(TakeLE(4)));
    default: RaiseWrongTag();
    }
}

int32_t TReader::ReadInteger() { return IntegerOfTag(ReadTag()); }

std::string TReader::ReadString() { return std::string(ReadStringView()); }

std::string_view TReader::ReadStringView() {
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

TDateTime TReader::ReadDate() {
    uint8_t tag = ReadTag();
    if (tag == TypedTag::Date) return std::bit_cast<double>(TakeLE(8));
    return IntegerOfTag(tag);
}
