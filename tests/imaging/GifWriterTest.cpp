// The GIF writer through TGIFImage: exact bytes of small files, version choice, graphic control,
// looping and comment blocks, failures that leave the caller's stream untouched.
#include "imaging/GifImage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

TBitmap PalettedBitmap(int width, int height, TPixelFormat format, const std::vector<int>& indices) {
    TBitmap bitmap(width, height, format);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) bitmap.SetPixelIndex(x, y, indices[size_t(y * width + x)]);
    return bitmap;
}

Bytes Save(TGIFImage& image) {
    TMemoryStream stream;
    image.SaveToStream(stream);
    return stream.Bytes();
}

Bytes Slice(const Bytes& bytes, size_t from, size_t count) {
    return Bytes(bytes.begin() + ptrdiff_t(from), bytes.begin() + ptrdiff_t(from + count));
}

std::string Text(const Bytes& bytes, size_t from, size_t count) {
    return std::string(bytes.begin() + ptrdiff_t(from), bytes.begin() + ptrdiff_t(from + count));
}

// Offset of the LZW data of a one-frame 87a file with a global table of Entries colours.
size_t DataOffset(int entries) { return 13 + size_t(entries) * 3 + 10; }

} // namespace

TEST(GifWriter, TwoPixelMonochromeImageIsByteExact) {
    TBitmap bitmap = PalettedBitmap(2, 1, pf1bit, {0, 1});
    bitmap.SetPalette(std::vector<TRGBQuad>{{0, 0, 0, 0}, {255, 255, 255, 0}});
    TGIFImage image;
    image.Assign(bitmap);
    Bytes file = Save(image);
    Bytes expected = {'G',  'I',  'F',  '8',  '7',  'a',  0x02, 0x00, 0x01, 0x00,
                      0x80, 0x00, 0x00, 0,    0,    0,    255,  255,  255,        // global table
                      0x2C, 0,    0,    0,    0,    0x02, 0x00, 0x01, 0x00, 0x00, // descriptor
                      0x02, 0x02, 0x44, 0x0A, 0x00,                               // clear 0 1 end
                      0x3B};
    EXPECT_EQ(file, expected);
}

TEST(GifWriter, FourZeroPixelsOfEightBitsGiveTheKnownData) {
    TGIFImage image;
    image.Assign(PalettedBitmap(4, 1, pf8bit, {0, 0, 0, 0}));
    Bytes file = Save(image);
    ASSERT_EQ(file.size(), DataOffset(256) + 9 + 1);
    EXPECT_EQ(Slice(file, 10, 3), (Bytes{0xF7, 0, 0}));
    EXPECT_EQ(Slice(file, DataOffset(256), 9), (Bytes{0x08, 0x06, 0x00, 0x01, 0x08, 0x04, 0x10, 0x10, 0x00}));
    EXPECT_EQ(file.back(), 0x3B);
}

TEST(GifWriter, OneBitImagesUseMinimumCodeSizeTwo) {
    TGIFImage image;
    image.Assign(PalettedBitmap(8, 1, pf1bit, {0, 1, 1, 0, 1, 0, 0, 1}));
    Bytes file = Save(image);
    EXPECT_EQ(file[10], 0x80);
    EXPECT_EQ(file[DataOffset(2)], 2);
}

TEST(GifWriter, FourBitImagesGetSixteenColoursAndCodeSizeFour) {
    TGIFImage image;
    image.Assign(PalettedBitmap(3, 2, pf4bit, {1, 2, 3, 15, 14, 0}));
    Bytes file = Save(image);
    EXPECT_EQ(Text(file, 0, 6), "GIF87a");
    EXPECT_EQ(file[10], 0x80 + (3 << 4) + 3);
    EXPECT_EQ(file[DataOffset(16)], 4);
}

TEST(GifWriter, EightBitBitmapWithFewColoursStillWritesTheFullTable) {
    TBitmap bitmap = PalettedBitmap(2, 2, pf8bit, {0, 1, 2, 15});
    std::vector<TRGBQuad> palette(16);
    for (int i = 0; i < 16; ++i) palette[size_t(i)] = {uint8_t(i), uint8_t(2 * i), uint8_t(3 * i), 0};
    bitmap.SetPalette(palette);
    TGIFImage image;
    image.Assign(bitmap);
    Bytes file = Save(image);
    EXPECT_EQ(file[10], 0xF7);
    EXPECT_EQ(Slice(file, 13 + 15 * 3, 3), (Bytes{45, 30, 15}));
}

TEST(GifWriter, WebImageIsSingleFrame87aWithoutExtensions) {
    TBitmap bitmap(50, 20, pf24bit);
    bitmap.BrushColor = clYellow;
    bitmap.FillRect({0, 0, 50, 20});
    bitmap.TextOut(2, 2, "NO!");
    TGIFImage image;
    image.Assign(bitmap);
    image.Transparent = false;
    EXPECT_EQ(image.FrameCount(), 1);
    EXPECT_EQ(image.CurrentFrame, 0);
    EXPECT_EQ(image.Version, 1);
    EXPECT_EQ(image.LogicalWidth, 50);
    EXPECT_EQ(image.LogicalHeight, 20);
    EXPECT_EQ(image.Frame(0).TransparentColor, clNone);
    Bytes file = Save(image);
    EXPECT_EQ(Text(file, 0, 6), "GIF87a");
    EXPECT_EQ(Slice(file, 6, 7), (Bytes{50, 0, 20, 0, 0xF7, 0, 0}));
    EXPECT_EQ(file[13 + 768], 0x2C);
    EXPECT_EQ(file[13 + 768 + 9], 0); // packed byte of the descriptor
    EXPECT_EQ(file[13 + 768 + 10], 8);
    EXPECT_EQ(file.back(), 0x3B);
    EXPECT_EQ(Save(image), file) << "a second save must give the same bytes";
}

TEST(GifWriter, DelayMakesAGraphicControlBlockAnd89a) {
    TGIFImage image;
    image.Assign(PalettedBitmap(1, 1, pf8bit, {0}));
    image.Frame(0).DelayMs = 250;
    image.Frame(0).Disposal = 2;
    Bytes file = Save(image);
    EXPECT_EQ(Text(file, 0, 6), "GIF89a");
    size_t at = 13 + 768;
    EXPECT_EQ(Slice(file, at, 8), (Bytes{0x21, 0xF9, 4, 2 << 2, 25, 0, 0, 0}));
    EXPECT_EQ(file[at + 8], 0x2C);
}

TEST(GifWriter, TransparentColourOutsideTheTableLeavesTheFlagClear) {
    TBitmap bitmap = PalettedBitmap(2, 1, pf1bit, {0, 1});
    bitmap.SetPalette(std::vector<TRGBQuad>{{0, 0, 0, 0}, {255, 255, 255, 0}});
    TGIFImage image;
    image.Assign(bitmap);
    image.Frame(0).TransparentColor = RGBColor(1, 2, 3);
    Bytes file = Save(image);
    EXPECT_EQ(Slice(file, 19, 4), (Bytes{0x21, 0xF9, 4, 0}));

    image.Frame(0).TransparentColor = clWhite;
    file = Save(image);
    EXPECT_EQ(Slice(file, 19, 8), (Bytes{0x21, 0xF9, 4, 1, 0, 0, 1, 0}));
}

TEST(GifWriter, LoopingBlockOnlyForSeveralFrames) {
    TGIFImage image;
    image.Assign(PalettedBitmap(1, 1, pf8bit, {0}));
    image.LoopEnabled = true;
    image.LoopCount = 0;
    Bytes single = Save(image);
    EXPECT_EQ(single[13 + 768], 0x2C);

    image.AppendFrame(PalettedBitmap(1, 1, pf8bit, {1}));
    EXPECT_EQ(image.Version, 2);
    Bytes two = Save(image);
    Bytes loop = {0x21, 0xFF, 0x0B, 'N', 'E',  'T',  'S',  'C',  'A', 'P',
                  'E',  '2',  '.',  '0', 0x03, 0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(Slice(two, 13 + 768, loop.size()), loop);
    // The second encoded frame carries a local table of its own.
    size_t second = 13 + 768 + loop.size() + 10 + 7; // data: 08 04 xx xx xx xx 00
    EXPECT_EQ(two[second], 0x2C);
    EXPECT_EQ(two[second + 9], 0x87);
}

TEST(GifWriter, CommentLinesAreCutAndEmptyLinesSkipped) {
    TGIFImage image;
    image.Assign(PalettedBitmap(1, 1, pf8bit, {0}));
    image.Data->CommentLines = {std::string(300, 'c'), "", "ok"};
    Bytes file = Save(image);
    EXPECT_EQ(Text(file, 0, 6), "GIF89a");
    size_t at = file.size() - 1 - (2 + 1 + 255 + 1 + 2 + 1);
    EXPECT_EQ(Slice(file, at, 3), (Bytes{0x21, 0xFE, 255}));
    EXPECT_EQ(Slice(file, at + 3 + 255, 5), (Bytes{2, 'o', 'k', 0, 0x3B}));
}

TEST(GifWriter, FailuresLeaveTheStreamUntouched) {
    TGIFImage image;
    TMemoryStream stream;
    try {
        image.SaveToStream(stream);
        FAIL() << "an empty image was written";
    } catch (const EInvalidGraphicOperation& e) {
        EXPECT_STREQ(e.what(), "No GIF Data to write");
    }
    EXPECT_EQ(stream.Size(), 0u);
    image.Data->CommentLines = {"x"};
    image.Assign(PalettedBitmap(1, 1, pf8bit, {0}));
    image.Data->GlobalColors.Count = 0;
    image.Frame(0).Item->EncodedData.reset();
    image.Frame(0).Bitmap.reset();
    EXPECT_THROW(image.SaveToStream(stream), EInvalidGraphicOperation);
    EXPECT_EQ(stream.Size(), 0u);
}

TEST(GifWriter, SizesBeyondSixteenBitsAreRefused) {
    TGIFImage image;
    image.Assign(PalettedBitmap(2, 1, pf8bit, {0, 0}));
    image.Frame(0).Origin.Left = 65535;
    image.Frame(0).Item->EncodedData.reset();
    TMemoryStream stream;
    try {
        image.SaveToStream(stream);
        FAIL() << "a frame past 65535 was written";
    } catch (const EInvalidGraphicOperation& e) {
        EXPECT_STREQ(e.what(), "GIF image encoding error");
    }
    // A frame loaded with height 0 (its descriptor's and the screen's): written with a 0 it
    // would come back with the height of the screen the writer computes, and fail to decode.
    const Bytes empty = {'G', 'I', 'F', '8', '9', 'a', 4, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 255, 255, 255,
                         0x2C, 0, 0, 9, 0, 4, 0, 0, 0, 0, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B};
    TGIFImage loaded;
    TMemoryStream in(empty);
    loaded.LoadFromStream(in);
    ASSERT_EQ(loaded.FrameCount(), 1);
    EXPECT_THROW(loaded.SaveToStream(stream), EInvalidGraphicOperation);
}

TEST(GifWriter, WriteDataPrefixesTheLength) {
    TGIFImage image;
    image.Assign(PalettedBitmap(1, 1, pf8bit, {0}));
    TMemoryStream stream;
    image.WriteData(stream);
    const Bytes& bytes = stream.Bytes();
    uint32_t length = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | uint32_t(bytes[3]) << 24;
    EXPECT_EQ(length, bytes.size() - 4);
    EXPECT_EQ(Text(bytes, 4, 6), "GIF87a");

    TGIFImage back;
    TMemoryStream in(bytes);
    back.ReadData(in);
    EXPECT_EQ(back.FrameCount(), 1);
}

TEST(GifWriter, SettingTheSizeFails) {
    TGIFImage image;
    try {
        image.SetWidth(5);
        FAIL();
    } catch (const EInvalidGraphicOperation& e) {
        EXPECT_STREQ(e.what(), "Cannot change the Size of a GIF image");
    }
    EXPECT_THROW(image.SetHeight(5), EInvalidGraphicOperation);
}
