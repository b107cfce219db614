// Median-cut colour reduction of a 24-bit image to at most 256 colours over a 16 x 16 x 16 colour
// cube. Internal to the image codec; reached through BitmapToDIBStream with cmMedianCut.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "imaging/DibHeader.h"

constexpr int ColorCellCount = 4096;
constexpr int MaxColorBoxes = 256;
constexpr int NoCell = -1;

struct TColorCell {
    uint8_t Red = 0; // 4-bit components 0..15
    uint8_t Green = 0;
    uint8_t Blue = 0;
    uint8_t BoxNumber = 0;
    int32_t PixelCount = 0;
    int Next = NoCell; // next cell of the same box
};

struct TColorBox {
    std::array<uint8_t, 3> Low{};    // red, green, blue on the 0..255 scale
    std::array<uint8_t, 3> Extent{}; // likewise
    int32_t CellCount = 0;
    int32_t PixelCount = 0;
    int FirstCell = NoCell;
};

// The cells and boxes of one reduction; references to cells are cell numbers.
struct TMedianCutState {
    std::array<TColorCell, ColorCellCount> Cells{};
    std::array<TColorBox, MaxColorBoxes> Boxes{};
    std::vector<int> SortBuffer = std::vector<int>(ColorCellCount);
};

// Orders cell references by the cell's component of Channel (0 red, 1 green, 2 blue), ascending,
// with this codec's own quicksort; equal keys end up in the order it leaves them, which decides
// palettes, so no other sort may stand in for it.
void SortCells(const TMedianCutState& state, std::span<int> references, int channel);
void InsertionSortCells(const TMedianCutState& state, std::span<int> references, int channel);

// Splits boxes until BoxCount reaches ColorCount or no box holds two cells. Returns 1.
int SplitColorBoxes(TMedianCutState& state, int colorCount, int& boxCount);

// Reduces the 24-bit image described by Header; Dest may be Source itself. ColorCount: colours
// wanted on entry (brought into 1..256), boxes made on return. Palette holds 256 quads. Returns 0.
int MedianCutQuantize(const TBitmapInfoHeader& header, std::span<const uint8_t> source, std::span<uint8_t> dest,
                      int& colorCount, std::span<uint8_t> palette);
