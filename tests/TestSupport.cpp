#include "TestSupport.h"

#include "writer/LogConnection.h"
#include "odbc/Odbc.h"
#include "tallyquill/embedded.h"

#include <odbcinst.h>
#include <unistd.h>

#include <atomic>

namespace tqtest {

std::string backendName(const ::testing::TestParamInfo<std::string>& info) { return info.param; }

QString dsnSetting(const std::string& dsn, const char* key)
{
    char value[512] = {};
    const int n = SQLGetPrivateProfileString(dsn.c_str(), key, "", value, int(sizeof value), "odbc.ini");
    return QString::fromUtf8(value, std::max(n, 0));
}

void DbTest::SetUp()
{
    ASSERT_TRUE(dir.isValid());
    if (isPostgres()) {
        const QByteArray pg = qgetenv("TQ_PG_DSN");
        if (pg.isEmpty())
            GTEST_SKIP() << "TQ_PG_DSN is not set";
        dsn = pg.toStdString();
    } else {
        static std::atomic<int> counter{0};
        dsn = "tqtest_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
        tallyquill::SetupEmbeddedDefault(dsn, (dir.path() + QStringLiteral("/log.sqlite")).toStdString());
    }
}

void DbTest::TearDown()
{
    if (!raw_ && apps_.empty())
        return;
    for (const std::string& app : apps_) {
        try {
            raw().execute(QStringLiteral("DROP TABLE ") + QString::fromStdString(app) + QStringLiteral("_logs"));
        } catch (const std::exception&) {
        }
    }
    raw_.reset();
}

std::string DbTest::newAppId()
{
    static std::atomic<int> counter{0};
    std::string id = "T" + std::to_string(getpid() % 100000) + "_" + std::to_string(++counter % 100);
    apps_.push_back(id);
    return id;
}

tallyquill::odbc::Connection& DbTest::raw()
{
    if (!raw_) {
        raw_ = std::make_unique<tallyquill::odbc::Connection>();
        raw_->open(QString::fromStdString(dsn), {}, {});
    }
    return *raw_;
}

std::vector<std::vector<QString>> DbTest::rows(const QString& sql)
{
    std::vector<std::vector<QString>> out;
    auto rs = raw().query(sql);
    for (; !rs->eof(); rs->next()) {
        std::vector<QString> row;
        for (int c = 0; c < rs->columnCount(); ++c)
            row.push_back(rs->text(c));
        out.push_back(row);
    }
    return out;
}

QString DbTest::endlessQuery() const
{
    return isPostgres() ? QStringLiteral("SELECT pg_sleep(600)")
                        : QStringLiteral("WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM n "
                                         "WHERE k < 100000000000) SELECT count(*) FROM n");
}

QString DbTest::scalar(const QString& sql)
{
    auto rs = raw().query(sql);
    return rs->eof() ? QString() : rs->text(0);
}

bool DbTest::tableExists(const QString& table)
{
    try {
        raw().query(QStringLiteral("SELECT COUNT(*) FROM ") + table);
        return true;
    } catch (const tallyquill::DatabaseError&) {
        return false;
    }
}

} // namespace tqtest
