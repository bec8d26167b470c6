// index: the activity index that makes "activity contains" fast.

#include "tool/Output.h"
#include "tool/Verbs.h"

#include <iostream>

namespace tallyquill::cli {

namespace {

struct IndexOptions {
    Conn c;
    std::string app;
    bool activity = false;
    bool drop = false;
};

int runIndex(const IndexOptions& o)
{
    if (!o.activity)
        throw Usage("index needs --activity (the only index it makes)");
    CommandService service = serviceOf(o.c);
    std::vector<QString> apps;
    if (!o.app.empty()) {
        apps.push_back(q(o.app));
    } else {
        for (const auto& a : service.apps())
            if (a.problem.isEmpty())
                apps.push_back(a.appId);
        if (apps.empty()) {
            std::cerr << "tallyquill: no log tables (APPID_logs) on " << o.c.dsn << "\n";
            return kNothingDone;
        }
    }
    for (const QString& app : apps) {
        const auto r = service.indexActivity(app, o.drop);
        const char* what = nullptr;
        if (o.drop)
            what = r.changed ? "dropped" : "absent, nothing to drop";
        else if (!r.changed)
            what = "present already";
        else
            what = r.before == ActivityIndexState::Absent ? "built" : "built again";
        std::cout << "activity index " << r.name.toStdString() << " on " << app.toStdString() << "_logs: " << what
                  << "\n";
    }
    return EX_OK;
}

} // namespace

Verb setupIndex(CLI::App& app)
{
    auto o = std::make_shared<IndexOptions>();
    CLI::App* index = app.add_subcommand("index", "Build (or --drop) the index that makes the activity filter fast, "
                                                  "for one application or every one.");
    addConnection(index, o->c);
    addApp(index, o->app, false);
    index->add_flag("--activity", o->activity, "the activity index: pg_trgm GIN on PostgreSQL, FTS5 trigram on SQLite");
    index->add_flag("--drop", o->drop, "drop the index instead");
    return {index, [o] { return runIndex(*o); }};
}

} // namespace tallyquill::cli
