// Table-driven CRC-32, eight bytes a step (eight derived tables), then four, then byte by byte.
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

// Tables[k][b]: the CRC of byte b followed by k zero bytes.
constexpr std::array<std::array<uint32_t, 256>, 8> MakeTables() {
    std::array<std::array<uint32_t, 256>, 8> tables{};
    tables[0] = Table;
    for (int k = 1; k < 8; ++k)
        for (uint32_t i = 0; i < 256; ++i) tables[k][i] = Table[tables[k - 1][i] & 0xFF] ^ (tables[k - 1][i] >> 8);
    return tables;
}
constexpr std::array<std::array<uint32_t, 256>, 8> Tables = MakeTables();

uint32_t LoadLE32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
} // namespace

void CRC32Update(uint32_t& crc, std::span<const uint8_t> bytes) {
    uint32_t c = crc;
    const uint8_t* p = bytes.data();
    size_t n = bytes.size();
    for (; n >= 8; n -= 8, p += 8) {
        uint32_t low = LoadLE32(p) ^ c;
        uint32_t high = LoadLE32(p + 4);
        c = Tables[7][low & 0xFF] ^ Tables[6][(low >> 8) & 0xFF] ^ Tables[5][(low >> 16) & 0xFF] ^
            Tables[4][low >> 24] ^ Tables[3][high & 0xFF] ^ Tables[2][(high >> 8) & 0xFF] ^
            Tables[1][(high >> 16) & 0xFF] ^ Tables[0][high >> 24];
    }
    if (n >= 4) {
        uint32_t low = LoadLE32(p) ^ c;
        c = Tables[3][low & 0xFF] ^ Tables[2][(low >> 8) & 0xFF] ^ Tables[1][(low >> 16) & 0xFF] ^ Tables[0][low >> 24];
        n -= 4;
        p += 4;
    }
    for (; n > 0; --n, ++p) c = Table[(c ^ *p) & 0xFF] ^ (c >> 8);
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
