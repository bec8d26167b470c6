// The spooled writer: its file after a killed writer, several host processes
// on one spool, a locked database, a commit whose answer is lost, the
// settings and the command.

#include "SpoolFixture.h"

#include "localize/clsLocalize.h"

#include "core/LogRecord.h"
#include "core/LogTable.h"
#include "spool/Spool.h"
#include "spool/SpoolDelivery.h"
#include "spool/SpoolFile.h"
#include "msgbox/MessageBox.h"
#include "odbc/Odbc.h"
#include "tallyquill/msg_logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <odbcinst.h>

#include <atomic>
#include <map>
#include <set>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using tallyquill::MsgLogger;
using tqtest::SpoolDb;
namespace spool = tallyquill::spool;

spool::Record record(int i)
{
    return {"T", "WS", "20010203", "040506", "U", "E", QStringLiteral("r%1 张").arg(i)};
}

TEST(SpoolFile, TornTailIsCutAndLaterRecordsFollowTheWholeOnes)
{
    // The checksum is CRC-32C, whichever way the machine computes it, so a
    // spool stays readable on another machine.
    EXPECT_EQ(spool::Crc32c("123456789", 9), 0xE3069283u);
    QTemporaryDir dir;
    const QByteArray next = spool::EncodeRecord(record(3));
    QByteArray pastEnd = next.left(8);
    pastEnd[3] = char(0x7f);  // a length far beyond the file
    // What a writer killed in the middle of its record may leave.
    const std::vector<std::pair<const char*, QByteArray>> tails = {
        {"half a length", next.left(2)},   {"length and checksum only", next.left(8)},
        {"half a record", next.left(next.size() / 2)},
        {"zeros", QByteArray(4096, '\0')}, {"length past the end", pastEnd},
    };
    int n = 0;
    for (const auto& [name, tail] : tails) {
        SCOPED_TRACE(name);
        const QString sub = dir.path() + QStringLiteral("/%1").arg(++n);
        ASSERT_TRUE(QDir().mkpath(sub));
        const spool::SpoolFile::Identity id{"dsn", "T_logs", ""};
        auto first = spool::SpoolFile::open(sub, id);
        for (int i = 0; i < 3; ++i)
            first->append(spool::EncodeRecord(record(i)), 1 << 20);
        QFile raw(first->path());
        ASSERT_TRUE(raw.open(QIODevice::Append));
        raw.write(tail);
        raw.close();

        auto second = spool::SpoolFile::open(sub, id);  // as another process would
        EXPECT_EQ(second->pending().records, 3);
        second->append(spool::EncodeRecord(record(4)), 1 << 20);
        const auto batch = first->read(first->delivered(), 10);
        ASSERT_EQ(batch.size(), 4u);
        EXPECT_EQ(batch.record(2).data, QStringLiteral("r2 张"));
        EXPECT_EQ(batch.record(3).data, QStringLiteral("r4 张"));
        EXPECT_EQ(QFileInfo(first->path()).size(), qint64(batch.end));
    }
}

TEST(SpoolFile, DamageBeforeLaterRecordsIsKeptNotCutOrRemoved)
{
    QTemporaryDir dir;
    // A flipped bit in the first, a middle, the last-but-one and the last
    // record: they and the records behind them were acknowledged and must
    // stay in the file.
    int n = 0;
    for (const int damaged : {0, 4, 8, 9}) {
        SCOPED_TRACE(damaged);
        const QString sub = dir.path() + QStringLiteral("/%1").arg(++n);
        ASSERT_TRUE(QDir().mkpath(sub));
        const spool::SpoolFile::Identity id{"dsn", "T_logs", ""};
        auto first = spool::SpoolFile::open(sub, id);
        qint64 at = 0;
        for (int i = 0; i < 10; ++i) {
            if (i == damaged)
                at = QFileInfo(first->path()).size();
            first->append(spool::EncodeRecord(record(i)), 1 << 20);
        }
        QFile raw(first->path());
        ASSERT_TRUE(raw.open(QIODevice::ReadWrite));
        raw.seek(at + 12);
        const char byte = raw.read(1)[0];
        raw.seek(at + 12);
        raw.write(QByteArray(1, char(byte ^ 4)));
        raw.close();
        const qint64 size = QFileInfo(first->path()).size();

        auto second = spool::SpoolFile::open(sub, id);  // as another process would
        second->append(spool::EncodeRecord(record(10)), 1 << 20);
        EXPECT_GE(QFileInfo(first->path()).size(), size);
        const auto counts = second->pending();
        EXPECT_EQ(counts.records, 10);  // every undamaged one, across the damage
        EXPECT_GT(counts.damaged, 0u);
        second.reset();
        EXPECT_FALSE(first->removeIfDone());
        EXPECT_TRUE(QFileInfo::exists(first->path()));
    }
}

// Ten records in the spool of `t` in this test's state directory, with one
// payload byte of record `damaged` (if any) flipped.
void spoolTen(const std::string& dsn, const QString& t, int damaged, const QString& poison = {})
{
    auto f = spool::SpoolFile::open(spool::EnsureSpoolDirectory(), {QString::fromStdString(dsn), t, {}});
    qint64 at = 0;
    for (int i = 0; i < 10; ++i) {
        if (i == damaged)
            at = QFileInfo(f->path()).size();
        spool::Record r = record(i);
        if (i == 5 && !poison.isEmpty())
            r.data = poison;
        f->append(spool::EncodeRecord(r), 1 << 20);
    }
    if (damaged < 0)
        return;
    QFile raw(f->path());
    ASSERT_TRUE(raw.open(QIODevice::ReadWrite));
    raw.seek(at + 12);
    const char byte = raw.read(1)[0];
    raw.seek(at + 12);
    raw.write(QByteArray(1, char(byte ^ 4)));
}

int lineCount(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? int(f.readAll().count('\n')) : 0;
}

TEST_P(SpoolDb, DamagedBytesAreSetAsideAndEveryOtherRecordDelivered)
{
    for (const int damaged : {0, 4, 8, 9}) {
        SCOPED_TRACE(damaged);
        const QString t = QString::fromStdString(newAppId()) + QStringLiteral("_logs");
        spoolTen(dsn, t, damaged);
        const Run flush = tool({"spool", "flush"});
        EXPECT_EQ(flush.code, 1) << flush.err.toStdString();
        EXPECT_TRUE(flush.err.contains(QLatin1String(".damaged"))) << flush.err.toStdString();
        const auto r = inserted(t);
        ASSERT_EQ(r.size(), 9u);
        for (int i = 0, row = 0; i < 10; ++i)
            if (i != damaged)
                EXPECT_EQ(r[size_t(row++)][0], QStringLiteral("r%1 张").arg(i));
        const QString side = spool::EnsureSpoolDirectory() + QLatin1Char('/')
                             + spool::SpoolFileName(QString::fromStdString(dsn), t).chopped(6)
                             + QStringLiteral(".damaged");
        EXPECT_EQ(lineCount(side), 1);
        QFile f(side);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_TRUE(f.readAll().contains("checksum")) << side.toStdString();
    }
}

TEST_P(SpoolDb, KilledAfterSettingAsideSetsNothingAsideTwice)
{
    // Killed once the side file is on disk, before the mark moves: the
    // next run meets the same bytes and must not list them again.
    for (const char* kind : {".rejected", ".damaged"}) {
        SCOPED_TRACE(kind);
        const bool refused = QLatin1String(kind) == QLatin1String(".rejected");
        const QString t = QString::fromStdString(newAppId()) + QStringLiteral("_logs");
        QString create = tallyquill::CreateTableSql(t);
        create.chop(1);
        raw().execute(create + QStringLiteral(", CONSTRAINT no_poison CHECK (log_Data <> 'poison'))"));
        spoolTen(dsn, t, refused ? -1 : 5, refused ? QStringLiteral("poison") : QString());
        EXPECT_EQ(tool({"spool", "flush"}, QStringLiteral("spool-aside-synced")).code, -1);
        const Run again = tool({"spool", "flush"});
        EXPECT_EQ(again.code, refused ? 0 : 1) << again.err.toStdString();
        const QString side = spool::EnsureSpoolDirectory() + QLatin1Char('/')
                             + spool::SpoolFileName(QString::fromStdString(dsn), t).chopped(6) + QLatin1String(kind);
        EXPECT_EQ(lineCount(side), 1);
        const auto r = inserted(t);
        EXPECT_EQ(r.size(), 9u);
        std::set<QString> seen;
        for (const auto& row : r)
            EXPECT_TRUE(seen.insert(row[0]).second) << row[0].toStdString();
    }
}

TEST_P(SpoolDb, DamagedHeaderIsNamedWithWhatToDo)
{
    if (isPostgres())
        GTEST_SKIP() << "needs no database";
    MsgLogger logger;
    logger.setSpooled(true);
    logger.setDSN("tq_no_such_dsn");
    logger.setAppID(app);
    logger.setWorkstationID("ws");
    ASSERT_EQ(logger.WriteLog("u", "e", "first"), 0);
    const QString path = spool::EnsureSpoolDirectory() + QLatin1Char('/')
                         + spool::SpoolFileName(QStringLiteral("tq_no_such_dsn"), table);
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        f.write("garbage garbage garbage");
    }
    tallyquill::MessageRecorder messages;
    MsgLogger next;  // another host
    next.setSpooled(true);
    next.setDSN("tq_no_such_dsn");
    next.setAppID(app + "X");  // a spool not yet open in this process
    next.setWorkstationID("ws");
    const QString other = spool::EnsureSpoolDirectory() + QLatin1Char('/')
                          + spool::SpoolFileName(QStringLiteral("tq_no_such_dsn"), QString::fromStdString(app)
                                                 + QStringLiteral("X_logs"));
    ASSERT_TRUE(QFile::copy(path, other));
    EXPECT_EQ(next.WriteLog("u", "e", "second"), 1);
    ASSERT_EQ(messages.texts().size(), 1);
    EXPECT_TRUE(messages.texts()[0].contains(other)) << messages.texts()[0].toStdString();
    EXPECT_TRUE(messages.texts()[0].contains(QLatin1String("move it aside"))) << messages.texts()[0].toStdString();
    // The box speaks the operator's language, the file still named.
    tallyquill::Localizer()->setLanguage(1);
    EXPECT_EQ(next.WriteLog("u", "e", "third"), 1);
    tallyquill::Localizer()->setLanguage(0);
    ASSERT_EQ(messages.texts().size(), 2);
    EXPECT_TRUE(messages.texts()[1].startsWith(u"缓存 "_qs + other + u" 已损坏"_qs)) << messages.texts()[1].toStdString();
    EXPECT_TRUE(messages.texts()[1].contains(u"请把它移到别处"_qs)) << messages.texts()[1].toStdString();
    EXPECT_EQ(messages.messages()[1].title, u"错误"_qs);
    const Run flush = tool({"spool", "flush", "--dsn", "tq_no_such_dsn", "--app", QString::fromStdString(app)});
    EXPECT_NE(flush.code, 0);
    EXPECT_TRUE(flush.err.contains(path)) << flush.err.toStdString();
}

TEST_P(SpoolDb, SeveralProcessesDeliverEveryRecordOnce)
{
    constexpr int kHosts = 4, kEach = 250;
    std::vector<std::unique_ptr<QProcess>> hosts;
    for (int h = 0; h < kHosts; ++h) {
        hosts.push_back(std::make_unique<QProcess>());
        startHost(*hosts.back(), dsn, app, QStringLiteral("W%1").arg(h), kEach, "exit");
    }
    for (auto& p : hosts) {
        ASSERT_TRUE(p->waitForFinished(180000));
        EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().toStdString();
    }
    // Whatever the hosts could not deliver on their way out.
    const Run flush = tool({"spool", "flush"});
    EXPECT_EQ(flush.code, 0) << flush.err.toStdString();
    const auto r = inserted(table);
    ASSERT_EQ(r.size(), size_t(kHosts * kEach));
    std::map<QString, int> next;
    for (const auto& row : r) {
        const QString host = row[0].section(QLatin1Char(' '), 0, 0);
        EXPECT_EQ(row[0].section(QLatin1Char(' '), 2).toInt(), next[host]++) << row[0].toStdString();
    }
    EXPECT_EQ(tool({"spool", "status"}).out.count(QLatin1Char('\n')), 1);
}

// While another deliverer holds the spool, this process's deliverer waits for
// the lock instead of asking for it over and over, and delivers the moment
// the holder lets go, whether it unlocks or is killed.
TEST_P(SpoolDb, WaitingDelivererDoesNotSpinAndDeliversWhenTheHolderLetsGo)
{
    for (const bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "holder killed" : "holder unlocks");
        const QString t = QString::fromStdString(newAppId()) + QStringLiteral("_logs");
        auto sp = spool::Spool::acquire({QString::fromStdString(dsn), t, {}, {}});
        const QString path = spool::SpoolDirectory() + QLatin1Char('/') + spool::SpoolFileName(QString::fromStdString(dsn), t);
        QProcess holder;
        std::unique_ptr<spool::SpoolFile> mine;
        if (killed) {
            holder.start(binary(QStringLiteral("spool_host")), {QStringLiteral("--hold-delivery"), path});
            ASSERT_TRUE(holder.waitForReadyRead(30000));
            ASSERT_EQ(holder.readAllStandardOutput().trimmed(), "locked");
        } else {
            mine = spool::SpoolFile::openExisting(path);
            ASSERT_TRUE(mine && mine->tryLockDelivery());
        }
        const int64_t before = sp->deliveryLockAttempts();
        for (int i = 0; i < 10; ++i)
            sp->append(record(i));
        // A flush sends the deliverer round while it waits; it must not ask again.
        EXPECT_FALSE(sp->flush(std::chrono::milliseconds(500)));
        EXPECT_LE(sp->deliveryLockAttempts() - before, 3);
        if (killed) {
            holder.kill();
            ASSERT_TRUE(holder.waitForFinished(30000));
        } else {
            mine->unlockDelivery();
        }
        EXPECT_TRUE(sp->flush(std::chrono::milliseconds(60000))) << sp->lastError().toStdString();
        const auto r = inserted(t);
        ASSERT_EQ(r.size(), 10u);
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(r[size_t(i)][0], record(i).data);
    }
}

// A deliverer that last delivered long ago goes on from the file's mark, not
// from its own, which may point into bytes that were given back since.
TEST_P(SpoolDb, DelivererGoesOnFromAMarkAnotherProcessMoved)
{
    if (isPostgres())
        GTEST_SKIP() << "the file's behaviour, the same on both";
    const QString d = spool::EnsureSpoolDirectory();
    auto a = spool::SpoolFile::open(d, {QString::fromStdString(dsn), table, {}});
    auto b = spool::SpoolFile::openExisting(a->path());
    spool::Deliverer first(QString::fromStdString(dsn)), later(QString::fromStdString(dsn));
    auto deliver = [](spool::SpoolFile& f, spool::Deliverer& by) {
        ASSERT_TRUE(f.tryLockDelivery());
        while (by.deliverBatch(f) > 0) {
        }
        f.unlockDelivery();
        EXPECT_EQ(by.takeDamage(), "");
    };
    spool::Record r = record(0);
    a->append(spool::EncodeRecord(r), uint64_t(1) << 30);
    deliver(*b, later);
    // Past the amount after which delivered bytes are given back.
    QByteArray frames;
    r.data = QString(1000, QLatin1Char('x'));
    for (int i = 0; i < 6000; ++i)
        frames += spool::EncodeRecord(r);
    a->append(frames, uint64_t(1) << 30);
    deliver(*a, first);
    a->append(spool::EncodeRecord(record(1)), uint64_t(1) << 30);
    deliver(*b, later);
    EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(*) FROM ") + table), "6002");
    EXPECT_EQ(b->damagedCount().lines, 0);
    EXPECT_EQ(b->pending().records, 0);
}

TEST_P(SpoolDb, LockedDatabaseDoesNotHoldTheHost)
{
    if (isPostgres())
        GTEST_SKIP() << "SQLite's write lock";
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (python.isEmpty())
        GTEST_SKIP() << "python3 holds the lock";
    raw().execute(tallyquill::CreateTableSql(table));
    QProcess holder;
    const QString script = QStringLiteral("import sqlite3, sys\n"
                                          "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                                          "c.execute('BEGIN IMMEDIATE')\n"
                                          "print('locked', flush=True)\n"
                                          "sys.stdin.read()\n"
                                          "c.execute('COMMIT')\n");
    holder.start(python, {QStringLiteral("-c"), script, dir.path() + QStringLiteral("/log.sqlite")});
    ASSERT_TRUE(holder.waitForReadyRead(30000));
    ASSERT_EQ(holder.readAllStandardOutput().trimmed(), "locked");

    MsgLogger logger;
    logger.setSpooled(true);
    logger.setDSN(dsn);
    logger.setAppID(app);
    logger.setWorkstationID("ws");
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(logger.WriteLog("u", "e", "r" + std::to_string(i)), 0);
    EXPECT_EQ(logger.pendingCount(), 100);
    for (int wait = 0; wait < 200 && logger.lastDeliveryError().empty(); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_NE(logger.lastDeliveryError().find("locked"), std::string::npos) << logger.lastDeliveryError();
    EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(*) FROM ") + table), "0");
    // Every call above returned while the lock was held.
    EXPECT_EQ(holder.state(), QProcess::Running);

    holder.closeWriteChannel();
    ASSERT_TRUE(holder.waitForFinished(30000));
    EXPECT_TRUE(logger.flushSpool(60000)) << logger.lastDeliveryError();
    const auto r = inserted(table);
    ASSERT_EQ(r.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(r[size_t(i)][0], QStringLiteral("r%1").arg(i));
    EXPECT_EQ(logger.pendingCount(), 0);
    EXPECT_EQ(logger.lastDeliveryError(), "");
}

// Passes connections through to the server; the first one that sends COMMIT
// is broken, either before the server sees it or after the server answered
// it (the answer is not passed on).
class CommitBreaker {
public:
    CommitBreaker(int serverPort, bool afterCommit) : serverPort_(serverPort), after_(afterCommit)
    {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = loopback(0);
        socklen_t len = sizeof a;
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_, 16) != 0
            || ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("cannot listen");
        port_ = ntohs(a.sin_port);
        acceptor_ = std::thread([this] { acceptLoop(); });
    }
    ~CommitBreaker()
    {
        stop_ = true;
        acceptor_.join();
        ::close(listen_);
        for (auto& t : pumps_)
            t.join();
    }
    int port() const { return port_; }
    int broken() const { return broken_; }

private:
    static sockaddr_in loopback(int port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(port));
        return a;
    }
    static bool writeAll(int fd, const char* p, ssize_t n)
    {
        while (n > 0) {
            const ssize_t k = ::write(fd, p, size_t(n));
            if (k <= 0)
                return false;
            p += k;
            n -= k;
        }
        return true;
    }
    void acceptLoop()
    {
        while (!stop_) {
            pollfd p{listen_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
                pumps_.emplace_back([this, client] { pump(client); });
        }
    }
    void pump(int client)
    {
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = loopback(serverPort_);
        char buf[65536];
        if (::connect(server, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
            while (!stop_) {
                pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
                if (::poll(p, 2, 100) <= 0)
                    continue;
                if (p[0].revents) {
                    const ssize_t k = ::read(client, buf, sizeof buf);
                    if (k <= 0)
                        break;
                    const bool commit = broken_ == 0 && ::memmem(buf, size_t(k), "COMMIT", 6);
                    if (commit && !after_) {
                        ++broken_;
                        break;
                    }
                    if (!writeAll(server, buf, k))
                        break;
                    if (commit) {
                        pollfd s{server, POLLIN, 0};
                        if (::poll(&s, 1, 10000) == 1 && ::read(server, buf, sizeof buf) > 0)
                            ++broken_;
                        break;
                    }
                }
                if (p[1].revents) {
                    const ssize_t k = ::read(server, buf, sizeof buf);
                    if (k <= 0 || !writeAll(client, buf, k))
                        break;
                }
            }
        }
        ::close(server);
        ::close(client);
    }

    int serverPort_;
    bool after_;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> broken_{0};
    std::thread acceptor_;
    std::vector<std::thread> pumps_;  // only the acceptor adds to it
};

QString dsnAttribute(const std::string& dsn, const char* key)
{
    char value[256] = {};
    SQLGetPrivateProfileString(dsn.c_str(), key, "", value, sizeof value, "odbc.ini");
    return QString::fromUtf8(value);
}

TEST_P(SpoolDb, CommitWhoseAnswerIsLostIsNotSentAgain)
{
    if (!isPostgres())
        GTEST_SKIP() << "needs a network link to break";
    for (const bool after : {false, true}) {
        SCOPED_TRACE(after ? "broken once the server had committed" : "broken before COMMIT reached the server");
        CommitBreaker breaker(dsnAttribute(dsn, "Port").toInt(), after);
        const std::string proxy = "tqproxy_" + std::to_string(getpid()) + (after ? "_a" : "_b");
        tallyquill::odbc::writeUserDsn(QString::fromStdString(proxy), QStringLiteral("PostgreSQL Unicode"),
                                       {{QStringLiteral("Servername"), QStringLiteral("127.0.0.1")},
                                        {QStringLiteral("Port"), QString::number(breaker.port())},
                                        {QStringLiteral("Database"), dsnAttribute(dsn, "Database")},
                                        {QStringLiteral("Username"), dsnAttribute(dsn, "Username")}});
        const std::string appId = newAppId();
        {
            MsgLogger logger;
            logger.setSpooled(true);
            logger.setDSN(proxy);
            logger.setAppID(appId);
            logger.setWorkstationID("ws");
            for (int i = 0; i < 50; ++i)
                ASSERT_EQ(logger.WriteLog("张", "e", "r" + std::to_string(i) + " 登录 𠀀"), 0);
            EXPECT_TRUE(logger.flushSpool(60000)) << logger.lastDeliveryError();
        }
        EXPECT_EQ(breaker.broken(), 1);
        const auto r = inserted(QString::fromStdString(appId) + QStringLiteral("_logs"));
        ASSERT_EQ(r.size(), 50u);
        for (int i = 0; i < 50; ++i)
            EXPECT_EQ(r[size_t(i)][0], QStringLiteral("r%1 登录 𠀀").arg(i));
    }
}

TEST_P(SpoolDb, RecordTheDatabaseRefusesIsSetAsideNotInTheWay)
{
    // As an administrator adds it; SQLite takes it only with the table.
    QString create = tallyquill::CreateTableSql(table);
    create.chop(1);
    raw().execute(create + QStringLiteral(", CONSTRAINT no_poison CHECK (log_Data <> 'poi\tson'))"));
    MsgLogger logger;
    logger.setSpooled(true);
    logger.setDSN(dsn);
    logger.setAppID(app);
    logger.setWorkstationID("ws");
    for (const char* text : {"r0", "r1", "poi\tson", "r3"})
        ASSERT_EQ(logger.WriteLog("u", "e", text), 0);
    EXPECT_TRUE(logger.flushSpool(60000)) << logger.lastDeliveryError();
    const auto r = inserted(table);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[2][0], "r3");
    // Kept, one line per record, with the database's reason.
    const QDir spoolDir(dir.path() + QStringLiteral("/state/tallyquill/spool"));
    const QStringList aside = spoolDir.entryList({QStringLiteral("*.rejected")}, QDir::Files);
    ASSERT_EQ(aside.size(), 1);
    QFile f(spoolDir.filePath(aside[0]));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = f.readAll().split('\n');
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].contains(isPostgres() ? "23514" : "constraint failed")) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].endsWith("\tpoi\\tson")) << lines[0].toStdString();
}

TEST_P(SpoolDb, LoginThatMayNotCreateDeliversToTablesThatExist)
{
    if (!isPostgres())
        GTEST_SKIP() << "SQLite has no rights";
    raw().execute(tallyquill::CreateTableSql(table));
    raw().execute(QStringLiteral("CREATE TABLE IF NOT EXISTS tallyquill_delivered ("
                                 "spool_id char(32) not null primary key, delivered_to bigint not null)"));
    const QString role = QStringLiteral("tq_nc_") + QString::fromStdString(app).toLower();
    raw().execute(QStringLiteral("DROP ROLE IF EXISTS ") + role);
    raw().execute(QStringLiteral("CREATE ROLE ") + role + QStringLiteral(" LOGIN"));
    raw().execute(QStringLiteral("REVOKE CREATE ON SCHEMA public FROM ") + role);
    for (const QString& t : {table, QStringLiteral("tallyquill_delivered")})
        raw().execute(QStringLiteral("GRANT SELECT, INSERT, UPDATE ON ") + t + QStringLiteral(" TO ") + role);
    ASSERT_EQ(scalar(QStringLiteral("SELECT has_schema_privilege('") + role + QStringLiteral("', 'public', 'CREATE')")),
              "0");
    {
        MsgLogger logger;
        logger.setSpooled(true);
        logger.setDSN(dsn);
        logger.setLoginID(role.toStdString());
        logger.setAppID(app);
        logger.setWorkstationID("ws");
        for (int i = 0; i < 50; ++i)
            ASSERT_EQ(logger.WriteLog("u", "e", "r" + std::to_string(i)), 0);
        EXPECT_TRUE(logger.flushSpool(60000)) << logger.lastDeliveryError();
    }
    EXPECT_EQ(inserted(table).size(), 50u);
    raw().execute(QStringLiteral("REVOKE ALL ON ") + table + QStringLiteral(", tallyquill_delivered FROM ") + role);
    raw().execute(QStringLiteral("DROP ROLE ") + role);
}

TEST_P(SpoolDb, SettingsTurnTheModeOnAndBoundTheSpool)
{
    if (isPostgres())
        GTEST_SKIP() << "needs no database";
    const QString ini = dir.path() + QStringLiteral("/config/Tallyquill/tallyquill.ini");
    ASSERT_TRUE(QDir().mkpath(QFileInfo(ini).path()));
    QFile f(ini);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[Writer]\nSpool=1\nSpoolLimitMB=1\n");
    f.close();

    tallyquill::MessageRecorder messages;
    MsgLogger logger;
    EXPECT_TRUE(logger.spooled());
    logger.setDSN("tq_no_such_dsn");  // never reached: the records wait
    logger.setAppID(app);
    logger.setWorkstationID("ws");
    int accepted = 0;
    while (accepted < 100000 && logger.WriteLog("u", "e", std::string(100, 'x')) == 0)
        ++accepted;
    EXPECT_GT(accepted, 1000);
    EXPECT_LT(accepted, 100000);
    ASSERT_EQ(messages.texts().size(), 1);
    EXPECT_TRUE(messages.texts()[0].contains(QLatin1String("is full"))) << messages.texts()[0].toStdString();
    EXPECT_EQ(messages.messages()[0].title, "Error");
    EXPECT_EQ(logger.pendingCount(), accepted);

    // Nobody else on the machine reads the log on its way.
    const QString spoolDir = dir.path() + QStringLiteral("/state/tallyquill/spool");
    const QStringList files = QDir(spoolDir).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1);
    struct stat d{}, s{};
    ASSERT_EQ(::stat(QFile::encodeName(spoolDir).constData(), &d), 0);
    ASSERT_EQ(::stat(QFile::encodeName(spoolDir + QLatin1Char('/') + files[0]).constData(), &s), 0);
    EXPECT_EQ(d.st_mode & 0777, 0700u);
    EXPECT_EQ(s.st_mode & 0777, 0600u);

    ASSERT_TRUE(QFile::remove(ini));
    MsgLogger plain;
    EXPECT_FALSE(plain.spooled());
}

TEST_P(SpoolDb, CommandRefusesASpoolDirectoryOfAnotherUser)
{
    if (isPostgres() || ::geteuid() != 0)
        GTEST_SKIP() << "needs no database; needs root to give the directory away";
    const QString spoolDir = dir.path() + QStringLiteral("/state/tallyquill/spool");
    ASSERT_TRUE(QDir().mkpath(spoolDir));
    ASSERT_EQ(::chown(QFile::encodeName(spoolDir).constData(), 65534, 65534), 0);
    for (const QStringList& args : {QStringList{"spool", "status"}, QStringList{"spool", "flush"}}) {
        const Run r = tool(args);
        EXPECT_NE(r.code, 0) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains("not a directory of this user")) << r.err.toStdString();
    }
}

TEST_P(SpoolDb, CommandSpoolsListsAndFlushes)
{
    if (isPostgres())
        GTEST_SKIP() << "a SQLite file appears at will";
    // The data source cannot be opened until its directory exists.
    const QString later = dir.path() + QStringLiteral("/later");
    const QString name = QStringLiteral("tqlater_%1").arg(getpid());
    tallyquill::odbc::writeUserDsn(name, QStringLiteral("SQLite3"),
                                   {{QStringLiteral("Database"), later + QStringLiteral("/log.sqlite")}});
    const QString a = QString::fromStdString(app);
    Run r = tool({"write", "--spool", "--dsn", name, "--app", a, "--ws", "w1", QStringLiteral("queued 'x'")});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QLatin1String("1 record(s) wait in the spool"))) << r.err.toStdString();

    r = tool({"spool", "status"});
    QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << r.out.toStdString();
    const QStringList fields = lines[1].split(QLatin1Char('\t'));
    ASSERT_EQ(fields.size(), 6);
    EXPECT_EQ(fields[0], name);
    EXPECT_EQ(fields[1], table);
    EXPECT_EQ(fields[2], "1");
    EXPECT_TRUE(fields[3].startsWith(QDate::currentDate().toString(Qt::ISODate))) << fields[3].toStdString();
    EXPECT_EQ(fields[4], "0");
    EXPECT_FALSE(fields[5].isEmpty());

    r = tool({"spool", "flush"});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(r.err.contains(QLatin1String("1 left"))) << r.err.toStdString();
    ASSERT_TRUE(QDir().mkpath(later));
    r = tool({"spool", "flush", "--dsn", name, "--app", a});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_EQ(tool({"spool", "status"}).out.count(QLatin1Char('\n')), 1);

    tallyquill::odbc::Connection c;
    c.open(name, {}, {});
    auto rs = c.query(QStringLiteral("SELECT log_Data FROM ") + table);
    ASSERT_FALSE(rs->eof());
    EXPECT_EQ(rs->text(0), "queued 'x'");
}

// Records of varying sizes, "<tag> <i> xxx...", appended and on disk.
void appendRecords(spool::SpoolFile& f, const QString& tag, int from, int count, int width = 0,
                   std::vector<uint64_t>* ends = nullptr)
{
    for (int i = from; i < from + count; ++i) {
        const int pad = width > 0 ? width : (i * 37) % 180;
        f.append(spool::EncodeRecord({"T", "WS", "20010203", "040506", "U", "E",
                                      tag + QStringLiteral(" %1 ").arg(i) + QString(pad, QLatin1Char('x'))}),
                 uint64_t(1) << 30);
        if (ends)
            ends->push_back(QFileInfo(f.path()).size());
    }
    f.sync();
}

size_t deliverAll(spool::Deliverer& d, spool::SpoolFile& f)
{
    size_t n = 0;
    while (size_t k = d.deliverBatch(f))
        n += k;
    return n;
}

TEST_P(SpoolDb, DatabaseMarkAheadOfTheFileIsObeyedOnlyWhenTheFileSetIt)
{
    for (const bool restored : {true, false}) {
        SCOPED_TRACE(restored ? "file restored from a copy" : "mark moved by another login");
        const QString t = QString::fromStdString(newAppId()) + QStringLiteral("_logs");
        const QString sub = dir.path() + (restored ? QStringLiteral("/restored") : QStringLiteral("/moved"));
        ASSERT_TRUE(QDir().mkpath(sub));
        const spool::SpoolFile::Identity id{QString::fromStdString(dsn), t, ""};
        auto f = spool::SpoolFile::open(sub, id);
        appendRecords(*f, "a", 0, 20);
        {
            spool::Deliverer d(id.dsn);
            ASSERT_EQ(deliverAll(d, *f), 20u);
            const QString copy = f->path() + QStringLiteral(".copy");
            if (restored) {
                ASSERT_TRUE(QFile::copy(f->path(), copy));
                appendRecords(*f, "b", 0, 30);
                ASSERT_EQ(deliverAll(d, *f), 30u);
                const QString path = f->path();
                f.reset();
                ASSERT_TRUE(QFile::remove(path));
                ASSERT_TRUE(QFile::copy(copy, path));
                f = spool::SpoolFile::open(sub, id);
                appendRecords(*f, "c", 0, 60);
            } else {
                std::vector<uint64_t> ends;
                appendRecords(*f, "c", 0, 60, 0, &ends);
                raw().execute(QStringLiteral("UPDATE tallyquill_delivered SET delivered_to = %1 WHERE spool_id = '%2'")
                                  .arg(ends[29])
                                  .arg(QString::fromLatin1(f->id())));
            }
        }
        spool::Deliverer d(id.dsn);
        EXPECT_EQ(deliverAll(d, *f), 60u);
        EXPECT_TRUE(d.takeRejection().contains(QLatin1String("not a mark this file set")));
        EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(*) FROM ") + t + QStringLiteral(" WHERE log_Data LIKE 'c %'")),
                  "60");
        EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(DISTINCT log_Data) FROM ") + t),
                  scalar(QStringLiteral("SELECT COUNT(*) FROM ") + t));
    }
}

TEST_P(SpoolDb, NewestMarkDamagedFallsBackToTheOlderAndTheDatabase)
{
    // Over 4 MB delivered, so that the file has given disk space back.
    constexpr int kDelivered = 15000, kPending = 100;
    for (const bool moved : {false, true}) {
        SCOPED_TRACE(moved ? "database mark moved as well" : "database mark as delivered");
        const QString t = QString::fromStdString(newAppId()) + QStringLiteral("_logs");
        const QString sub = dir.path() + (moved ? QStringLiteral("/moved") : QStringLiteral("/kept"));
        ASSERT_TRUE(QDir().mkpath(sub));
        const spool::SpoolFile::Identity id{QString::fromStdString(dsn), t, ""};
        auto f = spool::SpoolFile::open(sub, id);
        appendRecords(*f, "a", 0, kDelivered, 240);
        {
            spool::Deliverer d(id.dsn);
            ASSERT_EQ(deliverAll(d, *f), size_t(kDelivered));
        }
        std::vector<uint64_t> ends;
        appendRecords(*f, "b", 0, kPending, 0, &ends);
        QFile raw(f->path());
        ASSERT_TRUE(raw.open(QIODevice::ReadWrite));
        uint64_t sequence[2] = {};
        for (int i = 0; i < 2; ++i) {
            raw.seek(1024 + 512 * i);
            std::memcpy(&sequence[i], raw.read(8).constData(), 8);
        }
        raw.seek(sequence[1] > sequence[0] ? 1536 + 9 : 1024 + 9);
        raw.write("\x55");
        raw.close();
        if (moved)
            this->raw().execute(
                QStringLiteral("UPDATE tallyquill_delivered SET delivered_to = %1 WHERE spool_id = '%2'")
                    .arg(ends[49])
                    .arg(QString::fromLatin1(f->id())));
        f = spool::SpoolFile::open(sub, id);
        spool::Deliverer d(id.dsn);
        const QString count = QStringLiteral("SELECT COUNT(*) FROM ") + t;
        if (moved) {
            try {
                deliverAll(d, *f);
                ADD_FAILURE() << "delivered past a mark it cannot check";
            } catch (const spool::SpoolError& e) {
                EXPECT_NE(std::string(e.what()).find("is damaged"), std::string::npos) << e.what();
            }
            EXPECT_EQ(scalar(count), QString::number(kDelivered));
            EXPECT_TRUE(QFileInfo::exists(f->path()));
        } else {
            EXPECT_EQ(deliverAll(d, *f), size_t(kPending));
            EXPECT_EQ(scalar(count), QString::number(kDelivered + kPending));
            EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(DISTINCT log_Data) FROM ") + t), scalar(count));
        }
    }
}

TEST_P(SpoolDb, FlushKilledBetweenCommitAndFileMarkNeitherDoublesNorSkips)
{
    constexpr int kCount = 1200;
    for (const bool dropped : {false, true}) {
        SCOPED_TRACE(dropped ? "mark table dropped after the kill" : "mark table kept");
        const std::string a = newAppId();
        const QString t = QString::fromStdString(a) + QStringLiteral("_logs");
        QString spoolId;
        {
            auto f = spool::SpoolFile::open(spool::EnsureSpoolDirectory(), {QString::fromStdString(dsn), t, ""});
            appendRecords(*f, "r", 0, kCount);
            spoolId = QString::fromLatin1(f->id());
        }
        const QStringList only = {"spool", "flush", "--dsn", QString::fromStdString(dsn),
                                  "--app", QString::fromStdString(a)};
        qputenv("TQ_FAULT_POINT", "spool-committed@2");
        const Run killed = tool(only);
        qunsetenv("TQ_FAULT_POINT");
        EXPECT_EQ(killed.code, -1) << killed.err.toStdString();
        const QString count = QStringLiteral("SELECT COUNT(*) FROM ") + t;
        ASSERT_EQ(scalar(count), QString::number(2 * spool::kBatchRows));
        // The server is shared by tests running at once: there only this
        // spool's rows go, which leaves the deliverer the same question.
        if (dropped && GetParam() == std::string("postgres"))
            raw().execute(QStringLiteral("DELETE FROM tallyquill_delivered WHERE upper(spool_id) = '%1'")
                              .arg(spoolId.toUpper()));
        else if (dropped)
            raw().execute(QStringLiteral("DROP TABLE tallyquill_delivered"));
        const Run again = tool(only);
        if (dropped) {
            EXPECT_EQ(again.code, 1);
            EXPECT_TRUE(again.err.contains(QLatin1String("holds no mark"))) << again.err.toStdString();
            EXPECT_EQ(scalar(count), QString::number(2 * spool::kBatchRows));
            EXPECT_TRUE(tool({"spool", "status"}).out.contains(QLatin1String("holds no mark")));
        } else {
            EXPECT_EQ(again.code, 0) << again.err.toStdString();
            EXPECT_EQ(scalar(count), QString::number(kCount));
            EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(DISTINCT log_Data) FROM ") + t), scalar(count));
        }
    }
}

TQ_INSTANTIATE_DB_TESTS(SpoolDb);

} // namespace
