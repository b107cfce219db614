// The counter's date keys and date arithmetic (see DateKeys.h); dates come from callers, so
// every conversion is defined for any double.
#include "counterdb/DateKeys.h"

#include <algorithm>
#include <cmath>

namespace {

// A date that no calendar holds (not finite, or beyond the integer range) is pinned to the
// nearest representable value instead of converting undefined.
int64_t ClampedRound(double value, double limit) {
    if (std::isnan(value)) return 0;
    return int64_t(std::llround(std::clamp(value, -limit, limit)));
}

} // namespace

std::vector<std::string> DayKeys(int32_t first, int32_t days) {
    std::vector<std::string> keys;
    keys.reserve(size_t(std::max(days, 0)));
    for (int32_t d = 0; d < days; ++d) {
        std::array<uint8_t, 8> key = DayKey(first + double(d));
        keys.emplace_back(reinterpret_cast<const char*>(key.data()), key.size());
    }
    return keys;
}

int64_t DateMilliseconds(TDateTime date) { return ClampedRound(date * double(MillisecondsPerDay), 9.0e18); }

int HourOfDate(TDateTime date) {
    double fraction = std::isfinite(date) ? std::fabs(date - std::trunc(date)) : 0.0;
    int64_t ms = std::llround(fraction * double(MillisecondsPerDay));
    if (ms >= MillisecondsPerDay) ms = MillisecondsPerDay - 1;
    return int(ms / MillisecondsPerHour);
}

int32_t WholeDays(TDateTime date) { return int32_t(ClampedRound(std::trunc(date), 2147483647.0)); }
