#include <gtest/gtest.h>

#include "screens/FilterCheck.h"

using namespace tallyquill;

namespace {

// A filter that passes every rule; each test spoils one part of it.
FilterTexts Valid()
{
    FilterTexts f;
    f.dateStart = QStringLiteral("10/03/2001");
    f.dateEnd = QStringLiteral("05/04/2001");
    f.timeStart = QStringLiteral("10:30:00");
    f.timeEnd = QStringLiteral("11:20:00");
    f.appId = QStringLiteral("APP1");
    return f;
}

void ExpectProblem(const FilterTexts& f, int16_t id, const char* english, FilterField focus)
{
    const auto problem = CheckFilter(f);
    ASSERT_TRUE(problem.has_value()) << "expected message " << id;
    EXPECT_EQ(problem->messageId, id);
    EXPECT_EQ(problem->english.toStdString(), english);
    EXPECT_EQ(problem->focus, focus);
}

} // namespace

TEST(FilterKeys, PiecesAreCleanedAndJoinedLargestFirst)
{
    EXPECT_EQ(ReplaceUnderscore(QStringLiteral("_1_2/_")), QStringLiteral("12/"));
    EXPECT_EQ(DateKey(QStringLiteral("29/02/2000")), QStringLiteral("20000229"));
    EXPECT_EQ(DateKey(QStringLiteral("__/__/____")), QString());
    EXPECT_EQ(DateKey(QStringLiteral("1_/__/____")), QStringLiteral("1"));
    EXPECT_EQ(TimeKey(QStringLiteral("23:05:09")), QStringLiteral("230509"));
    EXPECT_EQ(TimeKey(QStringLiteral("__:__:__")), QString());
    EXPECT_EQ(TimeKey(QStringLiteral("1_:3_:__")), QStringLiteral("010300"));
}

TEST(FilterKeys, ValidTimeBounds)
{
    EXPECT_TRUE(IsValidTime(0, 0, 0));
    EXPECT_TRUE(IsValidTime(23, 59, 59));
    EXPECT_FALSE(IsValidTime(24, 0, 0));
    EXPECT_FALSE(IsValidTime(12, 60, 0));
    EXPECT_FALSE(IsValidTime(-1, 0, 0));
}

TEST(FilterDates, CalendarAndShape)
{
    EXPECT_TRUE(IsValidDateText(QStringLiteral("29/02/2000")));
    EXPECT_FALSE(IsValidDateText(QStringLiteral("29/02/2001")));
    EXPECT_FALSE(IsValidDateText(QStringLiteral("29/02/1900")));
    EXPECT_FALSE(IsValidDateText(QStringLiteral("31/04/2001")));
    EXPECT_FALSE(IsValidDateText(QStringLiteral("00/01/2001")));
    EXPECT_FALSE(IsValidDateText(QStringLiteral("01/13/2001")));
    EXPECT_FALSE(IsValidDateText(QStringLiteral("1_/03/2001")));
    EXPECT_FALSE(IsValidDateText(QStringLiteral("01/03/200_")));
    EXPECT_FALSE(IsValidDateText(QStringLiteral("01-03-2001")));
    EXPECT_FALSE(IsValidDateText(QStringLiteral("01/03/2001 ")));
}

TEST(FilterCheck, AcceptsCompleteAndTimelessFilters)
{
    EXPECT_FALSE(CheckFilter(Valid()).has_value());

    FilterTexts f = Valid();
    f.timeStart = f.timeEnd = QStringLiteral("__:__:__");
    f.dateEnd = f.dateStart; // equal dates are a one-day range
    EXPECT_FALSE(CheckFilter(f).has_value());

    f = Valid();
    f.timeEnd = f.timeStart;
    EXPECT_FALSE(CheckFilter(f).has_value());

    f = Valid();
    f.timeStart = QStringLiteral("1_:3_:__"); // reads as 01:03:00
    EXPECT_FALSE(CheckFilter(f).has_value());

    f = Valid();
    f.appId = QStringLiteral("   ");
    f.appIdShown = false;
    EXPECT_FALSE(CheckFilter(f).has_value());
}

TEST(FilterCheck, MissingFieldsInRuleOrder)
{
    ExpectProblem(FilterTexts{}, 847, "Date range is mandatory", FilterField::DateRangeStart);

    FilterTexts f = Valid();
    f.dateEnd = QStringLiteral("__/__/____");
    f.timeStart = QStringLiteral("__:__:__"); // a later rule would fail too
    ExpectProblem(f, 847, "Date range is mandatory", FilterField::DateRangeEnd);

    f = Valid();
    f.timeStart = QStringLiteral("__:__:__");
    f.appId.clear();
    ExpectProblem(f, 848, "No start time", FilterField::TimeRangeStart);

    f = Valid();
    f.timeEnd = QStringLiteral("__:__:__");
    ExpectProblem(f, 849, "No end time", FilterField::TimeRangeEnd);

    // A blank shown app ID is reported before an invalid date.
    f = Valid();
    f.appId = QStringLiteral("   ");
    f.dateStart = QStringLiteral("31/04/2001");
    ExpectProblem(f, 831, "Application ID is mandatory", FilterField::AppID);
    f.appId = QStringLiteral(" APP ");
    ExpectProblem(f, 833, "Invalid date", FilterField::DateRangeStart);
}

TEST(FilterCheck, InvalidDatesAndRange)
{
    FilterTexts f = Valid();
    f.dateStart = QStringLiteral("1_/__/____"); // a key, but not a date
    ExpectProblem(f, 833, "Invalid date", FilterField::DateRangeStart);

    f = Valid();
    f.dateEnd = QStringLiteral("29/02/2001");
    ExpectProblem(f, 833, "Invalid date", FilterField::DateRangeEnd);

    // The year decides even when month and day point the other way.
    f = Valid();
    f.dateStart = QStringLiteral("20/01/2001");
    f.dateEnd = QStringLiteral("10/02/2000");
    ExpectProblem(f, 850, "Invalid date range", FilterField::DateRangeStart);

    f.dateEnd = QStringLiteral("19/01/2001");
    ExpectProblem(f, 850, "Invalid date range", FilterField::DateRangeStart);
}

TEST(FilterCheck, InvalidTimesAndRange)
{
    FilterTexts f = Valid();
    f.timeStart = QStringLiteral("24:00:00");
    ExpectProblem(f, 851, "Invalid time", FilterField::TimeRangeStart);

    f = Valid();
    f.timeEnd = QStringLiteral("12:60:00");
    ExpectProblem(f, 851, "Invalid time", FilterField::TimeRangeEnd);

    f = Valid();
    f.timeStart = QStringLiteral("23:59:59");
    f.timeEnd = QStringLiteral("00:00:00");
    ExpectProblem(f, 852, "Invalid time range", FilterField::TimeRangeStart);

    // Hours decide before minutes.
    f.timeStart = QStringLiteral("11:20:00");
    f.timeEnd = QStringLiteral("10:30:00");
    ExpectProblem(f, 852, "Invalid time range", FilterField::TimeRangeStart);

    f.timeStart = QStringLiteral("10:30:01");
    f.timeEnd = QStringLiteral("10:30:00");
    ExpectProblem(f, 852, "Invalid time range", FilterField::TimeRangeStart);
}
