#pragma once

// Where the command's lines go: standard output, or a file created 0600 that
// is never reached through a symbolic link.

#include <QByteArray>
#include <QString>

#include <stdexcept>
#include <string>
#include <string_view>

#include <sysexits.h>

namespace tallyquill::cli {

// Exit status beside sysexits.h: 1 nothing was done, 2 the database refused.
constexpr int kNothingDone = 1;
constexpr int kDatabaseError = 2;

// A failure that ends the command with `code`, its message on stderr.
struct Failure : std::runtime_error {
    Failure(int code, const std::string& message) : std::runtime_error(message), code(code) {}
    int code;
};

class Output {
public:
    // An empty path or "-" is standard output. Throws Failure (EX_CANTCREAT).
    Output(const QString& path, bool crlf);
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    bool toFile() const { return fd_ != 1; }
    // Appends one line and its line end. Throws Failure (EX_IOERR).
    void line(const QString& text);
    // A line written as bytes: append its text to pending(), then endLine().
    std::string& pending() { return buffer_; }
    void endLine()
    {
        buffer_ += eol_;
        if (buffer_.size() >= kFlushAt)
            flush();
    }
    // Hands what is buffered to the file or stream.
    void flush();
    // Flushes and, for a file, syncs and closes it.
    void close();

private:
    void writeAll(const char* data, size_t size);

    int fd_ = 1;
    QString path_;
    const char* eol_;
    static constexpr size_t kFlushAt = size_t(1) << 16;
    std::string buffer_;
};

} // namespace tallyquill::cli
