// A numbered collection of bitmaps made on first use.
#include "webadmin/ImageLib.h"

const std::vector<TBitmap>& TImageLib::Bitmaps() {
    if (!FBitmaps) FBitmaps = FMaker ? FMaker() : std::vector<TBitmap>();
    return *FBitmaps;
}

int TImageLib::Count() { return int(Bitmaps().size()); }

const TBitmap& TImageLib::Bitmap(int index) {
    const std::vector<TBitmap>& bitmaps = Bitmaps();
    if (index < 0 || size_t(index) >= bitmaps.size())
        throw Exception(StrFormat("List index out of bounds (%d)", index));
    return bitmaps[size_t(index)];
}
