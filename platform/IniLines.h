#pragma once

// An INI file as the lines it holds, byte for byte, for a program that edits
// only its own sections: everything else in the file (other programs'
// sections, comments, blank lines, line ends) is written back as it was.
// Read by hand: Qt's settings cache can serve stale values for a file
// rewritten behind it, and it rewrites the whole file in its own form.

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>
#include <vector>

#include <sys/types.h>

namespace tallyquill::platform {

class IniLines {
public:
    struct Section {
        QString name;       // empty before the first header
        QByteArray header;  // the "[name]" line as written
        QList<QByteArray> lines;
    };

    // The file at `path`, through symbolic links to the file they name,
    // which a later save() writes in their place. A missing file reads as
    // empty. None, with errno, when the file exists but cannot be read whole
    // (not a regular file, no rights, a read error, more than `maxSize`
    // bytes): then it must not be written over either.
    static std::optional<IniLines> read(const QString& path, qint64 maxSize = -1);

    bool exists() const { return exists_; }
    const std::vector<Section>& sections() const { return sections_; }
    // Replaces the first section of that name, or adds it at the end after
    // a blank line; `lines` end with a blank one.
    void put(const QString& name, QList<QByteArray> lines);
    // Removes every section of that name.
    void remove(const QString& name);
    QByteArray text() const;

    // Writes the text when it changed (or there was no file): its missing
    // folders are made private, the old mode is kept (0600 for a new file),
    // and a crash leaves the old file or the new. Answers 0 or the errno.
    int save() const;

private:
    QString file_;
    bool exists_ = false;
    mode_t mode_ = 0600;
    QByteArray original_;
    std::vector<Section> sections_;
};

} // namespace tallyquill::platform
