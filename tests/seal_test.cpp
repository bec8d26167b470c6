// Seals over closed days, through the command as an operator runs it, with
// an attacker who can write the database and has stolen the sealing key.

#include "TestSupport.h"

#include "core/LogTable.h"
#include "core/Seal.h"
#include "core/Sha256.h"
#include "service/Seals.h"
#include "tallyquill/embedded.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>

#include <map>
#include <random>

namespace {

using namespace tallyquill;

struct TqRun {
    int code;
    QString out, err;
};

TqRun tq(const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/../tool/tallyquill"), args);
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

// Rows (date, time, ws, user, event, activity).
using Rows = std::vector<QStringList>;

class Seals : public tqtest::DbTest {
protected:
    void TearDown() override
    {
        for (const QString& app : apps_)
            try {
                raw().execute("DELETE FROM tallyquill_seals WHERE seal_Table = '" + seal::ChainName(app + "_logs") + "'");
            } catch (const std::exception&) {
            }
        DbTest::TearDown();
    }

    // With the index the library makes, the days are found by seeking in it.
    QString table(const Rows& rows, bool indexed = false)
    {
        const QString app = QString::fromStdString(newAppId());
        apps_ << app;
        raw().execute(CreateTableSql(app + "_logs"));
        if (indexed)
            raw().execute(CreateIndexSql(app + "_logs"));
        for (const QStringList& r : rows)
            insert(app, r);
        return app;
    }
    void insert(const QString& app, const QStringList& r)
    {
        auto ins = raw().prepare("INSERT INTO " + app + "_logs VALUES (?, ?, ?, ?, ?, ?, ?)");
        ins->setParameters({app, r[2], r[0], r[1], r[3], r[4], r[5]});
        ins->execute();
    }
    // Four closed days of three rows each, and one closed day left empty.
    static Rows fourDays()
    {
        Rows rows;
        for (int d : {1, 2, 3, 5})
            for (int k = 0; k < 3; ++k)
                rows.push_back({QStringLiteral("2026010%1").arg(d), QStringLiteral("10000%1").arg(k), "WS" + QString::number(k),
                                "U", "EV", QStringLiteral("día %1 row %2").arg(d).arg(k)});
        return rows;
    }
    QString d() const { return QString::fromStdString(dsn); }
    QString keyFile() const { return dir.path() + "/seal.key"; }
    // The seed, from a fresh key file.
    QString init()
    {
        const TqRun r = tq({"seal", "--init", "--key-file", keyFile()});
        EXPECT_EQ(r.code, 0) << r.err.toStdString();
        return r.out.section("verification key: ", 1).section('\n', 0, 0);
    }
    TqRun seal(const QString& app, const QStringList& more = {})
    {
        return tq(QStringList{"seal", "--dsn", d(), "--app", app, "--key-file", keyFile()} + more);
    }
    // Each day's status as verify reports it, and its exit status.
    std::map<QString, QString> verify(const QString& app, const QStringList& keys, int* code = nullptr,
                                      QJsonArray* days = nullptr)
    {
        const TqRun r = tq(QStringList{"verify", "--dsn", d(), "--app", app, "-o", "json"} + keys);
        if (code)
            *code = r.code;
        std::map<QString, QString> out;
        const QJsonObject t = QJsonDocument::fromJson(r.out.toUtf8()).object()["tables"].toArray()[0].toObject();
        for (const auto& v : t["days"].toArray())
            out[v.toObject()["day"].toString()] = v.toObject()["status"].toString();
        if (days)
            *days = t["days"].toArray();
        EXPECT_FALSE(out.empty()) << r.out.toStdString() << r.err.toStdString();
        return out;
    }
    static std::map<QString, QString> allIntactBut(const std::map<QString, QString>& bad)
    {
        std::map<QString, QString> want;
        for (const char* day : {"2026-01-01", "2026-01-02", "2026-01-03", "2026-01-05"})
            want[day] = "intact";
        for (const auto& [day, status] : bad)
            want[day] = status;
        return want;
    }
    QString seals(const QString& app) { return "tallyquill_seals WHERE seal_Table = '" + seal::ChainName(app + "_logs") + "'"; }

    QStringList apps_;
};

// Each change to the rows after sealing makes exactly its days "changed",
// with or without the key; untouched days stay intact.
TEST_P(Seals, EveryChangeToTheRowsShowsOnItsDay)
{
    const struct {
        const char* what;
        const char* sql;  // %1: the table
        std::map<QString, QString> bad;
    } cases[] = {
        {"nothing", nullptr, {}},
        {"a changed value", "UPDATE %1 SET log_Data = 'x' WHERE log_Date = '20260102' AND log_Time = '100001'",
         {{"2026-01-02", "changed"}}},
        {"a deleted row", "DELETE FROM %1 WHERE log_Date = '20260103' AND log_Time = '100002'",
         {{"2026-01-03", "changed"}}},
        {"an added row", "INSERT INTO %1 SELECT log_AppID, log_WsID, log_Date, '235959', log_User, log_EventType, "
                         "log_Data FROM %1 WHERE log_Date = '20260105' AND log_Time = '100000'",
         {{"2026-01-05", "changed"}}},
        {"a swapped pair of dates",
         "UPDATE %1 SET log_Date = CASE log_Date WHEN '20260102' THEN '20260103' ELSE '20260102' END "
         "WHERE log_Time = '100001' AND log_Date IN ('20260102', '20260103')",
         {{"2026-01-02", "changed"}, {"2026-01-03", "changed"}}},
    };
    const QString seed = init();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const QString app = table(fourDays());
        ASSERT_EQ(seal(app).code, 0);
        if (c.sql)
            raw().execute(QString::fromLatin1(c.sql).arg(app + "_logs"));
        int code = -1;
        EXPECT_EQ(verify(app, {}, &code), allIntactBut(c.bad));
        EXPECT_EQ(verify(app, {"--key", seed}), allIntactBut(c.bad));
        EXPECT_EQ(code, c.bad.empty() ? 0 : 65);
    }
}

// What an attacker does to the seals themselves is found: a deleted seal, a
// seal made again for an older day with the stolen current key (under its
// own epoch, or claiming the old one), and the newest seals deleted.
TEST_P(Seals, TamperedSealsAreFound)
{
    enum Attack { DeleteSeal, ForgeAtStolenEpoch, ForgeAtOldEpoch, CutEnd };
    const struct {
        const char* what;
        Attack attack;
        QString day, status;
        bool needsKey;
    } cases[] = {
        {"a deleted seal", DeleteSeal, "2026-01-02", "seal missing", false},
        {"a forged seal of the stolen key's epoch", ForgeAtStolenEpoch, "2026-01-02", "seal forged", false},
        {"a forged seal claiming its old epoch", ForgeAtOldEpoch, "2026-01-02", "seal forged", true},
        {"the last seals deleted", CutEnd, "2026-01-05", "chain cut", false},
    };
    const QString seed = init();
    for (const bool indexed : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (indexed ? ", date index" : ""));
            const QString app = table(fourDays(), indexed);
            ASSERT_EQ(seal(app).code, 0);
            const QString table = app + "_logs";
            if (c.attack == DeleteSeal)
                raw().execute("DELETE FROM " + seals(app) + " AND seal_Day = '20260102'");
            else if (c.attack == CutEnd)
                raw().execute("DELETE FROM " + seals(app) + " AND seal_Day >= '20260103'");
            else {
                // Rows of day 2 rewritten, and its seal made again to match.
                raw().execute("UPDATE " + table + " SET log_Data = 'rewritten' WHERE log_Date = '20260102'");
                QFile f(keyFile());
                ASSERT_TRUE(f.open(QIODevice::ReadOnly));
                const seal::SealingKey stolen = seal::ParseKeyFile(f.readAll(), keyFile());
                std::vector<seal::SealRecord> chain = seal::Chain(raw(), table);
                ASSERT_EQ(chain.size(), 4u);
                seal::SealRecord forged = chain[1];
                const seal::DayState now = seal::DigestDay(raw(), table, "20260102");
                forged.rows = now.rows;
                forged.digest = now.digest;
                if (c.attack == ForgeAtStolenEpoch)
                    forged.epoch = stolen.epoch;
                forged.mac = seal::Mac(stolen.key, forged);
                raw().execute("UPDATE tallyquill_seals SET seal_Rows = " + QString::number(forged.rows) + ", seal_Digest = '"
                              + seal::Hex(forged.digest) + "', seal_Epoch = " + QString::number(forged.epoch)
                              + ", seal_Mac = '" + seal::Hex(forged.mac) + "' WHERE seal_Table = '" + seal::ChainName(table)
                              + "' AND seal_Day = '20260102'");
            }
            int code = -1;
            const auto withKey = verify(app, {"--key", seed}, &code);
            EXPECT_EQ(withKey.at(c.day), c.status);
            EXPECT_EQ(code, 65);
            if (!c.needsKey)
                EXPECT_EQ(verify(app, {}).at(c.day), c.status);
        }
    }
}

// A late row makes its sealed day changed until the operator seals it again;
// the new seal keeps the chain intact and the old one visible, with the
// reason as given (bound, and shown without its control characters).
TEST_P(Seals, ResealingALateDayKeepsTheChainAndItsHistory)
{
    const QString seed = init();
    const QString app = table(fourDays());
    ASSERT_EQ(seal(app).code, 0);
    insert(app, {"20260102", "235900", "WS9", "U", "EV", "spooled a week late"});
    insert(app, {"20260104", "120000", "WS9", "U", "EV", "late row on an empty day"});
    EXPECT_EQ(verify(app, {"--key", seed}), allIntactBut({{"2026-01-02", "changed"}, {"2026-01-04", "seal missing"}}));

    const QString reason = QStringLiteral("WS9's spool ');DROP TABLE x;--\x1b[31m");
    TqRun r = seal(app, {"--reseal", "2026-01-02", "--reason", reason});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_FALSE(r.out.contains(QChar(0x1b)));
    ASSERT_EQ(seal(app, {"--reseal", "2026-01-04", "--reason", "late"}).code, 0);
    EXPECT_EQ(seal(app, {"--reseal", "2026-01-03"}).code, 64);  // no reason

    int code = -1;
    QJsonArray days;
    auto want = allIntactBut({});
    want["2026-01-04"] = "intact";
    EXPECT_EQ(verify(app, {"--key", seed}, &code, &days), want);
    EXPECT_EQ(code, 0);
    const QJsonArray history = days[1].toObject()["seals"].toArray();
    ASSERT_EQ(history.size(), 2);
    EXPECT_EQ(history[0].toObject()["rows"].toInt(), 3);
    EXPECT_EQ(history[1].toObject()["rows"].toInt(), 4);
    EXPECT_EQ(history[1].toObject()["reason"].toString(), reason);
    const TqRun text = tq({"verify", "--dsn", d(), "--app", app, "--key", seed});
    EXPECT_TRUE(text.out.contains("2026-01-02 sealed")) << text.out.toStdString();
    EXPECT_FALSE(text.out.contains(QChar(0x1b)));
}

// The seed is printed once and kept nowhere; the key file is the owner's
// alone and not replaced unasked. A kill between the key's step and the
// seal's commit, or after the commit, leaves no key that sealed a day.
TEST_P(Seals, TheKeyFileNeverKeepsAUsedKey)
{
    const TqRun first = tq({"seal", "--init", "--key-file", keyFile()});
    ASSERT_EQ(first.code, 0);
    const QString seed = first.out.section("verification key: ", 1).section('\n', 0, 0);
    ASSERT_EQ(seed.size(), 64);
    QFile f(keyFile());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    f.close();
    EXPECT_FALSE(text.contains(seed.toLatin1()));
    EXPECT_EQ(QFileInfo(keyFile()).permissions() & 0x0077, 0);  // no group or other bits
    EXPECT_EQ(QFileInfo(keyFile()).permissions() & QFile::ReadOwner, QFile::ReadOwner);
    const TqRun again = tq({"seal", "--init", "--key-file", keyFile()});
    EXPECT_NE(again.code, 0);
    EXPECT_FALSE(again.out.contains("verification key"));
    QFile same(keyFile());
    ASSERT_TRUE(same.open(QIODevice::ReadOnly));
    EXPECT_EQ(same.readAll(), text);

    const QString app = table(fourDays());
    for (const char* point : {"seal-key-stepped", "seal-stored"}) {
        SCOPED_TRACE(point);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TQ_FAULT_POINT", point);
        EXPECT_EQ(tq({"seal", "--dsn", d(), "--app", app, "--key-file", keyFile()}, env).code, -1);
        QFile k(keyFile());
        ASSERT_TRUE(k.open(QIODevice::ReadOnly));
        const int64_t fileEpoch = seal::ParseKeyFile(k.readAll(), keyFile()).epoch;
        for (const seal::SealRecord& l : seal::Chain(raw(), app + "_logs"))
            EXPECT_LT(l.epoch, fileEpoch) << l.day.toStdString();
        if (std::string(point) == "seal-key-stepped")
            insert(app, {"20260106", "100000", "WS1", "U", "EV", "x"});
    }
    ASSERT_EQ(seal(app).code, 0);
    int code = -1;
    auto want = allIntactBut({});
    want["2026-01-06"] = "intact";
    EXPECT_EQ(verify(app, {"--key", seed}, &code), want);
    EXPECT_EQ(code, 0);
    // A key file put back from before would seal with a used key.
    ASSERT_EQ(QFile::remove(keyFile()), true);
    QFile old(keyFile());
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write(text);
    old.close();
    insert(app, {"20260107", "100000", "WS1", "U", "EV", "x"});
    const TqRun rolledBack = tq({"seal", "--dsn", d(), "--app", app, "--key-file", keyFile(), "--grace", "0"});
    EXPECT_EQ(rolledBack.code, 65);
    EXPECT_TRUE(rolledBack.err.contains("already used")) << rolledBack.err.toStdString();
}

TQ_INSTANTIATE_DB_TESTS(Seals);

// The same rows give the same digest on both databases: PostgreSQL hands
// char columns back padded and SQLite as inserted, and each sorts in its way.
TEST(SealDigest, TheSameRowsDigestAlikeOnBothDatabases)
{
    const QByteArray pg = qgetenv("TQ_PG_DSN");
    if (pg.isEmpty())
        GTEST_SKIP() << "TQ_PG_DSN is not set";
    QTemporaryDir dir;
    const std::string lite = "tqseal_" + std::to_string(getpid());
    SetupEmbeddedDefault(lite, (dir.path() + "/d.sqlite").toStdString());
    const QString table = QStringLiteral("S%1_logs").arg(getpid() % 100000);
    // Orders that byte collation and a locale's differ on, blanks inside and
    // at the end, characters of every UTF-8 length.
    const Rows rows = {{"20260101", "100000", "B", "u", "EV", "a"},        {"20260101", "100000", "a", "u", "EV", "B"},
                       {"20260101", "100000", "a", "u ", "EV", "b "},      {"20260101", "100000", "a", "u\t", "EV", "b"},
                       {"20260101", "100000", "ä", "u", "EV", "𝄞 ü 中"}, {"20260101", "100000", "a", "u", "EV", "b"},
                       {"20260101", "100000", "a", "u", "EV", "b"},        {"20260101", "090000", "z", "", "", ""}};
    QByteArray digests[2];
    int i = 0;
    for (const std::string& dsn : {lite, pg.toStdString()}) {
        odbc::Connection c;
        c.open(QString::fromStdString(dsn), {}, {});
        c.execute(CreateTableSql(table));
        for (const QStringList& r : rows) {
            auto ins = c.prepare("INSERT INTO " + table + " VALUES (?, ?, ?, ?, ?, ?, ?)");
            ins->setParameters({"APP", r[2], r[0], r[1], r[3], r[4], r[5]});
            ins->execute();
        }
        const seal::DayState s = seal::DigestDay(c, table, "20260101");
        EXPECT_EQ(s.rows, int64_t(rows.size()));
        // A day too large to sort here is sorted by the database, alike.
        EXPECT_EQ(seal::DigestDay(c, table, "20260101", 40).digest.toHex(), s.digest.toHex()) << dsn;
        // Days read one after another, some sorted here while the next is
        // read and some by the database between them, each as alone.
        for (int d = 2; d <= 6; ++d)
            for (int k = 0; k < (d % 2 ? 160 : 2); ++k) {
                auto ins = c.prepare("INSERT INTO " + table + " VALUES (?, ?, ?, ?, ?, ?, ?)");
                ins->setParameters({"APP", "W" + QString::number(k % 7), "2026010" + QString::number(d), "120000",
                                    "u", "EV", QString::number(k * 7919 % 1000)});
                ins->execute();
            }
        const std::vector<QString> days = {"20260101", "20260102", "20260103", "20260104", "20260105", "20260106", "20260107"};
        // Several days to a statement, and a batch too large for its share.
        for (const size_t limit : {size_t(400), size_t(6000), seal::DayRows::kDefaultLimit}) {
            const std::vector<seal::DayState> states = seal::DigestDays(c, table, days, limit);
            for (size_t d = 0; d < days.size(); ++d) {
                const seal::DayState alone = seal::DigestDay(c, table, days[d]);
                EXPECT_EQ(states[d].rows, alone.rows) << dsn << " " << days[d].toStdString() << " " << limit;
                EXPECT_EQ(states[d].digest.toHex(), alone.digest.toHex()) << dsn << " " << days[d].toStdString();
            }
        }
        digests[i++] = s.digest;
        c.execute("DROP TABLE " + table);
    }
    EXPECT_EQ(digests[0].toHex(), digests[1].toHex());
}

// Seals stored by one machine are checked on another, whose processor may
// lack the SHA instructions: both paths must answer SHA-256 itself, however
// the bytes arrive (the lengths straddle the 64-byte blocks and the padding).
TEST(SealDigest, BothHashPathsAnswerSha256)
{
    std::mt19937 random(7);
    for (const Sha256::Path path : {Sha256::Path::Instructions, Sha256::Path::Portable})
        for (const int size : {0, 1, 3, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000, 70000}) {
            QByteArray data(size, Qt::Uninitialized);
            for (char& c : data)
                c = char(random());
            Sha256 hash(path);
            for (qsizetype at = 0; at < size;) {
                const qsizetype n = std::min<qsizetype>(qsizetype(random() % 150), size - at);
                hash.add(data.constData() + at, size_t(n));
                at += n;
            }
            EXPECT_EQ(hash.finish().toHex(), QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex())
                << "path " << int(path) << ", " << size << " bytes";
        }
}

// Rows sorted here must digest as the database's order does: values that are
// prefixes of others, NULs, blanks that pad, bytes above 0x7f, long shared
// beginnings, one date and several.
TEST(SealDigest, RowsSortedHereDigestInTheCanonicalOrder)
{
    std::mt19937 random(11);
    const std::string alphabet("ab \0\x01\xff\xc3\xa4", 8);
    auto text = [&](size_t most) {
        std::string v(random() % (most + 1), 'a');
        for (char& c : v)
            c = alphabet[random() % alphabet.size()];
        return v;
    };
    for (const bool oneDate : {true, false}) {
        std::vector<std::array<std::string, 7>> rows;
        for (int i = 0; i < 3000; ++i) {
            // Long shared beginnings push the decision past the first bytes.
            const std::string common = i % 3 ? "APP" : "APPLICATIONX";
            rows.push_back({common, "WS" + text(3), oneDate ? "20260101" : "2026010" + std::to_string(random() % 3),
                            "1200" + text(2), text(4), text(3), text(30)});
            if (i % 10 == 0)
                rows.push_back(rows.back());  // the same row twice
        }
        seal::DayRows here;
        for (const auto& r : rows) {
            std::array<std::string_view, 7> v;
            for (size_t c = 0; c < 7; ++c)
                v[c] = r[c];
            ASSERT_TRUE(here.add(v));
        }
        // The reference: trailing blanks off the char columns, then byte order.
        for (auto& r : rows)
            for (size_t c = 0; c < 6; ++c)
                while (!r[c].empty() && r[c].back() == ' ')
                    r[c].pop_back();
        std::sort(rows.begin(), rows.end());
        seal::DayDigest reference;
        for (const auto& r : rows) {
            std::array<std::string_view, 7> v;
            for (size_t c = 0; c < 7; ++c)
                v[c] = r[c];
            reference.add(v);
        }
        EXPECT_EQ(here.digest().toHex(), reference.finish().toHex()) << (oneDate ? "one date" : "several dates");
    }
}

} // namespace
