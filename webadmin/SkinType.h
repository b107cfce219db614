// A counter skin: the skin file a site owner uploads (fixed prefix, layout, eleven sizes, eleven
// BMP images, optional information block and colour) and the drawing of a counter value with it.
// Storing skins is the counter database's business; this unit only reads and renders them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "counterdb/UCounter.h"
#include "platform/Bitmap.h"
#include "platform/MemoryStream.h"

// Skin file layout: offsets from the start of the file.
inline constexpr size_t SkinFilePrefixSize = 255 + 4; // not interpreted
inline constexpr size_t SkinFileLayoutOffset = SkinFilePrefixSize;
inline constexpr size_t SkinFileSizesOffset = SkinFileLayoutOffset + TSkinLayout::ByteSize;
inline constexpr size_t SkinFileSizeCount = SkinImageCount;
inline constexpr size_t SkinFileImagesOffset = SkinFileSizesOffset + 4 * SkinFileSizeCount;
// The sizes come as background, digits 1 to 9, digit 0, while the images come as background,
// digits 0 to 9: image I (0 background, 1 + D digit D) has its size at this index.
inline constexpr std::array<int, SkinImageCount> SkinFileSizeIndexOfImage = {0, 10, 1, 2, 3, 4, 5, 6, 7, 8, 9};

// Limits that keep a hostile skin from making huge bitmaps: every image's sides, and the
// number of digits drawn.
inline constexpr int MaxSkinImageSide = 2048;
inline constexpr int MaxSkinDigits = 32;

// The flag the automatic digit background colour carries in its high byte.
inline constexpr TColor DigitBackColorFlag = 0x02000000;

class TSkin {
public:
    TSkin();
    TSkin(const TSkin&) = delete;
    TSkin& operator=(const TSkin&) = delete;

    // Background and all ten digits present and none empty.
    bool IsComplete() const;
    // A new 24-bit picture: the value drawn with the skin, or the "Not Complete Skin!!!"
    // placeholder when the skin is incomplete or one of its images cannot be read.
    TBitmap GetImage();
    // Reads a skin file from position 0. False (and the skin unchanged) for a nil stream, a
    // short file, a size of 0 or below, sizes running past the end, or an image that is not a
    // readable BMP within MaxSkinImageSide.
    bool LoadFromStream(TStream* stream);
    // New copies of the background and digits 0 to 9 (the order the database takes them).
    TSkinImages SaveToStreams() const;
    // Takes copies of the given images (background, digits 0 to 9); a nil entry leaves an
    // empty image.
    void SetStreams(const TSkinImages& images);

    void SetHeader(const TSkinLayout& layout) { FLayout = layout; }
    void SetInfo(const TSkinInfo& info) { FInfo = info; }
    void SetBackColor(TColor color) { FBackColor = color; }
    void SetValue(int32_t value) { FValue = value; }

    const TSkinLayout& Layout() const { return FLayout; }
    const TSkinInfo& Info() const { return FInfo; }
    TColor BackColor() const { return FBackColor; }
    int32_t Value() const { return FValue; }
    // The last rendered picture.
    const TBitmap& Image() const { return FImage; }

    // The colour of the digit 0 image's bottom-left pixel (white for a monochrome image) with
    // DigitBackColorFlag; 0xFFFFFF without a readable digit 0 image.
    TColor DigitBackColor() const;

    // The decimal text of Value padded with leading "0" up to Digits (at most MaxSkinDigits).
    static std::string FormatDigits(int32_t value, int32_t digits);
    // The digit strip: DigitHeight rows, Width columns (StripWidth for -1; both kept within
    // MaxSkinImageSide), filled with BackColor and carrying the digits placed by Align.
    // Raises EInvalidGraphic when a digit image cannot be read.
    TBitmap DrawDigitStrip(int width);
    // Draws Value with the skin into Image. Raises EInvalidGraphic when an image cannot be
    // read.
    void Render();

private:
    const TMemoryStream* Stream(int index) const { return FStreams[size_t(index)].get(); }
    TBitmap ReadImage(int index) const;

    // The "Not Complete Skin!!!" picture shown for a skin that cannot be drawn.
    static TBitmap Placeholder();

    TBitmap FImage;
    // Background, then digits 0 to 9.
    std::array<std::unique_ptr<TMemoryStream>, SkinImageCount> FStreams;
    TSkinLayout FLayout;
    int32_t FValue = 555;
    TSkinInfo FInfo;
    TColor FBackColor = 0;
};

// Reads one skin image (a BMP file); raises EInvalidGraphic when it is not readable or a side
// lies outside 1..MaxSkinImageSide.
TBitmap ReadSkinBitmap(std::span<const uint8_t> bmp);
