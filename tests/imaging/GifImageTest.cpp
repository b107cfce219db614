// The GIF image model: defaults, copying between images, frames and bitmaps, version choice,
// comments, transparency and drawing.
#include "imaging/GifImage.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TBitmap Paletted(int width, int height, int index = 1) {
    TBitmap bitmap(width, height, pf8bit);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) bitmap.SetPixelIndex(x, y, index);
    return bitmap;
}

std::vector<uint8_t> Save(TGIFImage& image) {
    TMemoryStream stream;
    image.SaveToStream(stream);
    return stream.Bytes();
}

} // namespace

TEST(GifImage, NewImageIsEmpty) {
    TGIFImage image;
    EXPECT_EQ(image.FrameCount(), 0);
    EXPECT_EQ(image.CurrentFrame, -1);
    EXPECT_EQ(image.Version, 0);
    EXPECT_EQ(image.GetWidth(), 0);
    EXPECT_EQ(image.GetHeight(), 0);
    EXPECT_TRUE(image.GetEmpty());
    EXPECT_EQ(image.BackColor, clNone);
    EXPECT_EQ(image.LoopCount, 1);
    EXPECT_FALSE(image.LoopEnabled);
    EXPECT_TRUE(image.GetPalette().empty());
}

TEST(GifImage, AssigningABitmapMakesOneFrame) {
    TGIFImage image;
    int changes = 0;
    image.OnChange = [&](TGIFImage&) { ++changes; };
    image.Assign(Paletted(50, 20));
    EXPECT_EQ(changes, 1);
    ASSERT_EQ(image.FrameCount(), 1);
    EXPECT_EQ(image.CurrentFrame, 0);
    EXPECT_EQ(image.Version, 1);
    EXPECT_EQ(image.LogicalWidth, 50);
    EXPECT_EQ(image.LogicalHeight, 20);
    EXPECT_EQ(image.GetWidth(), 50);
    EXPECT_EQ(image.Frame(0).Origin.Left, 0);
    EXPECT_EQ(image.Frame(0).TransparentColor, clNone);
    EXPECT_FALSE(image.GetEmpty());
    EXPECT_FALSE(image.GetTransparent());

    TBitmap transparent = Paletted(4, 4, 3);
    transparent.Transparent = true;
    transparent.SetTransparentColor(RGBColor(10, 20, 30));
    image.Assign(transparent);
    EXPECT_EQ(image.Frame(0).TransparentColor, RGBColor(10, 20, 30));
    EXPECT_TRUE(image.GetTransparent());
    image.Transparent = false;
    EXPECT_FALSE(image.GetTransparent());

    image.Assign(TBitmap());
    EXPECT_EQ(image.FrameCount(), 1);
    EXPECT_TRUE(image.GetEmpty()) << "an empty bitmap gives a frame without a picture";
}

TEST(GifImage, AppendingFramesRaisesTheVersion) {
    TGIFImage image;
    EXPECT_EQ(image.AppendFrame(Paletted(3, 3)), 0);
    EXPECT_EQ(image.Version, 1);
    EXPECT_EQ(image.AppendFrame(Paletted(5, 2)), 1);
    EXPECT_EQ(image.Version, 2);
    EXPECT_EQ(image.CurrentFrame, 1);
    EXPECT_EQ(image.LogicalWidth, 5);
    EXPECT_EQ(image.LogicalHeight, 3);
}

TEST(GifImage, CopiesShareTheirData) {
    TGIFImage a;
    a.Assign(Paletted(6, 4));
    a.AppendFrame(Paletted(6, 4, 2));
    a.LoopEnabled = true;
    TGIFImage b;
    b.Assign(a);
    EXPECT_TRUE(b.Equals(a));
    EXPECT_EQ(b.FrameCount(), 2);
    EXPECT_TRUE(b.LoopEnabled);
    EXPECT_EQ(b.Frame(1).Item, a.Frame(1).Item);
    // Saving one encodes the shared items of both; each file must still show the same pictures.
    std::vector<uint8_t> fileB = Save(b), fileA = Save(a);
    TGIFImage backA, backB;
    TMemoryStream streamA(fileA), streamB(fileB);
    backA.LoadFromStream(streamA);
    backB.LoadFromStream(streamB);
    ASSERT_EQ(backA.FrameCount(), 2);
    ASSERT_EQ(backB.FrameCount(), 2);
    for (int f = 0; f < 2; ++f)
        EXPECT_EQ(backA.Frame(f).GetBitmap().Pixel(1, 1), backB.Frame(f).GetBitmap().Pixel(1, 1));
    EXPECT_NE(backA.Frame(0).GetBitmap().Pixel(1, 1), backA.Frame(1).GetBitmap().Pixel(1, 1));
    b.Reset();
    EXPECT_FALSE(b.Equals(a));

    try {
        a.Assign(a);
        FAIL() << "an image was assigned to itself";
    } catch (const EInvalidGraphicOperation& e) {
        EXPECT_STREQ(e.what(), "Cannot assign a TGIFImage to a TGIFImage");
    }
    EXPECT_EQ(a.FrameCount(), 2);
}

TEST(GifImage, AFrameOfAnotherImageGetsALocalTable) {
    TGIFImage a;
    a.Assign(Paletted(3, 2));
    Save(a);
    TGIFImage b;
    b.Assign(a.Frame(0));
    ASSERT_EQ(b.FrameCount(), 1);
    EXPECT_TRUE(b.Frame(0).HasLocalColors);
    EXPECT_EQ(b.Data->GlobalColors.Count, 256);
    EXPECT_EQ(b.Version, 1);
    std::vector<uint8_t> file = Save(b);
    EXPECT_EQ(file[13 + 768 + 9], 0x87) << "descriptor with a 256-entry local table";

    b.Frame(0).Origin.Left = 4;
    b.Frame(0).Assign(b.Frame(0));
    EXPECT_EQ(b.LogicalWidth, 7) << "assigning a frame to itself recomputes the screen size";
}

TEST(GifImage, CommentsAndExtensionRecords) {
    TGIFImage image;
    image.Assign(Paletted(2, 2));
    TGIFFrame& frame = image.Frame(0);
    EXPECT_EQ(frame.FindComment(false), nullptr);
    frame.SetComment({"hello", "world"});
    EXPECT_EQ(FindExtension(frame.Extensions, ekComment)->Blocks->size(), 2u);
    std::vector<uint8_t> file = Save(image);
    EXPECT_EQ(std::string(file.begin() + 3, file.begin() + 6), "89a");

    frame.Comment().clear(); // an empty comment record is dropped when saving
    image.Version = 1;
    frame.Item->EncodedData.reset();
    file = Save(image);
    EXPECT_TRUE(frame.Extensions.empty());
    EXPECT_EQ(std::string(file.begin() + 3, file.begin() + 6), "87a");
}

TEST(GifImage, FreeRoutines) {
    for (int bits = 1; bits <= 8; ++bits) EXPECT_EQ(BitsForColorCount(1 << bits), bits);
    try {
        BitsForColorCount(47);
        FAIL();
    } catch (const EInvalidGraphicOperation& e) {
        EXPECT_STREQ(e.what(), "Wrong number of colors; must be a power of 2");
    }
    TGIFColorMap map;
    map.Count = 3;
    map.Colors[0] = {1, 2, 3};
    map.Colors[1] = {255, 255, 255};
    map.Colors[2] = {255, 255, 255};
    EXPECT_EQ(FindColorIndex(map, clNone), -1);
    EXPECT_EQ(FindColorIndex(map, RGBColor(1, 2, 3)), 0);
    EXPECT_EQ(FindColorIndex(map, clWhite | PaletteRelativeFlag), 1);
    EXPECT_EQ(FindColorIndex(map, clWindow), 1);
    EXPECT_EQ(FindColorIndex(map, clRed), -1);
    TExtensionList none;
    EXPECT_EQ(FindExtension(none, ekComment), nullptr);
}

TEST(GifImage, DrawingLeavesTheTransparentColourOut) {
    TBitmap picture(2, 1, pf24bit);
    picture.SetPixel(0, 0, clRed);
    picture.SetPixel(1, 0, clBlue);
    TGIFImage image;
    image.Assign(picture);
    image.Frame(0).TransparentColor = clBlue;
    TBitmap canvas(4, 2, pf24bit);
    canvas.BrushColor = clWhite;
    canvas.FillRect({0, 0, 4, 2});
    image.Draw(canvas, {0, 0, 4, 2});
    EXPECT_EQ(canvas.Pixel(0, 0), clRed);
    EXPECT_EQ(canvas.Pixel(1, 1), clRed);
    EXPECT_EQ(canvas.Pixel(2, 0), clWhite);
    EXPECT_EQ(canvas.Pixel(3, 1), clWhite);
    image.Transparent = false;
    image.Draw(canvas, {0, 0, 4, 2});
    EXPECT_EQ(canvas.Pixel(3, 1), clBlue);
}

TEST(GifImage, TwentyFourBitBitmapsAreReducedToEightBits) {
    TBitmap logo(25, 10, pf24bit);
    for (int x = 0; x < 25; ++x)
        for (int y = 0; y < 10; ++y) logo.SetPixel(x, y, RGBColor(uint8_t(x * 8), uint8_t(y * 20), 128));
    TGIFImage image;
    image.Assign(logo);
    std::vector<uint8_t> file = Save(image);
    EXPECT_EQ(file[10], 0xF7);
    TGIFImage back;
    TMemoryStream stream(file);
    back.LoadFromStream(stream);
    TBitmap decoded;
    back.AssignTo(decoded);
    ASSERT_EQ(decoded.Width(), 25);
    for (int x = 0; x < 25; ++x)
        for (int y = 0; y < 10; ++y)
            ASSERT_EQ(decoded.Pixel(x, y), logo.Pixel(x, y)) << "250 colours fit the table exactly";
    EXPECT_EQ(Save(image), file);
}

TEST(GifImage, ImagesSharingFramesEachWriteTheRightColours) {
    TBitmap red = Paletted(2, 2, 1), green = Paletted(2, 2, 1);
    std::vector<TRGBQuad> palette(256, TRGBQuad{});
    palette[1] = ColorToQuad(clRed);
    red.SetPalette(palette);
    palette[1] = ColorToQuad(RGBColor(0, 255, 0));
    green.SetPalette(palette);
    TGIFImage a;
    a.Assign(red);
    a.AppendFrame(green);
    TGIFImage b;
    b.Assign(a);
    Save(b); // encodes the frame items a shares
    std::vector<uint8_t> file = Save(a);
    TGIFImage back;
    TMemoryStream stream(file);
    back.LoadFromStream(stream);
    ASSERT_EQ(back.FrameCount(), 2);
    EXPECT_EQ(back.Frame(0).GetBitmap().Pixel(0, 0), clRed);
    EXPECT_EQ(back.Frame(1).GetBitmap().Pixel(0, 0), RGBColor(0, 255, 0));
}
