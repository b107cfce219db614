// The GIF writer: encodes each frame's bitmap into LZW data with a colour table, keeps the
// graphic control records in line, and assembles the GIF87a/GIF89a file in memory.
#include "imaging/GifImage.h"

#include "imaging/GifCodec.h"
#include "imaging/GifLzw.h"
#include "imaging/GraphConv.h"
#include "platform/ByteOrder.h"

#include <algorithm>

namespace {

constexpr uint8_t ExtensionIntroducer = 0x21;
constexpr uint8_t ImageIntroducer = 0x2C;
constexpr uint8_t Trailer = 0x3B;
constexpr uint8_t CommentLabel = 0xFE;
constexpr uint8_t ApplicationLabel = 0xFF;
constexpr uint8_t ExtensionLabels[4] = {0xF9, 0x01, 0xFF, 0xFE}; // by TExtensionKind
constexpr uint32_t MaxFileCoordinate = 0xFFFF;

// BMP layout: file header fields and the info header that follows it.
constexpr size_t BmpOffBitsField = 10;
constexpr size_t InfoWidth = 4, InfoHeight = 8, InfoBitCount = 14;
constexpr size_t PaletteStart = BmpFileHeaderSize + BmpInfoHeaderSize;

// Graphic control block: size, packed, delay (2), transparent index, terminator.
constexpr size_t GceSize = 6;
constexpr size_t GcePacked = 1, GceDelay = 2, GceTransparent = 4;
constexpr uint8_t GceTransparentFlag = 0x01;
constexpr uint8_t GceDisposalMask = 0x1C;

void PutWord(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

void PutText(std::vector<uint8_t>& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

// Each non-empty string becomes one sub-block (cut at 255 bytes), then the zero terminator.
void PutSubBlocks(std::vector<uint8_t>& out, const std::optional<std::vector<std::string>>& blocks) {
    if (blocks) {
        for (const std::string& block : *blocks) {
            if (block.empty()) continue;
            size_t n = std::min<size_t>(block.size(), 255);
            out.push_back(uint8_t(n));
            out.insert(out.end(), block.begin(), block.begin() + ptrdiff_t(n));
        }
    }
    out.push_back(0);
}

void PutColorTable(std::vector<uint8_t>& out, const TGIFColorMap& map, int entries) {
    for (int i = 0; i < entries; ++i) {
        TGIFColor c = i < map.Count ? map.Colors[size_t(i)] : TGIFColor{};
        out.insert(out.end(), {c.Red, c.Green, c.Blue});
    }
}

void PutExtension(std::vector<uint8_t>& out, const TExtension& record) {
    if (record.Kind > ekComment) RaiseGIFError(SGIFEncodeError);
    out.push_back(ExtensionIntroducer);
    out.push_back(ExtensionLabels[record.Kind]);
    if (record.Kind == ekComment) {
        PutSubBlocks(out, record.Blocks);
        return;
    }
    out.insert(out.end(), record.FixedBlock.begin(), record.FixedBlock.end());
    if (record.Kind != ekGraphicControl) PutSubBlocks(out, record.Blocks);
}

// Smallest bits from 1 up with 2^bits at least Count.
int BitsForAtLeast(int count) {
    int bits = 1;
    while (bits < 8 && (1 << bits) < count) ++bits;
    return bits;
}

bool SameColors(const TGIFColorMap& a, const TGIFColorMap& b) {
    if (a.Count != b.Count) return false;
    int count = std::clamp(a.Count, 0, 256);
    return std::equal(a.Colors.begin(), a.Colors.begin() + count, b.Colors.begin());
}

void CheckFileCoordinate(int64_t value) {
    if (value < 0 || value > int64_t(MaxFileCoordinate)) RaiseGIFError(SGIFEncodeError);
}

} // namespace

// ---- frame encoding --------------------------------------------------------------------------

void TGIFFrame::EncodeBitmap() {
    if (!Bitmap || Bitmap->Empty()) RaiseGIFError(SGIFNoData);
    std::vector<uint8_t> dib;
    int bits = PixelFormatBits(BitmapPixelFormat(*Bitmap));
    if (bits == 1 || bits == 4 || bits == 8)
        dib = Bitmap->SaveToBMP();
    else
        dib = BitmapToDIBStream(*Bitmap, pf8bit, Gray ? cmGrayscale : DefaultColorMapping);
    if (dib.empty()) dib = Bitmap->SaveToBMP();
    EncodeDIB(dib);
}

void TGIFFrame::EncodeDIB(std::span<const uint8_t> BMP) {
    if (BMP.size() < PaletteStart) RaiseGIFError(SGIFEncodeError);
    const auto info = BMP.subspan(BmpFileHeaderSize);
    int32_t width = int32_t(GetLE32(info, InfoWidth));
    int32_t height = int32_t(GetLE32(info, InfoHeight));
    int bitCount = GetLE16(info, InfoBitCount);
    int colors = bitCount == 1 ? 2 : bitCount == 4 ? 16 : bitCount == 8 ? 256 : 0;
    if (colors == 0 || width <= 0 || height <= 0) RaiseGIFError(SGIFEncodeError);
    // The GIF descriptor holds 16-bit sizes: anything larger cannot be written.
    CheckFileCoordinate(int64_t(width) + Origin.Left);
    CheckFileCoordinate(int64_t(height) + Origin.Top);
    uint32_t offBits = GetLE32(BMP, BmpOffBitsField);
    uint64_t imageBytes = DIBRowBytes(width, bitCount) * uint64_t(height);
    if (offBits < PaletteStart || offBits > BMP.size() || BMP.size() - offBits < imageBytes)
        RaiseGIFError(SGIFEncodeError);

    // Only the palette entries the BMP really holds are read; the rest of the table is black.
    TGIFColorMap map;
    map.Count = colors;
    size_t present = std::min<size_t>(size_t(colors), (offBits - PaletteStart) / 4);
    for (size_t i = 0; i < present; ++i) {
        const uint8_t* quad = BMP.data() + PaletteStart + 4 * i;
        map.Colors[i] = {quad[2], quad[1], quad[0]};
    }

    Interlaced = false;
    std::vector<uint8_t> encoded;
    encoded.reserve(size_t(imageBytes / 2 + 64));
    TGIFImage* owner = Owner;
    TProgressEvent progress;
    if (owner && owner->OnProgress)
        progress = [owner](TProgressStage stage, int percent, const std::string& message) {
            owner->Progress(stage, percent, message);
        };
    EncodeLZW(encoded, {width, height, bitCount}, BMP.subspan(offBits, size_t(imageBytes)), progress);

    Item->Colors = map;
    Item->EncodedData = std::move(encoded);
    Item->TableBits = uint8_t(BitsForAtLeast(map.Count));
    LoadedTransparentIndex = -1;
    if (owner && owner->Data->GlobalColors.Count == 0) {
        owner->Data->GlobalColors = map;
        owner->Data->TableBits = Item->TableBits;
        HasLocalColors = false;
    } else {
        HasLocalColors = true;
    }
    Item->Width = width;
    Item->Height = height;
    if (owner) {
        owner->LogicalWidth = std::max<uint16_t>(owner->LogicalWidth, uint16_t(width + Origin.Left));
        owner->LogicalHeight = std::max<uint16_t>(owner->LogicalHeight, uint16_t(height + Origin.Top));
    }
}

void TGIFFrame::SyncControlBlock() {
    TExtension* control = FindExtension(Extensions, ekGraphicControl);
    if (!control && (DelayMs > 0 || TransparentColor != clNone || Disposal != 0)) {
        Extensions.push_back(TExtension{ekGraphicControl, std::nullopt, {4, 0, 0, 0, 0, 0}});
        control = &Extensions.back();
    }
    if (control) {
        std::vector<uint8_t>& block = control->FixedBlock;
        if (block.size() < GceSize) block.resize(GceSize, 0);
        uint16_t delay = uint16_t(DelayMs / 10);
        block[GceDelay] = uint8_t(delay);
        block[GceDelay + 1] = uint8_t(delay >> 8);
        int index = -1;
        const TGIFColorMap& colors = Item->Colors;
        if (TransparentColor != clNone && LoadedTransparentIndex >= 0 && LoadedTransparentIndex < colors.Count &&
            RGBColor(colors.Colors[size_t(LoadedTransparentIndex)].Red,
                     colors.Colors[size_t(LoadedTransparentIndex)].Green,
                     colors.Colors[size_t(LoadedTransparentIndex)].Blue) == ColorToRGB(TransparentColor))
            index = LoadedTransparentIndex;
        else
            index = FindColorIndex(colors, TransparentColor);
        uint8_t packed = block[GcePacked];
        if (index >= 0) {
            block[GceTransparent] = uint8_t(index);
            packed |= GceTransparentFlag;
        } else {
            packed &= uint8_t(~GceTransparentFlag);
        }
        packed = uint8_t((packed & ~GceDisposalMask) | ((Disposal & 7) << 2));
        block[GcePacked] = packed;
    }
    for (size_t i = Extensions.size(); i-- > 0;) {
        const TExtension& record = Extensions[i];
        if (record.Kind == ekComment && (!record.Blocks || record.Blocks->empty()))
            Extensions.erase(Extensions.begin() + ptrdiff_t(i));
    }
    if (!Extensions.empty() && Owner) Owner->Version = 2;
}

// ---- image writing ---------------------------------------------------------------------------

void TGIFImage::EncodeAll() {
    for (auto& frame : Frames) {
        if (!frame->Item->EncodedData || frame->Item->EncodedData->empty()) {
            frame->Item->EncodedData.reset();
            frame->EncodeBitmap();
        }
        // Items are shared between copied images, the choice of table is not: a frame whose
        // colours are not the global ones must carry them itself.
        if (!frame->HasLocalColors && !SameColors(frame->Item->Colors, Data->GlobalColors))
            frame->HasLocalColors = true;
        frame->SyncControlBlock();
    }
}

std::vector<uint8_t> TGIFImage::WriteGIF(bool WithSize) {
    if (Frames.empty()) RaiseGIFError(SGIFNoData);
    EncodeAll();
    if (!Data->CommentLines.empty()) Version = 2;

    std::vector<uint8_t> out;
    size_t total = 0;
    for (const auto& frame : Frames) total += frame->Item->EncodedData->size() + 1024;
    out.reserve(total + 1024);
    if (WithSize) out.assign(4, 0); // the size, filled in at the end
    PutText(out, "GIF");
    static constexpr const char* Versions[] = {"\0\0\0", "87a", "89a"};
    out.insert(out.end(), Versions[std::min<int>(Version, 2)], Versions[std::min<int>(Version, 2)] + 3);

    ComputeLogicalSize();
    for (const auto& frame : Frames) {
        // A side of 0 in a descriptor reads back as the logical screen's: a frame loaded with an
        // empty side cannot be written so that it loads again as it is.
        if (frame->Item->Width < 1 || frame->Item->Height < 1) RaiseGIFError(SGIFEncodeError);
        CheckFileCoordinate(int64_t(frame->Item->Width) + frame->Origin.Left);
        CheckFileCoordinate(int64_t(frame->Item->Height) + frame->Origin.Top);
        CheckFileCoordinate(frame->Origin.Left);
        CheckFileCoordinate(frame->Origin.Top);
    }
    PutWord(out, LogicalWidth);
    PutWord(out, LogicalHeight);
    const TGIFColorMap& global = Data->GlobalColors;
    if (global.Count == 0) {
        out.insert(out.end(), {0, 0});
    } else {
        int bits = BitsForColorCount(global.Count);
        // The colour resolution follows the count; the size field says what is written here.
        out.push_back(uint8_t(0x80 + ((bits - 1) << 4) + (bits - 1)));
        out.push_back(uint8_t(std::max(FindColorIndex(global, BackColor), 0)));
    }
    out.push_back(Data->AspectByte);
    PutColorTable(out, global, global.Count);

    if (LoopEnabled && Frames.size() > 1) {
        out.insert(out.end(), {ExtensionIntroducer, ApplicationLabel, 11});
        PutText(out, "NETSCAPE2.0");
        out.insert(out.end(), {3, 1, uint8_t(LoopCount), uint8_t(LoopCount >> 8), 0});
    }

    for (const auto& frame : Frames) {
        for (const TExtension& record : frame->Extensions) PutExtension(out, record);
        TGIFItem& item = *frame->Item;
        out.push_back(ImageIntroducer);
        PutWord(out, uint16_t(frame->Origin.Left));
        PutWord(out, uint16_t(frame->Origin.Top));
        PutWord(out, uint16_t(item.Width));
        PutWord(out, uint16_t(item.Height));
        uint8_t packed = frame->Interlaced ? 0x40 : 0;
        int localBits = 0;
        if (frame->HasLocalColors) {
            localBits = BitsForAtLeast(item.Colors.Count);
            item.TableBits = uint8_t(localBits);
            packed |= uint8_t(0x80 + (localBits - 1));
        }
        out.push_back(packed);
        // A table always holds 2^bits entries: a shorter map is padded with black.
        if (frame->HasLocalColors) PutColorTable(out, item.Colors, 1 << localBits);
        out.insert(out.end(), item.EncodedData->begin(), item.EncodedData->end());
    }

    if (!Data->CommentLines.empty()) {
        out.insert(out.end(), {ExtensionIntroducer, CommentLabel});
        PutSubBlocks(out, Data->CommentLines);
    }
    out.push_back(Trailer);

    if (WithSize) {
        uint32_t length = uint32_t(out.size() - 4);
        for (int i = 0; i < 4; ++i) out[size_t(i)] = uint8_t(length >> (8 * i));
    }
    return out;
}
