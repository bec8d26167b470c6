#include "writer/TextFiles.h"

#include "tallyquill/error.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

namespace tallyquill {

namespace {
std::map<int16_t, std::unique_ptr<QFile>>& table()
{
    static std::map<int16_t, std::unique_ptr<QFile>> files;
    return files;
}

// QFile reports a write that the disk refused as "Unknown error"; the
// system says why.
std::string systemReason(const QFile& f)
{
    return errno != 0 ? std::strerror(errno) : f.errorString().toStdString();
}

QFile& fileOf(int16_t fileNo)
{
    auto it = table().find(fileNo);
    if (it == table().end())
        throw Error("Bad file number " + std::to_string(fileNo));
    return *it->second;
}
} // namespace

int16_t FreeFile()
{
    for (int16_t n = 1; n < 512; ++n)
        if (!table().count(n))
            return n;
    throw Error("Too many files open");
}

void OpenForOutput(int16_t fileNo, const QString& path)
{
    if (table().count(fileNo))
        throw Error("File number " + std::to_string(fileNo) + " is already open");
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw Error("Cannot create " + path.toStdString() + ": " + file->errorString().toStdString());
    table()[fileNo] = std::move(file);
}

void PrintLine(int16_t fileNo, const QString& line)
{
    QFile& f = fileOf(fileNo);
    const QByteArray bytes = line.toUtf8() + "\r\n";
    errno = 0;
    if (f.write(bytes) != bytes.size())
        throw Error("Cannot write " + f.fileName().toStdString() + ": " + systemReason(f));
}

void CloseFile(int16_t fileNo)
{
    auto it = table().find(fileNo);
    if (it == table().end())
        return;
    std::unique_ptr<QFile> f = std::move(it->second);
    table().erase(it);
    errno = 0;
    const bool flushed = f->flush();
    const std::string error = systemReason(*f);
    f->close();
    if (!flushed)
        throw Error("Cannot write " + f->fileName().toStdString() + ": " + error);
}

bool IsFileOpen(int16_t fileNo) { return table().count(fileNo) != 0; }

FileGuard::~FileGuard()
{
    try {
        CloseFile(fileNo_);
    } catch (const std::exception&) {
        // Only reached on a path that already failed.
    }
}

} // namespace tallyquill
