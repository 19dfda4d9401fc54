#pragma once

// The date texts of the services: RFC 3339 date-times and the day-name form of the Dropbox interface.
// FromStr reads fixed character positions and returns the wall-clock time written in the text:
// fractions of a second and zone offsets are not read, and no time-zone conversion is made.
// MomentFromStr returns the moment the text names, as a UTC time: the offset is applied.

#include <string>
#include <string_view>

#include "Nimbo/Connection/platform/DateTime.h"
#include "Nimbo/Connection/platform/TimeZone.h"

namespace Nimbo::Connection {

// "2016-05-10T14:30:00Z", "2016-05-10T14:30:00.250+02:00", "2016-05-10".
class TRfc3339 {
public:
    TRfc3339() = delete;

    // Raises EConvertError for a malformed text; ADateOnly reads only the first ten characters.
    static TDateTime FromStr(std::string_view S, bool ADateOnly);
    // ADefault for an empty text; otherwise FromStr(S, false).
    static TDateTime FromStr(std::string_view S, TDateTime ADefault);
    static TDateTime FromStr(std::string_view S) { return FromStr(S, false); }

    // The moment as a UTC time, to the second. After the seconds come an optional fraction (not
    // kept, as with FromStr) and then "Z", "+hh:mm", "-hh:mm", "+hhmm" or nothing (taken as UTC). Raises EConvertError
    // for anything else; ADefault for an empty text.
    static TDateTime MomentFromStr(std::string_view S, TDateTime ADefault);

    // "yyyy-mm-ddThh:nn:ss" followed by "Z" or the zone's offset at T, such as "+02:00".
    static std::string ToStr(TDateTime T, const TTimeZone& Z);
    // "yyyy-mm-dd" when ADateOnly, else ToStr(T, TTimeZone::Local()).
    static std::string ToStr(TDateTime T, bool ADateOnly);
    static std::string ToStr(TDateTime T) { return ToStr(T, TTimeZone::Local()); }

    // A short name of the zone's current offset: "GMT:00", "GMT+02:00", "GMT+05:30", "GMT-08:00".
    static std::string TimeZoneToStr(const TTimeZone& Z);
    static std::string LocalTimeZone() { return TimeZoneToStr(TTimeZone::Local()); }
};

// "Sat, 21 Aug 2010 22:31:20 +0000".
class TDropBoxDate {
public:
    TDropBoxDate() = delete;

    static constexpr const char* MNAMES[13] = {"",    "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

    // Raises EConvertError for a malformed text; ADateOnly reads only the day, month and year.
    static TDateTime FromStr(std::string_view S, bool ADateOnly);
    // ADefault for an empty text; otherwise FromStr(S, false).
    static TDateTime FromStr(std::string_view S, TDateTime ADefault);
    static TDateTime FromStr(std::string_view S) { return FromStr(S, false); }

    // The moment as a UTC time: the "+hhmm" or "-hhmm" after the time is applied (none is UTC).
    // Raises EConvertError for a malformed text; ADefault for an empty text.
    static TDateTime MomentFromStr(std::string_view S, TDateTime ADefault);

    // 1 to 12 for a month abbreviation in any letter case; 1 when S names no month.
    static int DecodeMonth(std::string_view S);
};

}  // namespace Nimbo::Connection
