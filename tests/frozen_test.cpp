// A server process that stops answering in the middle of a run (SIGSTOP):
// the run ends within the statement timeout plus the watchdog's grace, with
// the reason, and nothing is lost or doubled once the server is back.

#include "SpoolFixture.h"
#include "ViewerFixture.h"

#include "spool/SpoolDelivery.h"
#include "spool/SpoolFile.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <iostream>

namespace {

using Clock = std::chrono::steady_clock;

// A data source on the test server with 1 s limits and a cursor that reads
// 100 rows per round trip, named in pg_stat_activity by its own name.
std::string frozenSource(const std::string& dsn, const char* prefix)
{
    const std::string d = prefix + std::to_string(getpid());
    tallyquill::odbc::writeUserDsn(
        QString::fromStdString(d), tqtest::dsnSetting(dsn, "Driver"),
        {{"Servername", tqtest::dsnSetting(dsn, "Servername")}, {"Port", tqtest::dsnSetting(dsn, "Port")},
         {"Database", tqtest::dsnSetting(dsn, "Database")}, {"Username", tqtest::dsnSetting(dsn, "Username")},
         {"pqopt", QString::fromStdString("application_name=" + d)}, {"UseDeclareFetch", "1"}, {"Fetch", "100"},
         {"LoginTimeout", "1"}, {"QueryTimeout", "1"}});
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

TQ_INSTANTIATE_DB_TESTS(FrozenArchive);
TQ_INSTANTIATE_DB_TESTS(FrozenDelivery);

} // namespace
