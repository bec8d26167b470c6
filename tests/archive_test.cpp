// Archiving to files and deleting, on each back end.

#include "ViewerFixture.h"

#include "core/LogFile.h"
#include "core/LogLine.h"
#include "service/Command.h"
#include "service/Seals.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
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
        SetUpRows();
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
    // The fixture's five rows again, in an empty table.
    void refill()
    {
        raw().execute(QStringLiteral("DELETE FROM ") + table);
        SetUpRows();
    }
    void SetUpRows()
    {
        insert("20010101", "235959", "WS01", "JOHN", "LOGIN", "day one late");
        insert("20010101", "000001", "WS01", "JOHN", "LOGIN", "day one early");
        insert("20010102", "120000", "WS02", "MARY", "PRINT", QStringLiteral("打印 發票"));
        insert("20010105", "080000", "WS03", "ANN", "LOGOUT", "cut-off day");
        insert("20010106", "080000", "WS03", "ANN", "LOGIN", "after the cut-off");
    }
    // Records as "date|workstation|activity", counted over the lines of the
    // archive files below `path` (one file or a directory) and the table.
    std::map<QString, int> everywhere(const QString& path)
    {
        std::map<QString, int> seen;
        QStringList files;
        if (QFileInfo(path).isDir())
            for (const QString& f : QDir(path).entryList({QStringLiteral("*.log")}, QDir::Files))
                files << path + "/" + f;
        else if (QFileInfo::exists(path))
            files << path;
        for (const QString& f : files)
            for (const QString& line : lines(f))
                ++seen[line.left(8) + "|" + line.mid(31, 16).trimmed() + "|" + line.mid(78)];
        for (const auto& row : rows(QStringLiteral("SELECT log_Date, log_WsID, log_Data FROM ") + table))
            ++seen[row[0] + "|" + row[1].trimmed() + "|" + row[2]];
        return seen;
    }
};

TEST_P(ArchiveDb, SingleFileHoldsStoredFormsInOrderAndIsAppendedTo)
{
    const QString path = dir.path() + QStringLiteral("/archive.log");
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("an earlier run's line\r\nand one a killed run cut sh");
    old.close();
    ASSERT_TRUE(archive("20010105", ToFile, path));
    const QStringList l = lines(path);
    // The cut line went: its rows are still in the table.
    ASSERT_EQ(l.size(), 5);
    EXPECT_EQ(l[0], "an earlier run's line");
    EXPECT_EQ(l[1], "20010101   000001   " + app.leftJustified(10) + " WS01             JOHN                 "
                    "LOGIN    day one early");
    EXPECT_TRUE(l[2].endsWith(" day one late"));
    EXPECT_TRUE(l[3].endsWith(QStringLiteral(" 打印 發票")));
    EXPECT_TRUE(l[4].endsWith(" cut-off day"));
    EXPECT_EQ(count(), "5");  // nothing deleted

    // A date before every record still makes the file, and adds nothing.
    const QString fresh = dir.path() + QStringLiteral("/fresh.log");
    ASSERT_TRUE(archive("20000101", ToFile, fresh));
    EXPECT_TRUE(QFile::exists(fresh));
    EXPECT_TRUE(lines(fresh).isEmpty());
    ASSERT_TRUE(archive("20000101", ToFile, path));
    EXPECT_EQ(lines(path).size(), 5);
}

TEST_P(ArchiveDb, DailyFilesAppendToLeftoversAndDeleteOnlyUpToTheDate)
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
              QStringList({"log_20010101.log", "log_20010102.log", "log_20010105.log", "log_manifest"}));
    EXPECT_EQ(lines(daily + "/log_20010101.log").size(), 2);
    EXPECT_TRUE(lines(daily + "/log_20010101.log")[0].endsWith(" day one early"));
    EXPECT_EQ(lines(daily + "/log_20010102.log"),
              QStringList({QStringLiteral("from an earlier run"),
                           QStringLiteral("20010102   120000   WS02             MARY                 PRINT    打印 發票")}));
    EXPECT_EQ(count(), "1");
    EXPECT_EQ(scalar(QStringLiteral("SELECT log_Data FROM ") + table), "after the cut-off");

    // Nothing left up to the date: no daily file is made.
    const QString empty = dir.path() + QStringLiteral("/empty");
    QDir().mkpath(empty);
    ASSERT_TRUE(archive("20010105", ToFile | Daily, empty));
    EXPECT_TRUE(QDir(empty).entryList(QDir::Files).isEmpty());
}

// The manifest names each day's bytes; each kind of tampering with the
// files is found and named.
TEST_P(ArchiveDb, TheManifestFindsEachTamperingByName)
{
    // A prefix that must be escaped in the manifest's fields.
    const QString prefix = QStringLiteral("a b%=\n_");
    const QString made = dir.path() + QStringLiteral("/made");
    QDir().mkpath(made);
    ASSERT_TRUE(archive("20010105", ToFile | Delete | Daily, made, prefix)) << outcome.reason.toStdString();
    auto file = [&](const QString& d, const char* day) { return d + "/" + prefix + day + ".log"; };
    {
        const command::ArchiveVerification v = command::VerifyArchive(made);
        ASSERT_TRUE(v.ok());
        ASSERT_EQ(v.findings.size(), 3u);
        EXPECT_EQ(v.findings[0].file, file(made, "20010101"));
        EXPECT_EQ(v.findings[0].lines, 2);
        QFile m(made + "/" + prefix + "manifest");
        ASSERT_TRUE(m.open(QIODevice::ReadOnly));
        const QList<QByteArray> text = m.readAll().split('\n');
        EXPECT_EQ(text[0], "tallyquill archive manifest 1");
        EXPECT_TRUE(text[1].startsWith("run file=a%20b%25%3D%0A_20010101.log day=20010101 offset=0 ")) << text[1].toStdString();
    }
    auto flip = [](const QString& f) {
        QFile x(f);
        x.open(QIODevice::ReadWrite);
        QByteArray b = x.readAll();
        b[b.size() - 3] = char(b[b.size() - 3] ^ 1);
        x.seek(0);
        x.write(b);
    };
    auto dropFirstLine = [](const QString& f) {
        QFile x(f);
        x.open(QIODevice::ReadOnly);
        QByteArray b = x.readAll();
        x.close();
        x.open(QIODevice::WriteOnly | QIODevice::Truncate);
        x.write(b.mid(b.indexOf('\n') + 1));
    };
    auto swap = [](const QString& a, const QString& b) {
        QFile::rename(a, a + ".x");
        QFile::rename(b, a);
        QFile::rename(a + ".x", b);
    };
    const struct {
        const char* name;
        const char* day;  // the day whose file is named
        std::function<void(const QString&)> tamper;
        const char* problem;
    } cases[] = {
        {"flipped byte", "20010102", [&](const QString& d) { flip(file(d, "20010102")); }, "differ"},
        {"deleted line", "20010101", [&](const QString& d) { dropFirstLine(file(d, "20010101")); }, "lines deleted"},
        {"removed file", "20010105", [&](const QString& d) { QFile::remove(file(d, "20010105")); }, "missing"},
        {"swapped files", "20010102",
         [&](const QString& d) { swap(file(d, "20010102"), file(d, "20010105")); }, "holds lines of 20010105"},
        {"added line", "20010105",
         [&](const QString& d) {
             QFile x(file(d, "20010105"));
             x.open(QIODevice::Append);
             x.write("20010105   090000   added\r\n");
         },
         "named by no run"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString copy = dir.path() + "/" + c.name;
        QDir().mkpath(copy);
        for (const QString& f : QDir(made).entryList(QDir::Files))
            ASSERT_TRUE(QFile::copy(made + "/" + f, copy + "/" + f));
        c.tamper(copy);
        const command::ArchiveVerification v = command::VerifyArchive(copy);
        EXPECT_FALSE(v.ok());
        std::set<QString> bad;
        for (const auto& f : v.findings)
            if (!f.problem.isEmpty())
                bad.insert(f.file + ": " + f.problem);
        ASSERT_GE(bad.size(), 1u);
        EXPECT_TRUE(bad.begin()->startsWith(file(copy, c.day) + ": ")) << bad.begin()->toStdString();
        EXPECT_TRUE(bad.begin()->contains(c.problem)) << bad.begin()->toStdString();
        // The archive file alone finds the same through its prefix's manifest.
        EXPECT_EQ(command::VerifyArchive(file(copy, c.day)).ok(), false);
    }
}

// A sealed day whose rows changed stops a run that deletes, unless forced;
// the manifest carries each day's seal, checked with the seed.
TEST_P(ArchiveDb, ASealedDayThatChangedIsDeletedOnlyWhenForced)
{
    const QString keyFile = dir.path() + QStringLiteral("/seal.key");
    const QByteArray seed = seal::InitKeyFile(keyFile, false);
    {
        seal::KeyFile key(keyFile);
        ASSERT_EQ(seal::SealClosedDays(raw(), table, QStringLiteral("20010105"), key).size(), 3u);
    }
    raw().execute(QStringLiteral("UPDATE ") + table + QStringLiteral(" SET log_Data = 'rewritten' WHERE log_Date = '20010102'"));
    const QString daily = dir.path() + QStringLiteral("/sealed");
    QDir().mkpath(daily);
    EXPECT_FALSE(archive("20010105", ToFile | Delete | Daily, daily));
    EXPECT_TRUE(outcome.reason.contains("The rows of 20010102 do not match its seal")) << outcome.reason.toStdString();
    EXPECT_EQ(outcome.category, ErrorCategory::CorruptFile);
    EXPECT_EQ(outcome.deletedDays, std::vector<QString>{"20010101"});
    EXPECT_EQ(count(), "3");
    EXPECT_FALSE(QFile::exists(daily + "/log_20010102.log"));

    // Forced: deleted, and the manifest says so. The viewer's request
    // never forces.
    outcome = service().archive({.AppID = app, .ArchiveDate = "20010105", .ToFile = true, .DelRecord = true,
                                 .MultiFile = true, .FilePrefix = "log_", .Filename = daily, .Force = true},
                                layout);
    ASSERT_TRUE(outcome.ok) << outcome.reason.toStdString();
    EXPECT_EQ(outcome.forcedDays, std::vector<QString>{"20010102"});
    EXPECT_EQ(count(), "1");
    command::ArchiveVerification v = command::VerifyArchive(daily, seed);
    ASSERT_TRUE(v.ok());
    ASSERT_EQ(v.findings.size(), 3u);
    for (const auto& f : v.findings) {
        EXPECT_TRUE(f.sealed && f.macChecked) << f.day.toStdString();
        EXPECT_EQ(f.forced, f.day == "20010102") << f.day.toStdString();
    }
    // A seal in the manifest that its epoch's key did not make is found.
    v = command::VerifyArchive(daily, QByteArray(32, 'x'));
    EXPECT_FALSE(v.ok());
    EXPECT_TRUE(v.findings[0].problem.contains("MAC")) << v.findings[0].problem.toStdString();
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
    // No DSN: nothing touched; the service shows nothing, the viewer tells
    // the operator.
    const ArchiveRequest noSource{.AppID = app, .ArchiveDate = "20010105", .DelRecord = true};
    LogService none;
    EXPECT_FALSE(none.archive(noSource, {}).ok);
    EXPECT_TRUE(messages.texts().isEmpty());
    ViewerAdapter noneViewer;
    const ArchiveOutcome told = noneViewer.ArchiveLog(noSource);
    EXPECT_FALSE(told.ok);
    EXPECT_TRUE(told.reported);
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

TEST_P(ArchiveDb, RepeatedRunsAppendSoEveryRowEndsUpOnce)
{
    // Between two runs with deletion, rows arrive for days already archived
    // (a workstation whose clock is behind): they join their day's lines,
    // and the lines of the first run stay.
    for (const bool daily : {true, false}) {
        SCOPED_TRACE(daily ? "daily files" : "one file");
        refill();
        const QString target = dir.path() + (daily ? QStringLiteral("/runs") : QStringLiteral("/runs.log"));
        QDir().mkpath(daily ? target : dir.path());
        ASSERT_TRUE(archive("20010105", ToFile | Delete | (daily ? Daily : 0), target)) << outcome.reason.toStdString();
        insert("20010102", "230000", "WS09", "LATE", "LOGIN", "late row");
        insert("20010101", "000001", "WS01", "JOHN", "LOGIN", "day one early");
        ASSERT_TRUE(archive("20010105", ToFile | Delete | (daily ? Daily : 0), target)) << outcome.reason.toStdString();
        const std::map<QString, int> expected = {
            {"20010101|WS01|day one late", 1}, {"20010101|WS01|day one early", 2},
            {QStringLiteral("20010102|WS02|打印 發票"), 1}, {"20010102|WS09|late row", 1},
            {"20010105|WS03|cut-off day", 1}, {"20010106|WS03|after the cut-off", 1}};
        EXPECT_EQ(everywhere(target), expected);
        EXPECT_EQ(count(), "1");
    }
}

TEST_P(ArchiveDb, TargetsOtherThanPlainFilesAreRefused)
{
    const QString victim = dir.path() + QStringLiteral("/victim.txt");
    QFile v(victim);
    ASSERT_TRUE(v.open(QIODevice::WriteOnly));
    v.write("precious\n");
    v.close();
    const QString planted = dir.path() + QStringLiteral("/shared");
    QDir().mkpath(planted);
    ASSERT_TRUE(QFile::link(victim, planted + QStringLiteral("/log_20010101.log")));
    const QString link = dir.path() + QStringLiteral("/link.log");
    ASSERT_TRUE(QFile::link(victim, link));
    const QString fifo = dir.path() + QStringLiteral("/fifo.log");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString folder = dir.path() + QStringLiteral("/folder.log");
    QDir().mkpath(folder);
    // A file another archive run is writing.
    const QString busy = dir.path() + QStringLiteral("/busy.log");
    QFile held(busy);
    ASSERT_TRUE(held.open(QIODevice::WriteOnly));
    ASSERT_EQ(flock(held.handle(), LOCK_EX), 0);
    std::vector<std::pair<QString, bool>> targets = {
        {planted, true}, {link, false}, {fifo, false}, {folder, false}, {busy, false}};
    // A file another user planted (root can make one here).
    const QString planter = dir.path() + QStringLiteral("/planted.log");
    if (geteuid() == 0) {
        QFile p(planter);
        ASSERT_TRUE(p.open(QIODevice::WriteOnly));
        p.close();
        ASSERT_EQ(chown(QFile::encodeName(planter).constData(), 65534, 65534), 0);
        targets.push_back({planter, false});
    }
    if (!isPostgres())  // the database's own files
        for (const char* f : {"/log.sqlite", "/log.sqlite-wal"})
            if (QFileInfo::exists(dir.path() + f))
                targets.push_back({dir.path() + f, false});
    for (const auto& [target, daily] : targets) {
        refill();
        EXPECT_FALSE(archive("20010105", ToFile | Delete | (daily ? Daily : 0), target)) << target.toStdString();
        EXPECT_FALSE(outcome.reason.isEmpty());
        // A refused daily file skips its day alone; a refused --file, the run.
        EXPECT_EQ(count(), daily ? "3" : "5") << target.toStdString();
    }
    refill();
    ASSERT_TRUE(v.open(QIODevice::ReadOnly));
    EXPECT_EQ(v.readAll(), "precious\n");

    // What a run makes is its owner's alone.
    const QString fresh = dir.path() + QStringLiteral("/fresh");
    QDir().mkpath(fresh);
    ASSERT_TRUE(archive("20010105", ToFile | Daily, fresh));
    ASSERT_TRUE(archive("20010105", ToFile, fresh + QStringLiteral(".log")));
    QStringList made = {fresh + QStringLiteral(".log"), fresh + QStringLiteral(".log.manifest")};
    for (const QString& f : QDir(fresh).entryList(QDir::Files))
        made << fresh + "/" + f;
    ASSERT_EQ(made.size(), 6);
    for (const QString& f : made) {
        struct stat st {};
        ASSERT_EQ(stat(QFile::encodeName(f).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << f.toStdString();
    }

    // A stored date that is no date makes no path: with an empty prefix
    // "../a0001" would climb out of the directory.
    insert("../a0001", "000000", "WS01", "JOHN", "LOGIN", "climber");
    const QString inner = dir.path() + QStringLiteral("/inner");
    QDir().mkpath(inner);
    EXPECT_FALSE(archive("20010105", ToFile | Delete | Daily, inner, QStringLiteral("")));
    EXPECT_TRUE(outcome.reason.contains(QStringLiteral("../a0001"))) << outcome.reason.toStdString();
    EXPECT_FALSE(QFileInfo::exists(dir.path() + QStringLiteral("/a0001.log")));
    // Its day stays; the days after it are archived.
    EXPECT_EQ(count(), "2");
}

TEST_P(ArchiveDb, AFailedDaySkipsOrStopsTheRun)
{
    // Day two fails: its file cannot be made (that day is skipped, the run
    // goes on, with deletion or without), or the database refuses to delete
    // its rows after they were written (the run stops).
    const QString refuse = QStringLiteral("tq_refuse_") + app.toLower();
    struct Case {
        const char* name;
        bool refusedDelete, deleting;
    };
    for (const Case c : {Case{"file refused", false, true}, Case{"delete refused", true, true},
                         Case{"file refused, keeping rows", false, false}}) {
        SCOPED_TRACE(c.name);
        const bool refusedDelete = c.refusedDelete;
        refill();
        const QString daily = dir.path() + QStringLiteral("/d") + QString::number(refusedDelete * 2 + c.deleting);
        QDir().mkpath(daily);
        if (!refusedDelete) {
            QDir().mkpath(daily + QStringLiteral("/log_20010102.log"));
        } else if (isPostgres()) {
            raw().execute(QStringLiteral("CREATE FUNCTION %1() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN IF "
                                         "old.log_Date = '20010102' THEN RAISE EXCEPTION 'refused'; END IF; RETURN old; "
                                         "END $$")
                              .arg(refuse));
            raw().execute(QStringLiteral("CREATE TRIGGER %1 BEFORE DELETE ON %2 FOR EACH ROW EXECUTE FUNCTION %1()")
                              .arg(refuse, table));
        } else {
            raw().execute(QStringLiteral("CREATE TRIGGER %1 BEFORE DELETE ON %2 WHEN old.log_Date = '20010102' "
                                         "BEGIN SELECT RAISE(ABORT, 'refused'); END")
                              .arg(refuse, table));
        }
        EXPECT_FALSE(archive("20010105", ToFile | (c.deleting ? Delete : 0) | Daily, daily));
        const QString why = outcome.reason;
        EXPECT_TRUE(why.contains(refusedDelete ? QStringLiteral("1 day (20010101)")
                                 : c.deleting  ? QStringLiteral("1 day skipped, still in the table: 20010102 (")
                                               : QStringLiteral("1 day skipped, not archived: 20010102 (")))
            << why.toStdString();
        EXPECT_EQ(why.contains(QStringLiteral("later days are still in the table")), refusedDelete)
            << why.toStdString();
        EXPECT_EQ(outcome.fromDatabase, refusedDelete);
        EXPECT_EQ(lines(daily + QStringLiteral("/log_20010101.log")).size(), 2);
        EXPECT_EQ(QFileInfo::exists(daily + QStringLiteral("/log_20010105.log")), !refusedDelete);
        EXPECT_EQ(count(), !c.deleting ? "5" : refusedDelete ? "3" : "2");
        // Day two's lines went back out with its failed delete.
        if (refusedDelete) {
            EXPECT_TRUE(lines(daily + QStringLiteral("/log_20010102.log")).isEmpty());
        }
        EXPECT_EQ(everywhere(daily).size(), 5u);
        if (refusedDelete)
            raw().execute(isPostgres() ? QStringLiteral("DROP FUNCTION %1() CASCADE").arg(refuse)
                                       : QStringLiteral("DROP TRIGGER ") + refuse);
    }
}

TEST_P(ArchiveDb, ALaterDaysFailureKeepsTheCommittedDaysLines)
{
    // The last day's date makes no file name; the day before it committed.
    for (const int mode : {int(ToFile | Delete | Daily), int(ToFile | Delete)}) {
        SCOPED_TRACE(mode);
        refill();
        insert("2001010:", "080000", "WS04", "BAD", "LOGIN", "malformed date");
        const QString target = dir.path() + QStringLiteral("/late%1").arg(mode);
        if (mode & Daily)
            QDir().mkpath(target);
        const bool ok = archive("20011231", mode, target);
        const QString last = (mode & Daily) ? target + QStringLiteral("/log_20010106.log") : target;
        EXPECT_EQ(lines(last).filter(QStringLiteral("after the cut-off")).size(), 1);
        if (mode & Daily) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(count(), "1");
        }
        for (const auto& [record, n] : everywhere(target))
            EXPECT_EQ(n, 1) << record.toStdString();
        EXPECT_EQ(everywhere(target).size(), 6u);
    }
}

TEST_P(ArchiveDb, ANoteOfAPendingDayNeverCostsALine)
{
    // What an earlier run may have left beside the file: a note cut short
    // (it was cut before its day's lines began), a note naming lines whose
    // rows are gone (their delete committed), and a file that is no note.
    const QString earlier = BuildLogLine({"20010101", "000001", app, "WS01", "JOHN", "LOGIN", "archived earlier"},
                                         LineLayout{}) + "\r\n";
    const struct {
        const char* name;
        QByteArray note;
        bool ok;
    } cases[] = {
        {"cut short", "tallyquill archive pending\nday 3230", true},
        {"rows gone", "tallyquill archive pending\nday 3230303130313031\nfrom 0\nhidden 0\nend\n", true},
        {"no note", "something else\nend\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        refill();
        const QString path = dir.path() + QStringLiteral("/noted_") + QString::fromLatin1(c.name).left(2) + ".log";
        QFile file(path), note(path + ".pending");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && note.open(QIODevice::WriteOnly));
        file.write(earlier.toUtf8());
        note.write(c.note);
        file.close();
        note.close();
        EXPECT_EQ(archive("20010105", ToFile | Delete, path), c.ok) << outcome.reason.toStdString();
        const QStringList l = lines(path);
        ASSERT_FALSE(l.isEmpty());
        EXPECT_TRUE(l[0].endsWith(" archived earlier"));
        EXPECT_EQ(l.size(), c.ok ? 5 : 1);
        EXPECT_EQ(count(), c.ok ? "1" : "5");
        EXPECT_EQ(QFile::exists(path + ".pending"), !c.ok);
        if (!c.ok)
            EXPECT_TRUE(outcome.reason.contains(path + ".pending")) << outcome.reason.toStdString();
    }
}

TEST_P(ArchiveDb, ValuesLongerThanTheColumnAreArchivedWhole)
{
    // Only SQLite stores a value over the column's size; PostgreSQL is given
    // a wider column to do the same.
    if (isPostgres())
        raw().execute(QStringLiteral("ALTER TABLE ") + table + QStringLiteral(" ALTER COLUMN log_Data TYPE varchar(4000)"));
    raw().execute(QStringLiteral("DELETE FROM ") + table);
    insert("20010101", "100000", "WS01", "JOHN", "LOGIN", "first day");
    // Enough lines of day two before the long value that some reach the
    // file first.
    insert("20010102", "000000", "WS01", "JOHN", "LOGIN", "filler");
    for (int i = 0; i < 12; ++i)
        raw().execute(QStringLiteral("INSERT INTO ") + table + QStringLiteral(" SELECT * FROM ") + table
                      + QStringLiteral(" WHERE log_Data = 'filler'"));
    const QString longText = QString(1200, QLatin1Char('x')) + QString(300, QChar(u'长')) + QStringLiteral(" end");
    insert("20010102", "120000", "WS01", "JOHN", "LOGIN", longText);
    insert("20010102", "130000", "WS01", "JOHN", "LOGIN", "after the long one");
    insert("20010103", "100000", "WS01", "JOHN", "LOGIN", "third day");
    const QString longLine = BuildLogLine({"20010102", "120000", app, "WS01", "JOHN", "LOGIN", longText});
    struct Mode {
        const char* name;
        bool del, daily;
    };
    for (const Mode m : {Mode{"one file", false, false}, Mode{"daily", false, true}, Mode{"daily, deleting", true, true}}) {
        SCOPED_TRACE(m.name);
        const QString target = dir.path() + QStringLiteral("/long_") + QString::number(m.del * 2 + m.daily)
                               + (m.daily ? QString() : QStringLiteral(".log"));
        if (m.daily)
            QDir().mkpath(target);
        ASSERT_TRUE(archive("20010103", ToFile | (m.del ? Delete : 0) | (m.daily ? Daily : 0), target)) << outcome.reason.toStdString();
        QStringList all;
        if (m.daily) {
            EXPECT_EQ(lines(target + "/log_20010101.log").size(), 1);
            EXPECT_EQ(lines(target + "/log_20010102.log").size(), 4098);
            EXPECT_EQ(lines(target + "/log_20010103.log").size(), 1);
            for (const char* d : {"20010101", "20010102", "20010103"})
                all += lines(target + "/log_" + d + ".log");
        } else {
            all = lines(target);
        }
        ASSERT_EQ(all.size(), 4100);
        EXPECT_EQ(all.count(longLine), 1);
        EXPECT_EQ(all.indexOf(longLine), 4097);
        EXPECT_TRUE(all[4098].endsWith(" after the long one"));
    }
    EXPECT_EQ(count(), "0");
}

// The archive shares the viewer's connection: a retrieval left open neither
// locks a SQLite file without WAL against the deletion nor loses its rest,
// which the screen still pages and prints.
TEST_P(ArchiveDb, RetrieveThenArchiveWithDeleteThenPrint)
{
    struct Source {
        const char* name;
        bool noWal;  // the same SQLite file with a rollback journal
    };
    const std::vector<Source> sources =
        isPostgres() ? std::vector<Source>{{"server", false}} : std::vector<Source>{{"WAL", false}, {"no WAL", true}};
    for (const Source& source : sources) {
        SCOPED_TRACE(source.name);
        if (source.noWal) {
            service().disconnect();
            ASSERT_EQ(scalar(QStringLiteral("PRAGMA journal_mode=DELETE")), "delete");
            const QString plain = QString::fromStdString(dsn) + QStringLiteral("_nowal");
            odbc::writeUserDsn(plain, QStringLiteral("SQLite3"),
                               {{"Database", dir.path() + "/log.sqlite"},
                                {"StepAPI", "1"},
                                {"JournalMode", "DELETE"},
                                {"Timeout", "100"}});
            service().source.dsn = plain;
        }
        refill();
        fill(20);
        const Retrieval r = retrieve({.EndDate = "20011231"});
        ASSERT_EQ(r.total, 25);
        const QString archived = dir.path() + "/archived_" + QString::number(source.noWal) + ".log";
        ASSERT_TRUE(archive("20010105", ToFile | Delete, archived)) << outcome.reason.toStdString();
        EXPECT_EQ(lines(archived).size(), 24);
        EXPECT_EQ(count(), "1");
        EXPECT_EQ(tqtest::Activities(more()).value(0), "r11");
        const QString printed = dir.path() + "/printed.log";
        LogFile file(printed);
        service().printRest(file, 25, 20, {});
        file.close();
        const QStringList rest = lines(printed);
        ASSERT_EQ(rest.size(), 5);
        EXPECT_TRUE(rest[4].endsWith(" after the cut-off"));
    }
}

TEST_P(ArchiveDb, ConcurrentWritersLoseNothing)
{
    // Four writers keep adding rows dated today while an archive with
    // deletion goes through sixty earlier days and today, one day per
    // transaction: no writer may fail for waiting on it, and each row must
    // end up archived once or still in the table.
    raw().execute(QStringLiteral("DELETE FROM ") + table);
    const QDate today = QDate::currentDate();
    constexpr int kDays = 60, kPerDay = 32;
    for (int d = kDays; d >= 1; --d)
        insert(today.addDays(-d).toString(QStringLiteral("yyyyMMdd")), "120000", "SEED", "JOHN", "LOGIN", "seed");
    for (int n = 1; n < kPerDay; n *= 2)
        raw().execute(QStringLiteral("INSERT INTO ") + table + QStringLiteral(" SELECT * FROM ") + table);
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
    for (int tries = 0; tries < 200 && count().toInt() < kDays * kPerDay + 200; ++tries)
        QThread::msleep(10);
    const QString daily = dir.path() + QStringLiteral("/today");
    QDir().mkpath(daily);
    QProcess archiver;
    archiver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    archiver.start(bin + "/../tool/tallyquill",
                   {"archive", "--dsn", QString::fromStdString(dsn), "--app", app, "--until",
                    today.addDays(1).toString(Qt::ISODate), "--daily", daily, "--prefix", "c_", "--delete"});
    ASSERT_TRUE(archiver.waitForFinished(120000));
    for (auto& p : writers) {
        ASSERT_TRUE(p->waitForFinished(240000));
        EXPECT_EQ(p->exitCode(), 0);
    }
    EXPECT_EQ(archiver.exitCode(), 0);

    const std::map<QString, int> seen = everywhere(daily);
    EXPECT_EQ(seen.size(), size_t(kDays + kWriters * kRows));
    for (const auto& [key, times] : seen)
        ASSERT_EQ(times, key.contains(QStringLiteral("|SEED|")) ? kPerDay : 1) << key.toStdString();
    EXPECT_GE(QDir(daily).entryList(QDir::Files).size(), kDays);
}

TQ_INSTANTIATE_DB_TESTS(ArchiveDb);

} // namespace
