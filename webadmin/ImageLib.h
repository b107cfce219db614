// A component that holds a numbered collection of built-in bitmaps (the logos, the default
// skin). The bitmaps are made on first use, so a request that never shows them pays nothing.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "platform/Bitmap.h"

class TImageLib {
public:
    using TMaker = std::function<std::vector<TBitmap>()>;

    explicit TImageLib(TMaker maker) : FMaker(std::move(maker)) {}

    int Count();
    // Item N's bitmap; an index outside the collection raises "List index out of bounds (N)".
    const TBitmap& Bitmap(int index);

private:
    const std::vector<TBitmap>& Bitmaps();

    TMaker FMaker;
    std::optional<std::vector<TBitmap>> FBitmaps;
};

// The bitmap of item N of a library.
inline const TBitmap& ImageLibBitmap(TImageLib& library, int index) { return library.Bitmap(index); }
