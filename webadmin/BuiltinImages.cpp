// The built-in logos and default skin, drawn with the raster layer.
#include "webadmin/BuiltinImages.h"

#include <algorithm>
#include <string_view>

namespace {

const TColor Navy = RGBColor(0x00, 0x33, 0x99);
const TColor Sky = RGBColor(0xB9, 0xD1, 0xEA);
const TColor Paper = RGBColor(0xEE, 0xEE, 0xEE);

// Vertical blend from Top to Bottom colour over the whole bitmap.
void FillGradient(TBitmap& bitmap, TColor top, TColor bottom) {
    int height = std::max(1, bitmap.Height() - 1);
    for (int y = 0; y < bitmap.Height(); ++y) {
        auto mix = [&](uint8_t a, uint8_t b) { return uint8_t(a + (int(b) - int(a)) * y / height); };
        TColor colour = RGBColor(mix(GetRValue(top), GetRValue(bottom)), mix(GetGValue(top), GetGValue(bottom)),
                                 mix(GetBValue(top), GetBValue(bottom)));
        bitmap.FillRect({0, y, bitmap.Width(), y + 1}, colour);
    }
}

void Frame(TBitmap& bitmap, TColor colour) {
    int w = bitmap.Width(), h = bitmap.Height();
    bitmap.FillRect({0, 0, w, 1}, colour);
    bitmap.FillRect({0, h - 1, w, h}, colour);
    bitmap.FillRect({0, 0, 1, h}, colour);
    bitmap.FillRect({w - 1, 0, w, h}, colour);
}

void CentredText(TBitmap& bitmap, int y, std::string_view text, TColor ink, TColor cell, int points) {
    bitmap.FontSize = points;
    bitmap.FontColor = ink;
    bitmap.BrushColor = cell;
    TSize size = bitmap.TextExtent(text);
    bitmap.TextOut((bitmap.Width() - size.Width) / 2, y, text);
}

TBitmap SmallLogo(TColor top, TColor bottom, TColor ink, std::string_view line1, std::string_view line2) {
    TBitmap logo(88, 31);
    FillGradient(logo, top, bottom);
    Frame(logo, Navy);
    // Text cells take the brush colour: draw on a band of the middle colour.
    TColor band = logo.Pixel(44, 15);
    logo.FillRect({2, 2, 86, 29}, band);
    CentredText(logo, 2, line1, ink, band, 8);
    CentredText(logo, 16, line2, ink, band, 7);
    return logo;
}

// Seven rows of five pixels per digit, doubled in height to 14.
const char* const DigitPatterns[10][7] = {
    {".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."},
    {"..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."},
    {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"},
    {"#####", "...#.", "..#..", "...#.", "....#", "#...#", ".###."},
    {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."},
    {"#####", "#....", "####.", "....#", "....#", "#...#", ".###."},
    {"..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."},
    {"#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."},
    {".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."},
    {".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."},
};

} // namespace

std::vector<TBitmap> MakeLogoBitmaps() {
    std::vector<TBitmap> logos;

    TBitmap big(207, 64);
    FillGradient(big, Sky, Paper);
    Frame(big, Navy);
    big.FillRect({4, 4, 203, 60}, Paper);
    CentredText(big, 8, "Kestrow", Navy, Paper, 20);
    CentredText(big, 40, "Web Access Statistics", Navy, Paper, 9);
    big.SetPixelFormat(pf8bit);
    logos.push_back(std::move(big));

    TBitmap first = SmallLogo(Sky, Paper, Navy, "Kestrow", "statistics");
    first.SetPixelFormat(pf8bit);
    logos.push_back(std::move(first));

    logos.push_back(SmallLogo(Navy, Sky, clWhite, "Kestrow", "web counter"));

    TBitmap third = SmallLogo(Paper, Sky, Navy, "counted by", "Kestrow");
    third.SetPixelFormat(pf8bit);
    logos.push_back(std::move(third));

    TBitmap fourth = SmallLogo(clWhite, clWhite, Navy, "Kestrow", "powered");
    fourth.SetPixelFormat(pf8bit);
    // A palette of 47 colours: a ramp from white to navy; the pixels take their nearest entry.
    std::vector<TRGBQuad> palette;
    for (int i = 0; i < 47; ++i) {
        auto mix = [&](uint8_t a, uint8_t b) { return uint8_t(a + (int(b) - int(a)) * i / 46); };
        palette.push_back(
            ColorToQuad(RGBColor(mix(255, GetRValue(Navy)), mix(255, GetGValue(Navy)), mix(255, GetBValue(Navy)))));
    }
    TBitmap reduced(fourth.Width(), fourth.Height(), pf8bit);
    reduced.SetPalette(palette);
    for (int y = 0; y < fourth.Height(); ++y)
        for (int x = 0; x < fourth.Width(); ++x) reduced.SetPixel(x, y, fourth.Pixel(x, y));
    logos.push_back(std::move(reduced));
    return logos;
}

std::vector<TBitmap> MakeDefaultSkinBitmaps() {
    std::vector<TBitmap> skin;
    TBitmap background(81, 49);
    FillGradient(background, Sky, Paper);
    Frame(background, Navy);
    skin.push_back(std::move(background));
    for (const auto& pattern : DigitPatterns) {
        TBitmap digit(5, 14);
        digit.FillRect({0, 0, 5, 14}, Paper);
        for (int row = 0; row < 7; ++row)
            for (int x = 0; x < 5; ++x)
                if (pattern[row][x] == '#') digit.FillRect({x, row * 2, x + 1, row * 2 + 2}, Navy);
        skin.push_back(std::move(digit));
    }
    return skin;
}
