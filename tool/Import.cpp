// import: archive files read back into the table, all or nothing.

#include "tool/ArchiveLine.h"
#include "tool/Output.h"
#include "tool/Verbs.h"

#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <variant>
#include <vector>

namespace tallyquill::cli {

namespace {

struct ImportOptions {
    Conn c;
    std::string app;
    std::vector<std::string> files;
};

// No archive line is longer: fixed fields and 250 characters of up to four
// bytes each. A longer one is refused without being held.
constexpr qsizetype kMaxArchiveLine = 8192;

// Reads a file's lines, without their line ends, into `line`, once: pipes,
// process substitutions and "-" (standard input) read like files.
class LineReader {
public:
    explicit LineReader(const std::string& path) : path_(path)
    {
        file_ = path == "-" ? stdin : std::fopen(path.c_str(), "rbe");
        if (!file_)
            throw Failure(EX_NOINPUT, "Cannot open " + path + ": " + std::strerror(errno));
    }
    ~LineReader()
    {
        if (file_ && file_ != stdin)
            std::fclose(file_);
    }
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // False at the end. `tooLong` is set for a line over kMaxArchiveLine
    // bytes, whose bytes are skipped.
    bool next(QByteArray& line, bool& tooLong)
    {
        line.clear();
        tooLong = false;
        int c = 0;
        bool any = false;
        while ((c = getc_unlocked(file_)) != EOF) {
            any = true;
            if (c == '\n')
                break;
            if (line.size() < kMaxArchiveLine)
                line += char(c);
            else
                tooLong = true;
        }
        if (std::ferror(file_))
            throw Failure(EX_IOERR, "Cannot read " + path_ + ": " + std::strerror(errno));
        if (!any)
            return false;
        if (line.endsWith('\r') && !tooLong)
            line.chop(1);
        ++number_;
        return true;
    }
    int number() const { return number_; }

private:
    std::string path_;
    FILE* file_ = nullptr;
    int number_ = 0;
};

int runImport(const ImportOptions& o)
{
    // Each input is read once and its checked lines are kept in a private
    // temporary file, so that a pipe or a file changed meanwhile imports what
    // was checked. Every file then goes in one transaction: a refused line or
    // a failed insert leaves the table as it was.
    QTemporaryFile spool;
    if (!spool.open())
        throw Failure(EX_CANTCREAT, "Cannot create a temporary file: " + spool.errorString().toStdString());
    const QString app = q(o.app).toUpper();
    int refused = 0;
    std::vector<int64_t> counts;
    for (const std::string& f : o.files) {
        // A file with a manifest beside it goes in only as the archive
        // wrote it.
        if (f != "-" && QFileInfo(q(f)).isFile()) {
            const command::ArchiveVerification v = command::VerifyArchive(q(f));
            if (v.manifests > 0 && !v.ok()) {
                for (const command::ArchiveFinding& finding : v.findings)
                    if (!finding.problem.isEmpty())
                        std::cerr << f << ": " << (finding.day.isEmpty() ? "" : finding.day.toStdString() + ": ")
                                  << finding.problem.toStdString() << " (" << finding.manifest.toStdString() << ")\n";
                std::cerr << "tallyquill: " << f << " does not match its manifest; nothing was imported\n";
                return EX_DATAERR;
            }
        }
        LineReader in(f);
        QByteArray line;
        bool tooLong = false;
        int64_t count = 0;
        while (in.next(line, tooLong)) {
            QString why;
            if (tooLong) {
                why = QStringLiteral("is longer than any archive line (%1 bytes)").arg(kMaxArchiveLine);
            } else {
                auto parsed = ParseArchiveLine(line);
                if (const QString* w = std::get_if<QString>(&parsed)) {
                    why = *w;
                } else {
                    const Record& r = std::get<Record>(parsed);
                    try {
                        command::CheckRow(r);
                        if (r.AppID.toUpper() != app)
                            why = QStringLiteral("belongs to application %1, not %2").arg(r.AppID, app);
                    } catch (const std::exception& e) {
                        why = QString::fromUtf8(e.what());
                    }
                }
            }
            if (!why.isEmpty()) {
                if (++refused <= 20)
                    std::cerr << f << ":" << in.number() << ": " << why.toStdString() << "\n";
                continue;
            }
            if (spool.write(line + '\n') != line.size() + 1)
                throw Failure(EX_IOERR, "Cannot write a temporary file: " + spool.errorString().toStdString());
            ++count;
        }
        counts.push_back(count);
    }
    if (refused) {
        std::cerr << "tallyquill: " << refused << " line(s) cannot be restored exactly; nothing was imported\n";
        return EX_DATAERR;
    }
    if (!spool.flush() || !spool.seek(0))
        throw Failure(EX_IOERR, "Cannot read a temporary file: " + spool.errorString().toStdString());
    CommandService service = serviceOf(o.c);
    QByteArray line;
    service.import(app, [&](LogRecord& row) {
        line = spool.readLine(kMaxArchiveLine + 2);
        if (line.isEmpty()) {
            if (spool.error() != QFileDevice::NoError)
                throw Failure(EX_IOERR, "Cannot read a temporary file: " + spool.errorString().toStdString());
            return false;
        }
        line.chop(1);
        auto parsed = ParseArchiveLine(line);
        if (!std::holds_alternative<Record>(parsed))
            throw Failure(EX_IOERR, "Cannot read a temporary file: it changed");
        row = std::get<Record>(parsed);
        return true;
    });
    for (size_t i = 0; i < o.files.size(); ++i)
        std::cout << "imported " << counts[i] << " records from " << o.files[i] << " into " << o.app << "_logs\n";
    return EX_OK;
}

} // namespace

Verb setupImport(CLI::App& app)
{
    auto im = std::make_shared<ImportOptions>();
    CLI::App* import = app.add_subcommand("import", "Read archive files back into APPID_logs. A file "
                                                        "that a manifest beside it names goes in only when its "
                                                        "bytes match the manifest.");
    addConnection(import, im->c);
    addApp(import, im->app);
    import->add_option("FILE", im->files, "archive files, written with every column shown")->required();
    return {import, [im] { return runImport(*im); }};
}

} // namespace tallyquill::cli
