#include "Nimbo/Connection/DateFormats.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Connection {

namespace {

// Characters AFirst to ALast of S, counted from 1; the part beyond the end of S is left out.
std::string_view Chars(std::string_view S, std::size_t AFirst, std::size_t ALast) {
    if (AFirst > S.size()) return {};
    return S.substr(AFirst - 1, ALast - AFirst + 1);
}

// A decimal integer; leading spaces and a sign are allowed, nothing else.
int FieldToInt(std::string_view AText) {
    std::size_t i = 0;
    while (i < AText.size() && AText[i] == ' ') ++i;
    bool negative = false;
    if (i < AText.size() && (AText[i] == '+' || AText[i] == '-')) negative = AText[i++] == '-';
    const std::size_t firstDigit = i;
    std::int64_t value = 0;
    for (; i < AText.size() && AText[i] >= '0' && AText[i] <= '9' && value <= std::numeric_limits<int>::max(); ++i)
        value = value * 10 + (AText[i] - '0');
    if (i == firstDigit || i != AText.size() || value > std::numeric_limits<int>::max())
        throw EConvertError("'" + std::string(AText) + "' is not a valid integer value");
    return static_cast<int>(negative ? -value : value);
}

// The fields are converted in the order given, so the first malformed one is the one reported.
TDateTime DateOf(std::string_view AYear, std::string_view AMonth, std::string_view ADay) {
    const int year = FieldToInt(AYear);
    const int month = FieldToInt(AMonth);
    const int day = FieldToInt(ADay);
    return EncodeDate(year, month, day);
}

TDateTime AddTimeOfDay(TDateTime ADate, std::string_view AHour, std::string_view AMinute, std::string_view ASecond) {
    const int hour = FieldToInt(AHour);
    const int minute = FieldToInt(AMinute);
    const int second = FieldToInt(ASecond);
    return ComposeDateTime(ADate, EncodeTime(hour, minute, second, 0));
}

// Wall-clock fields with a zone offset (seconds east of UTC) as the UTC time they name. Whole days
// and the time of day are encoded apart, as callers that compose a time from its parts do.
TDateTime UtcMoment(TDateTime ADate, int AHour, int AMinute, int ASecond, int AOffsetSeconds) {
    constexpr int SecondsPerDay = 24 * 60 * 60;
    EncodeTime(AHour, AMinute, ASecond);  // the wall-clock fields must be valid as written
    int seconds = AHour * 3600 + AMinute * 60 + ASecond - AOffsetSeconds;
    int dayShift = 0;
    while (seconds < 0) seconds += SecondsPerDay, --dayShift;
    while (seconds >= SecondsPerDay) seconds -= SecondsPerDay, ++dayShift;
    return ComposeDateTime(ADate + dayShift, EncodeTime(seconds / 3600, seconds % 3600 / 60, seconds % 60));
}

// "hh:mm" or "hhmm" after a sign, as seconds east of UTC.
int OffsetSeconds(std::string_view AText) {
    const auto bad = [&] { return EConvertError("'" + std::string(AText) + "' is not a valid time zone offset"); };
    if (AText.empty() || AText == "Z" || AText == "z") return 0;
    if (AText[0] != '+' && AText[0] != '-') throw bad();
    std::string_view digits = AText.substr(1);
    std::string joined;
    if (digits.size() == 5 && digits[2] == ':')
        joined = std::string(digits.substr(0, 2)) + std::string(digits.substr(3));
    else if (digits.size() == 4)
        joined = digits;
    else
        throw bad();
    for (char c : joined)
        if (c < '0' || c > '9') throw bad();
    const int hours = (joined[0] - '0') * 10 + (joined[1] - '0');
    const int minutes = (joined[2] - '0') * 10 + (joined[3] - '0');
    if (hours > 23 || minutes > 59) throw bad();
    const int seconds = hours * 3600 + minutes * 60;
    return AText[0] == '-' ? -seconds : seconds;
}

char AsciiLower(char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C; }

bool EqualIgnoringAsciiCase(std::string_view A, std::string_view B) {
    if (A.size() != B.size()) return false;
    for (std::size_t i = 0; i < A.size(); ++i)
        if (AsciiLower(A[i]) != AsciiLower(B[i])) return false;
    return true;
}

std::string FormatDate(const TDateParts& ADate) {
    char text[16];
    std::snprintf(text, sizeof text, "%.4d-%.2d-%.2d", ADate.Year, ADate.Month, ADate.Day);
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TRfc3339

TDateTime TRfc3339::FromStr(std::string_view S, bool ADateOnly) {
    const TDateTime date = DateOf(Chars(S, 1, 4), Chars(S, 6, 7), Chars(S, 9, 10));
    if (ADateOnly) return date;
    return AddTimeOfDay(date, Chars(S, 12, 13), Chars(S, 15, 16), Chars(S, 18, 19));
}

TDateTime TRfc3339::FromStr(std::string_view S, TDateTime ADefault) { return S.empty() ? ADefault : FromStr(S, false); }

TDateTime TRfc3339::MomentFromStr(std::string_view S, TDateTime ADefault) {
    if (S.empty()) return ADefault;
    const TDateTime date = DateOf(Chars(S, 1, 4), Chars(S, 6, 7), Chars(S, 9, 10));
    const int hour = FieldToInt(Chars(S, 12, 13));
    const int minute = FieldToInt(Chars(S, 15, 16));
    const int second = FieldToInt(Chars(S, 18, 19));
    std::string_view rest = S.size() > 19 ? S.substr(19) : std::string_view();
    if (!rest.empty() && rest[0] == '.') {
        std::size_t end = 1;
        while (end < rest.size() && rest[end] >= '0' && rest[end] <= '9') ++end;
        if (end == 1) throw EConvertError("'" + std::string(rest) + "' is not a valid fraction of a second");
        rest.remove_prefix(end);
    }
    return UtcMoment(date, hour, minute, second, OffsetSeconds(rest));
}

std::string TRfc3339::ToStr(TDateTime T, const TTimeZone& Z) {
    const TTimeParts time = DecodeTime(T);
    char text[40];
    std::snprintf(text, sizeof text, "T%.2d:%.2d:%.2d", time.Hour, time.Minute, time.Second);
    std::string result = FormatDate(DecodeDate(T)) + text;

    const int offset = Z.UtcOffsetAt(T);
    if (offset == 0) return result + "Z";
    const int magnitude = offset < 0 ? -offset : offset;
    std::snprintf(text, sizeof text, "%c%.2d:%.2d", offset < 0 ? '-' : '+', magnitude / 3600, magnitude % 3600 / 60);
    return result + text;
}

std::string TRfc3339::ToStr(TDateTime T, bool ADateOnly) {
    return ADateOnly ? FormatDate(DecodeDate(T)) : ToStr(T, TTimeZone::Local());
}

std::string TRfc3339::TimeZoneToStr(const TTimeZone& Z) {
    const int offset = Z.CurrentUtcOffset();
    std::string name = "GMT";
    if (offset != 0) {
        const int magnitude = offset < 0 ? -offset : offset;
        char text[24];
        std::snprintf(text, sizeof text, "%c%.2d", offset < 0 ? '-' : '+', magnitude / 3600);
        name += text;
        if (const int minutes = magnitude % 3600 / 60; minutes != 0) {
            std::snprintf(text, sizeof text, ":%.2d", minutes);
            name += text;
        }
    }
    if (name.find(':') == std::string::npos) name += ":00";
    return name;
}

// ---------------------------------------------------------------------------------------------
// TDropBoxDate

TDateTime TDropBoxDate::FromStr(std::string_view S, bool ADateOnly) {
    const int day = FieldToInt(Chars(S, 6, 7));
    const int month = DecodeMonth(Chars(S, 9, 11));
    const int year = FieldToInt(Chars(S, 13, 16));
    const TDateTime date = EncodeDate(year, month, day);
    if (ADateOnly) return date;
    return AddTimeOfDay(date, Chars(S, 18, 19), Chars(S, 21, 22), Chars(S, 24, 25));
}

TDateTime TDropBoxDate::FromStr(std::string_view S, TDateTime ADefault) {
    return S.empty() ? ADefault : FromStr(S, false);
}

TDateTime TDropBoxDate::MomentFromStr(std::string_view S, TDateTime ADefault) {
    if (S.empty()) return ADefault;
    const int day = FieldToInt(Chars(S, 6, 7));
    const int month = DecodeMonth(Chars(S, 9, 11));
    const int year = FieldToInt(Chars(S, 13, 16));
    const TDateTime date = EncodeDate(year, month, day);
    const int hour = FieldToInt(Chars(S, 18, 19));
    const int minute = FieldToInt(Chars(S, 21, 22));
    const int second = FieldToInt(Chars(S, 24, 25));
    std::string_view zone = S.size() > 25 ? S.substr(25) : std::string_view();
    if (!zone.empty() && zone[0] == ' ') zone.remove_prefix(1);
    return UtcMoment(date, hour, minute, second, OffsetSeconds(zone));
}

int TDropBoxDate::DecodeMonth(std::string_view S) {
    for (int month = 1; month <= 12; ++month)
        if (EqualIgnoringAsciiCase(S, MNAMES[month])) return month;
    return 1;
}

}  // namespace Nimbo::Connection
