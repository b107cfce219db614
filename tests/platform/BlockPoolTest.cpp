// The block pool under a random run of takes and gives: live blocks never overlap and keep
// what was written to them, also across the moments every block is back and slabs are freed,
// past the heap's slabs onto huge blocks, and with threads sharing the pool.
#include "platform/BlockPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr size_t BlockBytes = 40;
using TPool = TBlockPool<BlockBytes>;

struct TLive {
    std::map<uintptr_t, uint32_t> ids; // block address -> the id written all over it
    std::vector<uintptr_t> order;      // the same addresses, for picking one at random

    void Take(uint32_t id) {
        auto* block = static_cast<uint8_t*>(TPool::Take());
        auto at = uintptr_t(block);
        auto next = ids.lower_bound(at);
        ASSERT_TRUE(next == ids.end() || next->first >= at + BlockBytes) << "overlaps a live block";
        ASSERT_TRUE(next == ids.begin() || std::prev(next)->first + BlockBytes <= at) << "overlaps a live block";
        for (size_t i = 0; i < BlockBytes; i += sizeof id) std::memcpy(block + i, &id, sizeof id);
        ids[at] = id;
        order.push_back(at);
    }
    void Give(size_t index) {
        TPool::Give(reinterpret_cast<void*>(order[index]));
        ids.erase(order[index]);
        order[index] = order.back();
        order.pop_back();
    }
    void Check() const {
        for (auto [at, id] : ids)
            for (size_t i = 0; i < BlockBytes; i += sizeof id)
                ASSERT_EQ(0, std::memcmp(reinterpret_cast<const uint8_t*>(at) + i, &id, sizeof id));
    }
};

TEST(BlockPoolTest, LiveBlocksNeverOverlapAndKeepTheirBytes) {
    std::mt19937 random(7);
    TLive live;
    uint32_t id = 0;
    for (int round = 0; round < 40; ++round) {
        // Grow past a few slabs (twice past the heap's slabs), shrink part way, then (every other
        // round) give every block back.
        int takes = round % 16 == 3 ? 60000 : int(random() % 3000);
        for (int i = 0; i < takes; ++i) ASSERT_NO_FATAL_FAILURE(live.Take(++id));
        live.Check();
        size_t keep = round % 2 ? live.ids.size() / 3 : 0;
        while (live.ids.size() > keep) live.Give(random() % live.order.size());
        live.Check();
    }
    while (!live.order.empty()) live.Give(live.order.size() - 1);
}

// Threads taking and giving blocks of one pool at once: each block keeps what its thread wrote
// until the thread gives it back.
TEST(BlockPoolTest, ThreadsShareAPoolWithoutLosingBlocks) {
    constexpr size_t Bytes = 72;
    using TShared = TBlockPool<Bytes>;
    std::atomic<int> spoilt{0};
    auto work = [&](uint32_t seed) {
        std::mt19937 random(seed);
        std::vector<std::pair<uint8_t*, uint32_t>> mine;
        for (int step = 0; step < 100000; ++step) {
            if (mine.empty() || (mine.size() < 2000 && random() % 2)) {
                auto* block = static_cast<uint8_t*>(TShared::Take());
                uint32_t mark = uint32_t(random());
                for (size_t i = 0; i < Bytes; i += sizeof mark) std::memcpy(block + i, &mark, sizeof mark);
                mine.emplace_back(block, mark);
                continue;
            }
            size_t k = random() % mine.size();
            auto [block, mark] = mine[k];
            for (size_t i = 0; i < Bytes; i += sizeof mark) spoilt += std::memcmp(block + i, &mark, sizeof mark) != 0;
            TShared::Give(block);
            mine[k] = mine.back();
            mine.pop_back();
        }
        for (auto [block, mark] : mine) TShared::Give(block);
    };
    std::vector<std::thread> threads;
    for (uint32_t t = 1; t <= 4; ++t) threads.emplace_back(work, t);
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(spoilt, 0);
}

} // namespace
