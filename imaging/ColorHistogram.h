// Histogram colour reduction: counts the distinct colours of a 24-bit image in a fixed hash
// table, coarsening the channels until they fit, and keeps the most frequent ones as the palette.
// Internal to the image codec; reached through BitmapToDIBStream with cmHistogram.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "imaging/DibHeader.h"

constexpr int HistogramCapacity = 2049;
constexpr int HistogramSlots = 5191;
constexpr uint16_t EmptySlot = 0xFFFF;

struct THistogramEntry {
    uint8_t Blue = 0;
    uint8_t Green = 0;
    uint8_t Red = 0;
    int32_t PixelCount = 0; // 0 once the colour has been taken into the palette
    uint8_t PaletteIndex = 0;
};

struct TColorHistogram {
    int32_t Count = 0;
    uint8_t RedMask = 255;
    uint8_t GreenMask = 255;
    uint8_t BlueMask = 255;
    std::array<THistogramEntry, HistogramCapacity> Entries{}; // in the order first met
    std::array<uint16_t, HistogramSlots> Heads{};
};

// Slot 0..5190 of a masked colour.
int ColorHash(uint8_t red, uint8_t green, uint8_t blue);

std::unique_ptr<TColorHistogram> NewColorHistogram(uint8_t redMask, uint8_t greenMask, uint8_t blueMask);
void ResetColorHistogram(TColorHistogram& histogram, uint8_t redMask, uint8_t greenMask, uint8_t blueMask);
void FreeColorHistogram(std::unique_ptr<TColorHistogram>& histogram);

// Counts every pixel of the 24-bit rows; false as soon as a colour finds the table full.
bool CountColors(TColorHistogram& histogram, const TBitmapInfoHeader& header, std::span<const uint8_t> source);
// Takes the ColorCount most frequent colours into Palette (256 quads, blue, green, red, 0; the
// rest grey 128) and gives every other colour its nearest entry.
void SelectHistogramPalette(TColorHistogram& histogram, std::span<uint8_t> palette, int colorCount);
// Writes one palette index per pixel into 8-bit rows (Dest may be Source itself).
void MapHistogramPixels(const TColorHistogram& histogram, const TBitmapInfoHeader& header,
                        std::span<const uint8_t> source, std::span<uint8_t> dest);

// The whole reduction of the 24-bit image described by Header. Dest may be Source itself;
// Palette must hold 256 quads. ColorCount outside 1..256 is brought into that range.
void HistogramQuantize(const TBitmapInfoHeader& header, std::span<uint8_t> palette, std::span<const uint8_t> source,
                       std::span<uint8_t> dest, int colorCount, uint8_t redMask, uint8_t greenMask, uint8_t blueMask);
