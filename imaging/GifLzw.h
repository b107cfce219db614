// The variable-width LZW coder of GIF image data, over bottom-up BMP pixel rows of 1, 4 or 8
// bits. Internal to the image codec: the GIF model (GifImage.h) is the public way in.
#pragma once

#include "imaging/GifImage.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

using TProgressEvent = std::function<void(TProgressStage Stage, int Percent, const std::string& Message)>;

// The geometry of a bottom-up pixel buffer in BMP layout (rows padded to 4 bytes).
struct TPixelLayout {
    int Width = 0;
    int Height = 0;
    int BitCount = 8; // 1, 4 or 8
};

// Bytes in one padded BMP row; 64-bit so that huge declared sizes cannot wrap.
uint64_t DIBRowBytes(int64_t Width, int BitCount);

// Appends the frame's LZW data to Out: the minimum code size byte, 255-byte sub-blocks and the
// zero terminator. Rows are taken from the top of the picture (the last row in memory) down.
void EncodeLZW(std::vector<uint8_t>& Out, const TPixelLayout& Layout, std::span<const uint8_t> Rows,
               const TProgressEvent& Progress);

// The most pixels Encoded (a minimum code size byte and data sub-blocks) can decode to. Since a
// code adds at most one pixel to the longest string before it, k codes make at most
// k (k + 1) / 2 pixels (strings never exceed the 4096 table entries); a frame larger than this
// can never be filled by its data.
uint64_t MostDecodedPixels(std::span<const uint8_t> Encoded);

// Decodes a frame's LZW data (as EncodeLZW writes it) into Pixels (zero-filled, BMP layout).
// Damaged is set when the data had to be repaired; with Tolerant false the repairs are errors.
// Raises EInvalidGraphicOperation with the reader's texts.
void DecodeLZW(std::span<const uint8_t> Encoded, const TPixelLayout& Layout, bool Interlaced, std::span<uint8_t> Pixels,
               bool& Damaged, bool Tolerant, const TProgressEvent& Progress);
