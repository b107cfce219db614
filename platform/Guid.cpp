// GUID creation, parsing and formatting.
#include "platform/Guid.h"

#include "platform/ByteOrder.h"
#include "platform/Random.h"

#include <cstdio>

TGUID TGUID::New() {
    std::array<uint8_t, ByteSize> bytes{};
    for (size_t i = 0; i < bytes.size(); i += 8) {
        uint64_t r = RandomWord();
        for (size_t j = 0; j < 8; ++j) bytes[i + j] = uint8_t(r >> (8 * j));
    }
    TGUID g = FromBytes(bytes);
    g.D3 = uint16_t((g.D3 & 0x0FFF) | 0x4000);
    g.D4[0] = uint8_t((g.D4[0] & 0x3F) | 0x80);
    return g;
}

std::optional<TGUID> TGUID::Parse(std::string_view text) {
    if (text.size() != 38 || text[0] != '{' || text[37] != '}') return std::nullopt;
    static constexpr int Dashes[] = {9, 14, 19, 24};
    for (int d : Dashes)
        if (text[d] != '-') return std::nullopt;
    auto hex = [&](int pos, int digits, uint32_t& out) {
        out = 0;
        for (int i = 0; i < digits; ++i) {
            char c = text[pos + i];
            uint32_t v;
            if (c >= '0' && c <= '9')
                v = uint32_t(c - '0');
            else if (c >= 'A' && c <= 'F')
                v = uint32_t(c - 'A' + 10);
            else if (c >= 'a' && c <= 'f')
                v = uint32_t(c - 'a' + 10);
            else
                return false;
            out = out << 4 | v;
        }
        return true;
    };
    TGUID g;
    uint32_t v;
    if (!hex(1, 8, v)) return std::nullopt;
    g.D1 = v;
    if (!hex(10, 4, v)) return std::nullopt;
    g.D2 = uint16_t(v);
    if (!hex(15, 4, v)) return std::nullopt;
    g.D3 = uint16_t(v);
    for (int i = 0; i < 2; ++i) {
        if (!hex(20 + 2 * i, 2, v)) return std::nullopt;
        g.D4[i] = uint8_t(v);
    }
    for (int i = 0; i < 6; ++i) {
        if (!hex(25 + 2 * i, 2, v)) return std::nullopt;
        g.D4[2 + i] = uint8_t(v);
    }
    return g;
}

TGUID TGUID::FromBytes(std::span<const uint8_t> b) {
    TGUID g;
    if (b.size() < ByteSize) return g;
    g.D1 = GetLE32(b, 0);
    g.D2 = GetLE16(b, 4);
    g.D3 = GetLE16(b, 6);
    for (int i = 0; i < 8; ++i) g.D4[i] = b[8 + i];
    return g;
}

std::array<uint8_t, TGUID::ByteSize> TGUID::Bytes() const {
    std::array<uint8_t, ByteSize> b{};
    PutLE32(b, 0, D1);
    PutLE16(b, 4, D2);
    PutLE16(b, 6, D3);
    for (int i = 0; i < 8; ++i) b[8 + i] = D4[i];
    return b;
}

std::string TGUID::ToString() const {
    char text[39];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", D1, D2, D3, D4[0], D4[1],
                  D4[2], D4[3], D4[4], D4[5], D4[6], D4[7]);
    return text;
}
