#pragma once

#include <cstdint>

namespace Nimbo::Connection {

// Days since 1899-12-30 00:00; the fraction is the time of day (0.5 is noon).
using TDateTime = double;

// 0100-01-01 00:00: the no-date value.
inline constexpr TDateTime MinDateTime = -657434.0;
// 9999-12-31 23:59:59.999: the expiry of tokens that never expire.
inline constexpr TDateTime MaxDateTime = 2958465.99999;

inline constexpr std::int64_t MSecsPerDay = 86400000;
inline constexpr std::int64_t SecsPerDay = 86400;

struct TDateParts {
    int Year = 0, Month = 0, Day = 0;
};

struct TTimeParts {
    int Hour = 0, Minute = 0, Second = 0, MSec = 0;
};

bool IsLeapYear(int AYear);
// Days in the month, or 0 for a month outside 1..12.
int DaysInMonth(int AYear, int AMonth);

// Proleptic Gregorian date, years 1..9999; false when the date does not exist.
bool TryEncodeDate(int AYear, int AMonth, int ADay, TDateTime& AResult);
// Raises EConvertError "Invalid argument to date encode" for a date that does not exist.
TDateTime EncodeDate(int AYear, int AMonth, int ADay);

bool TryEncodeTime(int AHour, int AMinute, int ASecond, int AMSec, TDateTime& AResult);
// Raises EConvertError "Invalid argument to time encode" outside 00:00:00.000..23:59:59.999.
TDateTime EncodeTime(int AHour, int AMinute, int ASecond, int AMSec = 0);

// A date plus a time of day; for dates before 1899-12-30 the time is counted away from zero.
TDateTime ComposeDateTime(TDateTime ADate, TDateTime ATime);

TDateParts DecodeDate(TDateTime AValue);
TTimeParts DecodeTime(TDateTime AValue);

// Seconds since 1970-01-01 00:00 of the wall-clock value (no zone applied), and back.
std::int64_t DateTimeToUnixSeconds(TDateTime AValue);
TDateTime UnixSecondsToDateTime(std::int64_t ASeconds);

// The current local date and time.
TDateTime Now();

}  // namespace Nimbo::Connection
