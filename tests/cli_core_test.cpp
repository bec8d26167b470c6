// The command's reading of dates, archive lines and follow polls, apart from
// any database; and the lines `list` writes from the bytes it streams.

#include "tool/ArchiveLine.h"
#include "tool/Dates.h"
#include "tool/Follow.h"
#include "tool/Formats.h"

#include "TestSupport.h"
#include "core/LogLine.h"
#include "core/LogTable.h"
#include "core/Schema.h"
#include "service/Command.h"

#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

namespace {

using namespace tallyquill::cli;

TEST(CliDates, ReadsWhatCannotBeMisreadAndRefusesTheRest)
{
    const QDateTime now(QDate(2026, 3, 15), QTime(10, 30, 0));
    struct Case {
        const char* text;
        DateOrder order;
        Edge edge;
        const char* expected;  // "yyyymmdd hhmmss", or the refusal's string id
    };
    const Case cases[] = {
        {"2026-01-12", DateOrder::Unset, Edge::Start, "20260112 000000"},
        {"2026-01-12", DateOrder::Unset, Edge::End, "20260112 235959"},
        {"2026-01-12T9:05", DateOrder::Unset, Edge::End, "20260112 090500"},
        {"2026-01-12 09:05:07", DateOrder::Unset, Edge::Start, "20260112 090507"},
        {"13/01/2026", DateOrder::Unset, Edge::Start, "20260113 000000"},
        {"05/05/2026", DateOrder::Unset, Edge::Start, "20260505 000000"},
        {"12/01/2026", DateOrder::Unset, Edge::Start, "0"},
        {"12/01/2026", DateOrder::Dmy, Edge::Start, "20260112 000000"},
        {"12/01/2026", DateOrder::Mdy, Edge::Start, "20261201 000000"},
        {"01/13/2026", DateOrder::Unset, Edge::Start, "833"},
        {"31/02/2026", DateOrder::Dmy, Edge::Start, "833"},
        {"2026-13-01", DateOrder::Unset, Edge::Start, "833"},
        {"2026-01-12T25:00", DateOrder::Unset, Edge::Start, "851"},
        {"2026-01-12trailing", DateOrder::Unset, Edge::Start, "833"},
        {"today", DateOrder::Unset, Edge::End, "20260315 235959"},
        {"yesterday", DateOrder::Unset, Edge::Start, "20260314 000000"},
        {"-7d", DateOrder::Unset, Edge::Start, "20260308 103000"},
        {"-12h", DateOrder::Unset, Edge::Start, "20260314 223000"},
        {"-1w", DateOrder::Unset, Edge::Start, "20260308 103000"},
        {"-90s", DateOrder::Unset, Edge::Start, "20260315 102830"},
        {"2 hours ago", DateOrder::Unset, Edge::Start, "20260315 083000"},
        {"1 week ago", DateOrder::Unset, Edge::End, "20260308 103000"},
        {"3days ago", DateOrder::Unset, Edge::Start, "20260312 103000"},
        {"15:00", DateOrder::Unset, Edge::Start, "20260315 150000"},
        {"15:00", DateOrder::Unset, Edge::End, "20260315 150000"},
        {"tomorrow", DateOrder::Unset, Edge::End, "20260316 235959"},
        {"-2 hours ago", DateOrder::Unset, Edge::Start, "833"},
        {"2 hours", DateOrder::Unset, Edge::Start, "833"},
        {"-5y", DateOrder::Unset, Edge::Start, "833"},
        {"nine", DateOrder::Unset, Edge::Start, "833"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            const Instant i = ParseWhen(QString::fromUtf8(c.text), c.order, c.edge, now);
            EXPECT_EQ(i.date + QLatin1Char(' ') + i.time, QString::fromLatin1(c.expected));
        } catch (const BadValue& e) {
            EXPECT_EQ(std::to_string(e.messageId), c.expected) << e.what();
        }
    }

    const std::pair<const char*, const char*> times[] = {
        {"9:00", "090000"},    {"09:00:00", "090000"}, {"9:05:07", "090507"}, {"23:59:59", "235959"},
        {"nine", ""},          {"11:00:00trailing", ""}, {"24:00", ""},      {"9:5", ""}, {"", ""}};
    for (const auto& [text, expected] : times) {
        SCOPED_TRACE(text);
        try {
            EXPECT_EQ(ParseTimeOfDay(QString::fromUtf8(text)), QString::fromLatin1(expected));
        } catch (const BadValue& e) {
            EXPECT_EQ(e.messageId, 851);
            EXPECT_STREQ(expected, "");
        }
    }
}

TEST(CliArchiveLine, RestoresEveryFieldOrSaysWhyNot)
{
    const QString wide = QString(250, QChar(u'字'));
    const Record records[] = {
        {"20260101", "000000", "ORDERS", "WS01", "JOHN", "LOGIN", "Signed on"},
        {"20261231", "235959", "ABCDEFGHIJ", "WORKSTATION_0123", QString(15, QChar(u'张')), "登录登录登录登录", wide},
        {"20260607", "090507", "A", "W", "", "", ""},
        {"20260607", "090507", "A", "W", "U", "E", QStringLiteral("  spaced  out  𝄞 ")},
    };
    for (const Record& r : records) {
        const auto parsed = ParseArchiveLine(tallyquill::BuildLogLine(r).toUtf8());
        ASSERT_TRUE(std::holds_alternative<Record>(parsed)) << std::get<QString>(parsed).toStdString();
        EXPECT_EQ(std::get<Record>(parsed), r);
    }

    auto line = [](const QString& user, const QString& activity, tallyquill::LineLayout layout = {}) {
        return tallyquill::BuildLogLine({"20260101", "101010", "APP", "WS", user, "EV", activity}, layout).toUtf8();
    };
    // A line of an archive written with the application column hidden.
    const QByteArray hidden = line("USER", "x", {.hideAppID = true});
    const QByteArray refused[] = {
        line(QString(16, QChar(u'张')), "x"),            // the user column holds 15
        line("U", QString(251, QLatin1Char('a'))),        // the activity column holds 250
        line("U", QStringLiteral("a\u240Ab")),            // a stand-in for a line feed
        line("U", QString::fromUtf16(u"a\0b", 3)),         // a NUL, which the driver would cut at
        line("U", "x").replace("20260101", "2026011X"),   // no stored date
        line("U", "x").left(60),                          // cut short
        QByteArray("20260101   101010   APP        WS ") + "\xff\xfe",
        hidden,
    };
    for (const QByteArray& bad : refused)
        EXPECT_TRUE(std::holds_alternative<QString>(ParseArchiveLine(bad))) << bad.toStdString();
}

TEST(CliFollow, PrintsEveryRecordOnceAcrossPolls)
{
    FollowCursor cursor;
    auto rec = [](const char* time, const char* text) { return Record{"20260101", time, "A", "W", "U", "E", text}; };
    auto poll = [&](std::initializer_list<Record> rows) {
        QStringList printed;
        cursor.beginPoll();
        for (const Record& r : rows)
            if (cursor.admit(r))
                printed << r.Time + QLatin1Char(' ') + r.Activity;
        cursor.endPoll();
        return printed;
    };
    EXPECT_EQ(poll({rec("100000", "a"), rec("100001", "b"), rec("100001", "b")}),
              QStringList({"100000 a", "100001 b", "100001 b"}));
    EXPECT_EQ(cursor.pollFrom({}).time, "095951");
    // The boundary second comes back with a new record and a third copy.
    EXPECT_EQ(poll({rec("100000", "a"), rec("100001", "b"), rec("100001", "c"), rec("100001", "b"),
                    rec("100001", "b")}),
              QStringList({"100001 c", "100001 b"}));
    // A record that reached the table late, stamped before the newest.
    EXPECT_EQ(poll({rec("095959", "late"), rec("100000", "a"), rec("100001", "b")}), QStringList({"095959 late"}));
    EXPECT_EQ(poll({rec("095959", "late"), rec("100002", "d")}), QStringList({"100002 d"}));
    // Never before the operator's own lower bound.
    EXPECT_EQ(cursor.pollFrom({"20260101", "100000"}).time, "100000");

    // A record stamped an hour ahead of the clock: the window stays at the
    // present, so the live records that follow are read and printed once.
    const Instant now{"20260101", "100010"};
    cursor.beginPoll(now);
    EXPECT_TRUE(cursor.admit(rec("110000", "ahead")));
    cursor.endPoll();
    EXPECT_EQ(cursor.pollFrom({}, now).time, "100000");
    cursor.beginPoll(now);
    EXPECT_TRUE(cursor.admit(rec("100005", "live")));
    EXPECT_FALSE(cursor.admit(rec("110000", "ahead")));
    cursor.endPoll();
}

// `list` reads bytes in bound blocks and writes them straight: every line,
// in every format and layout and in every order, is the one the text way
// (each value a QString, each line RecordLine) writes for the same table of
// hostile values.
class CliListBytes : public tqtest::DbTest {};

TEST_P(CliListBytes, WritesTheLinesOfTheTextWay)
{
    // Zone rules with a gap and an overlap, for the JSON stamps' offsets.
    const QByteArray zone = qgetenv("TZ");
    qputenv("TZ", "Europe/Berlin");
    tzset();
    const QString app = QString::fromStdString(newAppId());
    const QString table = tallyquill::TableName(app);
    raw().execute(tallyquill::CreateTableSql(table));
    auto insert = raw().prepare(tallyquill::InsertSql(table));
    const QString longText = QString(250, QChar(u'中'));
    std::vector<tallyquill::LogRecord> rows = {
        {"20260101", "000000", "APP", "WS", "ann", "INFO", "plain"},
        {"20260115", "101010", "A,B", "W\"S", "=cmd", "-1", "a \"quoted\", comma, line"},
        {"20260201", "235959", "APP", "WS", "@at", "+x", QStringLiteral("cr\rlf\nta\tb\x01\x1b[31m\x7f")},
        {"20260329", "013000", "APP", "WS", QStringLiteral("Jörg"), QStringLiteral("é"), QStringLiteral("中文 \u202Eevil\u2028 \u0085 \U0001F600")},
        {"20260329", "023000", "APP", "WS", "gap", "E", QStringLiteral("\uFEFFbom first")},
        {"20260329", "023001", "APP", "WS", "gap", "E", QStringLiteral("\uFFFEnot swapped")},
        {"20260329", "033000", "APP", "WS", "after", "E", longText},
        {"20261025", "023000", "APP", "WS", "twice", "E", QStringLiteral("back\\slash \"\u00e9\"")},
        {"20261101", "080000", QStringLiteral("ÄPP"), "WS", QStringLiteral("Zoë"), QStringLiteral("ünß"),
         QStringLiteral("naïve – café’s … \u0600\u061C ܐ \u2066x\u2069 \u00A0nbsp, \"q\" =f")},
        {"20261301", "246000", "BAD", "DATE", "x", "E", "no such moment"},
        {"20261231", "235959", "APP      ", "WS  ", "pad  ", "E  ", "  spaces kept  "},
    };
    // SQLite keeps a value longer than its column: it is read another way.
    if (!isPostgres())
        rows.push_back({"20261231", "235959", "APP", "WS", "long", "E", QString(400, QLatin1Char('x')) + QStringLiteral("é")});
    for (const tallyquill::LogRecord& r : rows) {
        const auto values = tallyquill::TableOrderValues(r);
        insert->setParameters(std::vector<QString>(values.begin(), values.end()));
        insert->execute();
    }
    tallyquill::CommandService service(QString::fromStdString(dsn), {}, {});
    tallyquill::LineLayout hidden;
    hidden.hideAppID = hidden.hideUser = true;
    for (const auto& [last, newestFirst] : {std::pair{0, false}, {0, true}, {3, false}, {3, true}}) {
        tallyquill::LogQuery query;
        query.appId = app;
        query.last = last;
        query.newestFirst = newestFirst;
        std::vector<tallyquill::LogRecord> read;
        ASSERT_TRUE(service.select(query, [&](const tallyquill::LogRecord& r) { read.push_back(r); }));
        ASSERT_EQ(read.size(), last ? size_t(last) : rows.size());
        for (const Format format : {Format::Text, Format::Csv, Format::Json})
            for (const tallyquill::LineLayout& layout : {tallyquill::LineLayout{}, hidden}) {
                std::string expected, actual;
                for (const tallyquill::LogRecord& r : read)
                    expected += RecordLine(format, r, layout).toUtf8().toStdString() + "\n";
                ASSERT_TRUE(service.selectBytes(query, [&](const tallyquill::RecordBytes& r) {
                    AppendRecordLine(actual, format, r, layout);
                    actual += "\n";
                }));
                EXPECT_EQ(actual, expected) << "format " << int(format) << ", last " << last << ", newest first "
                                            << newestFirst << ", hidden " << layout.hideAppID;
            }
    }
    if (zone.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", zone);
    tzset();
}

TQ_INSTANTIATE_DB_TESTS(CliListBytes);

} // namespace
