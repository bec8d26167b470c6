// list: the records that match a filter, oldest first; with --follow, then
// the new ones as they arrive.

#include "tool/Follow.h"
#include "tool/Output.h"
#include "tool/Pager.h"
#include "tool/Verbs.h"

#include <QRegularExpression>

#include <algorithm>
#include <cstdint>
#include <csignal>
#include <ctime>
#include <iostream>
#include <vector>

namespace tallyquill::cli {

namespace {

struct ListOptions {
    Conn c;
    std::string app, from, to, timeFrom, timeTo, dateOrder, activity, hide, output, format = "text", grep;
    std::vector<std::string> ws, users, events;
    bool crlf = false, follow = false, noPager = false, noColor = false, reverse = false;
    int last = 0;
    double interval = 1.0;
};

volatile std::sig_atomic_t stopRequested = 0;
extern "C" void onStopSignal(int) { stopRequested = 1; }

// Sleeps up to `seconds`, waking early when Ctrl-C or SIGTERM arrives.
void pause(double seconds)
{
    for (double left = seconds; left > 0 && !stopRequested; left -= 0.05) {
        const timespec slice{0, long(std::min(left, 0.05) * 1e9)};
        nanosleep(&slice, nullptr);
    }
}

std::vector<QString> capitals(const std::vector<std::string>& values)
{
    std::vector<QString> out;
    for (const std::string& v : values)
        out.push_back(q(v).toUpper());
    return out;
}

// --grep as journalctl has it: PCRE2 (through Qt's), ignoring case unless
// the pattern holds a capital.
std::optional<QRegularExpression> grepOf(const std::string& pattern)
{
    if (pattern.empty())
        return std::nullopt;
    const QString text = q(pattern);
    QRegularExpression::PatternOptions options = QRegularExpression::UseUnicodePropertiesOption;
    if (text == text.toLower())
        options |= QRegularExpression::CaseInsensitiveOption;
    QRegularExpression re(text, options);
    if (!re.isValid())
        throw Usage("--grep " + pattern + ": " + re.errorString().toStdString() + " at offset "
                    + std::to_string(re.patternErrorOffset()));
    return re;
}

// Where the event type begins in a text line, in characters; -1 when hidden.
int eventColumnOf(const LineLayout& l)
{
    if (l.hideEvent)
        return -1;
    return kDateWidth + 1 + kTimeWidth + 1 + (l.hideAppID ? 0 : kAppIdWidth + 1) + (l.hideWsID ? 0 : kWsIdWidth + 1)
           + (l.hideUser ? 0 : kUserWidth + 1);
}

int runList(const ListOptions& o)
{
    const Format format = *FormatNamed(q(o.format));
    const LineLayout layout = layoutOf(o.hide);
    if (FormatNamed(q(o.output)))
        throw Usage("--output " + o.output + " would write a file named " + o.output + "; for the format give -o "
                    + o.output + " (--format), for such a file ./" + o.output);
    const std::optional<QRegularExpression> grep = grepOf(o.grep);
    if (o.follow && !o.to.empty())
        throw Usage("--follow prints records as they arrive, so it takes no --to");
    if (o.follow && o.reverse)
        throw Usage("--follow prints the newest records last, so it takes no --reverse");

    const QDateTime now = QDateTime::currentDateTime();
    const DateOrder order = dateOrderOf(o.dateOrder);
    LogQuery query;
    query.appId = q(o.app);
    Instant from, to;
    if (!o.from.empty())
        from = ParseWhen(q(o.from), order, Edge::Start, now);
    else if (o.to.empty() && o.last == 0)
        from = ToInstant(now.addSecs(-24 * 3600));  // the last day, as journalctl users expect
    if (!o.to.empty())
        to = ParseWhen(q(o.to), order, Edge::End, now);
    if (!from.date.isEmpty() && !to.date.isEmpty() && to < from)
        throw BadValue(command::msg::InvalidDateRange, "Invalid date range");
    query.fromDate = from.date;
    query.fromTime = from.time;
    query.toDate = to.date;
    query.toTime = to.time;

    if (o.timeFrom.empty() != o.timeTo.empty()) {
        showBadValue(o.timeFrom.empty() ? BadValue(command::msg::NoStartTime, "No start time")
                                        : BadValue(command::msg::NoEndTime, "No end time"));
        std::cerr << "tallyquill: give --time-from and --time-to together\n";
        return EX_USAGE;
    }
    if (!o.timeFrom.empty()) {
        query.dayTimeFrom = ParseTimeOfDay(q(o.timeFrom));
        query.dayTimeTo = ParseTimeOfDay(q(o.timeTo));
        if (query.dayTimeTo < query.dayTimeFrom)
            throw BadValue(command::msg::InvalidTimeRange, "Invalid time range");
    }
    query.wsIds = capitals(o.ws);
    query.users = capitals(o.users);
    query.events = capitals(o.events);
    query.activity = q(o.activity);
    query.last = o.last;
    query.newestFirst = o.reverse;
    // The newest N that match: the pattern is applied here, so the database
    // gives every record and only the last N matching ones are kept.
    const bool lastMatching = grep && o.last > 0;
    if (lastMatching) {
        query.last = 0;
        query.newestFirst = false;
    }

    CommandService service = serviceOf(o.c);
    const bool toFile = !o.output.empty() && o.output != "-";
    // The print file keeps its CRLF; CSV has it by its standard; a terminal
    // and a pipe get the platform's LF.
    const bool crlf = format == Format::Csv || (format == Format::Text && (toFile || o.crlf));
    // A pager and colour only where a person reads: a terminal, no file,
    // and (for the pager) an end to the listing.
    // Colour is decided on the terminal itself, before the pager takes
    // standard output (less -R passes it through).
    const bool colour = !toFile && format == Format::Text && ColourWanted(o.noColor);
    Pager pager(!toFile && !o.follow && !o.noPager);
    const int eventColumn = eventColumnOf(layout);
    Output out(q(o.output), crlf);
    if (auto header = HeaderLine(format, layout))
        out.line(*header);

    FollowCursor cursor;
    int64_t printed = 0;
    // Bytes in, bytes out: no QString per record unless a pattern or
    // colour needs one.
    auto print = [&](const RecordBytes& r) {
        // Only --follow reads records again, so only it remembers any.
        if (o.follow && !cursor.admit(r))
            return;
        if (grep && !grep->match(Decoded(r.activity)).hasMatch())
            return;
        if (colour) {
            out.line(Coloured(RecordLine(format, RecordOf(r), layout), eventColumn, kEventWidth));
        } else {
            AppendRecordLine(out.pending(), format, r, layout);
            out.endLine();
        }
        ++printed;
    };
    if (o.follow) {
        // Ctrl-C ends the loop at the next look, and the output is complete.
        struct sigaction stop {};
        stop.sa_handler = onStopSignal;
        sigaction(SIGINT, &stop, nullptr);
        sigaction(SIGTERM, &stop, nullptr);
    }
    cursor.beginPoll(ToInstant(QDateTime::currentDateTime()));
    try {
        if (lastMatching) {
            CommandService::KeptRecords newest{size_t(o.last)};
            service.selectBytes(query, [&](const RecordBytes& r) {
                if (grep->match(Decoded(r.activity)).hasMatch())
                    newest.add(r);
            });
            for (size_t i = 0; i < newest.size(); ++i)
                print(newest.at(o.reverse ? newest.size() - 1 - i : i));
        } else {
            service.selectBytes(query, print);
        }
        out.flush();
    } catch (const Failure&) {
        // A reader who quits the pager early wanted no more.
        if (pager.quit())
            return EX_OK;
        throw;
    }
    cursor.endPoll();

    if (o.follow) {
        query.last = 0;
        bool warned = false;
        while (!stopRequested) {
            pause(o.interval);
            if (stopRequested)
                break;
            const Instant wall = ToInstant(QDateTime::currentDateTime());
            const Instant start = cursor.pollFrom(from, wall);
            query.fromDate = start.date;
            query.fromTime = start.time;
            try {
                cursor.beginPoll(wall);
                service.selectBytes(query, print);
                cursor.endPoll();
                warned = false;
            } catch (const DatabaseError& e) {
                // A server that went away is waited for; anything else ends it.
                if (service.connected())
                    throw;
                if (!warned)
                    std::cerr << "tallyquill: " << e.what() << " (trying again)\n";
                warned = true;
            } catch (const SourceUnavailable& e) {
                if (!warned)
                    std::cerr << "tallyquill: " << e.what() << " (trying again)\n";
                warned = true;
            }
            out.flush();
        }
    }
    try {
        out.close();
    } catch (const Failure&) {
        if (!pager.quit())
            throw;
    }
    pager.finish();
    if (printed == 0 && !o.follow)
        command::ShowNotice(command::msg::NoRecordFound, QStringLiteral("No Record Found"), command::msg::RetrieveLogs,
                            QStringLiteral("Retrieve Logs"));
    return EX_OK;
}

// An option that takes several values, as many times as it is given.
void addMany(CLI::App* verb, const char* name, std::vector<std::string>& into, const char* what)
{
    verb->add_option(name, into, what)->type_name("VALUE")->allow_extra_args(false)->take_all();
}

} // namespace

Verb setupList(CLI::App& app)
{
    auto l = std::make_shared<ListOptions>();
    CLI::App* list = app.add_subcommand("list", "Print the records that match a filter, oldest first.");
    addConnection(list, l->c);
    addApp(list, l->app);
    addDates(list, l->from, l->to, l->dateOrder);
    list->add_option("--time-from", l->timeFrom, "time of day range, applied to every day")->type_name("HH:MM:SS");
    list->add_option("--time-to", l->timeTo, "end of the time of day range")->type_name("HH:MM:SS");
    addMany(list, "--ws", l->ws, "workstation ID; repeat it for any of several");
    addMany(list, "--user", l->users, "user name; repeat it for any of several");
    addMany(list, "--event", l->events, "event type; repeat it for any of several");
    list->add_option("--activity", l->activity, "activity containing TEXT (% and _ act as wildcards)");
    list->add_option("--grep,-g", l->grep, "only records whose activity matches the PCRE2 PATTERN; case is "
                                           "ignored unless it holds a capital")
        ->type_name("PATTERN");
    list->add_option("--format,-o", l->format, "text (the print file's layout), csv (RFC 4180) or json (one object "
                                            "per line)")
        ->check(CLI::IsMember({"text", "csv", "json"}));
    list->add_option("--hide", l->hide, "leave these text columns out: app,ws,user,event")->type_name("LIST");
    list->add_option("--output", l->output, "write to FILE (created 0600, CRLF for text) instead of stdout; - is "
                                            "stdout")
        ->type_name("FILE");
    list->add_flag("--crlf", l->crlf, "end text lines with CRLF on stdout too");
    list->add_flag("--no-pager", l->noPager, "never page (a terminal otherwise gets $TALLYQUILL_PAGER, $PAGER or "
                                             "less)");
    list->add_flag("--no-color", l->noColor, "no colour on a terminal (NO_COLOR does the same)");
    list->add_option("--last,-n", l->last, "only the newest N records (still printed oldest first)")
        ->check(kCount);
    list->add_flag("--reverse,-r", l->reverse, "newest first");
    list->add_flag("--follow,-f", l->follow, "then print new records as they arrive, until Ctrl-C");
    list->add_option("--interval", l->interval, "seconds between two looks for new records (default 1)")
        ->check(CLI::Range(0.05, 3600.0));
    return {list, [l] { return runList(*l); }};
}

} // namespace tallyquill::cli
