#pragma once

// Text files by number, shared by the archive, the print feed and the print
// dialog: a caller takes a free number, opens a file under it, writes lines
// (UTF-8, CRLF) and closes it. Every failure throws tallyquill::Error.

#include <QString>

#include <cstdint>

namespace tallyquill {

int16_t FreeFile();
// Opens for writing as a new file: an existing file is emptied.
void OpenForOutput(int16_t fileNo, const QString& path);
void PrintLine(int16_t fileNo, const QString& line);
// Flushes and closes; a write that failed late is reported here.
void CloseFile(int16_t fileNo);
bool IsFileOpen(int16_t fileNo);

// Closes the file when it goes out of scope, unless closed already.
class FileGuard {
public:
    explicit FileGuard(int16_t fileNo) : fileNo_(fileNo) {}
    ~FileGuard();
    FileGuard(const FileGuard&) = delete;
    FileGuard& operator=(const FileGuard&) = delete;

private:
    int16_t fileNo_;
};

} // namespace tallyquill
