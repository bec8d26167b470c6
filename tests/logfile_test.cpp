// Files that own themselves: the log file and the daily files.

#include "core/DailyFiles.h"
#include "core/LogFile.h"

#include "tallyquill/error.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tallyquill;

namespace {

QByteArray Content(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

TEST(LogFile, WritesUtf8LinesEmptiesFirstAndClosesItself)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/a.log";
    {
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("old content\r\n");
    }
    {
        LogFile f(path);
        f.writeLine(QStringLiteral("日志 one"));
        f.writeLine(QString(70000, QLatin1Char('x')));  // past the buffer
        f.sync();
        LogFile moved = std::move(f);
        moved.writeLine("three");
        EXPECT_FALSE(f.isOpen());
    }  // closed by its destructor
    const QByteArray want = QStringLiteral("日志 one\r\n").toUtf8() + QByteArray(70000, 'x') + "\r\nthree\r\n";
    EXPECT_EQ(Content(path), want);
}

TEST(LogFile, FailuresNameTheFileAndTheReason)
{
    QTemporaryDir dir;
    struct Case {
        QString path;
        const char* reason;
    };
    for (const Case& c : {Case{dir.path() + "/no/such/dir/a.log", "No such file or directory"},
                          Case{dir.path(), "Is a directory"}, Case{QString(), "not a file name"}}) {
        try {
            LogFile f(c.path);
            ADD_FAILURE() << "opened " << c.path.toStdString();
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.path.toStdString()), std::string::npos) << e.what();
        }
    }
    // A full disk shows at the write or at the close, never as success.
    if (QFile::exists("/dev/full")) {
        EXPECT_THROW(
            {
                LogFile full(QStringLiteral("/dev/full"));
                full.writeLine("x");
                full.close();
            },
            Error);
    }
}

TEST(LogFile, AppendTakesBackALineAKilledRunCut)
{
    // What the file held, and what it holds once a run appended "new".
    const std::vector<std::pair<QByteArray, QByteArray>> cases = {
        {"kept\r\n", "kept\r\nnew\r\n"},
        {"kept\r\nseq=15", "kept\r\nnew\r\n"},
        {"seq=1", "new\r\n"},
        {"kept\r\nseq=15\r", "kept\r\nnew\r\n"},
        // Not text a run writes: ended and kept.
        {QByteArray("kept\r\nbin\0ary", 13), QByteArray("kept\r\nbin\0ary\r\nnew\r\n", 20)},
        {QByteArray((1 << 20) + 1, 'x'), QByteArray((1 << 20) + 1, 'x') + "\r\nnew\r\n"},
    };
    QTemporaryDir dir;
    int n = 0;
    for (const auto& [before, after] : cases) {
        const QString path = dir.path() + QStringLiteral("/%1.log").arg(n++);
        {
            QFile old(path);
            ASSERT_TRUE(old.open(QIODevice::WriteOnly));
            old.write(before);
        }
        LogFile f(path, LogFile::Mode::Append);
        f.writeLine(QStringLiteral("new"));
        f.close();
        EXPECT_EQ(Content(path), after) << n;
    }
}

TEST(DailyFiles, OneFilePerDayNamedByTheCalculator)
{
    QTemporaryDir dir;
    EXPECT_EQ(DailyFileName("/d", "p_", "20010105"), "/d/p_20010105.log");
    DailyFiles daily(dir.path(), "p_");
    daily.writeLine("20010101", "a");
    daily.writeLine("20010101", "b");
    daily.writeLine("20010102", "c");
    daily.close();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList({"p_20010101.log", "p_20010102.log"}));
    EXPECT_EQ(Content(dir.path() + "/p_20010101.log"), "a\r\nb\r\n");
    EXPECT_EQ(Content(dir.path() + "/p_20010102.log"), "c\r\n");
}

} // namespace
