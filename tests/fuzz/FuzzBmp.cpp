// Fuzz target: the BMP reader of the bitmap layer. A bitmap that loads must come back pixel
// for pixel from the file it saves; small ones also go through the GIF encoder's 8-bit
// conversion.
#include "FuzzTarget.h"

#include "imaging/GraphConv.h"
#include "platform/Bitmap.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    TBitmap bitmap;
    try {
        bitmap.LoadFromBMP(FuzzBytes(Data, Size));
    } catch (const Exception&) {
        return 0;
    }
    TBitmap back;
    back.LoadFromBMP(bitmap.SaveToBMP());
    if (back.PixelFormat() != bitmap.PixelFormat() || back.Width() != bitmap.Width() ||
        back.Height() != bitmap.Height() || back.Palette() != bitmap.Palette())
        std::abort();
    const auto rows = bitmap.Bits(), again = back.Bits();
    if (!std::equal(rows.begin(), rows.end(), again.begin(), again.end())) std::abort();
    if (int64_t(bitmap.Width()) * bitmap.Height() <= 64 * 64)
        BitmapToDIBStream(bitmap, pf8bit, Size % 2 ? cmHistogram : cmMedianCut);
    return 0;
}
