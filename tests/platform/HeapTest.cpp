// The heap prepared for a page: the blocks that follow, small and large, lie on huge pages where
// the system offers them on advice, and they hold what is written to them.
#include "platform/Heap.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

// The kilobytes on huge pages in the mapping that holds address, from /proc/self/smaps.
long HugeKilobytesAround(const void* address) {
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        unsigned long first, end;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &first, &end) == 2) {
            inside = first <= uintptr_t(address) && uintptr_t(address) < end;
        } else if (inside && line.rfind("AnonHugePages:", 0) == 0) {
            return std::stol(line.substr(14));
        }
    }
    return -1;
}

TEST(HeapTest, BlocksAfterPreparingLieOnHugePages) {
    if (KESTROW_SANITIZED_HEAP) GTEST_SKIP() << "a sanitizer brings its own heap";
    constexpr size_t Megabyte = size_t(1) << 20;
    PrepareHeap(24 * Megabyte);
    auto first = std::make_unique<char[]>(64 * 1024); // where the heap's top starts now
    std::vector<std::unique_ptr<char[]>> small;
    small.reserve(50000);
    for (int i = 0; i < 50000; ++i) {
        small.push_back(std::make_unique_for_overwrite<char[]>(100));
        std::memset(small.back().get(), i & 0xFF, 100);
    }
    auto large = std::make_unique_for_overwrite<char[]>(8 * Megabyte);
    std::memset(large.get(), 0x5A, 8 * Megabyte);
    for (int i = 0; i < 50000; i += 997) ASSERT_EQ(small[i][99], char(i & 0xFF));
    ASSERT_EQ(large[8 * Megabyte - 1], 0x5A);
    if (!HugePagesOnAdvice()) GTEST_SKIP() << "no huge pages on this system";
    // Of the 14 MB touched.
    EXPECT_GE(HugeKilobytesAround(first.get()), 12 * 1024);
    // The first few may fill holes that earlier blocks left.
    EXPECT_GE(HugeKilobytesAround(small[small.size() / 2].get()), 12 * 1024);
    EXPECT_GE(HugeKilobytesAround(large.get()), 12 * 1024);
}

} // namespace
