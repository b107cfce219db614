// Median-cut colour reduction: the mean colours of the boxes, the darkness rule, the split at
// the pixel median, the box count, and the codec's own sort order for equal keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "imaging/GraphConv.h"
#include "imaging/MedianCut.h"

namespace {

std::array<uint8_t, 4> Quad(const std::vector<uint8_t>& s, int i) {
    size_t at = 54 + size_t(i) * 4;
    return {s[at], s[at + 1], s[at + 2], s[at + 3]};
}

uint32_t ColoursImportant(const std::vector<uint8_t>& s) {
    return uint32_t(s[50]) | (uint32_t(s[51]) << 8) | (uint32_t(s[52]) << 16) | (uint32_t(s[53]) << 24);
}

using TQuad = std::array<uint8_t, 4>;

} // namespace

TEST(MedianCut, BlackAndWhiteGiveExactlyThoseTwoColours) {
    TBitmap b(4, 2);
    b.FillRect({0, 0, 2, 2}, clWhite);
    std::vector<uint8_t> s = BitmapToDIBStream(b, pf8bit, cmMedianCut);
    EXPECT_EQ(ColoursImportant(s), 2u);
    EXPECT_EQ(Quad(s, 0), (TQuad{0, 0, 0, 0}));
    EXPECT_EQ(Quad(s, 1), (TQuad{255, 255, 255, 0}));
    for (int i = 2; i < 256; ++i) ASSERT_EQ(Quad(s, i), (TQuad{0, 0, 0, 0}));
    TBitmap back;
    back.LoadFromBMP(s);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(back.Pixel(x, y), b.Pixel(x, y));
}

TEST(MedianCut, ASingleColourIsItsCellsMean) {
    TBitmap b(3, 3);
    b.FillRect({0, 0, 3, 3}, RGBColor(16, 16, 16));
    std::vector<uint8_t> s = BitmapToDIBStream(b, pf8bit, cmMedianCut);
    EXPECT_EQ(ColoursImportant(s), 1u);
    EXPECT_EQ(Quad(s, 0), (TQuad{31, 31, 31, 0})); // not made black: above 16
    b.FillRect({0, 0, 3, 3}, RGBColor(0x35, 0x80, 0xF1));
    s = BitmapToDIBStream(b, pf8bit, cmMedianCut);
    EXPECT_EQ(Quad(s, 0), (TQuad{0xFF, 0x8F, 0x3F, 0}));
    for (size_t at = 1078; at < s.size(); ++at) ASSERT_EQ(s[at], 0);
}

TEST(MedianCut, TheFirstPartTakesCellsUpToHalfThePixels) {
    // Red cells 0, 8 and 15 with 1, 1 and 10 pixels: half is 6, so the first box takes the two
    // small cells and the second box the large one.
    TBitmap b(12, 1);
    b.FillRect({0, 0, 12, 1}, RGBColor(0xF0, 0, 0));
    b.SetPixel(0, 0, RGBColor(0x00, 0, 0));
    b.SetPixel(1, 0, RGBColor(0x80, 0, 0));
    TBitmapInfoHeader header;
    header.Width = 12;
    header.Height = 1;
    std::vector<uint8_t> rows(b.Bits().begin(), b.Bits().end());
    std::vector<uint8_t> palette(1024, 0xEE);
    int colours = 2;
    EXPECT_EQ(MedianCutQuantize(header, rows, rows, colours, palette), 0);
    EXPECT_EQ(colours, 2);
    EXPECT_EQ((TQuad{palette[0], palette[1], palette[2], palette[3]}), (TQuad{7, 7, 71, 0}));
    EXPECT_EQ((TQuad{palette[4], palette[5], palette[6], palette[7]}), (TQuad{15, 15, 255, 0}));
    EXPECT_EQ(rows[0], 0);
    EXPECT_EQ(rows[1], 0);
    EXPECT_EQ(rows[2], 1);
    EXPECT_EQ(rows[11], 1);
}

TEST(MedianCut, AHeavyFirstCellIsSplitOffAlone) {
    TBitmap b(10, 1);
    b.FillRect({0, 0, 10, 1}, RGBColor(0x20, 0, 0));
    b.SetPixel(8, 0, RGBColor(0x40, 0, 0));
    b.SetPixel(9, 0, RGBColor(0x60, 0, 0));
    std::vector<uint8_t> s = BitmapToDIBStream(b, pf8bit, cmMedianCut);
    EXPECT_EQ(ColoursImportant(s), 3u);
    EXPECT_EQ(Quad(s, 0), (TQuad{15, 15, 0x2F, 0}));
    EXPECT_EQ(s[1078], 0);
    EXPECT_NE(s[1078 + 8], 0);
}

TEST(MedianCut, ManyCellsEndInExactly256Boxes) {
    std::mt19937 rng(5);
    TBitmap b(80, 60);
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 80; ++x) b.SetPixel(x, y, rng() & 0xFFFFFF);
    std::vector<uint8_t> s = BitmapToDIBStream(b, pf8bit, cmMedianCut);
    EXPECT_EQ(ColoursImportant(s), 256u);
}

TEST(MedianCut, FewCellsGiveOneBoxEachAndBlackEntriesAfter) {
    TBitmap b(3, 1);
    b.SetPixel(0, 0, RGBColor(0x10, 0x20, 0x30));
    b.SetPixel(1, 0, RGBColor(0x90, 0x20, 0x30));
    b.SetPixel(2, 0, RGBColor(0x90, 0xA0, 0x30));
    std::vector<uint8_t> s = BitmapToDIBStream(b, pf8bit, cmMedianCut);
    EXPECT_EQ(ColoursImportant(s), 3u);
    std::vector<TQuad> entries = {Quad(s, 0), Quad(s, 1), Quad(s, 2)};
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries[0], (TQuad{0x3F, 0x2F, 0x1F, 0}));
    EXPECT_EQ(entries[1], (TQuad{0x3F, 0x2F, 0x9F, 0}));
    EXPECT_EQ(entries[2], (TQuad{0x3F, 0xAF, 0x9F, 0}));
    EXPECT_EQ(Quad(s, 3), (TQuad{0, 0, 0, 0}));
}

TEST(MedianCutSort, SortsAscendingAndPutsLaterEqualKeysFirst) {
    TMedianCutState state;
    for (int n = 0; n < ColorCellCount; ++n)
        state.Cells[size_t(n)] = TColorCell{uint8_t(n >> 8), uint8_t((n >> 4) & 15), uint8_t(n & 15), 0, 0, NoCell};

    // Below 8 references: insertion sort; equal red keys come out in reverse order.
    std::vector<int> refs = {0x512, 0x100, 0x534, 0x1FF, 0x556};
    SortCells(state, refs, 0);
    EXPECT_EQ(refs, (std::vector<int>{0x1FF, 0x100, 0x556, 0x534, 0x512}));

    std::mt19937 rng(9);
    for (int round = 0; round < 200; ++round) {
        std::vector<int> many(1 + rng() % 300);
        for (int& r : many) r = int(rng() % ColorCellCount);
        int channel = int(rng() % 3);
        std::vector<int> sorted = many;
        SortCells(state, sorted, channel);
        auto key = [&](int cell) { return channel == 0 ? cell >> 8 : channel == 1 ? (cell >> 4) & 15 : cell & 15; };
        ASSERT_TRUE(std::is_sorted(sorted.begin(), sorted.end(), [&](int a, int b) { return key(a) < key(b); }));
        std::vector<int> a = many, c = sorted;
        std::sort(a.begin(), a.end());
        std::sort(c.begin(), c.end());
        ASSERT_EQ(a, c);
    }
}
