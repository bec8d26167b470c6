#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// Every test binary runs with a QApplication (offscreen), as a GUI host would.
// It registers its data sources in a private copy of $ODBCINI, so that test
// processes running side by side never rewrite one file at once.
int main(int argc, char** argv)
{
    if (qgetenv("QT_QPA_PLATFORM").isEmpty())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir odbcDir;
    const QString privateIni = odbcDir.path() + QStringLiteral("/odbc.ini");
    QString shared = qEnvironmentVariable("ODBCINI");
    if (shared.isEmpty())
        shared = QDir::homePath() + QStringLiteral("/.odbc.ini");
    if (!shared.isEmpty() && QFile::exists(shared))
        QFile::copy(shared, privateIni);
    qputenv("ODBCINI", QFile::encodeName(privateIni));

    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
