// Little-endian integers as the file formats and stored records lay them out. Only places and
// picks bytes: callers make sure the bytes are there (at p, or in data from at on).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline uint16_t GetLE16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

inline uint32_t GetLE32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint64_t GetLE64(const uint8_t* p) { return uint64_t(GetLE32(p)) | uint64_t(GetLE32(p + 4)) << 32; }

inline void PutLE16(uint8_t* p, uint16_t value) {
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
}

inline void PutLE32(uint8_t* p, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) p[i] = uint8_t(value >> (8 * i));
}

inline void PutLE64(uint8_t* p, uint64_t value) {
    PutLE32(p, uint32_t(value));
    PutLE32(p + 4, uint32_t(value >> 32));
}

inline uint16_t GetLE16(std::span<const uint8_t> data, size_t at) { return GetLE16(data.data() + at); }
inline uint32_t GetLE32(std::span<const uint8_t> data, size_t at) { return GetLE32(data.data() + at); }
inline uint64_t GetLE64(std::span<const uint8_t> data, size_t at) { return GetLE64(data.data() + at); }
inline void PutLE16(std::span<uint8_t> data, size_t at, uint16_t value) { PutLE16(data.data() + at, value); }
inline void PutLE32(std::span<uint8_t> data, size_t at, uint32_t value) { PutLE32(data.data() + at, value); }
inline void PutLE64(std::span<uint8_t> data, size_t at, uint64_t value) { PutLE64(data.data() + at, value); }
