// archive and retention: records up to a day into text files, and/or out of
// the table.

#include "tool/ExitCode.h"
#include "tool/Output.h"
#include "tool/Sealing.h"
#include "tool/Verbs.h"

#include <QDate>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include <unistd.h>

namespace tallyquill::cli {

namespace {

struct ArchiveOptions {
    Conn c;
    std::string app, until, file, daily, prefix, hide, dateOrder;
    bool del = false, dryRun = false, yes = false, force = false;
};

// Deleting records that go into no file loses them: on a terminal the
// operator says yes to the number, elsewhere --yes must say it beforehand.
// Answers whether to go on.
bool deletionAgreed(const ArchiveOptions& o, CommandService& command, const QString& until)
{
    int64_t total = 0;
    for (const auto& [day, count] : command.archivePlan(q(o.app), until))
        total += count;
    if (total == 0 || o.yes)
        return true;
    const std::string what = std::to_string(total) + " records of " + o.app + " dated up to "
                             + IsoDate(until).toStdString();
    if (isatty(STDIN_FILENO) != 1 || isatty(STDERR_FILENO) != 1)
        throw Usage("--delete without --file or --daily would delete " + what
                    + " that are archived nowhere: add --yes to delete them, or --dry-run to see what would go");
    std::cerr << "Delete " << what << " without archiving them? [y/N] " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    const QString a = q(answer).trimmed().toLower();
    if (a == QLatin1String("y") || a == QLatin1String("yes"))
        return true;
    std::cerr << "nothing was deleted\n";
    return false;
}

// Rows and rows per second on a terminal, a few times a second; nothing
// when stderr is a file or a pipe.
class Progress {
public:
    Progress() : shown_(isatty(STDERR_FILENO) == 1) { clock_.start(); }
    ~Progress() { done(); }
    void operator()(int64_t rows)
    {
        if (!shown_ || clock_.elapsed() < next_)
            return;
        next_ = clock_.elapsed() + 250;
        const double secs = std::max<qint64>(1, clock_.elapsed()) / 1000.0;
        std::fprintf(stderr, "\r%lld rows, %.0f rows/s ", static_cast<long long>(rows), double(rows) / secs);
        drawn_ = true;
    }
    void done()
    {
        if (drawn_)
            std::fputs("\r\033[K", stderr);
        drawn_ = false;
    }

private:
    bool shown_;
    bool drawn_ = false;
    QElapsedTimer clock_;
    qint64 next_ = 250;
};

int runArchive(const ArchiveOptions& o)
{
    const bool toFile = !o.file.empty() || !o.daily.empty();
    if (!toFile && !o.del)
        throw Usage("nothing to do: give --file, --daily or --delete");
    if (!o.daily.empty() && o.prefix.empty())
        throw Usage("--daily needs --prefix");
    const LineLayout layout = layoutOf(o.hide);
    const QString until = ParseWhen(q(o.until), dateOrderOf(o.dateOrder), Edge::End, QDateTime::currentDateTime()).date;
    // Connecting first gives an unreachable data source its own status and
    // the driver's reason.
    CommandService command = serviceOf(o.c);
    command.connect();
    if (o.del && !toFile && !o.dryRun && !deletionAgreed(o, command, until))
        return 1;

    if (o.dryRun) {
        int64_t total = 0;
        for (const auto& [day, count] : command.archivePlan(q(o.app), until)) {
            total += count;
            if (!o.daily.empty()) {
                const QString path = q(o.daily) + QLatin1Char('/') + q(o.prefix) + day + QStringLiteral(".log");
                std::cout << "would write " << count << " records to " << path.toStdString()
                          << (QFile::exists(path) ? " (the file exists)" : "") << "\n";
            }
        }
        if (!o.file.empty())
            std::cout << "would write " << total << " records to " << o.file << "\n";
        std::cout << "would " << (o.del ? "delete " : "keep ") << total << " records of " << o.app
                  << " dated up to " << IsoDate(until).toStdString() << "; nothing was changed\n";
        return EX_OK;
    }

    ArchiveRequest request;
    request.AppID = q(o.app);
    request.ArchiveDate = until;
    request.ToFile = toFile;
    request.DelRecord = o.del;
    request.MultiFile = !o.daily.empty();
    request.FilePrefix = q(o.prefix);
    request.Filename = q(o.daily.empty() ? o.file : o.daily);
    request.Force = o.force;
    Progress progress;
    request.progress = [&](int64_t rows) { progress(rows); };
    const ArchiveOutcome outcome = command.archive(request, layout);
    progress.done();
    std::cout << "archived " << outcome.written << " records to " << outcome.files << " file(s); deleted "
              << outcome.deleted << " records\n";
    for (const QString& day : outcome.forcedDays)
        std::cerr << "tallyquill: deleted " << IsoDate(day).toStdString()
                  << " although its records did not match its seal (--force)"
                  << (toFile ? "; the manifest records it\n" : "\n");
    if (!outcome.ok) {
        command::ShowError(command::msg::ArchiveFailed, QStringLiteral("Error in archive record"),
                           QStringLiteral(": ") + outcome.reason);
        // A failure of no known kind is the archive's files, as it always was.
        return outcome.category == ErrorCategory::Internal ? EX_IOERR : ExitCodeFor(outcome.category);
    }
    return EX_OK;
}

// The nightly job: archive to daily files and delete what is older than
// `keep` days.
struct RetentionOptions {
    ArchiveOptions a;
    std::string keep, grace = "48h", keyFile;
};

int runRetention(const RetentionOptions& o)
{
    ArchiveOptions a = o.a;
    const int days = ParseDays(q(o.keep));
    const QDate until = QDate::currentDate().addDays(-days);
    a.until = until.toString(Qt::ISODate).toStdString();
    a.del = true;
    // Seal first: a day deleted unsealed could never be sealed. The days
    // about to go are sealed even inside the grace period.
    const QString keyFile = KeyFileOf(o.keyFile);
    if (!QFile::exists(keyFile)) {
        std::cerr << "tallyquill: not sealing " << o.a.app << ": no key file " << keyFile.toStdString()
                  << " (tallyquill seal --init makes one)\n";
    } else if (o.a.dryRun) {
        std::cout << "would seal the closed days of " << o.a.app << " first\n";
    } else {
        CommandService service = serviceOf(o.a.c);
        SealAndReport(service, o.a.app,
                      std::max(LastClosedDay(o.grace, QDateTime::currentDateTime()),
                               until.toString(QStringLiteral("yyyyMMdd"))),
                      keyFile);  // one table: a failure throws, and nothing is archived
    }
    return runArchive(a);
}

} // namespace

Verb setupArchive(CLI::App& app)
{
    auto a = std::make_shared<ArchiveOptions>();
    CLI::App* archive = app.add_subcommand(
        "archive", "Write records up to a day to text files and/or delete them. Files are appended to, never "
                   "emptied; a symbolic link, a target that is not a regular file, another user's file, the "
                   "database's own file, or a file another run is writing is refused. With --delete the run goes "
                   "one stored date at a time: that day's lines are written and synced to the disk, only those "
                   "records are deleted, and SQLite's write lock is held for one day's records at most. A failed "
                   "run stops after the last day it archived and deleted, names those days, and leaves the rest "
                   "in the table. A day that fails on its own is skipped and named, with --delete or without. "
                   "A note beside the files (FILE.pending, DIR/<prefix>archive.pending) names the day whose "
                   "delete has not committed yet; the next run takes back its lines if its records are still "
                   "in the table. Each day's lines are named in a manifest beside the files (FILE.manifest, "
                   "DIR/<prefix>manifest) with their byte range, SHA-256, count and the day's seal, which verify "
                   "--archive and import check. With --delete a sealed day is deleted only when its records still "
                   "match its seal.");
    addConnection(archive, a->c);
    addApp(archive, a->app);
    archive->add_option("--until,--to", a->until, "last day archived, included")->type_name("DATE")->required();
    archive->add_option("--date-order", a->dateOrder, "read a/b/yyyy as dmy or mdy")
        ->check(CLI::IsMember({"dmy", "mdy"}));
    auto* file = archive->add_option("--file", a->file, "append every record to PATH")->type_name("PATH");
    auto* daily = archive->add_option("--daily", a->daily, "append each day's records to DIR/<prefix><yyyymmdd>.log")->type_name("DIR");
    file->excludes(daily);
    archive->add_option("--prefix", a->prefix, "first part of each daily file's name")->type_name("P");
    archive->add_flag("--delete", a->del, "delete the records up to the day; with files, only those written");
    archive->add_option("--hide", a->hide, "leave these columns out of the lines (such files cannot be imported)")
        ->type_name("LIST");
    archive->add_flag("--dry-run", a->dryRun, "say what a run would write and delete; change nothing");
    archive->add_flag("--force", a->force, "with --delete: delete a sealed day even when its records no longer "
                                           "match its seal (the manifest records it); without it such a day stops "
                                           "the run and stays in the table");
    archive->add_flag("--yes,-y", a->yes, "with --delete and no file: delete without asking (a run that is not "
                                          "on a terminal needs it)");
    return {archive, [a] { return runArchive(*a); }};
}

Verb setupRetention(CLI::App& app)
{
    auto r = std::make_shared<RetentionOptions>();
    CLI::App* retention = app.add_subcommand("retention", "Seal the closed days, then archive to daily files and "
                                                          "delete what is older than --keep: the nightly job in one "
                                                          "line.");
    addConnection(retention, r->a.c);
    addApp(retention, r->a.app);
    retention->add_option("--keep", r->keep, "days kept in the table, today included (90d or 90)")->type_name("DAYS")->required();
    retention->add_option("--daily", r->a.daily, "directory of the daily files")->type_name("DIR")->required();
    retention->add_option("--prefix", r->a.prefix, "first part of each daily file's name")->type_name("P")->required();
    retention->add_flag("--dry-run", r->a.dryRun, "say what a run would do; change nothing");
    retention->add_flag("--force", r->a.force, "delete sealed days whose records no longer match their seal "
                                               "(the manifest records it)");
    retention->add_option("--key-file", r->keyFile, "seal the closed days first with this key file (default "
                                                        + command::DefaultSealKeyFile().toStdString()
                                                        + "; none there: no sealing, said on stderr)")
        ->type_name("PATH");
    retention->add_option("--grace", r->grace, "as for seal (default 48h); the days deleted are sealed anyway")
        ->type_name("TIME");
    return {retention, [r] { return runRetention(*r); }};
}

} // namespace tallyquill::cli
