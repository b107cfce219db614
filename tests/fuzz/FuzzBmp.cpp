// Fuzz target: the BMP reader of the bitmap layer, then the way back to a BMP file and, for
// small pictures, the 8-bit conversion the GIF encoder uses.
#include "FuzzTarget.h"

#include "imaging/GraphConv.h"
#include "platform/Bitmap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    try {
        TBitmap bitmap;
        bitmap.LoadFromBMP(FuzzBytes(Data, Size));
        TBitmap back;
        back.LoadFromBMP(bitmap.SaveToBMP());
        if (int64_t(bitmap.Width()) * bitmap.Height() <= 64 * 64)
            BitmapToDIBStream(bitmap, pf8bit, Size % 2 ? cmHistogram : cmMedianCut);
    } catch (const Exception&) {
    }
    return 0;
}
