// Clock and calendar arithmetic on TDateTime.
#include "platform/Clock.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <thread>

namespace {
std::function<TDateTime()>& NowSource() {
    static std::function<TDateTime()> source;
    return source;
}

// Days from 0001-01-01 (proleptic Gregorian) to the given date; 1899-12-30 is day 693594.
int64_t DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468; // days since 1970-01-01
}
constexpr int64_t UnixEpochAsDateTime = 25569; // 1970-01-01 - 1899-12-30
} // namespace

uint32_t GetTickCount() {
    using namespace std::chrono;
    return uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

TDateTime Now() {
    if (NowSource()) return NowSource()();
    using namespace std::chrono;
    auto now = system_clock::now();
    auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count();
    std::time_t seconds = std::time_t(ms / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    return EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
           EncodeTime(local.tm_hour, local.tm_min, local.tm_sec, int(ms % 1000));
}

void SetNowSource(std::function<TDateTime()> source) { NowSource() = std::move(source); }

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInAMonth(int year, int month) {
    static constexpr int Days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return Days[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

bool IsValidDate(int year, int month, int day) {
    return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= DaysInAMonth(year, month);
}

TDateTime EncodeDate(int year, int month, int day) {
    return TDateTime(DaysFromCivil(year, month, day) + UnixEpochAsDateTime);
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
    return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond) / 86400000.0;
}

TDateParts DecodeDateTime(TDateTime value) {
    TDateParts p;
    // Milliseconds since 1899-12-30, rounded as the calendar framework does; negative dates
    // count their time of day forwards from the start of the (earlier) day.
    int64_t totalMs = int64_t(std::llround(value * 86400000.0));
    int64_t days = totalMs / 86400000;
    int64_t msOfDay = totalMs % 86400000;
    if (msOfDay < 0) msOfDay = -msOfDay;
    int64_t z = days - UnixEpochAsDateTime + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    p.Day = int(doy - (153 * mp + 2) / 5 + 1);
    p.Month = int(mp < 10 ? mp + 3 : mp - 9);
    p.Year = int(yoe + era * 400 + (p.Month <= 2));
    p.Hour = int(msOfDay / 3600000);
    p.Minute = int(msOfDay / 60000 % 60);
    p.Second = int(msOfDay / 1000 % 60);
    p.Millisecond = int(msOfDay % 1000);
    // 1899-12-30 was a Saturday.
    int64_t dow = ((days % 7) + 7 + 6) % 7; // 0 = Sunday
    p.DayOfWeek = int(dow) + 1;
    return p;
}

void SleepMilliseconds(uint32_t milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }
