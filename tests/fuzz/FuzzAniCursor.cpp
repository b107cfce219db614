// Fuzz target: the animated-cursor reader, then every frame's icon drawn into the frame strip.
#include "FuzzTarget.h"

#include "imaging/AniFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    try {
        TAnimatedCursorImage cursor;
        TMemoryStream stream(std::vector<uint8_t>(Data, Data + Size));
        cursor.LoadFromStream(stream);
        // The strip is as large as the frames together: only small ones are drawn.
        if (cursor.CursorFrameCount() <= 16) {
            TBitmap strip;
            DrawFrameStrip(cursor, strip, clWhite, false, Size % 2 == 0);
        }
    } catch (const Exception&) {
    }
    return 0;
}
