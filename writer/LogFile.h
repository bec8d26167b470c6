#pragma once

// A text file of log lines that owns its descriptor: archive files, print
// files and the command's --output. Lines are UTF-8 with CRLF. Every failure
// throws tallyquill::Error naming the file and the system's reason.

#include <QByteArray>
#include <QString>

namespace tallyquill {

class LogFile {
public:
    // How an existing file is treated when opened.
    enum class Mode {
        Truncate,  // emptied: the file holds only what this run writes
    };

    explicit LogFile(const QString& path, Mode mode = Mode::Truncate);
    // Closes the file; a failure here is swallowed (close() reports it).
    ~LogFile();
    LogFile(LogFile&& other) noexcept;
    LogFile& operator=(LogFile&& other) noexcept;
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    void writeLine(const QString& line);
    // Writes what is buffered and asks the system to put it on the disk.
    void sync();
    // Writes what is buffered and closes; a write that failed late is
    // reported here. Closing a closed file does nothing.
    void close();

    bool isOpen() const { return fd_ >= 0; }
    const QString& path() const { return path_; }

private:
    void flush();
    [[noreturn]] void fail(const char* what, int error) const;

    QString path_;
    int fd_ = -1;
    QByteArray buffer_;
};

} // namespace tallyquill
