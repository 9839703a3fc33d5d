#include "foundation/utils_time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/clock.h"
#include "testing/scoped_time_zone.h"

namespace zelko::plenar::agent {
namespace {

using zelko::testing::ScopedTimeZone;

constexpr int64_t kSecond = platform::kTicksPerSecond;
// 2024-07-01T12:00:00Z
constexpr int64_t kJulyNoonUtc = 1719835200LL * kSecond;
// 2024-01-15T12:00:00Z
constexpr int64_t kJanuaryNoonUtc = 1705320000LL * kSecond;

TEST(Iso8601Test, AcceptsOnlyTheExactShapeWithFieldsInRange) {
    const struct {
        const char* text;
        bool accepted;
    } cases[] = {
        {"2024-03-05T14:07:09+01:00", true},
        {"2024-03-05T14:07:09-05:00", true},
        {"2023-02-31T10:00:00+00:00", true},  // the day is not compared with its month
        {"1900-01-01T00:00:00+00:00", true},
        {"2024-12-31T23:59:61+00:00", true},  // leap seconds pass the range test
        {"2024-03-05T14:07:09Z", false},
        {"2024-03-05T14:07:09+0100", false},
        {"2024-03-05T14:07:09.123+01:00", false},
        {"2024-03-05 14:07:09+01:00", false},
        {" 2024-03-05T14:07:09+01:00", false},
        {"2024-03-05T14:07:09+01:00 ", false},
        {"x2024-03-05T14:07:09+01:00", false},
        {"2024-03-05t14:07:09+01:00", false},
        {"2024-03-05T14:07:09*01:00", false},
        {"1899-12-31T23:59:59+00:00", false},
        {"2024-13-01T00:00:00+00:00", false},
        {"2024-00-10T00:00:00+00:00", false},
        {"2024-01-00T00:00:00+00:00", false},
        {"2024-01-32T00:00:00+00:00", false},
        {"2024-01-01T24:00:00+00:00", false},
        {"2024-01-01T00:60:00+00:00", false},
        {"2024-01-01T00:00:62+00:00", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsIso8601WithOffset(c.text), c.accepted) << c.text;
}

TEST(Iso8601Test, ParseTimeTakesTheFieldsAsWrittenAndIgnoresTheOffset) {
    const std::tm east = ParseTime("2024-03-05T14:07:09+05:00");
    const std::tm utc = ParseTime("2024-03-05T14:07:09+00:00");
    for (const std::tm& t : {east, utc}) {
        EXPECT_EQ(t.tm_year, 124);
        EXPECT_EQ(t.tm_mon, 2);
        EXPECT_EQ(t.tm_mday, 5);
        EXPECT_EQ(t.tm_hour, 14);
        EXPECT_EQ(t.tm_min, 7);
        EXPECT_EQ(t.tm_sec, 9);
        EXPECT_EQ(t.tm_wday, 0);
        EXPECT_EQ(t.tm_yday, 0);
        EXPECT_EQ(t.tm_isdst, -1);
    }
}

TEST(Iso8601Test, RefusedTextParsesToTheZeroedRecord) {
    const std::tm t = ParseTime("2024-03-05T14:07:09Z");
    EXPECT_EQ(t.tm_year, 0);
    EXPECT_EQ(t.tm_mon, 0);
    EXPECT_EQ(t.tm_mday, 0);
    EXPECT_EQ(t.tm_hour, 0);
    EXPECT_EQ(t.tm_isdst, -1);
    EXPECT_FALSE(IsValidTm(t));
}

TEST(Iso8601Test, OffsetTexts) {
    EXPECT_EQ(FormatUtcOffset(0), "+00:00");
    EXPECT_EQ(FormatUtcOffset(2), "+02:00");
    EXPECT_EQ(FormatUtcOffset(-5), "-05:00");
    EXPECT_EQ(FormatUtcOffset(14), "+14:00");
    EXPECT_EQ(ParseUtcOffsetHours("2024-03-05T14:07:09-05:00"), -5);
    EXPECT_EQ(ParseUtcOffsetHours("2024-03-05T14:07:09+12:00"), 12);
    EXPECT_EQ(ParseUtcOffsetHours("2024-03-05T14:07:09+0500"), 0);
}

TEST(Iso8601Test, FormatIso8601WritesTheGivenOffsetAndRefusesBadRecords) {
    std::tm t = ParseTime("2024-03-05T04:07:09+00:00");
    EXPECT_EQ(FormatIso8601(t, 3), "2024-03-05T04:07:09+03:00");
    t.tm_mday = 0;
    EXPECT_EQ(FormatIso8601(t, 0), "");
    t.tm_mday = 1;
    t.tm_year = -1;
    EXPECT_EQ(FormatIso8601(t, 0), "");
}

TEST(Iso8601Test, FormatUtcIso8601DropsTheFraction) {
    EXPECT_EQ(FormatUtcIso8601(kJulyNoonUtc + 19 * kSecond / 10), "2024-07-01T12:00:01+00:00");
    EXPECT_EQ(FormatUtcIso8601(0), "1970-01-01T00:00:00+00:00");
    EXPECT_EQ(FormatUtcIso8601(-kSecond), "");  // -1 s is the conversion's error value
    // What the writer stores, the reader gives back.
    const std::string text = FormatUtcIso8601(kJanuaryNoonUtc);
    EXPECT_EQ(FormatIso8601(ParseTime(text), 0), text);
}

TEST(Iso8601Test, LocalTimeCarriesTheStandardOffsetOfTheZone) {
    const struct {
        const char* zone;
        int offset;
        const char* july_noon_utc;
        const char* january_noon_utc;
    } cases[] = {
        // Summer time is written as local clock time but with the standard offset.
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1, "2024-07-01T14:00:00+01:00", "2024-01-15T13:00:00+01:00"},
        {"IST-5:30", 5, "2024-07-01T17:30:00+05:00", "2024-01-15T17:30:00+05:00"},
        {"NST3:30NDT,M3.2.0,M11.1.0", -3, "2024-07-01T09:30:00-03:00", "2024-01-15T08:30:00-03:00"},
        {"UTC0", 0, "2024-07-01T12:00:00+00:00", "2024-01-15T12:00:00+00:00"},
    };
    for (const auto& c : cases) {
        ScopedTimeZone zone(c.zone);
        EXPECT_EQ(GetLocalUtcOffsetHours(), c.offset) << c.zone;
        platform::ScopedFakeClock clock(kJulyNoonUtc + 5 * kSecond / 10);
        EXPECT_EQ(NowLocalIso8601(), c.july_noon_utc) << c.zone;
        clock.Set(kJanuaryNoonUtc);
        EXPECT_EQ(NowLocalIso8601(), c.january_noon_utc) << c.zone;
    }
}

TEST(TimePointTest, GetUtcTimestampHasSixFractionDigitsAndZ) {
    platform::ScopedFakeClock clock(kJulyNoonUtc + 123 * platform::kTicksPerMillisecond + 4567);
    EXPECT_EQ(Utils::GetUtcTimestamp(), "2024-07-01T12:00:00.123000Z");
    clock.Set(kJulyNoonUtc + 7 * platform::kTicksPerMillisecond);
    EXPECT_EQ(Utils::GetUtcTimestamp(), "2024-07-01T12:00:00.007000Z");
}

TEST(TimePointTest, FormatTimePointWritesUtcAndSevenFractionDigits) {
    const int64_t t = kJanuaryNoonUtc + 42;
    EXPECT_EQ(Utils::FormatTimePoint(t, "%Y-%m-%d %H:%M:%S", "."), "2024-01-15 12:00:00.0000042");
    EXPECT_EQ(Utils::FormatTimePoint(t, "%Y-%m-%d-%H-%M-%S", "-"), "2024-01-15-12-00-00-0000042");
}

TEST(TimePointTest, ToTimePointReversesFormatTimePoint) {
    const struct {
        const char* format;
        const char* separator;
    } formats[] = {{"%Y-%m-%d %H:%M:%S", "."}, {"%Y-%m-%d-%H-%M-%S", "-"}};
    const int64_t points[] = {0,
                              1,
                              kSecond - 1,
                              kJanuaryNoonUtc + 9999999,
                              kJulyNoonUtc + 1234567,
                              951782400LL * kSecond + 5,  // 2000-02-29
                              4102444799LL * kSecond + 9999999};
    for (const auto& f : formats) {
        for (int64_t point : points) {
            const std::string text = Utils::FormatTimePoint(point, f.format, f.separator);
            EXPECT_EQ(Utils::ToTimePoint(text, f.format, f.separator), point) << text;
        }
    }
}

TEST(TimePointTest, ToTimePointReadsTheFractionAsTicks) {
    const char* format = "%Y-%m-%d %H:%M:%S";
    const int64_t base = kJanuaryNoonUtc;
    EXPECT_EQ(Utils::ToTimePoint("2024-01-15 12:00:00.5", format, "."), base + 5);
    EXPECT_EQ(Utils::ToTimePoint("2024-01-15 12:00:00. 17", format, "."), base + 17);
    EXPECT_EQ(Utils::ToTimePoint("2024-01-15 12:00:00.", format, "."), base);
    EXPECT_EQ(Utils::ToTimePoint("2024-01-15 12:00:00.abc", format, "."), base);
    // The date part rolls over like the C library's UTC conversion.
    EXPECT_EQ(Utils::ToTimePoint("2023-02-31 00:00:00.0", format, "."),
              Utils::ToTimePoint("2023-03-03 00:00:00.0", format, "."));
}

TEST(TimePointTest, ToTimePointRefusesTextWithoutSeparator) {
    const char* format = "%Y-%m-%d %H:%M:%S";
    for (const char* text : {"2024-01-15 12:00:00", ""}) {
        try {
            Utils::ToTimePoint(text, format, ".");
            ADD_FAILURE() << text;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "ToTimePoint: Invalid datetime format");
        }
    }
    EXPECT_THROW(Utils::ToTimePoint("2024-01-15 12:00:00.1", format, ""), std::invalid_argument);
}

TEST(TimePointTest, DateThatDoesNotMatchTheFormatIsRefused) {
    for (const char* text : {"garbage.0000001", ".0000001", "2024-13-45 12:00:00.0", "15-01-2024 12:00:00.0"}) {
        EXPECT_THROW(Utils::ToTimePoint(text, "%Y-%m-%d %H:%M:%S", "."), std::invalid_argument) << text;
    }
}

TEST(DurationTest, FormatsHoursMinutesSecondsAndMilliseconds) {
    const struct {
        int64_t ticks;
        const char* text;
    } cases[] = {
        {0, "0h0m0s0ms"},
        {90 * kSecond, "0h1m30s0ms"},
        {(3600 + 120 + 3) * kSecond + 456 * platform::kTicksPerMillisecond + 999, "1h2m3s456ms"},
        {49LL * 3600 * kSecond, "49h0m0s0ms"},
    };
    for (const auto& c : cases) EXPECT_EQ(Utils::FormatDuration(c.ticks), c.text);
}

}  // namespace
}  // namespace zelko::plenar::agent
