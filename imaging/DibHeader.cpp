// The BMP headers and palette quads of the conversion code's memory blocks, read and written.
#include "imaging/DibHeader.h"

#include "platform/Bitmap.h"

namespace {

// The writers and the reader check their room: a block made for a size that did not fit must
// raise, not write past its end.
void CheckRoom(size_t size, size_t at, size_t count) {
    if (at > size || count > size - at) throw EInvalidGraphic("Bitmap image is not valid");
}

} // namespace

void SetQuad(std::span<uint8_t> palette, int index, uint8_t blue, uint8_t green, uint8_t red) {
    size_t at = size_t(index) * 4;
    CheckRoom(palette.size(), at, 4);
    palette[at] = blue;
    palette[at + 1] = green;
    palette[at + 2] = red;
    palette[at + 3] = 0;
}

TBitmapInfoHeader ReadInfoHeader(std::span<const uint8_t> data, size_t at) {
    CheckRoom(data.size(), at, BmpInfoHeaderSize);
    TBitmapInfoHeader h;
    h.Size = GetLE32(data, at);
    h.Width = int32_t(GetLE32(data, at + 4));
    h.Height = int32_t(GetLE32(data, at + 8));
    h.Planes = GetLE16(data, at + 12);
    h.BitCount = GetLE16(data, at + 14);
    h.Compression = GetLE32(data, at + 16);
    h.SizeImage = GetLE32(data, at + 20);
    h.XPelsPerMeter = int32_t(GetLE32(data, at + 24));
    h.YPelsPerMeter = int32_t(GetLE32(data, at + 28));
    h.ClrUsed = GetLE32(data, at + 32);
    h.ClrImportant = GetLE32(data, at + 36);
    return h;
}

void WriteInfoHeader(std::span<uint8_t> data, size_t at, const TBitmapInfoHeader& h) {
    CheckRoom(data.size(), at, BmpInfoHeaderSize);
    PutLE32(data, at, h.Size);
    PutLE32(data, at + 4, uint32_t(h.Width));
    PutLE32(data, at + 8, uint32_t(h.Height));
    PutLE16(data, at + 12, h.Planes);
    PutLE16(data, at + 14, h.BitCount);
    PutLE32(data, at + 16, h.Compression);
    PutLE32(data, at + 20, h.SizeImage);
    PutLE32(data, at + 24, uint32_t(h.XPelsPerMeter));
    PutLE32(data, at + 28, uint32_t(h.YPelsPerMeter));
    PutLE32(data, at + 32, h.ClrUsed);
    PutLE32(data, at + 36, h.ClrImportant);
}

void WriteFileHeader(std::span<uint8_t> data, uint32_t fileSize, uint32_t offBits) {
    CheckRoom(data.size(), 0, BmpFileHeaderSize);
    PutLE16(data, BfType, BmpSignature);
    PutLE32(data, BfSize, fileSize);
    PutLE16(data, 6, 0);
    PutLE16(data, 8, 0);
    PutLE32(data, BfOffBits, offBits);
}
