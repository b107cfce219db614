// Opening a storage file as every web request does: the header checks, the hole table and the
// atom-table chain of a file with 100,000 atoms, then closing it. Also one atom read after open.
#include "storage/AtomManager.h"
#include "storage/OstraFile.h"
#include "storage/SpaceAllocator.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace {

constexpr TGUID BenchClass = GuidOf("{28C7266E-7262-431C-BF61-DCB4F19C8DC0}");
constexpr uint32_t AtomCount = 100000;

// Builds the file once per process: small inline atoms, every tenth one external, and a few
// thousand holes left by deleted bodies.
const std::string& BenchFile() {
    static std::string name = [] {
        char pattern[] = "/tmp/kestrow-bench-XXXXXX";
        std::string dir = mkdtemp(pattern);
        std::string file = dir + "/open.ostra";
        const TGUID classes[] = {BenchClass};
        TOstraFile ostra(file, TOpenMode::Create, classes, false);
        IAtomManager& atoms = *ostra.AtomManager();
        for (uint32_t i = 0; i < AtomCount; ++i) {
            TAtomRec rec;
            rec.Handle = atoms.NewAtom(0);
            rec.Data.assign(i % 10 == 0 ? 60 + i % 200 : 8, uint8_t(i));
            rec.Links = {rec.Handle / 2 + 1};
            rec.LinkWidth = 4;
            rec.Loaded = AtomPartAll;
            atoms.WriteAtom(rec, AtomPartAll);
        }
        for (uint32_t h = 1; h <= AtomCount; h += 40) atoms.Delete(h);
        return file;
    }();
    return name;
}

void OpenAndClose(benchmark::State& state, TOpenMode mode) {
    const std::string& file = BenchFile();
    const TGUID classes[] = {BenchClass};
    for (auto _ : state) {
        TOstraFile ostra(file, mode, classes, false);
        benchmark::DoNotOptimize(ostra.AtomManager());
    }
}

void BM_OpenWritable100k(benchmark::State& state) { OpenAndClose(state, TOpenMode::Open); }
void BM_OpenReadOnly100k(benchmark::State& state) { OpenAndClose(state, TOpenMode::ReadOnly); }

void BM_OpenAndReadOneAtom100k(benchmark::State& state) {
    const std::string& file = BenchFile();
    const TGUID classes[] = {BenchClass};
    uint32_t handle = 2;
    for (auto _ : state) {
        TOstraFile ostra(file, TOpenMode::Open, classes, false);
        TAtomRec rec;
        rec.Handle = handle;
        ostra.AtomManager()->ReadAtom(rec, AtomPartAll);
        benchmark::DoNotOptimize(rec.Data.data());
        handle = (handle * 7919) % (AtomCount - 1) + 1;
        if (handle % 40 == 1) ++handle; // a deleted one
    }
}

// The first allocation after an open reads the hole table (2,500 holes here).
void BM_OpenAndAllocateOnce100k(benchmark::State& state) {
    const std::string& file = BenchFile();
    const TGUID classes[] = {BenchClass};
    for (auto _ : state) {
        TOstraFile ostra(file, TOpenMode::Open, classes, false);
        ISpaceAllocator& space = *ostra.SpaceAllocator();
        space.Release(64, space.Allocate(64));
    }
}

BENCHMARK(BM_OpenWritable100k)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenReadOnly100k)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenAndReadOneAtom100k)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenAndAllocateOnce100k)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
