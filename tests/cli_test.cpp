// The tallyquill command as an administrator or a script uses it.

#include "TestSupport.h"

#include "core/LogLine.h"
#include "core/LogTable.h"

#include "odbc/Odbc.h"
#include "service/Command.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>

#include <csignal>
#include <map>

#include <sys/stat.h>
#include <unistd.h>

namespace {

struct CliRun {
    int code;
    QString out;
    QString err;
};

CliRun run(const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/../tool/tallyquill"), args);
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

QString tool() { return QCoreApplication::applicationDirPath() + QStringLiteral("/../tool/tallyquill"); }

// Reads `data` back with Python's own csv or json module: one row of texts
// per record (json: date, time, app, ws, user, event, activity).
std::vector<QStringList> parsedByPython(const char* format, const QByteArray& data)
{
    static const char* script = R"(
import csv, datetime, io, json, sys
text = sys.stdin.buffer.read().decode('utf-8')
if sys.argv[1] == 'csv':
    rows = list(csv.reader(io.StringIO(text, newline='')))
else:
    rows = []
    for line in text.split('\n'):
        if line:
            o = json.loads(line)
            at = datetime.datetime.fromisoformat(o['timestamp'])
            local = datetime.datetime.fromisoformat(o['date'] + 'T' + o['time'])
            assert at.replace(tzinfo=None) == local and at.utcoffset() == local.astimezone().utcoffset(), o
            rows.append([o[k] for k in ('date', 'time', 'app', 'ws', 'user', 'event', 'activity')])
for r in rows:
    print(json.dumps(r))
)";
    QProcess py;
    py.start(QStringLiteral("python3"), {QStringLiteral("-c"), QString::fromLatin1(script), QLatin1String(format)});
    py.write(data);
    py.closeWriteChannel();
    py.waitForFinished(30000);
    EXPECT_EQ(py.exitCode(), 0) << py.readAllStandardError().toStdString();
    std::vector<QStringList> rows;
    for (const QByteArray& line : py.readAllStandardOutput().split('\n')) {
        if (line.isEmpty())
            continue;
        QStringList r;
        for (const auto& v : QJsonDocument::fromJson(line).array())
            r << v.toString();
        rows.push_back(r);
    }
    return rows;
}

QString trimEnd(QString s)
{
    while (s.endsWith(QLatin1Char(' ')))
        s.chop(1);
    return s;
}

class Cli : public tqtest::DbTest {
protected:
    // Inserts rows (date, time, ws, user, event, activity) into a new table of
    // a fresh application, in one transaction.
    QString table(const std::vector<QStringList>& rows)
    {
        const QString app = QString::fromStdString(newAppId());
        raw().execute(tallyquill::CreateTableSql(app + "_logs"));
        raw().execute(tallyquill::CreateIndexSql(app + "_logs"));
        tallyquill::odbc::SnapshotTransaction tx(raw());
        // A row at a time would take seconds on a server.
        for (size_t first = 0; first < rows.size(); first += 100) {
            const size_t n = std::min<size_t>(100, rows.size() - first);
            QStringList marks(n, QStringLiteral("(?, ?, ?, ?, ?, ?, ?)"));
            auto ins = raw().prepare(QStringLiteral("INSERT INTO %1_logs VALUES %2").arg(app, marks.join(", ")));
            std::vector<QString> values;
            for (size_t i = first; i < first + n; ++i) {
                const QStringList& r = rows[i];
                values.insert(values.end(), {app, r[2], r[0], r[1], r[3], r[4], r[5]});
            }
            ins->setParameters(values);
            ins->execute();
        }
        tx.commit();
        return app;
    }
    // A fresh application's table with twelve rows on each of 1 to 3 January
    // 2026, two workstations taking turns.
    QString threeDays()
    {
        const QString app = QString::fromStdString(newAppId());
        raw().execute(tallyquill::CreateTableSql(app + "_logs"));
        for (int day = 1; day <= 3; ++day)
            for (int k = 0; k < 12; ++k)
                raw().execute(QStringLiteral("INSERT INTO %1_logs VALUES ('%1', 'WS%2', '2026010%3', '10%4', 'U%2', "
                                             "'EV', '第%3天 row %4')")
                                  .arg(app)
                                  .arg(k % 2)
                                  .arg(day)
                                  .arg(k, 4, 10, QLatin1Char('0')));
        return app;
    }
    // Every row of the table, fixed-width columns without their padding, in
    // a stable order.
    std::vector<QStringList> contents(const QString& app)
    {
        std::vector<QStringList> out;
        for (const auto& r : rows(QStringLiteral("SELECT log_Date, log_Time, log_AppID, log_WsID, log_User, "
                                                 "log_EventType, log_Data FROM %1_logs")
                                      .arg(app))) {
            QStringList row;
            for (size_t c = 0; c < r.size(); ++c)
                row << (c < 6 ? trimEnd(r[c]) : r[c]);
            out.push_back(row);
        }
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_P(Cli, WriteAnswersWithItsExitStatus)
{
    const QString app = QString::fromStdString(newAppId());
    const QString d = QString::fromStdString(dsn);
    CliRun r = run({"write", "--dsn", d, "--app", app, "--ws", "ws1", "--user", "ann", "--event", "login",
                 QStringLiteral("登录 'ok'")});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    auto rows = this->rows(QStringLiteral("SELECT log_WsID, log_User, log_Data FROM ") + app
                           + QStringLiteral("_logs"));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0].trimmed(), "WS1");
    EXPECT_EQ(rows[0][1].trimmed(), "ANN");
    EXPECT_EQ(rows[0][2], QStringLiteral("登录 'ok'"));

    // Nothing written: an unknown data source, or an AppID that is no table name.
    r = run({"write", "--dsn", "tq_no_such_dsn", "--app", app, "--ws", "w", "x"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains("nothing was written")) << r.err.toStdString();
    r = run({"write", "--dsn", d, "--app", "A;B", "--ws", "w", "x"});
    EXPECT_EQ(r.code, 64);
    EXPECT_TRUE(r.err.contains("A;B")) << r.err.toStdString();

    // Defaults from the environment; after -- a text may look like an option.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TALLYQUILL_DSN", d);
    env.insert("TALLYQUILL_APP", app);
    r = run({"write", "--ws", "ws2", "--", "--help"}, env);
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(scalar("SELECT log_Data FROM " + app + "_logs WHERE log_WsID = 'WS2'"), "--help");

    // Refused as every database refuses it: a value too long for its column.
    r = run({"write", "--dsn", d, "--app", app, "--ws", "w", "--user", "a_user_name_far_too_long", "x"});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.contains("22001")) << r.err.toStdString();
}

TEST_P(Cli, FailuresSayWhy)
{
    const QString d = QString::fromStdString(dsn), app = QString::fromStdString(newAppId());
    const QStringList list = {"list", "--app", app, "--from", "2000-01-01", "--to", "2100-12-31", "--dsn"};
    ASSERT_EQ(run({"write", "--dsn", d, "--app", app, "--ws", "w", "x"}).code, 0);
    const QStringList hint = {"IM002", "not found", "tallyquill setup", "odbcinst -q -s"};
    const QString tool = QCoreApplication::applicationDirPath() + QStringLiteral("/../tool/tallyquill");
    struct Case {
        QStringList args;  // run by the shell: only it can pass bytes that are not UTF-8
        const char* stdoutFile;
        int code;
        QStringList says;
    };
    const Case cases[] = {
        {{"write", "--app", app, "--ws", "w", "--dsn", "tq_no_such_dsn", "x"}, nullptr, 1, hint},
        {list + QStringList{"tq_no_such_dsn"}, nullptr, 69, hint},
        {{"write", "--app", app, "--ws", "w", "--dsn", d + ";Database=x", "x"}, nullptr, 1, {"data source name"}},
        {{"write", "--app", app, "--ws", "w", "--dsn", d, "$(printf 'caf\\351')"}, nullptr, 64, {"UTF-8"}},
        {list + QStringList{d, "--output", "/dev/full"}, nullptr, 74, {"No space left on device"}},
        {list + QStringList{d}, "/dev/full", 74, {"standard output: No space left on device"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QProcess p;
        p.setStandardOutputFile(c.stdoutFile ? c.stdoutFile : QProcess::nullDevice());
        QString line = "exec \"$0\"";
        for (const QString& a : c.args)
            line += a.startsWith("$(") ? " \"" + a + "\"" : " '" + a + "'";
        p.start("/bin/sh", {"-c", line, tool});
        ASSERT_TRUE(p.waitForFinished(60000));
        const QString err = QString::fromUtf8(p.readAllStandardError());
        EXPECT_EQ(p.exitCode(), c.code) << err.toStdString();
        for (const QString& s : c.says)
            EXPECT_TRUE(err.contains(s)) << err.toStdString();
    }
}

// All pages, oldest first, in the print-file layout; LF on stdout.
TEST_P(Cli, ListPrintsEveryRecordOldestFirstInThePrintLayout)
{
    const QString app = threeDays(), d = QString::fromStdString(dsn);
    CliRun r = run({"list", "--dsn", d, "--app", app, "--from", "2026-01-01", "--to", "03/01/2026",
                    "--date-order", "dmy"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_FALSE(r.out.contains('\r'));
    QStringList lines = r.out.split("\n");
    EXPECT_EQ(lines.takeLast(), "");
    ASSERT_EQ(lines.size(), 37);
    EXPECT_EQ(lines[0], "Date       Time     App ID     Ws ID            User                 Event Ty Activity");
    EXPECT_EQ(lines[1], QStringLiteral("01/01/2026 10:00:00 %1 WS0              U0                   EV       第1天 row 0000")
                            .arg(app.leftJustified(10)));
    EXPECT_TRUE(lines[36].endsWith(QStringLiteral("第3天 row 0011")));
}

TEST_P(Cli, ListFiltersHidesColumnsAndWritesAFile)
{
    const QString app = threeDays(), d = QString::fromStdString(dsn);
    const QString out = dir.path() + "/list.txt";
    CliRun r = run({"list", "--dsn", d, "--app", app, "--from", "2026-01-02", "--to", "2026-01-02", "--time-from",
                    "10:00:05", "--time-to", "10:00:08", "--ws", "ws1", "--activity", "row", "--hide",
                    "app,user,event", "--output", out});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    QFile f(out);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(f.readAll()),
              QStringLiteral("Date       Time     Ws ID            Activity\r\n"
                             "02/01/2026 10:00:05 WS1              第2天 row 0005\r\n"
                             "02/01/2026 10:00:07 WS1              第2天 row 0007\r\n"));
}

// A value longer than the column (only SQLite keeps one; PostgreSQL is given
// a wider column) is listed whole.
TEST_P(Cli, ListShowsAValueLongerThanItsColumnWhole)
{
    const QString app = threeDays(), d = QString::fromStdString(dsn);
    if (isPostgres())
        raw().execute("ALTER TABLE " + app + "_logs ALTER COLUMN log_Data TYPE varchar(4000)");
    const QString longText = QString(900, QChar(u'长')) + QString(900, QLatin1Char('x'));
    raw().execute(QStringLiteral("INSERT INTO %1_logs VALUES ('%1', 'WS9', '20260104', '100000', 'U9', 'EV', '%2')")
                      .arg(app, longText));
    CliRun r = run({"list", "--dsn", d, "--app", app, "--from", "2026-01-04", "--to", "2026-01-04", "--hide",
                    "app,ws,user,event"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out.split("\n").value(1), "04/01/2026 10:00:00 " + longText);
}

// The viewer's filter rules and messages.
TEST_P(Cli, ListRefusesWhatTheViewersFilterRefuses)
{
    const QString app = threeDays(), d = QString::fromStdString(dsn);
    CliRun r = run({"list", "--dsn", d, "--app", app, "--from", "2026-01-03", "--to", "2026-01-01"});
    EXPECT_EQ(r.code, 64);
    EXPECT_EQ(r.err, "Error: Invalid date range\n");
    r = run({"list", "--dsn", d, "--app", app, "--from", "2026-01-01", "--to", "2026-01-03", "--time-from",
             "10:00:00"});
    EXPECT_EQ(r.code, 64);
    EXPECT_TRUE(r.err.startsWith("Error: No end time\n") && r.err.contains("--time-to")) << r.err.toStdString();
}

// Archive the first two days to daily files, deleting them; a target that
// cannot be made or a source that cannot be reached deletes nothing.
TEST_P(Cli, ArchiveDeletesOnlyWhatItWrote)
{
    const QString app = threeDays(), d = QString::fromStdString(dsn);
    const QString daily = dir.path() + "/daily";
    QDir().mkpath(daily);
    CliRun r = run({"archive", "--dsn", d, "--app", app, "--until", "2026-01-02", "--daily", daily, "--prefix", "t_",
                    "--delete"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "archived 24 records to 2 file(s); deleted 24 records\n");
    EXPECT_EQ(QDir(daily).entryList(QDir::Files), QStringList({"t_20260101.log", "t_20260102.log", "t_manifest"}));
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM " + app + "_logs"), "12");
    // Into a directory that is not there: refused, nothing deleted.
    r = run({"archive", "--dsn", d, "--app", app, "--until", "2026-01-03", "--file", daily + "/none/x.log",
             "--delete"});
    EXPECT_EQ(r.code, 73);
    EXPECT_TRUE(r.err.startsWith("Error: Error in archive record")) << r.err.toStdString();
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM " + app + "_logs"), "12");
    EXPECT_EQ(run({"archive", "--dsn", "tq_no_such_dsn", "--app", app, "--until", "2026-01-03", "--delete"}).code,
              69);
    // Deleting what goes into no file needs --yes away from a terminal.
    r = run({"archive", "--dsn", d, "--app", app, "--until", "2026-01-04", "--delete"});
    EXPECT_EQ(r.code, 64);
    EXPECT_TRUE(r.err.contains("would delete 12 records of " + app + " dated up to 2026-01-04") && r.err.contains("--yes"))
        << r.err.toStdString();
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM " + app + "_logs"), "12");
    r = run({"archive", "--dsn", d, "--app", app, "--until", "2026-01-04", "--delete", "--yes"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "archived 0 records to 0 file(s); deleted 12 records\n");
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM " + app + "_logs"), "0");
    EXPECT_EQ(run({"archive", "--dsn", d, "--app", app, "--until", "2026-01-03"}).code, 64);
}

// Retention keeps the days it is told to, today included.
TEST_P(Cli, RetentionKeepsTheDaysItIsTold)
{
    const QString app = QString::fromStdString(newAppId()), d = QString::fromStdString(dsn);
    raw().execute(tallyquill::CreateTableSql(app + "_logs"));
    const QString daily = dir.path() + "/daily";
    QDir().mkpath(daily);
    const QDate today = QDate::currentDate();
    for (int age : {0, 89, 90, 400})
        raw().execute(QStringLiteral("INSERT INTO %1_logs VALUES ('%1', 'W', '%2', '120000', 'U', 'E', 'age %3')")
                          .arg(app, today.addDays(-age).toString("yyyyMMdd"))
                          .arg(age));
    CliRun r = run({"retention", "--dsn", d, "--app", app, "--keep", "90d", "--daily", daily, "--prefix", "k_"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "archived 2 records to 2 file(s); deleted 2 records\n");
    EXPECT_EQ(rows("SELECT log_Data FROM " + app + "_logs ORDER BY log_Date"),
              (std::vector<std::vector<QString>>{{"age 89"}, {"age 0"}}));
}

TEST_P(Cli, EachFormatReadsBackWithARealParser)
{
    // Texts that break naive writers: separators, quotes, line ends, escapes.
    const std::vector<QStringList> input = {
        {"20260101", "090000", "WS,1", "ANN", "LOGIN", QStringLiteral("plain")},
        {"20260101", "090001", "WS1", "B\"OB", "E", QStringLiteral("comma, \"quote\"\r\nnew line\tand tab")},
        {"20260102", "235959", "WS2", QStringLiteral("张伟"), QStringLiteral("登录"),
         QStringLiteral("中文 \u001b[31mred\u001b[0m \u2028 =1+1 ")},
        {"20260103", "000000", "WS3", "", "", ""},
        {"20260104", "000000", "WS4", "-U", "@E", QStringLiteral("=HYPERLINK(\"x\")\u202E")},
    };
    // What a spreadsheet would run or hide is shown inert in CSV.
    std::vector<QStringList> csvExpected;
    const QString app = table(input);
    std::vector<QStringList> expected;
    for (const QStringList& r : input)
        expected.push_back({r[0].left(4) + "-" + r[0].mid(4, 2) + "-" + r[0].mid(6), r[1].left(2) + ":" +
                                r[1].mid(2, 2) + ":" + r[1].mid(4), app, r[2], r[3], r[4], r[5]});
    csvExpected = expected;
    csvExpected[1][6] = QStringLiteral("comma, \"quote\"\u240D\u240Anew line\u2409and tab");
    csvExpected[2][6] = QStringLiteral("中文 \u241B[31mred\u241B[0m \uFFFD =1+1 ");
    csvExpected[4][4] = "'-U";
    csvExpected[4][5] = "'@E";
    csvExpected[4][6] = QStringLiteral("'=HYPERLINK(\"x\")\uFFFD");
    for (const char* format : {"csv", "json"}) {
        SCOPED_TRACE(format);
        QProcess p;
        p.start(tool(), {"list", "--dsn", QString::fromStdString(dsn), "--app", app, "--from", "2026-01-01", "--to",
                         "2026-01-31", "--format", format});
        ASSERT_TRUE(p.waitForFinished(30000));
        ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
        std::vector<QStringList> rows = parsedByPython(format, p.readAllStandardOutput());
        if (std::string(format) == "csv") {
            ASSERT_FALSE(rows.empty());
            EXPECT_EQ(rows.front(), QStringList({"date", "time", "app", "ws", "user", "event", "activity"}));
            rows.erase(rows.begin());
        }
        EXPECT_EQ(rows, std::string(format) == "csv" ? csvExpected : expected);
    }
}

TEST_P(Cli, FiltersDatesAndFailuresOfList)
{
    const QDateTime now = QDateTime::currentDateTime();
    auto at = [](const QDateTime& t) { return QStringList{t.toString("yyyyMMdd"), t.toString("HHmmss")}; };
    const QStringList recent = at(now.addSecs(-3600)), old = at(now.addDays(-3));
    const QString app = table({
        {"20260113", "090000", "WS1", "ANN", "LOGIN", "a"},
        {"20260113", "100000", "WS2", "BOB", "LOGIN", "b"},
        {"20260113", "110000", "WS1", "CAT", "PRINT", "c"},
        {"20260114", "120000", "WS3", "ANN", "PRINT", "d"},
        {recent[0], recent[1], "WS1", "ANN", "NOW", "recent"},
        {old[0], old[1], "WS1", "ANN", "NOW", "old"},
    });
    const QString d = QString::fromStdString(dsn);
    auto activities = [&](QStringList args) {
        CliRun r = run(QStringList{"list", "--dsn", d, "--app", app, "--format", "csv"} + args);
        QStringList out;
        for (const QString& line : r.out.split("\r\n").mid(1))
            if (!line.isEmpty())
                out << line.section(',', 6);
        return std::make_pair(r.code, out);
    };
    using Result = std::pair<int, QStringList>;
    const std::pair<QStringList, Result> cases[] = {
        // Any of several users, workstations or events.
        {{"--since", "2026-01-13", "--until", "2026-01-14", "--user", "ann", "--user", "cat"}, {0, {"a", "c", "d"}}},
        {{"--from", "13/01/2026", "--to", "2026-01-14", "--ws", "WS2", "--ws", "ws3", "--event", "login"},
         {0, {"b"}}},
        // The newest N, oldest first; an instant as a bound; a normalised time.
        {{"--from", "2026-01-13", "--to", "2026-01-14", "--last", "2"}, {0, {"c", "d"}}},
        {{"--from", "2026-01-13T10:00", "--to", "2026-01-13 11:00:00"}, {0, {"b", "c"}}},
        {{"--from", "2026-01-13", "--to", "2026-01-13", "--time-from", "9:30", "--time-to", "10:00"}, {0, {"b"}}},
        // Without a date: the last 24 hours.
        {{}, {0, {"recent"}}},
        {{"--since", "-4d", "--event", "now"}, {0, {"old", "recent"}}},
        // Refused values.
        {{"--from", "12/01/2026"}, {64, {}}},
        {{"--from", "2026-01-13", "--time-from", "nine", "--time-to", "10:00:00"}, {64, {}}},
        {{"--from", "2026-01-13", "--time-from", "11:00:00trailing", "--time-to", "12:00:00"}, {64, {}}},
        {{"--from", "2026-01-14", "--to", "2026-01-13"}, {64, {}}},
    };
    for (const auto& [args, expected] : cases) {
        SCOPED_TRACE(args.join(' ').toStdString());
        EXPECT_EQ(activities(args), expected);
    }

    // A table that is not there is "No Record Found"; any other failure is
    // the database's reason and status 2.
    CliRun r = run({"list", "--dsn", d, "--app", "NO_SUCH"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.err.contains("No Record Found")) << r.err.toStdString();
    const QString broken = QString::fromStdString(newAppId());
    raw().execute("CREATE TABLE " + broken + "_logs (something int)");
    r = run({"list", "--dsn", d, "--app", broken});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.contains("database error") && !r.err.contains("No Record Found")) << r.err.toStdString();
    EXPECT_EQ(run({"list", "--dsn", "tq_no_such_dsn", "--app", app}).code, 69);
}

TEST_P(Cli, ListMatchesActivityAsTheViewerAndJournalctlDo)
{
    const QString app = table({{"20260101", "100000", "W", "U", "E", "Order 1001 shipped"},
                               {"20260101", "100100", "W", "U", "E", "order 1002 held"},
                               {"20260101", "100200", "W", "U", "E", "nothing to see"}});
    const QString d = QString::fromStdString(dsn);
    const struct {
        QStringList args;
        QStringList activities;
    } cases[] = {
        {{"-g", "order"}, {"Order 1001 shipped", "order 1002 held"}},  // no capital: any case
        {{"-g", "Order"}, {"Order 1001 shipped"}},                     // a capital: exact case
        {{"-g", "\\d{4} (shipped|held)$"}, {"Order 1001 shipped", "order 1002 held"}},
        {{"-g", "order", "-n", "1"}, {"order 1002 held"}},             // the newest that match
        {{"--activity", "ORDER 100_"}, {"Order 1001 shipped", "order 1002 held"}},  // ASCII case on any database
        {{"-r"}, {"nothing to see", "order 1002 held", "Order 1001 shipped"}},   // newest first
        {{"-r", "-n", "2"}, {"nothing to see", "order 1002 held"}},
        {{"-r", "-n", "1", "-g", "order"}, {"order 1002 held"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const CliRun r = run(QStringList{"list", "--dsn", d, "--app", app, "--from", "2026-01-01", "-o", "json"} + c.args);
        ASSERT_EQ(r.code, 0) << r.err.toStdString();
        QStringList got;
        for (const QString& line : r.out.split('\n', Qt::SkipEmptyParts))
            got << QJsonDocument::fromJson(line.toUtf8())["activity"].toString();
        EXPECT_EQ(got, c.activities);
    }
    EXPECT_EQ(run({"list", "--dsn", d, "--app", app, "-g", "("}).code, 64);
    // A format name given to --output is a slip, not a file name.
    const CliRun slip = run({"list", "--dsn", d, "--app", app, "--output", "json"});
    EXPECT_EQ(slip.code, 64);
    EXPECT_TRUE(slip.err.contains("-o json")) << slip.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists("json"));
}

TEST_P(Cli, ListOnATerminalPagesAndColours)
{
    const QString app = table({{"20260101", "100000", "W", "U", "LOGIN", "on"}});
    const QString d = QString::fromStdString(dsn);
    const struct {
        const char* pager;
        const char* noColor;
        QStringList extra;
        bool paged, coloured;
    } cases[] = {
        {"sed s/^/P:/", "", {}, true, true},
        {"sed s/^/P:/", "", {"--no-pager"}, false, true},
        {"sed s/^/P:/", "1", {}, true, false},
        {"sed s/^/P:/", "", {"--no-color"}, true, false},
        {"cat", "", {}, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.pager) + " NO_COLOR=" + c.noColor + " " + c.extra.join(' ').toStdString());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TALLYQUILL_PAGER", c.pager);
        env.insert("NO_COLOR", c.noColor);
        env.insert("TERM", "xterm");
        // script(1) gives the command a terminal of its own.
        QStringList command{tool(), "list", "--dsn", d, "--app", app, "--from", "2026-01-01"};
        command += c.extra;
        for (QString& word : command)
            word = "'" + word + "'";
        QProcess p;
        p.setProcessEnvironment(env);
        p.start("script", {"-qec", command.join(' '), "/dev/null"});
        ASSERT_TRUE(p.waitForFinished(60000));
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        EXPECT_EQ(p.exitCode(), 0) << out.toStdString();
        EXPECT_EQ(out.contains("P:Date"), c.paged) << out.toStdString();
        EXPECT_EQ(out.contains("\033[1m01/01/2026 10:00:00\033[0m"), c.coloured) << out.toStdString();
        EXPECT_EQ(out.contains("\033[33mLOGIN   \033[0m"), c.coloured) << out.toStdString();
    }
    // Not a terminal: neither.
    const CliRun plain = run({"list", "--dsn", d, "--app", app, "--from", "2026-01-01"});
    EXPECT_FALSE(plain.out.contains('\033'));
}

TEST_P(Cli, FollowPrintsEveryRecordOfAConcurrentWriterOnce)
{
    const QString app = QString::fromStdString(newAppId());
    QProcess follow;
    follow.start(tool(), {"list", "--dsn", QString::fromStdString(dsn), "--app", app, "--follow", "--interval",
                          "0.05", "--format", "json"});
    ASSERT_TRUE(follow.waitForStarted());
    QProcess writer;
    writer.start(QCoreApplication::applicationDirPath() + "/write_worker",
                 {QString::fromStdString(dsn), app, "WSF", "400"});
    ASSERT_TRUE(writer.waitForFinished(60000));
    ASSERT_EQ(writer.exitCode(), 0) << writer.readAllStandardError().toStdString();
    QByteArray out;
    for (int i = 0; i < 200 && out.count('\n') < 400; ++i) {
        follow.waitForReadyRead(50);
        out += follow.readAllStandardOutput();
    }
    ::kill(pid_t(follow.processId()), SIGINT);
    ASSERT_TRUE(follow.waitForFinished(10000));
    EXPECT_EQ(follow.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(follow.exitCode(), 0) << follow.readAllStandardError().toStdString();
    out += follow.readAllStandardOutput();
    std::map<QString, int> seen;
    for (const QStringList& r : parsedByPython("json", out))
        ++seen[r.value(6)];
    EXPECT_EQ(seen.size(), 400u);
    for (const auto& [text, n] : seen)
        EXPECT_EQ(n, 1) << text.toStdString();
}

TEST_P(Cli, ArchiveDeleteThenImportGivesBackTheSameRows)
{
    // Varied rows: Chinese, every column at its full width, spaces kept at
    // the ends of the activity, several days.
    std::vector<QStringList> input;
    const QString han = QStringLiteral("记录日志系统中文测试繁體資料档");  // 15 characters
    QString longest;  // 250 characters, some beyond the 16-bit plane
    for (int i = 0; longest.toUcs4().size() < 250; ++i)
        longest += i % 16 == 15 ? QStringLiteral("𝄞") : QString(han[i % 15]);
    for (int i = 0; i < 10000; ++i) {
        const bool full = i % 7 == 0;
        const QString date = QStringLiteral("202601%1").arg(1 + i % 5, 2, 10, QLatin1Char('0'));
        const QString time = QStringLiteral("%1%2%3").arg(i / 3600 % 24, 2, 10, QLatin1Char('0'))
                                 .arg(i / 60 % 60, 2, 10, QLatin1Char('0')).arg(i % 60, 2, 10, QLatin1Char('0'));
        QString activity = full ? longest : han.left(i % 13) + QString::number(i);
        if (i % 11 == 0)
            activity = QStringLiteral("  ") + activity.left(200) + QStringLiteral(", \"q\" ");
        // Bidirectional controls come back as stored.
        if (i % 13 == 1)
            activity = QStringLiteral("\u202Eabc\u202C \u2066x\u2069\u200F\u061C") + activity.left(200);
        input.push_back({date, time, full ? QStringLiteral("WORKSTATION_%1").arg(i % 10000, 4, 10, QLatin1Char('0'))
                                          : QStringLiteral("WS%1").arg(i % 9),
                         full ? han : QStringLiteral("USER%1").arg(i % 5), full ? han.left(8) : "EV", activity});
    }
    const QString app = table(input);
    const std::vector<QStringList> before = contents(app);
    const QString d = QString::fromStdString(dsn), daily = dir.path() + "/daily";
    QDir().mkpath(daily);

    CliRun r = run({"archive", "--dsn", d, "--app", app, "--until", "2026-01-31", "--daily", daily, "--prefix", "r_",
                    "--delete", "--dry-run"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("2000 records to " + daily + "/r_20260103.log")) << r.out.toStdString();
    EXPECT_TRUE(QDir(daily).isEmpty());
    EXPECT_EQ(contents(app).size(), 10000u);

    r = run({"archive", "--dsn", d, "--app", app, "--until", "2026-01-31", "--daily", daily, "--prefix", "r_",
             "--delete"});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    ASSERT_EQ(scalar("SELECT COUNT(*) FROM " + app + "_logs"), "0");
    QStringList files;
    for (const QString& f : QDir(daily).entryList({"*.log"}, QDir::Files, QDir::Name))
        files << daily + "/" + f;
    ASSERT_EQ(files.size(), 5);

    // A line that cannot be restored is refused with its place, and nothing
    // is imported; so is a file that is not there.
    const QString bad = dir.path() + "/bad.log";
    QFile f(bad);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(tallyquill::BuildLogLine({"20260101", "101010", app, "WS", "TOO_LONG_A_USER_NAME", "EV", "x"}).toUtf8()
            + "\r\n");
    f.close();
    r = run(QStringList{"import", "--dsn", d, "--app", app} + files + QStringList{bad});
    EXPECT_EQ(r.code, 65);
    EXPECT_TRUE(r.err.contains(bad + ":1: ")) << r.err.toStdString();
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM " + app + "_logs"), "0");
    EXPECT_EQ(run({"import", "--dsn", d, "--app", app, dir.path() + "/none.log"}).code, 66);
    // A file that no longer matches its manifest is refused, and named.
    {
        QFile t(files[1]);
        ASSERT_TRUE(t.open(QIODevice::ReadWrite));
        const QByteArray original = t.readAll();
        QByteArray changed = original;
        changed[40] = changed[40] == 'X' ? 'Y' : 'X';
        t.seek(0);
        t.write(changed);
        t.flush();
        r = run(QStringList{"import", "--dsn", d, "--app", app} + files);
        EXPECT_EQ(r.code, 65);
        EXPECT_TRUE(r.err.contains(files[1] + ": 20260102: ") && r.err.contains("does not match its manifest"))
            << r.err.toStdString();
        EXPECT_EQ(scalar("SELECT COUNT(*) FROM " + app + "_logs"), "0");
        r = run({"verify", "--archive", daily});
        EXPECT_EQ(r.code, 65);
        EXPECT_TRUE(r.out.contains(files[1] + " 20260102: BAD: ")) << r.out.toStdString();
        t.seek(0);
        t.write(original);
        t.close();
        EXPECT_EQ(run({"verify", "--archive", daily}).code, 0);
    }

    r = run(QStringList{"import", "--dsn", d, "--app", app} + files);
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const std::vector<QStringList> after = contents(app);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); ++i)
        ASSERT_EQ(after[i], before[i]) << "row " << i;
}

// A run with deletion killed at any point of a day, then run again: every
// row is archived once, in a file per day or in one file.
TEST_P(Cli, AKilledArchiveRunAgainArchivesEachRowOnce)
{
    std::vector<QStringList> input;
    for (int i = 0; i < 300; ++i)
        input.push_back({QStringLiteral("2026010%1").arg(1 + i / 100), QStringLiteral("1200%1").arg(i % 60, 2, 10, QLatin1Char('0')),
                         "WS1", "U", "EV", QStringLiteral("seq=%1").arg(i)});
    const QString d = QString::fromStdString(dsn);
    // Day two: after its lines are synced, after its delete commits, in
    // the middle of writing its lines.
    // After its manifest entry is on the disk, too: the lines taken back
    // must leave the manifest first.
    const char* points[] = {"archive.synced@2", "archive.committed@2", "logfile.midwrite@2", "archive.manifested@2"};
    for (const bool daily : {true, false}) {
        for (const char* point : points) {
            SCOPED_TRACE(std::string(point) + (daily ? " daily" : " one file"));
            const QString app = table(input);
            const std::vector<QStringList> before = contents(app);
            const QString target = dir.path() + "/" + app + (daily ? "" : ".log");
            if (daily)
                QDir().mkpath(target);
            const QStringList args = QStringList{"archive", "--dsn", d, "--app", app, "--until", "2026-01-31", "--delete"}
                                     + (daily ? QStringList{"--daily", target, "--prefix", "k_"} : QStringList{"--file", target});
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("TQ_FAULT_POINT", point);
            EXPECT_EQ(run(args, env).code, -1);  // killed
            const CliRun again = run(args);
            ASSERT_EQ(again.code, 0) << again.err.toStdString();
            ASSERT_EQ(scalar("SELECT COUNT(*) FROM " + app + "_logs"), "0");
            QStringList files;
            if (daily)
                for (const QString& f : QDir(target).entryList({"*.log"}, QDir::Files, QDir::Name))
                    files << target + "/" + f;
            else
                files << target;
            EXPECT_EQ(files.size(), daily ? 3 : 1);
            const tallyquill::command::ArchiveVerification v = tallyquill::command::VerifyArchive(target);
            EXPECT_TRUE(v.ok());
            for (const auto& f : v.findings)
                EXPECT_EQ(f.problem, QString()) << f.file.toStdString() << " " << f.day.toStdString();
            const CliRun imported = run(QStringList{"import", "--dsn", d, "--app", app} + files);
            ASSERT_EQ(imported.code, 0) << imported.err.toStdString();
            EXPECT_EQ(contents(app), before);
        }
    }
}

// Import reads each input once (a pipe too) and takes only lines that
// WriteLog itself would take into --app's table.
TEST_P(Cli, ImportReadsOnceAndRefusesWhatWriteLogRefuses)
{
    const QString app = table({});
    const QString d = QString::fromStdString(dsn);
    auto line = [&](const QString& appId) {
        return tallyquill::BuildLogLine({"20260101", "101010", appId, "WS", "U", "EV", "x"}).toUtf8() + "\r\n";
    };
    QProcess p;
    p.start(tool(), {"import", "--dsn", d, "--app", app, "-"});
    ASSERT_TRUE(p.waitForStarted());
    p.write(line(app) + line(app));
    p.closeWriteChannel();
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    EXPECT_TRUE(p.readAllStandardOutput().contains("imported 2 records from -")) ;
    EXPECT_EQ(scalar("SELECT COUNT(*) FROM " + app + "_logs"), "2");

    const struct {
        QByteArray text;
        const char* why;
    } refused[] = {
        {line("OTHERAPP"), "belongs to application OTHERAPP"},
        {line("BAD'ID"), ""},
        {QByteArray(300000, 'x') + "\n", "longer than any archive line"},
    };
    for (const auto& c : refused) {
        const QString good = dir.path() + "/good.log", bad = dir.path() + "/bad.log";
        QFile g(good), b(bad);
        ASSERT_TRUE(g.open(QIODevice::WriteOnly) && b.open(QIODevice::WriteOnly));
        g.write(line(app));
        b.write(c.text);
        g.close();
        b.close();
        const CliRun r = run({"import", "--dsn", d, "--app", app, good, bad});
        EXPECT_EQ(r.code, 65) << c.why << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(bad + ":1: ") && r.err.contains(c.why)) << r.err.toStdString();
        EXPECT_EQ(scalar("SELECT COUNT(*) FROM " + app + "_logs"), "2") << c.why;
    }
}

TEST_P(Cli, AppsAndCheckDescribeTheDataSource)
{
    const QString app = table({{"20260105", "080000", "W", "U", "E", "x"}, {"20260107", "093000", "W", "U", "E", "y"}});
    const QString d = QString::fromStdString(dsn);
    // A table that only has the name of a log table is listed, not fatal.
    const QString other = QString::fromStdString(newAppId());
    raw().execute("CREATE TABLE " + other + "_logs (something int)");
    CliRun r = run({"apps", "--dsn", d});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const QStringList line = r.out.split('\n').filter(QRegularExpression("^" + app.toUpper() + " "));
    ASSERT_EQ(line.size(), 1) << r.out.toStdString();
    EXPECT_EQ(line[0].simplified(), app.toUpper() + " 2 2026-01-05 08:00:00 2026-01-07 09:30:00 no -");
    EXPECT_TRUE(r.out.contains(QRegularExpression("\\n" + other.toUpper() + " +\\? "))) << r.out.toStdString();
    // The activity index, as apps and check tell it.
    EXPECT_EQ(run({"index", "--dsn", d, "--app", app}).code, 64);  // which index?
    r = run({"index", "--activity", "--dsn", d, "--app", app});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(": built")) << r.out.toStdString();
    EXPECT_TRUE(run({"apps", "--dsn", d}).out.contains(QRegularExpression(app.toUpper() + " .* yes +\\S+\\n")));
    EXPECT_TRUE(run({"check", "--dsn", d, "--app", app}).out.contains("activity index: present"));
    r = run({"index", "--activity", "--drop", "--dsn", d, "--app", app});
    EXPECT_TRUE(r.code == 0 && r.out.contains(": dropped")) << r.out.toStdString() << r.err.toStdString();

    r = run({"check", "--dsn", d, "--app", app});
    EXPECT_EQ(r.code, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(isPostgres() ? "PostgreSQL" : "SQLite")) << r.out.toStdString();
    raw().execute("DROP INDEX " + app + "_logs_date_time");
    r = run({"check", "--dsn", d, "--app", app});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.out.contains("(log_Date, log_Time): missing")) << r.out.toStdString();
    EXPECT_EQ(run({"check", "--dsn", d, "--app", "NO_SUCH"}).code, 1);
    EXPECT_EQ(run({"apps", "--dsn", "tq_no_such_dsn"}).code, 69);
}

TEST_P(Cli, OutputFilesArePrivateAndNeverFollowLinks)
{
    const QString app = table({{"20260105", "080000", "W", "U", "E", "x"}});
    const QString d = QString::fromStdString(dsn);
    const QStringList list = {"list", "--dsn", d, "--app", app, "--from", "2026-01-05", "--to", "2026-01-05"};
    const QString out = dir.path() + "/out.txt";
    CliRun r = run(list + QStringList{"--output", out});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    struct stat st {};
    ASSERT_EQ(stat(out.toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    QFile text(out);
    ASSERT_TRUE(text.open(QIODevice::ReadOnly));
    EXPECT_TRUE(text.readAll().endsWith(" x\r\n"));
    EXPECT_TRUE(run(list + QStringList{"--crlf"}).out.endsWith(" x\r\n"));
    EXPECT_TRUE(run(list + QStringList{"--output", "-"}).out.endsWith(" x\n"));
    EXPECT_FALSE(QFile::exists("-"));

    // A planted link, a missing directory and a database file are refused.
    const QString victim = dir.path() + "/victim", link = dir.path() + "/link";
    QFile v(victim);
    ASSERT_TRUE(v.open(QIODevice::WriteOnly));
    v.write("keep me");
    v.close();
    ASSERT_TRUE(QFile::link(victim, link));
    QString sqliteFile = dir.path() + "/db.sqlite";
    QFile db(sqliteFile);
    ASSERT_TRUE(db.open(QIODevice::WriteOnly));
    db.write(QByteArray("SQLite format 3\0", 16) + QByteArray(100, 'x'));
    db.close();
    // A file another user made beforehand, however open its mode, is not
    // emptied nor written.
    const QString planted = dir.path() + "/planted";
    QFile pf(planted);
    ASSERT_TRUE(pf.open(QIODevice::WriteOnly));
    pf.write("theirs");
    pf.close();
    ASSERT_EQ(chmod(planted.toLocal8Bit().constData(), 0666), 0);
    const bool chowned = geteuid() == 0 && chown(planted.toLocal8Bit().constData(), 65534, 65534) == 0;
    for (const QString& target : {link, dir.path() + "/none/out.txt", sqliteFile, planted}) {
        if (target == planted && !chowned)
            continue;
        r = run(list + QStringList{"--output", target});
        EXPECT_EQ(r.code, 73) << target.toStdString() << r.err.toStdString();
    }
    ASSERT_TRUE(v.open(QIODevice::ReadOnly));
    EXPECT_EQ(v.readAll(), "keep me");
    EXPECT_EQ(QFileInfo(sqliteFile).size(), 116);
    if (chowned) {
        ASSERT_TRUE(pf.open(QIODevice::ReadOnly));
        EXPECT_EQ(pf.readAll(), "theirs");
        EXPECT_TRUE(run(list + QStringList{"--output", planted}).err.contains("belongs to another user"));
    }
}

TEST(CliUsage, BadUsageIsSixtyFourAndHelpExplainsEveryOption)
{
    EXPECT_EQ(run({}).code, 64);
    EXPECT_EQ(run({"frobnicate"}).code, 64);
    EXPECT_EQ(run({"write", "--dsn", "x", "--app", "A", "--ws", "W"}).code, 64);  // no TEXT
    EXPECT_EQ(run({"write", "--app", "A", "--ws", "W", "t"}).code, 64);           // no --dsn
    EXPECT_EQ(run({"write", "--dsn", "x", "--app", "A", "--ws", "W", "--colour", "red", "t"}).code, 64);
    // The top-level help fits one screen; --help-all (and the man page made
    // from it) explains every option.
    const CliRun brief = run({"--help"});
    EXPECT_EQ(brief.code, 0);
    EXPECT_LE(brief.out.count('\n'), 40);
    for (const char* verb : {"write", "list", "apps", "archive", "retention", "import", "check", "setup", "view", "spool"})
        EXPECT_TRUE(brief.out.contains(QStringLiteral("\n  %1 ").arg(QLatin1String(verb)))) << verb;
    EXPECT_EQ(run({}).out, brief.out);
    const CliRun help = run({"--help-all"});
    EXPECT_EQ(help.code, 0);
    for (const char* option : {"--dsn", "--login", "--password", "TALLYQUILL_PASSWORD", "--app", "--ws", "--user",
                               "--event", "--database", "--from", "--to", "--time-from", "--time-to", "--activity",
                               "--hide", "--output", "--until", "--file", "--daily", "--prefix", "--delete",
                               "--format", "--follow", "--last", "--dry-run", "--keep", "--postgres", "TALLYQUILL_DSN",
                               "TALLYQUILL_APP", "apps", "import", "retention", "check", "69", "73", "74"})
        EXPECT_TRUE(help.out.contains(QLatin1String(option))) << option;

    // A slip of the keyboard gets the nearest verb or option.
    const std::pair<QStringList, const char*> slips[] = {
        {{"lst"}, "did you mean list?"},
        {{"archiv", "--until", "today"}, "did you mean archive?"},
        {{"list", "--dsn", "x", "--app", "A", "--sinc", "-1d"}, "did you mean --since?"},
        {{"list", "--dsn", "x", "--app", "A", "--actvity", "x"}, "did you mean --activity?"},
    };
    for (const auto& [args, hint] : slips) {
        const CliRun r = run(args);
        EXPECT_EQ(r.code, 64);
        EXPECT_TRUE(r.err.contains(QLatin1String(hint))) << r.err.toStdString();
    }

    // Each verb has its own help, with examples; numbers and unknown options are named.
    const CliRun writeHelp = run({"write", "-h"});
    EXPECT_EQ(writeHelp.code, 0);
    EXPECT_TRUE(writeHelp.out.contains("Usage: tallyquill write") && !writeHelp.out.contains("retention"));
    EXPECT_TRUE(writeHelp.out.contains("Examples:\n  tallyquill write ")) << writeHelp.out.toStdString();
    EXPECT_EQ(run({"--version"}).out, "tallyquill " TQ_VERSION "\n");
    CliRun r = run({"demo", "--count", "abc"});
    EXPECT_EQ(r.code, 64);
    EXPECT_TRUE(r.err.contains("--count") && r.err.contains("abc")) << r.err.toStdString();
    r = run({"write", "--dsn", "x", "--app", "A", "--ws", "W", "t", "--colour"});
    EXPECT_EQ(r.code, 64);
    EXPECT_TRUE(r.err.contains("not expected: --colour")) << r.err.toStdString();
}

TEST(CliUsage, SetupTwiceIsHarmless)
{
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ODBCINI", home.path() + "/odbc.ini");
    env.insert("XDG_DATA_HOME", home.path() + "/data");
    const CliRun first = run({"setup", "--dsn", "TqSetup"}, env);
    ASSERT_EQ(first.code, 0) << first.err.toStdString();
    EXPECT_EQ(first.out.trimmed(), home.path() + "/data/tallyquill/TqSetup.sqlite");
    const CliRun second = run({"setup", "--dsn", "TqSetup"}, env);
    EXPECT_EQ(second.code, 0);
    QFile ini(home.path() + "/odbc.ini");
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(ini.readAll());
    EXPECT_EQ(text.count("[TqSetup]"), 1);
    for (const char* setting : {"StepAPI=1", "JournalMode=WAL", "SyncPragma=NORMAL", "Timeout=", "Driver=SQLite3"})
        EXPECT_TRUE(text.contains(QLatin1String(setting))) << setting;
    // The registered source works: a row goes in through it.
    const CliRun write = run({"write", "--dsn", "TqSetup", "--app", "SETUP", "--ws", "w", "hello"}, env);
    EXPECT_EQ(write.code, 0) << write.err.toStdString();

    // A PostgreSQL source streams and keeps the driver's log files off.
    const CliRun pg = run({"setup", "--dsn", "TqPg", "--postgres", "db.example:5433", "--database", "logs", "--user",
                           "ann"},
                          env);
    ASSERT_EQ(pg.code, 0) << pg.err.toStdString();
    EXPECT_TRUE(pg.out.contains("tallyquill check --dsn TqPg")) << pg.out.toStdString();
    ini.close();
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    const QString section = QString::fromUtf8(ini.readAll()).section("[TqPg]", 1).section("\n[", 0, 0);
    for (const char* setting : {"Driver=PostgreSQL Unicode", "Servername=db.example", "Port=5433", "Database=logs",
                                "Username=ann", "UseDeclareFetch=1", "CommLog=0", "Debug=0"})
        EXPECT_TRUE(section.contains(QLatin1String(setting))) << setting;
    EXPECT_EQ(run({"setup", "--dsn", "TqPg", "--postgres", "h\nx", "--database", "d"}, env).code, 64);

    // IPv6 addresses, with or without a port; an empty host or port is refused.
    const struct {
        const char* given;
        const char* server;  // nullptr: refused
        const char* port;
    } hosts[] = {{"[::1]:5434", "Servername=::1\n", "Port=5434"}, {"::1", "Servername=::1\n", "Port=5432"},
                 {"[fe80::1]", "Servername=fe80::1\n", "Port=5432"}, {":5432", nullptr, nullptr},
                 {"h:", nullptr, nullptr}, {"[::1]:", nullptr, nullptr}, {"[::1", nullptr, nullptr},
                 {"h:+5", nullptr, nullptr}};
    for (const auto& h : hosts) {
        const CliRun r = run({"setup", "--dsn", "TqPg6", "--postgres", h.given, "--database", "d"}, env);
        EXPECT_EQ(r.code, h.server ? 0 : 64) << h.given << r.err.toStdString();
        if (!h.server)
            continue;
        ini.close();
        ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
        const QString s6 = QString::fromUtf8(ini.readAll()).section("[TqPg6]", 1).section("\n[", 0, 0);
        EXPECT_TRUE(s6.contains(QLatin1String(h.server)) && s6.contains(QLatin1String(h.port)))
            << h.given << s6.toStdString();
    }
}

TEST(CliUsage, SetupWritesNoControlCharactersAndKeepsFilesPrivate)
{
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString ini = home.path() + "/odbc.ini", data = home.path() + "/data";
    env.insert("ODBCINI", ini);
    env.insert("XDG_DATA_HOME", data);
    // A line break would start a setting of its own in odbc.ini.
    for (const char* option : {"--dsn", "--database"}) {
        const CliRun r = run({"setup", option, home.path() + "/x\nLoadExt=" + home.path() + "/evil.so"}, env);
        EXPECT_NE(r.code, 0);
        EXPECT_TRUE(r.err.contains("control characters")) << r.err.toStdString();
        EXPECT_FALSE(QFile::exists(ini));
    }
    const CliRun r = run({"setup", "--dsn", "TqPrivate"}, env);
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    for (const auto& [path, mode] : {std::pair{ini, 0600}, {r.out.trimmed(), 0600}, {data, 0700},
                                     {data + "/tallyquill", 0700}}) {
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
        EXPECT_EQ(st.st_mode & 0777, mode) << path.toStdString();
    }
}

TEST(HeadlessHost, MessagesGoToStderrWithoutBlocking)
{
    // The worker has no QApplication, as a console host: an empty DSN must
    // neither block nor crash, and the operator's text reaches stderr.
    QProcess p;
    p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/write_worker"), {"", "APP", "WS", "2"});
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 1);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    EXPECT_EQ(err.count(QStringLiteral("Error: No DSN provided\n")), 2) << err.toStdString();
}

TQ_INSTANTIATE_DB_TESTS(Cli);

} // namespace

// A report that cannot reach standard output is a failure, whatever the verb.
TEST(CliUsage, FullStandardOutputIsSeventyFour)
{
    for (const QStringList& args : {QStringList{"--help"}, QStringList{"--version"}, QStringList{"write", "-h"}}) {
        QProcess p;
        p.setStandardOutputFile(QStringLiteral("/dev/full"));
        p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/../tool/tallyquill"), args);
        ASSERT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitCode(), 74) << args.join(' ').toStdString();
        EXPECT_TRUE(p.readAllStandardError().contains("standard output")) << args.join(' ').toStdString();
    }
}
