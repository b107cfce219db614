// The random source: SplitMix64 per thread, its state seeded with 64 bits of the system's. A
// Mersenne Twister would cost every request thousands of instructions to seed for one word.
#include "platform/Random.h"

#include <random>

uint64_t RandomWord() {
    static thread_local uint64_t state = [] {
        std::random_device system;
        return uint64_t(system()) << 32 | system();
    }();
    uint64_t z = state += 0x9E3779B97F4A7C15;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
    return z ^ (z >> 31);
}
