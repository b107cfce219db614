// GIF images: frames with their bitmaps, LZW data and colour maps, extension records, looping;
// written as GIF87a/GIF89a bytes and read back. The public header of the image codec.
// Bitmaps come from platform/Bitmap.h; no window system, clipboard or screen is involved.
#pragma once

#include "imaging/AniFile.h"
#include "imaging/IcoList.h"
#include "platform/Bitmap.h"
#include "platform/Exception.h"
#include "platform/MemoryStream.h"
#include "platform/TypedStream.h" // EReadError

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

class TByteReader;

// Stages of a long image operation, as the graphic reports its progress.
enum class TProgressStage { psStarting, psRunning, psEnding };

// The system colour "window background"; resolved to white wherever a plain colour is needed.
constexpr TColor clWindow = 0x80000005;

// Every failure of the GIF codec.
class EInvalidGraphicOperation : public Exception {
public:
    using Exception::Exception;
};

// Damage tolerance of the reader: on, damaged LZW data is repaired and the frame marked
// DataDamaged; off, it is an error. Nothing in the system turns it off.
extern bool GIFDamageTolerant;

// Names under which a desktop build registers the class (file extension and clipboard format).
inline constexpr const char* GIFFileExtension = "gif";
inline constexpr const char* GIFFileDescription = "CompuServe GIF Image";
inline constexpr const char* GIFClipboardFormatName = "GIF Image";

// One colour table entry, in file order.
struct TGIFColor {
    uint8_t Red = 0;
    uint8_t Green = 0;
    uint8_t Blue = 0;
    bool operator==(const TGIFColor&) const = default;
};

// A colour table: only the first Count entries are meaningful.
struct TGIFColorMap {
    int32_t Count = 0;
    std::array<TGIFColor, 256> Colors{};
};

// Image-wide data, shared by images copied from one another.
class TGIFData {
public:
    std::vector<std::string> CommentLines;
    uint8_t AspectByte = 0;
    uint8_t TableBits = 0; // global table holds 2^TableBits entries
    uint8_t ColorResolution = 0;
    TGIFColorMap GlobalColors; // Count 0: no global colour table
};

// The encoded part of a frame, shared between frames copied from one another.
class TGIFItem {
public:
    // Minimum code size byte, data sub-blocks and terminator, exactly as in the file; none
    // until the frame is encoded or loaded.
    std::optional<std::vector<uint8_t>> EncodedData;
    int32_t Width = 0;
    int32_t Height = 0;
    uint8_t DescriptorFlags = 0; // packed byte of the image descriptor as read
    uint8_t TableBits = 0;       // bits per pixel of Colors
    TGIFColorMap Colors;
};

enum TExtensionKind : uint8_t { ekGraphicControl = 0, ekPlainText = 1, ekApplication = 2, ekComment = 3 };

// An extension record: the leading block exactly as in the file (from its block-size byte)
// and the data sub-blocks that follow it.
class TExtension {
public:
    uint8_t Kind = ekComment;
    std::optional<std::vector<std::string>> Blocks;
    std::vector<uint8_t> FixedBlock;
};
using TExtensionList = std::vector<TExtension>;

// The last record of Kind in List, or none.
TExtension* FindExtension(TExtensionList& List, uint8_t Kind);
// 1..8 for 2..256 colours; other counts raise "Wrong number of colors; must be a power of 2".
int BitsForColorCount(int Count);
// First index of Map whose colour equals Color (system colours resolved); -1 for clNone or none.
int FindColorIndex(const TGIFColorMap& Map, TColor Color);

class TGIFImage;

struct TGIFOrigin {
    int32_t Left = 0;
    int32_t Top = 0;
};

// One picture of a GIF image.
class TGIFFrame {
public:
    explicit TGIFFrame(TGIFImage* Owner = nullptr);
    TGIFFrame(const TGIFFrame&) = delete;
    TGIFFrame& operator=(const TGIFFrame&) = delete;
    ~TGIFFrame();

    // New empty item and default settings; the bitmap and extension records stay.
    void Reset();
    void NewBitmap();

    void Assign(std::nullptr_t);
    void Assign(const TGIFFrame& Source); // shares the source's item
    void Assign(const TGIFImage& Source); // its current frame (frame 0 when none is current)
    void Assign(const TBitmap& Source);   // becomes a new, not yet encoded picture
    void Assign(const TIcon& Source);
    void AssignTo(TGIFFrame& Dest) const { Dest.Assign(*this); }
    void AssignTo(TGIFImage& Dest) const;
    // The frame's bitmap; with a transparent colour the destination is marked transparent.
    void AssignTo(TBitmap& Dest);

    // The drawable bitmap: the frame's own, or one decoded from the encoded data.
    const TBitmap& GetBitmap();
    int GetWidth();
    int GetHeight();
    // Draws the bitmap stretched into Rect of Canvas, leaving TransparentColor out when asked.
    void Draw(TBitmap& Canvas, const TRect& Rect, bool Transparent);

    // The lines of the frame's last comment record; with Create a missing record is made,
    // without it the result may be null. The pointer lives until the extension list changes.
    std::vector<std::string>* FindComment(bool Create);
    std::vector<std::string>& Comment() { return *FindComment(true); }
    void SetComment(const std::vector<std::string>& Lines) { Comment() = Lines; }

    // Makes the encoded data and colour map from the bitmap ("No GIF Data to write" without one).
    void EncodeBitmap();
    // The same from a BMP file image of 1, 4 or 8 bits.
    void EncodeDIB(std::span<const uint8_t> BMP);
    // Brings the graphic control record in line with delay, transparency and disposal.
    void SyncControlBlock();
    // Reads one image (descriptor, colour table, data) positioned after its 0x2C introducer.
    void ReadImage(TByteReader& Stream);
    // A BMP file image of the frame decoded from the encoded data.
    std::vector<uint8_t> DecodeDIB();
    // The same straight into a bitmap of 1, 4 or 8 bits (what GetBitmap uses).
    void DecodeInto(TBitmap& Dest);

    TGIFImage* Owner = nullptr;
    std::unique_ptr<TBitmap> Bitmap;
    std::shared_ptr<TGIFItem> Item;
    TExtensionList Extensions;
    TGIFOrigin Origin;
    bool Interlaced = false;
    bool DataDamaged = false;
    bool Gray = false;
    TColor TransparentColor = clNone;
    uint16_t DelayMs = 0;
    uint8_t Disposal = 0;
    bool HasLocalColors = false;
    // Transparent index read from the file; kept on output while the data is not re-encoded,
    // so that a colour standing twice in the table does not make the wrong pixels transparent.
    int LoadedTransparentIndex = -1;
};

// The clipboard's content as this codec exchanges it: the first frame as a bitmap and, when
// every frame is encoded, the GIF file as a block of a 32-bit length and the bytes.
struct TGIFClipboardData {
    std::optional<TBitmap> Bitmap;
    std::optional<std::vector<uint8_t>> GIFBlock;
};

// A GIF graphic: an ordered list of frames and the image-wide data.
class TGIFImage {
public:
    TGIFImage();
    TGIFImage(const TGIFImage&) = delete;
    TGIFImage& operator=(const TGIFImage&) = delete;
    virtual ~TGIFImage();

    void Reset();

    void Assign(std::nullptr_t);
    // Shares the source's data and frame items; assigning an image to itself fails.
    void Assign(const TGIFImage& Source);
    void Assign(const TGIFFrame& Source);
    // The web road: the bitmap becomes the single frame.
    void Assign(const TBitmap& Source);
    void Assign(const TAnimatedCursorImage& Source);
    void AssignTo(TGIFImage& Dest) const { Dest.Assign(*this); }
    // The current frame's bitmap; an empty image gives an empty bitmap.
    void AssignTo(TBitmap& Dest);

    // Appends a frame made from the graphic and makes it current; returns its index.
    virtual int AppendFrame(const TBitmap& Graphic);
    virtual int AppendFrame(const TIcon& Graphic);

    // The bitmap of the current frame (frame 0 when none is current); an image without frames
    // gets an empty frame first.
    const TBitmap& CurrentBitmap();
    int FrameCount() const { return int(Frames.size()); }
    TGIFFrame& Frame(int Index) { return *Frames.at(size_t(Index)); }

    bool GetEmpty();
    int GetWidth();
    int GetHeight();
    // Always fail: a GIF image's size follows its frames.
    void SetWidth(int Value);
    void SetHeight(int Value);
    // Palette of the current bitmap; empty without frames.
    std::vector<TRGBQuad> GetPalette();
    bool GetTransparent() const;
    // True only when Graphic shares the very same image data.
    bool Equals(const TGIFImage& Graphic) const { return Data == Graphic.Data; }
    void Draw(TBitmap& Canvas, const TRect& Rect);
    void ComputeLogicalSize();

    // Writes the GIF file at the stream's position; nothing is written when building it fails.
    void SaveToStream(TStream& Stream);
    // As SaveToStream with a little-endian 32-bit length first (component streams).
    void WriteData(TStream& Stream);
    // Reads a GIF file from the stream's position to its end and decodes its first frame.
    void LoadFromStream(TStream& Stream);
    // Reads a 32-bit length and that many GIF bytes, and decodes the first frame.
    void ReadData(TStream& Stream);
    void SaveToClipboardFormat(TGIFClipboardData& Clipboard);
    void LoadFromClipboardFormat(const TGIFClipboardData& Clipboard);

    // Builds the whole file; WithSize puts the 32-bit length in front.
    std::vector<uint8_t> WriteGIF(bool WithSize);
    // Parses Length bytes of Stream (Stream read error when fewer are there).
    void ReadGIF(size_t Length, std::span<const uint8_t> Stream, bool DecodeFirst);
    // Encodes every frame that has no data yet and updates its graphic control record.
    void EncodeAll();

    std::shared_ptr<TGIFData> Data;
    uint8_t Version = 0; // 0 none yet, 1 = 87a, 2 = 89a
    std::vector<std::unique_ptr<TGIFFrame>> Frames;
    int32_t CurrentFrame = -1;
    uint16_t LogicalWidth = 0;
    uint16_t LogicalHeight = 0;
    TColor BackColor = clNone;
    bool LoopEnabled = false;
    uint16_t LoopCount = 1;
    // The graphic's Transparent flag: affects drawing only.
    bool Transparent = true;

    // Change and progress notifications of the graphic.
    std::function<void(TGIFImage& Sender)> OnChange;
    std::function<void(TGIFImage& Sender, TProgressStage Stage, int Percent, const std::string& Message)> OnProgress;

    void Changed();
    void Progress(TProgressStage Stage, int Percent, const std::string& Message);
};
