// Bitmap to in-memory BMP conversion: the driver, the header and size helpers, the fixed
// palettes with their nearest-level tables, and the grey and channel-mosaic mappings.
#include "imaging/GraphConv.h"

#include <algorithm>
#include <cstdlib>

#include "imaging/ColorHistogram.h"
#include "imaging/GfxUtils.h"
#include "imaging/MedianCut.h"

TColorMapping DefaultColorMapping = cmHistogram;

namespace {

constexpr size_t FileHeaderSize = BmpFileHeaderSize;
constexpr size_t InfoHeaderAt = BmpFileHeaderSize;
constexpr size_t PaletteAt = BmpFileHeaderSize + BmpInfoHeaderSize;
constexpr int PaletteBytes256 = 256 * 4;
constexpr uint8_t FixedPaletteFill = 128;
constexpr uint32_t Important784 = 224;
constexpr uint32_t Important666 = 216;

[[noreturn]] void InvalidBitmapError() { throw EInvalidGraphic("Bitmap image is not valid"); }

bool IsTargetFormat(TPixelFormat format) {
    return format == pf1bit || format == pf4bit || format == pf8bit || format == pf24bit;
}

template <size_t N> std::array<uint8_t, 256> BuildNearestTable(const std::array<uint8_t, N>& levels) {
    std::array<uint8_t, 256> table{};
    for (int v = 0; v < 256; ++v) table[size_t(v)] = uint8_t(NearestLevel(uint8_t(v), levels));
    return table;
}

struct TLevelTables {
    std::array<uint8_t, 256> N4, N6, N7, N8;
};

// Built once when the program starts, only read afterwards.
const TLevelTables& BuildLevelTables() {
    static const TLevelTables tables{BuildNearestTable(Levels4), BuildNearestTable(Levels6), BuildNearestTable(Levels7),
                                     BuildNearestTable(Levels8)};
    return tables;
}
const TLevelTables& StartupTables = BuildLevelTables();

void CheckPalette(std::span<uint8_t> palette) {
    if (palette.size() < size_t(PaletteBytes256)) throw Exception("Palette area too small");
}

// Calls RowProc(source row, destination row, width) for every row in memory order; 24-bit
// source rows, 8-bit destination rows, both padded to 4 bytes.
template <typename RowProc>
void MapRowsFixed(const TBitmapInfoHeader& header, std::span<const uint8_t> source, std::span<uint8_t> dest,
                  RowProc rowProc) {
    const int width = std::max(header.Width, 0);
    const int height = std::abs(header.Height);
    const size_t sourceRow = (size_t(width) * 3 + 3) & ~size_t(3);
    const size_t destRow = size_t(RowBytes32(int64_t(width) * 8));
    if (sourceRow * size_t(height) > source.size() || destRow * size_t(height) > dest.size())
        throw Exception("Pixel rows shorter than the image");
    for (int r = 0; r < height; ++r)
        rowProc(source.data() + size_t(r) * sourceRow, dest.data() + size_t(r) * destRow, width, r);
}

std::vector<uint8_t> ConvertTo8Bits(const TBitmap& bitmap, TColorMapping mapping) {
    std::vector<uint8_t> work = DIBFromBitmap(bitmap, pf24bit);
    const TBitmapInfoHeader workHeader = ReadInfoHeader(work, InfoHeaderAt);
    if (workHeader.BitCount != 24) RaiseNotImplemented();
    std::span<uint8_t> rows = std::span<uint8_t>(work).subspan(PaletteAt);

    int64_t headerSize = 0, imageSize = 0;
    ComputeDIBSizes(bitmap, headerSize, imageSize, pf8bit);
    TMemoryBlock head = AllocZeroedBlock(int32_t(int64_t(FileHeaderSize) + headerSize));
    TBitmapInfoHeader header = InitDIBInfoHeader(bitmap, pf8bit);
    std::span<uint8_t> palette = std::span<uint8_t>(head).subspan(PaletteAt, PaletteBytes256);

    switch (mapping) {
    case cmHistogram:
        HistogramQuantize(workHeader, palette, rows, rows, PixelFormatColors(pf8bit), 255, 255, 255);
        break;
    case cmMedianCut: {
        int colors = 256;
        MedianCutQuantize(workHeader, rows, rows, colors, palette);
        header.ClrImportant = uint32_t(colors);
        break;
    }
    case cmFixed784:
        FillPalette784(palette);
        MapRows784(workHeader, rows, rows);
        header.ClrImportant = Important784;
        break;
    case cmFixed666:
        FillPalette666(palette);
        MapRows666(workHeader, rows, rows);
        header.ClrImportant = Important666;
        break;
    case cmChannelMosaic:
        FillMosaicPalette(palette);
        MapChannelMosaic(workHeader, rows, rows);
        break;
    case cmGrayscale:
        FillGrayPalette(palette);
        MapGrayscale(workHeader, rows, rows);
        break;
    default: RaiseNotImplemented();
    }
    WriteInfoHeader(head, InfoHeaderAt, header);
    WriteFileHeader(head, uint32_t(FileHeaderSize + size_t(headerSize) + size_t(imageSize)),
                    uint32_t(FileHeaderSize + size_t(headerSize)));

    std::vector<uint8_t> stream;
    stream.reserve(head.size() + size_t(imageSize));
    stream.insert(stream.end(), head.begin(), head.end());
    stream.insert(stream.end(), rows.begin(), rows.begin() + imageSize);
    return stream;
}

// The colour cube of the given channel levels at entry (r * greens + g) * blues + b, the rest of
// the 256 entries grey.
void FillCubePalette(std::span<uint8_t> palette, std::span<const uint8_t> reds, std::span<const uint8_t> greens,
                     std::span<const uint8_t> blues) {
    CheckPalette(palette);
    std::fill_n(palette.begin(), PaletteBytes256, FixedPaletteFill);
    const int greenCount = int(greens.size()), blueCount = int(blues.size());
    for (int r = 0; r < int(reds.size()); ++r)
        for (int g = 0; g < greenCount; ++g)
            for (int b = 0; b < blueCount; ++b)
                SetQuad(palette, (r * greenCount + g) * blueCount + b, blues[size_t(b)], greens[size_t(g)],
                        reds[size_t(r)]);
}

} // namespace

const std::array<uint8_t, 4> Levels4 = {0, 85, 170, 255};
const std::array<uint8_t, 6> Levels6 = {0, 51, 102, 153, 204, 255};
const std::array<uint8_t, 7> Levels7 = {0, 43, 85, 128, 170, 213, 255};
const std::array<uint8_t, 8> Levels8 = {0, 36, 73, 109, 146, 182, 219, 255};

const std::array<uint8_t, 256>& Nearest4() { return BuildLevelTables().N4; }
const std::array<uint8_t, 256>& Nearest6() { return BuildLevelTables().N6; }
const std::array<uint8_t, 256>& Nearest7() { return BuildLevelTables().N7; }
const std::array<uint8_t, 256>& Nearest8() { return BuildLevelTables().N8; }

int NearestLevel(uint8_t value, std::span<const uint8_t> levels) {
    int best = 0;
    int bestDistance = std::abs(int(value) - int(levels[0]));
    for (size_t i = 1; i < levels.size(); ++i) {
        int distance = std::abs(int(value) - int(levels[i]));
        if (distance < bestDistance) {
            bestDistance = distance;
            best = int(i);
        }
    }
    return best;
}

int64_t ScanlineBytes(int64_t pixels, int bits, int alignment) {
    int64_t total = pixels * bits + alignment - 1;
    total &= ~int64_t(alignment - 1);
    return total / 8;
}

int64_t RowBytes32(int64_t bits) { return ((bits + 31) / 32) * 4; }

int PixelFormatColors(TPixelFormat pixelFormat) {
    switch (pixelFormat) {
    case pf1bit: return 2;
    case pf4bit: return 16;
    case pf8bit: return 256;
    default: return 0;
    }
}

TPixelFormat BitmapPixelFormat(const TBitmap& bitmap) { return bitmap.PixelFormat(); }

TBitmapInfoHeader InitDIBInfoHeader(const TBitmap& bitmap, TPixelFormat pixelFormat) {
    if (bitmap.Empty()) InvalidBitmapError();
    const TDIBHeaderExtras& extras = bitmap.DIBExtras();
    TBitmapInfoHeader header;
    header.Width = bitmap.Width();
    header.Height = bitmap.Height();
    header.XPelsPerMeter = extras.XPelsPerMeter;
    header.YPelsPerMeter = extras.YPelsPerMeter;
    header.ClrImportant = extras.ClrImportant;
    // The palette written always has 2^bits entries; a colour count kept from the bitmap's own
    // header (of another bit count, or a shorter palette) would make readers take a wrong palette.
    header.ClrUsed = 0;
    header.BitCount = uint16_t(IsTargetFormat(pixelFormat) ? PixelFormatBits(pixelFormat) : bitmap.BitCount());
    header.Planes = 1;
    header.Compression = 0;
    const int64_t imageSize = ScanlineBytes(header.Width, header.BitCount, 32) * int64_t(header.Height);
    if (int64_t(FileHeaderSize + BmpInfoHeaderSize) + PaletteBytes256 + imageSize > MaxDIBFileSize)
        throw EInvalidGraphic("Bitmap image is too large");
    header.SizeImage = uint32_t(imageSize);
    return header;
}

void ComputeDIBSizes(const TBitmap& bitmap, int64_t& headerSize, int64_t& imageSize, TPixelFormat pixelFormat) {
    const TBitmapInfoHeader header = InitDIBInfoHeader(bitmap, pixelFormat);
    headerSize = int64_t(BmpInfoHeaderSize) + (header.BitCount <= 8 ? (4 << header.BitCount) : 0);
    imageSize = header.SizeImage;
}

bool ReadDIBBits(const TBitmap& bitmap, const TBitmapInfoHeader& header, std::span<uint8_t> palette,
                 std::span<uint8_t> bits) {
    TPixelFormat format = header.BitCount == 1    ? pf1bit
                          : header.BitCount == 4  ? pf4bit
                          : header.BitCount == 8  ? pf8bit
                          : header.BitCount == 24 ? pf24bit
                                                  : pfCustom;
    if (format == pfCustom || header.Width != bitmap.Width() || std::abs(header.Height) != bitmap.Height())
        return false;
    const TBitmap* source = &bitmap;
    TBitmap converted;
    if (bitmap.PixelFormat() != format) {
        converted = bitmap;
        converted.SetPixelFormat(format);
        source = &converted;
    }
    std::span<const uint8_t> rows = source->Bits();
    if (rows.size() > bits.size() || source->Palette().size() * 4 > palette.size()) return false;
    std::copy(rows.begin(), rows.end(), bits.begin());
    for (size_t i = 0; i < source->Palette().size(); ++i) {
        const TRGBQuad& q = source->Palette()[i];
        SetQuad(palette, int(i), q.Blue, q.Green, q.Red);
    }
    return true;
}

std::vector<uint8_t> DIBFromBitmap(const TBitmap& bitmap, TPixelFormat pixelFormat) {
    if (bitmap.Empty()) InvalidBitmapError();
    int64_t headerSize = 0, imageSize = 0;
    ComputeDIBSizes(bitmap, headerSize, imageSize, pixelFormat);
    const size_t length = FileHeaderSize + size_t(headerSize) + size_t(imageSize);
    TMemoryBlock block = AllocZeroedBlock(int32_t(length));
    WriteFileHeader(block, uint32_t(length), uint32_t(FileHeaderSize + size_t(headerSize)));
    const TBitmapInfoHeader header = InitDIBInfoHeader(bitmap, pixelFormat);
    WriteInfoHeader(block, InfoHeaderAt, header);
    std::span<uint8_t> all(block);
    // A failed read leaves the rows zero, as the format allows.
    ReadDIBBits(bitmap, header, all.subspan(PaletteAt, size_t(headerSize) - BmpInfoHeaderSize),
                all.subspan(FileHeaderSize + size_t(headerSize)));
    return block;
}

std::vector<uint8_t> BitmapToDIBStream(const TBitmap& bitmap, TPixelFormat pixelFormat, TColorMapping mapping) {
    if (bitmap.Empty()) InvalidBitmapError();
    if (BitmapPixelFormat(bitmap) == pixelFormat && mapping != cmGrayscale) return bitmap.SaveToBMP();
    if (!IsTargetFormat(pixelFormat)) RaiseNotImplemented();
    // The colour mappings make 8-bit indices and a 256-entry palette, for which a 24-bit layout
    // has no room: a 24-bit target is a plain copy of the pixels.
    if (pixelFormat != pf8bit) return DIBFromBitmap(bitmap, pixelFormat);
    return ConvertTo8Bits(bitmap, mapping);
}

std::vector<uint8_t> BitmapToDIBStreamByColors(const TBitmap& bitmap, int colorCount) {
    TPixelFormat format = colorCount <= 2 ? pf1bit : colorCount <= 16 ? pf4bit : colorCount <= 256 ? pf8bit : pf24bit;
    return BitmapToDIBStream(bitmap, format, DefaultColorMapping);
}

void FillPalette784(std::span<uint8_t> palette) { FillCubePalette(palette, Levels7, Levels8, Levels4); }

void FillPalette666(std::span<uint8_t> palette) { FillCubePalette(palette, Levels6, Levels6, Levels6); }

void FillMosaicPalette(std::span<uint8_t> palette) {
    CheckPalette(palette);
    std::fill_n(palette.begin(), PaletteBytes256, uint8_t(0));
    for (int i = 0; i < 64; ++i) {
        uint8_t v = uint8_t(4 * i);
        SetQuad(palette, i, 0, 0, v);
        SetQuad(palette, 64 + i, 0, v, 0);
        SetQuad(palette, 128 + i, v, 0, 0);
    }
}

void FillGrayPalette(std::span<uint8_t> palette) {
    CheckPalette(palette);
    for (int i = 0; i < 256; ++i) SetQuad(palette, i, uint8_t(i), uint8_t(i), uint8_t(i));
}

void MapRows784(const TBitmapInfoHeader& header, std::span<const uint8_t> source, std::span<uint8_t> dest) {
    const TLevelTables& t = BuildLevelTables();
    MapRowsFixed(header, source, dest, [&](const uint8_t* src, uint8_t* out, int width, int) {
        for (int x = 0; x < width; ++x, src += 3) out[x] = uint8_t(32 * t.N7[src[2]] + 4 * t.N8[src[1]] + t.N4[src[0]]);
    });
}

void MapRows666(const TBitmapInfoHeader& header, std::span<const uint8_t> source, std::span<uint8_t> dest) {
    const TLevelTables& t = BuildLevelTables();
    MapRowsFixed(header, source, dest, [&](const uint8_t* src, uint8_t* out, int width, int) {
        for (int x = 0; x < width; ++x, src += 3) out[x] = uint8_t(36 * t.N6[src[2]] + 6 * t.N6[src[1]] + t.N6[src[0]]);
    });
}

void MapChannelMosaic(const TBitmapInfoHeader& header, std::span<const uint8_t> source, std::span<uint8_t> dest) {
    MapRowsFixed(header, source, dest, [](const uint8_t* src, uint8_t* out, int width, int row) {
        for (int x = 0; x < width; ++x, src += 3) {
            switch ((x + row) % 3) {
            case 0: out[x] = uint8_t(src[2] / 4); break;
            case 1: out[x] = uint8_t(64 + src[1] / 4); break;
            default: out[x] = uint8_t(128 + src[0] / 4); break;
            }
        }
    });
}

void MapGrayscale(const TBitmapInfoHeader& header, std::span<const uint8_t> source, std::span<uint8_t> dest) {
    MapRowsFixed(header, source, dest, [](const uint8_t* src, uint8_t* out, int width, int) {
        for (int x = 0; x < width; ++x, src += 3) out[x] = uint8_t((77 * src[2] + 150 * src[1] + 29 * src[0]) >> 8);
    });
}
