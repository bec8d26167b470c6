// The component as its callers meet it: the registry file.

#include "tallyquill/component.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

// Runs a registration, as an unprivileged user when asked and the test runs
// as root, who can read any file.
HRESULT RunAs(HRESULT (*step)(), bool unprivileged)
{
    if (!unprivileged || geteuid() != 0)
        return step();
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        const HRESULT hr = step();
        _exit(hr == S_OK ? 0 : hr == SELFREG_E_CLASS ? 1 : 2);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return code == 0 ? S_OK : code == 1 ? SELFREG_E_CLASS : E_FAIL;
}

QByteArray Read(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void Write(const QString& path, const QByteArray& text)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
}

mode_t Mode(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(Registry, OtherServersEntriesSurviveEveryWayOfWritingTheFile)
{
    const QByteArray others = "; kept\n[ProgID Other.Thing]\nCLSID={00000000-0000-0000-0000-000000000001}\n";
    struct Case {
        const char* what;
        std::function<void(const QString& dir, const QString& reg)> prepare;
        HRESULT expected;
        std::function<void(const QString& dir, const QString& reg)> check;
        bool unprivileged = false;
    };
    const Case cases[] = {
        {"a new file is private to the user",
         [](const QString&, const QString&) {}, S_OK,
         [](const QString& dir, const QString& reg) {
             EXPECT_EQ(Mode(reg), 0600u);
             EXPECT_EQ(Mode(dir + "/cfg"), 0700u);
             EXPECT_TRUE(Read(reg).contains("[ProgID Tallyquill.LogViewer]"));
         }},
        {"an unreadable file is left alone",
         [&](const QString& dir, const QString& reg) {
             Write(reg, others);
             ::chmod(QFile::encodeName(dir).constData(), 0777);
             ::chmod(QFile::encodeName(dir + "/cfg").constData(), 0777);
             ::chmod(QFile::encodeName(reg).constData(), 0);
         },
         SELFREG_E_CLASS,
         [&](const QString&, const QString& reg) {
             ::chmod(QFile::encodeName(reg).constData(), 0600);
             EXPECT_EQ(Read(reg), others);
         },
         true},
        {"a symbolic link is written through",
         [&](const QString& dir, const QString& reg) {
             Write(dir + "/real/registry.ini", others);
             QDir().mkpath(dir + "/cfg");
             ASSERT_EQ(::symlink("../real/registry.ini", QFile::encodeName(reg).constData()), 0);
         },
         S_OK,
         [&](const QString& dir, const QString& reg) {
             EXPECT_TRUE(QFileInfo(reg).isSymLink());
             const QByteArray real = Read(dir + "/real/registry.ini");
             EXPECT_TRUE(real.startsWith(others) && real.contains("[ProgID Tallyquill.MsgLogger]")) << real.data();
         }},
        {"an existing file is replaced whole and keeps its mode",
         [&](const QString&, const QString& reg) {
             Write(reg, others);
             ::chmod(QFile::encodeName(reg).constData(), 0640);
         },
         S_OK,
         [&](const QString& dir, const QString& reg) {
             EXPECT_EQ(Mode(reg), 0640u);
             EXPECT_TRUE(Read(reg).startsWith(others));
             EXPECT_EQ(QDir(dir + "/cfg").entryList(QDir::Files | QDir::Hidden), QStringList({"registry.ini"}));
         }},
    };
    const QByteArray saved = qgetenv("TALLYQUILL_REGISTRY");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir tmp;
        const QString dir = tmp.path(), reg = dir + "/cfg/registry.ini";
        qputenv("TALLYQUILL_REGISTRY", QFile::encodeName(reg));
        c.prepare(dir, reg);
        const bool link = QFileInfo(reg).isSymLink();
        EXPECT_EQ(RunAs(DllRegisterServer, c.unprivileged), c.expected);
        EXPECT_EQ(RunAs(DllUnregisterServer, c.unprivileged), c.expected);
        if (c.expected == S_OK) {
            EXPECT_FALSE(Read(reg).contains("Tallyquill"));
            EXPECT_EQ(QFileInfo(reg).isSymLink(), link);
            EXPECT_EQ(RunAs(DllRegisterServer, c.unprivileged), S_OK);
        }
        c.check(dir, reg);
    }
    qputenv("TALLYQUILL_REGISTRY", saved);
}

} // namespace
