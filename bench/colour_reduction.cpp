// Speed of the bitmap to 8-bit conversion: histogram reduction (with and without coarsening),
// median cut and the fixed 7x8x4 palette, on a 640 x 480 24-bit image.
#include <benchmark/benchmark.h>

#include <random>

#include "imaging/GraphConv.h"

namespace {

TBitmap Photo(int colours) {
    std::mt19937 rng(1);
    std::vector<TColor> pool(static_cast<size_t>(colours));
    for (TColor& c : pool) c = rng() & 0xFFFFFF;
    TBitmap b(640, 480);
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x) b.SetPixel(x, y, pool[rng() % pool.size()]);
    return b;
}

void Convert(benchmark::State& state, TColorMapping mapping, int colours) {
    const TBitmap b = Photo(colours);
    for (auto _ : state) benchmark::DoNotOptimize(BitmapToDIBStream(b, pf8bit, mapping));
    state.SetItemsProcessed(state.iterations() * 640 * 480);
}

} // namespace

BENCHMARK_CAPTURE(Convert, HistogramFewColours, cmHistogram, 200)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Convert, HistogramCoarsened, cmHistogram, 100000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Convert, MedianCut, cmMedianCut, 100000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Convert, Fixed784, cmFixed784, 100000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
