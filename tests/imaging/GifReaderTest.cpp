// The GIF reader and LZW decoder through TGIFImage: randomised round trips against the bitmaps
// written, hand-made files for the block structure, damaged data, and what saving again keeps.
#include "imaging/GifImage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Save(TGIFImage& image) {
    TMemoryStream stream;
    image.SaveToStream(stream);
    return stream.Bytes();
}

void Load(TGIFImage& image, const Bytes& bytes) {
    TMemoryStream stream(bytes);
    image.LoadFromStream(stream);
}

TBitmap RandomBitmap(std::mt19937& random, int width, int height, TPixelFormat format, bool smooth) {
    TBitmap bitmap(width, height, format);
    int colors = 1 << PixelFormatBits(format);
    std::vector<TRGBQuad> palette(static_cast<size_t>(colors), TRGBQuad{});
    for (auto& q : palette) q = {uint8_t(random()), uint8_t(random()), uint8_t(random()), 0};
    bitmap.SetPalette(palette);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            bitmap.SetPixelIndex(x, y, smooth ? (x / 50 + y / 7) % colors : int(random() % unsigned(colors)));
    return bitmap;
}

void ExpectSamePixels(const TBitmap& expected, const TBitmap& got) {
    ASSERT_EQ(got.Width(), expected.Width());
    ASSERT_EQ(got.Height(), expected.Height());
    ASSERT_EQ(got.BitCount(), expected.BitCount());
    for (int y = 0; y < expected.Height(); ++y)
        for (int x = 0; x < expected.Width(); ++x)
            ASSERT_EQ(got.PixelIndex(x, y), expected.PixelIndex(x, y)) << "at " << x << "," << y;
    for (size_t i = 0; i < expected.Palette().size(); ++i)
        ASSERT_EQ(ColorToRGB(QuadToColor(got.Palette()[i])), ColorToRGB(QuadToColor(expected.Palette()[i])));
}

TBitmap RoundTrip(const TBitmap& bitmap) {
    TGIFImage image;
    image.Assign(bitmap);
    Bytes file = Save(image);
    TGIFImage back;
    Load(back, file);
    EXPECT_EQ(back.FrameCount(), 1);
    TBitmap result;
    back.AssignTo(result);
    return result;
}

// A file of one frame with a global table of TableEntries colours and the given LZW data.
Bytes HandMadeFile(int width, int height, int tableEntries, const Bytes& lzw, uint8_t descriptorFlags = 0) {
    int bits = 1;
    while ((1 << bits) < tableEntries) ++bits;
    Bytes file = {'G', 'I', 'F', '8', '9', 'a', uint8_t(width), 0, uint8_t(height), 0, uint8_t(0x80 | (bits - 1)),
                  0,   0};
    for (int i = 0; i < tableEntries; ++i) file.insert(file.end(), {uint8_t(i), uint8_t(i), uint8_t(i)});
    file.insert(file.end(), {0x2C, 0, 0, 0, 0, uint8_t(width), 0, uint8_t(height), 0, descriptorFlags});
    file.insert(file.end(), lzw.begin(), lzw.end());
    file.push_back(0x3B);
    return file;
}

std::string ErrorOf(const Bytes& file) {
    try {
        TGIFImage image;
        Load(image, file);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(GifReader, RandomPicturesOfEveryDepthComeBackUnchanged) {
    std::mt19937 random(7);
    const TPixelFormat formats[] = {pf1bit, pf4bit, pf8bit};
    for (int round = 0; round < 60; ++round) {
        TPixelFormat format = formats[round % 3];
        int width = 1 + int(random() % 90);
        int height = 1 + int(random() % 40);
        TBitmap bitmap = RandomBitmap(random, width, height, format, round % 2 == 0);
        SCOPED_TRACE("round " + std::to_string(round));
        ExpectSamePixels(bitmap, RoundTrip(bitmap));
    }
}

TEST(GifReader, MegapixelNoiseAndLongStringsSurviveManyTableClears) {
    std::mt19937 random(11);
    for (TPixelFormat format : {pf8bit, pf4bit, pf1bit}) {
        TBitmap noise = RandomBitmap(random, 1000, 1000, format, false);
        ExpectSamePixels(noise, RoundTrip(noise));
    }
    TBitmap flat(1200, 900, pf8bit); // one colour: strings thousands of pixels long
    ExpectSamePixels(flat, RoundTrip(flat));
    TBitmap smooth = RandomBitmap(random, 1000, 700, pf8bit, true);
    ExpectSamePixels(smooth, RoundTrip(smooth));
}

TEST(GifReader, SavingALoadedImageKeepsItsBytes) {
    std::mt19937 random(3);
    TGIFImage image;
    image.Assign(RandomBitmap(random, 37, 21, pf8bit, false));
    image.AppendFrame(RandomBitmap(random, 20, 30, pf4bit, false));
    image.Frame(1).DelayMs = 120;
    image.Frame(1).Comment() = {"second"};
    image.LoopEnabled = true;
    image.Data->CommentLines = {"made here"};
    Bytes first = Save(image);
    TGIFImage back;
    Load(back, first);
    EXPECT_EQ(back.FrameCount(), 2);
    EXPECT_TRUE(back.LoopEnabled);
    EXPECT_EQ(back.Frame(1).DelayMs, 120);
    ASSERT_NE(back.Frame(1).FindComment(false), nullptr);
    EXPECT_EQ(*back.Frame(1).FindComment(false), std::vector<std::string>{"second"});
    EXPECT_EQ(back.Data->CommentLines, std::vector<std::string>{"made here"});
    EXPECT_EQ(Save(back), first);
}

TEST(GifReader, LiteralsAreOnlyTheCodesBelowTheClearCode) {
    // 1-bit pixels coded with minimum code size 2 under a 256-entry table: codes 6 and up are
    // table entries even though they are below the table size.
    std::mt19937 random(5);
    TBitmap bitmap = RandomBitmap(random, 64, 16, pf1bit, false);
    TGIFImage source;
    source.Assign(bitmap);
    Save(source);
    Bytes lzw = *source.Frame(0).Item->EncodedData;
    ASSERT_EQ(lzw[0], 2);
    TGIFImage image;
    Load(image, HandMadeFile(64, 16, 256, lzw));
    const TBitmap& got = image.Frame(0).GetBitmap();
    ASSERT_EQ(got.BitCount(), 8);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 64; ++x) ASSERT_EQ(got.PixelIndex(x, y), bitmap.PixelIndex(x, y)) << x << "," << y;
}

TEST(GifReader, InterlacedRowsComeInTheirPassOrder) {
    // Three rows of one pixel, values 0, 1, 2 in file order: rows 0, 2, 1 of the picture.
    // Codes: clear 4, 0, 1, 2 (3 bits), end 5 (4 bits: the table reached 8 entries).
    Bytes lzw = {0x02, 0x02, 0x44, 0x54, 0x00};
    TGIFImage image;
    Load(image, HandMadeFile(1, 3, 4, lzw, 0x40));
    const TBitmap& got = image.Frame(0).GetBitmap();
    EXPECT_TRUE(image.Frame(0).Interlaced);
    EXPECT_EQ(got.PixelIndex(0, 0), 0);
    EXPECT_EQ(got.PixelIndex(0, 1), 2);
    EXPECT_EQ(got.PixelIndex(0, 2), 1);
}

TEST(GifReader, SignatureAndVersion) {
    Bytes good = HandMadeFile(1, 1, 2, {0x02, 0x02, 0x44, 0x01, 0x00});
    Bytes lower = good;
    std::copy_n("gif89A", 6, lower.begin());
    TGIFImage image;
    Load(image, lower);
    EXPECT_EQ(image.Version, 2);
    Bytes wrong = good;
    wrong[4] = '8';
    EXPECT_EQ(ErrorOf(wrong), "Unknown GIF version");
    wrong = good;
    wrong[0] = 'J';
    EXPECT_EQ(ErrorOf(wrong), "Unknown GIF version");
}

TEST(GifReader, BlockStructure) {
    const Bytes header = {'G', 'I', 'F', '8', '9', 'a', 2, 0, 1, 0, 0x80, 0, 0, 0, 0, 0, 255, 255, 255};
    const Bytes image = {0x2C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x02, 0x02, 0x44, 0x0A, 0x00};
    auto file = [&](std::initializer_list<Bytes> parts) {
        Bytes bytes = header;
        for (const Bytes& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
        return bytes;
    };
    const Bytes comment1 = {0x21, 0xFE, 3, 'o', 'n', 'e', 0};
    const Bytes comment2 = {0x21, 0xFE, 3, 't', 'w', 'o', 0};
    const Bytes control = {0x21, 0xF9, 4, 0x01, 10, 0, 1, 0};
    const Bytes plainText = {0x21, 0x01, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 'x', 0};
    Bytes loop = {0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0xFF, 0xFF, 0};

    TGIFImage gif;
    Load(gif, file({{0x3B}}));
    EXPECT_EQ(gif.FrameCount(), 0);
    EXPECT_EQ(gif.CurrentFrame, -1);

    Load(gif, file({comment1, loop, image, comment1, comment2, {0x3B}}));
    ASSERT_EQ(gif.FrameCount(), 1);
    EXPECT_EQ(*gif.Frame(0).FindComment(false), std::vector<std::string>{"one"});
    EXPECT_EQ(gif.Data->CommentLines, (std::vector<std::string>{"one", "\r\n\r\n", "two"}));
    EXPECT_TRUE(gif.LoopEnabled);
    EXPECT_EQ(gif.LoopCount, 30000);
    EXPECT_EQ(gif.Frame(0).GetWidth(), 2) << "a descriptor width of 0 takes the screen width";

    Load(gif, file({control, plainText, comment2, image, {0x3B}}));
    ASSERT_EQ(gif.FrameCount(), 1);
    EXPECT_EQ(gif.Frame(0).Extensions.size(), 1u);
    EXPECT_EQ(gif.Frame(0).TransparentColor, clNone);

    Load(gif, file({control, image, {0x99, 0x2C}}));
    EXPECT_EQ(gif.FrameCount(), 1) << "junk after an image ends reading";
    EXPECT_EQ(gif.Frame(0).DelayMs, 100);
    EXPECT_EQ(gif.Frame(0).TransparentColor, clWhite);

    EXPECT_EQ(ErrorOf(file({{0x21, 0x4A, 0}})), "Unrecognized extension block: 4A");
    EXPECT_EQ(ErrorOf(file({{0x99, 0x3B}})), "Stream read error");
}

TEST(GifReader, CutDataMarksTheFrameDamagedAndIsSavedWithATerminator) {
    std::mt19937 random(9);
    TGIFImage source;
    source.Assign(RandomBitmap(random, 300, 200, pf8bit, false));
    Bytes file = Save(source);
    Bytes cut(file.begin(), file.begin() + ptrdiff_t(file.size() / 2));

    TMemoryStream stream(cut);
    TGIFImage image;
    try {
        image.LoadFromStream(stream);
        FAIL() << "decoding half the data succeeded";
    } catch (const EInvalidGraphicOperation& e) {
        EXPECT_STREQ(e.what(), "Stream read error");
    }
    EXPECT_EQ(image.FrameCount(), 0) << "the frame that failed to decode is removed";

    image.ReadGIF(cut.size(), cut, false);
    ASSERT_EQ(image.FrameCount(), 1);
    EXPECT_TRUE(image.Frame(0).DataDamaged);
    Bytes again = Save(image);
    ASSERT_GE(again.size(), 2u);
    EXPECT_EQ(again[again.size() - 2], 0) << "the data ends with its terminator";
    EXPECT_EQ(again.back(), 0x3B);
}

TEST(GifReader, TransparentIndexOnADuplicateColourIsKept) {
    // Entries 0 and 3 are both black; the file makes index 3 transparent.
    Bytes file = {'G', 'I', 'F', '8', '9', 'a', 2, 0, 1,    0,    0x91, 0,    0,    0,    0,   0, 255,
                  0,   0,   0,   255, 0,   0,   0, 0, 0x21, 0xF9, 4,    0x01, 0,    0,    3,   0, 0x2C,
                  0,   0,   0,   0,   2,   0,   1, 0, 0,    0x02, 0x02, 0x44, 0x0A, 0x00, 0x3B};
    TGIFImage image;
    Load(image, file);
    EXPECT_EQ(image.Frame(0).TransparentColor, clBlack);
    Bytes again = Save(image);
    EXPECT_EQ(again, file);
}

TEST(GifReader, DecodingWithoutToleranceReportsTheDamage) {
    Bytes badCodeSize = HandMadeFile(1, 1, 2, {0x0C, 0x02, 0x44, 0x01, 0x00});
    GIFDamageTolerant = false;
    std::string strict = ErrorOf(badCodeSize);
    GIFDamageTolerant = true;
    EXPECT_EQ(strict, "GIF code size not in range 2 to 9");
    // A table code where no table entry exists yet.
    Bytes badCode = HandMadeFile(1, 1, 2, {0x02, 0x01, 0x3C, 0x00});
    GIFDamageTolerant = false;
    strict = ErrorOf(badCode);
    GIFDamageTolerant = true;
    EXPECT_EQ(strict, "GIF encoded data is corrupt");
    TGIFImage image;
    Load(image, badCode);
    EXPECT_TRUE(image.Frame(0).DataDamaged);
}

TEST(GifReader, ClipboardFormCarriesTheSizePrefixedFile) {
    std::mt19937 random(13);
    TBitmap bitmap = RandomBitmap(random, 9, 7, pf4bit, false);
    TGIFImage image;
    image.Assign(bitmap);
    TGIFClipboardData clipboard;
    image.SaveToClipboardFormat(clipboard);
    EXPECT_TRUE(clipboard.Bitmap.has_value());
    EXPECT_FALSE(clipboard.GIFBlock.has_value()) << "no frame was encoded yet";
    Save(image);
    image.SaveToClipboardFormat(clipboard);
    ASSERT_TRUE(clipboard.GIFBlock.has_value());
    TGIFImage back;
    back.LoadFromClipboardFormat(clipboard);
    ASSERT_EQ(back.FrameCount(), 1);
    ExpectSamePixels(bitmap, back.Frame(0).GetBitmap());
}

TEST(GifReader, DamagedFilesFailCleanlyOrLoad) {
    std::mt19937 random(17);
    TGIFImage source;
    source.Assign(RandomBitmap(random, 23, 17, pf8bit, false));
    source.AppendFrame(RandomBitmap(random, 9, 30, pf1bit, false));
    source.Frame(1).DelayMs = 70;
    source.Frame(1).Interlaced = true;
    source.Data->CommentLines = {"note"};
    Bytes file = Save(source);
    for (int round = 0; round < 3000; ++round) {
        Bytes damaged = file;
        if (round % 4 == 0) {
            damaged.resize(random() % damaged.size());
        } else {
            for (int n = 1 + int(random() % 4); n > 0; --n) damaged[random() % damaged.size()] = uint8_t(random());
        }
        TGIFImage image;
        try {
            Load(image, damaged);
            for (int f = 0; f < image.FrameCount(); ++f) image.Frame(f).GetBitmap();
            Save(image);
        } catch (const EInvalidGraphicOperation&) {
        } catch (const EReadError&) {
        } catch (const EInvalidGraphic&) {}
    }
}

TEST(GifReader, HugeSizesAndDelaysAreBoundedNotWrapped) {
    // A frame of 65535 x 65535 at 8 bits would need 4 GiB of pixels.
    Bytes huge = HandMadeFile(1, 1, 256, {0x08, 0x01, 0x00, 0x00});
    size_t descriptor = 13 + 768;
    huge[descriptor + 5] = huge[descriptor + 6] = huge[descriptor + 7] = huge[descriptor + 8] = 0xFF;
    EXPECT_EQ(ErrorOf(huge), "GIF image too large");

    Bytes slow = {'G', 'I',  'F',  '8', '9', 'a',  1, 0, 1, 0, 0x80, 0, 0, 0, 0, 0,    255,  255,  255,  0x21, 0xF9, 4,
                  0,   0xFF, 0xFF, 0,   0,   0x2C, 0, 0, 0, 0, 1,    0, 1, 0, 0, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B};
    TGIFImage image;
    Load(image, slow);
    EXPECT_EQ(image.Frame(0).DelayMs, 65535);
}

TEST(GifReader, FramesTheirDataCannotFillAreRefusedBeforeAllocating) {
    // 124 bytes declaring a 32768 x 32768 frame of 8 bits: once a gigabyte zeroed before decoding.
    Bytes tiny = HandMadeFile(1, 1, 32, {0x08, 0x01, 0x00, 0x00});
    size_t descriptor = 13 + 96;
    tiny[descriptor + 6] = tiny[descriptor + 8] = 0x80;
    ASSERT_EQ(tiny.size(), 124u);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ErrorOf(tiny), "GIF image too large");
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 0.5);

    // The bound is tight for real data: a single-colour picture of 4 megapixels, the data that
    // makes the most pixels per code, still loads; and a small frame ended early still decodes.
    TBitmap flat(2048, 2048, pf8bit);
    TBitmap back = RoundTrip(flat);
    EXPECT_EQ(back.Width(), 2048);
    TGIFImage early;
    Load(early, HandMadeFile(16, 16, 4, {0x02, 0x02, 0x44, 0x01, 0x00}));
    EXPECT_EQ(early.Frame(0).GetBitmap().Height(), 16);
}

TEST(GifReader, EncodingABmpWithAShortPaletteReadsOnlyWhatIsThere) {
    // An 8-bit BMP with 2 palette entries, 2 x 1 pixels.
    Bytes bmp = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 14 + 40 + 8, 0,  0,  0, 40, 0,  0,  0, 2, 0, 0, 0,
                 1,   0,   0, 0, 1, 0, 8, 0, 0, 0, 0,           0,  4,  0, 0,  0,  0,  0, 0, 0, 0, 0,
                 0,   0,   2, 0, 0, 0, 0, 0, 0, 0, 30,          20, 10, 0, 60, 50, 40, 0, 0, 1, 0, 0};
    bmp[2] = uint8_t(bmp.size());
    TGIFImage image;
    image.AppendFrame(TBitmap(1, 1, pf8bit));
    image.Frame(0).EncodeDIB(bmp);
    const TGIFColorMap& colors = image.Frame(0).Item->Colors;
    EXPECT_EQ(colors.Count, 256);
    EXPECT_EQ(colors.Colors[0], (TGIFColor{10, 20, 30}));
    EXPECT_EQ(colors.Colors[1], (TGIFColor{40, 50, 60}));
    EXPECT_EQ(colors.Colors[2], (TGIFColor{0, 0, 0}));
    EXPECT_EQ(image.Data->GlobalColors.Colors[1], (TGIFColor{40, 50, 60}));
    Bytes file = Save(image);
    TGIFImage back;
    Load(back, file);
    EXPECT_EQ(back.Frame(0).GetBitmap().Pixel(1, 0), RGBColor(40, 50, 60));

    Bytes cut(bmp.begin(), bmp.end() - 2); // rows shorter than the header says
    TGIFFrame frame;
    try {
        frame.EncodeDIB(cut);
        FAIL() << "rows past the end were read";
    } catch (const EInvalidGraphicOperation& e) {
        EXPECT_STREQ(e.what(), "GIF image encoding error");
    }
}
