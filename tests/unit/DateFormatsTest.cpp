#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "Nimbo/Connection/DateFormats.h"
#include "Nimbo/Connection/platform/Exceptions.h"

using namespace Nimbo::Connection;

namespace {

TDateTime At(int Y, int M, int D, int h = 0, int n = 0, int s = 0) {
    return ComposeDateTime(EncodeDate(Y, M, D), EncodeTime(h, n, s, 0));
}

std::string ConvertErrorOf(const std::function<void()>& AProc) {
    try {
        AProc();
    } catch (const EConvertError& e) {
        return e.what();
    }
    return "(no error)";
}

// Sets TZ for the test's lifetime and restores the previous setting afterwards.
class LocalZone : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* tz = std::getenv("TZ")) FSaved = tz;
    }
    void TearDown() override {
        if (FSaved)
            setenv("TZ", FSaved->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void Use(const char* AZone) {
        setenv("TZ", AZone, 1);
        tzset();
    }

private:
    std::optional<std::string> FSaved;
};

}  // namespace

TEST(Rfc3339, ParsesTheWallClockTimeWritten) {
    for (const auto& [text, expected] : std::vector<std::pair<std::string, TDateTime>>{
             {"2016-05-10T14:30:00Z", At(2016, 5, 10, 14, 30, 0)},
             {"2016-05-10T14:30:00.000-07:00", At(2016, 5, 10, 14, 30, 0)},
             {"2016-05-10T14:30:00.250+02:00", At(2016, 5, 10, 14, 30, 0)},
             {"2016-05-10 14:30:59", At(2016, 5, 10, 14, 30, 59)},
             {"2000-02-29T23:59:59Z", At(2000, 2, 29, 23, 59, 59)},
             {"0100-01-01T00:00:00Z", MinDateTime},
             {"1899-12-29T12:00:00Z", -1.5},  // before the epoch the time counts away from zero
             {"2016/05/10x14h30m00", At(2016, 5, 10, 14, 30, 0)},
         }) {
        EXPECT_DOUBLE_EQ(TRfc3339::FromStr(text), expected) << text;
    }
    EXPECT_EQ(TRfc3339::FromStr("2016-05-10", true), At(2016, 5, 10));
    EXPECT_EQ(TRfc3339::FromStr("2016-05-10T99:99:99", true), At(2016, 5, 10));
    EXPECT_EQ(TRfc3339::FromStr("", MinDateTime), MinDateTime);
    EXPECT_EQ(TRfc3339::FromStr("2016-05-10T14:30:00Z", MinDateTime), At(2016, 5, 10, 14, 30, 0));
}

TEST(DropBoxDate, ParsesTheWallClockTimeWritten) {
    for (const auto& [text, expected] : std::vector<std::pair<std::string, TDateTime>>{
             {"Sat, 21 Aug 2010 22:31:20 +0000", At(2010, 8, 21, 22, 31, 20)},
             {"Sat, 21 aug 2010 22:31:20 +0000", At(2010, 8, 21, 22, 31, 20)},
             {"Mon, 21 AUG 2010 22:31:20 -0700", At(2010, 8, 21, 22, 31, 20)},  // the day name is not checked
             {"Sat, 21 Xyz 2010 22:31:20 +0000", At(2010, 1, 21, 22, 31, 20)},
             {"Tue, 29 Feb 2000 00:00:00", At(2000, 2, 29)},
             {"Sun, 31 Dec 2017 23:59:59 +0100", At(2017, 12, 31, 23, 59, 59)},
         }) {
        EXPECT_EQ(TDropBoxDate::FromStr(text), expected) << text;
    }
    EXPECT_EQ(TDropBoxDate::FromStr("Sat, 21 Aug 2010", true), At(2010, 8, 21));
    EXPECT_EQ(TDropBoxDate::FromStr("", MinDateTime), MinDateTime);
    for (int month = 1; month <= 12; ++month) EXPECT_EQ(TDropBoxDate::DecodeMonth(TDropBoxDate::MNAMES[month]), month);
    EXPECT_EQ(TDropBoxDate::DecodeMonth("dEc"), 12);
    EXPECT_EQ(TDropBoxDate::DecodeMonth("Decem"), 1);
    EXPECT_EQ(TDropBoxDate::DecodeMonth(""), 1);
}

TEST(DateTexts, MomentsApplyTheZoneOffset) {
    // One moment written in several zones, and the day boundary crossed both ways.
    for (const auto& [text, expected] : std::vector<std::pair<std::string, TDateTime>>{
             {"2016-05-10T14:30:00Z", At(2016, 5, 10, 14, 30, 0)},
             {"2016-05-10T14:30:00z", At(2016, 5, 10, 14, 30, 0)},
             {"2016-05-10T14:30:00", At(2016, 5, 10, 14, 30, 0)},
             {"2016-05-10T06:30:00-08:00", At(2016, 5, 10, 14, 30, 0)},
             {"2016-05-10T16:30:00.250+02:00", At(2016, 5, 10, 14, 30, 0)},
             {"2016-05-10T20:00:00+0530", At(2016, 5, 10, 14, 30, 0)},
             {"2012-12-31T20:00:00-08:00", At(2013, 1, 1, 4, 0, 0)},
             {"2016-03-01T01:00:00+02:00", At(2016, 2, 29, 23, 0, 0)},
             {"2015-05-06T09:02:13.756Z", At(2015, 5, 6, 9, 2, 13)},
         }) {
        EXPECT_EQ(TRfc3339::MomentFromStr(text, MinDateTime), expected) << text;
    }
    EXPECT_EQ(TRfc3339::MomentFromStr("", MinDateTime), MinDateTime);
    for (const auto& [text, expected] : std::vector<std::pair<std::string, TDateTime>>{
             {"Sat, 21 Aug 2010 22:31:20 +0000", At(2010, 8, 21, 22, 31, 20)},
             {"Sat, 21 Aug 2010 15:31:20 -0700", At(2010, 8, 21, 22, 31, 20)},
             {"Sun, 22 Aug 2010 00:31:20 +0200", At(2010, 8, 21, 22, 31, 20)},
             {"Sat, 21 Aug 2010 22:31:20", At(2010, 8, 21, 22, 31, 20)},
         }) {
        EXPECT_EQ(TDropBoxDate::MomentFromStr(text, MinDateTime), expected) << text;
    }
    // The text parser keeps the wall-clock time.
    EXPECT_EQ(TRfc3339::FromStr("2016-05-10T06:30:00-08:00"), At(2016, 5, 10, 6, 30, 0));
}

TEST(DateTexts, MomentsRejectWhatIsNotAZone) {
    for (const char* text : {"2016-05-10T14:30:00 +02:00", "2016-05-10T14:30:00+2", "2016-05-10T14:30:00+24:00",
                             "2016-05-10T14:30:00+02:60", "2016-05-10T14:30:00PST", "2016-05-10T14:30:00.Z",
                             "2016-05-10T14:30:00+0a:00", "2016-05-10T25:30:00Z", "2016-05-10"}) {
        EXPECT_THROW(TRfc3339::MomentFromStr(text, MinDateTime), EConvertError) << text;
    }
    EXPECT_EQ(ConvertErrorOf([] { TRfc3339::MomentFromStr("2016-05-10T14:30:00+2", MinDateTime); }),
              "'+2' is not a valid time zone offset");
    EXPECT_THROW(TDropBoxDate::MomentFromStr("Sat, 21 Aug 2010 22:31:20 GMT", MinDateTime), EConvertError);
}

TEST(DateTexts, ReportMalformedFieldsWithTheirMessages) {
    struct Case {
        std::function<TDateTime()> Parse;
        std::string Message;
    };
    const Case cases[] = {
        {[] { return TRfc3339::FromStr("2016-02-30T00:00:00Z"); }, "Invalid argument to date encode"},
        {[] { return TRfc3339::FromStr("0000-01-01T00:00:00Z"); }, "Invalid argument to date encode"},
        {[] { return TRfc3339::FromStr("2016-13-01T00:00:00Z"); }, "Invalid argument to date encode"},
        {[] { return TRfc3339::FromStr("2016-05-10T24:00:00Z"); }, "Invalid argument to time encode"},
        {[] { return TRfc3339::FromStr("2016-05-10T23:60:00Z"); }, "Invalid argument to time encode"},
        {[] { return TRfc3339::FromStr("2016-05-10T23:00:-1Z"); }, "Invalid argument to time encode"},
        {[] { return TRfc3339::FromStr("2016-05-10"); }, "'' is not a valid integer value"},
        {[] { return TRfc3339::FromStr("2016-05-10T14"); }, "'' is not a valid integer value"},
        {[] { return TRfc3339::FromStr("2016-05-10T1:30:00Z"); }, "'1:' is not a valid integer value"},
        {[] { return TRfc3339::FromStr("20x6-05-10T14:30:00Z"); }, "'20x6' is not a valid integer value"},
        {[] { return TRfc3339::FromStr("2016-5-10T14:30:00Z"); }, "'5-' is not a valid integer value"},
        {[] { return TRfc3339::FromStr("-2016-05-10"); }, "Invalid argument to date encode"},
        {[] { return TRfc3339::FromStr(" "); }, "' ' is not a valid integer value"},
        {[] { return TRfc3339::FromStr("", false); }, "'' is not a valid integer value"},
        {[] { return TDropBoxDate::FromStr("Sat, 31 Feb 2010 22:31:20 +0000"); }, "Invalid argument to date encode"},
        {[] { return TDropBoxDate::FromStr("Sat, 21 Aug 2010 25:31:20 +0000"); }, "Invalid argument to time encode"},
        {[] { return TDropBoxDate::FromStr("Sat, 21 Aug 2010"); }, "'' is not a valid integer value"},
        {[] { return TDropBoxDate::FromStr("Sat, 2x Aug 2010 22:31:20 +0000"); }, "'2x' is not a valid integer value"},
        {[] { return TDropBoxDate::FromStr("2010-08-21T22:31:20Z"); }, "'2:31' is not a valid integer value"},
    };
    for (const Case& c : cases) EXPECT_EQ(ConvertErrorOf([&] { c.Parse(); }), c.Message);
    // Leading spaces and signs are tolerated in a field.
    EXPECT_EQ(TRfc3339::FromStr("2016- 5-+1T 1:+2: 3Z"), At(2016, 5, 1, 1, 2, 3));
}

TEST(Rfc3339, FormatsWithTheZoneOffset) {
    const TDateTime t = At(2016, 5, 10, 14, 30, 0);
    for (const auto& [offset, expected] : std::vector<std::pair<int, std::string>>{
             {0, "2016-05-10T14:30:00Z"},
             {7200, "2016-05-10T14:30:00+02:00"},
             {19800, "2016-05-10T14:30:00+05:30"},
             {-28800, "2016-05-10T14:30:00-08:00"},
             {-12600, "2016-05-10T14:30:00-03:30"},
             {-1800, "2016-05-10T14:30:00-00:30"},
         }) {
        EXPECT_EQ(TRfc3339::ToStr(t, TFixedTimeZone(offset)), expected) << offset;
    }
    EXPECT_EQ(TRfc3339::ToStr(At(2016, 5, 10), TFixedTimeZone(0)), "2016-05-10T00:00:00Z");
    EXPECT_EQ(TRfc3339::ToStr(t, true), "2016-05-10");
    EXPECT_EQ(TRfc3339::ToStr(At(9, 1, 2), true), "0009-01-02");
    EXPECT_EQ(TRfc3339::FromStr(TRfc3339::ToStr(t, TFixedTimeZone(3600))), t);

    for (const auto& [offset, expected] : std::vector<std::pair<int, std::string>>{
             {0, "GMT:00"}, {7200, "GMT+02:00"}, {19800, "GMT+05:30"}, {-28800, "GMT-08:00"}, {-1800, "GMT-00:30"}}) {
        EXPECT_EQ(TRfc3339::TimeZoneToStr(TFixedTimeZone(offset)), expected) << offset;
    }
}

TEST_F(LocalZone, FormatsWithTheLocalOffsetOfThatDay) {
    Use("UTC0");
    EXPECT_EQ(TRfc3339::ToStr(At(2016, 5, 10, 0, 0, 0)), "2016-05-10T00:00:00Z");
    EXPECT_EQ(TRfc3339::LocalTimeZone(), "GMT:00");

    Use("IST-5:30");
    EXPECT_EQ(TRfc3339::ToStr(At(2016, 5, 10, 14, 30, 0)), "2016-05-10T14:30:00+05:30");
    EXPECT_EQ(TRfc3339::LocalTimeZone(), "GMT+05:30");

    // Central Europe: +01:00 in winter, +02:00 from 2016-03-27 02:00 to 2016-10-30 03:00.
    Use("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(TRfc3339::ToStr(At(2016, 3, 27, 1, 59, 59)), "2016-03-27T01:59:59+01:00");
    EXPECT_EQ(TRfc3339::ToStr(At(2016, 3, 27, 3, 0, 0)), "2016-03-27T03:00:00+02:00");
    EXPECT_EQ(TRfc3339::ToStr(At(2016, 10, 30, 1, 0, 0)), "2016-10-30T01:00:00+02:00");
    EXPECT_EQ(TRfc3339::ToStr(At(2016, 10, 30, 3, 0, 0)), "2016-10-30T03:00:00+01:00");
    EXPECT_EQ(TRfc3339::ToStr(At(2016, 12, 24, 18, 0, 0)), "2016-12-24T18:00:00+01:00");

    // Pacific time: -08:00 in winter, -07:00 in summer.
    Use("PST8PDT,M3.2.0,M11.1.0");
    EXPECT_EQ(TRfc3339::ToStr(At(2016, 1, 15, 12, 0, 0)), "2016-01-15T12:00:00-08:00");
    EXPECT_EQ(TRfc3339::ToStr(At(2016, 7, 15, 12, 0, 0)), "2016-07-15T12:00:00-07:00");
    const std::string name = TRfc3339::LocalTimeZone();
    EXPECT_TRUE(name == "GMT-08:00" || name == "GMT-07:00") << name;
}
