// Median-cut colour reduction over bottom-up 24-bit rows, converting in place to 8-bit indices.
#include "imaging/MedianCut.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <utility>

#include "platform/Exception.h"

namespace {

constexpr int InsertionSortLimit = 8;
constexpr int BlackLimit = 16; // entries no brighter than this in every channel become black

uint8_t CellKey(const TMedianCutState& state, int cell, int channel) {
    const TColorCell& c = state.Cells[size_t(cell)];
    return channel == 0 ? c.Red : channel == 1 ? c.Green : c.Blue;
}

int CellNumber(const uint8_t* pixel) { return ((pixel[2] >> 4) << 8) | ((pixel[1] >> 4) << 4) | (pixel[0] >> 4); }

// Box with two or more cells and the largest extent; ties to the lower box, then red, green, blue.
bool ChooseBox(const TMedianCutState& state, int boxCount, int& box, int& channel) {
    int best = -1;
    for (int b = 0; b < boxCount; ++b) {
        const TColorBox& candidate = state.Boxes[size_t(b)];
        if (candidate.CellCount < 2) continue;
        for (int ch = 0; ch < 3; ++ch) {
            if (candidate.Extent[size_t(ch)] > best) {
                best = candidate.Extent[size_t(ch)];
                box = b;
                channel = ch;
            }
        }
    }
    return best >= 0;
}

void SplitBox(TMedianCutState& state, int boxIndex, int channel, int newIndex) {
    TColorBox& box = state.Boxes[size_t(boxIndex)];
    const int count = box.CellCount;
    std::span<int> sorted(state.SortBuffer.data(), size_t(count));
    int cell = box.FirstCell;
    for (int i = 0; i < count; ++i, cell = state.Cells[size_t(cell)].Next) sorted[size_t(i)] = cell;
    SortCells(state, sorted, channel);
    for (int i = 0; i + 1 < count; ++i) state.Cells[size_t(sorted[size_t(i)])].Next = sorted[size_t(i) + 1];
    state.Cells[size_t(sorted[size_t(count) - 1])].Next = NoCell;
    box.FirstCell = sorted[0];

    const int32_t half = box.PixelCount / 2;
    int firstPart = 1;
    int32_t sum = state.Cells[size_t(sorted[0])].PixelCount;
    while (firstPart < count - 1 && sum + state.Cells[size_t(sorted[size_t(firstPart)])].PixelCount <= half) {
        sum += state.Cells[size_t(sorted[size_t(firstPart)])].PixelCount;
        ++firstPart;
    }

    TColorBox& added = state.Boxes[size_t(newIndex)];
    added.FirstCell = sorted[size_t(firstPart)];
    added.CellCount = count - firstPart;
    added.PixelCount = box.PixelCount - sum;
    state.Cells[size_t(sorted[size_t(firstPart) - 1])].Next = NoCell;
    box.CellCount = firstPart;
    box.PixelCount = sum;

    // Bounds in 8-bit arithmetic on the 0..255 scale.
    const uint8_t lo = uint8_t(CellKey(state, sorted[size_t(firstPart) - 1], channel) * 16);
    const uint8_t hi = uint8_t(CellKey(state, sorted[size_t(firstPart)], channel) * 16);
    added.Low = box.Low;
    added.Extent = box.Extent;
    const size_t ch = size_t(channel);
    added.Extent[ch] = uint8_t(box.Low[ch] + box.Extent[ch] - hi);
    added.Low[ch] = hi;
    box.Extent[ch] = uint8_t(lo - box.Low[ch]);
}

void MakeBoxColor(TMedianCutState& state, int boxIndex, std::span<uint8_t> palette) {
    const TColorBox& box = state.Boxes[size_t(boxIndex)];
    int32_t red = 0, green = 0, blue = 0;
    for (int cell = box.FirstCell; cell != NoCell; cell = state.Cells[size_t(cell)].Next) {
        TColorCell& c = state.Cells[size_t(cell)];
        c.BoxNumber = uint8_t(boxIndex);
        red += c.Red;
        green += c.Green;
        blue += c.Blue;
    }
    const int32_t n = std::max(box.CellCount, 1);
    red = (16 * red + 15) / n;
    green = (16 * green + 15) / n;
    blue = (16 * blue + 15) / n;
    if (red <= BlackLimit && green <= BlackLimit && blue <= BlackLimit) red = green = blue = 0;
    SetQuad(palette, boxIndex, uint8_t(blue), uint8_t(green), uint8_t(red));
}

} // namespace

void InsertionSortCells(const TMedianCutState& state, std::span<int> references, int channel) {
    for (size_t k = 1; k < references.size(); ++k) {
        const int x = references[k];
        const uint8_t key = CellKey(state, x, channel);
        size_t j = k;
        // Moving past equal keys too puts the element in front of them.
        while (j > 0 && CellKey(state, references[j - 1], channel) >= key) {
            references[j] = references[j - 1];
            --j;
        }
        references[j] = x;
    }
}

void SortCells(const TMedianCutState& state, std::span<int> references, int channel) {
    const int count = int(references.size());
    if (count < InsertionSortLimit) {
        InsertionSortCells(state, references, channel);
        return;
    }
    const uint8_t pivot = CellKey(state, references[size_t(count / 2)], channel);
    int i = -1;
    int j = count;
    for (;;) {
        do ++i;
        while (i < count - 1 && CellKey(state, references[size_t(i)], channel) < pivot);
        do --j;
        while (j > 0 && CellKey(state, references[size_t(j)], channel) > pivot);
        if (j <= i) break;
        std::swap(references[size_t(i)], references[size_t(j)]);
    }
    if (i <= 0 || i >= count) { // cannot happen with a pivot taken from the range; never recurse forever
        InsertionSortCells(state, references, channel);
        return;
    }
    SortCells(state, references.first(size_t(i)), channel);
    SortCells(state, references.subspan(size_t(i)), channel);
}

int SplitColorBoxes(TMedianCutState& state, int colorCount, int& boxCount) {
    while (boxCount < colorCount) {
        int box = 0, channel = 0;
        if (!ChooseBox(state, boxCount, box, channel)) break;
        SplitBox(state, box, channel, boxCount);
        ++boxCount;
    }
    return 1;
}

int MedianCutQuantize(const TBitmapInfoHeader& header, std::span<const uint8_t> source, std::span<uint8_t> dest,
                      int& colorCount, std::span<uint8_t> palette) {
    const int width = std::max(header.Width, 0);
    const int height = std::abs(header.Height);
    const size_t sourceRow = ((size_t(width) * 24 + 31) / 32) * 4;
    const size_t destRow = ((size_t(width) * 8 + 31) / 32) * 4;
    if (sourceRow * size_t(height) > source.size() || destRow * size_t(height) > dest.size() ||
        palette.size() < size_t(MaxColorBoxes) * 4)
        throw Exception("Pixel rows shorter than the image");
    colorCount = std::clamp(colorCount, 1, MaxColorBoxes);

    auto state = std::make_unique<TMedianCutState>();
    std::vector<uint16_t> pixelCells(size_t(width) * size_t(height));
    for (int n = 0; n < ColorCellCount; ++n)
        state->Cells[size_t(n)] = TColorCell{uint8_t(n >> 8), uint8_t((n >> 4) & 15), uint8_t(n & 15), 0, 0, NoCell};

    size_t pixel = 0;
    for (int y = 0; y < height; ++y) {
        const uint8_t* p = source.data() + size_t(y) * sourceRow;
        for (int x = 0; x < width; ++x, p += 3) {
            const int cell = CellNumber(p);
            ++state->Cells[size_t(cell)].PixelCount;
            pixelCells[pixel++] = uint16_t(cell);
        }
    }

    for (TColorBox& box : state->Boxes) box = TColorBox{{0, 0, 0}, {255, 255, 255}, 0, 0, NoCell};
    TColorBox& first = state->Boxes[0];
    int last = NoCell;
    for (int n = 0; n < ColorCellCount; ++n) {
        if (state->Cells[size_t(n)].PixelCount <= 0) continue;
        if (last == NoCell)
            first.FirstCell = n;
        else
            state->Cells[size_t(last)].Next = n;
        last = n;
        ++first.CellCount;
    }
    first.PixelCount = int32_t(int64_t(width) * height);
    int boxCount = 1;

    SplitColorBoxes(*state, colorCount, boxCount);
    for (int i = boxCount; i < colorCount; ++i) SetQuad(palette, i, 0, 0, 0);
    for (int b = 0; b < boxCount; ++b) MakeBoxColor(*state, b, palette);

    std::fill_n(dest.begin(), destRow * size_t(height), uint8_t(0));
    pixel = 0;
    for (int y = 0; y < height; ++y) {
        uint8_t* out = dest.data() + size_t(y) * destRow;
        for (int x = 0; x < width; ++x) out[x] = state->Cells[pixelCells[pixel++]].BoxNumber;
    }
    colorCount = boxCount;
    return 0;
}
