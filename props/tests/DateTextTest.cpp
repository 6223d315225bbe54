#include "props/DateText.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

constexpr std::uint64_t kTicksPerSecond = 10000000ULL;

struct DateCase
{
    const char* what;
    std::uint64_t fileTime;
    const char* text;
};

class FileTimeTextTest : public ::testing::TestWithParam<DateCase>
{
};

TEST_P(FileTimeTextTest, RendersOrRejects)
{
    const DateCase& c = GetParam();
    EXPECT_EQ(FileTimeToText(c.fileTime), c.text) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FileTimeTextTest,
    ::testing::Values(
        DateCase{"date and time with seconds", 0x1da6f06696ba480ULL, "2024-03-05 14:07:09"},
        DateCase{"milliseconds are dropped", 0x1da6f06696ba480ULL + 9990000ULL, "2024-03-05 14:07:09"},
        DateCase{"exactly midnight shows the date alone", 0x1da6e9010f9c000ULL, "2024-03-05"},
        DateCase{"midnight with milliseconds is still midnight", 0x1da6e9010f9c000ULL + 5000000ULL, "2024-03-05"},
        DateCase{"leap day", 0x1bf82ac81016000ULL, "2000-02-29 12:00:00"},
        DateCase{"after the 1900 non-leap February", 0x14f6598c4d81680ULL, "1900-03-01 00:00:01"},
        DateCase{"the FILETIME epoch", 0, "1601-01-01"},
        DateCase{"last second of year 9999", 0x24c85a5ed127a980ULL, "9999-12-31 23:59:59"},
        DateCase{"year 10000 is outside the OLE date range", 0x24c85a5ed1c04000ULL, "Invalid DateTime"},
        DateCase{"largest positive FILETIME (year 30828)", 0x7FFFFFFFFFFFFFFFULL, "Invalid DateTime"},
        DateCase{"top bit set cannot be converted", 0x8000000000000000ULL, "Invalid DateTime"},
        DateCase{"all bits set", 0xFFFFFFFFFFFFFFFFULL, "Invalid DateTime"}));

TEST(FileTimeToFields, SplitsEveryField)
{
    CDateTimeFields f;
    ASSERT_TRUE(FileTimeToFields(0x1da6f06696ba480ULL + 1234567ULL, f));
    EXPECT_EQ(f.nYear, 2024);
    EXPECT_EQ(f.nMonth, 3);
    EXPECT_EQ(f.nDay, 5);
    EXPECT_EQ(f.nHour, 14);
    EXPECT_EQ(f.nMinute, 7);
    EXPECT_EQ(f.nSecond, 9);
    EXPECT_EQ(f.nMilliseconds, 123);
    EXPECT_EQ(f.nDayOfWeek, 2) << "5 March 2024 was a Tuesday";
}

TEST(FileTimeToFields, WalksEveryDayOfA400YearCycleConsistently)
{
    // Consecutive days must give consecutive calendar dates.
    CDateTimeFields prev;
    ASSERT_TRUE(FileTimeToFields(0, prev));
    const std::uint64_t day = 86400ULL * kTicksPerSecond;
    for (std::uint64_t n = 1; n <= 146097; ++n) {
        CDateTimeFields f;
        ASSERT_TRUE(FileTimeToFields(n * day, f));
        const bool sameMonth = f.nYear == prev.nYear && f.nMonth == prev.nMonth && f.nDay == prev.nDay + 1;
        const bool nextMonth = f.nYear == prev.nYear && f.nMonth == prev.nMonth + 1 && f.nDay == 1;
        const bool nextYear = f.nYear == prev.nYear + 1 && f.nMonth == 1 && f.nDay == 1 && prev.nMonth == 12;
        ASSERT_TRUE(sameMonth || nextMonth || nextYear) << f.nYear << "-" << f.nMonth << "-" << f.nDay;
        ASSERT_EQ(f.nDayOfWeek, (prev.nDayOfWeek + 1) % 7);
        prev = f;
    }
    EXPECT_EQ(prev.nYear, 2001) << "400 Gregorian years have 146097 days";
    EXPECT_EQ(prev.nMonth, 1);
    EXPECT_EQ(prev.nDay, 1);
}

TEST(DateTimeFormatter, TheInstalledFormatterDecidesTheLayout)
{
    SetDateTimeFormatter([](const CDateTimeFields& f, bool bWithTime) {
        std::string text = std::to_string(f.nDay) + "." + std::to_string(f.nMonth) + "." + std::to_string(f.nYear);
        return bWithTime ? text + " " + std::to_string(f.nHour) + "h" : text;
    });
    EXPECT_EQ(FileTimeToText(0x1da6f06696ba480ULL), "5.3.2024 14h");
    EXPECT_EQ(FileTimeToText(0x1da6e9010f9c000ULL), "5.3.2024");
    EXPECT_EQ(FileTimeToText(0x8000000000000000ULL), "Invalid DateTime") << "checked before formatting";

    SetDateTimeFormatter([](const CDateTimeFields&, bool) { return std::string(); });
    EXPECT_EQ(FileTimeToText(0x1da6f06696ba480ULL), "Invalid DateTime") << "a failed formatter";

    SetDateTimeFormatter(nullptr);
    EXPECT_EQ(FileTimeToText(0x1da6f06696ba480ULL), "2024-03-05 14:07:09");
}

} // namespace
