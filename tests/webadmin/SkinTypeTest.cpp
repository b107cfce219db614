// The skin: reading good and hostile skin files, and drawing values with a skin.
#include <gtest/gtest.h>

#include <climits>

#include "SkinFileBuilder.h"
#include "webadmin/SkinType.h"

namespace {

bool Load(TSkin& skin, const std::vector<uint8_t>& file) {
    TMemoryStream stream(file);
    stream.Seek(stream.Size()); // the skin reads from the start whatever the position
    return skin.LoadFromStream(&stream);
}

// All ten digits 5 pixels wide, so positions follow the layout arithmetic directly.
TSkinFile UniformSkin() {
    TSkinFile file;
    for (int d = 0; d < 10; ++d) {
        TBitmap digit(5, 14);
        digit.FillRect({0, 0, 5, 14}, DigitColour(d));
        file.Images[size_t(1 + d)] = digit.SaveToBMP();
    }
    file.Info = InfoBlock("http://", "T", "Uniform");
    file.Colour = 0x02112233; // flag byte set: masked off when filling
    return file;
}

constexpr TColor StripBack = 0x112233;

TBitmap Rendered(const TSkinFile& file, int32_t value) {
    TSkin skin;
    EXPECT_TRUE(Load(skin, file.Bytes()));
    skin.SetValue(value);
    return skin.GetImage();
}

} // namespace

TEST(SkinFile, ReadsLayoutImagesInfoAndColour) {
    TSkinFile file;
    file.Layout.Align = 1;
    file.Layout.Digits = 7;
    file.Layout.DigitHeight = 99;
    file.Layout.Overlay = 1;
    file.Layout.X = 4;
    file.Layout.Y = 5;
    file.Info = InfoBlock("http://skins.example/", "Ann", "Blue");
    file.Colour = 0x00ABCDEF;
    TSkin skin;
    ASSERT_TRUE(Load(skin, file.Bytes()));
    EXPECT_TRUE(skin.IsComplete());
    EXPECT_EQ(skin.Layout().Align, 1);
    EXPECT_EQ(skin.Layout().Digits, 7);
    EXPECT_EQ(skin.Layout().DigitHeight, 14) << "replaced by the height of digit 0";
    EXPECT_EQ(skin.Layout().Overlay, 1);
    EXPECT_EQ(skin.Info().URL(), "http://skins.example/");
    EXPECT_EQ(skin.Info().Author(), "Ann");
    EXPECT_EQ(skin.Info().Name(), "Blue");
    EXPECT_EQ(skin.BackColor(), 0x00ABCDEFu);
    // Digit 0's size comes last among the sizes but its image second: each image keeps its bytes.
    TSkinImages images = skin.SaveToStreams();
    for (int i = 0; i < SkinImageCount; ++i) EXPECT_EQ(images[size_t(i)]->Bytes(), file.Images[size_t(i)]) << i;
}

TEST(SkinFile, DefaultsWhenInfoAndColourAreMissingOrEmpty) {
    TSkinFile file;
    TSkin bare;
    ASSERT_TRUE(Load(bare, file.Bytes()));
    EXPECT_EQ(bare.Info().URL(), "http://");
    EXPECT_EQ(bare.Info().Author(), "Unknown author");
    EXPECT_EQ(bare.Info().Name(), "NoName");
    EXPECT_EQ(bare.BackColor(), DigitCorner | 0x02000000u);

    file.Info = InfoBlock("", "", "");
    TSkin empty;
    ASSERT_TRUE(Load(empty, file.Bytes()));
    EXPECT_EQ(empty.Info().Author(), "Unknown author");
    EXPECT_EQ(empty.BackColor(), DigitCorner | 0x02000000u) << "no colour after the block";

    file.Info = InfoBlock("", "Bob", "");
    TSkin partial;
    ASSERT_TRUE(Load(partial, file.Bytes()));
    EXPECT_EQ(partial.Info().URL(), "");
    EXPECT_EQ(partial.Info().Author(), "Bob");
}

TEST(SkinFile, DigitBackColourOfMonochromeAndMissingDigitZero) {
    TSkin none;
    EXPECT_EQ(none.DigitBackColor(), 0xFFFFFFu);
    TSkinFile file;
    TBitmap mono(8, 10, pf1bit);
    mono.FillRect({0, 0, 8, 10}, clBlack);
    file.Images[1] = mono.SaveToBMP();
    TSkin skin;
    ASSERT_TRUE(Load(skin, file.Bytes()));
    EXPECT_EQ(skin.BackColor(), 0x02FFFFFFu);
    EXPECT_EQ(skin.Layout().DigitHeight, 10);
}

TEST(SkinFile, HostileFilesFailAndLeaveTheSkinAsItWas) {
    TSkinFile good;
    good.Layout.Digits = 3;
    TSkin skin;
    ASSERT_TRUE(Load(skin, good.Bytes()));
    EXPECT_FALSE(skin.LoadFromStream(nullptr));

    std::vector<std::vector<uint8_t>> hostile;
    hostile.push_back({});
    hostile.push_back(std::vector<uint8_t>(328, 0)); // one byte short of the sizes
    auto withSizes = [&](auto change) {
        TSkinFile file;
        std::array<int32_t, SkinImageCount> sizes{};
        sizes[0] = int32_t(file.Images[0].size());
        for (int d = 1; d <= 9; ++d) sizes[size_t(d)] = int32_t(file.Images[size_t(1 + d)].size());
        sizes[10] = int32_t(file.Images[1].size());
        change(sizes);
        file.Sizes = sizes;
        hostile.push_back(file.Bytes());
    };
    withSizes([](auto& s) { s[3] = 0; });
    withSizes([](auto& s) { s[10] = -1; });
    withSizes([](auto& s) { s[0] = INT_MIN; });
    withSizes([](auto& s) { s.fill(INT_MAX); }); // the sum needs 64 bits
    withSizes([](auto& s) { s[0] += 1; });       // shifts every image after it
    withSizes([](auto& s) { s[9] += 100000; });  // runs past the end
    std::vector<uint8_t> truncated = good.Bytes();
    truncated.resize(truncated.size() - 10);
    hostile.push_back(truncated);
    TSkinFile notBmp;
    std::fill(notBmp.Images[4].begin(), notBmp.Images[4].end(), 0x55);
    hostile.push_back(notBmp.Bytes());
    TSkinFile huge;
    huge.Images[0] = BackgroundBmp(MaxSkinImageSide + 1, 1);
    hostile.push_back(huge.Bytes());
    TSkinFile tall;
    tall.Images[1] = DigitBmp(0, MaxSkinImageSide + 1);
    hostile.push_back(tall.Bytes());

    for (size_t i = 0; i < hostile.size(); ++i) {
        EXPECT_FALSE(Load(skin, hostile[i])) << "case " << i;
        EXPECT_TRUE(skin.IsComplete());
        EXPECT_EQ(skin.Layout().Digits, 3) << "case " << i;
    }
}

TEST(SkinDigits, PadsToTheMinimumAndNeverBeyondTheLimit) {
    EXPECT_EQ(TSkin::FormatDigits(220608, 6), "220608");
    EXPECT_EQ(TSkin::FormatDigits(220608, 8), "00220608");
    EXPECT_EQ(TSkin::FormatDigits(5, 6), "000005");
    EXPECT_EQ(TSkin::FormatDigits(1234567, 3), "1234567");
    EXPECT_EQ(TSkin::FormatDigits(7, -4), "7");
    EXPECT_EQ(TSkin::FormatDigits(7, INT_MAX).size(), size_t(MaxSkinDigits));
}

TEST(SkinRender, StripAppendedBelowAndCentredWithHalvesToEven) {
    TSkinFile file = UniformSkin();
    TBitmap image = Rendered(file, 220608);
    ASSERT_EQ(image.Width(), 81);
    ASSERT_EQ(image.Height(), 63);
    EXPECT_EQ(image.PixelFormat(), pf24bit);
    EXPECT_EQ(image.Pixel(40, 48), BackgroundColour);
    const int row = 49 + 5;
    // Offset = round(81 / 2 - (5 + 3) * 6 / 2) = round(16.5) = 16.
    const int digits[] = {2, 2, 0, 6, 0, 8};
    for (int i = 0; i < 6; ++i) {
        int left = 16 + 8 * i;
        EXPECT_EQ(image.Pixel(left, row), DigitColour(digits[i])) << i;
        EXPECT_EQ(image.Pixel(left + 4, row), DigitColour(digits[i])) << i;
        EXPECT_EQ(image.Pixel(left + 5, row), StripBack) << i;
    }
    EXPECT_EQ(image.Pixel(15, row), StripBack);
}

TEST(SkinRender, LeftRightAndUnknownAlignment) {
    TSkinFile file = UniformSkin();
    file.Layout.Align = 0;
    TBitmap left = Rendered(file, 5);
    EXPECT_EQ(left.Pixel(0, 55), DigitColour(0));
    EXPECT_EQ(left.Pixel(40, 55), DigitColour(5));
    EXPECT_EQ(left.Pixel(45, 55), StripBack);

    file.Layout.Align = 1;
    TBitmap right = Rendered(file, 5);
    EXPECT_EQ(right.Pixel(80, 55), DigitColour(5)) << "the last digit ends at the right edge";
    EXPECT_EQ(right.Pixel(76, 55), DigitColour(5));
    EXPECT_EQ(right.Pixel(75, 55), StripBack);
    EXPECT_EQ(right.Pixel(68, 55), DigitColour(0));

    file.Layout.Align = 3;
    TBitmap none = Rendered(file, 888888);
    for (int x = 0; x < 81; ++x)
        for (int y = 49; y < 63; ++y) ASSERT_EQ(none.Pixel(x, y), StripBack) << x << "," << y;
}

TEST(SkinRender, OverlayDrawsTheStripOnTheBackground) {
    TSkinFile file = UniformSkin();
    file.Layout.Overlay = 1;
    file.Layout.X = 10;
    file.Layout.Y = 20;
    file.Layout.StripWidth = 60;
    TBitmap image = Rendered(file, 220608);
    ASSERT_EQ(image.Width(), 81);
    ASSERT_EQ(image.Height(), 49);
    EXPECT_EQ(image.Pixel(9, 25), BackgroundColour);
    EXPECT_EQ(image.Pixel(10, 25), StripBack);
    EXPECT_EQ(image.Pixel(16, 25), DigitColour(2)); // offset round(30 - 24) = 6
    EXPECT_EQ(image.Pixel(70, 25), BackgroundColour);
    EXPECT_EQ(image.Pixel(20, 19), BackgroundColour);
    EXPECT_EQ(image.Pixel(20, 34), BackgroundColour);

    // A strip as wide as the background keeps its place and centring; its right end is cut.
    file.Layout.StripWidth = 81;
    TBitmap wide = Rendered(file, 220608);
    EXPECT_EQ(wide.Pixel(9, 25), BackgroundColour);
    EXPECT_EQ(wide.Pixel(10, 25), StripBack);
    EXPECT_EQ(wide.Pixel(26, 25), DigitColour(2)); // offset round(40.5 - 24) = 16
    EXPECT_EQ(wide.Pixel(80, 25), StripBack);
}

TEST(SkinRender, HostileLayoutsStayInsideTheirBitmaps) {
    const TSkinLayout layouts[] = {
        {2, INT_MAX, INT_MAX, INT_MIN, 1, INT_MIN, INT_MAX, INT_MAX},
        {0, INT_MAX, 5, INT_MAX, 1, INT_MAX, INT_MIN, INT_MIN},
        {1, 1000, -3, -50, 1, -7, -50, 500},
        {2, INT_MAX, INT_MAX, 0, 0, INT_MAX, 0, INT_MAX},
        {1, 40, 14, 0, 0, INT_MIN, 0, 0},
        {0, -5, 14, 0, 7, -100, 0, 81},
    };
    for (const TSkinLayout& layout : layouts) {
        TSkinFile file = UniformSkin();
        file.Layout = layout;
        TBitmap image = Rendered(file, INT_MAX);
        EXPECT_EQ(image.Width(), 81);
        EXPECT_EQ(image.Height(), layout.Overlay ? 49 : 63);
    }
    // A strip past the edges of the background is cut off there, never moved.
    TSkinFile file = UniformSkin();
    file.Layout = {0, 1, 14, 500, 1, 0, 500, 20};
    TBitmap outside = Rendered(file, 0);
    EXPECT_EQ(outside.Pixel(61, 35), BackgroundColour);
    EXPECT_EQ(outside.Pixel(80, 48), BackgroundColour);
    file.Layout = {0, 1, 14, 70, 1, 0, 40, 20};
    TBitmap clipped = Rendered(file, 0);
    EXPECT_EQ(clipped.Pixel(70, 40), DigitColour(0));
    EXPECT_EQ(clipped.Pixel(80, 48), StripBack);
    EXPECT_EQ(clipped.Pixel(69, 40), BackgroundColour);
}

TEST(SkinRender, IncompleteOrUnreadableSkinsShowThePlaceholder) {
    TSkin empty;
    TBitmap placeholder = empty.GetImage();
    EXPECT_EQ(placeholder.Width(), 81);
    EXPECT_EQ(placeholder.Height(), 100);
    EXPECT_EQ(placeholder.PixelFormat(), pf24bit);
    EXPECT_EQ(placeholder.Pixel(0, 0), clBlack);
    bool white = false;
    for (int x = 30; x < 81; ++x)
        for (int y = 30; y < 45; ++y) white = white || placeholder.Pixel(x, y) == clWhite;
    EXPECT_TRUE(white) << "the text is drawn";

    TSkinFile file;
    TSkin stored;
    ASSERT_TRUE(Load(stored, file.Bytes()));
    TSkinImages images = stored.SaveToStreams();
    images[7] = std::make_unique<TMemoryStream>(std::vector<uint8_t>{'B', 'M', 1, 2, 3});
    stored.SetStreams(images);
    EXPECT_TRUE(stored.IsComplete());
    stored.SetValue(666);
    EXPECT_EQ(stored.GetImage().Height(), 100);
    stored.SetValue(111);
    EXPECT_EQ(stored.GetImage().Height(), 63) << "digit 6 is not needed for 000111";

    images[3].reset();
    stored.SetStreams(images);
    EXPECT_FALSE(stored.IsComplete());
}
