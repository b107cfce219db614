// The GIF image model: frames, copying between images, frames, bitmaps and cursors, colour
// lookups and drawing. Writing is in GifWriter.cpp, reading in GifReader.cpp.
#include "imaging/GifImage.h"

#include "imaging/AniFile.h"
#include "imaging/GfxUtils.h"
#include "imaging/GifCodec.h"
#include "imaging/IcoList.h"
#include "platform/ByteOrder.h"

#include <algorithm>

bool GIFDamageTolerant = true;

void RaiseGIFError(std::string_view Message) { throw EInvalidGraphicOperation(std::string(Message)); }

void RaiseReadError() { throw EReadError(std::string(SStreamReadError)); }

namespace {

[[noreturn]] void RaiseAssignError(const char* source, const char* dest) {
    RaiseGIFError(StrFormat(std::string(SAssignError).c_str(), source, dest));
}

// Plain RGB of a colour number; the system colours this codec meets resolve to their colour.
TColor ResolveColor(TColor color) {
    if (color == clWindow) return clWhite;
    return ColorToRGB(color);
}

TColor MapColor(const TGIFColor& c) { return RGBColor(c.Red, c.Green, c.Blue); }

} // namespace

// ---- free routines ---------------------------------------------------------------------------

TExtension* FindExtension(TExtensionList& List, uint8_t Kind) {
    for (auto it = List.rbegin(); it != List.rend(); ++it)
        if (it->Kind == Kind) return &*it;
    return nullptr;
}

int BitsForColorCount(int Count) {
    for (int bits = 1; bits <= 8; ++bits)
        if (Count == 1 << bits) return bits;
    RaiseGIFError(SGIFColorCount);
}

int FindColorIndex(const TGIFColorMap& Map, TColor Color) {
    if (Color == clNone) return -1;
    TColor rgb = ResolveColor(Color);
    int count = std::clamp(Map.Count, 0, 256);
    for (int i = 0; i < count; ++i)
        if (MapColor(Map.Colors[size_t(i)]) == rgb) return i;
    return -1;
}

// ---- TGIFFrame -------------------------------------------------------------------------------

TGIFFrame::TGIFFrame(TGIFImage* Owner) : Owner(Owner) { Reset(); }

TGIFFrame::~TGIFFrame() = default;

void TGIFFrame::Reset() {
    Item = std::make_shared<TGIFItem>();
    Gray = DataDamaged = Interlaced = HasLocalColors = false;
    TransparentColor = clNone;
    Origin = {};
    DelayMs = 0;
    Disposal = 0;
    LoadedTransparentIndex = -1;
}

void TGIFFrame::NewBitmap() { Bitmap = std::make_unique<TBitmap>(); }

void TGIFFrame::Assign(std::nullptr_t) {
    Reset();
    Bitmap.reset();
    if (Owner) Owner->ComputeLogicalSize();
}

void TGIFFrame::Assign(const TGIFFrame& Source) {
    if (&Source != this) {
        Item = Source.Item;
        HasLocalColors = (Owner == Source.Owner) ? Source.HasLocalColors : true;
        Origin = Source.Origin;
        Interlaced = Source.Interlaced;
        if (Source.Bitmap) {
            auto copy = std::make_unique<TBitmap>(*Source.Bitmap);
            Bitmap = std::move(copy);
        }
        TransparentColor = Source.TransparentColor;
        DelayMs = Source.DelayMs;
        Disposal = Source.Disposal;
        Gray = Source.Gray;
        DataDamaged = Source.DataDamaged;
        LoadedTransparentIndex = Source.LoadedTransparentIndex;
        auto* lines = const_cast<TGIFFrame&>(Source).FindComment(false);
        if (lines && !lines->empty()) SetComment(std::vector<std::string>(*lines));
    }
    if (Owner) Owner->ComputeLogicalSize();
}

void TGIFFrame::Assign(const TGIFImage& Source) {
    if (Source.Frames.empty()) {
        Assign(nullptr);
        return;
    }
    size_t index = size_t(std::max(Source.CurrentFrame, 0));
    Assign(*Source.Frames.at(std::min(index, Source.Frames.size() - 1)));
}

void TGIFFrame::Assign(const TBitmap& Source) {
    if (Source.Empty()) {
        Assign(nullptr);
        return;
    }
    TBitmap copy(Source); // Source may be this frame's own bitmap
    Reset();
    Bitmap = std::make_unique<TBitmap>(std::move(copy));
    if (Source.Transparent) TransparentColor = Bitmap->TransparentColor();
    if (Owner) Owner->ComputeLogicalSize();
}

void TGIFFrame::Assign(const TIcon& Source) {
    if (Source.Empty()) {
        Assign(nullptr);
        return;
    }
    Reset();
    NewBitmap();
    // A bitmap cannot take an icon directly: the icon is drawn over a fuchsia background,
    // which then serves as the transparent colour.
    Bitmap->BrushColor = clFuchsia;
    Bitmap->SetSize(Source.Width(), Source.Height());
    Bitmap->FillRect({0, 0, Bitmap->Width(), Bitmap->Height()});
    Source.Draw(*Bitmap, 0, 0);
    if (Source.Transparent) TransparentColor = Bitmap->BrushColor;
    if (Owner) Owner->ComputeLogicalSize();
}

void TGIFFrame::AssignTo(TGIFImage& Dest) const { Dest.Assign(*this); }

void TGIFFrame::AssignTo(TBitmap& Dest) {
    Dest = GetBitmap();
    if (TransparentColor != clNone) {
        Dest.SetTransparentColor(ResolveColor(TransparentColor));
        Dest.Transparent = true;
    }
}

const TBitmap& TGIFFrame::GetBitmap() {
    if (Bitmap && !Bitmap->Empty()) return *Bitmap;
    auto bitmap = std::make_unique<TBitmap>();
    if (Item->EncodedData && !Item->EncodedData->empty()) DecodeInto(*bitmap);
    Bitmap = std::move(bitmap);
    return *Bitmap;
}

int TGIFFrame::GetWidth() {
    if (Bitmap && !Bitmap->Empty()) return Bitmap->Width();
    // The decoded bitmap has the item's size; no need to decode for it.
    return Item->EncodedData && !Item->EncodedData->empty() ? Item->Width : 0;
}

int TGIFFrame::GetHeight() {
    if (Bitmap && !Bitmap->Empty()) return Bitmap->Height();
    return Item->EncodedData && !Item->EncodedData->empty() ? Item->Height : 0;
}

void TGIFFrame::Draw(TBitmap& Canvas, const TRect& Rect, bool Transparent) {
    const TBitmap& picture = GetBitmap();
    TRect source{0, 0, picture.Width(), picture.Height()};
    if (Transparent && TransparentColor != clNone)
        StretchDrawTransparent(Canvas, Rect.Left, Rect.Top, Rect.Width(), Rect.Height(), source, picture,
                               ResolveColor(TransparentColor));
    else
        Canvas.CopyRect(Rect, picture, source);
}

std::vector<std::string>* TGIFFrame::FindComment(bool Create) {
    TExtension* record = FindExtension(Extensions, ekComment);
    if (!record) {
        if (!Create) return nullptr;
        Extensions.push_back(TExtension{ekComment, std::vector<std::string>{}, {}});
        record = &Extensions.back();
    }
    if (!record->Blocks) {
        if (!Create) return nullptr;
        record->Blocks.emplace();
    }
    return &*record->Blocks;
}

// ---- TGIFImage -------------------------------------------------------------------------------

TGIFImage::TGIFImage() {
    Reset();
    Transparent = true;
}

TGIFImage::~TGIFImage() = default;

void TGIFImage::Changed() {
    if (OnChange) OnChange(*this);
}

void TGIFImage::Progress(TProgressStage Stage, int Percent, const std::string& Message) {
    if (OnProgress) OnProgress(*this, Stage, Percent, Message);
}

void TGIFImage::Reset() {
    Data = std::make_shared<TGIFData>();
    Frames.clear();
    CurrentFrame = -1;
    BackColor = clNone;
    LoopCount = 1;
    LoopEnabled = false;
    Version = 0;
}

void TGIFImage::Assign(std::nullptr_t) {
    Reset();
    Changed();
}

void TGIFImage::Assign(const TGIFImage& Source) {
    if (&Source == this) RaiseAssignError("TGIFImage", "TGIFImage");
    Data = Source.Data;
    Version = Source.Version;
    BackColor = Source.BackColor;
    LoopCount = Source.LoopCount;
    LoopEnabled = Source.LoopEnabled;
    Frames.clear();
    for (const auto& source : Source.Frames) {
        auto frame = std::make_unique<TGIFFrame>(this);
        frame->Assign(*source);
        frame->HasLocalColors = source->HasLocalColors;
        Frames.push_back(std::move(frame));
    }
    LogicalWidth = Source.LogicalWidth;
    LogicalHeight = Source.LogicalHeight;
    CurrentFrame = Source.CurrentFrame;
    Changed();
}

void TGIFImage::Assign(const TGIFFrame& Source) {
    // Take a copy first: the source may be one of this image's own frames.
    TGIFFrame source(nullptr);
    source.Assign(Source);
    source.HasLocalColors = Source.HasLocalColors;
    std::shared_ptr<TGIFData> sourceData = Source.Owner ? Source.Owner->Data : nullptr;
    Reset();
    if (sourceData) {
        Data->AspectByte = sourceData->AspectByte;
        Data->TableBits = sourceData->TableBits;
        Data->ColorResolution = sourceData->ColorResolution;
        Data->GlobalColors = sourceData->GlobalColors;
    }
    Frames.push_back(std::make_unique<TGIFFrame>(this));
    CurrentFrame = 0;
    Frames.back()->Assign(source);
    if (Version == 0) Version = 1;
    Changed();
}

void TGIFImage::Assign(const TBitmap& Source) {
    TBitmap copy(Source); // Source may be a frame's bitmap of this image
    Reset();
    AppendFrame(copy);
    Changed();
}

void TGIFImage::Assign(const TAnimatedCursorImage& Source) {
    Reset();
    BackColor = clWindow;
    for (int i = 0; i < Source.CursorFrameCount(); ++i) {
        AppendFrame(Source.CursorFrameIcon(i));
        // Ticks of 1/60 s to milliseconds, saturated to the 16-bit field.
        uint64_t ms = uint64_t(uint32_t(Source.CursorFrame(i).Rate)) * 100 / 6;
        Frames[size_t(CurrentFrame)]->DelayMs = uint16_t(std::min<uint64_t>(ms, 0xFFFF));
    }
    Changed();
}

void TGIFImage::AssignTo(TBitmap& Dest) {
    if (GetEmpty()) {
        Dest = TBitmap();
        return;
    }
    if (CurrentFrame < 0)
        Dest = CurrentBitmap();
    else
        Frame(CurrentFrame).AssignTo(Dest);
}

namespace {
template <typename TGraphicSource> int AppendFrameFrom(TGIFImage& image, const TGraphicSource& graphic) {
    image.Frames.push_back(std::make_unique<TGIFFrame>(&image));
    image.CurrentFrame = int32_t(image.Frames.size() - 1);
    image.Frames.back()->Assign(graphic);
    if (image.Version == 0) image.Version = 1;
    if (image.Frames.size() > 1) image.Version = 2;
    return image.CurrentFrame;
}
} // namespace

int TGIFImage::AppendFrame(const TBitmap& Graphic) { return AppendFrameFrom(*this, Graphic); }

int TGIFImage::AppendFrame(const TIcon& Graphic) { return AppendFrameFrom(*this, Graphic); }

const TBitmap& TGIFImage::CurrentBitmap() {
    if (Frames.empty()) {
        Frames.push_back(std::make_unique<TGIFFrame>(this));
        CurrentFrame = 0;
        Frames.back()->Assign(TBitmap());
        return Frames.back()->GetBitmap();
    }
    if (CurrentFrame >= 0 && size_t(CurrentFrame) < Frames.size()) return Frames[size_t(CurrentFrame)]->GetBitmap();
    return Frames[0]->GetBitmap();
}

bool TGIFImage::GetEmpty() {
    if (Frames.empty()) return true;
    size_t index = std::min(size_t(std::max(CurrentFrame, 0)), Frames.size() - 1);
    const TGIFFrame& frame = *Frames[index];
    if (frame.Bitmap && !frame.Bitmap->Empty()) return false;
    return !frame.Item->EncodedData || frame.Item->EncodedData->empty();
}

int TGIFImage::GetWidth() {
    if (GetEmpty() || CurrentFrame < 0 || size_t(CurrentFrame) >= Frames.size()) return 0;
    return Frames[size_t(CurrentFrame)]->GetBitmap().Width();
}

int TGIFImage::GetHeight() {
    if (GetEmpty() || CurrentFrame < 0 || size_t(CurrentFrame) >= Frames.size()) return 0;
    return Frames[size_t(CurrentFrame)]->GetBitmap().Height();
}

void TGIFImage::SetWidth(int) { RaiseGIFError(SGIFSizeChange); }

void TGIFImage::SetHeight(int) { RaiseGIFError(SGIFSizeChange); }

std::vector<TRGBQuad> TGIFImage::GetPalette() {
    if (Frames.empty()) return {};
    return CurrentBitmap().Palette();
}

bool TGIFImage::GetTransparent() const {
    if (!Transparent) return false;
    return std::any_of(Frames.begin(), Frames.end(),
                       [](const auto& frame) { return frame->TransparentColor != clNone; });
}

void TGIFImage::Draw(TBitmap& Canvas, const TRect& Rect) {
    if (CurrentFrame >= 0 && size_t(CurrentFrame) < Frames.size())
        Frames[size_t(CurrentFrame)]->Draw(Canvas, Rect, GetTransparent());
}

void TGIFImage::ComputeLogicalSize() {
    int64_t width = 0, height = 0;
    for (const auto& frame : Frames) {
        width = std::max<int64_t>(width, int64_t(frame->GetWidth()) + frame->Origin.Left);
        height = std::max<int64_t>(height, int64_t(frame->GetHeight()) + frame->Origin.Top);
    }
    // The file cannot hold more; writing refuses frames that reach beyond (WriteGIF).
    LogicalWidth = uint16_t(std::clamp<int64_t>(width, 0, 0xFFFF));
    LogicalHeight = uint16_t(std::clamp<int64_t>(height, 0, 0xFFFF));
}

void TGIFImage::SaveToStream(TStream& Stream) {
    std::vector<uint8_t> bytes = WriteGIF(false);
    Stream.Write(bytes);
}

void TGIFImage::WriteData(TStream& Stream) {
    std::vector<uint8_t> bytes = WriteGIF(true);
    Stream.Write(bytes);
}

namespace {
// The bytes from the stream's position to its end.
std::vector<uint8_t> ReadRest(TStream& stream) {
    uint64_t position = stream.Position();
    uint64_t size = stream.Size();
    std::vector<uint8_t> bytes(size_t(size > position ? size - position : 0));
    stream.ReadBuffer(bytes);
    return bytes;
}
} // namespace

void TGIFImage::LoadFromStream(TStream& Stream) {
    // A memory stream is parsed where it stands; other streams are read into memory first.
    if (auto* memory = dynamic_cast<TMemoryStream*>(&Stream)) {
        std::span<const uint8_t> all = memory->Bytes();
        size_t position = size_t(std::min<uint64_t>(memory->Position(), all.size()));
        memory->Seek(all.size());
        ReadGIF(all.size() - position, all.subspan(position), true);
        return;
    }
    std::vector<uint8_t> bytes = ReadRest(Stream);
    ReadGIF(bytes.size(), bytes, true);
}

void TGIFImage::ReadData(TStream& Stream) {
    std::array<uint8_t, 4> prefix;
    Stream.ReadBuffer(prefix);
    uint32_t length = GetLE32(prefix, 0);
    uint64_t available = Stream.Size() > Stream.Position() ? Stream.Size() - Stream.Position() : 0;
    if (length > available) RaiseReadError();
    std::vector<uint8_t> bytes(length);
    Stream.ReadBuffer(bytes);
    ReadGIF(bytes.size(), bytes, true);
}

void TGIFImage::SaveToClipboardFormat(TGIFClipboardData& Clipboard) {
    if (Frames.empty()) return;
    Clipboard.Bitmap = Frames[0]->GetBitmap();
    bool allEncoded = std::all_of(Frames.begin(), Frames.end(), [](const auto& frame) {
        return frame->Item->EncodedData && !frame->Item->EncodedData->empty();
    });
    if (allEncoded) Clipboard.GIFBlock = WriteGIF(true);
}

void TGIFImage::LoadFromClipboardFormat(const TGIFClipboardData& Clipboard) {
    if (!Clipboard.GIFBlock) {
        Assign(Clipboard.Bitmap ? *Clipboard.Bitmap : TBitmap());
        return;
    }
    TByteReader block(*Clipboard.GIFBlock);
    uint32_t length = block.DWord();
    ReadGIF(length, std::span<const uint8_t>(*Clipboard.GIFBlock).subspan(4), false);
    if (Frames.empty()) return;
    CurrentFrame = 0;
    if (Clipboard.Bitmap) {
        Frames[0]->NewBitmap();
        *Frames[0]->Bitmap = *Clipboard.Bitmap;
    }
}
