// Both date parsers on arbitrary text. A text is either refused with EConvertError or read as a date
// that exists, and that date, written back in the parser's own format, reads as the same value.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Nimbo/Connection/DateFormats.h"
#include "Nimbo/Connection/platform/Exceptions.h"

using namespace Nimbo::Connection;

namespace {

[[noreturn]] void Fail(const char* AWhat, std::string_view AText, TDateTime AValue) {
    std::fprintf(stderr, "%s\ntext: '%.*s' value: %.17g\n", AWhat, static_cast<int>(AText.size()), AText.data(),
                 AValue);
    std::abort();
}

const TFixedTimeZone Utc(0);

// "Sat, 21 Aug 2010 22:31:20 +0000" for AValue; the day name is not read, so any will do.
std::string DropBoxText(TDateTime AValue) {
    const TDateParts date = DecodeDate(AValue);
    const TTimeParts time = DecodeTime(AValue);
    char text[64];
    std::snprintf(text, sizeof text, "Sun, %.2d %s %.4d %.2d:%.2d:%.2d +0000", date.Day,
                  TDropBoxDate::MNAMES[date.Month], date.Year, time.Hour, time.Minute, time.Second);
    return text;
}

template <class TRead, class TWrite>
void CheckParser(std::string_view AText, TRead ARead, TWrite AWrite) {
    TDateTime value = 0;
    try {
        value = ARead(AText);
    } catch (const EConvertError&) {
        return;
    }
    const TDateParts date = DecodeDate(value);
    if (date.Year < 1 || date.Year > 9999 || date.Month < 1 || date.Month > 12 || date.Day < 1 ||
        date.Day > DaysInMonth(date.Year, date.Month))
        Fail("the parser returned a date that does not exist", AText, value);
    const std::string written = AWrite(value);
    TDateTime again = 0;
    try {
        again = ARead(written);
    } catch (const EConvertError& error) {
        Fail(("the parser refused its own format '" + written + "': " + error.what()).c_str(), AText, value);
    }
    if (again != value) Fail(("the value changed on the way through '" + written + "'").c_str(), AText, value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    const std::string_view text(reinterpret_cast<const char*>(AData), ASize);

    CheckParser(
        text, [](std::string_view S) { return TRfc3339::FromStr(S); },
        [](TDateTime T) { return TRfc3339::ToStr(T, Utc); });
    CheckParser(
        text, [](std::string_view S) { return TRfc3339::FromStr(S, true); },
        [](TDateTime T) { return TRfc3339::ToStr(T, true); });
    CheckParser(
        text, [](std::string_view S) { return TDropBoxDate::FromStr(S); }, DropBoxText);
    CheckParser(
        text, [](std::string_view S) { return TDropBoxDate::FromStr(S, true); }, DropBoxText);

    // The forms with a default differ from the plain ones only for an empty text.
    if (text.empty() && (TRfc3339::FromStr(text, MaxDateTime) != MaxDateTime ||
                         TDropBoxDate::FromStr(text, MaxDateTime) != MaxDateTime))
        Fail("an empty text did not give the default", text, 0);
    return 0;
}
