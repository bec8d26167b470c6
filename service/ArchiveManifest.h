#pragma once

// The manifest beside archive files: one line per day and run naming the
// byte range of the lines the run wrote, their SHA-256, their count and the
// day's seal, so that the files can be checked offline. Daily files share
// <directory>/<prefix>manifest, a single file has <file>.manifest. The file
// is only appended to. A "cut" line voids what an earlier line claimed past
// a size a file was cut back to (lines of a delete that never committed).
//
//   tallyquill archive manifest 1
//   run file=F day=D offset=N length=N lines=N sha256=H check=C table=T rows=N
//       digest=H previous=H epoch=N sealed=T reason=T replaces=H mac=H hash=H
//   cut file=F size=N
//
// (a run line is one line). Texts are percent-encoded (ManifestText), hashes
// lower-case hex; the seal's fields are empty for a day without a seal.

#include "core/LogFile.h"
#include "core/Sha256.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace tallyquill {

// The day's seal as the archive found it; binary fields raw.
struct ManifestSeal {
    QString table;
    int64_t rows = 0;
    QByteArray digest, previous;
    int64_t epoch = 0;
    QString sealedAt, reason;
    QByteArray replaces, mac, hash;
};

struct ManifestEntry {
    // How the day's rows stood against its seal before they were deleted.
    enum class Check {
        None,     // not checked: nothing deleted, or no seal
        Matched,  // they matched it
        Forced,   // they did not, and the run deleted them anyway
    };
    QString file;  // the archive file's name, relative to the manifest's directory
    QString day;   // the stored date
    uint64_t offset = 0, length = 0;
    int64_t lines = 0;
    QByteArray sha256;  // raw
    Check check = Check::None;
    std::optional<ManifestSeal> seal;
};

// The one way a text goes into a manifest field: UTF-8, every byte but
// letters, digits and "-._~" as %XX. Never holds a blank, "=" or a line end.
QByteArray ManifestText(const QString& text);
// The text of a field, or nothing when the field is not exactly what
// ManifestText makes.
std::optional<QString> FromManifestText(const QByteArray& field);

QByteArray ManifestRunLine(const ManifestEntry& entry);
QByteArray ManifestCutLine(const QString& file, uint64_t size);

QString SingleFileManifest(const QString& file);
QString DailyManifest(const QString& directory, const QString& prefix);

// A manifest read back: its run entries, those a later cut voided left out.
struct ManifestContents {
    std::vector<ManifestEntry> entries;
    std::vector<QString> problems;  // lines that make no sense, by number
};
// Throws Error naming the file when it cannot be read or is no manifest.
ManifestContents ReadManifest(const QString& path);

// SHA-256 of the bytes handed to it, hashed as they come: with the
// processor's SHA instructions that costs less than handing copies to a
// thread of its own.
class LineHasher {
public:
    void add(const char* data, size_t size) { hash_.add(data, size); }
    // The hash of the bytes added since the last result() or reset().
    QByteArray result() { return hash_.finish(); }
    void reset() { hash_.reset(); }

private:
    Sha256 hash_;
};

// Appends to a manifest, holding it locked from the first line to close().
// Made 0600 on the first line, with the tag line first; never through a
// symbolic link, only a regular file of this user's and none of
// `forbidden`.
class ManifestWriter {
public:
    ManifestWriter(QString path, std::vector<FileIdentity> forbidden);
    // Buffered until sync().
    void add(const ManifestEntry& entry);
    // Voids what the manifest claims of `file` past `size`, when it claims
    // anything there; on the disk before it returns.
    void cut(const QString& file, uint64_t size);
    // On the disk, and the name of a manifest this run made.
    void sync();
    void close();
    const QString& path() const { return path_; }

private:
    LogFile& open();

    QString path_;
    std::vector<FileIdentity> forbidden_;
    std::optional<LogFile> file_;
    bool dirty_ = false;
    bool dirSynced_ = false;
};

} // namespace tallyquill
