// Typed-value writer and reader.
#include "platform/TypedStream.h"

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

// Records are read by the hundred thousand: the raises stay out of the reading.
[[gnu::cold]] void TReader::RaiseShort() { throw EReadError("Read beyond end of stream"); }
[[gnu::cold]] void TReader::RaiseWrongTag() { throw EReadError("Invalid property value"); }
