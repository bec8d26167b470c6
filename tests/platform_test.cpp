// The system calls every file of ours goes through: writes taken up again
// after a signal or a short write, and private directories that a planted
// link cannot turn into someone else's.

#include "platform/Files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tallyquill;

namespace {

std::atomic<int> signalsTaken{0};
void takeSignal(int) { ++signalsTaken; }

// The thread's state in /proc: 'S' while it waits in a system call.
char stateOf(pid_t tid)
{
    QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(tid));
    if (!stat.open(QIODevice::ReadOnly))
        return '?';
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close >= 0 && close + 2 < text.size() ? text[close + 2] : '?';
}

// A write into a full pipe is interrupted twice: once after part of it went
// in (a short write), once before anything did (EINTR). Every byte arrives.
TEST(PlatformFiles, WritesEverythingThroughShortWritesAndSignals)
{
    struct sigaction action {};
    action.sa_handler = takeSignal;  // no SA_RESTART: the call is interrupted
    struct sigaction saved {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &saved), 0);
    {
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        const int capacity = ::fcntl(pipeFds[1], F_SETPIPE_SZ, 4096);
        ASSERT_GT(capacity, 0);
        QByteArray data(3 * capacity, '\0');
        for (qsizetype i = 0; i < data.size(); ++i)
            data[i] = char('a' + i % 26);
        signalsTaken = 0;
        std::atomic<pid_t> tid{0};
        std::atomic<bool> done{false};
        size_t written = 0;
        std::thread writer([&] {
            tid = pid_t(::syscall(SYS_gettid));
            written = platform::WriteAll(pipeFds[1], data.constData(), size_t(data.size()));
            done = true;
        });
        while (tid == 0)
            std::this_thread::yield();
        // Blocked with the pipe full: the first signal cuts the write short,
        // the second meets a write that has put nothing in yet.
        for (int n = 1; n <= 2 && !done; ++n) {
            int queued = 0;
            while (!done && (stateOf(tid) != 'S' || ::ioctl(pipeFds[0], FIONREAD, &queued) != 0 || queued < capacity))
                std::this_thread::yield();
            if (done)
                break;
            ::pthread_kill(writer.native_handle(), SIGUSR1);
            while (signalsTaken < n)
                std::this_thread::yield();
        }
        // Drained until the writer is back (with all of it, or having given up).
        ASSERT_EQ(::fcntl(pipeFds[0], F_SETFL, O_NONBLOCK), 0);
        QByteArray got;
        char buf[4096];
        for (bool last = false; !last;) {
            last = done;
            ssize_t n;
            while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0)
                got.append(buf, n);
            std::this_thread::yield();
        }
        writer.join();
        EXPECT_EQ(written, size_t(data.size()));
        EXPECT_EQ(got, data);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
    }
    ::sigaction(SIGUSR1, &saved, nullptr);
}

// A file size limit makes the system write part and then refuse: the part
// is counted and the refusal keeps its reason.
TEST(PlatformFiles, ReportsTheRefusalAfterAShortWrite)
{
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.path() + QStringLiteral("/limited"));
    struct Case {
        const char* what;
        std::function<size_t(int, const char*, size_t)> write;
    };
    const Case cases[] = {
        {"write", [](int fd, const char* d, size_t n) { return platform::WriteAll(fd, d, n); }},
        {"pwrite", [](int fd, const char* d, size_t n) { return platform::PwriteAll(fd, d, n, 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(path.constData());
        // In a child: the limit and the ignored SIGXFSZ stay there.
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{100, 100};
            const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd < 0 || ::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                _exit(9);
            const QByteArray data(300, 'x');
            errno = 0;
            const size_t n = c.write(fd, data.constData(), size_t(data.size()));
            _exit(n == 100 && errno == EFBIG ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(QFileInfo(QFile::decodeName(path)).size(), 100);
    }
}

mode_t modeOf(const QString& path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Where a private directory is to be: missing levels are made for the
// owner alone, an own open one is closed, and a planted link is refused
// without touching what it points at.
TEST(PlatformFiles, PrivateDirectoryIsOnlyEverOurOwn)
{
    struct Case {
        const char* what;
        std::function<void(const QString& base, const QString& dir)> plant;
        platform::DirectoryFault::Step expected;
        std::function<void(const QString& base, const QString& dir)> check;
    };
    const Case cases[] = {
        {"missing levels", [](const QString&, const QString&) {}, platform::DirectoryFault::None,
         [](const QString& base, const QString& dir) {
             EXPECT_EQ(modeOf(base + QStringLiteral("/a")), 0700u);
             EXPECT_EQ(modeOf(dir), 0700u);
         }},
        {"an own directory open to others",
         [](const QString&, const QString& dir) {
             ASSERT_TRUE(QDir().mkpath(dir));
             ::chmod(QFile::encodeName(dir).constData(), 0755);
         },
         platform::DirectoryFault::None, [](const QString&, const QString& dir) { EXPECT_EQ(modeOf(dir), 0700u); }},
        {"a planted link to another directory",
         [](const QString& base, const QString& dir) {
             ASSERT_TRUE(QDir().mkpath(base + QStringLiteral("/elsewhere")));
             ::chmod(QFile::encodeName(base + QStringLiteral("/elsewhere")).constData(), 0755);
             ASSERT_TRUE(QDir().mkpath(base + QStringLiteral("/a")));
             ASSERT_TRUE(QFile::link(base + QStringLiteral("/elsewhere"), dir));
         },
         platform::DirectoryFault::NotOwn,
         [](const QString& base, const QString&) { EXPECT_EQ(modeOf(base + QStringLiteral("/elsewhere")), 0755u); }},
        {"a file where a level should be",
         [](const QString& base, const QString&) {
             QFile file(base + QStringLiteral("/a"));
             ASSERT_TRUE(file.open(QIODevice::WriteOnly));
         },
         platform::DirectoryFault::Create, [](const QString&, const QString&) {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir tmp;
        const QString base = tmp.path(), dir = base + QStringLiteral("/a/spool");
        c.plant(base, dir);
        const platform::DirectoryFault fault = platform::MakePrivateDirectory(dir);
        EXPECT_EQ(fault.step, c.expected) << fault.path.toStdString() << ": " << fault.error;
        c.check(base, dir);
    }
}

} // namespace
