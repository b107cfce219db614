// GUIDs: the 16-byte identifiers of interfaces, data classes and storages, in the Windows byte
// layout (first three fields little-endian) and the upper-case "{8-4-4-4-12}" text form.
#pragma once

#include <array>
#include <bit>
#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

struct TGUID {
    uint32_t D1 = 0;
    uint16_t D2 = 0;
    uint16_t D3 = 0;
    std::array<uint8_t, 8> D4{};

    static constexpr size_t ByteSize = 16;

    // Two words, not four fields: interfaces are looked up by GUID on every query.
    friend constexpr bool operator==(const TGUID& a, const TGUID& b) {
        auto x = std::bit_cast<std::array<uint64_t, 2>>(a), y = std::bit_cast<std::array<uint64_t, 2>>(b);
        return x[0] == y[0] && x[1] == y[1];
    }
    friend constexpr auto operator<=>(const TGUID&, const TGUID&) = default;

    bool IsNull() const { return *this == TGUID{}; }

    // A fresh random GUID (version 4 layout).
    static TGUID New();
    // The text "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in either case, or nothing.
    static std::optional<TGUID> Parse(std::string_view text);
    // The 16 bytes as stored in files: D1..D3 little-endian, then D4.
    static TGUID FromBytes(std::span<const uint8_t> bytes);
    std::array<uint8_t, ByteSize> Bytes() const;
    // Upper-case text with braces.
    std::string ToString() const;
};

namespace GuidDetail {
constexpr uint32_t HexDigit(char c) {
    if (c >= '0' && c <= '9') return uint32_t(c - '0');
    if (c >= 'A' && c <= 'F') return uint32_t(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return uint32_t(c - 'a' + 10);
    throw "bad hex digit in GUID literal";
}
constexpr uint32_t HexAt(const char* s, int pos, int digits) {
    uint32_t v = 0;
    for (int i = 0; i < digits; ++i) v = v << 4 | HexDigit(s[pos + i]);
    return v;
}
} // namespace GuidDetail

// A GUID from a literal "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", checked at compile time.
consteval TGUID GuidOf(const char (&s)[39]) {
    using GuidDetail::HexAt;
    if (s[0] != '{' || s[9] != '-' || s[14] != '-' || s[19] != '-' || s[24] != '-' || s[37] != '}')
        throw "bad GUID literal";
    TGUID g;
    g.D1 = HexAt(s, 1, 8);
    g.D2 = uint16_t(HexAt(s, 10, 4));
    g.D3 = uint16_t(HexAt(s, 15, 4));
    g.D4[0] = uint8_t(HexAt(s, 20, 2));
    g.D4[1] = uint8_t(HexAt(s, 22, 2));
    for (int i = 0; i < 6; ++i) g.D4[2 + i] = uint8_t(HexAt(s, 25 + 2 * i, 2));
    return g;
}
