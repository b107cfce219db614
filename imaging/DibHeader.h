// The BMP file header and 40-byte info header as the conversion code reads and writes them in
// its memory blocks (all integers little-endian). Internal to the image codec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/ByteOrder.h"

// Field offsets of the 14-byte file header.
constexpr size_t BfType = 0;
constexpr size_t BfSize = 2;
constexpr size_t BfOffBits = 10;

struct TBitmapInfoHeader {
    uint32_t Size = 40;
    int32_t Width = 0;
    int32_t Height = 0;
    uint16_t Planes = 1;
    uint16_t BitCount = 0;
    uint32_t Compression = 0;
    uint32_t SizeImage = 0;
    int32_t XPelsPerMeter = 0;
    int32_t YPelsPerMeter = 0;
    uint32_t ClrUsed = 0;
    uint32_t ClrImportant = 0;
};

// Writes palette entry Index as a quad: blue, green, red, 0.
void SetQuad(std::span<uint8_t> palette, int index, uint8_t blue, uint8_t green, uint8_t red);

// Reads / writes the 40 bytes of an info header at offset At. These and the other writers raise
// EInvalidGraphic when Data has no room for what they touch.
TBitmapInfoHeader ReadInfoHeader(std::span<const uint8_t> data, size_t at);
void WriteInfoHeader(std::span<uint8_t> data, size_t at, const TBitmapInfoHeader& header);
// Writes "BM", the file size and the offset of the rows at the start of Data.
void WriteFileHeader(std::span<uint8_t> data, uint32_t fileSize, uint32_t offBits);
