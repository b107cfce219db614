// Builds skin files for the tests byte by byte from the published layout: prefix, layout, the
// eleven sizes (background, digits 1-9, digit 0), the images (background, digits 0-9), and the
// optional information block and colour.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "counterdb/UCounter.h"
#include "platform/Bitmap.h"

// Digit D is a solid block of DigitColour(D), 5 + D % 3 pixels wide, with a bottom-left pixel
// of DigitCorner (the colour the skin takes for its automatic back colour).
inline TColor DigitColour(int digit) { return RGBColor(uint8_t(20 * digit + 10), uint8_t(200 - 15 * digit), 77); }
inline constexpr TColor DigitCorner = RGBColor(0x12, 0x34, 0x56);
inline int DigitWidth(int digit) { return 5 + digit % 3; }
inline constexpr TColor BackgroundColour = RGBColor(0xC0, 0xD0, 0xE0);

inline std::vector<uint8_t> DigitBmp(int digit, int height = 14) {
    TBitmap bitmap(DigitWidth(digit), height);
    bitmap.FillRect({0, 0, bitmap.Width(), height}, DigitColour(digit));
    bitmap.SetPixel(0, height - 1, DigitCorner);
    return bitmap.SaveToBMP();
}

inline std::vector<uint8_t> BackgroundBmp(int width = 81, int height = 49) {
    TBitmap bitmap(width, height);
    bitmap.FillRect({0, 0, width, height}, BackgroundColour);
    return bitmap.SaveToBMP();
}

struct TSkinFile {
    TSkinLayout Layout;
    // Background, then digits 0 to 9.
    std::array<std::vector<uint8_t>, SkinImageCount> Images;
    std::optional<std::vector<uint8_t>> Info;
    std::optional<uint32_t> Colour;
    // Sizes as written, in file order (background, digits 1-9, digit 0); the true sizes when unset.
    std::optional<std::array<int32_t, SkinImageCount>> Sizes;

    TSkinFile() {
        Images[0] = BackgroundBmp();
        for (int d = 0; d < 10; ++d) Images[size_t(1 + d)] = DigitBmp(d);
    }

    std::vector<uint8_t> Bytes() const {
        std::vector<uint8_t> out(259, 0xAB);
        auto layout = Layout.Bytes();
        out.insert(out.end(), layout.begin(), layout.end());
        std::array<int32_t, SkinImageCount> sizes{};
        sizes[0] = int32_t(Images[0].size());
        for (int d = 1; d <= 9; ++d) sizes[size_t(d)] = int32_t(Images[size_t(1 + d)].size());
        sizes[10] = int32_t(Images[1].size());
        if (Sizes) sizes = *Sizes;
        for (int32_t size : sizes) PutInt32(out, uint32_t(size));
        for (const auto& image : Images) out.insert(out.end(), image.begin(), image.end());
        if (Info) out.insert(out.end(), Info->begin(), Info->end());
        if (Colour) PutInt32(out, *Colour);
        return out;
    }

    static void PutInt32(std::vector<uint8_t>& out, uint32_t value) {
        for (int i = 0; i < 4; ++i) out.push_back(uint8_t(value >> (8 * i)));
    }
};

inline std::vector<uint8_t> InfoBlock(std::string_view url, std::string_view author, std::string_view name) {
    TSkinInfo info;
    info.SetURL(url);
    info.SetAuthor(author);
    info.SetName(name);
    return std::vector<uint8_t>(info.Bytes.begin(), info.Bytes.end());
}
