// Raster bitmaps in memory: 1, 4, 8 and 24 bits per pixel with palettes, filling, clipped
// rectangle copies, opaque bold text, and BMP files in and out. Not a window system: there is
// no screen, no device-dependent bitmap and no drawing beyond what the programs need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Exception.h"

// Colour number 0x00BBGGRR (red in the low byte). The top byte carries flags (palette-relative,
// special values) and is masked off wherever a plain colour is needed.
using TColor = uint32_t;

constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clYellow = 0x00FFFF;
constexpr TColor clFuchsia = 0xFF00FF;
constexpr TColor clNone = 0x1FFFFFFF;    // no colour (no transparent colour)
constexpr TColor clDefault = 0x20000000; // take the colour from the bitmap itself
constexpr TColor PaletteRelativeFlag = 0x02000000;

// Plain RGB part of a colour number, flag byte removed.
constexpr TColor ColorToRGB(TColor color) { return color & 0x00FFFFFF; }
constexpr uint8_t GetRValue(TColor color) { return uint8_t(color); }
constexpr uint8_t GetGValue(TColor color) { return uint8_t(color >> 8); }
constexpr uint8_t GetBValue(TColor color) { return uint8_t(color >> 16); }
constexpr TColor RGBColor(uint8_t red, uint8_t green, uint8_t blue) {
    return TColor(red) | (TColor(green) << 8) | (TColor(blue) << 16);
}

// Raised for unreadable BMP data and for operations on a bitmap that cannot do them.
class EInvalidGraphic : public Exception {
public:
    using Exception::Exception;
};

// Pixel formats. TBitmap holds only pf1bit, pf4bit, pf8bit and pf24bit; the other values exist so
// that callers can name a format this layer does not offer (and be refused).
enum TPixelFormat : uint8_t { pfDevice, pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit, pfCustom };

// Bits per pixel of a format (0 for pfDevice and pfCustom).
int PixelFormatBits(TPixelFormat format);

// One palette entry as a BMP file stores it: blue, green, red, reserved.
struct TRGBQuad {
    uint8_t Blue = 0;
    uint8_t Green = 0;
    uint8_t Red = 0;
    uint8_t Reserved = 0;
    bool operator==(const TRGBQuad&) const = default;
};

TRGBQuad ColorToQuad(TColor color);
TColor QuadToColor(TRGBQuad quad);
// Index of the palette entry nearest to Color (squared RGB distance; the first of equals wins);
// 0 for an empty palette.
int NearestPaletteIndex(std::span<const TRGBQuad> palette, TColor color);

// Rectangle with exclusive right and bottom edges, y counted from the top of the picture.
struct TRect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
};

struct TSize {
    int Width = 0;
    int Height = 0;
};

// The fields of a BMP info header that a bitmap keeps from the file it was read from and writes
// back when saving itself; 0 for a bitmap made in memory.
struct TDIBHeaderExtras {
    int32_t XPelsPerMeter = 0;
    int32_t YPelsPerMeter = 0;
    uint32_t ClrUsed = 0;
    uint32_t ClrImportant = 0;
};

// BMP file layout constants, named once.
constexpr size_t BmpFileHeaderSize = 14;
constexpr size_t BmpInfoHeaderSize = 40;
constexpr uint16_t BmpSignature = 0x4D42; // "BM"

// Bytes of one row of Width pixels at Bits per pixel, padded to 4 bytes.
size_t BmpRowBytes(int width, int bits);

// A bitmap held in memory exactly as the rows of a bottom-up BMP: memory row 0 is the bottom row
// of the picture, rows padded to 4 bytes, 24-bit pixels stored blue, green, red; 1-bit pixels
// most significant bit first, 4-bit pixels high nibble first. Copyable value.
class TBitmap {
public:
    TBitmap(); // empty (0 x 0), 24 bits
    TBitmap(int width, int height, TPixelFormat format = pf24bit);

    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    bool Empty() const { return FWidth == 0 || FHeight == 0; }
    TPixelFormat PixelFormat() const { return FFormat; }
    int BitCount() const { return PixelFormatBits(FFormat); }
    bool Monochrome() const { return FFormat == pf1bit; }

    // New size; the pixels that remain keep their place from the top-left corner, new pixels
    // are zero (black in 24 bits, palette index 0 otherwise). Negative sizes raise.
    void SetSize(int width, int height);
    // Converts the pixels: to 24 bits through the palette, to fewer bits by the nearest entry of
    // the format's default palette. Formats other than 1, 4, 8, 24 bits raise EInvalidGraphic.
    void SetPixelFormat(TPixelFormat format);

    // Palette of 2, 16 or 256 entries for 1, 4 and 8 bits; empty at 24 bits. Setting a shorter
    // palette fills the rest with black; a longer one is cut.
    const std::vector<TRGBQuad>& Palette() const { return FPalette; }
    void SetPalette(std::span<const TRGBQuad> palette);

    size_t RowBytes() const { return BmpRowBytes(FWidth, BitCount()); }
    // Row Y of the picture counted from the top (stored at memory row Height - 1 - Y).
    uint8_t* ScanLine(int y);
    const uint8_t* ScanLine(int y) const;
    // All rows in memory order, bottom row first (RowBytes x Height bytes).
    std::span<uint8_t> Bits() { return FBits; }
    std::span<const uint8_t> Bits() const { return FBits; }

    // Pixel colour at (X, Y) from the top-left; through the palette for paletted formats.
    // Outside the bitmap: Pixel gives clNone, SetPixel does nothing.
    TColor Pixel(int x, int y) const;
    void SetPixel(int x, int y, TColor color);
    // Raw palette index (paletted formats only).
    int PixelIndex(int x, int y) const;
    void SetPixelIndex(int x, int y, int index);

    // Drawing state (the canvas of the bitmap).
    TColor BrushColor = clWhite;
    TColor FontColor = clBlack;
    int FontSize = 8; // points at 96 pixels per inch; the face is always DejaVu Sans Bold

    // Fills Rect, clipped to the bitmap, with Color (flag byte ignored; nearest palette entry
    // when paletted).
    void FillRect(const TRect& rect, TColor color);
    void FillRect(const TRect& rect) { FillRect(rect, BrushColor); }
    // Copies Source's SrcRect into DestRect, stretched (nearest pixel) when the sizes differ;
    // both rectangles are clipped at the edges of their bitmaps.
    void CopyRect(const TRect& destRect, const TBitmap& source, const TRect& srcRect);
    // Copies the whole of Source unscaled with its top-left corner at (X, Y), clipped.
    void Draw(int x, int y, const TBitmap& source);
    // Draws Text (UTF-8) at (X, Y), its text cell filled with BrushColor, the glyph pixels in
    // exactly FontColor (monochrome rendering, no blending).
    void TextOut(int x, int y, std::string_view text);
    TSize TextExtent(std::string_view text) const;

    // Transparent drawing of this bitmap by its users (the GIF frame copies this flag).
    bool Transparent = false;
    // In automatic mode (the default, or after setting clDefault): the colour of the bottom-left
    // pixel (white for a monochrome or empty bitmap) with PaletteRelativeFlag set. Otherwise the
    // colour set, as set.
    TColor TransparentColor() const;
    void SetTransparentColor(TColor color) { FTransparentColor = color; }

    const TDIBHeaderExtras& DIBExtras() const { return FExtras; }

    // Reads a BMP file (file header, info header of 12 or at least 40 bytes, palette, rows;
    // 1, 4, 8, 24 bits uncompressed, 32 bits converted to 24). Every size and offset is checked
    // against the data; anything else raises EInvalidGraphic and leaves the bitmap unchanged.
    void LoadFromBMP(std::span<const uint8_t> data);
    // The bitmap as a BMP file: 40-byte header, full palette of 2^bits entries (ClrUsed 0),
    // bottom-up rows. An empty bitmap gives a header with no rows. A file above 2^31 - 1 bytes
    // raises EInvalidGraphic "Bitmap image is too large".
    std::vector<uint8_t> SaveToBMP() const;

private:
    void Reset(int width, int height, TPixelFormat format);
    void PutPixel(int x, int y, TColor color, int index);

    int FWidth = 0;
    int FHeight = 0;
    TPixelFormat FFormat = pf24bit;
    std::vector<TRGBQuad> FPalette;
    std::vector<uint8_t> FBits;
    TDIBHeaderExtras FExtras;
    TColor FTransparentColor = clDefault;
};

// Default palette of a format: black and white; the 16 standard colours; a 6x6x6 cube
// followed by 40 greys. Empty for 24 bits.
std::vector<TRGBQuad> DefaultPalette(TPixelFormat format);
