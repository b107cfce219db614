// Time: local-time TDateTime (days since 1899-12-30 as a double), monotonic tick counts.
// Tests may replace the clock with a fixed one.
#pragma once

#include <cstdint>
#include <functional>

using TDateTime = double;

// Milliseconds of a monotonic clock, wrapping like a 32-bit tick counter.
uint32_t GetTickCount();

// The current local date and time.
TDateTime Now();
// Replaces the clock Now() reads (nullptr restores the real one). For tests.
void SetNowSource(std::function<TDateTime()> source);

// Local calendar date and time of a TDateTime, and back.
struct TDateParts {
    int Year = 1899, Month = 12, Day = 30;
    int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
    int DayOfWeek = 1; // 1 = Sunday ... 7 = Saturday
};
TDateParts DecodeDateTime(TDateTime value);
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);
bool IsValidDate(int year, int month, int day);
bool IsLeapYear(int year);
int DaysInAMonth(int year, int month);

// Sleeps the calling thread.
void SleepMilliseconds(uint32_t milliseconds);
