// A server process that stops answering in the middle of a run (SIGSTOP):
// the run ends within the statement timeout plus the watchdog's grace, with
// the reason, and nothing is lost or doubled once the server is back.

#include "SpoolFixture.h"
#include "ViewerFixture.h"

#include "spool/SpoolDelivery.h"
#include "spool/SpoolFile.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <iostream>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A data source on the test server with 1 s limits and a cursor that reads
// 100 rows per round trip, named in pg_stat_activity by its own name.
std::string frozenSource(const std::string& dsn, const char* prefix, int queryTimeout = 1)
{
    const std::string d = prefix + std::to_string(getpid());
    tallyquill::odbc::writeUserDsn(
        QString::fromStdString(d), tqtest::dsnSetting(dsn, "Driver"),
        {{"Servername", tqtest::dsnSetting(dsn, "Servername")}, {"Port", tqtest::dsnSetting(dsn, "Port")},
         {"Database", tqtest::dsnSetting(dsn, "Database")}, {"Username", tqtest::dsnSetting(dsn, "Username")},
         {"pqopt", QString::fromStdString("application_name=" + d)}, {"UseDeclareFetch", "1"}, {"Fetch", "100"},
         {"LoginTimeout", "1"}, {"QueryTimeout", QString::number(queryTimeout)}});
    return d;
}

constexpr int kQueryTimeout = 1, kGrace = 2;

// Stops a server process; it goes on when this goes out of scope, whatever
// the test did meanwhile.
class Frozen {
public:
    explicit Frozen(const QString& pid) : pid_(pid.toInt())
    {
        EXPECT_GT(pid_, 0) << "no server process for the data source";
        if (pid_ > 0)
            EXPECT_EQ(kill(pid_, SIGSTOP), 0);
    }
    ~Frozen() { thaw(); }
    void thaw()
    {
        if (pid_ > 0)
            kill(pid_, SIGCONT);
        pid_ = 0;
    }

private:
    pid_t pid_;
};

// The answer of `call` and how long it took; after 30 s the test fails and
// `release` lets the call go.
template <class T>
std::pair<T, double> timed(const std::function<T()>& call, const std::function<void()>& release)
{
    const auto start = Clock::now();
    auto answer = std::async(std::launch::async, call);
    if (answer.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        ADD_FAILURE() << "still waiting after 30 s";
        release();
    }
    T value = answer.get();
    return {std::move(value), std::chrono::duration<double>(Clock::now() - start).count()};
}

QString backendQuery(const std::string& source)
{
    return QStringLiteral("SELECT pid FROM pg_stat_activity WHERE application_name = '")
           + QString::fromStdString(source) + QStringLiteral("'");
}

// The server's postmaster: the parent of one of its processes.
QString postmasterOf(const QString& backend)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(backend));
    if (!status.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("PPid:"))
            return QString::fromLatin1(line.mid(5).trimmed());
    return {};
}

class FrozenArchive : public tqtest::ViewerDb {};

TEST_P(FrozenArchive, ReadFailsWithinTheTimeoutAndDeletesNothing)
{
    if (!isPostgres())
        GTEST_SKIP() << "needs a server to stop";
    constexpr int kRows = 2000;
    raw().execute(QStringLiteral("INSERT INTO ") + table
                  + QStringLiteral(" (log_AppID, log_WsID, log_Date, log_Time, log_User, log_EventType, log_Data) "
                                   "SELECT '%1', 'WS01', '19980601', lpad(g::text, 6, '0'), 'JOHN', 'LOGIN', "
                                   "'r' || g FROM generate_series(1, %2) g")
                        .arg(app)
                        .arg(kRows));
    const std::string source = frozenSource(dsn, "tqfreeza");
    std::unique_ptr<Frozen> frozen;
    // The first block of rows is in: the rest of the read needs the server.
    auto freeze = [&](int64_t) {
        if (!frozen)
            frozen = std::make_unique<Frozen>(scalar(backendQuery(source)));
    };
    const QString file = dir.path() + QStringLiteral("/frozen.txt");
    const auto [outcome, seconds] = timed<tallyquill::ArchiveOutcome>(
        [&] {
            tallyquill::LogService v;
            v.source.dsn = QString::fromStdString(source);
            return v.archive({.AppID = app, .ArchiveDate = "19981231", .ToFile = true, .DelRecord = true,
                              .Filename = file, .progress = freeze},
                             {});
        },
        [&] { frozen->thaw(); });
    ASSERT_TRUE(frozen) << outcome.reason.toStdString();
    frozen->thaw();
    std::cout << "archive read failed after " << seconds << " s (limit " << kQueryTimeout << " s + " << kGrace
              << " s grace)\n";
    EXPECT_FALSE(outcome.ok);
    EXPECT_TRUE(outcome.fromDatabase);
    EXPECT_TRUE(outcome.reason.contains("did not answer within") && outcome.reason.contains("not known"))
        << outcome.reason.toStdString();
    EXPECT_EQ(outcome.deleted, 0);
    EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(*) FROM ") + table), QString::number(kRows));
}

class FrozenDelivery : public tqtest::SpoolDb {};

TEST_P(FrozenDelivery, FailsWithinTheTimeoutThenDeliversEveryRecordOnce)
{
    if (!isPostgres())
        GTEST_SKIP() << "needs a server to stop";
    namespace spool = tallyquill::spool;
    constexpr int kRecords = 1200;  // three batches
    const std::string source = frozenSource(dsn, "tqfreezd");
    auto f = spool::SpoolFile::open(dir.path(), {QString::fromStdString(source), table, ""});
    for (int i = 0; i < kRecords; ++i)
        f->append(spool::EncodeRecord({"T", "WS", "20010203", "040506", "U", "E", QStringLiteral("r %1").arg(i)}),
                  uint64_t(1) << 30);
    f->sync();
    spool::Deliverer d(QString::fromStdString(source));
    ASSERT_EQ(d.deliverBatch(*f), spool::kBatchRows);
    // Between two batches, on the connection the deliverer keeps.
    Frozen frozen(scalar(backendQuery(source)));
    const auto [text, seconds] = timed<QString>(
        [&] {
            try {
                return QStringLiteral("delivered %1").arg(d.deliverBatch(*f));
            } catch (const tallyquill::DatabaseError& e) {
                return QString::fromUtf8(e.what());
            }
        },
        [&] { frozen.thaw(); });
    frozen.thaw();
    std::cout << "delivery failed after " << seconds << " s (limit " << kQueryTimeout << " s + " << kGrace
              << " s grace)\n";
    EXPECT_TRUE(text.contains("did not answer within")) << text.toStdString();
    // The next round connects again and reads the database's mark first.
    size_t delivered = spool::kBatchRows;
    while (size_t n = d.deliverBatch(*f))
        delivered += n;
    EXPECT_EQ(delivered, size_t(kRecords));
    const QString count = QStringLiteral("SELECT COUNT(*) FROM ") + table;
    EXPECT_EQ(scalar(count), QString::number(kRecords));
    EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(DISTINCT log_Data) FROM ") + table), QString::number(kRecords));
}

class FrozenCount : public tqtest::ViewerDb {};

// A count at a server that cannot take its cancel (the postmaster stopped
// while the count waits at a lock) holds neither the next retrieval nor the
// closing of the screen, and a count given up tells nothing, then or later.
TEST_P(FrozenCount, HoldsNeitherTheNextRetrievalNorTheClosing)
{
    if (!isPostgres())
        GTEST_SKIP() << "SQLite's cancel waits for no server";
    // Longer than the run: the count is held by the lock only.
    const std::string source = frozenSource(dsn, "tqfreezc", 20);
    const QString other = QString::fromStdString(newAppId());
    raw().execute(tallyquill::CreateTableSql(tallyquill::TableName(other)));
    fill(25);
    raw().execute(QStringLiteral("INSERT INTO ") + tallyquill::TableName(other) + QStringLiteral(" SELECT * FROM ")
                  + table);
    const QString waiting = backendQuery(source) + QStringLiteral(" AND wait_event_type = 'Lock'");
    tallyquill::odbc::Connection locker;
    locker.open(QString::fromStdString(dsn), {}, {});
    for (const bool closing : {false, true}) {
        SCOPED_TRACE(closing ? "closing" : "next retrieval");
        std::mutex toldLock;
        std::vector<uint64_t> told;
        std::promise<void> locked;
        auto v = std::make_unique<tallyquill::LogService>();
        v->source = {QString::fromStdString(source), {}, {}, app};
        v->countCap = 12;
        v->onCounted = [&](const tallyquill::CountOutcome& o) {
            std::lock_guard guard(toldLock);
            told.push_back(o.retrieval);
        };
        v->countStarting = [f = locked.get_future().share()] { f.wait(); };
        const tallyquill::Retrieval r = v->retrieve({.StartDate = "19980101", .EndDate = "19981231", .AppID = app});
        ASSERT_TRUE(r.ok && r.counting) << r.reason.toStdString();
        while (v->more().records.size() == 10) {
        }  // read to its end: the lock waits for no open cursor
        auto lock = std::make_unique<tallyquill::odbc::Transaction>(locker);
        locker.execute(QStringLiteral("LOCK TABLE ") + table + QStringLiteral(" IN ACCESS EXCLUSIVE MODE"));
        locked.set_value();
        for (int i = 0; i < 1000 && scalar(waiting).isEmpty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const QString counting = scalar(waiting);
        ASSERT_FALSE(counting.isEmpty()) << "the count never reached the lock";
        Frozen postmaster(postmasterOf(counting));
        tallyquill::Retrieval next;
        const auto [done, seconds] = timed<bool>(
            [&] {
                if (closing)
                    v.reset();
                else
                    next = v->retrieve({.StartDate = "19980101", .EndDate = "19981231", .AppID = other});
                return true;
            },
            [&] { postmaster.thaw(); });
        std::cout << (closing ? "closed" : "retrieved") << " after " << seconds << " s\n";
        EXPECT_LT(seconds, 10) << "waited for the server's answer";
        postmaster.thaw();
        if (!closing) {
            EXPECT_TRUE(next.ok && next.counting) << next.reason.toStdString();
            EXPECT_EQ(v->finishCount(), 25) << "the next count waits for the first one's end";
            v.reset();
        }
        lock.reset();
        // Its thread has ended when its connection has closed.
        for (int i = 0; i < 1000 && !scalar(backendQuery(source)).isEmpty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(scalar(backendQuery(source)).isEmpty()) << "a count's connection outlived its end";
        std::lock_guard guard(toldLock);
        EXPECT_EQ(std::count(told.begin(), told.end(), r.id), 0) << "a count given up was told";
    }
}

TQ_INSTANTIATE_DB_TESTS(FrozenArchive);
TQ_INSTANTIATE_DB_TESTS(FrozenCount);
TQ_INSTANTIATE_DB_TESTS(FrozenDelivery);

} // namespace
