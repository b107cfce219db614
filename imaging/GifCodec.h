// What the GIF model, writer, reader and LZW coder share inside the image codec: the message
// texts, the error routine and a bounds-checked reader over a byte buffer. Not public.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Message texts, byte for byte.
inline constexpr std::string_view SGIFSizeChange = "Cannot change the Size of a GIF image";
inline constexpr std::string_view SGIFColorCount = "Wrong number of colors; must be a power of 2";
inline constexpr std::string_view SGIFNoData = "No GIF Data to write";
inline constexpr std::string_view SGIFEncodeError = "GIF image encoding error";
inline constexpr std::string_view SGIFUnknownVersion = "Unknown GIF version";
// The label in two upper-case hexadecimal digits.
inline constexpr std::string_view SGIFUnknownExtension = "Unrecognized extension block: %.2X";
inline constexpr std::string_view SGIFCodeSizeError = "GIF code size not in range 2 to 9";
inline constexpr std::string_view SGIFCorruptData = "GIF encoded data is corrupt";
inline constexpr std::string_view SStreamReadError = "Stream read error";
inline constexpr std::string_view SAssignError = "Cannot assign a %s to a %s";
// Our own text for pictures too large to hold in memory as a bitmap.
inline constexpr std::string_view SGIFTooLarge = "GIF image too large";

// Raises EInvalidGraphicOperation with Message.
[[noreturn]] void RaiseGIFError(std::string_view Message);
// Raises the framework's read error (EReadError) "Stream read error".
[[noreturn]] void RaiseReadError();

// Sequential reader over bytes; reading past the end raises the read error.
class TByteReader {
public:
    explicit TByteReader(std::span<const uint8_t> data) : Data(data) {}

    bool AtEnd() const { return Pos >= Data.size(); }
    size_t Remaining() const { return Data.size() - Pos; }
    size_t Position() const { return Pos; }

    uint8_t Byte() {
        if (AtEnd()) RaiseReadError();
        return Data[Pos++];
    }
    uint16_t Word() {
        uint16_t low = Byte();
        return uint16_t(low | (Byte() << 8));
    }
    uint32_t DWord() {
        uint32_t low = Word();
        return low | (uint32_t(Word()) << 16);
    }
    std::span<const uint8_t> Bytes(size_t n) {
        if (n > Remaining()) RaiseReadError();
        auto part = Data.subspan(Pos, n);
        Pos += n;
        return part;
    }
    void Skip(size_t n) { Bytes(n); }

private:
    std::span<const uint8_t> Data;
    size_t Pos = 0;
};
