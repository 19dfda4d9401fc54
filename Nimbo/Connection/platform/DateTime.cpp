#include "Nimbo/Connection/platform/DateTime.h"

#include <cmath>
#include <ctime>

#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Connection {

namespace {

// Day number of 1899-12-30 counted from 0001-01-01 as day 1.
constexpr std::int64_t DateDelta = 693594;
constexpr std::int64_t UnixDateDelta = 25569;  // 1970-01-01

std::int64_t DaysBeforeYear(std::int64_t AYear) {
    const std::int64_t y = AYear - 1;
    return y * 365 + y / 4 - y / 100 + y / 400;
}

// Splits a value into whole days and milliseconds of the day, rounding to the millisecond.
void SplitDateTime(TDateTime AValue, std::int64_t& ADays, std::int64_t& AMSecs) {
    ADays = static_cast<std::int64_t>(std::trunc(AValue));
    AMSecs = std::llround(std::fabs(AValue - static_cast<double>(ADays)) * MSecsPerDay);
    if (AMSecs >= MSecsPerDay) {
        AMSecs -= MSecsPerDay;
        ADays += AValue < 0 ? -1 : 1;
    }
}

}  // namespace

bool IsLeapYear(int AYear) { return (AYear % 4 == 0 && AYear % 100 != 0) || AYear % 400 == 0; }

int DaysInMonth(int AYear, int AMonth) {
    static constexpr int Days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (AMonth < 1 || AMonth > 12) return 0;
    return AMonth == 2 && IsLeapYear(AYear) ? 29 : Days[AMonth - 1];
}

bool TryEncodeDate(int AYear, int AMonth, int ADay, TDateTime& AResult) {
    if (AYear < 1 || AYear > 9999 || AMonth < 1 || AMonth > 12) return false;
    if (ADay < 1 || ADay > DaysInMonth(AYear, AMonth)) return false;
    std::int64_t dayOfYear = ADay;
    for (int m = 1; m < AMonth; ++m) dayOfYear += DaysInMonth(AYear, m);
    AResult = static_cast<double>(DaysBeforeYear(AYear) + dayOfYear - DateDelta);
    return true;
}

TDateTime EncodeDate(int AYear, int AMonth, int ADay) {
    TDateTime result;
    if (!TryEncodeDate(AYear, AMonth, ADay, result)) throw EConvertError("Invalid argument to date encode");
    return result;
}

bool TryEncodeTime(int AHour, int AMinute, int ASecond, int AMSec, TDateTime& AResult) {
    if (AHour < 0 || AHour > 23 || AMinute < 0 || AMinute > 59 || ASecond < 0 || ASecond > 59 || AMSec < 0 ||
        AMSec > 999)
        return false;
    const std::int64_t ms = ((AHour * 60LL + AMinute) * 60 + ASecond) * 1000 + AMSec;
    AResult = static_cast<double>(ms) / MSecsPerDay;
    return true;
}

TDateTime EncodeTime(int AHour, int AMinute, int ASecond, int AMSec) {
    TDateTime result;
    if (!TryEncodeTime(AHour, AMinute, ASecond, AMSec, result)) throw EConvertError("Invalid argument to time encode");
    return result;
}

TDateTime ComposeDateTime(TDateTime ADate, TDateTime ATime) {
    return ADate < 0 ? ADate - std::fabs(ATime) : ADate + std::fabs(ATime);
}

TDateParts DecodeDate(TDateTime AValue) {
    std::int64_t days, ms;
    SplitDateTime(AValue, days, ms);
    // Civil-from-days on days since 1970-01-01 (proleptic Gregorian).
    std::int64_t z = days - UnixDateDelta + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    TDateParts parts;
    parts.Day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    parts.Month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    parts.Year = static_cast<int>(yoe + era * 400 + (parts.Month <= 2 ? 1 : 0));
    return parts;
}

TTimeParts DecodeTime(TDateTime AValue) {
    std::int64_t days, ms;
    SplitDateTime(AValue, days, ms);
    TTimeParts parts;
    parts.MSec = static_cast<int>(ms % 1000);
    ms /= 1000;
    parts.Second = static_cast<int>(ms % 60);
    ms /= 60;
    parts.Minute = static_cast<int>(ms % 60);
    parts.Hour = static_cast<int>(ms / 60);
    return parts;
}

std::int64_t DateTimeToUnixSeconds(TDateTime AValue) {
    std::int64_t days, ms;
    SplitDateTime(AValue, days, ms);
    const std::int64_t secs = ms / 1000;
    return (days - UnixDateDelta) * SecsPerDay + secs;
}

TDateTime UnixSecondsToDateTime(std::int64_t ASeconds) {
    const std::int64_t days = ASeconds >= 0 ? ASeconds / SecsPerDay : -((-ASeconds + SecsPerDay - 1) / SecsPerDay);
    const std::int64_t rest = ASeconds - days * SecsPerDay;
    return ComposeDateTime(static_cast<double>(days + UnixDateDelta), static_cast<double>(rest) / SecsPerDay);
}

TDateTime Now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tzset();
    std::tm local{};
    localtime_r(&ts.tv_sec, &local);
    const TDateTime date = EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    const TDateTime time = EncodeTime(local.tm_hour, local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec,
                                      static_cast<int>(ts.tv_nsec / 1000000));
    return ComposeDateTime(date, time);
}

}  // namespace Nimbo::Connection
