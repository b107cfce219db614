// Fuzz target: the GIF reader and LZW decoder on arbitrary bytes; every frame read is decoded,
// and a file saved from an image that loads must load again, with the same frames and data.
// (Saving may refuse a frame that reaches past the 16-bit logical screen.)
#include "FuzzTarget.h"

#include "imaging/GifImage.h"

#include <cstdlib>

namespace {

TMemoryStream SavedBytes(TGIFImage& image) {
    TMemoryStream out;
    image.SaveToStream(out);
    out.Seek(0);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    TGIFImage image;
    try {
        TMemoryStream stream(std::vector<uint8_t>(Data, Data + Size));
        image.LoadFromStream(stream);
        for (int f = 0; f < image.FrameCount(); ++f) image.Frame(f).GetBitmap();
    } catch (const Exception&) {
        return 0;
    }
    if (image.FrameCount() == 0) return 0;
    TMemoryStream saved;
    try {
        saved = SavedBytes(image);
    } catch (const EInvalidGraphicOperation&) {
        return 0;
    }
    TGIFImage again;
    again.LoadFromStream(saved); // raises, and so fails the run, when the saved file is unreadable
    if (again.FrameCount() != image.FrameCount()) std::abort();
    for (int f = 0; f < image.FrameCount(); ++f)
        if (again.Frame(f).Item->EncodedData != image.Frame(f).Item->EncodedData) std::abort();
    return 0;
}
