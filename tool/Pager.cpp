#include "tool/Pager.h"

#include <QByteArray>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <sys/wait.h>
#include <unistd.h>

namespace tallyquill::cli {

namespace {

QByteArray pagerCommand()
{
    for (const char* name : {"TALLYQUILL_PAGER", "PAGER"})
        if (const char* value = std::getenv(name))
            return QByteArray(value).trimmed();
    // The default must exist: a pager that fails to start would swallow the
    // listing.
    return QStandardPaths::findExecutable(QStringLiteral("less")).isEmpty() ? QByteArray() : QByteArray("less");
}

} // namespace

Pager::Pager(bool wanted)
{
    if (!wanted || isatty(STDOUT_FILENO) != 1)
        return;
    const QByteArray command = pagerCommand();
    if (command.isEmpty() || command == "cat")
        return;
    int fds[2];
    if (pipe(fds) != 0)
        return;
    std::fflush(stdout);
    const pid_t child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        return;
    }
    if (child == 0) {
        dup2(fds[0], STDIN_FILENO);
        close(fds[0]);
        close(fds[1]);
        // As journalctl: quit when it fits, colours through, no wrapping.
        setenv("LESS", "FRSX", 0);
        execl("/bin/sh", "sh", "-c", command.constData(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[0]);
    savedStdout_ = dup(STDOUT_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    // A reader who quits early closes the pipe: writes fail, nothing dies.
    std::signal(SIGPIPE, SIG_IGN);
    child_ = child;
}

Pager::~Pager() { finish(); }

bool Pager::quit()
{
    // Standard output is the pager's pipe, so a write can only fail once
    // the reader closed it: wait for the pager to end.
    if (!active())
        return false;
    finish();
    return true;
}

void Pager::finish()
{
    if (savedStdout_ >= 0) {
        std::fflush(stdout);
        dup2(savedStdout_, STDOUT_FILENO);
        close(savedStdout_);
        savedStdout_ = -1;
    }
    if (child_ > 0) {
        int status = 0;
        while (waitpid(child_, &status, 0) < 0 && errno == EINTR) {
        }
        child_ = -1;
    }
}

bool ColourWanted(bool disabled)
{
    if (disabled || isatty(STDOUT_FILENO) != 1)
        return false;
    if (const char* none = std::getenv("NO_COLOR"); none && *none)
        return false;
    const char* term = std::getenv("TERM");
    return term && *term && QByteArray(term) != "dumb";
}

QString Coloured(const QString& line, int eventColumn, int eventWidth)
{
    // Columns count characters; a surrogate pair is one.
    auto indexOf = [&](int column) {
        int index = 0;
        for (int c = 0; c < column && index < line.size(); ++c)
            index += line.at(index).isHighSurrogate() && index + 1 < line.size() ? 2 : 1;
        return index;
    };
    static const QString dateColour = QStringLiteral("\033[1m"), eventColour = QStringLiteral("\033[33m"),
                         reset = QStringLiteral("\033[0m");
    const int dateEnd = indexOf(19);
    QString out = dateColour + line.left(dateEnd) + reset;
    if (eventColumn < 0)
        return out + line.mid(dateEnd);
    const int eventStart = indexOf(eventColumn), eventEnd = indexOf(eventColumn + eventWidth);
    return out + line.mid(dateEnd, eventStart - dateEnd) + eventColour + line.mid(eventStart, eventEnd - eventStart)
           + reset + line.mid(eventEnd);
}

} // namespace tallyquill::cli
