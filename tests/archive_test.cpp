// Archiving to files and deleting, on each back end.

#include "ViewerFixture.h"

#include "writer/LogFile.h"
#include "writer/LogLine.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <map>
#include <set>

using tqtest::ViewerDb;
using namespace tallyquill;

namespace {

class ArchiveDb : public ViewerDb {
protected:
    void SetUp() override
    {
        ViewerDb::SetUp();
        if (IsSkipped())
            return;
        insert("20010101", "235959", "WS01", "JOHN", "LOGIN", "day one late");
        insert("20010101", "000001", "WS01", "JOHN", "LOGIN", "day one early");
        insert("20010102", "120000", "WS02", "MARY", "PRINT", QStringLiteral("打印 發票"));
        insert("20010105", "080000", "WS03", "ANN", "LOGOUT", "cut-off day");
        insert("20010106", "080000", "WS03", "ANN", "LOGIN", "after the cut-off");
    }
    enum Action { ToFile = 1, Delete = 2, Daily = 4 };
    // Archives with the test's table unless `appParam` names another (empty:
    // the viewer's own); answers whether the run succeeded.
    bool archive(const QString& date, int actions, const QString& file = {},
                 const QString& prefix = QStringLiteral("log_"), const QString& appParam = {})
    {
        outcome = service().archive({.AppID = appParam.isNull() ? app : appParam,
                                     .ArchiveDate = date,
                                     .ToFile = (actions & ToFile) != 0,
                                     .DelRecord = (actions & Delete) != 0,
                                     .MultiFile = (actions & Daily) != 0,
                                     .FilePrefix = prefix,
                                     .Filename = file},
                                    layout);
        return outcome.ok;
    }
    ArchiveOutcome outcome;
    LineLayout layout;
    static QStringList lines(const QString& path)
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return {QStringLiteral("<missing>")};
        QStringList l = QString::fromUtf8(f.readAll()).split(QStringLiteral("\r\n"));
        l.removeLast();  // after the last CRLF
        return l;
    }
    QString count() { return scalar(QStringLiteral("SELECT COUNT(*) FROM ") + table); }
};

TEST_P(ArchiveDb, SingleFileHoldsStoredFormsInOrderAndIsEmptiedFirst)
{
    const QString path = dir.path() + QStringLiteral("/archive.log");
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("old content that must go\r\n");
    old.close();
    ASSERT_TRUE(archive("20010105", ToFile, path));
    const QStringList l = lines(path);
    ASSERT_EQ(l.size(), 4);
    EXPECT_EQ(l[0], "20010101   000001   " + app.leftJustified(10) + " WS01             JOHN                 "
                    "LOGIN    day one early");
    EXPECT_TRUE(l[1].endsWith(" day one late"));
    EXPECT_TRUE(l[2].endsWith(QStringLiteral(" 打印 發票")));
    EXPECT_TRUE(l[3].endsWith(" cut-off day"));
    EXPECT_EQ(count(), "5");  // nothing deleted

    // A date before every record still creates (empties) the file.
    ASSERT_TRUE(archive("20000101", ToFile, path));
    EXPECT_TRUE(lines(path).isEmpty());
    EXPECT_TRUE(QFile::exists(path));
}

TEST_P(ArchiveDb, DailyFilesReplaceLeftoversAndDeleteOnlyUpToTheDate)
{
    const QString daily = dir.path() + QStringLiteral("/daily");
    QDir().mkpath(daily);
    QFile leftover(daily + QStringLiteral("/log_20010102.log"));
    ASSERT_TRUE(leftover.open(QIODevice::WriteOnly));
    leftover.write("from an earlier run\r\n");
    leftover.close();
    layout.hideAppID = true;  // hidden columns stay out of archive lines too

    ASSERT_TRUE(archive("20010105", ToFile | Delete | Daily, daily));
    EXPECT_EQ(QDir(daily).entryList(QDir::Files),
              QStringList({"log_20010101.log", "log_20010102.log", "log_20010105.log"}));
    EXPECT_EQ(lines(daily + "/log_20010101.log").size(), 2);
    EXPECT_TRUE(lines(daily + "/log_20010101.log")[0].endsWith(" day one early"));
    EXPECT_EQ(lines(daily + "/log_20010102.log"),
              QStringList({QStringLiteral("20010102   120000   WS02             MARY                 PRINT    打印 發票")}));
    EXPECT_EQ(count(), "1");
    EXPECT_EQ(scalar(QStringLiteral("SELECT log_Data FROM ") + table), "after the cut-off");

    // Nothing left up to the date: no daily file is made.
    const QString empty = dir.path() + QStringLiteral("/empty");
    QDir().mkpath(empty);
    ASSERT_TRUE(archive("20010105", ToFile | Daily, empty));
    EXPECT_TRUE(QDir(empty).entryList(QDir::Files).isEmpty());
}

TEST_P(ArchiveDb, FailuresDeleteNothing)
{
    const QString missing = dir.path() + QStringLiteral("/no/such/dir");
    EXPECT_FALSE(archive("20010105", ToFile | Delete, missing + "/a.log"));
    EXPECT_TRUE(outcome.reason.contains("No such file or directory")) << outcome.reason.toStdString();
    EXPECT_FALSE(outcome.fromDatabase);
    EXPECT_FALSE(archive("20010105", ToFile | Delete | Daily, missing));
    EXPECT_FALSE(outcome.reason.isEmpty());
    EXPECT_EQ(count(), "5");
    // An AppID that is no table name sends nothing.
    EXPECT_FALSE(archive("20010105", Delete, {}, {}, QStringLiteral("X' OR '1'='1")));
    // A hostile date carried as a literal matches nothing.
    EXPECT_TRUE(archive("' OR '1'='1", Delete));
    EXPECT_EQ(count(), "5");
    // No DSN: told, and nothing touched.
    LogService none;
    EXPECT_FALSE(none.archive({.AppID = app, .ArchiveDate = "20010105", .DelRecord = true}, {}).ok);
    EXPECT_EQ(messages.texts(), QStringList({"No DSN provided"}));
}

TEST_P(ArchiveDb, ItsConnectionGoesWhereTheViewersFirstConnectionWent)
{
    ASSERT_TRUE(retrieve().ok);  // the viewer is connected
    struct Change {
        const char* property;
        QString DataSource::*field;
        QString value;
    };
    const Change changes[] = {
        {"DSN", &DataSource::dsn, "tq_no_such_source"},
        {"LoginID", &DataSource::login, "no_such_user"},
        {"Password", &DataSource::password, "not the password"},
    };
    for (const Change& c : changes) {
        service().source.*c.field = c.value;  // changes accumulate
        const QString path = dir.path() + QStringLiteral("/") + QString::fromLatin1(c.property) + ".log";
        EXPECT_TRUE(archive("20010101", ToFile, path)) << c.property << ": " << outcome.reason.toStdString();
        EXPECT_EQ(lines(path).size(), 2) << c.property;
    }
}

TEST_P(ArchiveDb, DeleteAloneAndTheTableOfTheProperty)
{
    ASSERT_TRUE(archive("20010101", Delete, {}, {}, QStringLiteral("")));
    EXPECT_EQ(count(), "3");
}

TEST_P(ArchiveDb, NullColumnsArchiveAsEmptyText)
{
    raw().execute(QStringLiteral("INSERT INTO ") + table
                  + QStringLiteral(" (log_AppID, log_WsID, log_Date, log_Time) VALUES ('A', 'W', '19991231', '010101')"));
    const QString path = dir.path() + QStringLiteral("/nulls.log");
    ASSERT_TRUE(archive("19991231", ToFile | Delete, path)) << outcome.reason.toStdString();
    EXPECT_EQ(lines(path), QStringList({BuildLogLine({"19991231", "010101", "A", "W", {}, {}, {}})}));
}

TEST_P(ArchiveDb, ControlCharactersNeverForgeOrBreakALine)
{
    const QStringList hostile = {
        QStringLiteral("ok\r\n01/01/2000 00:00:00 ADMIN forged"), QStringLiteral("lone\rcr"), QStringLiteral("lone\nlf"),
        QStringLiteral("v\vt\ff"), QStringLiteral("nel\u0085ls\u2028ps\u2029"), QStringLiteral("\x1b[2J\x1b]0;t\x07\u009b1m"),
        QStringLiteral("del\x7f tab\t"),
    };
    // Ten plain records first, so that the hostile ones reach the print feed.
    for (int k = 0; k < 10 + hostile.size(); ++k)
        insert("20001231", QStringLiteral("0000%1").arg(k, 2, 10, QLatin1Char('0')), "WS01", "JOHN", "LOGIN",
               k < 10 ? QStringLiteral("plain") : hostile[k - 10]);
    const QRegularExpression breaks(QStringLiteral("[\\x00-\\x1f\\x7f-\\x9f\\x{2028}\\x{2029}]"));
    // Every record is one CRLF line of the file, the last ones the hostile.
    auto expectOneLineEach = [&](const QString& path, int records) {
        const QStringList l = lines(path);
        ASSERT_EQ(l.size(), records) << path.toStdString();
        for (int i = 0; i < hostile.size(); ++i) {
            const QString& line = l[records - hostile.size() + i];
            EXPECT_FALSE(line.contains(breaks)) << line.toStdString();
            EXPECT_TRUE(line.endsWith(QLatin1Char(' ') + VisibleText(hostile[i]))) << line.toStdString();
        }
    };

    auto r = retrieve({.StartDate = "20001231", .EndDate = "20001231"});
    ASSERT_EQ(r.total, 10 + hostile.size());
    const QString print = dir.path() + QStringLiteral("/print.txt");
    {
        LogFile file(print);
        service().printRest(file, r.total, 10, layout);
        file.close();
    }
    expectOneLineEach(print, hostile.size());
    const QString archived = dir.path() + QStringLiteral("/archive.log");
    ASSERT_TRUE(archive("20001231", ToFile, archived)) << outcome.reason.toStdString();
    expectOneLineEach(archived, 10 + hostile.size());

    // The table keeps every text exactly as it was written.
    QStringList stored;
    for (const auto& row : rows(QStringLiteral("SELECT log_Data FROM ") + table
                                + QStringLiteral(" WHERE log_Date = '20001231' AND log_Time >= '000010' ORDER BY log_Time")))
        stored << row[0];
    EXPECT_EQ(stored, hostile);
}

TEST_P(ArchiveDb, ConcurrentWritersLoseNothing)
{
    // Four writers keep adding rows dated today while an archive of today
    // with deletion runs: each row must end up archived once or still in the
    // table, and none may be deleted unarchived.
    raw().execute(QStringLiteral("DELETE FROM ") + table);
    const QString bin = QCoreApplication::applicationDirPath();
    constexpr int kWriters = 4, kRows = 1500;
    std::vector<std::unique_ptr<QProcess>> writers;
    for (int i = 0; i < kWriters; ++i) {
        auto p = std::make_unique<QProcess>();
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(bin + "/write_worker", {QString::fromStdString(dsn), app, QStringLiteral("W%1").arg(i),
                                         QString::number(kRows)});
        writers.push_back(std::move(p));
    }
    // Let them get going, then archive in the middle of their work.
    for (int tries = 0; tries < 200 && count().toInt() < 200; ++tries)
        QThread::msleep(10);
    const QString daily = dir.path() + QStringLiteral("/today");
    QDir().mkpath(daily);
    QProcess archiver;
    archiver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    archiver.start(bin + "/../tool/tallyquill",
                   {"archive", "--dsn", QString::fromStdString(dsn), "--app", app, "--until",
                    QDate::currentDate().addDays(1).toString(Qt::ISODate), "--daily", daily, "--prefix", "c_",
                    "--delete"});
    ASSERT_TRUE(archiver.waitForFinished(120000));
    for (auto& p : writers) {
        ASSERT_TRUE(p->waitForFinished(240000));
        EXPECT_EQ(p->exitCode(), 0);
    }
    EXPECT_EQ(archiver.exitCode(), 0);

    std::map<QString, int> seen;  // "W<i> row <n>" -> times seen
    for (const QString& file : QDir(daily).entryList(QDir::Files))
        for (const QString& line : lines(daily + "/" + file))
            ++seen[line.mid(31, 16).trimmed() + " " + line.mid(78)];
    const size_t archived = seen.size();
    for (const auto& row : rows(QStringLiteral("SELECT log_WsID, log_Data FROM ") + table))
        ++seen[row[0].trimmed() + " " + row[1]];
    EXPECT_GT(archived, 0u);
    EXPECT_EQ(seen.size(), size_t(kWriters * kRows));
    for (const auto& [key, times] : seen)
        ASSERT_EQ(times, 1) << key.toStdString();
}

TQ_INSTANTIATE_DB_TESTS(ArchiveDb);

} // namespace
