// Table-driven CRC-32.
#include "storage/Crc32.h"

#include <array>

namespace {
constexpr std::array<uint32_t, 256> MakeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> Table = MakeTable();
} // namespace

void CRC32Update(uint32_t& crc, std::span<const uint8_t> bytes) {
    uint32_t c = crc;
    for (uint8_t b : bytes) c = Table[(c ^ b) & 0xFF] ^ (c >> 8);
    crc = c;
}

uint32_t CRC32Of(std::span<const uint8_t> bytes) {
    uint32_t crc = 0;
    CRC32Update(crc, bytes);
    return crc;
}

uint32_t CRC32Of(std::string_view bytes) {
    return CRC32Of(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}
