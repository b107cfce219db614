// Small helpers of the image codec: zero-filled memory blocks, the not-implemented report with
// its silent abort, and transparent stretched drawing of one bitmap onto another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/Bitmap.h"
#include "platform/Exception.h"

// The silent abort: ends an operation without a further message to the user.
class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted") {}
};

using TMemoryBlock = std::vector<uint8_t>;

// A zero-filled block of Size bytes; an empty block when Size is below 1. Running out of
// memory raises std::bad_alloc before any caller writes.
TMemoryBlock AllocZeroedBlock(int32_t size);
// Releases the block's memory and leaves it empty; an empty block is left alone.
void FreeBlock(TMemoryBlock& block);
// True when the first Size bytes of A and B are equal (Size 0: true). Both must hold Size bytes.
bool BlocksEqual(std::span<const uint8_t> a, std::span<const uint8_t> b, size_t size);
inline uint8_t* OffsetPointer(uint8_t* address, ptrdiff_t offset) { return address + offset; }
// Copies Count bytes; the ranges may overlap.
void MoveBlock(uint8_t* dest, const uint8_t* source, size_t count);
inline void AssignString(const std::string& source, std::string& dest) { dest = source; }

// Reports "Function not yet implemented" (on stderr: there is no screen) and raises EAbort.
[[noreturn]] void RaiseNotImplemented();

// The colour's plain RGB value marked palette-relative (0x02000000 added).
TColor PaletteColor(TColor color);

// Draws SrcRect of Bitmap into the destination rectangle of Canvas, stretched by nearest pixel,
// leaving out the pixels of TransparentColor: clNone draws every pixel, clDefault takes the
// colour of the bitmap's bottom-left pixel; a monochrome bitmap always leaves out white.
void StretchDrawTransparent(TBitmap& canvas, int dstX, int dstY, int dstW, int dstH, const TRect& srcRect,
                            const TBitmap& bitmap, TColor transparentColor);
// The same with the source as position and size. DstW/DstH below 1 take the bitmap's size;
// SrcW or SrcH below 1 take the whole bitmap as the source.
void DrawBitmapTransparent(TBitmap& canvas, int dstX, int dstY, int dstW, int dstH, int srcX, int srcY, int srcW,
                           int srcH, const TBitmap& bitmap, TColor transparentColor);
