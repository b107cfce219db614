// Fuzz target: icon files (loaded and drawn onto a small canvas) and the icon list stream.
#include "FuzzTarget.h"

#include "imaging/IcoList.h"
#include "platform/TypedStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    try {
        TIcon icon;
        icon.LoadFromBytes(FuzzBytes(Data, Size));
        TBitmap canvas(48, 48);
        icon.Draw(canvas, -3, 5);
    } catch (const Exception&) {
    }
    try {
        TIconList list;
        TMemoryStream stream(std::vector<uint8_t>(Data, Data + Size));
        list.LoadIcons(stream);
    } catch (const Exception&) {
    }
    return 0;
}
