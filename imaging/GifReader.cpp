// The GIF reader: parses the block structure into frames that keep their LZW data unchanged,
// and decodes a frame's data into a BMP file image when its bitmap is needed.
#include "imaging/GifImage.h"

#include "imaging/GifCodec.h"
#include "imaging/GifLzw.h"
#include "platform/ByteOrder.h"
#include "platform/StrUtils.h"

#include <algorithm>

namespace {

constexpr uint8_t ExtensionIntroducer = 0x21;
constexpr uint8_t ImageIntroducer = 0x2C;
constexpr uint8_t Trailer = 0x3B;
constexpr uint8_t GraphicControlLabel = 0xF9;
constexpr uint8_t CommentLabel = 0xFE;
constexpr uint8_t PlainTextLabel = 0x01;
constexpr uint8_t ApplicationLabel = 0xFF;
constexpr size_t GraphicControlBytes = 6;
constexpr size_t PlainTextBytes = 13;
constexpr size_t ApplicationBytes = 12;
constexpr uint16_t MaxLoopCount = 30000;
// Largest pixel buffer a decoded frame may need (the bitmap layer holds no more).
constexpr uint64_t MaxDecodedBytes = uint64_t(1) << 30;
// Pictures up to this size are decoded even when their data cannot fill them (the rest stays
// zero), as a file whose end code comes early has always been.
constexpr uint64_t MaxUnfilledPixels = uint64_t(1) << 20;
const std::string CommentJoin = "\r\n\r\n";

bool SameTextIgnoringCase(std::span<const uint8_t> bytes, std::string_view text) {
    return SameText(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), text);
}

std::vector<std::string> ReadSubBlocks(TByteReader& r) {
    std::vector<std::string> blocks;
    while (!r.AtEnd()) {
        uint8_t n = r.Byte();
        if (n == 0) break;
        auto bytes = r.Bytes(n);
        blocks.emplace_back(bytes.begin(), bytes.end());
    }
    return blocks;
}

// An application record that carries a loop count: identifier and authentication code equal
// one of the two known names over as many bytes as its block-size byte gives.
bool IsLoopingBlock(const TExtension& record) {
    if (!record.Blocks || record.Blocks->empty()) return false;
    const std::string& first = record.Blocks->front();
    if (first.size() < 3 || first[0] != 1) return false;
    size_t size = record.FixedBlock[0];
    if (size > 11) return false;
    for (std::string_view name : {std::string_view("NETSCAPE2.0"), std::string_view("ANIMEXTS1.0")})
        if (std::equal(name.begin(), name.begin() + ptrdiff_t(size), record.FixedBlock.begin() + 1)) return true;
    return false;
}

TExtensionList ReadExtensions(TGIFImage& image, TByteReader& r, uint8_t& c) {
    TExtensionList list;
    while (c == ExtensionIntroducer) {
        uint8_t label = r.Byte();
        TExtension record;
        switch (label) {
        case GraphicControlLabel: {
            record.Kind = ekGraphicControl;
            auto fixed = r.Bytes(GraphicControlBytes);
            record.FixedBlock.assign(fixed.begin(), fixed.end());
            break;
        }
        case CommentLabel:
            record.Kind = ekComment;
            record.Blocks = ReadSubBlocks(r);
            break;
        case PlainTextLabel:
        case ApplicationLabel: {
            record.Kind = label == PlainTextLabel ? ekPlainText : ekApplication;
            auto fixed = r.Bytes(label == PlainTextLabel ? PlainTextBytes : ApplicationBytes);
            record.FixedBlock.assign(fixed.begin(), fixed.end());
            record.Blocks = ReadSubBlocks(r);
            break;
        }
        default: RaiseGIFError(StrFormat(std::string(SGIFUnknownExtension).c_str(), label));
        }
        if (record.Kind == ekPlainText) {
            list.clear(); // plain text is not kept, nor the records that led up to it
        } else if (record.Kind == ekApplication) {
            if (IsLoopingBlock(record)) {
                const std::string& first = record.Blocks->front();
                image.LoopEnabled = true;
                image.LoopCount =
                    uint16_t(std::min<unsigned>(uint8_t(first[1]) + 256u * uint8_t(first[2]), MaxLoopCount));
            }
        } else {
            list.push_back(std::move(record));
        }
        c = r.AtEnd() ? Trailer : r.Byte();
    }
    return list;
}

TColor MapColor(const TGIFColor& c) { return RGBColor(c.Red, c.Green, c.Blue); }

void ReadColorTable(TByteReader& r, TGIFColorMap& map, int count) {
    map = {};
    map.Count = count;
    auto bytes = r.Bytes(size_t(count) * 3);
    for (int i = 0; i < count; ++i)
        map.Colors[size_t(i)] = {bytes[size_t(3 * i)], bytes[size_t(3 * i + 1)], bytes[size_t(3 * i + 2)]};
}

} // namespace

void TGIFImage::ReadGIF(size_t Length, std::span<const uint8_t> Stream, bool DecodeFirst) {
    Reset();
    if (Length > Stream.size()) RaiseReadError();
    if (Length > 0) {
        TByteReader r(Stream.first(Length));
        if (!SameTextIgnoringCase(r.Bytes(3), "GIF")) RaiseGIFError(SGIFUnknownVersion);
        auto version = r.Bytes(3);
        if (SameTextIgnoringCase(version, "87a"))
            Version = 1;
        else if (SameTextIgnoringCase(version, "89a"))
            Version = 2;
        else
            RaiseGIFError(SGIFUnknownVersion);

        LogicalWidth = r.Word();
        LogicalHeight = r.Word();
        uint8_t packed = r.Byte();
        uint8_t background = r.Byte();
        Data->AspectByte = r.Byte();
        Data->TableBits = uint8_t((packed & 7) + 1);
        Data->ColorResolution = uint8_t(((packed & 0x70) >> 4) + 1);
        if (packed & 0x80) {
            ReadColorTable(r, Data->GlobalColors, 1 << Data->TableBits);
            if (background < Data->GlobalColors.Count) BackColor = MapColor(Data->GlobalColors.Colors[background]);
        }

        uint8_t c = r.Byte();
        while (c != 0 && c != Trailer && !r.AtEnd()) {
            TExtensionList list = ReadExtensions(*this, r, c);
            if (c == ImageIntroducer) {
                auto frame = std::make_unique<TGIFFrame>(this);
                if (Data->GlobalColors.Count > 0)
                    frame->Item->TableBits = uint8_t(BitsForColorCount(Data->GlobalColors.Count));
                frame->Extensions = std::move(list);
                frame->ReadImage(r);
                Frames.push_back(std::move(frame));
                if (r.AtEnd()) {
                    c = Trailer;
                } else {
                    c = r.Byte();
                    while (c == 0 && !r.AtEnd()) c = r.Byte();
                }
                if (c != ExtensionIntroducer && c != ImageIntroducer && c != Trailer) c = 0;
            } else if (Data->CommentLines.empty() && !list.empty()) {
                for (const TExtension& record : list) {
                    if (record.Kind != ekComment || !record.Blocks) continue;
                    if (!Data->CommentLines.empty()) Data->CommentLines.push_back(CommentJoin);
                    Data->CommentLines.insert(Data->CommentLines.end(), record.Blocks->begin(), record.Blocks->end());
                }
            } else if (c != 0 && c != Trailer) {
                RaiseGIFError(SStreamReadError);
            }
        }
    }
    if (!Frames.empty()) {
        CurrentFrame = 0;
        if (DecodeFirst) {
            try {
                Frames[0]->GetBitmap();
            } catch (...) {
                Frames.erase(Frames.begin());
                CurrentFrame = Frames.empty() ? -1 : 0;
                throw;
            }
        }
    }
    Changed();
}

void TGIFFrame::ReadImage(TByteReader& Stream) {
    std::vector<uint8_t> encoded;
    uint16_t left = Stream.Word();
    uint16_t top = Stream.Word();
    int32_t width = Stream.Word();
    int32_t height = Stream.Word();
    uint8_t packed = Stream.Byte();
    Interlaced = (packed & 0x40) != 0;
    if (packed & 0x80) {
        Item->TableBits = uint8_t((packed & 7) + 1);
        HasLocalColors = true;
        ReadColorTable(Stream, Item->Colors, 1 << Item->TableBits);
    } else {
        HasLocalColors = false;
        Item->Colors = {};
    }

    encoded.push_back(Stream.Byte()); // minimum code size
    while (!Stream.AtEnd()) {
        uint8_t n = Stream.Byte();
        if (n == 0) break;
        if (n > Stream.Remaining()) {
            DataDamaged = true;
            break;
        }
        auto bytes = Stream.Bytes(n);
        encoded.push_back(n);
        encoded.insert(encoded.end(), bytes.begin(), bytes.end());
    }
    // Data cut short gets its terminator too, so that saving it again gives a well-formed file.
    encoded.push_back(0);
    Item->EncodedData = std::move(encoded);
    if (DataDamaged && !GIFDamageTolerant) RaiseGIFError(SStreamReadError);

    if (width == 0 && Owner) width = Owner->LogicalWidth;
    if (height == 0 && Owner) height = Owner->LogicalHeight;
    Origin = {left, top};
    Item->Width = width;
    Item->Height = height;
    Item->DescriptorFlags = packed;
    if (!HasLocalColors && Owner) Item->Colors = Owner->Data->GlobalColors;

    DelayMs = 0;
    LoadedTransparentIndex = -1;
    for (const TExtension& record : Extensions) {
        if (record.Kind != ekGraphicControl) continue;
        uint8_t control = record.FixedBlock[1];
        unsigned delay = record.FixedBlock[2] | (record.FixedBlock[3] << 8);
        uint8_t index = record.FixedBlock[4];
        if (control & 1) {
            if (index < Item->Colors.Count) {
                TransparentColor = MapColor(Item->Colors.Colors[index]);
                LoadedTransparentIndex = index;
            }
        } else {
            TransparentColor = clNone;
            LoadedTransparentIndex = -1;
        }
        DelayMs = uint16_t(std::clamp<unsigned>(delay * 10, DelayMs, 0xFFFF));
        Disposal = uint8_t((control & 0x1C) >> 2);
    }
}

namespace {

// Bits per pixel of the decoded picture for a colour table of TableBits.
int DecodedBitCount(int tableBits) {
    if (tableBits == 1) return 1;
    if (tableBits >= 2 && tableBits <= 4) return 4;
    if (tableBits >= 5 && tableBits <= 8) return 8;
    RaiseGIFError(SGIFColorCount);
}

// Pixel bytes of the decoded picture, computed in 64 bits and bounded: by what the bitmap layer
// holds, and, above a small size, by what the frame's data can fill. A picture its data cannot
// fill is refused before its pixels are allocated, so a tiny file cannot ask for a gigabyte.
uint64_t DecodedImageBytes(const TGIFFrame& frame, int32_t width, int32_t height, int bitCount) {
    uint64_t bytes = DIBRowBytes(width, bitCount) * uint64_t(height);
    if (bytes > MaxDecodedBytes) RaiseGIFError(SGIFTooLarge);
    uint64_t pixels = uint64_t(width) * uint64_t(height);
    if (pixels > MaxUnfilledPixels) {
        const auto& encoded = frame.Item->EncodedData;
        if (pixels > MostDecodedPixels(encoded ? std::span<const uint8_t>(*encoded) : std::span<const uint8_t>()))
            RaiseGIFError(SGIFTooLarge);
    }
    return bytes;
}

void DecodeFramePixels(TGIFFrame& frame, int32_t width, int32_t height, int bitCount, std::span<uint8_t> pixels) {
    TGIFImage* owner = frame.Owner;
    TProgressEvent progress;
    if (owner && owner->OnProgress)
        progress = [owner](TProgressStage stage, int percent, const std::string& message) {
            owner->Progress(stage, percent, message);
        };
    static const std::vector<uint8_t> NoData;
    const std::vector<uint8_t>& encoded = frame.Item->EncodedData ? *frame.Item->EncodedData : NoData;
    bool damaged = false;
    DecodeLZW(encoded, {width, height, bitCount}, frame.Interlaced, pixels, damaged, GIFDamageTolerant, progress);
    frame.DataDamaged = frame.DataDamaged || damaged;
}

} // namespace

std::vector<uint8_t> TGIFFrame::DecodeDIB() {
    int bitCount = DecodedBitCount(Item->TableBits);
    int32_t width = std::max(Item->Width, 0);
    int32_t height = std::max(Item->Height, 0);
    uint64_t imageBytes = DecodedImageBytes(*this, width, height, bitCount);
    size_t paletteBytes = size_t(4) << bitCount;
    size_t offBits = BmpFileHeaderSize + BmpInfoHeaderSize + paletteBytes;
    std::vector<uint8_t> dib(offBits + size_t(imageBytes), 0);
    PutLE16(dib, 0, BmpSignature);
    PutLE32(dib, 2, uint32_t(dib.size()));
    PutLE32(dib, 10, uint32_t(offBits));
    const size_t info = BmpFileHeaderSize;
    PutLE32(dib, info, uint32_t(BmpInfoHeaderSize));
    PutLE32(dib, info + 4, uint32_t(width));
    PutLE32(dib, info + 8, uint32_t(height));
    PutLE16(dib, info + 12, 1);
    PutLE16(dib, info + 14, uint16_t(bitCount));
    PutLE32(dib, info + 20, uint32_t(imageBytes));
    uint8_t* palette = dib.data() + info + BmpInfoHeaderSize;
    std::fill(palette, palette + paletteBytes, 0x80);
    int count = std::clamp(Item->Colors.Count, 0, 1 << bitCount);
    for (int i = 0; i < count; ++i) {
        const TGIFColor& c = Item->Colors.Colors[size_t(i)];
        palette[4 * i] = c.Blue;
        palette[4 * i + 1] = c.Green;
        palette[4 * i + 2] = c.Red;
        palette[4 * i + 3] = 0;
    }
    if (imageBytes > 0) DecodeFramePixels(*this, width, height, bitCount, std::span<uint8_t>(dib).subspan(offBits));
    return dib;
}

void TGIFFrame::DecodeInto(TBitmap& Dest) {
    int bitCount = DecodedBitCount(Item->TableBits);
    int32_t width = std::max(Item->Width, 0);
    int32_t height = std::max(Item->Height, 0);
    uint64_t imageBytes = DecodedImageBytes(*this, width, height, bitCount);
    if (imageBytes == 0) {
        Dest = TBitmap();
        return;
    }
    TPixelFormat format = bitCount == 1 ? pf1bit : bitCount == 4 ? pf4bit : pf8bit;
    TBitmap bitmap(width, height, format);
    std::vector<TRGBQuad> palette(size_t(1) << bitCount, TRGBQuad{0x80, 0x80, 0x80, 0x80});
    int count = std::clamp(Item->Colors.Count, 0, 1 << bitCount);
    for (int i = 0; i < count; ++i) {
        const TGIFColor& c = Item->Colors.Colors[size_t(i)];
        palette[size_t(i)] = {c.Blue, c.Green, c.Red, 0};
    }
    bitmap.SetPalette(palette);
    DecodeFramePixels(*this, width, height, bitCount, bitmap.Bits());
    Dest = std::move(bitmap);
}
