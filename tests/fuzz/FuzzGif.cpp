// Fuzz target: the GIF reader and LZW decoder on arbitrary bytes; every frame read is decoded
// and the image is saved again. Only the codec's own exceptions are expected.
#include "FuzzTarget.h"

#include "imaging/GifImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    try {
        TGIFImage image;
        TMemoryStream stream(std::vector<uint8_t>(Data, Data + Size));
        image.LoadFromStream(stream);
        for (int f = 0; f < image.FrameCount(); ++f) image.Frame(f).GetBitmap();
        TMemoryStream out;
        image.SaveToStream(out);
    } catch (const Exception&) {
    }
    return 0;
}
