// The program's built-in pictures: the five logos and the default skin's eleven images
// (background, then the digits 0 to 9). Drawn in code rather than stored as files.
#pragma once

#include <vector>

#include "platform/Bitmap.h"

// Logo 0 207 x 64 (8 bits), logos 1 to 4 88 x 31 (8, 24, 8 and 8 bits; the last with a
// 47-colour palette).
std::vector<TBitmap> MakeLogoBitmaps();
// Background 81 x 49 and ten digits of 5 x 14 pixels, all 24 bits per pixel.
std::vector<TBitmap> MakeDefaultSkinBitmaps();
