#pragma once

#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "odbc/Odbc.h"

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace tqtest {

// Database tests are written once and run on each back end: "sqlite" (a fresh
// file per test through the SQLite ODBC driver) and "postgres" (the server
// named by TQ_PG_DSN; skipped when unset).
class DbTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override;
    void TearDown() override;

    bool isPostgres() const { return GetParam() == "postgres"; }
    // A query that runs until it is cancelled (or timed out).
    QString endlessQuery() const;
    // A fresh application ID (at most 10 characters) whose table is dropped
    // after the test.
    std::string newAppId();
    // A connection of the test's own, for looking at what the code wrote.
    tallyquill::odbc::Connection& raw();
    std::vector<std::vector<QString>> rows(const QString& sql);
    QString scalar(const QString& sql);
    bool tableExists(const QString& table);
    // Drops the test's own connection (it would die with a server restart).
    void raw_reset() { raw_.reset(); }

    std::string dsn;
    QTemporaryDir dir;

private:
    std::vector<std::string> apps_;
    std::unique_ptr<tallyquill::odbc::Connection> raw_;
};

std::string backendName(const ::testing::TestParamInfo<std::string>& info);

// A setting of a data source's entry in odbc.ini, or empty.
QString dsnSetting(const std::string& dsn, const char* key);

} // namespace tqtest

#define TQ_INSTANTIATE_DB_TESTS(suite) \
    INSTANTIATE_TEST_SUITE_P(Db, suite, ::testing::Values("sqlite", "postgres"), ::tqtest::backendName)
