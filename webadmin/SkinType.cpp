// The skin: reading the uploaded skin file and drawing a counter value with its images.
// Every number in a skin file or stored layout is untrusted: sizes are checked against the data
// and layout values are kept inside the bitmaps they address.
#include "webadmin/SkinType.h"

#include "platform/ByteOrder.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>

namespace {

constexpr int PlaceholderWidth = 81;
constexpr int PlaceholderHeight = 100;
constexpr TColor NoDigitBackColor = 0xFFFFFF;

constexpr std::string_view DefaultURL = "http://";
constexpr std::string_view DefaultAuthor = "Unknown author";
constexpr std::string_view DefaultName = "NoName";

int32_t ReadInt32LE(std::span<const uint8_t> bytes, size_t offset) { return int32_t(GetLE32(bytes, offset)); }

void SetDefaultTexts(TSkinInfo& info) {
    info.SetURL(DefaultURL);
    info.SetAuthor(DefaultAuthor);
    info.SetName(DefaultName);
}

// The digit images a strip needs, each read once.
class TDigitCache {
public:
    explicit TDigitCache(const std::function<TBitmap(int)>& read) : FRead(read) {}
    const TBitmap& Digit(int digit) {
        auto& slot = FDigits[size_t(digit)];
        if (!slot) slot = FRead(1 + digit);
        return *slot;
    }

private:
    const std::function<TBitmap(int)>& FRead;
    std::array<std::optional<TBitmap>, 10> FDigits;
};

} // namespace

TBitmap ReadSkinBitmap(std::span<const uint8_t> bmp) {
    TBitmap bitmap;
    bitmap.LoadFromBMP(bmp);
    if (bitmap.Width() < 1 || bitmap.Height() < 1 || bitmap.Width() > MaxSkinImageSide ||
        bitmap.Height() > MaxSkinImageSide)
        throw EInvalidGraphic("Skin image size out of range");
    return bitmap;
}

TSkin::TSkin() = default;

// Drawn only when a preview answers with it: its text is the one thing that needs a font.
TBitmap TSkin::Placeholder() {
    TBitmap placeholder(PlaceholderWidth, PlaceholderHeight);
    placeholder.FillRect({0, 0, PlaceholderWidth, PlaceholderHeight}, clBlack);
    placeholder.BrushColor = clBlack;
    placeholder.FontColor = clWhite;
    placeholder.TextOut(30, 30, "Not Complete Skin!!!");
    placeholder.SetPixelFormat(pf24bit);
    return placeholder;
}

bool TSkin::IsComplete() const {
    return std::all_of(FStreams.begin(), FStreams.end(), [](const auto& s) { return s && s->Size() > 0; });
}

TBitmap TSkin::ReadImage(int index) const {
    const TMemoryStream* stream = Stream(index);
    if (!stream) throw EInvalidGraphic("Skin image missing");
    return ReadSkinBitmap(stream->Bytes());
}

TBitmap TSkin::GetImage() {
    if (IsComplete()) {
        try {
            Render();
            return FImage;
        } catch (const std::exception&) {
            // A stored skin whose images cannot be drawn shows like an incomplete one.
        }
    }
    return Placeholder();
}

bool TSkin::LoadFromStream(TStream* stream) {
    if (!stream) return false;
    try {
        std::vector<uint8_t> file = stream->ReadAll();
        std::span<const uint8_t> bytes(file);
        if (bytes.size() < SkinFileImagesOffset) return false;
        TSkinLayout layout = TSkinLayout::FromBytes(bytes.subspan(SkinFileLayoutOffset, TSkinLayout::ByteSize));

        // Sizes are checked in 64 bits before anything is copied: each must be positive and
        // together they must fit in the file.
        std::array<int64_t, SkinImageCount> sizes{};
        int64_t total = 0;
        for (int image = 0; image < SkinImageCount; ++image) {
            int32_t size =
                ReadInt32LE(bytes, SkinFileSizesOffset + 4 * size_t(SkinFileSizeIndexOfImage[size_t(image)]));
            if (size <= 0) return false;
            sizes[size_t(image)] = size;
            total += size;
        }
        if (total > int64_t(bytes.size() - SkinFileImagesOffset)) return false;

        std::array<std::unique_ptr<TMemoryStream>, SkinImageCount> streams;
        size_t position = SkinFileImagesOffset;
        int digitHeight = 0;
        for (int image = 0; image < SkinImageCount; ++image) {
            std::span<const uint8_t> data = bytes.subspan(position, size_t(sizes[size_t(image)]));
            TBitmap bitmap = ReadSkinBitmap(data);
            if (image == 1) digitHeight = bitmap.Height();
            streams[size_t(image)] = std::make_unique<TMemoryStream>(std::vector<uint8_t>(data.begin(), data.end()));
            position += data.size();
        }

        TSkinInfo info;
        if (position < bytes.size()) {
            size_t count = std::min(TSkinInfo::ByteSize, bytes.size() - position);
            std::copy_n(bytes.begin() + std::ptrdiff_t(position), count, info.Bytes.begin());
            position += count;
        }
        if (info.URL().empty() && info.Author().empty() && info.Name().empty()) SetDefaultTexts(info);
        std::optional<TColor> backColor;
        if (bytes.size() - position >= 4) backColor = TColor(ReadInt32LE(bytes, position));

        FStreams = std::move(streams);
        FLayout = layout;
        FLayout.DigitHeight = digitHeight;
        FInfo = info;
        FBackColor = backColor ? *backColor : DigitBackColor();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

TSkinImages TSkin::SaveToStreams() const {
    TSkinImages images;
    for (int i = 0; i < SkinImageCount; ++i)
        images[size_t(i)] = std::make_unique<TMemoryStream>(Stream(i) ? Stream(i)->Bytes() : std::vector<uint8_t>());
    return images;
}

void TSkin::SetStreams(const TSkinImages& images) {
    for (int i = 0; i < SkinImageCount; ++i) {
        const auto& given = images[size_t(i)];
        FStreams[size_t(i)] = std::make_unique<TMemoryStream>(given ? given->Bytes() : std::vector<uint8_t>());
    }
}

TColor TSkin::DigitBackColor() const {
    if (!Stream(1)) return NoDigitBackColor;
    try {
        TBitmap digit = ReadImage(1);
        digit.SetTransparentColor(clDefault);
        return (digit.TransparentColor() & 0x00FFFFFF) | DigitBackColorFlag;
    } catch (const std::exception&) {
        return NoDigitBackColor;
    }
}

std::string TSkin::FormatDigits(int32_t value, int32_t digits) {
    std::string text = std::to_string(value);
    int32_t wanted = std::min(digits, int32_t(MaxSkinDigits));
    if (wanted > int32_t(text.size())) text.insert(0, size_t(wanted) - text.size(), '0');
    return text;
}

TBitmap TSkin::DrawDigitStrip(int width) {
    int stripWidth = std::clamp(width == -1 ? FLayout.StripWidth : width, 0, MaxSkinImageSide);
    int stripHeight = std::clamp(FLayout.DigitHeight, 0, MaxSkinImageSide);
    TBitmap strip(stripWidth, stripHeight);
    strip.FillRect({0, 0, stripWidth, stripHeight}, ColorToRGB(FBackColor));
    if (FLayout.Align > 2) return strip;

    std::string text = FormatDigits(FValue, FLayout.Digits);
    const int64_t len = int64_t(text.size());
    const int64_t spacing = FLayout.Spacing;
    std::function<TBitmap(int)> read = [this](int index) { return ReadImage(index); };
    TDigitCache digits(read);
    int64_t offset = 0;
    if (FLayout.Align == 2) {
        // Halves go to the even neighbour (the default rounding mode of nearbyint).
        double half = (double(digits.Digit(0).Width()) + double(spacing)) * double(len) / 2.0;
        offset = int64_t(std::nearbyint(double(stripWidth) / 2.0 - half));
    }
    for (int64_t i = 1; i <= len; ++i) {
        char c = text[size_t(i - 1)];
        if (c < '0' || c > '9') continue; // the sign of a negative value has no image
        const TBitmap& digit = digits.Digit(c - '0');
        int64_t step = int64_t(digit.Width()) + spacing;
        int64_t left = 0;
        switch (FLayout.Align) {
        case 0: left = step * (i - 1); break;
        case 1: left = int64_t(stripWidth) - step * (len - i + 1) + spacing; break;
        default: left = step * (i - 1) + offset; break;
        }
        // Digits wholly outside the strip are not drawn; the rest is clipped by the copy.
        if (left >= stripWidth || left + digit.Width() <= 0) continue;
        strip.Draw(int(left), 0, digit);
    }
    return strip;
}

void TSkin::Render() {
    TBitmap background = ReadImage(0);
    background.SetPixelFormat(pf24bit);
    TBitmap image = background;
    FLayout.DigitHeight = ReadImage(1).Height();
    if (FLayout.Overlay != 0) {
        TBitmap strip = DrawDigitStrip(-1);
        // What lies outside the background is cut off by the copy; positions far outside are
        // brought nearer first, in 64 bits, so that no edge overflows.
        int x = int(std::clamp<int64_t>(FLayout.X, -int64_t(strip.Width()), image.Width()));
        int y = int(std::clamp<int64_t>(FLayout.Y, -int64_t(strip.Height()), image.Height()));
        image.CopyRect({x, y, x + strip.Width(), y + strip.Height()}, strip, {0, 0, strip.Width(), strip.Height()});
    } else {
        TBitmap strip = DrawDigitStrip(image.Width());
        int oldHeight = image.Height();
        image.SetSize(image.Width(), oldHeight + strip.Height());
        image.Draw(0, oldHeight, strip);
    }
    FImage = std::move(image);
}
