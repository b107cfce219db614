// The counter's dates as keys and numbers: the 8-byte day keys of the per-day tables, whole
// days of the hourly day tables, and the exact milliseconds the revisit rule and the hour of a
// hit are decided on. Not the tables themselves (PageTables, HourTables).
#pragma once

#include "platform/ByteOrder.h"
#include "platform/Clock.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

inline constexpr int64_t MillisecondsPerDay = 86400000;
inline constexpr int64_t MillisecondsPerMinute = 60000;
inline constexpr int64_t MillisecondsPerHour = 3600000;

// The per-day key: the 8 raw bytes of the date cut to whole days. Raw double bytes do not sort
// by date, so every reader walks or probes by value.
inline std::array<uint8_t, 8> DayKey(TDateTime date) {
    std::array<uint8_t, 8> key;
    // + 0.0 turns the -0.0 of a truncated (-1, 0) date into the key of day 0.
    PutLE64(key, 0, std::bit_cast<uint64_t>(std::trunc(date) + 0.0));
    return key;
}
// The day a per-day key names; the key must be 8 bytes.
inline double DayOfKey(std::span<const uint8_t> key) { return std::bit_cast<double>(GetLE64(key, 0)); }
// The keys of the days first .. first + days - 1, as index keys.
std::vector<std::string> DayKeys(int32_t first, int32_t days);

// Whole milliseconds of a date, so that interval and hour boundaries are exact.
int64_t DateMilliseconds(TDateTime date);
// Hour 0..23 of the time of day, computed in whole milliseconds.
int HourOfDate(TDateTime date);
// The date's whole days, the day key of the hourly day tables.
int32_t WholeDays(TDateTime date);
