#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// Every test binary runs with a QApplication (offscreen), as a GUI host would.
// It registers its data sources in a private copy of $ODBCINI, so that test
// processes running side by side never rewrite one file at once, and keeps
// its settings in a private $XDG_CONFIG_HOME. Screens are laid out at the
// font their designs were made for, so that their geometry is the design's.
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
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(odbcDir.path()));

    QApplication app(argc, argv);
    QFont design = QApplication::font();
    design.setPixelSize(11);
    QApplication::setFont(design);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
