// Histogram colour reduction: palette order and ties, the grey fill, hash slots, the table
// capacity with its coarsening order, and a model comparison on random images.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <tuple>

#include "imaging/ColorHistogram.h"
#include "imaging/GraphConv.h"

namespace {

constexpr size_t RowsAt8 = 1078;

std::array<uint8_t, 4> Quad(const std::vector<uint8_t>& s, int i) {
    size_t at = 54 + size_t(i) * 4;
    return {s[at], s[at + 1], s[at + 2], s[at + 3]};
}

// A 24-bit image given as rows in memory order (bottom row first), reduced through the codec.
struct TReduced {
    std::vector<uint8_t> Stream;
    int Width;
    uint8_t Index(int x, int memoryRow) const {
        return Stream[RowsAt8 + size_t(memoryRow) * ((size_t(Width) + 3) & ~size_t(3)) + size_t(x)];
    }
};

TReduced Reduce(const TBitmap& b) { return {BitmapToDIBStream(b, pf8bit, cmHistogram), b.Width()}; }

// Straightforward model of the reduction: masks coarsened until the distinct colours fit,
// palette by falling count with ties to the colour met first, the rest to the nearest entry.
struct TModel {
    uint8_t RedMask = 255, GreenMask = 255, BlueMask = 255;
    std::vector<TColor> Palette;
    std::map<TColor, int> IndexOf;

    explicit TModel(const TBitmap& b) {
        std::vector<TColor> order;
        std::map<TColor, int> counts;
        for (;;) {
            order.clear();
            counts.clear();
            for (int mr = 0; mr < b.Height(); ++mr)
                for (int x = 0; x < b.Width(); ++x) {
                    TColor c = Masked(b.Pixel(x, b.Height() - 1 - mr));
                    if (counts[c]++ == 0) order.push_back(c);
                }
            if (order.size() <= 2049) break;
            if (RedMask < GreenMask)
                GreenMask = uint8_t(GreenMask << 1);
            else if (RedMask > BlueMask)
                RedMask = uint8_t(RedMask << 1);
            else
                BlueMask = uint8_t(BlueMask << 1);
        }
        std::map<TColor, int> remaining = counts;
        for (size_t i = 0; i < 256 && i < order.size(); ++i) {
            TColor pick = order[0];
            for (TColor c : order)
                if (remaining[c] > remaining[pick]) pick = c;
            remaining[pick] = 0;
            IndexOf[pick] = int(i);
            Palette.push_back(pick);
        }
        for (TColor c : order) {
            if (IndexOf.count(c)) continue;
            int best = 0, bestD = 1 << 30;
            for (size_t i = 0; i < Palette.size(); ++i) {
                int dr = GetRValue(c) - GetRValue(Palette[i]), dg = GetGValue(c) - GetGValue(Palette[i]),
                    db = GetBValue(c) - GetBValue(Palette[i]);
                int d = dr * dr + dg * dg + db * db;
                if (d < bestD) {
                    bestD = d;
                    best = int(i);
                }
            }
            IndexOf[c] = best;
        }
    }
    TColor Masked(TColor c) const {
        return RGBColor(GetRValue(c) & RedMask, GetGValue(c) & GreenMask, GetBValue(c) & BlueMask);
    }
};

void ExpectMatchesModel(const TBitmap& b) {
    TModel model(b);
    TReduced r = Reduce(b);
    for (int i = 0; i < 256; ++i) {
        std::array<uint8_t, 4> q = Quad(r.Stream, i);
        if (size_t(i) < model.Palette.size()) {
            TColor c = model.Palette[size_t(i)];
            ASSERT_EQ(q, (std::array<uint8_t, 4>{GetBValue(c), GetGValue(c), GetRValue(c), 0})) << i;
            ASSERT_EQ(q[0] & model.BlueMask, q[0]);
            ASSERT_EQ(q[1] & model.GreenMask, q[1]);
            ASSERT_EQ(q[2] & model.RedMask, q[2]);
        } else {
            ASSERT_EQ(q, (std::array<uint8_t, 4>{128, 128, 128, 0})) << i;
        }
    }
    for (int mr = 0; mr < b.Height(); ++mr)
        for (int x = 0; x < b.Width(); ++x)
            ASSERT_EQ(r.Index(x, mr), model.IndexOf.at(model.Masked(b.Pixel(x, b.Height() - 1 - mr))))
                << x << "," << mr;
}

} // namespace

TEST(ColorHistogram, TiesGoToTheColourMetFirstFromTheBottomRow) {
    TBitmap b(2, 2);
    b.SetPixel(0, 1, clRed); // bottom row: red, blue
    b.SetPixel(1, 1, clBlue);
    b.SetPixel(0, 0, clBlue); // top row: blue, red
    b.SetPixel(1, 0, clRed);
    TReduced r = Reduce(b);
    // As an R, G, B colour table: FF 00 00, 00 00 FF, 80 80 80, ...
    std::vector<uint8_t> rgb;
    for (int i = 0; i < 3; ++i) {
        std::array<uint8_t, 4> q = Quad(r.Stream, i);
        for (int c : {2, 1, 0}) rgb.push_back(q[size_t(c)]);
    }
    EXPECT_EQ(rgb, (std::vector<uint8_t>{0xFF, 0, 0, 0, 0, 0xFF, 0x80, 0x80, 0x80}));
    EXPECT_EQ(r.Index(0, 0), 0);
    EXPECT_EQ(r.Index(1, 0), 1);
    EXPECT_EQ(r.Index(0, 1), 1);
    EXPECT_EQ(r.Index(1, 1), 0);
}

TEST(ColorHistogram, PaletteByFallingCountThenGrey) {
    TBitmap b(5, 1);
    b.FillRect({0, 0, 5, 1}, clWhite);
    b.SetPixel(0, 0, clBlue);
    b.SetPixel(4, 0, clRed);
    TReduced r = Reduce(b);
    EXPECT_EQ(Quad(r.Stream, 0), (std::array<uint8_t, 4>{255, 255, 255, 0}));
    EXPECT_EQ(Quad(r.Stream, 1), (std::array<uint8_t, 4>{255, 0, 0, 0}));
    EXPECT_EQ(Quad(r.Stream, 2), (std::array<uint8_t, 4>{0, 0, 255, 0}));
    for (int i = 3; i < 256; ++i) ASSERT_EQ(Quad(r.Stream, i), (std::array<uint8_t, 4>{128, 128, 128, 0}));
    EXPECT_EQ(r.Index(0, 0), 1);
    EXPECT_EQ(r.Index(2, 0), 0);
    EXPECT_EQ(r.Index(4, 0), 2);
}

TEST(ColorHistogram, BlackAndThePrimariesShareSlotZeroAndProbeOnwards) {
    EXPECT_EQ(ColorHash(0, 0, 0), 0);
    EXPECT_EQ(ColorHash(255, 0, 0), 0);
    EXPECT_EQ(ColorHash(0, 255, 0), 0);
    EXPECT_EQ(ColorHash(0, 0, 255), 0);
    EXPECT_EQ(ColorHash(1, 2, 3), (3 * 5 * 4) % 5191);
    EXPECT_EQ(ColorHash(255, 255, 255), int((510u * 510u * 510u) % 5191u));

    TBitmap b(4, 1);
    b.SetPixel(0, 0, clBlack);
    b.SetPixel(1, 0, clRed);
    b.SetPixel(2, 0, RGBColor(0, 255, 0));
    b.SetPixel(3, 0, clBlue);
    TBitmapInfoHeader header;
    header.Width = 4;
    header.Height = 1;
    header.BitCount = 24;
    std::span<const uint8_t> rows = b.Bits();
    auto h = NewColorHistogram(255, 255, 255);
    ASSERT_TRUE(CountColors(*h, header, rows));
    EXPECT_EQ(h->Count, 4);
    for (uint16_t slot = 0; slot < 4; ++slot) EXPECT_EQ(h->Heads[slot], slot);
    EXPECT_EQ(h->Entries[1].Red, 255);
    FreeColorHistogram(h);
    EXPECT_EQ(h, nullptr);
}

TEST(ColorHistogram, TheTableHolds2049ColoursAndThe2050thCoarsensBlueThenRed) {
    auto colourOf = [](int i) { return RGBColor(uint8_t(i % 256), uint8_t(i / 256), 1); };
    TBitmap fits(2049, 1);
    for (int i = 0; i < 2049; ++i) fits.SetPixel(i, 0, colourOf(i));
    TBitmapInfoHeader header;
    header.Width = 2049;
    header.Height = 1;
    auto h = NewColorHistogram(255, 255, 255);
    EXPECT_TRUE(CountColors(*h, header, fits.Bits()));
    EXPECT_EQ(h->Count, 2049);

    TBitmap over(2050, 1);
    for (int i = 0; i < 2050; ++i) over.SetPixel(i, 0, colourOf(i));
    header.Width = 2050;
    ResetColorHistogram(*h, 255, 255, 255);
    EXPECT_FALSE(CountColors(*h, header, over.Bits()));

    // Blue 254 alone leaves 2050 colours (blue was 1 everywhere); red 254 then halves them.
    TReduced r = Reduce(over);
    bool oddGreen = false;
    for (int i = 0; i < 256; ++i) {
        std::array<uint8_t, 4> q = Quad(r.Stream, i);
        EXPECT_EQ(q[0], 0) << i;
        EXPECT_EQ(q[2] & 1, 0) << i;
        oddGreen |= (q[1] & 1) != 0;
    }
    EXPECT_TRUE(oddGreen);
    ExpectMatchesModel(over);
}

TEST(ColorHistogram, WhiteCountedUnderCoarseMasksIsStoredMasked) {
    std::mt19937 rng(3);
    TBitmap b(64, 64);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) b.SetPixel(x, y, rng() & 0xFFFFFF);
    b.FillRect({0, 0, 64, 8}, clWhite); // the most frequent colour
    TReduced r = Reduce(b);
    std::array<uint8_t, 4> first = Quad(r.Stream, 0);
    EXPECT_LT(first[0], 255); // blue is the first channel to be coarsened
    TModel model(b);
    EXPECT_EQ(first, (std::array<uint8_t, 4>{model.BlueMask, model.GreenMask, model.RedMask, 0}));
    ExpectMatchesModel(b);
}

TEST(ColorHistogram, RandomImagesMatchTheModel) {
    std::mt19937 rng(42);
    for (int round = 0; round < 12; ++round) {
        int w = 1 + int(rng() % 70), h = 1 + int(rng() % 70);
        int palette = 1 + int(rng() % (round < 6 ? 300 : 6000));
        std::vector<TColor> colours(static_cast<size_t>(palette));
        for (TColor& c : colours) c = rng() & 0xFFFFFF;
        TBitmap b(w, h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) b.SetPixel(x, y, colours[rng() % colours.size()]);
        SCOPED_TRACE(round);
        ExpectMatchesModel(b);
    }
}
