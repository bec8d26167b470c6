#include "core/LogLine.h"
#include "core/LogRecord.h"
#include "core/LogTable.h"

#include <QRegularExpression>

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

TEST(LogLine, ControlCharactersShowOneForOneAndNeverBreakTheLine)
{
    const std::pair<char32_t, char32_t> shown[] = {
        {0x00, 0x2400}, {0x09, 0x2409}, {0x0A, 0x240A}, {0x0B, 0x240B}, {0x0C, 0x240C}, {0x0D, 0x240D},
        {0x1B, 0x241B}, {0x1F, 0x241F}, {0x7F, 0x2421}, {0x80, 0xFFFD}, {0x85, 0xFFFD}, {0x9B, 0xFFFD},
        {0x9F, 0xFFFD}, {0x2028, 0xFFFD}, {0x2029, 0xFFFD}, {0x20, 0x20}, {0x7E, 0x7E}, {0xA0, 0xA0},
        {0x2027, 0x2027}, {0x1F600, 0x1F600}, {0x2065, 0x2065}, {0x206A, 0x206A}, {0x202F, 0x202F},
        {0x200D, 0x200D},
    };
    for (auto [in, out] : shown) {
        EXPECT_EQ(VisibleChar(in), out) << std::hex << uint32_t(in);
        EXPECT_EQ(VisibleChar(in, true), out) << std::hex << uint32_t(in);
    }
    // Bidirectional controls reorder what a reader sees; archive lines keep
    // them for import to restore.
    for (char32_t bidi : {0x061C, 0x200E, 0x200F, 0x202A, 0x202B, 0x202C, 0x202D, 0x202E, 0x2066, 0x2067, 0x2068, 0x2069}) {
        EXPECT_EQ(VisibleChar(bidi), 0xFFFDu) << std::hex << uint32_t(bidi);
        EXPECT_EQ(VisibleChar(bidi, true), bidi) << std::hex << uint32_t(bidi);
    }

    // A forged record after CR LF, lone breaks, a terminal sequence: each
    // control is one visible character in any column, and widths still hold.
    const QString forged = QStringLiteral("ok\r\n01/01/2000 00:00:00 ADMIN");
    const QString hostile[] = {forged, QStringLiteral("a\rb\nc\vd\fe"), QStringLiteral("a\u0085b\u2028c\u2029d"),
                               QStringLiteral("\x1b[2J\x1b]0;t\x07\u009b31m"), QString(QChar(0)) + "x\x7f"};
    const QRegularExpression breaks(QStringLiteral("[\\x00-\\x1f\\x7f-\\x9f\\x{2028}\\x{2029}]"));
    for (const QString& text : hostile) {
        const QString line = BuildLogLine({"d", "t", text, text, text, text, text});
        EXPECT_FALSE(line.contains(breaks)) << line.toStdString();
        const QString plain = BuildLogLine({"d", "t", "A", "W", "U", "E", QString(text.size(), QLatin1Char('x'))});
        EXPECT_EQ(line.size(), plain.size()) << line.toStdString();
        EXPECT_TRUE(line.endsWith(VisibleText(text)));
    }
    EXPECT_EQ(VisibleText(forged), QStringLiteral("ok\u240d\u240a01/01/2000 00:00:00 ADMIN"));
    EXPECT_EQ(FitText(QStringLiteral("a\r\n\u2028"), 5), QStringLiteral("a\u240d\u240a\ufffd "));
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

// The screens trim blanks only: other white space is part of a value.
TEST(TrimBlanks, RemovesOnlyLeadingAndTrailingBlanks)
{
    for (const QChar kept : {QChar(u'\t'), QChar(u'\r'), QChar(u'\n'), QChar(u'\u3000')}) {
        const QString value = kept + QStringLiteral("x") + kept;
        EXPECT_EQ(tallyquill::TrimBlanks(QStringLiteral("  ") + value + QStringLiteral(" ")), value) << int(kept.unicode());
        const tallyquill::LogRecord shown =
            tallyquill::DisplayForm({"19980601", "010203", value, value, value, value, value + QStringLiteral("  ")});
        EXPECT_EQ(shown, (tallyquill::LogRecord{"01/06/1998", "01:02:03", value, value, value, value, value}))
            << int(kept.unicode());
    }
    EXPECT_EQ(tallyquill::TrimBlanks(QStringLiteral("   ")), QString());
}
