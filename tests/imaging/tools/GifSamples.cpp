// Test helper for the GIF interoperability script: writes GIF files with the codec next to the
// RGB pixels they should decode to, and decodes GIF files written by other programs.
// Usage: gif_samples write FOLDER | gif_samples decode IN.gif OUT.rgb
#include "imaging/GifImage.h"

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

void WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<uint8_t> ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Rows top-down, three bytes red, green, blue per pixel.
std::vector<uint8_t> RGBOf(const TBitmap& bitmap) {
    std::vector<uint8_t> rgb;
    rgb.reserve(size_t(bitmap.Width()) * size_t(bitmap.Height()) * 3);
    for (int y = 0; y < bitmap.Height(); ++y)
        for (int x = 0; x < bitmap.Width(); ++x) {
            TColor c = bitmap.Pixel(x, y);
            rgb.insert(rgb.end(), {GetRValue(c), GetGValue(c), GetBValue(c)});
        }
    return rgb;
}

// Noise in the left half, smooth bands in the right half: short and long LZW strings.
TBitmap RandomBitmap(int width, int height, TPixelFormat format, std::mt19937& random) {
    TBitmap bitmap(width, height, format);
    int colors = 1 << PixelFormatBits(format);
    std::vector<TRGBQuad> palette(static_cast<size_t>(colors), TRGBQuad{});
    for (auto& q : palette) q = {uint8_t(random()), uint8_t(random()), uint8_t(random()), 0};
    bitmap.SetPalette(palette);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            int index = x < width / 2 ? int(random() % unsigned(colors)) : ((x / 37 + y / 23) % colors);
            bitmap.SetPixelIndex(x, y, index);
        }
    return bitmap;
}

int Write(const std::string& folder) {
    std::mt19937 random(20261209);
    const std::pair<TPixelFormat, int> formats[] = {{pf1bit, 1}, {pf4bit, 4}, {pf8bit, 8}};
    for (auto [format, bits] : formats) {
        TBitmap bitmap = RandomBitmap(1000, 700, format, random);
        TGIFImage image;
        image.Assign(bitmap);
        TMemoryStream stream;
        image.SaveToStream(stream);
        std::string name = folder + "/rand" + std::to_string(bits);
        WriteFile(name + ".gif", stream.Bytes());
        WriteFile(name + ".rgb", RGBOf(bitmap));
    }
    TGIFImage animation;
    animation.Assign(RandomBitmap(40, 30, pf8bit, random));
    animation.AppendFrame(RandomBitmap(40, 30, pf8bit, random));
    animation.Frame(0).DelayMs = 100;
    animation.Frame(1).DelayMs = 200;
    animation.LoopEnabled = true;
    animation.LoopCount = 0;
    TMemoryStream stream;
    animation.SaveToStream(stream);
    WriteFile(folder + "/anim.gif", stream.Bytes());
    return 0;
}

int Decode(const std::string& in, const std::string& out) {
    TMemoryStream stream(ReadFile(in));
    TGIFImage image;
    image.LoadFromStream(stream);
    TBitmap bitmap;
    image.AssignTo(bitmap);
    WriteFile(out, RGBOf(bitmap));
    std::printf("%d\n", image.FrameCount());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        std::string command = argc > 1 ? argv[1] : "";
        if (command == "write" && argc == 3) return Write(argv[2]);
        if (command == "decode" && argc == 4) return Decode(argv[2], argv[3]);
        std::fprintf(stderr, "usage: gif_samples write FOLDER | decode IN.gif OUT.rgb\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gif_samples: %s\n", e.what());
    }
    return 1;
}
