// GIF encoding and decoding of a 1920x1080 8-bit picture: the codec's public road (bitmap ->
// TGIFImage -> bytes, bytes -> TGIFImage -> bitmap) next to giflib on the same pixels.
// Counters: throughput in pixels per second and the size of the file written.
#include "imaging/GifImage.h"

#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

constexpr int Width = 1920;
constexpr int Height = 1080;

enum TPicture { Noise, Photo };

// Noise: every pixel random. Photo: smooth gradients with mild noise and hard-edged shapes,
// closer to what real 8-bit pictures hold.
const TBitmap& Picture(TPicture kind) {
    static TBitmap pictures[2];
    TBitmap& bitmap = pictures[kind];
    if (!bitmap.Empty()) return bitmap;
    std::mt19937 random(kind == Noise ? 1 : 2);
    bitmap = TBitmap(Width, Height, pf8bit);
    std::vector<TRGBQuad> palette(256, TRGBQuad{});
    for (int i = 0; i < 256; ++i) palette[size_t(i)] = {uint8_t(i), uint8_t(255 - i), uint8_t(i * 7), 0};
    bitmap.SetPalette(palette);
    for (int y = 0; y < Height; ++y) {
        uint8_t* row = bitmap.ScanLine(y);
        for (int x = 0; x < Width; ++x) {
            if (kind == Noise) {
                row[x] = uint8_t(random());
                continue;
            }
            int value = (x / 8 + y / 6) % 200;
            if ((x / 240 + y / 135) % 3 == 0) value = 200 + (x / 60) % 40;
            if (random() % 8 == 0) value += int(random() % 3);
            row[x] = uint8_t(value);
        }
    }
    return bitmap;
}

std::vector<uint8_t> CodecEncode(const TBitmap& bitmap) {
    TGIFImage image;
    image.Assign(bitmap);
    TMemoryStream stream;
    image.SaveToStream(stream);
    return stream.Bytes();
}

int WriteToVector(GifFileType* file, const GifByteType* data, int length) {
    auto* out = static_cast<std::vector<uint8_t>*>(file->UserData);
    out->insert(out->end(), data, data + length);
    return length;
}

std::vector<uint8_t> GiflibEncode(const TBitmap& bitmap) {
    std::vector<uint8_t> out;
    int error = 0;
    GifFileType* file = EGifOpen(&out, WriteToVector, &error);
    if (!file) throw std::runtime_error("EGifOpen");
    std::vector<GifColorType> colors(256);
    for (int i = 0; i < 256; ++i) {
        const TRGBQuad& q = bitmap.Palette()[size_t(i)];
        colors[size_t(i)] = {q.Red, q.Green, q.Blue};
    }
    ColorMapObject* map = GifMakeMapObject(256, colors.data());
    EGifPutScreenDesc(file, Width, Height, 8, 0, map);
    EGifPutImageDesc(file, 0, 0, Width, Height, false, nullptr);
    for (int y = 0; y < Height; ++y) EGifPutLine(file, const_cast<GifPixelType*>(bitmap.ScanLine(y)), Width);
    EGifCloseFile(file, &error);
    GifFreeMapObject(map);
    return out;
}

struct TReadSource {
    const std::vector<uint8_t>* Bytes;
    size_t Pos;
};

int ReadFromVector(GifFileType* file, GifByteType* data, int length) {
    auto* source = static_cast<TReadSource*>(file->UserData);
    size_t n = std::min<size_t>(size_t(length), source->Bytes->size() - source->Pos);
    std::memcpy(data, source->Bytes->data() + source->Pos, n);
    source->Pos += n;
    return int(n);
}

// Decodes the first image into 8-bit rows, as a caller of giflib's line interface would.
std::vector<uint8_t> GiflibDecode(const std::vector<uint8_t>& bytes) {
    TReadSource source{&bytes, 0};
    int error = 0;
    GifFileType* file = DGifOpen(&source, ReadFromVector, &error);
    if (!file) throw std::runtime_error("DGifOpen");
    std::vector<uint8_t> pixels;
    GifRecordType type;
    while (DGifGetRecordType(file, &type) == GIF_OK && type != TERMINATE_RECORD_TYPE) {
        if (type == IMAGE_DESC_RECORD_TYPE) {
            DGifGetImageDesc(file);
            int width = file->Image.Width, height = file->Image.Height;
            pixels.resize(size_t(width) * size_t(height));
            for (int y = 0; y < height; ++y) DGifGetLine(file, pixels.data() + size_t(y) * size_t(width), width);
            break;
        }
        if (type == EXTENSION_RECORD_TYPE) {
            int code;
            GifByteType* extension;
            DGifGetExtension(file, &code, &extension);
            while (extension) DGifGetExtensionNext(file, &extension);
        }
    }
    DGifCloseFile(file, &error);
    return pixels;
}

void SetCounters(benchmark::State& state, size_t size) {
    state.counters["pixels/s"] =
        benchmark::Counter(double(state.iterations()) * Width * Height, benchmark::Counter::kIsRate);
    state.counters["bytes"] = double(size);
}

// Times Encode on the picture the benchmark's argument names.
void TimeEncode(benchmark::State& state, std::vector<uint8_t> (*encode)(const TBitmap&)) {
    const TBitmap& bitmap = Picture(TPicture(state.range(0)));
    size_t size = 0;
    for (auto _ : state) {
        auto bytes = encode(bitmap);
        size = bytes.size();
        benchmark::DoNotOptimize(bytes.data());
    }
    SetCounters(state, size);
}

void BM_CodecEncode(benchmark::State& state) { TimeEncode(state, CodecEncode); }

void BM_GiflibEncode(benchmark::State& state) { TimeEncode(state, GiflibEncode); }

void BM_CodecDecode(benchmark::State& state) {
    const std::vector<uint8_t> bytes = CodecEncode(Picture(TPicture(state.range(0))));
    for (auto _ : state) {
        TMemoryStream stream(bytes);
        TGIFImage image;
        image.LoadFromStream(stream);
        benchmark::DoNotOptimize(image.Frame(0).GetBitmap().Bits().data());
    }
    SetCounters(state, bytes.size());
}

void BM_GiflibDecode(benchmark::State& state) {
    const std::vector<uint8_t> bytes = GiflibEncode(Picture(TPicture(state.range(0))));
    for (auto _ : state) {
        auto pixels = GiflibDecode(bytes);
        benchmark::DoNotOptimize(pixels.data());
    }
    SetCounters(state, bytes.size());
}

} // namespace

// Argument 0: noise; 1: photo-like picture.
BENCHMARK(BM_CodecEncode)->Arg(Noise)->Arg(Photo)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GiflibEncode)->Arg(Noise)->Arg(Photo)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CodecDecode)->Arg(Noise)->Arg(Photo)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GiflibDecode)->Arg(Noise)->Arg(Photo)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
