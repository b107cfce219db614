// The list orders against a stable sort by the same numbers, over numbers chosen to tie often
// and to span signs, zeros of both signs and the extremes.
#include "counterdb/RowOrder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>

namespace {

template <class T> std::vector<uint32_t> StableDescending(const std::vector<T>& values) {
    std::vector<uint32_t> order(values.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return values[a] > values[b]; });
    return order;
}

TEST(RowOrderTest, OrdersAsAStableSortByTheNumberDescending) {
    std::mt19937 random(11);
    const double dates[] = {0.0,
                            -0.0,
                            1.0,
                            -1.0,
                            36526.5,
                            36526.25,
                            -693593.0,
                            2958465.99999,
                            std::numeric_limits<double>::max(),
                            -std::numeric_limits<double>::max(),
                            std::numeric_limits<double>::denorm_min(),
                            std::numeric_limits<double>::infinity()};
    const int32_t counts[] = {0, 1, -1, 255, 256, 65536, INT32_MAX, INT32_MIN, 7};
    for (size_t size : {0, 1, 2, 3, 50, 1000, 5000}) {
        std::vector<double> someDates(size);
        std::vector<int32_t> someCounts(size);
        for (size_t i = 0; i < size; ++i) {
            // Half from the fixed values, so that ties are many; half spread wide.
            someDates[i] = random() % 2 ? dates[random() % std::size(dates)]
                                        : std::ldexp(double(int32_t(random())), int(random() % 80) - 40);
            someCounts[i] = random() % 2 ? counts[random() % std::size(counts)] : int32_t(random());
        }
        EXPECT_EQ(OrderByDateDescending(someDates), StableDescending(someDates)) << size;
        EXPECT_EQ(OrderByCountDescending(someCounts), StableDescending(someCounts)) << size;
    }
}

} // namespace
