// Memory blocks, the not-implemented report and transparent drawing for the image codec.
#include "imaging/GfxUtils.h"

#include <cstring>

#include "imaging/ImgCConst.h"
#include "platform/Report.h"

TMemoryBlock AllocZeroedBlock(int32_t size) {
    if (size < 1) return {};
    return TMemoryBlock(size_t(size), 0);
}

void FreeBlock(TMemoryBlock& block) {
    if (block.empty()) return;
    TMemoryBlock().swap(block);
}

bool BlocksEqual(std::span<const uint8_t> a, std::span<const uint8_t> b, size_t size) {
    if (size > a.size() || size > b.size()) return false;
    return size == 0 || std::memcmp(a.data(), b.data(), size) == 0;
}

void MoveBlock(uint8_t* dest, const uint8_t* source, size_t count) {
    if (count > 0) std::memmove(dest, source, count);
}

void RaiseNotImplemented() {
    ReportWarning(SNotImplemented, "Information");
    throw EAbort();
}

TColor PaletteColor(TColor color) { return ColorToRGB(color) | PaletteRelativeFlag; }

void StretchDrawTransparent(TBitmap& canvas, int dstX, int dstY, int dstW, int dstH, const TRect& srcRect,
                            const TBitmap& bitmap, TColor transparentColor) {
    DrawBitmapTransparent(canvas, dstX, dstY, dstW, dstH, srcRect.Left, srcRect.Top, srcRect.Width(), srcRect.Height(),
                          bitmap, transparentColor);
}

namespace {

// Decides per source pixel whether it is left out. A paletted source compares palette indices
// against the entry nearest to the transparent colour, as a masked blit does.
class TTransparencyTest {
public:
    TTransparencyTest(const TBitmap& bitmap, TColor transparentColor) : FBitmap(bitmap) {
        if (transparentColor == clNone) return;
        FActive = true;
        if (bitmap.Monochrome())
            FColor = clWhite;
        else if (transparentColor == clDefault)
            FColor = ColorToRGB(bitmap.Pixel(0, bitmap.Height() - 1));
        else
            FColor = ColorToRGB(transparentColor);
        if (bitmap.PixelFormat() != pf24bit) FIndex = NearestPaletteIndex(bitmap.Palette(), FColor);
    }

    bool IsTransparent(int x, int y) const {
        if (!FActive) return false;
        if (FIndex >= 0) return FBitmap.PixelIndex(x, y) == FIndex;
        return FBitmap.Pixel(x, y) == FColor;
    }

private:
    const TBitmap& FBitmap;
    bool FActive = false;
    TColor FColor = clNone;
    int FIndex = -1;
};

} // namespace

void DrawBitmapTransparent(TBitmap& canvas, int dstX, int dstY, int dstW, int dstH, int srcX, int srcY, int srcW,
                           int srcH, const TBitmap& bitmap, TColor transparentColor) {
    if (bitmap.Empty()) return;
    if (dstW < 1) dstW = bitmap.Width();
    if (dstH < 1) dstH = bitmap.Height();
    if (srcW < 1 || srcH < 1) {
        srcX = 0;
        srcY = 0;
        srcW = bitmap.Width();
        srcH = bitmap.Height();
    }
    // Drawing a bitmap onto itself must read the pixels as they were.
    const TBitmap snapshot = &canvas == &bitmap ? bitmap : TBitmap();
    const TBitmap& source = &canvas == &bitmap ? snapshot : bitmap;
    TTransparencyTest test(source, transparentColor);
    for (int dy = 0; dy < dstH; ++dy) {
        int y = dstY + dy;
        if (y < 0 || y >= canvas.Height()) continue;
        int sy = srcY + int(int64_t(dy) * srcH / dstH);
        if (sy < 0 || sy >= source.Height()) continue;
        for (int dx = 0; dx < dstW; ++dx) {
            int x = dstX + dx;
            if (x < 0 || x >= canvas.Width()) continue;
            int sx = srcX + int(int64_t(dx) * srcW / dstW);
            if (sx < 0 || sx >= source.Width() || test.IsTransparent(sx, sy)) continue;
            canvas.SetPixel(x, y, source.Pixel(sx, sy));
        }
    }
}
