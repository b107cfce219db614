// Raster bitmaps held as bottom-up BMP rows, their drawing operations and the BMP file reader
// and writer. The reader takes user uploads, so every field is checked against the data.
#include "platform/Bitmap.h"

#include "platform/ByteOrder.h"
#include "platform/Font.h"

#include <algorithm>
#include <array>
#include <limits>

namespace {

// Info header field offsets, counted from the start of the info header.
constexpr size_t InfoWidth = 4;
constexpr size_t InfoHeight = 8;
constexpr size_t InfoPlanes = 12;
constexpr size_t InfoBitCount = 14;
constexpr size_t InfoCompression = 16;
constexpr size_t InfoImageSize = 20;
constexpr size_t InfoXPels = 24;
constexpr size_t InfoYPels = 28;
constexpr size_t InfoClrUsed = 32;
constexpr size_t InfoClrImportant = 36;
// File header field offsets.
constexpr size_t FileSize = 2;
constexpr size_t FileOffBits = 10;
constexpr size_t CoreHeaderSize = 12; // the old 12-byte header with 3-byte palette entries
constexpr uint32_t CompressionNone = 0;
// Largest width or height accepted; keeps every size computation far from overflow.
constexpr int MaxDimension = 1 << 15;
constexpr uint64_t MaxPixelBytes = uint64_t(1) << 30;

TPixelFormat FormatOfBits(int bits) {
    switch (bits) {
    case 1: return pf1bit;
    case 4: return pf4bit;
    case 8: return pf8bit;
    case 24: return pf24bit;
    default: return pfCustom;
    }
}

bool IsHeldFormat(TPixelFormat format) {
    return format == pf1bit || format == pf4bit || format == pf8bit || format == pf24bit;
}

void CheckDimensions(int width, int height) {
    if (width < 0 || height < 0 || width > MaxDimension || height > MaxDimension)
        throw EInvalidGraphic("Invalid bitmap size");
}

// Reads the raw pixel value (palette index, or B | G << 8 | R << 16) from a bottom-up row.
uint32_t ReadRaw(const uint8_t* row, int x, int bits) {
    switch (bits) {
    case 1: return (row[x >> 3] >> (7 - (x & 7))) & 1;
    case 4: return (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
    case 8: return row[x];
    default: {
        const uint8_t* p = row + size_t(x) * 3;
        return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
    }
    }
}

void WriteRaw(uint8_t* row, int x, int bits, uint32_t value) {
    switch (bits) {
    case 1: {
        uint8_t bit = uint8_t(0x80 >> (x & 7));
        row[x >> 3] = (value & 1) ? (row[x >> 3] | bit) : (row[x >> 3] & ~bit);
        return;
    }
    case 4:
        if (x & 1)
            row[x >> 1] = uint8_t((row[x >> 1] & 0xF0) | (value & 0x0F));
        else
            row[x >> 1] = uint8_t((row[x >> 1] & 0x0F) | ((value & 0x0F) << 4));
        return;
    case 8: row[x] = uint8_t(value); return;
    default: {
        uint8_t* p = row + size_t(x) * 3;
        p[0] = uint8_t(value);
        p[1] = uint8_t(value >> 8);
        p[2] = uint8_t(value >> 16);
    }
    }
}

uint32_t ColorToRaw24(TColor color) {
    return uint32_t(GetBValue(color)) | (uint32_t(GetGValue(color)) << 8) | (uint32_t(GetRValue(color)) << 16);
}

TColor Raw24ToColor(uint32_t raw) { return RGBColor(uint8_t(raw >> 16), uint8_t(raw >> 8), uint8_t(raw)); }

// Intersection of a rectangle with (0, 0, width, height).
TRect ClipTo(const TRect& r, int width, int height) {
    return {std::max(r.Left, 0), std::max(r.Top, 0), std::min(r.Right, width), std::min(r.Bottom, height)};
}

} // namespace

int PixelFormatBits(TPixelFormat format) {
    switch (format) {
    case pf1bit: return 1;
    case pf4bit: return 4;
    case pf8bit: return 8;
    case pf15bit: return 15;
    case pf16bit: return 16;
    case pf24bit: return 24;
    case pf32bit: return 32;
    default: return 0;
    }
}

TRGBQuad ColorToQuad(TColor color) { return {GetBValue(color), GetGValue(color), GetRValue(color), 0}; }

TColor QuadToColor(TRGBQuad quad) { return RGBColor(quad.Red, quad.Green, quad.Blue); }

int NearestPaletteIndex(std::span<const TRGBQuad> palette, TColor color) {
    int best = 0;
    int bestDistance = std::numeric_limits<int>::max();
    for (size_t i = 0; i < palette.size(); ++i) {
        int dr = int(palette[i].Red) - GetRValue(color);
        int dg = int(palette[i].Green) - GetGValue(color);
        int db = int(palette[i].Blue) - GetBValue(color);
        int distance = dr * dr + dg * dg + db * db;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = int(i);
        }
    }
    return best;
}

size_t BmpRowBytes(int width, int bits) { return ((size_t(width) * size_t(bits) + 31) / 32) * 4; }

std::vector<TRGBQuad> DefaultPalette(TPixelFormat format) {
    std::vector<TRGBQuad> palette;
    switch (format) {
    case pf1bit: palette = {{0, 0, 0, 0}, {255, 255, 255, 0}}; break;
    case pf4bit: {
        static constexpr std::array<TColor, 16> Standard = {0x000000, 0x000080, 0x008000, 0x008080, 0x800000, 0x800080,
                                                            0x808000, 0x808080, 0xC0C0C0, 0x0000FF, 0x00FF00, 0x00FFFF,
                                                            0xFF0000, 0xFF00FF, 0xFFFF00, 0xFFFFFF};
        for (TColor c : Standard) palette.push_back(ColorToQuad(c));
        break;
    }
    case pf8bit:
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b) palette.push_back({uint8_t(b * 51), uint8_t(g * 51), uint8_t(r * 51), 0});
        for (int i = 0; i < 40; ++i) {
            uint8_t v = uint8_t((i * 255) / 39);
            palette.push_back({v, v, v, 0});
        }
        break;
    default: break;
    }
    return palette;
}

TBitmap::TBitmap() = default;

TBitmap::TBitmap(int width, int height, TPixelFormat format) { Reset(width, height, format); }

void TBitmap::Reset(int width, int height, TPixelFormat format) {
    CheckDimensions(width, height);
    if (!IsHeldFormat(format)) throw EInvalidGraphic("Unsupported bitmap format");
    FWidth = width;
    FHeight = height;
    FFormat = format;
    FPalette = DefaultPalette(format);
    FBits.assign(BmpRowBytes(width, PixelFormatBits(format)) * size_t(height), 0);
}

void TBitmap::SetSize(int width, int height) {
    CheckDimensions(width, height);
    if (width == FWidth && height == FHeight) return;
    TBitmap resized(width, height, FFormat);
    resized.FPalette = FPalette;
    int bits = BitCount();
    int keepW = std::min(width, FWidth);
    int keepH = std::min(height, FHeight);
    for (int y = 0; y < keepH; ++y) {
        const uint8_t* from = ScanLine(y);
        uint8_t* to = resized.ScanLine(y);
        for (int x = 0; x < keepW; ++x) WriteRaw(to, x, bits, ReadRaw(from, x, bits));
    }
    FWidth = width;
    FHeight = height;
    FBits = std::move(resized.FBits);
}

void TBitmap::SetPixelFormat(TPixelFormat format) {
    if (!IsHeldFormat(format)) throw EInvalidGraphic("Unsupported bitmap format");
    if (format == FFormat) return;
    TBitmap converted(FWidth, FHeight, format);
    for (int y = 0; y < FHeight; ++y)
        for (int x = 0; x < FWidth; ++x) converted.SetPixel(x, y, Pixel(x, y));
    FFormat = format;
    FPalette = std::move(converted.FPalette);
    FBits = std::move(converted.FBits);
}

void TBitmap::SetPalette(std::span<const TRGBQuad> palette) {
    size_t count = FFormat == pf24bit ? 0 : size_t(1) << BitCount();
    FPalette.assign(count, TRGBQuad{});
    std::copy_n(palette.begin(), std::min(count, palette.size()), FPalette.begin());
}

uint8_t* TBitmap::ScanLine(int y) { return FBits.data() + size_t(FHeight - 1 - y) * RowBytes(); }

const uint8_t* TBitmap::ScanLine(int y) const { return FBits.data() + size_t(FHeight - 1 - y) * RowBytes(); }

TColor TBitmap::Pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= FWidth || y >= FHeight) return clNone;
    uint32_t raw = ReadRaw(ScanLine(y), x, BitCount());
    if (FFormat == pf24bit) return Raw24ToColor(raw);
    return QuadToColor(FPalette[raw]);
}

void TBitmap::PutPixel(int x, int y, TColor color, int index) {
    uint32_t raw = FFormat == pf24bit ? ColorToRaw24(color) : uint32_t(index);
    WriteRaw(ScanLine(y), x, BitCount(), raw);
}

void TBitmap::SetPixel(int x, int y, TColor color) {
    if (x < 0 || y < 0 || x >= FWidth || y >= FHeight) return;
    color = ColorToRGB(color);
    PutPixel(x, y, color, FFormat == pf24bit ? 0 : NearestPaletteIndex(FPalette, color));
}

int TBitmap::PixelIndex(int x, int y) const {
    if (FFormat == pf24bit || x < 0 || y < 0 || x >= FWidth || y >= FHeight) return -1;
    return int(ReadRaw(ScanLine(y), x, BitCount()));
}

void TBitmap::SetPixelIndex(int x, int y, int index) {
    if (FFormat == pf24bit || x < 0 || y < 0 || x >= FWidth || y >= FHeight) return;
    WriteRaw(ScanLine(y), x, BitCount(), uint32_t(index) & ((1u << BitCount()) - 1));
}

void TBitmap::FillRect(const TRect& rect, TColor color) {
    TRect clip = ClipTo(rect, FWidth, FHeight);
    color = ColorToRGB(color);
    int index = FFormat == pf24bit ? 0 : NearestPaletteIndex(FPalette, color);
    for (int y = clip.Top; y < clip.Bottom; ++y)
        for (int x = clip.Left; x < clip.Right; ++x) PutPixel(x, y, color, index);
}

void TBitmap::CopyRect(const TRect& destRect, const TBitmap& source, const TRect& srcRect) {
    int dw = destRect.Width(), dh = destRect.Height();
    int sw = srcRect.Width(), sh = srcRect.Height();
    if (dw <= 0 || dh <= 0 || sw <= 0 || sh <= 0) return;
    // Copying a bitmap onto itself must read the old pixels.
    const TBitmap copyOfSelf = &source == this ? source : TBitmap();
    const TBitmap& from = &source == this ? copyOfSelf : source;
    bool sameIndices = FFormat == from.FFormat && FPalette == from.FPalette;
    int bits = BitCount();
    TRect clip = ClipTo(destRect, FWidth, FHeight);
    for (int y = clip.Top; y < clip.Bottom; ++y) {
        int sy = srcRect.Top + int(int64_t(y - destRect.Top) * sh / dh);
        if (sy < 0 || sy >= from.FHeight) continue;
        const uint8_t* srcRow = from.ScanLine(sy);
        uint8_t* dstRow = ScanLine(y);
        for (int x = clip.Left; x < clip.Right; ++x) {
            int sx = srcRect.Left + int(int64_t(x - destRect.Left) * sw / dw);
            if (sx < 0 || sx >= from.FWidth) continue;
            if (sameIndices)
                WriteRaw(dstRow, x, bits, ReadRaw(srcRow, sx, bits));
            else
                SetPixel(x, y, from.Pixel(sx, sy));
        }
    }
}

void TBitmap::Draw(int x, int y, const TBitmap& source) {
    CopyRect({x, y, x + source.FWidth, y + source.FHeight}, source, {0, 0, source.FWidth, source.FHeight});
}

void TBitmap::TextOut(int x, int y, std::string_view text) {
    if (text.empty()) return;
    TTextMask mask = RenderBoldText(text, FontSize);
    FillRect({x, y, x + mask.Width, y + mask.Height}, BrushColor);
    TColor ink = ColorToRGB(FontColor);
    int index = FFormat == pf24bit ? 0 : NearestPaletteIndex(FPalette, ink);
    for (int my = 0; my < mask.Height; ++my) {
        int py = y + my;
        if (py < 0 || py >= FHeight) continue;
        for (int mx = 0; mx < mask.Width; ++mx) {
            int px = x + mx;
            if (px >= 0 && px < FWidth && mask.IsInk(mx, my)) PutPixel(px, py, ink, index);
        }
    }
}

TSize TBitmap::TextExtent(std::string_view text) const {
    TSize size;
    MeasureBoldText(text, FontSize, size.Width, size.Height);
    return size;
}

TColor TBitmap::TransparentColor() const {
    if (FTransparentColor != clDefault) return FTransparentColor;
    if (Empty() || Monochrome()) return clWhite | PaletteRelativeFlag;
    return Pixel(0, FHeight - 1) | PaletteRelativeFlag;
}

void TBitmap::LoadFromBMP(std::span<const uint8_t> data) {
    auto fail = []() { throw EInvalidGraphic("Bitmap image is not valid"); };
    if (data.size() < BmpFileHeaderSize + CoreHeaderSize || GetLE16(data, 0) != BmpSignature) fail();
    const size_t info = BmpFileHeaderSize;
    const uint32_t headerSize = GetLE32(data, info);
    int64_t width = 0, height = 0;
    int bits = 0;
    uint32_t compression = CompressionNone;
    size_t quadSize = 4;
    TDIBHeaderExtras extras;
    if (headerSize == CoreHeaderSize) {
        width = GetLE16(data, info + 4);
        height = GetLE16(data, info + 6);
        bits = GetLE16(data, info + 10);
        quadSize = 3;
    } else {
        if (headerSize < BmpInfoHeaderSize || headerSize > data.size() - info) fail();
        width = int32_t(GetLE32(data, info + InfoWidth));
        height = int32_t(GetLE32(data, info + InfoHeight));
        bits = GetLE16(data, info + InfoBitCount);
        compression = GetLE32(data, info + InfoCompression);
        extras.XPelsPerMeter = int32_t(GetLE32(data, info + InfoXPels));
        extras.YPelsPerMeter = int32_t(GetLE32(data, info + InfoYPels));
        extras.ClrUsed = GetLE32(data, info + InfoClrUsed);
        extras.ClrImportant = GetLE32(data, info + InfoClrImportant);
    }
    bool topDown = height < 0;
    height = topDown ? -height : height;
    if (width <= 0 || height <= 0 || width > MaxDimension || height > MaxDimension) fail();
    if (compression != CompressionNone) fail();
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) fail();

    size_t paletteStart = info + headerSize;
    size_t paletteCount = 0;
    if (bits <= 8) {
        paletteCount = size_t(1) << bits;
        if (extras.ClrUsed != 0 && extras.ClrUsed < paletteCount) paletteCount = extras.ClrUsed;
    }
    if (paletteStart + paletteCount * quadSize > data.size()) fail();

    const uint64_t srcRowBytes = BmpRowBytes(int(width), bits);
    const uint64_t pixelBytes = srcRowBytes * uint64_t(height);
    uint64_t offBits = GetLE32(data, FileOffBits);
    if (offBits == 0) offBits = paletteStart + paletteCount * quadSize;
    if (pixelBytes > MaxPixelBytes || offBits > data.size() || pixelBytes > data.size() - offBits) fail();

    TBitmap loaded(int(width), int(height), bits == 32 ? pf24bit : FormatOfBits(bits));
    if (bits <= 8) {
        std::vector<TRGBQuad> palette(paletteCount);
        for (size_t i = 0; i < paletteCount; ++i) {
            const uint8_t* q = data.data() + paletteStart + i * quadSize;
            palette[i] = {q[0], q[1], q[2], 0};
        }
        loaded.SetPalette(palette);
    }
    const size_t dstRowBytes = loaded.RowBytes();
    for (int64_t r = 0; r < height; ++r) {
        // Memory row r of the loaded bitmap is the bottom-up row r; a top-down file stores it last.
        int64_t fileRow = topDown ? height - 1 - r : r;
        const uint8_t* src = data.data() + offBits + uint64_t(fileRow) * srcRowBytes;
        uint8_t* dst = loaded.FBits.data() + size_t(r) * dstRowBytes;
        if (bits == 32) {
            for (int64_t x = 0; x < width; ++x) std::copy_n(src + x * 4, 3, dst + x * 3);
        } else {
            std::copy_n(src, size_t(srcRowBytes), dst);
        }
    }
    if (bits == 32) extras.ClrUsed = extras.ClrImportant = 0;
    loaded.FExtras = extras;
    loaded.BrushColor = BrushColor;
    loaded.FontColor = FontColor;
    loaded.FontSize = FontSize;
    loaded.Transparent = Transparent;
    loaded.FTransparentColor = FTransparentColor;
    *this = std::move(loaded);
}

std::vector<uint8_t> TBitmap::SaveToBMP() const {
    const int bits = BitCount();
    const size_t paletteBytes = FPalette.size() * 4;
    const size_t offBits = BmpFileHeaderSize + BmpInfoHeaderSize + paletteBytes;
    // The file's size field is 32 bits and readers take it as signed.
    if (uint64_t(offBits) + FBits.size() > uint64_t(std::numeric_limits<int32_t>::max()))
        throw EInvalidGraphic("Bitmap image is too large");
    std::vector<uint8_t> out(offBits + FBits.size(), 0);
    PutLE16(out, 0, BmpSignature);
    PutLE32(out, FileSize, uint32_t(out.size()));
    PutLE32(out, FileOffBits, uint32_t(offBits));
    const size_t info = BmpFileHeaderSize;
    PutLE32(out, info, BmpInfoHeaderSize);
    PutLE32(out, info + InfoWidth, uint32_t(FWidth));
    PutLE32(out, info + InfoHeight, uint32_t(FHeight));
    PutLE16(out, info + InfoPlanes, 1);
    PutLE16(out, info + InfoBitCount, uint16_t(bits));
    PutLE32(out, info + InfoCompression, CompressionNone);
    PutLE32(out, info + InfoImageSize, uint32_t(FBits.size()));
    PutLE32(out, info + InfoXPels, uint32_t(FExtras.XPelsPerMeter));
    PutLE32(out, info + InfoYPels, uint32_t(FExtras.YPelsPerMeter));
    PutLE32(out, info + InfoClrUsed, 0);
    PutLE32(out, info + InfoClrImportant, FExtras.ClrImportant <= FPalette.size() ? FExtras.ClrImportant : 0);
    size_t at = info + BmpInfoHeaderSize;
    for (const TRGBQuad& q : FPalette) {
        out[at++] = q.Blue;
        out[at++] = q.Green;
        out[at++] = q.Red;
        out[at++] = 0;
    }
    std::copy(FBits.begin(), FBits.end(), out.begin() + ptrdiff_t(offBits));
    return out;
}
