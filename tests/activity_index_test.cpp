// The activity index: the filter finds the same rows with it as without it,
// every writer keeps it, and an index that fell out of step is not trusted.

#include "ViewerFixture.h"

#include "service/ActivityIndex.h"
#include "service/Command.h"

#include <QCoreApplication>
#include <QProcess>

#include <map>
#include <optional>

using namespace tallyquill;

namespace {

// Activities that wildcards, the escape, quotes, FTS5's operators and case
// rules could confuse; the last row's activity is NULL.
const QStringList kActivities = {
    "Order 17 booked", "order 18 BOOKED", "100% done", "1000 done", "a_b c", "axb c", "path C:\\temp\\x",
    "it's \"quoted\" text", "NEAR(alpha beta)", "alpha AND beta", "star* power", "^caret start", "Épée grande",
    "épée petite", "ÉPÉE CAPS", "Straße", "STRASSE", "日本語のテキスト", "emoji 😀😀😀 end", "",
    "log_Data:alpha {x} col"};

class ActivityIndexDb : public tqtest::ViewerDb {
protected:
    void SetUp() override
    {
        ViewerDb::SetUp();
        if (IsSkipped())
            return;
        for (qsizetype i = 0; i < kActivities.size(); ++i)
            insert(QStringLiteral("19980601"), QStringLiteral("10%1").arg(i, 4, 10, QLatin1Char('0')),
                   QStringLiteral("WS01"), QStringLiteral("JOHN"), QStringLiteral("LOGIN"), kActivities[i]);
        raw().execute(QStringLiteral("INSERT INTO %1 (log_AppID, log_WsID, log_Date, log_Time, log_User, "
                                     "log_EventType, log_Data) VALUES ('%2', 'WS01', '19980601', '110000', 'JOHN', "
                                     "'LOGIN', NULL)")
                          .arg(table, app));
    }
    CommandService& command()
    {
        if (!command_)
            command_ = std::make_unique<CommandService>(QString::fromStdString(dsn), QString(), QString());
        return *command_;
    }
    // The activities the command's `list` and the viewer find, in order; the
    // two must agree.
    QStringList found(const QString& activity)
    {
        QStringList listed;
        LogQuery query;
        query.appId = app;
        query.activity = activity;
        EXPECT_TRUE(command().select(query, [&](const LogRecord& r) { listed << r.Activity; }));
        QStringList viewed;
        const Retrieval r = retrieve({.Activity = activity});
        EXPECT_TRUE(r.ok) << r.reason.toStdString();
        for (Page page = r.page; page.ok && !page.records.empty(); page = more())
            viewed << tqtest::Activities(page);
        EXPECT_EQ(r.total, viewed.size());
        EXPECT_EQ(viewed, listed) << activity.toStdString();
        return listed;
    }
    ActivityIndexState state() { return FindActivityIndex(raw(), table); }

private:
    std::unique_ptr<CommandService> command_;
};

QStringList Rows(std::initializer_list<int> rows)
{
    QStringList out;
    for (int i : rows)
        out << kActivities[i];
    return out;
}

} // namespace

TEST_P(ActivityIndexDb, SameRowsWithTheIndexForHostilePatterns)
{
    // ASCII letters match in either case, every other character only as
    // itself; where the rows are given they are checked without the index.
    const struct {
        const char* pattern;
        std::optional<QStringList> rows;
    } cases[] = {
        {"order", Rows({0, 1})},
        {"ORDER 1_ BOOKED", Rows({0, 1})},
        {"ord%book", Rows({0, 1})},
        {"100%", Rows({2, 3})},
        {"a_b", {}},
        {"C:\\temp\\x", Rows({6})},
        {"\\", Rows({6})},
        {"it's", Rows({7})},
        {"'", Rows({7})},
        {"\"quoted\"", Rows({7})},
        {"\"", Rows({7})},
        {"NEAR(", Rows({8})},
        {"NEAR(alpha", Rows({8})},
        {"AND", Rows({9, 12})},
        {"alpha AND beta", Rows({9})},
        {"star*", Rows({10})},
        {"*", Rows({10})},
        {"^caret", Rows({11})},
        {"^", Rows({11})},
        {"Épée", Rows({12})},
        {"épée", Rows({13})},
        {"ÉPÉE", Rows({14})},
        {"pée", Rows({12, 13})},
        {"Straße", Rows({15})},
        {"strasse", Rows({16})},
        {"日本語", Rows({17})},
        {"本語の", Rows({17})},
        {"ji ", Rows({18})},
        {"😀", Rows({18})},
        {"ji 😀😀", Rows({18})},
        {"😀_😀", Rows({18})},
        {"log_Data:alpha", Rows({20})},
        {"{x}", Rows({20})},
        {"e p", Rows({13})},
        {"%", {}},
        {"_", {}},
        {"%%%", {}},
        {"ab", QStringList()},
        {"''", QStringList()},
        {"xyz OR order", QStringList()},
    };
    std::map<QString, QStringList> without;
    for (const auto& c : cases) {
        const QString p = QString::fromUtf8(c.pattern);
        without[p] = found(p);
        if (c.rows) {
            EXPECT_EQ(without[p], *c.rows) << c.pattern;
        }
    }
    EXPECT_EQ(without[QStringLiteral("%")].size(), kActivities.size());

    ASSERT_TRUE(command().indexActivity(app, false).changed);
    ASSERT_EQ(state(), ActivityIndexState::Present);
    // The filter names the index on both.
    EXPECT_FALSE(ActivityPrefilter(raw(), table, QStringLiteral("booked")).all.isEmpty());
    for (const auto& c : cases)
        EXPECT_EQ(found(QString::fromUtf8(c.pattern)), without[QString::fromUtf8(c.pattern)]) << c.pattern;
}

TEST_P(ActivityIndexDb, TheRarestTrigramsFindTheSameRows)
{
    // Thousands of rows share the common part of each pattern and one row
    // its rare part, so that the index is asked for the rare trigrams alone:
    // across a pair of surrogates, beside a quote, either side of a wildcard.
    // One pattern in twelve rows finds too many for a sort to be cheap, and
    // the first page tests the rows in date order instead.
    const QString filler = isPostgres()
        ? QStringLiteral("INSERT INTO %1 (log_AppID, log_WsID, log_Date, log_Time, log_User, log_EventType, log_Data) "
                         "SELECT '%2', 'WS01', '19980602', lpad(i::text, 6, '0'), 'JOHN', 'LOGIN', "
                         "'common abc say it' || CASE WHEN i % 12 = 0 THEN ' marked 7q' ELSE '' END "
                         "FROM generate_series(1, 30000) AS n(i)")
        : QStringLiteral("INSERT INTO %1 (log_AppID, log_WsID, log_Date, log_Time, log_User, log_EventType, log_Data) "
                         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 30000) "
                         "SELECT '%2', 'WS01', '19980602', printf('%06d', i), 'JOHN', 'LOGIN', "
                         "'common abc say it' || CASE WHEN i % 12 = 0 THEN ' marked 7q' ELSE '' END FROM n");
    raw().execute(filler.arg(table, app));
    const QStringList rare = {"common abc 😀😀 end", "say \"hi\" now", "say it's here", "xq7 and zz9"};
    for (qsizetype i = 0; i < rare.size(); ++i)
        insert(QStringLiteral("19980603"), QStringLiteral("12%1").arg(i, 4, 10, QLatin1Char('0')),
               QStringLiteral("WS01"), QStringLiteral("JOHN"), QStringLiteral("LOGIN"), rare[i]);
    const struct {
        const char* pattern;
        qsizetype rows;
    } cases[] = {
        {"abc 😀😀", 1}, {"say \"hi\"", 1}, {"say it's", 1}, {"xq7%zz9", 1}, {"xq7_and", 1}, {"marked 7q", 2500},
    };
    std::map<QString, QStringList> without;
    for (const auto& c : cases) {
        const QString p = QString::fromUtf8(c.pattern);
        without[p] = found(p);
        EXPECT_EQ(without[p].size(), c.rows) << c.pattern;
    }
    ASSERT_TRUE(command().indexActivity(app, false).changed);
    for (const auto& c : cases)
        EXPECT_EQ(found(QString::fromUtf8(c.pattern)), without[QString::fromUtf8(c.pattern)]) << c.pattern;
    const ActivityPrefilters many = ActivityPrefilter(raw(), table, QStringLiteral("marked 7q"));
    EXPECT_FALSE(many.all.isEmpty());
    EXPECT_NE(many.firstInOrder, many.all);
}

TEST_P(ActivityIndexDb, EveryWriterKeepsTheIndexAndTheCommandsAreIdempotent)
{
    // The first build makes it; a second finds it (SQLite fills it anew).
    EXPECT_TRUE(command().indexActivity(app, false).changed);
    const auto again = command().indexActivity(app, false);
    EXPECT_EQ(again.changed, !isPostgres());
    EXPECT_EQ(again.before, ActivityIndexState::Present);
    EXPECT_EQ(command().check(app).activityIndex, ActivityIndexState::Present);
    bool listed = false;
    for (const auto& a : command().apps())
        if (a.appId == app.toUpper())
            listed = a.activityIndex == ActivityIndexState::Present;
    EXPECT_TRUE(listed);

    // The writer, the import and the archive's deletion after the build.
    MsgLogger logger;
    logger.setDSN(dsn);
    logger.setAppID(app.toStdString());
    logger.setWorkstationID("ws01");
    ASSERT_EQ(logger.WriteLog("JOHN", "LOGIN", "fresh Zebra row"), 0);
    bool given = false;
    EXPECT_EQ(command().import(app, [&](LogRecord& r) {
        r = {"19980602", "120000", app, "WS01", "JOHN", "LOGIN", "imported Yak row"};
        return !std::exchange(given, true);
    }), 1);
    LogQuery query;
    query.appId = app;
    auto activities = [&](const QString& activity) {
        QStringList out;
        query.activity = activity;
        command().select(query, [&](const LogRecord& r) { out << r.Activity; });
        return out;
    };
    EXPECT_EQ(activities("zebra"), QStringList{"fresh Zebra row"});
    EXPECT_EQ(activities("yak row"), QStringList{"imported Yak row"});
    ArchiveRequest request{.AppID = app, .ArchiveDate = "19980601", .DelRecord = true};
    ASSERT_TRUE(command().archive(request, {}).ok);
    EXPECT_EQ(activities("order"), QStringList());
    EXPECT_EQ(activities("row"), (QStringList{"imported Yak row", "fresh Zebra row"}));
    EXPECT_EQ(state(), ActivityIndexState::Present);

    EXPECT_TRUE(command().indexActivity(app, true).changed);
    EXPECT_FALSE(command().indexActivity(app, true).changed);
    EXPECT_EQ(command().check(app).activityIndex, ActivityIndexState::Absent);
    EXPECT_EQ(activities("zebra"), QStringList{"fresh Zebra row"});
}

// Each way an index can fall out of step with its table: the filter stops
// trusting it, and building it again mends it.
TEST_P(ActivityIndexDb, AnIndexOutOfStepIsNotTrusted)
{
    const QString tool = QCoreApplication::applicationDirPath() + QStringLiteral("/../tool/tallyquill");
    const QStringList build = {"index", "--activity", "--dsn", QString::fromStdString(dsn), "--app", app};
    const struct {
        const char* how;
        bool postgres;
        std::function<void()> spoil;
        ActivityIndexState after;
    } cases[] = {
        {"a concurrent build that failed", true,
         [&] {
             ASSERT_TRUE(command().indexActivity(app, false).changed);
             raw().execute(QStringLiteral("UPDATE pg_index SET indisvalid = false WHERE indexrelid = "
                                          "to_regclass('%1_activity')")
                               .arg(table));
         },
         ActivityIndexState::OutOfStep},
        {"an index on the earlier fold", true,
         [&] {
             raw().execute(QStringLiteral("CREATE EXTENSION IF NOT EXISTS pg_trgm"));
             raw().execute(QStringLiteral("CREATE INDEX %1_activity ON %1 USING gin (translate(log_Data, "
                                          "'ABCDEFGHIJKLMNOPQRSTUVWXYZ', 'abcdefghijklmnopqrstuvwxyz') "
                                          "gin_trgm_ops)")
                               .arg(table));
         },
         ActivityIndexState::OutOfStep},
        {"killed while filling", false,
         [&] {
             QProcess p;
             QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
             env.insert(QStringLiteral("TQ_FAULT_POINT"), QStringLiteral("activity-index-filled"));
             p.setProcessEnvironment(env);
             p.start(tool, build);
             ASSERT_TRUE(p.waitForFinished(60000));
             EXPECT_EQ(p.exitStatus(), QProcess::CrashExit);
         },
         ActivityIndexState::Absent},
        {"rows renumbered by VACUUM", false,
         [&] {
             ASSERT_TRUE(command().indexActivity(app, false).changed);
             // Only a table without an index of its own gets new row numbers.
             raw().execute(QStringLiteral("DROP INDEX %1_date_time").arg(table));
             raw().execute(QStringLiteral("DELETE FROM %1 WHERE log_Data LIKE '100%'").arg(table));
             raw().execute(QStringLiteral("VACUUM"));
         },
         ActivityIndexState::OutOfStep},
        {"log table dropped and made again", false,
         [&] {
             ASSERT_TRUE(command().indexActivity(app, false).changed);
             raw().execute(QStringLiteral("ALTER TABLE %1 RENAME TO %1_old").arg(table));
             raw().execute(QStringLiteral("CREATE TABLE %1 AS SELECT * FROM %1_old ORDER BY log_Time DESC").arg(table));
             raw().execute(QStringLiteral("DROP TABLE %1_old").arg(table));
         },
         ActivityIndexState::OutOfStep},
    };
    for (const auto& c : cases) {
        if (c.postgres != isPostgres())
            continue;
        SCOPED_TRACE(c.how);
        command().indexActivity(app, true);
        c.spoil();
        EXPECT_EQ(state(), c.after);
        // A trusted stale index would name rows by their old numbers.
        for (int pass = 0; pass < 2; ++pass) {
            EXPECT_EQ(found(QStringLiteral("order")), Rows({0, 1})) << pass;
            EXPECT_EQ(found(QStringLiteral("épée")), Rows({13})) << pass;
            ASSERT_EQ(command().indexActivity(app, false).changed, pass == 0 || !isPostgres());
            EXPECT_EQ(state(), ActivityIndexState::Present);
        }
    }
}

TQ_INSTANTIATE_DB_TESTS(ActivityIndexDb);
