// Animated cursors and icon lists: RIFF files built in memory, the checks against what the file
// claims, the frame strip and the GIF made from a cursor.
#include "imaging/AniFile.h"
#include "imaging/GifImage.h"
#include "imaging/IcoList.h"

#include "CursorFiles.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace CursorFiles;

void Load(TAnimatedCursorImage& cursor, const Bytes& bytes) {
    TMemoryStream stream(bytes);
    cursor.LoadFromStream(stream);
}

} // namespace

TEST(AniFile, FramesFollowTheIconChunks) {
    Bytes file =
        Riff({AniHeader(1, 10),
              List("fram", {Chunk("icon", IconFile(1)), Chunk("icon", IconFile(2)), Chunk("icon", IconFile(1))}),
              List("INFO", {Chunk("INAM", Bytes(300, 'n')), Chunk("IART", {'m', 'e', 0})})});
    TAnimatedCursorImage cursor;
    Load(cursor, file);
    ASSERT_EQ(cursor.CursorFrameCount(), 3);
    EXPECT_EQ(cursor.Header.StepCount, 3u);
    EXPECT_EQ(cursor.CursorFrame(0).Sequence, 0);
    EXPECT_EQ(cursor.CursorFrame(1).Sequence, -1) << "an icon beyond the header's count";
    EXPECT_TRUE(cursor.CursorFrame(0).IsIcon);
    EXPECT_EQ(cursor.CursorFrame(0).HotSpotX, 1);
    EXPECT_EQ(cursor.CursorFrame(0).HotSpotY, 1);
    EXPECT_FALSE(cursor.CursorFrame(1).IsIcon);
    EXPECT_EQ(cursor.CursorFrame(1).HotSpotX, 1);
    EXPECT_EQ(cursor.CursorFrame(1).HotSpotY, 0);
    EXPECT_EQ(cursor.CursorTitle, std::string(255, 'n'));
    EXPECT_EQ(cursor.CursorCreator, "me");
    EXPECT_EQ(cursor.MaxColors, 2);
    EXPECT_EQ(cursor.CursorFrameIcon(2).Width(), 2);
}

TEST(AniFile, RecordsWithoutIconsAreDropped) {
    TAnimatedCursorImage cursor;
    Load(cursor, Riff({AniHeader(5, 3), List("fram", {Chunk("icon", IconFile(1)), Chunk("icon", IconFile(1))})}));
    EXPECT_EQ(cursor.CursorFrameCount(), 2);
    EXPECT_EQ(cursor.Header.StepCount, 2u);
    EXPECT_EQ(cursor.CursorFrame(1).Rate, 3);
}

TEST(AniFile, ClaimsBeyondTheDataAreBounded) {
    TAnimatedCursorImage cursor;
    // A frame count of four thousand million and chunks claiming more bytes than there are.
    Bytes huge = Riff({AniHeader(0xFFFFFFFFu, 1), List("fram", {Chunk("icon", IconFile(1))})});
    Load(cursor, huge);
    EXPECT_EQ(cursor.CursorFrameCount(), 1);

    Bytes lying = Riff({AniHeader(1, 1), List("fram", {Chunk("icon", IconFile(1))})});
    size_t iconSize = lying.size() - IconFile(1).size() - 4;
    lying[iconSize] = 0xFF; // the icon chunk's size byte
    lying[iconSize + 3] = 0x7F;
    EXPECT_THROW(Load(cursor, lying), EReadError);

    Bytes cut = Riff({AniHeader(1, 1), List("fram", {Chunk("icon", IconFile(1))})});
    cut.resize(cut.size() - 10);
    EXPECT_THROW(Load(cursor, cut), EReadError);
}

TEST(AniFile, WrongFilesAreReadErrors) {
    TAnimatedCursorImage cursor;
    EXPECT_THROW(Load(cursor, Bytes{'R', 'I', 'F', 'F'}), EReadError);
    Bytes notAcon = Riff({});
    notAcon[8] = 'X';
    EXPECT_THROW(Load(cursor, notAcon), EReadError);
    EXPECT_THROW(Load(cursor, Riff({AniHeader(1, 1, 0), List("fram", {Chunk("icon", IconFile(1))})})), EReadError);

    Load(cursor, Riff({AniHeader(1, 1), List("fram", {Chunk("icon", IconFile(1))})}));
    TMemoryStream atEnd(Bytes{1, 2, 3});
    atEnd.Seek(3);
    cursor.LoadFromStream(atEnd);
    EXPECT_EQ(cursor.CursorFrameCount(), 1) << "nothing to read leaves the cursor as it was";
    TMemoryStream out;
    EXPECT_ANY_THROW(cursor.SaveToStream(out));
    EXPECT_EQ(out.Size(), 0u);
}

TEST(AniFile, StripAndGifFromACursor) {
    TAnimatedCursorImage cursor;
    Load(cursor, Riff({AniHeader(2, 10), List("fram", {Chunk("icon", IconFile(1)), Chunk("icon", IconFile(1))})}));
    cursor.Frames[1].Rate = 0x7FFFFFFF;
    TBitmap strip;
    strip.BrushColor = RGBColor(0, 0, 255);
    cursor.AssignTo(strip);
    ASSERT_EQ(strip.Width(), 4);
    ASSERT_EQ(strip.Height(), 2);
    EXPECT_EQ(strip.Pixel(0, 0), clWhite);
    EXPECT_EQ(strip.Pixel(1, 0), clBlack);
    EXPECT_EQ(strip.Pixel(3, 1), RGBColor(0, 0, 255)) << "the masked pixel shows the background";

    TGIFImage gif;
    gif.Assign(cursor);
    ASSERT_EQ(gif.FrameCount(), 2);
    EXPECT_EQ(gif.BackColor, clWindow);
    EXPECT_EQ(gif.Frame(0).DelayMs, 166);
    EXPECT_EQ(gif.Frame(1).DelayMs, 65535) << "a long rate saturates";
    EXPECT_EQ(gif.Frame(0).TransparentColor, clFuchsia);
    EXPECT_EQ(gif.Frame(0).GetBitmap().Pixel(1, 1), clFuchsia);
    TMemoryStream stream;
    gif.SaveToStream(stream);
    TGIFImage back;
    stream.Seek(0);
    back.LoadFromStream(stream);
    EXPECT_EQ(back.FrameCount(), 2);
    EXPECT_EQ(back.Frame(0).TransparentColor, clFuchsia);
}

TEST(AniFile, IconListStreamKeepsEmptyEntries) {
    TIcon icon;
    icon.LoadFromBytes(IconFile(1));
    TIconList list;
    int changes = 0;
    list.OnChange = [&](TIconList&) { ++changes; };
    list.AddIcon(icon);
    list.AttachIcon(nullptr);
    list.AddIcon(icon);
    EXPECT_EQ(changes, 3);
    list.IconListBeginUpdate();
    list.ExchangeIcons(0, 1);
    list.MoveIcon(2, 0);
    list.IconListEndUpdate();
    EXPECT_EQ(changes, 4) << "one notification for the whole update";
    EXPECT_EQ(list.GetIcon(1), nullptr); // [A, empty, B] -> [empty, A, B] -> [B, empty, A]

    TMemoryStream stream;
    list.SaveIcons(stream);
    TIconList back;
    stream.Seek(0);
    back.LoadIcons(stream);
    ASSERT_EQ(back.IconCount(), 3);
    EXPECT_EQ(back.GetIcon(1), nullptr);
    EXPECT_EQ(back.GetIcon(0)->Bytes(), icon.Bytes());

    TMemoryStream lying(Bytes{1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F});
    EXPECT_THROW(back.LoadIcons(lying), EReadError);
}

TEST(AniFile, LoadFromFile) {
    TTempDir temp;
    std::string name = temp.File("busy.ani");
    TTempDir::WriteBytes(name, Riff({AniHeader(1, 6), List("fram", {Chunk("icon", IconFile(1))})}));
    TAnimatedCursorImage cursor;
    cursor.LoadFromFile(name);
    EXPECT_EQ(cursor.CursorFrameCount(), 1);
    TIcon icon;
    cursor.AssignTo(icon);
    EXPECT_EQ(icon.Width(), 2);
}

TEST(AniFile, StepsFollowTheRateAndSequenceChunks) {
    // The usual layout: two icons, four steps alternating them, one rate per step.
    TAnimatedCursorImage cursor;
    Load(cursor, Riff({AniHeader(2, 9, 1, 4), StepChunk("rate", {5, 6, 7, 8}), StepChunk("seq ", {1, 0, 1, 0}),
                       List("fram", {Chunk("icon", IconFile(1)), Chunk("icon", IconFile(2))})}));
    ASSERT_EQ(cursor.CursorFrameCount(), 4);
    EXPECT_EQ(cursor.Header.StepCount, 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(cursor.CursorFrame(i).Sequence, i % 2 ? 0 : 1);
        EXPECT_EQ(cursor.CursorFrame(i).Rate, 5 + i);
        EXPECT_EQ(cursor.CursorFrame(i).IsIcon, i % 2 == 1) << "icon 1 is a cursor";
    }
    EXPECT_EQ(cursor.CursorFrame(0).Icon, cursor.CursorFrame(2).Icon) << "steps showing one icon share it";

    // Steps beyond the header's count, and steps naming no icon, make no frame; an icon no
    // step names still gets one.
    Load(cursor, Riff({AniHeader(3, 9, 1, 2), StepChunk("seq ", {0, 7, 0}),
                       List("fram", {Chunk("icon", IconFile(1)), Chunk("icon", IconFile(2))})}));
    ASSERT_EQ(cursor.CursorFrameCount(), 2);
    EXPECT_EQ(cursor.CursorFrame(0).Sequence, 0);
    EXPECT_EQ(cursor.CursorFrame(1).Sequence, -1);
    EXPECT_EQ(cursor.CursorFrame(1).Rate, 9);
}

TEST(AniFile, HostileStepCountsCostWorkInProportionToTheFile) {
    // 16,000 steps naming one 64 KB icon: the icon is held once, not once per step.
    Bytes big = IconFileOf(1, 128, 128, 32, Bytes(128 * 128 * 4 + 128 * 16, 0x55));
    std::vector<uint32_t> steps(16000, 0);
    TAnimatedCursorImage cursor;
    auto start = std::chrono::steady_clock::now();
    Load(cursor, Riff({AniHeader(1, 1, 1, 16000), StepChunk("seq ", steps), List("fram", {Chunk("icon", big)})}));
    ASSERT_EQ(cursor.CursorFrameCount(), 16000);
    EXPECT_EQ(cursor.CursorFrame(0).Icon.use_count(), 16000);

    // A frame count of 0xFFFFFFFF and 32,000 icons of one pixel (once 155 s).
    std::vector<Bytes> icons(32000, Chunk("icon", IconFileOf(1, 1, 1, 1, Bytes(16, 0))));
    Load(cursor, Riff({AniHeader(0xFFFFFFFFu, 2), List("fram", icons)}));
    EXPECT_EQ(cursor.CursorFrameCount(), 32000);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 30.0) << "both files together take about a second (optimised) when the work is linear";
}

TEST(AniFile, ThirtyTwoBitIconsDrawByTheirAlpha) {
    // 2 x 2 red pixels with alpha 0, 85, 170, 255 (bottom row first) and an AND mask that hides
    // nothing: the alpha decides.
    Bytes rest;
    for (uint32_t alpha : {0u, 85u, 170u, 255u}) Put32(rest, 0x00FF0000u | (alpha << 24));
    Put32(rest, 0);
    Put32(rest, 0);
    TIcon icon;
    icon.LoadFromBytes(IconFileOf(1, 2, 2, 32, rest));
    TBitmap canvas(2, 2);
    canvas.FillRect({0, 0, 2, 2}, clBlue);
    icon.Draw(canvas, 0, 0);
    EXPECT_EQ(canvas.Pixel(0, 1), clBlue) << "alpha 0 is transparent";
    EXPECT_EQ(canvas.Pixel(1, 1), RGBColor(85, 0, 170));
    EXPECT_EQ(canvas.Pixel(0, 0), RGBColor(170, 0, 85));
    EXPECT_EQ(canvas.Pixel(1, 0), clRed);

    // Alpha all zero: the mask decides, as for icons of fewer bits.
    Bytes opaque;
    for (int i = 0; i < 4; ++i) Put32(opaque, 0x00FF0000u);
    Put32(opaque, 0x00000040); // mask bottom row: (1,1) masked
    Put32(opaque, 0);
    icon.LoadFromBytes(IconFileOf(1, 2, 2, 32, opaque));
    canvas.FillRect({0, 0, 2, 2}, clBlue);
    icon.Draw(canvas, 0, 0);
    EXPECT_EQ(canvas.Pixel(0, 1), clRed);
    EXPECT_EQ(canvas.Pixel(1, 1), clBlue);
}
