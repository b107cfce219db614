// The replay program of a fuzz target, for builds without libFuzzer: runs the target once on
// every file named (folders are walked, in name order) and fails when one input takes longer
// than the limit, so that hostile inputs kept as reproducers stay cheap.
#include "FuzzTarget.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr double SecondsPerInput = 5.0;

std::vector<std::filesystem::path> Inputs(int argc, char** argv) {
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path path = argv[i];
        if (std::filesystem::is_directory(path)) {
            std::vector<std::filesystem::path> inside;
            for (const auto& entry : std::filesystem::recursive_directory_iterator(path))
                if (entry.is_regular_file()) inside.push_back(entry.path());
            std::sort(inside.begin(), inside.end());
            files.insert(files.end(), inside.begin(), inside.end());
        } else if (std::filesystem::exists(path)) {
            files.push_back(path);
        }
    }
    return files;
}

} // namespace

int main(int argc, char** argv) {
    int slow = 0;
    std::vector<std::filesystem::path> files = Inputs(argc, argv);
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
        auto start = std::chrono::steady_clock::now();
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (seconds > SecondsPerInput) {
            std::fprintf(stderr, "%s: %.1f s\n", file.string().c_str(), seconds);
            ++slow;
        }
    }
    std::fprintf(stderr, "%zu inputs replayed, %d too slow\n", files.size(), slow);
    return files.empty() || slow > 0 ? 1 : 0;
}
