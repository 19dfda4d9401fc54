#include "Nimbo/Connection/platform/TimeZone.h"

#include <ctime>

namespace Nimbo::Connection {

namespace {

class TLocalTimeZone : public TTimeZone {
public:
    int UtcOffsetAt(TDateTime ALocal) const override {
        const TDateParts date = DecodeDate(ALocal);
        const TTimeParts time = DecodeTime(ALocal);
        std::tm fields{};
        fields.tm_year = date.Year - 1900;
        fields.tm_mon = date.Month - 1;
        fields.tm_mday = date.Day;
        fields.tm_hour = time.Hour;
        fields.tm_min = time.Minute;
        fields.tm_sec = time.Second;
        fields.tm_isdst = -1;  // let the zone rules decide whether daylight saving applies
        tzset();
        const std::time_t moment = std::mktime(&fields);
        if (moment == static_cast<std::time_t>(-1)) return CurrentUtcOffset();
        return OffsetOf(moment);
    }

    int CurrentUtcOffset() const override {
        tzset();
        return OffsetOf(std::time(nullptr));
    }

private:
    static int OffsetOf(std::time_t AMoment) {
        std::tm local{};
        localtime_r(&AMoment, &local);
        return static_cast<int>(local.tm_gmtoff);
    }
};

}  // namespace

const TTimeZone& TTimeZone::Local() {
    static const TLocalTimeZone zone;
    return zone;
}

}  // namespace Nimbo::Connection
