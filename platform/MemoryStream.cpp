// TStream helpers and the in-memory stream.
#include "platform/MemoryStream.h"

#include "platform/TypedStream.h"

#include <algorithm>
#include <cstring>

std::vector<uint8_t> TStream::ReadAll() {
    Seek(0);
    std::vector<uint8_t> bytes(static_cast<size_t>(Size()));
    size_t got = Read(bytes);
    bytes.resize(got);
    return bytes;
}

void TStream::ReadBuffer(std::span<uint8_t> buffer) {
    if (Read(buffer) != buffer.size()) throw EReadError("Stream read error");
}

size_t TMemoryStream::Read(std::span<uint8_t> buffer) {
    if (FPosition >= FBytes.size()) return 0;
    size_t count = std::min<uint64_t>(buffer.size(), FBytes.size() - FPosition);
    if (count) std::memcpy(buffer.data(), FBytes.data() + FPosition, count);
    FPosition += count;
    return count;
}

void TMemoryStream::Write(std::span<const uint8_t> data) {
    if (data.empty()) return;
    uint64_t end = FPosition + data.size();
    if (end > FBytes.size()) FBytes.resize(size_t(end));
    std::memcpy(FBytes.data() + FPosition, data.data(), data.size());
    FPosition = end;
}

void TMemoryStream::SetSize(uint64_t size) {
    FBytes.resize(size_t(size));
    if (FPosition > size) FPosition = size;
}
