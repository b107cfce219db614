// The animated-cursor reader: RIFF chunks of an "ACON" file into frame records, each chunk and
// sub-chunk bounded by the bytes really there; and the frame strip bitmap.
#include "imaging/AniFile.h"

#include "imaging/GfxUtils.h"
#include "imaging/GraphConv.h"
#include "platform/ByteOrder.h"
#include "platform/OsFile.h"
#include "platform/TypedStream.h" // EReadError

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t ChunkHeaderSize = 8;
constexpr size_t AniHeaderSize = 36;
constexpr size_t MaxInfoText = 255;
constexpr uint32_t AniFlagIcon = 1;
// Icon directory: type at 2, count at 4, 16-byte entries from 6 (planes at 4, bit count at 6,
// size at 8, offset at 12); the bit count of an image's info header is at 14.
constexpr size_t IconDirType = 2, IconDirCount = 4, IconDirEntries = 6, IconEntrySize = 16;
constexpr size_t EntryPlanes = 4, EntryBitCount = 6, EntrySize = 8, EntryOffset = 12, InfoBitCount = 14;
constexpr uint16_t TypeIcon = 1, TypeCursor = 2;

[[noreturn]] void RaiseReadError() { throw EReadError("Stream read error"); }

uint64_t PadToEven(uint64_t size) { return size + (size & 1); }

bool IdIs(const TChunkTag& tag, const char* id) { return std::memcmp(tag.Id.data(), id, 4) == 0; }

// Reads chunks from a span; every size is checked against the bytes left.
class TChunkReader {
public:
    explicit TChunkReader(std::span<const uint8_t> data) : Data(data) {}
    size_t Remaining() const { return Data.size() - Pos; }

    bool ReadTag(TChunkTag& tag) {
        if (Remaining() < ChunkHeaderSize) return false;
        std::memcpy(tag.Id.data(), Data.data() + Pos, 4);
        tag.Size = GetLE32(Data, Pos + 4);
        Pos += ChunkHeaderSize;
        return true;
    }
    bool ReadId(std::array<char, 4>& id) {
        if (Remaining() < 4) return false;
        std::memcpy(id.data(), Data.data() + Pos, 4);
        Pos += 4;
        return true;
    }
    // The chunk's data, or false when the chunk claims more than is there.
    bool Body(uint32_t size, std::span<const uint8_t>& body) {
        if (size > Remaining()) return false;
        body = Data.subspan(Pos, size);
        return true;
    }
    // Skips the padded data; false when it runs past the end.
    bool Skip(uint64_t size) {
        if (size > Remaining()) {
            Pos = Data.size();
            return false;
        }
        Pos += size_t(size);
        return true;
    }

private:
    std::span<const uint8_t> Data;
    size_t Pos = 0;
};

} // namespace

int AniColorCount(int Bits) {
    switch (Bits) {
    case 1: return 2;
    case 4: return 16;
    case 8: return 256;
    default: return 0;
    }
}

void TAnimatedCursorImage::ClearCursor() {
    Header = {};
    CursorTitle.clear();
    CursorCreator.clear();
    Frames.clear();
    MaxColors = 0;
}

void TAnimatedCursorImage::LoadFromStream(TStream& Stream) {
    uint64_t position = Stream.Position();
    std::vector<uint8_t> bytes(size_t(Stream.Size() > position ? Stream.Size() - position : 0));
    if (bytes.empty()) return;
    Stream.ReadBuffer(bytes);
    ReadAniChunks(bytes);
}

void TAnimatedCursorImage::SaveToStream(TStream&) const { RaiseNotImplemented(); }

void TAnimatedCursorImage::LoadFromFile(const std::string& Name) {
    TOsFile file;
    if (int error = file.Open(Name, false, TOsDisposition::OpenExisting, false)) throw EOSError(error, "open " + Name);
    std::vector<uint8_t> bytes(size_t(file.Size()));
    bytes.resize(file.ReadAt(bytes, 0));
    TMemoryStream stream(std::move(bytes));
    LoadFromStream(stream);
}

std::unique_ptr<TIcon> TAnimatedCursorImage::ReadAniIcon(std::span<const uint8_t> Data, bool& IsIcon, int32_t& HotX,
                                                         int32_t& HotY) {
    std::vector<uint8_t> copy(Data.begin(), Data.end());
    HotX = HotY = 0;
    IsIcon = false;
    if (copy.size() < IconDirEntries) return nullptr;
    uint16_t type = GetLE16(copy, IconDirType);
    IsIcon = type == TypeIcon;
    if (type == TypeCursor) {
        copy[IconDirType] = uint8_t(TypeIcon); // so that it loads as an icon
        type = TypeIcon;
    }
    if (type != TypeIcon) return nullptr;
    size_t count = GetLE16(copy, IconDirCount);
    for (size_t i = 0; i < count; ++i) {
        size_t entry = IconDirEntries + i * IconEntrySize;
        if (entry + IconEntrySize > copy.size()) break;
        uint64_t offset = GetLE32(copy, entry + EntryOffset);
        uint64_t size = GetLE32(copy, entry + EntrySize);
        if (size >= InfoBitCount + 2 && offset + size <= copy.size())
            MaxColors = uint16_t(std::max(AniColorCount(GetLE16(copy, size_t(offset) + InfoBitCount)), int(MaxColors)));
        HotX = GetLE16(copy, entry + EntryPlanes);
        HotY = GetLE16(copy, entry + EntryBitCount);
    }
    auto icon = std::make_unique<TIcon>();
    icon->LoadFromBytes(copy);
    if (IsIcon) {
        HotX = icon->Width() / 2;
        HotY = icon->Height() / 2;
    }
    return icon;
}

// What the chunks of a file say, gathered before any frame is made: the icons once each, and
// the per-step display rates and icon numbers of the "rate" and "seq " chunks.
struct TAnimatedCursorImage::TAniChunks {
    bool HasHeader = false;
    std::vector<TIconFrame> Icons; // one per "icon" chunk, in file order
    std::vector<int32_t> Rates;
    std::vector<int32_t> Sequence;
};

namespace {

// The 32-bit values of a "rate" or "seq " chunk, one per step, appended to Values.
void AppendStepValues(std::span<const uint8_t> body, std::vector<int32_t>& values) {
    for (size_t at = 0; at + 4 <= body.size(); at += 4) values.push_back(int32_t(GetLE32(body, at)));
}

} // namespace

void TAnimatedCursorImage::ReadAniChunks(std::span<const uint8_t> Data) {
    TChunkReader riff(Data);
    TChunkTag tag;
    std::array<char, 4> form;
    if (!riff.ReadTag(tag) || !IdIs(tag, "RIFF") || !riff.ReadId(form) || std::memcmp(form.data(), "ACON", 4) != 0)
        RaiseReadError();
    ClearCursor();

    TAniChunks chunks;
    std::span<const uint8_t> body;
    while (riff.ReadTag(tag)) {
        if (IdIs(tag, "anih")) {
            if (!riff.Body(tag.Size, body)) break;
            std::array<uint8_t, AniHeaderSize> raw{};
            std::memcpy(raw.data(), body.data(), std::min(body.size(), AniHeaderSize));
            uint32_t* fields[] = {&Header.HeaderSize, &Header.FrameCount,  &Header.StepCount,
                                  &Header.Width,      &Header.Height,      &Header.BitCount,
                                  &Header.Planes,     &Header.DisplayRate, &Header.Flags};
            for (size_t i = 0; i < 9; ++i) *fields[i] = GetLE32(raw, 4 * i);
            if (!(Header.Flags & AniFlagIcon) || Header.StepCount == 0) RaiseReadError();
            chunks.HasHeader = true;
        } else if (IdIs(tag, "rate") || IdIs(tag, "seq ")) {
            if (!riff.Body(tag.Size, body)) break;
            AppendStepValues(body, IdIs(tag, "rate") ? chunks.Rates : chunks.Sequence);
        } else if (IdIs(tag, "LIST")) {
            uint64_t size = std::min<uint64_t>(PadToEven(tag.Size), riff.Remaining());
            riff.Body(uint32_t(size), body);
            TChunkReader list(body);
            std::array<char, 4> type;
            if (!list.ReadId(type)) break;
            TChunkTag sub;
            if (std::memcmp(type.data(), "fram", 4) == 0) {
                while (list.ReadTag(sub)) {
                    std::span<const uint8_t> data;
                    if (!list.Body(sub.Size, data)) break;
                    if (IdIs(sub, "icon")) {
                        TIconFrame got;
                        got.Icon = ReadAniIcon(data, got.IsIcon, got.HotSpotX, got.HotSpotY);
                        if (!got.Icon) break;
                        got.Tag = sub;
                        chunks.Icons.push_back(std::move(got));
                    }
                    list.Skip(PadToEven(sub.Size));
                }
            } else if (std::memcmp(type.data(), "INFO", 4) == 0) {
                while (list.ReadTag(sub)) {
                    std::span<const uint8_t> data;
                    if (!list.Body(sub.Size, data)) break;
                    if (IdIs(sub, "INAM") || IdIs(sub, "IART")) {
                        std::string text(data.begin(), data.begin() + ptrdiff_t(std::min(data.size(), MaxInfoText)));
                        text = text.substr(0, text.find('\0'));
                        (IdIs(sub, "INAM") ? CursorTitle : CursorCreator) = text;
                    }
                    list.Skip(PadToEven(sub.Size));
                }
            }
            riff.Skip(size);
            continue;
        }
        if (!riff.Skip(PadToEven(tag.Size))) break;
    }
    BuildFrames(chunks);
}

// One frame record per step: with a "seq " chunk the steps are its values (at most StepCount),
// each naming an icon chunk; without one, step i shows icon i, for FrameCount steps. Step i
// takes the i-th value of the "rate" chunk, else DisplayRate. Steps naming no icon are
// dropped; an icon no step names gets a record of its own (Sequence -1) at the end. The work
// is linear in the file: every step costs one look-up and shares its icon.
void TAnimatedCursorImage::BuildFrames(const TAniChunks& Chunks) {
    const size_t iconCount = Chunks.Icons.size();
    std::vector<int32_t> steps;
    if (!Chunks.HasHeader) {
        // No header: no steps, every icon stands for itself.
    } else if (!Chunks.Sequence.empty()) {
        steps.assign(Chunks.Sequence.begin(),
                     Chunks.Sequence.begin() + ptrdiff_t(std::min<uint64_t>(Chunks.Sequence.size(), Header.StepCount)));
    } else {
        size_t count = size_t(std::min<uint64_t>(Header.FrameCount, iconCount));
        for (size_t i = 0; i < count; ++i) steps.push_back(int32_t(i));
    }
    std::vector<bool> named(iconCount, false);
    auto frameOf = [&](size_t icon, int32_t sequence, int32_t rate) {
        TIconFrame frame = Chunks.Icons[icon]; // shares the icon
        frame.Sequence = sequence;
        frame.Rate = rate;
        return frame;
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        int32_t sequence = steps[i];
        if (sequence < 0 || size_t(sequence) >= iconCount) continue;
        int32_t rate = i < Chunks.Rates.size() ? Chunks.Rates[i] : int32_t(Header.DisplayRate);
        Frames.push_back(frameOf(size_t(sequence), sequence, rate));
        named[size_t(sequence)] = true;
    }
    for (size_t icon = 0; icon < iconCount; ++icon)
        if (!named[icon]) Frames.push_back(frameOf(icon, -1, int32_t(Header.DisplayRate)));
    Header.StepCount = uint32_t(Frames.size());
    if (Frames.empty()) RaiseReadError();
}

void TAnimatedCursorImage::Assign(const TAnimatedCursorImage& Source) {
    if (&Source == this) return;
    ClearCursor();
    Header = Source.Header;
    CursorTitle = Source.CursorTitle;
    CursorCreator = Source.CursorCreator;
    MaxColors = Source.MaxColors;
    for (const TIconFrame& frame : Source.Frames) {
        TIconFrame copy;
        copy.Icon = frame.Icon; // icons are never changed once read: copies share them
        copy.IsIcon = frame.IsIcon;
        copy.Tag = frame.Tag;
        copy.HotSpotX = frame.HotSpotX;
        copy.HotSpotY = frame.HotSpotY;
        copy.Rate = frame.Rate;
        copy.Sequence = frame.Sequence;
        Frames.push_back(std::move(copy));
    }
}

void TAnimatedCursorImage::AssignTo(TIcon& Dest) const {
    if (Frames.empty())
        Dest.LoadFromBytes({});
    else
        Dest.Assign(*Frames.front().Icon);
}

void TAnimatedCursorImage::AssignTo(TBitmap& Dest) const { DrawFrameStrip(*this, Dest, Dest.BrushColor, true, false); }

void TAnimatedCursorImage::AssignTo(TIconList& Dest) const {
    Dest.IconListBeginUpdate();
    try {
        Dest.ClearIcons();
        for (const TIconFrame& frame : Frames) Dest.AddIcon(*frame.Icon);
    } catch (...) {
        Dest.IconListEndUpdate();
        throw;
    }
    Dest.IconListEndUpdate();
}

void DrawFrameStrip(const TAnimatedCursorImage& Cursor, TBitmap& Dest, TColor BackColor, bool ReduceColors,
                    bool Vertical) {
    TBitmap strip;
    int count = Cursor.CursorFrameCount();
    if (count > 0) {
        const TIcon& first = Cursor.CursorFrameIcon(0);
        strip.BrushColor = BackColor;
        if (Vertical)
            strip.SetSize(first.Width(), first.Height() * count);
        else
            strip.SetSize(first.Width() * count, first.Height());
        strip.FillRect({0, 0, strip.Width(), strip.Height()});
        for (int i = 0; i < count; ++i) {
            const TIcon& icon = Cursor.CursorFrameIcon(i);
            if (Vertical)
                icon.Draw(strip, 0, i * icon.Height());
            else
                icon.Draw(strip, i * icon.Width(), 0);
        }
        if (ReduceColors) ReduceBitmapColors(strip, std::max<int>(Cursor.MaxColors, 16));
    }
    Dest = strip;
}

void ReduceBitmapColors(TBitmap& Bitmap, int Colors) {
    if (Colors <= 0 || Bitmap.Empty()) return;
    std::vector<uint8_t> dib = BitmapToDIBStreamByColors(Bitmap, Colors);
    Bitmap.LoadFromBMP(dib);
}
