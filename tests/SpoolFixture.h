#pragma once

// A database test whose spools and settings live in the test's own
// directory, with the helpers that real processes need.

#include "TestSupport.h"

#include <QCoreApplication>
#include <QProcess>

namespace tqtest {

class SpoolDb : public DbTest {
protected:
    void SetUp() override
    {
        DbTest::SetUp();
        if (IsSkipped())
            return;
        for (const char* name : {"XDG_STATE_HOME", "XDG_CONFIG_HOME"})
            saved_.emplace_back(name, qgetenv(name));
        qputenv("XDG_STATE_HOME", QFile::encodeName(dir.path() + QStringLiteral("/state")));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path() + QStringLiteral("/config")));
        app = newAppId();
        table = QString::fromStdString(app) + QStringLiteral("_logs");
    }
    void TearDown() override
    {
        for (const auto& [name, value] : saved_)
            value.isNull() ? qunsetenv(name) : qputenv(name, value);
        DbTest::TearDown();
    }

    static QString binary(const QString& relative)
    {
        return QCoreApplication::applicationDirPath() + QLatin1Char('/') + relative;
    }
    struct Run {
        int code;
        QString out, err;
    };
    // `fault` names a fault point the command stops dead at (writer/FaultPoint.h).
    static Run tool(const QStringList& args, const QString& fault = {})
    {
        QProcess p;
        if (!fault.isEmpty()) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("TQ_FAULT_POINT"), fault);
            p.setProcessEnvironment(env);
        }
        p.start(binary(QStringLiteral("../tool/tallyquill")), args);
        p.waitForFinished(180000);
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
    }
    // A spooled host process (tests/spool_host.cpp).
    static void startHost(QProcess& p, const std::string& dsn, const std::string& app, const QString& ws, int count,
                          const char* mode)
    {
        p.start(binary(QStringLiteral("spool_host")), {QString::fromStdString(dsn), QString::fromStdString(app), ws,
                                                       QString::number(count), QLatin1String(mode)});
    }
    // log_Data, log_Date, log_Time of `t`, in the order the rows were inserted.
    std::vector<std::vector<QString>> inserted(const QString& t)
    {
        return rows(QStringLiteral("SELECT log_Data, log_Date, log_Time FROM ") + t
                    + (isPostgres() ? QStringLiteral(" ORDER BY ctid") : QStringLiteral(" ORDER BY rowid")));
    }

    std::string app;
    QString table;

private:
    std::vector<std::pair<const char*, QByteArray>> saved_;
};

} // namespace tqtest
