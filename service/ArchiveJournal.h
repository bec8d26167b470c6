#pragma once

// What an archive run with deletion notes beside its file before a day's
// lines go into it: the day and where its lines begin. While the note is
// there the day's delete is not known to have committed, so a later run can
// tell the lines of a delete that never happened (its rows are still in the
// table) from lines whose rows are gone. The note's file is held with an
// exclusive lock for the whole run.

#include <QString>

#include <cstdint>
#include <optional>

namespace tallyquill {

struct PendingDay {
    QString day;         // the stored date
    uint64_t from = 0;   // where its lines begin in the archive file
    uint8_t hidden = 0;  // the columns its lines leave out (bits: app, ws, user, event)
};

class ArchiveJournal {
public:
    // Opens (making it 0600 when missing) and locks the note at `path`; only
    // a regular file of this user's. Throws Error naming the file.
    explicit ArchiveJournal(QString path);
    ~ArchiveJournal();
    ArchiveJournal(const ArchiveJournal&) = delete;
    ArchiveJournal& operator=(const ArchiveJournal&) = delete;

    // The day a run left pending. A note cut short was cut before any line
    // of its day was written (lines follow the note's sync): none. Throws
    // Error for a whole note that makes no sense.
    std::optional<PendingDay> pending() const;
    // On the disk before it returns.
    void record(const PendingDay& day);
    void clear();
    // Removes the note's file when it holds nothing pending.
    void close();

    const QString& path() const { return path_; }

private:
    QString path_;
    int fd_ = -1;
    bool created_ = false;
    bool dirSynced_ = false;
    bool empty_ = true;
};

} // namespace tallyquill
