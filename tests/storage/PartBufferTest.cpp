// Part buffers against vectors: a random run of shares, copies on write, growth across the
// pooled sizes into the heap, inserts, erases and drops, every buffer checked after each step.
#include "storage/PartBuffer.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

template <class T> void RunAgainstVectors(uint32_t seed) {
    std::mt19937 random(seed);
    constexpr size_t Slots = 12;
    std::vector<TPartBuffer<T>> buffers(Slots);
    std::vector<std::vector<T>> models(Slots);
    auto next = [&](size_t bound) { return size_t(random() % bound); };
    for (int step = 0; step < 20000; ++step) {
        size_t i = next(Slots), j = next(Slots);
        TPartBuffer<T>& buffer = buffers[i];
        std::vector<T>& model = models[i];
        size_t op = next(10);
        if (op == 0) {
            buffer = buffers[j]; // shared from here on
            model = models[j];
            continue;
        }
        if (op == 1) {
            buffer.reset();
            model.clear();
            continue;
        }
        // A change, made on a buffer of its own as an image makes it.
        if (buffer.Shared()) buffer = TPartBuffer<T>::Of(buffer.data(), buffer.size());
        if (op <= 3) {
            // Lengths around each pooled size, now and then past them all.
            size_t length = next(4) == 0 ? next(300) : next(40);
            std::vector<T> bytes(length);
            for (T& b : bytes) b = T(random());
            if (buffer)
                buffer.Assign(bytes.data(), bytes.size());
            else
                buffer = TPartBuffer<T>::Of(bytes.data(), bytes.size());
            model = bytes;
        } else if (op <= 5) {
            size_t length = next(4) == 0 ? next(300) : next(40);
            buffer.Resize(length);
            model.resize(length, T(0));
        } else if (op <= 7) {
            size_t at = next(model.size() + 1);
            T value = T(random());
            buffer.Insert(at, value);
            model.insert(model.begin() + std::ptrdiff_t(at), value);
        } else if (!model.empty()) {
            size_t at = next(model.size());
            buffer.Erase(at);
            model.erase(model.begin() + std::ptrdiff_t(at));
        }
        for (size_t k = 0; k < Slots; ++k)
            ASSERT_EQ(models[k], std::vector<T>(buffers[k].begin(), buffers[k].end())) << "step " << step;
    }
}

TEST(PartBufferTest, BehavesAsVectorsSharedUntilChanged) {
    RunAgainstVectors<uint8_t>(11);
    RunAgainstVectors<uint32_t>(12);
}

} // namespace
