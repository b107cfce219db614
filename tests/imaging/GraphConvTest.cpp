// Bitmap to BMP stream conversion: the stream layout, the fixed palettes and their level
// tables, the grey and mosaic mappings, the format choices and the refused inputs.
#include <gtest/gtest.h>

#include "imaging/GfxUtils.h"
#include "imaging/GraphConv.h"

namespace {

uint32_t Le32(const std::vector<uint8_t>& d, size_t at) {
    return uint32_t(d[at]) | (uint32_t(d[at + 1]) << 8) | (uint32_t(d[at + 2]) << 16) | (uint32_t(d[at + 3]) << 24);
}
uint16_t Le16(const std::vector<uint8_t>& d, size_t at) { return uint16_t(d[at] | (d[at + 1] << 8)); }

constexpr size_t PaletteAt = 54;
constexpr size_t RowsAt8 = 1078;

// Index written for a one-pixel image of Colour under Mapping.
int IndexOf(TColor colour, TColorMapping mapping) {
    TBitmap b(1, 1);
    b.SetPixel(0, 0, colour);
    std::vector<uint8_t> s = BitmapToDIBStream(b, pf8bit, mapping);
    return s[RowsAt8];
}

std::array<uint8_t, 4> Quad(const std::vector<uint8_t>& s, int i) {
    size_t at = PaletteAt + size_t(i) * 4;
    return {s[at], s[at + 1], s[at + 2], s[at + 3]};
}

} // namespace

TEST(GraphConvStream, OnePixelTo8BitsHasTheFullHeaderPaletteAndOneRow) {
    TBitmap b(1, 1);
    b.SetPixel(0, 0, RGBColor(10, 20, 30));
    std::vector<uint8_t> s = BitmapToDIBStream(b, pf8bit, cmHistogram);
    ASSERT_EQ(s.size(), 1082u);
    EXPECT_EQ(Le16(s, 0), 0x4D42);
    EXPECT_EQ(Le32(s, 2), 1082u);
    EXPECT_EQ(Le32(s, 6), 0u);
    EXPECT_EQ(Le32(s, 10), 1078u);
    EXPECT_EQ(Le32(s, 14), 40u);
    EXPECT_EQ(Le32(s, 18), 1u);
    EXPECT_EQ(Le32(s, 22), 1u);
    EXPECT_EQ(Le16(s, 26), 1);
    EXPECT_EQ(Le16(s, 28), 8);
    EXPECT_EQ(Le32(s, 30), 0u);
    EXPECT_EQ(Le32(s, 34), 4u);
    EXPECT_EQ(Le32(s, 46), 0u);
    EXPECT_EQ(Quad(s, 0), (std::array<uint8_t, 4>{30, 20, 10, 0}));
    EXPECT_EQ(Quad(s, 1), (std::array<uint8_t, 4>{128, 128, 128, 0}));
    EXPECT_EQ(s[1078], 0);
}

TEST(GraphConvStream, RowOffsetsAndSizesFollowTheTargetBitCount) {
    TBitmap b(13, 3);
    b.FillRect({0, 0, 13, 3}, clWhite);
    struct TCase {
        TPixelFormat Format;
        uint32_t Offset;
        uint32_t RowBytes;
    };
    for (TCase c : {TCase{pf1bit, 62, 4}, TCase{pf4bit, 118, 8}, TCase{pf8bit, 1078, 16}}) {
        std::vector<uint8_t> s = BitmapToDIBStream(b, c.Format, cmHistogram);
        EXPECT_EQ(Le32(s, 10), c.Offset);
        EXPECT_EQ(Le32(s, 34), c.RowBytes * 3);
        EXPECT_EQ(s.size(), c.Offset + c.RowBytes * 3);
        EXPECT_EQ(Le32(s, 2), s.size());
    }
}

TEST(GraphConvStream, ABitmapAlreadyInTheTargetFormatIsSavedAsItIs) {
    TBitmap b(5, 2, pf8bit);
    b.SetPixelIndex(3, 1, 200);
    EXPECT_EQ(BitmapToDIBStream(b, pf8bit, cmHistogram), b.SaveToBMP());
    EXPECT_EQ(BitmapToDIBStream(b, pf8bit, cmFixed666), b.SaveToBMP());

    // Grey output converts even an 8-bit bitmap, through 24 bits, to the grey ramp.
    std::vector<TRGBQuad> palette(256);
    palette[1] = {0, 0, 255, 0}; // red
    b.SetPalette(palette);
    b.SetPixelIndex(0, 0, 1);
    std::vector<uint8_t> grey = BitmapToDIBStream(b, pf8bit, cmGrayscale);
    EXPECT_EQ(Quad(grey, 77), (std::array<uint8_t, 4>{77, 77, 77, 0}));
    EXPECT_EQ(grey[RowsAt8 + 8], 76); // top row is the second row in memory
}

TEST(GraphConvStream, A24BitTargetIsAPlain24BitCopy) {
    TBitmap b(3, 2, pf4bit);
    b.SetPixelIndex(0, 0, 9);  // standard palette entry 9: red
    b.SetPixelIndex(2, 1, 12); // blue
    for (TColorMapping m : {cmHistogram, cmMedianCut, cmGrayscale}) {
        std::vector<uint8_t> s = BitmapToDIBStream(b, pf24bit, m);
        ASSERT_EQ(s.size(), 54u + 2 * 12);
        EXPECT_EQ(Le16(s, 28), 24);
        EXPECT_EQ(Le32(s, 10), 54u);
        TBitmap back;
        back.LoadFromBMP(s);
        EXPECT_EQ(back.Pixel(0, 0), clRed);
        EXPECT_EQ(back.Pixel(2, 1), clBlue);
        EXPECT_EQ(back.Pixel(1, 0), clBlack);
    }
}

TEST(GraphConvStream, AColourCountFromTheBitmapsOwnFileIsNotCarriedOver) {
    // A 24-bit file that claims 5 used colours: a reader of the 8-bit output would otherwise
    // take only 5 palette entries.
    TBitmap b(2, 1);
    b.SetPixel(0, 0, clRed);
    std::vector<uint8_t> file = b.SaveToBMP();
    file[46] = 5;
    file[50] = 3;
    TBitmap loaded;
    loaded.LoadFromBMP(file);
    std::vector<uint8_t> s = BitmapToDIBStream(loaded, pf8bit, cmHistogram);
    EXPECT_EQ(Le32(s, 46), 0u);
    EXPECT_EQ(Le32(s, 50), 3u); // colours important: unchanged by the histogram method
    s = BitmapToDIBStream(loaded, pf4bit, cmHistogram);
    EXPECT_EQ(Le32(s, 46), 0u);
}

TEST(GraphConvStream, ColourCountsChooseTheBitCount) {
    TBitmap b(2, 2);
    EXPECT_EQ(Le16(BitmapToDIBStreamByColors(b, 2), 28), 1);
    EXPECT_EQ(Le16(BitmapToDIBStreamByColors(b, 16), 28), 4);
    EXPECT_EQ(Le16(BitmapToDIBStreamByColors(b, 17), 28), 8);
    EXPECT_EQ(Le16(BitmapToDIBStreamByColors(b, 256), 28), 8);
    EXPECT_EQ(Le16(BitmapToDIBStreamByColors(b, 257), 28), 24);
    EXPECT_EQ(DefaultColorMapping, cmHistogram);
}

TEST(GraphConvStream, EmptyBitmapsAndOtherFormatsAreRefused) {
    TBitmap empty;
    try {
        BitmapToDIBStream(empty, pf8bit, cmHistogram);
        FAIL();
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Bitmap image is not valid");
    }
    TBitmap b(2, 2);
    EXPECT_THROW(BitmapToDIBStream(b, pf16bit, cmHistogram), EAbort);
    EXPECT_THROW(BitmapToDIBStream(b, pfDevice, cmHistogram), EAbort);
    EXPECT_THROW(BitmapToDIBStream(b, pf8bit, TColorMapping(6)), EAbort);
}

TEST(GraphConvStream, SizesBeyondA32BitFileAreRefusedBeforeAllocating) {
    // A one-bit bitmap of 89 MB whose 24-bit form needs 2^31 bytes: once a negative int size
    // and a crash. Every road that makes a BMP of 24 bits refuses it; the 4-bit one still fits.
    TBitmap huge(32768, 21846, pf1bit);
    for (TPixelFormat target : {pf24bit, pf8bit}) {
        try {
            BitmapToDIBStream(huge, target, cmGrayscale);
            FAIL() << "target " << int(target);
        } catch (const EInvalidGraphic& e) {
            EXPECT_STREQ(e.what(), "Bitmap image is too large");
        }
    }
    int64_t headerSize = 0, imageSize = 0;
    ComputeDIBSizes(huge, headerSize, imageSize, pf4bit);
    EXPECT_EQ(imageSize, int64_t(16384) * 21846);
    EXPECT_EQ(headerSize, 40 + 64);

    // The header writers check their room instead of writing past a block.
    TMemoryBlock small = AllocZeroedBlock(20);
    EXPECT_THROW(WriteInfoHeader(small, 14, TBitmapInfoHeader{}), EInvalidGraphic);
    EXPECT_THROW(SetQuad(small, 5, 1, 2, 3), EInvalidGraphic);
    TMemoryBlock none;
    EXPECT_THROW(WriteFileHeader(none, 0, 0), EInvalidGraphic);
}

TEST(GraphConvFixed, NearestLevelsTieToTheLowerLevel) {
    struct TTable {
        const std::array<uint8_t, 256>& Table;
        std::vector<int> FirstValues;
    };
    const TTable tables[] = {{Nearest4(), {0, 43, 128, 213}},
                             {Nearest6(), {0, 26, 77, 128, 179, 230}},
                             {Nearest7(), {0, 22, 65, 107, 150, 192, 235}},
                             {Nearest8(), {0, 19, 55, 92, 128, 165, 201, 238}}};
    for (const TTable& t : tables) {
        for (size_t level = 0; level < t.FirstValues.size(); ++level) {
            int first = t.FirstValues[level];
            EXPECT_EQ(t.Table[size_t(first)], level);
            if (first > 0) {
                EXPECT_EQ(t.Table[size_t(first) - 1], level - 1);
            }
        }
        EXPECT_EQ(t.Table[255], t.FirstValues.size() - 1);
    }
    for (int v : {64, 149, 234})
        EXPECT_EQ(NearestLevel(uint8_t(v), Levels7), NearestLevel(uint8_t(v - 1), Levels7)) << v;
    for (int v : {18, 91, 164, 237})
        EXPECT_EQ(NearestLevel(uint8_t(v), Levels8), NearestLevel(uint8_t(v - 1), Levels8)) << v;
}

TEST(GraphConvFixed, Fixed784And666IndicesAndPalettes) {
    EXPECT_EQ(IndexOf(clWhite, cmFixed784), 223);
    EXPECT_EQ(IndexOf(clWhite, cmFixed666), 215);
    EXPECT_EQ(IndexOf(RGBColor(128, 128, 128), cmFixed784), 114);
    EXPECT_EQ(IndexOf(RGBColor(128, 128, 128), cmFixed666), 129);
    EXPECT_EQ(IndexOf(RGBColor(255, 0, 0), cmFixed784), 192);
    EXPECT_EQ(IndexOf(RGBColor(255, 0, 0), cmFixed666), 180);
    EXPECT_EQ(IndexOf(clBlack, cmFixed784), 0);
    EXPECT_EQ(IndexOf(clBlack, cmFixed666), 0);
    EXPECT_EQ(IndexOf(RGBColor(0, 18, 0), cmFixed784), 0);  // green 18: level 0
    EXPECT_EQ(IndexOf(RGBColor(64, 0, 0), cmFixed784), 32); // red 64: level 1 (43)

    TBitmap b(1, 1);
    std::vector<uint8_t> s784 = BitmapToDIBStream(b, pf8bit, cmFixed784);
    EXPECT_EQ(Le32(s784, 50), 224u);
    EXPECT_EQ(Quad(s784, 32 * 3 + 4 * 4 + 2), (std::array<uint8_t, 4>{170, 146, 128, 0}));
    EXPECT_EQ(Quad(s784, 223), (std::array<uint8_t, 4>{255, 255, 255, 0}));
    EXPECT_EQ(Quad(s784, 224), (std::array<uint8_t, 4>{128, 128, 128, 128}));
    EXPECT_EQ(Quad(s784, 255), (std::array<uint8_t, 4>{128, 128, 128, 128}));
    std::vector<uint8_t> s666 = BitmapToDIBStream(b, pf8bit, cmFixed666);
    EXPECT_EQ(Le32(s666, 50), 216u);
    EXPECT_EQ(Quad(s666, 36 * 1 + 6 * 2 + 3), (std::array<uint8_t, 4>{153, 102, 51, 0}));
    EXPECT_EQ(Quad(s666, 216), (std::array<uint8_t, 4>{128, 128, 128, 128}));
}

TEST(GraphConvFixed, GreyAndMosaicMappings) {
    EXPECT_EQ(IndexOf(clWhite, cmGrayscale), 255);
    EXPECT_EQ(IndexOf(RGBColor(255, 0, 0), cmGrayscale), 76);
    EXPECT_EQ(IndexOf(RGBColor(200, 100, 50), cmGrayscale), 124);

    TBitmap b(4, 2);
    const TColor c = RGBColor(200, 100, 40);
    b.FillRect({0, 0, 4, 2}, c);
    std::vector<uint8_t> s = BitmapToDIBStream(b, pf8bit, cmChannelMosaic);
    const uint8_t* bottom = s.data() + RowsAt8;
    const uint8_t* above = bottom + 4;
    EXPECT_EQ(bottom[0], 200 / 4);
    EXPECT_EQ(bottom[1], 64 + 100 / 4);
    EXPECT_EQ(bottom[2], 128 + 40 / 4);
    EXPECT_EQ(bottom[3], 200 / 4);
    EXPECT_EQ(above[0], 64 + 100 / 4);
    EXPECT_EQ(above[1], 128 + 40 / 4);
    EXPECT_EQ(above[2], 200 / 4);
    EXPECT_EQ(Quad(s, 10), (std::array<uint8_t, 4>{0, 0, 40, 0}));
    EXPECT_EQ(Quad(s, 64 + 10), (std::array<uint8_t, 4>{0, 40, 0, 0}));
    EXPECT_EQ(Quad(s, 128 + 10), (std::array<uint8_t, 4>{40, 0, 0, 0}));
    EXPECT_EQ(Quad(s, 200), (std::array<uint8_t, 4>{0, 0, 0, 0}));
}
