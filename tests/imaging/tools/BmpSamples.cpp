// Writes BMP streams made by the image codec into a folder for an independent decoder to open:
// for each sample NAME.bmp it writes NAME.rgb, the pixels the codec means (R, G, B per pixel,
// top row first). Lossless cases are checked against the source bitmap here.
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "imaging/GraphConv.h"

namespace {

void WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<uint8_t> RgbOf(const TBitmap& b) {
    std::vector<uint8_t> rgb;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) {
            TColor c = b.Pixel(x, y);
            rgb.insert(rgb.end(), {GetRValue(c), GetGValue(c), GetBValue(c)});
        }
    return rgb;
}

TBitmap Random(int w, int h, TPixelFormat format, int colours, std::mt19937& rng) {
    TBitmap b(w, h, format);
    if (format != pf24bit) {
        std::vector<TRGBQuad> palette(b.Palette().size());
        for (TRGBQuad& q : palette) q = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 0};
        b.SetPalette(palette);
    }
    std::vector<TColor> pool(static_cast<size_t>(colours));
    for (TColor& c : pool) c = rng() & 0xFFFFFF;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (format == pf24bit)
                b.SetPixel(x, y, pool[rng() % pool.size()]);
            else
                b.SetPixelIndex(x, y, int(rng() % b.Palette().size()));
        }
    return b;
}

// Writes the sample; when Exact, the stream must show the source's own pixels.
bool Sample(const std::string& folder, const std::string& name, const TBitmap& source, TPixelFormat format,
            TColorMapping mapping, bool exact) {
    std::vector<uint8_t> stream = BitmapToDIBStream(source, format, mapping);
    TBitmap decoded;
    decoded.LoadFromBMP(stream);
    std::vector<uint8_t> rgb = RgbOf(decoded);
    if (exact && rgb != RgbOf(source)) {
        std::fprintf(stderr, "%s: pixels differ from the source\n", name.c_str());
        return false;
    }
    WriteFile(folder + "/" + name + ".bmp", stream);
    WriteFile(folder + "/" + name + ".rgb", rgb);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bmp_samples FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    std::mt19937 rng(1234);
    bool ok = true;
    // Bitmaps already in the target format are saved as they are.
    ok &= Sample(folder, "own1", Random(37, 5, pf1bit, 0, rng), pf1bit, cmHistogram, true);
    ok &= Sample(folder, "own4", Random(13, 6, pf4bit, 0, rng), pf4bit, cmHistogram, true);
    ok &= Sample(folder, "own8", Random(21, 4, pf8bit, 0, rng), pf8bit, cmHistogram, true);
    ok &= Sample(folder, "own24", Random(11, 7, pf24bit, 50, rng), pf24bit, cmHistogram, true);
    // Converted: 8-bit palette sources to 24 bits, 24-bit sources down to 1, 4 and 8 bits.
    ok &= Sample(folder, "p8to24", Random(9, 9, pf8bit, 0, rng), pf24bit, cmHistogram, true);
    ok &= Sample(folder, "p4to24", Random(10, 3, pf4bit, 0, rng), pf24bit, cmMedianCut, true);
    TBitmap twoColours(19, 5);
    twoColours.FillRect({0, 0, 19, 5}, clWhite);
    twoColours.FillRect({3, 1, 11, 4}, clBlack);
    ok &= Sample(folder, "rgbto1", twoColours, pf1bit, cmHistogram, true);
    TBitmap vga(7, 3);
    for (int x = 0; x < 7; ++x) vga.FillRect({x, 0, x + 1, 3}, x % 2 ? clRed : RGBColor(0, 128, 128));
    ok &= Sample(folder, "rgbto4", vga, pf4bit, cmHistogram, true);
    ok &= Sample(folder, "hist200", Random(33, 17, pf24bit, 200, rng), pf8bit, cmHistogram, true);
    ok &= Sample(folder, "hist5000", Random(97, 61, pf24bit, 5000, rng), pf8bit, cmHistogram, false);
    ok &= Sample(folder, "median", Random(45, 30, pf24bit, 1000, rng), pf8bit, cmMedianCut, false);
    ok &= Sample(folder, "fixed784", Random(14, 9, pf24bit, 300, rng), pf8bit, cmFixed784, false);
    ok &= Sample(folder, "fixed666", Random(15, 8, pf24bit, 300, rng), pf8bit, cmFixed666, false);
    ok &= Sample(folder, "mosaic", Random(16, 7, pf24bit, 300, rng), pf8bit, cmChannelMosaic, false);
    ok &= Sample(folder, "grey", Random(17, 6, pf24bit, 300, rng), pf8bit, cmGrayscale, false);
    return ok ? 0 : 1;
}
