// Icons in icon-file form (directory checks, masked drawing) and the owned icon list with its
// stream form.
#include "imaging/IcoList.h"

#include "platform/ByteOrder.h"
#include "platform/TypedStream.h" // EReadError

#include <algorithm>
#include <array>
#include <cstring>

namespace {

// Icon file directory: reserved, type, count; then 16-byte entries.
constexpr size_t DirHeaderSize = 6;
constexpr size_t DirEntrySize = 16;
constexpr size_t EntryWidth = 0, EntryHeight = 1, EntryDataSize = 8, EntryDataOffset = 12;
constexpr uint16_t IconType = 1;
// BMP info header fields inside an icon image.
constexpr size_t InfoWidth = 4, InfoHeight = 8, InfoBitCount = 14, InfoClrUsed = 32;
constexpr uint8_t PngSignature[4] = {0x89, 'P', 'N', 'G'};
const char* const InvalidIcon = "Icon image is not valid";

// The data of directory entry Index; the directory has been checked when the icon was loaded.
std::span<const uint8_t> EntryData(std::span<const uint8_t> file, size_t index) {
    size_t entry = DirHeaderSize + index * DirEntrySize;
    return file.subspan(GetLE32(file, entry + EntryDataOffset), GetLE32(file, entry + EntryDataSize));
}

// One channel of Source laid over Back with Alpha (0 transparent, 255 opaque), rounded.
uint8_t Blend(uint8_t source, uint8_t back, unsigned alpha) {
    return uint8_t((source * alpha + back * (255 - alpha) + 127) / 255);
}

// Draws Picture over the canvas by the alpha bytes of its 32-bit bottom-up rows (Colors).
void DrawWithAlpha(TBitmap& canvas, int left, int top, const TBitmap& picture, std::span<const uint8_t> colors) {
    const int width = picture.Width(), height = picture.Height();
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = colors.data() + size_t(height - 1 - y) * size_t(width) * 4;
        for (int x = 0; x < width; ++x) {
            unsigned alpha = row[size_t(x) * 4 + 3];
            TColor back = canvas.Pixel(left + x, top + y);
            if (alpha == 0 || back == clNone) continue;
            TColor color = picture.Pixel(x, y);
            if (alpha < 255)
                color = RGBColor(Blend(GetRValue(color), GetRValue(back), alpha),
                                 Blend(GetGValue(color), GetGValue(back), alpha),
                                 Blend(GetBValue(color), GetBValue(back), alpha));
            canvas.SetPixel(left + x, top + y, color);
        }
    }
}

} // namespace

// ---- TIcon -----------------------------------------------------------------------------------

void TIcon::LoadFromBytes(std::span<const uint8_t> Data) {
    if (Data.empty()) {
        FData.clear();
        FWidth = FHeight = 0;
        return;
    }
    if (Data.size() < DirHeaderSize || GetLE16(Data, 0) != 0 || GetLE16(Data, 2) != IconType)
        throw EInvalidGraphic(InvalidIcon);
    size_t count = GetLE16(Data, 4);
    if (count == 0 || Data.size() < DirHeaderSize + count * DirEntrySize) throw EInvalidGraphic(InvalidIcon);
    for (size_t i = 0; i < count; ++i) {
        size_t entry = DirHeaderSize + i * DirEntrySize;
        uint64_t size = GetLE32(Data, entry + EntryDataSize);
        uint64_t offset = GetLE32(Data, entry + EntryDataOffset);
        if (size == 0 || offset + size > Data.size()) throw EInvalidGraphic(InvalidIcon);
    }
    FData.assign(Data.begin(), Data.end());
    FWidth = Data[DirHeaderSize + EntryWidth] ? Data[DirHeaderSize + EntryWidth] : 256;
    FHeight = Data[DirHeaderSize + EntryHeight] ? Data[DirHeaderSize + EntryHeight] : 256;
    if (OnChange) OnChange(*this);
}

void TIcon::LoadFromStream(TStream& Stream) {
    uint64_t position = Stream.Position();
    std::vector<uint8_t> bytes(size_t(Stream.Size() > position ? Stream.Size() - position : 0));
    Stream.ReadBuffer(bytes);
    LoadFromBytes(bytes);
}

void TIcon::Assign(const TIcon& Source) {
    if (&Source == this) return;
    FData = Source.FData;
    FWidth = Source.FWidth;
    FHeight = Source.FHeight;
    Transparent = Source.Transparent;
    if (OnChange) OnChange(*this);
}

void TIcon::Draw(TBitmap& Canvas, int X, int Y) const {
    if (Empty()) return;
    std::span<const uint8_t> image = EntryData(FData, 0);
    if (image.size() >= 4 && std::equal(std::begin(PngSignature), std::end(PngSignature), image.begin())) return;
    if (image.size() < BmpInfoHeaderSize || GetLE32(image, 0) < BmpInfoHeaderSize) throw EInvalidGraphic(InvalidIcon);
    size_t headerSize = GetLE32(image, 0);
    int32_t width = int32_t(GetLE32(image, InfoWidth));
    int32_t height = int32_t(GetLE32(image, InfoHeight)) / 2; // colour rows and mask rows
    int bits = GetLE16(image, InfoBitCount);
    if (width <= 0 || height <= 0 || width > 1024 || height > 1024 || headerSize > image.size())
        throw EInvalidGraphic(InvalidIcon);
    uint32_t clrUsed = GetLE32(image, InfoClrUsed);
    size_t paletteEntries = bits <= 8 ? (clrUsed ? std::min<uint32_t>(clrUsed, 1u << bits) : (1u << bits)) : 0;
    size_t colorBytes = BmpRowBytes(width, bits) * size_t(height);
    size_t maskRow = BmpRowBytes(width, 1);
    size_t colorStart = headerSize + paletteEntries * 4;
    if (colorStart + colorBytes > image.size()) throw EInvalidGraphic(InvalidIcon);

    // The colour part as a BMP file of its own, read by the bitmap layer.
    std::vector<uint8_t> bmp(BmpFileHeaderSize + BmpInfoHeaderSize + paletteEntries * 4 + colorBytes, 0);
    PutLE16(bmp, 0, BmpSignature);
    PutLE32(bmp, 2, uint32_t(bmp.size()));
    PutLE32(bmp, 10, uint32_t(BmpFileHeaderSize + BmpInfoHeaderSize + paletteEntries * 4));
    std::memcpy(bmp.data() + BmpFileHeaderSize, image.data(), BmpInfoHeaderSize);
    PutLE32(bmp, BmpFileHeaderSize, uint32_t(BmpInfoHeaderSize));
    PutLE32(bmp, BmpFileHeaderSize + InfoHeight, uint32_t(height));
    PutLE32(bmp, BmpFileHeaderSize + 16, 0); // no compression
    PutLE32(bmp, BmpFileHeaderSize + 20, uint32_t(colorBytes));
    PutLE32(bmp, BmpFileHeaderSize + InfoClrUsed, uint32_t(bits <= 8 ? paletteEntries : 0));
    std::memcpy(bmp.data() + BmpFileHeaderSize + BmpInfoHeaderSize, image.data() + headerSize,
                paletteEntries * 4 + colorBytes);
    TBitmap picture;
    picture.LoadFromBMP(bmp);

    // A 32-bit image whose alpha bytes are not all zero is drawn by its alpha channel (blended
    // over the canvas) and its mask is not looked at; other images use the mask.
    std::span<const uint8_t> colors = image.subspan(colorStart, colorBytes);
    bool hasAlpha = false;
    if (bits == 32)
        for (size_t at = 3; at < colors.size() && !hasAlpha; at += 4) hasAlpha = colors[at] != 0;
    if (hasAlpha) {
        DrawWithAlpha(Canvas, X, Y, picture, colors);
        return;
    }
    size_t maskStart = colorStart + colorBytes;
    bool hasMask = maskStart + maskRow * size_t(height) <= image.size();
    for (int y = 0; y < height; ++y) {
        const uint8_t* mask = hasMask ? image.data() + maskStart + size_t(height - 1 - y) * maskRow : nullptr;
        for (int x = 0; x < width; ++x) {
            if (mask && (mask[x >> 3] & (0x80 >> (x & 7)))) continue; // masked out: the background shows
            Canvas.SetPixel(X + x, Y + y, picture.Pixel(x, y));
        }
    }
}

// ---- TIconList -------------------------------------------------------------------------------

TIconList::~TIconList() {
    OnChange = nullptr;
    for (auto& icon : FIcons)
        if (icon) icon->OnChange = nullptr;
}

void TIconList::NotifyChanged() {
    if (FUpdateCount == 0 && OnChange) OnChange(*this);
}

void TIconList::CheckIndex(int index, bool allowEnd) const {
    int limit = int(FIcons.size()) + (allowEnd ? 1 : 0);
    if (index < 0 || index >= limit)
        throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
}

void TIconList::Hook(TIcon& icon) {
    icon.OnChange = [this](TIcon&) { NotifyChanged(); };
}

TIcon* TIconList::GetIcon(int Index) const {
    CheckIndex(Index);
    return FIcons[size_t(Index)].get();
}

void TIconList::SetIcon(int Index, const TIcon& Icon) {
    CheckIndex(Index, true);
    InUpdate([&] {
        if (Index == int(FIcons.size())) FIcons.emplace_back();
        auto& slot = FIcons[size_t(Index)];
        if (!slot) {
            slot = std::make_unique<TIcon>();
            Hook(*slot);
        }
        slot->Assign(Icon);
    });
}

int TIconList::AddIcon(const TIcon& Icon) {
    InsertIcon(int(FIcons.size()), Icon);
    return int(FIcons.size()) - 1;
}

void TIconList::InsertIcon(int Index, const TIcon& Icon) {
    CheckIndex(Index, true);
    auto icon = std::make_unique<TIcon>(); // freed by its owner if copying fails
    icon->Assign(Icon);
    Hook(*icon);
    FIcons.insert(FIcons.begin() + Index, std::move(icon));
    NotifyChanged();
}

void TIconList::ClearIcons() {
    IconListBeginUpdate();
    for (int i = int(FIcons.size()) - 1; i >= 0; --i) DeleteIcon(i);
    IconListEndUpdate();
}

void TIconList::DeleteIcon(int Index) {
    CheckIndex(Index);
    if (FIcons[size_t(Index)]) FIcons[size_t(Index)]->OnChange = nullptr;
    FIcons.erase(FIcons.begin() + Index);
    NotifyChanged();
}

void TIconList::ExchangeIcons(int I, int J) {
    CheckIndex(I);
    CheckIndex(J);
    std::swap(FIcons[size_t(I)], FIcons[size_t(J)]);
    NotifyChanged();
}

int TIconList::IndexOfIcon(const TIcon* Icon) const {
    for (size_t i = 0; i < FIcons.size(); ++i)
        if (FIcons[i].get() == Icon) return int(i);
    return -1;
}

void TIconList::MoveIcon(int From, int To) {
    CheckIndex(From);
    CheckIndex(To);
    auto icon = std::move(FIcons[size_t(From)]);
    FIcons.erase(FIcons.begin() + From);
    FIcons.insert(FIcons.begin() + To, std::move(icon));
    NotifyChanged();
}

void TIconList::IconListEndUpdate() {
    if (FUpdateCount > 0 && --FUpdateCount == 0) NotifyChanged();
}

int TIconList::AttachIcon(std::unique_ptr<TIcon> Icon) {
    if (Icon) Hook(*Icon);
    FIcons.push_back(std::move(Icon));
    NotifyChanged();
    return int(FIcons.size()) - 1;
}

void TIconList::LoadIcons(TStream& Stream) {
    auto read32 = [&Stream]() {
        std::array<uint8_t, 4> b;
        Stream.ReadBuffer(b);
        return GetLE32(b, 0);
    };
    InUpdate([&] {
        ClearIcons();
        uint32_t count = read32();
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t size = read32();
            if (size == 0) {
                AttachIcon(nullptr);
                continue;
            }
            // The size comes from the stream: it must not ask for more than is there.
            if (size > Stream.Size() - std::min(Stream.Size(), Stream.Position()))
                throw EReadError("Stream read error");
            std::vector<uint8_t> bytes(size);
            Stream.ReadBuffer(bytes);
            auto icon = std::make_unique<TIcon>();
            icon->LoadFromBytes(bytes);
            AttachIcon(std::move(icon));
        }
    });
}

void TIconList::SaveIcons(TStream& Stream) const {
    auto write32 = [&Stream](uint32_t v) {
        std::array<uint8_t, 4> b;
        PutLE32(b, 0, v);
        Stream.Write(b);
    };
    write32(uint32_t(FIcons.size()));
    for (const auto& icon : FIcons) {
        if (!icon || icon->Empty()) {
            write32(0);
            continue;
        }
        write32(uint32_t(icon->Bytes().size()));
        Stream.Write(icon->Bytes());
    }
}

void TIconList::Assign(const TIconList& Source) {
    if (&Source == this) return;
    InUpdate([&] {
        ClearIcons();
        for (const auto& icon : Source.FIcons) {
            if (icon)
                AddIcon(*icon);
            else
                AttachIcon(nullptr);
        }
    });
}

void TIconList::Assign(const TIcon& Source) {
    InUpdate([&] {
        ClearIcons();
        AddIcon(Source);
    });
}
