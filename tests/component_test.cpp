// The component as a host in another process sees it: the C host loads the
// library by path, registers it, drives both classes and unregisters it.

#include "TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

namespace {

struct HostRun {
    int code;
    QString out;
    QString err;
};

class ComponentHost : public tqtest::DbTest {
protected:
    QString registry() const { return dir.path() + QStringLiteral("/config/registry.ini"); }

    HostRun runCHost(const std::string& app, bool underValgrind)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TALLYQUILL_REGISTRY"), registry());
        QStringList args{QStringLiteral(TQ_LIBRARY_PATH), QString::fromStdString(dsn), QString::fromStdString(app)};
        QString program = QStringLiteral(TQ_C_HOST_PATH);
        if (underValgrind) {
            // Definite leaks fail the run; Qt's and the drivers' process-long
            // allocations ("still reachable") do not.
            args = QStringList{QStringLiteral("--quiet"), QStringLiteral("--leak-check=full"),
                               QStringLiteral("--errors-for-leak-kinds=definite"),
                               QStringLiteral("--show-leak-kinds=definite"), QStringLiteral("--error-exitcode=120"), program}
                   + args;
            program = QStringLiteral(TQ_VALGRIND_PATH);
        }
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(program, args);
        p.waitForFinished(240000);
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
                QString::fromUtf8(p.readAllStandardError())};
    }
};

TEST_P(ComponentHost, CHostDrivesBothClassesAndLeavesOtherRegistrationsAlone)
{
    QDir().mkpath(dir.path() + QStringLiteral("/config"));
    {
        QFile f(registry());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("; another server's entries\n[ProgID Other.Thing]\nCLSID={00000000-0000-0000-0000-000000000001}\n");
    }
    const std::string app = newAppId();
    const bool valgrind = !isPostgres() && QStringLiteral(TQ_VALGRIND_PATH).size() > 0;
    const HostRun r = runCHost(app, valgrind);
    EXPECT_EQ(r.code, 0) << r.err.toStdString() << r.out.toStdString();

    // The logger wrote its two rows before the rejected insert and one after.
    EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(*) FROM ") + QString::fromStdString(app) + QStringLiteral("_logs")),
              "3");
    const QString rejected = r.out.section(QStringLiteral("rejected: "), 1).trimmed();
    EXPECT_TRUE(rejected.contains(QStringLiteral("value too long"))) << rejected.toStdString();
    // The logger without a DSN says so on stderr: no QApplication, no dialog.
    EXPECT_TRUE(r.err.contains(QStringLiteral("No DSN provided"))) << r.err.toStdString();

    QFile f(registry());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString left = QString::fromUtf8(f.readAll());
    EXPECT_TRUE(left.contains(QStringLiteral("; another server's entries\n[ProgID Other.Thing]\nCLSID="))) << left.toStdString();
    EXPECT_FALSE(left.contains(QStringLiteral("Tallyquill"))) << left.toStdString();
}

TQ_INSTANTIATE_DB_TESTS(ComponentHost);

} // namespace
