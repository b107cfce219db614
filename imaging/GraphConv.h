// Conversion of a bitmap into an in-memory BMP file of 1, 4, 8 or 24 bits, reducing its colours
// to an 8-bit palette by one of six methods. The GIF encoder's way from pixels to indices.
#pragma once

#include <array>
#include <cstdint>
#include <climits>
#include <span>
#include <vector>

#include "imaging/DibHeader.h"
#include "platform/Bitmap.h"

enum TColorMapping : uint8_t {
    cmHistogram,     // most frequent colours
    cmMedianCut,     // one mean colour per median-cut box
    cmFixed784,      // 7 red x 8 green x 4 blue levels
    cmFixed666,      // 6 x 6 x 6 levels
    cmChannelMosaic, // ramps of pure red, green, blue in turn across the pixels
    cmGrayscale      // 256 greys
};

// The method used when a caller does not name one; read at every call, never assigned here.
extern TColorMapping DefaultColorMapping;

// The bitmap as a whole BMP file (file header, 40-byte info header, 2^bits palette quads for up
// to 8 bits, bottom-up rows). Raises EInvalidGraphic "Bitmap image is not valid" for an empty
// bitmap; a target other than 1, 4, 8, 24 bits gives the not-implemented report (EAbort).
std::vector<uint8_t> BitmapToDIBStream(const TBitmap& bitmap, TPixelFormat pixelFormat, TColorMapping mapping);
// 1 bit for up to 2 colours, 4 for up to 16, 8 for up to 256, else 24, with DefaultColorMapping.
std::vector<uint8_t> BitmapToDIBStreamByColors(const TBitmap& bitmap, int colorCount);
TPixelFormat BitmapPixelFormat(const TBitmap& bitmap);

// The largest BMP file the conversion makes: its size field is 32 bits, and readers take it
// as signed.
inline constexpr int64_t MaxDIBFileSize = INT32_MAX;

// The pieces of the conversion. Sizes are computed in 64 bits; a bitmap whose BMP file at the
// target bit count would exceed MaxDIBFileSize raises EInvalidGraphic "Bitmap image is too
// large" before anything is allocated.
TBitmapInfoHeader InitDIBInfoHeader(const TBitmap& bitmap, TPixelFormat pixelFormat);
void ComputeDIBSizes(const TBitmap& bitmap, int64_t& headerSize, int64_t& imageSize, TPixelFormat pixelFormat);
// Fills the palette area (bit counts up to 8) and the rows for Header from the bitmap's pixels.
bool ReadDIBBits(const TBitmap& bitmap, const TBitmapInfoHeader& header, std::span<uint8_t> palette,
                 std::span<uint8_t> bits);
// One block: file header, info header, palette, rows.
std::vector<uint8_t> DIBFromBitmap(const TBitmap& bitmap, TPixelFormat pixelFormat);

int64_t ScanlineBytes(int64_t pixels, int bits, int alignment);
int64_t RowBytes32(int64_t bits);
int PixelFormatColors(TPixelFormat pixelFormat);

// Index of the level nearest to Value; a tie keeps the lower level.
int NearestLevel(uint8_t value, std::span<const uint8_t> levels);

extern const std::array<uint8_t, 4> Levels4;
extern const std::array<uint8_t, 6> Levels6;
extern const std::array<uint8_t, 7> Levels7;
extern const std::array<uint8_t, 8> Levels8;
// Nearest-level tables indexed by a component value, built once at start-up.
const std::array<uint8_t, 256>& Nearest4();
const std::array<uint8_t, 256>& Nearest6();
const std::array<uint8_t, 256>& Nearest7();
const std::array<uint8_t, 256>& Nearest8();

// The fixed palettes (256 quads) and their row mappings from 24-bit to 8-bit rows, in place.
void FillPalette784(std::span<uint8_t> palette);
void FillPalette666(std::span<uint8_t> palette);
void FillMosaicPalette(std::span<uint8_t> palette);
void FillGrayPalette(std::span<uint8_t> palette);
void MapRows784(const TBitmapInfoHeader& header, std::span<const uint8_t> source, std::span<uint8_t> dest);
void MapRows666(const TBitmapInfoHeader& header, std::span<const uint8_t> source, std::span<uint8_t> dest);
void MapChannelMosaic(const TBitmapInfoHeader& header, std::span<const uint8_t> source, std::span<uint8_t> dest);
void MapGrayscale(const TBitmapInfoHeader& header, std::span<const uint8_t> source, std::span<uint8_t> dest);
