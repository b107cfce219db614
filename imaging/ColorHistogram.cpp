// Histogram colour reduction over bottom-up 24-bit rows, converting in place to 8-bit indices.
#include "imaging/ColorHistogram.h"

#include <algorithm>
#include <cstdlib>

#include "platform/Exception.h"

namespace {

constexpr int PaletteEntries = 256;
constexpr uint8_t UnusedGrey = 128;
constexpr int32_t DistanceBound = 0x30000; // above the largest distance 3 x 255^2

struct TRowGeometry {
    int Width = 0;
    int Height = 0;
    size_t SourceRow = 0; // padded bytes of a 24-bit row
    size_t DestRow = 0;   // padded bytes of an 8-bit row
};

TRowGeometry Geometry(const TBitmapInfoHeader& header) {
    TRowGeometry g;
    g.Width = std::max(header.Width, 0);
    g.Height = std::abs(header.Height);
    g.SourceRow = (size_t(g.Width) * 3 + 3) & ~size_t(3);
    g.DestRow = (size_t(g.Width) + 3) & ~size_t(3);
    return g;
}

void CheckRows(const TRowGeometry& g, size_t available, size_t rowBytes) {
    if (uint64_t(rowBytes) * uint64_t(g.Height) > available) throw Exception("Pixel rows shorter than the image");
}

// Slot holding this masked colour, or the empty slot where it belongs.
int Probe(const TColorHistogram& h, uint8_t r, uint8_t g, uint8_t b) {
    int slot = ColorHash(r, g, b);
    while (h.Heads[size_t(slot)] != EmptySlot) {
        const THistogramEntry& e = h.Entries[h.Heads[size_t(slot)]];
        if (e.Red == r && e.Green == g && e.Blue == b) break;
        slot = slot == HistogramSlots - 1 ? 0 : slot + 1;
    }
    return slot;
}

// One coarsening step: the mask chosen by comparing the masks as unsigned bytes.
void CoarsenMasks(uint8_t& redMask, uint8_t& greenMask, uint8_t& blueMask) {
    auto shift = [](uint8_t& mask) { mask = uint8_t(mask << 1); };
    if (redMask < greenMask)
        shift(greenMask);
    else if (redMask > blueMask)
        shift(redMask);
    else
        shift(blueMask);
}

int NearestPaletteEntry(const THistogramEntry& e, std::span<const uint8_t> palette, int colorCount) {
    int best = 0;
    int32_t bestDistance = DistanceBound;
    for (int i = 0; i < colorCount; ++i) {
        size_t at = size_t(i) * 4;
        int32_t db = int32_t(e.Blue) - palette[at];
        int32_t dg = int32_t(e.Green) - palette[at + 1];
        int32_t dr = int32_t(e.Red) - palette[at + 2];
        int32_t d = db * db + dg * dg + dr * dr;
        if (d < bestDistance) {
            bestDistance = d;
            best = i;
        }
    }
    return best;
}

} // namespace

int ColorHash(uint8_t red, uint8_t green, uint8_t blue) {
    uint32_t r = red, g = green, b = blue;
    return int(((r + g) * (g + b) * (b + r)) % uint32_t(HistogramSlots));
}

std::unique_ptr<TColorHistogram> NewColorHistogram(uint8_t redMask, uint8_t greenMask, uint8_t blueMask) {
    auto histogram = std::make_unique<TColorHistogram>();
    ResetColorHistogram(*histogram, redMask, greenMask, blueMask);
    return histogram;
}

void ResetColorHistogram(TColorHistogram& histogram, uint8_t redMask, uint8_t greenMask, uint8_t blueMask) {
    histogram.Count = 0;
    histogram.RedMask = redMask;
    histogram.GreenMask = greenMask;
    histogram.BlueMask = blueMask;
    histogram.Heads.fill(EmptySlot);
}

void FreeColorHistogram(std::unique_ptr<TColorHistogram>& histogram) { histogram.reset(); }

bool CountColors(TColorHistogram& h, const TBitmapInfoHeader& header, std::span<const uint8_t> source) {
    const TRowGeometry g = Geometry(header);
    CheckRows(g, source.size(), g.SourceRow);
    for (int y = 0; y < g.Height; ++y) {
        const uint8_t* p = source.data() + size_t(y) * g.SourceRow;
        for (int x = 0; x < g.Width; ++x, p += 3) {
            uint8_t b = p[0] & h.BlueMask, gr = p[1] & h.GreenMask, r = p[2] & h.RedMask;
            int slot = Probe(h, r, gr, b);
            uint16_t head = h.Heads[size_t(slot)];
            if (head != EmptySlot) {
                ++h.Entries[head].PixelCount;
                continue;
            }
            if (h.Count == HistogramCapacity) return false;
            THistogramEntry& e = h.Entries[size_t(h.Count)];
            e = THistogramEntry{b, gr, r, 1, 0};
            h.Heads[size_t(slot)] = uint16_t(h.Count);
            ++h.Count;
        }
    }
    return true;
}

void SelectHistogramPalette(TColorHistogram& h, std::span<uint8_t> palette, int colorCount) {
    int i = 0;
    for (; i < colorCount && i < h.Count; ++i) {
        int pick = 0;
        for (int k = 1; k < h.Count; ++k)
            if (h.Entries[size_t(k)].PixelCount > h.Entries[size_t(pick)].PixelCount) pick = k;
        THistogramEntry& e = h.Entries[size_t(pick)];
        e.PaletteIndex = uint8_t(i);
        e.PixelCount = 0;
        SetQuad(palette, i, e.Blue, e.Green, e.Red);
    }
    for (; i < PaletteEntries; ++i) SetQuad(palette, i, UnusedGrey, UnusedGrey, UnusedGrey);
    for (int k = 0; k < h.Count; ++k) {
        THistogramEntry& e = h.Entries[size_t(k)];
        if (e.PixelCount != 0) e.PaletteIndex = uint8_t(NearestPaletteEntry(e, palette, colorCount));
    }
}

void MapHistogramPixels(const TColorHistogram& h, const TBitmapInfoHeader& header, std::span<const uint8_t> source,
                        std::span<uint8_t> dest) {
    const TRowGeometry g = Geometry(header);
    CheckRows(g, source.size(), g.SourceRow);
    CheckRows(g, dest.size(), g.DestRow);
    // Each destination row starts no later than its source row, so in-place writing never
    // overtakes the pixels still to be read.
    for (int y = 0; y < g.Height; ++y) {
        const uint8_t* p = source.data() + size_t(y) * g.SourceRow;
        uint8_t* out = dest.data() + size_t(y) * g.DestRow;
        for (int x = 0; x < g.Width; ++x, p += 3) {
            uint8_t b = p[0] & h.BlueMask, gr = p[1] & h.GreenMask, r = p[2] & h.RedMask;
            uint16_t head = h.Heads[size_t(Probe(h, r, gr, b))];
            *out++ = head == EmptySlot ? 0 : h.Entries[head].PaletteIndex;
        }
    }
}

void HistogramQuantize(const TBitmapInfoHeader& header, std::span<uint8_t> palette, std::span<const uint8_t> source,
                       std::span<uint8_t> dest, int colorCount, uint8_t redMask, uint8_t greenMask, uint8_t blueMask) {
    if (palette.size() < size_t(PaletteEntries) * 4) throw Exception("Palette area too small");
    colorCount = std::clamp(colorCount, 1, PaletteEntries);
    auto histogram = NewColorHistogram(redMask, greenMask, blueMask);
    while (!CountColors(*histogram, header, source)) {
        CoarsenMasks(redMask, greenMask, blueMask);
        ResetColorHistogram(*histogram, redMask, greenMask, blueMask);
    }
    SelectHistogramPalette(*histogram, palette, colorCount);
    MapHistogramPixels(*histogram, header, source, dest);
    FreeColorHistogram(histogram);
}
