#include "writer/LogLine.h"
#include "writer/LogTable.h"

#include <gtest/gtest.h>

using namespace tallyquill;

namespace {

TEST(LogLine, AllColumnsShown)
{
    const QString line = BuildLogLine({"07/06/1998", "09:42:00", "ORDERS", "WS01", "JOHN", "LOGIN", "Signed on"});
    EXPECT_EQ(line, "07/06/1998 09:42:00 ORDERS     WS01             JOHN                 LOGIN    Signed on");
    EXPECT_EQ(line.size(), 87);
}

TEST(LogLine, HiddenColumnsAndEdges)
{
    const LineLayout none{.hideAppID = true, .hideWsID = true, .hideUser = true, .hideEvent = true};
    EXPECT_EQ(BuildLogLine({"07/06/1998", "09:42:00", "ORDERS", "WS01", "JOHN", "LOGIN", "Signed on"}, none),
              "07/06/1998 09:42:00 Signed on");
    EXPECT_EQ(BuildLogLine({"19980607", "094200", "", "", "", "", ""}, none), "19980607   094200   ");

    const LineLayout userOnly{.hideAppID = true, .hideWsID = true, .hideEvent = true};
    EXPECT_EQ(BuildLogLine({"d", "t", "A", "W", "ABCDEFGHIJKLMNOPQRSTUVWXY", "E", "x"}, userOnly),
              "d          t        ABCDEFGHIJKLMNOPQRST x");
    // The header takes the layout's titles.
    EXPECT_EQ(HeaderLine({.hideAppID = true, .hideWsID = true, .userTitle = "Who", .eventTitle = "What",
                          .activityTitle = "Done"}),
              "Date       Time     Who                  What     Done");
}

TEST(LogLine, WidthsCountCharactersNotUnits)
{
    // Chinese keeps one character per place; a surrogate pair is never split.
    EXPECT_EQ(FitText(QStringLiteral("张三李四王五赵六钱七孙八"), 10), QStringLiteral("张三李四王五赵六钱七"));
    const QString emoji = QStringLiteral("😀😀😀");
    EXPECT_EQ(FitText(emoji, 2), QStringLiteral("😀😀"));
    EXPECT_EQ(FitText(QStringLiteral("a😀"), 4), QStringLiteral("a😀  "));
    const QString line = BuildLogLine({"d", "t", QStringLiteral("应用"), "w", "u", "e", QStringLiteral("活动")});
    EXPECT_TRUE(line.startsWith(QStringLiteral("d          t        应用         w")));
    EXPECT_TRUE(line.endsWith(QStringLiteral(" 活动")));
}

TEST(Stamp, StoredFormsAndTableNames)
{
    const QDateTime t(QDate(1998, 6, 7), QTime(9, 5, 7));
    EXPECT_EQ(StoredDate(t), "19980607");
    EXPECT_EQ(StoredTime(t), "090507");
    EXPECT_EQ(StoredTime(QDateTime(QDate(2000, 1, 1), QTime(0, 0))), "000000");
    EXPECT_EQ(TableName("ORDERS"), "ORDERS_logs");
    for (const char* ok : {"ORDERS", "a_1", "_", "X9"})
        EXPECT_TRUE(IsValidAppId(ok)) << ok;
    for (const char* bad : {"", "A B", "A;B", "A'B", "A-B", "A.B", "订单", "A\"B", "A--"})
        EXPECT_FALSE(IsValidAppId(QString::fromUtf8(bad))) << bad;
}

} // namespace
