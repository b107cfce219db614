// The orders of the host, page and referrer lists by date or count (see RowOrder.h): a stable
// radix sort over keys built so that unsigned order is the order asked for. Not the lists.
#include "counterdb/RowOrder.h"

#include <array>
#include <bit>
#include <cstddef>
#include <numeric>
#include <utility>

namespace {

// Positions in ascending order of keys, equal keys in position order: a least significant byte
// first radix sort. One pass counts every byte position; a position where all keys agree is
// passed over.
std::vector<uint32_t> RadixOrder(const std::vector<uint64_t>& keys) {
    std::vector<uint32_t> order(keys.size()), next(keys.size());
    std::iota(order.begin(), order.end(), 0);
    std::vector<std::array<uint32_t, 256>> counts(8);
    for (uint64_t key : keys)
        for (int b = 0; b < 8; ++b) ++counts[size_t(b)][(key >> (8 * b)) & 0xFF];
    for (int b = 0; b < 8; ++b) {
        std::array<uint32_t, 256>& start = counts[size_t(b)];
        if (keys.empty() || start[(keys.front() >> (8 * b)) & 0xFF] == keys.size()) continue;
        uint32_t sum = 0;
        for (uint32_t& count : start) sum += std::exchange(count, sum);
        for (uint32_t i : order) next[start[(keys[i] >> (8 * b)) & 0xFF]++] = i;
        order.swap(next);
    }
    return order;
}

} // namespace

// A double's bits turned so that unsigned order is the numbers' order (-0 counting as 0, as
// the comparison of numbers has it), then inverted for the largest first.
uint64_t DateKeyDescending(double date) {
    uint64_t bits = std::bit_cast<uint64_t>(date + 0.0);
    bits = bits >> 63 ? ~bits : bits | (uint64_t(1) << 63);
    return ~bits;
}

uint64_t CountKeyDescending(int32_t count) { return uint64_t(INT32_MAX - int64_t(count)); }

std::vector<uint32_t> OrderByDateDescending(const std::vector<double>& dates) {
    std::vector<uint64_t> keys;
    keys.reserve(dates.size());
    for (double date : dates) keys.push_back(DateKeyDescending(date));
    return RadixOrder(keys);
}

std::vector<uint32_t> OrderByCountDescending(const std::vector<int32_t>& counts) {
    std::vector<uint64_t> keys;
    keys.reserve(counts.size());
    for (int32_t count : counts) keys.push_back(CountKeyDescending(count));
    return RadixOrder(keys);
}
