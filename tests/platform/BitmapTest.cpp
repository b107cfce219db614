// The raster layer: BMP files written and read back, hostile BMP data refused without harm,
// clipping of fills and copies, and text drawn in exactly the font colour.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "TempDir.h"
#include "platform/Bitmap.h"

namespace {

uint32_t Le32(const std::vector<uint8_t>& d, size_t at) {
    return uint32_t(d[at]) | (uint32_t(d[at + 1]) << 8) | (uint32_t(d[at + 2]) << 16) | (uint32_t(d[at + 3]) << 24);
}
void PutLe32(std::vector<uint8_t>& d, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) d[at + i] = uint8_t(v >> (8 * i));
}

TBitmap RandomBitmap(int w, int h, TPixelFormat format, std::mt19937& rng) {
    TBitmap b(w, h, format);
    if (format != pf24bit) {
        std::vector<TRGBQuad> palette(b.Palette().size());
        for (auto& q : palette) q = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 0};
        b.SetPalette(palette);
    }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (format == pf24bit)
                b.SetPixel(x, y, rng() & 0xFFFFFF);
            else
                b.SetPixelIndex(x, y, int(rng() % b.Palette().size()));
        }
    return b;
}

void ExpectSamePixels(const TBitmap& a, const TBitmap& b) {
    ASSERT_EQ(a.Width(), b.Width());
    ASSERT_EQ(a.Height(), b.Height());
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x) ASSERT_EQ(a.Pixel(x, y), b.Pixel(x, y)) << x << "," << y;
}

std::vector<uint8_t> SmallBmp() {
    TBitmap b(5, 3, pf8bit);
    b.SetPixelIndex(1, 1, 7);
    return b.SaveToBMP();
}

} // namespace

class BitmapFileTest : public TempDirTest {};

TEST_F(BitmapFileTest, SavedFilesHaveTheBmpLayoutAndReadBackUnchanged) {
    std::mt19937 rng(7);
    for (TPixelFormat format : {pf1bit, pf4bit, pf8bit, pf24bit}) {
        for (int w : {1, 3, 7, 8, 9, 33}) {
            TBitmap original = RandomBitmap(w, 5, format, rng);
            std::vector<uint8_t> bmp = original.SaveToBMP();
            int bits = PixelFormatBits(format);
            size_t palette = bits <= 8 ? (size_t(4) << bits) : 0;
            size_t rowBytes = ((size_t(w) * size_t(bits) + 31) / 32) * 4;
            ASSERT_EQ(bmp.size(), 54 + palette + rowBytes * 5);
            EXPECT_EQ(bmp[0], 'B');
            EXPECT_EQ(bmp[1], 'M');
            EXPECT_EQ(Le32(bmp, 2), bmp.size());
            EXPECT_EQ(Le32(bmp, 10), 54 + palette);
            EXPECT_EQ(Le32(bmp, 14), 40u);
            EXPECT_EQ(Le32(bmp, 18), uint32_t(w));
            EXPECT_EQ(Le32(bmp, 22), 5u);
            EXPECT_EQ(bmp[28], bits);
            EXPECT_EQ(Le32(bmp, 34), rowBytes * 5);

            Temp.WriteBytes(Temp.File("b.bmp"), bmp);
            TBitmap loaded;
            loaded.LoadFromBMP(Temp.ReadBytes(Temp.File("b.bmp")));
            EXPECT_EQ(loaded.PixelFormat(), format);
            ExpectSamePixels(original, loaded);
            EXPECT_EQ(loaded.Palette(), original.Palette());
        }
    }
}

TEST(BitmapLayout, RowsAreBottomUpBgrAndSubBytePixelsHighFirst) {
    TBitmap rgb(2, 2);
    rgb.SetPixel(0, 0, RGBColor(1, 2, 3));    // top-left
    rgb.SetPixel(1, 1, RGBColor(10, 20, 30)); // bottom-right
    std::span<const uint8_t> bits = rgb.Bits();
    ASSERT_EQ(bits.size(), 16u); // (3 x 2 + 3) & ~3 = 8 bytes per row
    EXPECT_EQ(bits[3], 30);      // bottom row is first in memory: blue, green, red
    EXPECT_EQ(bits[4], 20);
    EXPECT_EQ(bits[5], 10);
    EXPECT_EQ(bits[8], 3);
    EXPECT_EQ(bits[9], 2);
    EXPECT_EQ(bits[10], 1);

    TBitmap mono(10, 1, pf1bit);
    mono.SetPixelIndex(0, 0, 1);
    mono.SetPixelIndex(9, 0, 1);
    EXPECT_EQ(mono.Bits()[0], 0x80);
    EXPECT_EQ(mono.Bits()[1], 0x40);

    TBitmap nibbles(3, 1, pf4bit);
    nibbles.SetPixelIndex(0, 0, 0xA);
    nibbles.SetPixelIndex(1, 0, 0x5);
    nibbles.SetPixelIndex(2, 0, 0xC);
    EXPECT_EQ(nibbles.Bits()[0], 0xA5);
    EXPECT_EQ(nibbles.Bits()[1], 0xC0);
}

TEST(BitmapLoad, ReadsTopDownFilesShortPalettesAnd32Bits) {
    TBitmap src(3, 2);
    src.SetPixel(0, 0, 0x112233);
    src.SetPixel(2, 1, 0x445566);
    std::vector<uint8_t> bmp = src.SaveToBMP();
    // Same picture stored top-down: negative height, rows swapped.
    std::vector<uint8_t> topDown = bmp;
    PutLe32(topDown, 22, uint32_t(-2));
    std::copy(bmp.begin() + 54, bmp.begin() + 66, topDown.begin() + 66);
    std::copy(bmp.begin() + 66, bmp.begin() + 78, topDown.begin() + 54);
    TBitmap loaded;
    loaded.LoadFromBMP(topDown);
    ExpectSamePixels(src, loaded);

    // 8 bits with only 2 palette entries (ClrUsed 2).
    std::vector<uint8_t> shortPal(54 + 8 + 4, 0);
    shortPal[0] = 'B';
    shortPal[1] = 'M';
    PutLe32(shortPal, 10, 62);
    PutLe32(shortPal, 14, 40);
    PutLe32(shortPal, 18, 2);
    PutLe32(shortPal, 22, 1);
    shortPal[26] = 1;
    shortPal[28] = 8;
    PutLe32(shortPal, 46, 2);
    shortPal[54 + 4 + 2] = 255; // entry 1 red
    shortPal[62] = 0;
    shortPal[63] = 1;
    loaded.LoadFromBMP(shortPal);
    EXPECT_EQ(loaded.PixelFormat(), pf8bit);
    EXPECT_EQ(loaded.Pixel(0, 0), clBlack);
    EXPECT_EQ(loaded.Pixel(1, 0), clRed);

    std::vector<uint8_t> b32(54 + 8, 0);
    b32[0] = 'B';
    b32[1] = 'M';
    PutLe32(b32, 10, 54);
    PutLe32(b32, 14, 40);
    PutLe32(b32, 18, 2);
    PutLe32(b32, 22, 1);
    b32[26] = 1;
    b32[28] = 32;
    b32[54] = 0x30;
    b32[55] = 0x20;
    b32[56] = 0x10;
    b32[58] = 0xFF;
    loaded.LoadFromBMP(b32);
    EXPECT_EQ(loaded.PixelFormat(), pf24bit);
    EXPECT_EQ(loaded.Pixel(0, 0), RGBColor(0x10, 0x20, 0x30));
    EXPECT_EQ(loaded.Pixel(1, 0), RGBColor(0, 0, 0xFF));
}

TEST(BitmapLoad, ReadsTheOld12ByteHeaderWithThreeBytePaletteEntries) {
    std::vector<uint8_t> core = {'B',  'M', 0, 0,    0,    0,    0, 0, 0, 0, 32, 0, 0, 0, // file header
                                 12,   0,   0, 0,    3,    0,    1, 0, 1, 0, 1,  0,       // 3 x 1, 1 bit
                                 0,    0,   0, 0x10, 0x20, 0x30,                          // black, (30,20,10)
                                 0x40, 0,   0, 0};                                        // 0 1 0
    TBitmap b;
    b.LoadFromBMP(core);
    EXPECT_EQ(b.PixelFormat(), pf1bit);
    EXPECT_EQ(b.Width(), 3);
    EXPECT_EQ(b.Pixel(0, 0), clBlack);
    EXPECT_EQ(b.Pixel(1, 0), RGBColor(0x30, 0x20, 0x10));
    EXPECT_EQ(b.Pixel(2, 0), clBlack);
}

TEST(BitmapLoad, RefusesHostileHeadersAndKeepsThePreviousImage) {
    const std::vector<uint8_t> good = SmallBmp();
    struct TCase {
        const char* Name;
        size_t At;
        uint32_t Value;
    };
    const TCase cases[] = {
        {"signature", 0, 0x4D43},
        {"header size huge", 14, 0x7FFFFFFF},
        {"header size 20", 14, 20},
        {"width 0", 18, 0},
        {"width negative", 18, 0xFFFFFFFF},
        {"width huge", 18, 0x7FFFFFFF},
        {"height huge", 22, 0x40000000},
        {"height min", 22, 0x80000000},
        {"bit count 16", 28, 16},
        {"bit count 0", 28, 0},
        {"compression RLE8", 30, 1},
        {"offset past end", 10, 0xFFFFFF00},
        {"rows cut", 10, uint32_t(good.size() - 4)},
        {"width beyond data", 18, 1000},
    };
    for (const TCase& c : cases) {
        std::vector<uint8_t> bad = good;
        if (c.At == 0 || c.At == 28) {
            bad[c.At] = uint8_t(c.Value);
            bad[c.At + 1] = uint8_t(c.Value >> 8);
        } else {
            PutLe32(bad, c.At, c.Value);
        }
        TBitmap target(2, 2);
        target.SetPixel(0, 0, 0x123456);
        EXPECT_THROW(target.LoadFromBMP(bad), EInvalidGraphic) << c.Name;
        EXPECT_EQ(target.Width(), 2) << c.Name;
        EXPECT_EQ(target.Pixel(0, 0), 0x123456u) << c.Name;
    }
    for (size_t cut = 0; cut < good.size(); ++cut) {
        TBitmap target;
        EXPECT_THROW(target.LoadFromBMP(std::span(good).first(cut)), EInvalidGraphic) << cut;
    }
}

TEST(BitmapLoad, RandomlyDamagedFilesLoadOrFailCleanly) {
    std::mt19937 rng(11);
    std::vector<std::vector<uint8_t>> seeds;
    for (TPixelFormat f : {pf1bit, pf4bit, pf8bit, pf24bit}) seeds.push_back(RandomBitmap(6, 4, f, rng).SaveToBMP());
    for (int round = 0; round < 4000; ++round) {
        std::vector<uint8_t> data = seeds[size_t(round) % seeds.size()];
        int edits = 1 + int(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            size_t at = rng() % 60; // the headers and the start of the palette
            data[at] = uint8_t(rng());
        }
        if (rng() % 4 == 0) data.resize(rng() % data.size());
        TBitmap b;
        try {
            b.LoadFromBMP(data);
            ASSERT_GT(b.Width(), 0);
            ASSERT_GT(b.Height(), 0);
            (void)b.Pixel(b.Width() - 1, b.Height() - 1);
        } catch (const EInvalidGraphic&) {}
    }
}

TEST(BitmapDrawing, FillAndCopyAreClippedAtTheEdges) {
    TBitmap b(4, 3);
    b.FillRect({-5, -5, 2, 100}, clRed);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(b.Pixel(x, y), x < 2 ? clRed : clBlack) << x << "," << y;

    TBitmap src(3, 3);
    src.FillRect({0, 0, 3, 3}, clBlue);
    src.SetPixel(0, 0, clWhite);
    TBitmap dst(4, 4);
    dst.Draw(2, -1, src);               // only columns 2..3 and rows 0..1 receive pixels
    EXPECT_EQ(dst.Pixel(2, 0), clBlue); // src (0, 1)
    EXPECT_EQ(dst.Pixel(3, 1), clBlue);
    EXPECT_EQ(dst.Pixel(2, 2), clBlack);
    EXPECT_EQ(dst.Pixel(1, 0), clBlack);
    dst.Draw(-1, -1, src);
    EXPECT_EQ(dst.Pixel(0, 0), clBlue);

    TBitmap big(4, 2);
    big.CopyRect({0, 0, 4, 2}, src, {0, 0, 2, 1}); // stretched twice in both directions
    EXPECT_EQ(big.Pixel(0, 0), clWhite);
    EXPECT_EQ(big.Pixel(1, 1), clWhite);
    EXPECT_EQ(big.Pixel(2, 0), clBlue);
    EXPECT_EQ(big.Pixel(3, 1), clBlue);

    TBitmap self(3, 1);
    self.SetPixel(0, 0, clRed);
    self.CopyRect({1, 0, 3, 1}, self, {0, 0, 2, 1});
    EXPECT_EQ(self.Pixel(1, 0), clRed);
    EXPECT_EQ(self.Pixel(2, 0), clBlack);
}

TEST(BitmapDrawing, ColoursIgnoreTheFlagByteAndPalettesTakeTheNearestEntry) {
    TBitmap b(1, 1);
    b.FillRect({0, 0, 1, 1}, 0x02FF8040);
    EXPECT_EQ(b.Pixel(0, 0), 0x00FF8040u);

    TBitmap mono(2, 1, pf1bit);
    mono.SetPixel(0, 0, RGBColor(200, 200, 200));
    mono.SetPixel(1, 0, RGBColor(20, 20, 90));
    EXPECT_EQ(mono.PixelIndex(0, 0), 1);
    EXPECT_EQ(mono.PixelIndex(1, 0), 0);
    EXPECT_EQ(mono.TransparentColor(), clWhite | PaletteRelativeFlag);
}

TEST(BitmapDrawing, SizeChangesKeepTheTopLeftPixelsAndFormatChangesKeepColours) {
    TBitmap b(2, 2);
    b.SetPixel(0, 0, clRed);
    b.SetPixel(1, 1, clBlue);
    b.SetSize(3, 4);
    EXPECT_EQ(b.Pixel(0, 0), clRed);
    EXPECT_EQ(b.Pixel(1, 1), clBlue);
    EXPECT_EQ(b.Pixel(2, 3), clBlack);
    EXPECT_EQ(b.TransparentColor(), clBlack | PaletteRelativeFlag);
    b.SetPixelFormat(pf4bit);
    EXPECT_EQ(b.Pixel(0, 0), clRed);
    EXPECT_EQ(b.Pixel(1, 1), clBlue);
    b.SetPixelFormat(pf24bit);
    EXPECT_EQ(b.Pixel(1, 1), clBlue);
    EXPECT_THROW(b.SetPixelFormat(pf16bit), EInvalidGraphic);
}

TEST(BitmapText, TextPixelsAreExactlyTheFontOrTheBrushColour) {
    TBitmap b(150, 25);
    b.BrushColor = clBlack;
    b.FillRect({0, 0, 150, 25});
    b.BrushColor = 0x00123456;
    b.FontColor = 0x02FEDCBA; // the flag byte must not reach the pixels
    b.TextOut(5, 5, "Ostra-based Web Counter");
    TSize cell = b.TextExtent("Ostra-based Web Counter");
    ASSERT_GT(cell.Width, 50);
    ASSERT_GT(cell.Height, 8);
    int ink = 0;
    for (int y = 0; y < 25; ++y)
        for (int x = 0; x < 150; ++x) {
            TColor c = b.Pixel(x, y);
            bool inCell = x >= 5 && y >= 5 && x < 5 + cell.Width && y < 5 + cell.Height;
            if (!inCell) {
                ASSERT_EQ(c, clBlack) << x << "," << y;
                continue;
            }
            ASSERT_TRUE(c == 0x00123456u || c == 0x00FEDCBAu) << std::hex << c;
            ink += c == 0x00FEDCBAu;
        }
    EXPECT_GT(ink, 100);
}

TEST(BitmapText, TextOnAPalettedBitmapUsesTheNearestEntriesOnlyAndIsClipped) {
    TBitmap b(50, 20, pf4bit);
    b.BrushColor = clYellow;
    b.FontColor = clBlack;
    b.TextOut(2, 2, "NO!");
    b.TextOut(45, 15, "NO!"); // runs off the right and bottom edges
    std::set<TColor> colours;
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 50; ++x) colours.insert(b.Pixel(x, y));
    EXPECT_TRUE(colours.count(clYellow));
    EXPECT_TRUE(colours.count(clBlack));
    EXPECT_EQ(colours.size(), 2u);
}
