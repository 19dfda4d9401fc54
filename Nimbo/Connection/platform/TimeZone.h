#pragma once

#include "Nimbo/Connection/platform/DateTime.h"

namespace Nimbo::Connection {

// A time zone as far as the library needs one: its offset from UTC.
class TTimeZone {
public:
    virtual ~TTimeZone() = default;
    // Offset from UTC in seconds (east positive) that applies at the given local wall-clock time.
    virtual int UtcOffsetAt(TDateTime ALocal) const = 0;
    // Offset from UTC in seconds that applies now.
    virtual int CurrentUtcOffset() const = 0;

    // The process's local zone, as the platform (TZ, /etc/localtime) defines it.
    static const TTimeZone& Local();
};

// A zone with one offset all year round.
class TFixedTimeZone : public TTimeZone {
public:
    explicit TFixedTimeZone(int AOffsetSeconds) : FOffset(AOffsetSeconds) {}
    int UtcOffsetAt(TDateTime) const override { return FOffset; }
    int CurrentUtcOffset() const override { return FOffset; }

private:
    int FOffset;
};

}  // namespace Nimbo::Connection
