// Graphics helpers: memory blocks, the integer helpers, the not-implemented report and the
// transparent stretched draw.
#include <gtest/gtest.h>

#include "imaging/GfxUtils.h"
#include "imaging/ImgCConst.h"
#include "imaging/MaxMin.h"

TEST(GfxBlocks, AllocationFreeingAndComparison) {
    EXPECT_TRUE(AllocZeroedBlock(0).empty());
    EXPECT_TRUE(AllocZeroedBlock(-5).empty());
    TMemoryBlock block = AllocZeroedBlock(7);
    ASSERT_EQ(block.size(), 7u);
    EXPECT_EQ(std::count(block.begin(), block.end(), 0), 7);
    FreeBlock(block);
    EXPECT_TRUE(block.empty());
    FreeBlock(block);
    EXPECT_TRUE(block.empty());

    std::vector<uint8_t> a = {1, 2, 3, 4, 5, 6, 7}, b = {1, 2, 3, 4, 5, 6, 8};
    EXPECT_TRUE(BlocksEqual(a, b, 0));
    EXPECT_TRUE(BlocksEqual(a, b, 3));
    EXPECT_TRUE(BlocksEqual(a, b, 6));
    EXPECT_FALSE(BlocksEqual(a, b, 7));

    std::vector<uint8_t> overlap = {1, 2, 3, 4, 5};
    MoveBlock(overlap.data() + 1, overlap.data(), 4);
    EXPECT_EQ(overlap, (std::vector<uint8_t>{1, 1, 2, 3, 4}));
    EXPECT_EQ(OffsetPointer(overlap.data(), 3), overlap.data() + 3);
}

TEST(GfxHelpers, IntegersReportAndPaletteColour) {
    EXPECT_EQ(IntMax(-1, 1), 1);
    EXPECT_EQ(IntMin(-1, 1), -1);
    EXPECT_EQ(IntMax(4, 4), 4);
    EXPECT_EQ(SNotImplemented, "Function not yet implemented");
    EXPECT_EQ(SNotImplementedId, 61257);
    testing::internal::CaptureStderr();
    EXPECT_THROW(RaiseNotImplemented(), EAbort);
    std::string report = testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("Function not yet implemented"), std::string::npos);
    EXPECT_EQ(PaletteColor(0x1F123456), 0x02123456u);
}

namespace {

// A 3 x 2 source: top row red, green, blue; bottom row white, red, white.
TBitmap Source() {
    TBitmap b(3, 2);
    b.SetPixel(0, 0, clRed);
    b.SetPixel(1, 0, RGBColor(0, 255, 0));
    b.SetPixel(2, 0, clBlue);
    b.SetPixel(0, 1, clWhite);
    b.SetPixel(1, 1, clRed);
    b.SetPixel(2, 1, clWhite);
    return b;
}

TBitmap Canvas() {
    TBitmap c(8, 6);
    c.FillRect({0, 0, 8, 6}, clYellow);
    return c;
}

} // namespace

TEST(GfxTransparentDraw, WithoutATransparentColourEveryPixelIsDrawnStretched) {
    TBitmap c = Canvas();
    StretchDrawTransparent(c, 1, 1, 6, 4, {0, 0, 3, 2}, Source(), clNone);
    EXPECT_EQ(c.Pixel(1, 1), clRed);
    EXPECT_EQ(c.Pixel(2, 2), clRed);
    EXPECT_EQ(c.Pixel(3, 1), RGBColor(0, 255, 0));
    EXPECT_EQ(c.Pixel(6, 4), clWhite);
    EXPECT_EQ(c.Pixel(0, 0), clYellow);
    EXPECT_EQ(c.Pixel(7, 5), clYellow);
}

TEST(GfxTransparentDraw, TheBottomLeftColourIsLeftOutEverywhere) {
    TBitmap c = Canvas();
    StretchDrawTransparent(c, 0, 0, 0, 0, {1, 1, 1, 3}, Source(), clDefault); // zero width: whole bitmap
    EXPECT_EQ(c.Pixel(0, 0), clRed);
    EXPECT_EQ(c.Pixel(2, 0), clBlue);
    EXPECT_EQ(c.Pixel(0, 1), clYellow); // white left out
    EXPECT_EQ(c.Pixel(1, 1), clRed);
    EXPECT_EQ(c.Pixel(2, 1), clYellow);
    EXPECT_EQ(c.Pixel(3, 0), clYellow); // outside the drawn size

    TBitmap d = Canvas();
    StretchDrawTransparent(d, 0, 0, 3, 2, {0, 0, 3, 2}, Source(), 0x020000FF); // red, with a flag
    EXPECT_EQ(d.Pixel(0, 0), clYellow);
    EXPECT_EQ(d.Pixel(1, 1), clYellow);
    EXPECT_EQ(d.Pixel(0, 1), clWhite);
}

TEST(GfxTransparentDraw, MonochromeBitmapsLeaveOutWhiteAndDrawingClipsAtTheEdges) {
    TBitmap mono(2, 1, pf1bit);
    mono.SetPixelIndex(1, 0, 1); // black, white
    TBitmap c = Canvas();
    DrawBitmapTransparent(c, 7, 5, 4, 2, 0, 0, 0, 0, mono, clRed);
    EXPECT_EQ(c.Pixel(7, 5), clBlack);
    TBitmap e = Canvas();
    DrawBitmapTransparent(e, -1, 0, 2, 1, 0, 0, 2, 1, mono, clRed);
    EXPECT_EQ(e.Pixel(0, 0), clYellow); // the white pixel lands at 0 and is left out
}
