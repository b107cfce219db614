// Animated cursors: a RIFF "ACON" file read into frame records that each hold one icon, handed on
// as icons, as one strip bitmap or as an icon list. Reading only; cursors are never written.
#pragma once

#include "imaging/IcoList.h"
#include "platform/Bitmap.h"
#include "platform/MemoryStream.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The "anih" record, nine 32-bit values.
struct TAniHeader {
    uint32_t HeaderSize = 0;
    uint32_t FrameCount = 0;
    uint32_t StepCount = 0;
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint32_t BitCount = 0;
    uint32_t Planes = 0;
    uint32_t DisplayRate = 0; // ticks of 1/60 s
    uint32_t Flags = 0;       // bit 0: the frames are icons
};

// A RIFF chunk header: four-character id and data size.
struct TChunkTag {
    std::array<char, 4> Id{};
    uint32_t Size = 0;
};

// One step of the animation. Steps that show the same icon chunk share one icon object, so a
// file naming one large icon in many steps holds it once.
struct TIconFrame {
    std::shared_ptr<const TIcon> Icon;
    bool IsIcon = false; // the chunk held an icon rather than a cursor
    TChunkTag Tag;
    int32_t HotSpotX = 0;
    int32_t HotSpotY = 0;
    int32_t Rate = 0;     // display time in ticks of 1/60 s
    int32_t Sequence = 0; // number of the icon chunk shown; -1 for a frame no record asked for
};

class TAnimatedCursorImage {
public:
    TAnimatedCursorImage() = default;
    TAnimatedCursorImage(const TAnimatedCursorImage&) = delete;
    TAnimatedCursorImage& operator=(const TAnimatedCursorImage&) = delete;
    virtual ~TAnimatedCursorImage() = default;

    // Reads the cursor from the stream's position to its end; nothing there leaves the cursor
    // as it was. One frame per step: the "seq " chunk names each step's icon (without it step
    // i shows icon i) and the "rate" chunk gives each step's rate. Raises EReadError "Stream
    // read error" for anything but an animated cursor with at least one icon frame.
    virtual void LoadFromStream(TStream& Stream);
    // Not implemented: the report and the silent abort (EAbort); nothing is written.
    virtual void SaveToStream(TStream& Stream) const;
    virtual void LoadFromFile(const std::string& Name);

    int CursorFrameCount() const { return int(Frames.size()); }
    const TIconFrame& CursorFrame(int Index) const { return Frames.at(size_t(Index)); }
    const TIcon& CursorFrameIcon(int Index) const { return *Frames.at(size_t(Index)).Icon; }
    void ClearCursor();

    void Assign(const TAnimatedCursorImage& Source);
    void Assign(std::nullptr_t) { ClearCursor(); }
    // The first frame's icon (empty without frames).
    void AssignTo(TIcon& Dest) const;
    // The frames side by side, reduced to the icons' colour depth.
    void AssignTo(TBitmap& Dest) const;
    void AssignTo(TIconList& Dest) const;

    TAniHeader Header;
    std::string CursorTitle;   // "INAM", at most 255 bytes
    std::string CursorCreator; // "IART", at most 255 bytes
    std::vector<TIconFrame> Frames;
    uint16_t MaxColors = 0; // 2, 16 or 256: the largest colour count of any icon image read

private:
    struct TAniChunks;
    void ReadAniChunks(std::span<const uint8_t> Data);
    void BuildFrames(const TAniChunks& Chunks);
    std::unique_ptr<TIcon> ReadAniIcon(std::span<const uint8_t> Data, bool& IsIcon, int32_t& HotX, int32_t& HotY);
};

// Draws every frame's icon into one bitmap over BackColor, side by side or stacked; with
// ReduceColors the result is brought down to max(MaxColors, 16) colours.
void DrawFrameStrip(const TAnimatedCursorImage& Cursor, TBitmap& Dest, TColor BackColor, bool ReduceColors,
                    bool Vertical);
// Reloads the bitmap from its conversion to at most Colors colours (nothing for Colors <= 0).
void ReduceBitmapColors(TBitmap& Bitmap, int Colors);
// 2 for 1 bit, 16 for 4, 256 for 8, else 0.
int AniColorCount(int Bits);
