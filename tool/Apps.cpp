// apps: the applications with a log table, their record counts and dates.

#include "tool/Output.h"
#include "tool/Sealing.h"
#include "tool/Verbs.h"

#include <map>

#include <iostream>

namespace tallyquill::cli {

namespace {

QString stamp(const QString& s)
{
    return s.size() < 14 ? QString() : IsoDate(s.left(8)) + QLatin1Char(' ') + IsoTime(s.mid(8, 6));
}

QString activityIndex(ActivityIndexState s)
{
    return s == ActivityIndexState::Present     ? QStringLiteral("yes")
           : s == ActivityIndexState::OutOfStep ? QStringLiteral("out of step")
                                                : QStringLiteral("no");
}

struct AppsOptions {
    Conn c;
};

int runApps(const AppsOptions& o)
{
    const Conn& c = o.c;
    CommandService service = serviceOf(c);
    const auto apps = service.apps();
    if (apps.empty()) {
        std::cerr << "tallyquill: no log tables (APPID_logs) on " << c.dsn << "\n";
        return EX_OK;
    }
    // Each table's seals: the last sealed day, and whether the rows and the
    // chain verify (without the key).
    std::map<QString, QString> seals;
    for (const auto& r : service.verifySeals(QString(), LastClosedDay("48h", QDateTime::currentDateTime()), {}, {}))
        seals[r.appId] = !r.problem.isEmpty() ? QStringLiteral("?")
                         : r.lastHash.isEmpty()  ? QStringLiteral("-")
                                              : IsoDate(r.lastSealedDay) + (r.intact ? QStringLiteral(" verifies")
                                                                                     : QStringLiteral(" DOES NOT VERIFY"));
    Output out(QString(), false);
    out.line(QStringLiteral("%1 %2  %3  %4  %5  %6").arg(QStringLiteral("App ID"), -10).arg(QStringLiteral("Records"), 10)
                 .arg(QStringLiteral("First"), -19).arg(QStringLiteral("Last"), -19)
                 .arg(QStringLiteral("Activity index"), -14).arg(QStringLiteral("Sealed to")));
    for (const auto& a : apps) {
        if (!a.problem.isEmpty())
            out.line(QStringLiteral("%1 %2  %3").arg(a.appId, -10).arg(QStringLiteral("?"), 10)
                         .arg(QString::fromStdString(printable(a.problem))));
        else
            out.line(QStringLiteral("%1 %2  %3  %4  %5  %6").arg(a.appId, -10).arg(a.records, 10).arg(stamp(a.first), -19)
                         .arg(stamp(a.last), -19).arg(activityIndex(a.activityIndex), -14)
                         .arg(seals.count(a.appId) ? seals[a.appId] : QStringLiteral("-")));
    }
    out.close();
    return EX_OK;
}

} // namespace

Verb setupApps(CLI::App& app)
{
    auto a = std::make_shared<AppsOptions>();
    CLI::App* apps = app.add_subcommand("apps", "List the applications with a log table, their record counts, "
                                                "date ranges, and the last sealed day with whether the seals "
                                                "verify (without the key; see verify).");
    addConnection(apps, a->c);
    return {apps, [a] { return runApps(*a); }};
}

} // namespace tallyquill::cli
