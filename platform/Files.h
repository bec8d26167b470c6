#pragma once

// The system calls every file of ours is written with, done in full: a write
// the system cuts short or a signal interrupts is taken up again, and a
// failure keeps its errno for the caller's message.

#include <QByteArray>
#include <QString>

#include <cstddef>

#include <sys/types.h>

namespace tallyquill::platform {

// Writes all of `data`. Answers how many bytes were written: fewer than
// `size` only on a failure, whose errno is left set (ENOSPC when the system
// wrote nothing and gave no reason).
size_t WriteAll(int fd, const char* data, size_t size);
size_t PwriteAll(int fd, const char* data, size_t size, off_t at);
// Reads exactly `size` bytes at `at`; false on a failure (errno) or when the
// file ends first (EIO).
bool PreadAll(int fd, char* data, size_t size, off_t at);
// Syncs a directory, so that a name made, renamed or removed in it outlives
// a power cut. Answers 0 or the errno.
int SyncDirectory(const QString& dir);

// What stopped a directory from being made, and where.
struct DirectoryFault {
    enum Step { None, Create, Open, NotOwn, MakePrivate };
    Step step = None;
    QString path;  // the level that failed
    int error = 0;
    explicit operator bool() const { return step != None; }
};
// Makes the missing levels of `dir`, each for the owner alone (0700): who
// can list a folder sees its files' names. Existing levels stay as they are.
DirectoryFault MakeDirectories(const QString& dir);
// The same, and `dir` itself must then be a directory of this user, not a
// symbolic link (someone else's folder would show them our files); it is
// made 0700 when it is not.
DirectoryFault MakePrivateDirectory(const QString& dir);

// Replaces the file at `path` (no symbolic link is followed) with `bytes`:
// written beside it, synced, renamed over it and the directory synced, so
// that a crash or a full disk leaves the old file or the new, never half of
// one. The file gets `mode`. Answers 0 or the errno.
int ReplaceFile(const QString& path, const QByteArray& bytes, mode_t mode);

} // namespace tallyquill::platform
