#include <gtest/gtest.h>

#include <cmath>

#include "Nimbo/Connection/platform/DateTime.h"
#include "Nimbo/Connection/platform/Exceptions.h"

using namespace Nimbo::Connection;

TEST(DateTime, EncodesKnownDates) {
    struct Case {
        int Y, M, D;
        double Expected;
    };
    for (const Case& c : {Case{1899, 12, 30, 0.0}, Case{1900, 1, 1, 2.0}, Case{1899, 12, 29, -1.0},
                          Case{100, 1, 1, MinDateTime}, Case{9999, 12, 31, 2958465.0}, Case{2016, 5, 10, 42500.0},
                          Case{2000, 2, 29, 36585.0}, Case{1, 1, 1, -693593.0}}) {
        EXPECT_EQ(EncodeDate(c.Y, c.M, c.D), c.Expected) << c.Y << "-" << c.M << "-" << c.D;
        const TDateParts back = DecodeDate(c.Expected);
        EXPECT_EQ(back.Year, c.Y);
        EXPECT_EQ(back.Month, c.M);
        EXPECT_EQ(back.Day, c.D);
    }
}

TEST(DateTime, RefusesDatesAndTimesThatDoNotExist) {
    for (auto [y, m, d] : {std::tuple{2016, 2, 30},
                           {1900, 2, 29},
                           {2015, 2, 29},
                           {0, 1, 1},
                           {10000, 1, 1},
                           {2016, 13, 1},
                           {2016, 0, 1},
                           {2016, 4, 31},
                           {2016, 1, 0}}) {
        try {
            EncodeDate(y, m, d);
            ADD_FAILURE() << y << "-" << m << "-" << d;
        } catch (const EConvertError& e) {
            EXPECT_STREQ(e.what(), "Invalid argument to date encode");
        }
    }
    for (auto [h, m, s] : {std::tuple{24, 0, 0}, {0, 60, 0}, {0, 0, 60}, {-1, 0, 0}}) {
        try {
            EncodeTime(h, m, s);
            ADD_FAILURE() << h << ":" << m << ":" << s;
        } catch (const EConvertError& e) {
            EXPECT_STREQ(e.what(), "Invalid argument to time encode");
        }
    }
}

TEST(DateTime, TimeOfDaySurvivesOnBothSidesOfTheEpoch) {
    for (double date : {42500.0, -2.0, MinDateTime}) {
        const TDateTime value = ComposeDateTime(date, EncodeTime(14, 30, 5, 250));
        const TTimeParts t = DecodeTime(value);
        EXPECT_EQ(t.Hour, 14);
        EXPECT_EQ(t.Minute, 30);
        EXPECT_EQ(t.Second, 5);
        EXPECT_EQ(t.MSec, 250);
        EXPECT_EQ(DecodeDate(value).Day, DecodeDate(date).Day);
    }
    EXPECT_EQ(ComposeDateTime(0, 0.5), 0.5);
    EXPECT_EQ(ComposeDateTime(-1, 0.25), -1.25);
}

TEST(DateTime, MaxDateTimeIsTheLastMillisecond) {
    const TDateParts d = DecodeDate(MaxDateTime);
    const TTimeParts t = DecodeTime(MaxDateTime);
    EXPECT_EQ(d.Year, 9999);
    EXPECT_EQ(d.Month, 12);
    EXPECT_EQ(d.Day, 31);
    EXPECT_EQ(t.Hour, 23);
    EXPECT_EQ(t.Minute, 59);
    EXPECT_EQ(t.Second, 59);
}

TEST(DateTime, UnixSecondsRoundTrip) {
    EXPECT_EQ(DateTimeToUnixSeconds(25569.0), 0);
    EXPECT_EQ(UnixSecondsToDateTime(86400 + 43200), 25570.5);
    for (std::int64_t s : {0LL, 1LL, -1LL, 1462890600LL, -2209161600LL - 3600}) {
        EXPECT_EQ(DateTimeToUnixSeconds(UnixSecondsToDateTime(s)), s) << s;
    }
}
