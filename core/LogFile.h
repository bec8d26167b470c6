#pragma once

// A text file of log lines that owns its descriptor: archive files, print
// files and the command's --output. Lines are UTF-8 with CRLF. Every failure
// throws tallyquill::Error naming the file and the system's reason.

#include <QByteArray>
#include <QString>

#include <sys/types.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace tallyquill {

// Which file a path names, whatever path reaches it.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};
// The identities of those of `paths` that exist.
std::vector<FileIdentity> IdentitiesOf(const std::vector<QString>& paths);

class LogFile {
public:
    // How an existing file is treated when opened.
    enum class Mode {
        Truncate,  // emptied: the file holds only what this run writes
        // An archive: whatever the file holds stays and new lines go after
        // it. A cut last line (a killed run's) is taken back first. Made 0600 when
        // missing; never reached through a symbolic link; only a regular file
        // of this user's, and none of `forbidden`; held with an exclusive
        // lock (a file another run holds is refused).
        Append,
        // Emptied like Truncate, but made 0600 when missing, never reached
        // through a symbolic link, and only a regular file of this user's:
        // a file at a fixed name that anyone could have planted.
        Private,
    };

    explicit LogFile(const QString& path, Mode mode = Mode::Truncate,
                     const std::vector<FileIdentity>& forbidden = {});
    // Closes the file; a failure here is swallowed (close() reports it).
    ~LogFile();
    LogFile(LogFile&& other) noexcept;
    LogFile& operator=(LogFile&& other) noexcept;
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    void writeLine(const QString& line);
    // Lines already encoded, with their line ends.
    void write(std::string_view bytes);
    // Writes what is buffered and asks the system to put it on the disk.
    void sync();
    // Writes what is buffered: a kill of this process no longer loses it.
    void push() { flush(); }
    // Writes what is buffered and closes; a write that failed late is
    // reported here. Closing a closed file does nothing.
    void close();

    // Cuts the file back to a size it had earlier, dropping what is buffered
    // after it: for lines this run wrote and takes back.
    void truncate(uint64_t size);

    bool isOpen() const { return fd_ >= 0; }
    const QString& path() const { return path_; }
    // Whether this open made the file.
    bool created() const { return created_; }
    // Where the next line lands: the file's size with what is buffered.
    uint64_t size() const { return written_ + uint64_t(buffer_.size()); }

private:
    void openAppend(const QByteArray& native, const std::vector<FileIdentity>& forbidden);
    void takeBackFragment();
    void openPrivate(const QByteArray& native);
    // Refuses (closing the descriptor) anything but a regular file of this
    // user's that is not in `forbidden`; then writes block again.
    void requireOwnRegularFile(const std::vector<FileIdentity>& forbidden);
    // Closes the descriptor and throws `why`.
    [[noreturn]] void refuse(const std::string& why);
    void flush();
    void put(const char* at, size_t left);
    void putBytes(const char* at, size_t left);
    [[noreturn]] void fail(const char* what, int error) const;
    [[noreturn]] void failToCreate(int error) const;

    QString path_;
    int fd_ = -1;
    bool created_ = false;
    uint64_t written_ = 0;  // the file's size, without the buffer
    QByteArray buffer_;
};

// Puts a directory's entries on the disk: a file created in it survives a
// power cut once this returns.
void SyncDirectory(const QString& dir);

} // namespace tallyquill
