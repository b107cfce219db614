// Little-endian integers as the file formats and stored records lay them out. Only places and
// picks bytes: callers make sure Data holds the bytes at At.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline uint16_t GetLE16(std::span<const uint8_t> data, size_t at) { return uint16_t(data[at] | (data[at + 1] << 8)); }

inline uint32_t GetLE32(std::span<const uint8_t> data, size_t at) {
    return uint32_t(data[at]) | (uint32_t(data[at + 1]) << 8) | (uint32_t(data[at + 2]) << 16) |
           (uint32_t(data[at + 3]) << 24);
}

inline uint64_t GetLE64(std::span<const uint8_t> data, size_t at) {
    return uint64_t(GetLE32(data, at)) | (uint64_t(GetLE32(data, at + 4)) << 32);
}

inline void PutLE16(std::span<uint8_t> data, size_t at, uint16_t value) {
    data[at] = uint8_t(value);
    data[at + 1] = uint8_t(value >> 8);
}

inline void PutLE32(std::span<uint8_t> data, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) data[at + i] = uint8_t(value >> (8 * i));
}

inline void PutLE64(std::span<uint8_t> data, size_t at, uint64_t value) {
    for (size_t i = 0; i < 8; ++i) data[at + i] = uint8_t(value >> (8 * i));
}
