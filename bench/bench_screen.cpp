// The viewer screen dragged from the first record to the last of a 100,000
// record retrieval: every page on the way is downloaded, and the grid ends on
// the last ten. Offscreen, on a SQLite file through the ODBC driver.

#include "BenchSupport.h"

#include "odbc/Odbc.h"
#include "screens/frmLogMain.h"
#include "tallyquill/embedded.h"
#include "viewer/ViewerAdapter.h"
#include "core/LogTable.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QScrollBar>
#include <QTableWidget>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

constexpr int kRecords = 100000;
std::string g_dsn;

using tqbench::rssMB;

void fillTable()
{
    tallyquill::odbc::Connection c;
    c.open(QString::fromStdString(g_dsn), {}, {});
    c.execute(tallyquill::CreateTableSql(QStringLiteral("SCROLL_logs")));
    c.execute(tallyquill::CreateIndexSql(QStringLiteral("SCROLL_logs")));
    // 100,000 records over ten days, ten thousand a day.
    c.execute(QStringLiteral(
        "INSERT INTO SCROLL_logs WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
        "SELECT 'SCROLL', 'WS' || (i % 7), '199806' || printf('%02d', 1 + i / 10000), "
        "printf('%02d%02d%02d', (i % 10000) / 3600 % 24, (i % 10000) / 60 % 60, (i % 10000) % 60), "
        "'USER' || (i % 13), 'EV' || (i % 5), 'activity of record ' || (i + 1) FROM n")
                  .arg(kRecords - 1));
}

void ScrollToTheEnd(benchmark::State& state)
{
    tallyquill::ViewerAdapter viewer;
    viewer.service.source = {QString::fromStdString(g_dsn), {}, {}, QStringLiteral("SCROLL")};
    tallyquill::frmLogMain screen;
    screen.listener = &viewer;
    screen.load();
    screen.txtDateRangeStart->setText(QStringLiteral("01/06/1998"));
    screen.txtDateRangeEnd->setText(QStringLiteral("30/06/1998"));
    screen.txtAppID->setText(QStringLiteral("SCROLL"));
    double growth = 0;
    for (auto _ : state) {
        state.PauseTiming();
        screen.cmdRetrieve_Click();
        const double before = rssMB();
        state.ResumeTiming();
        QScrollBar* bar = screen.vscLogList;
        bar->setValue(bar->maximum());
        state.PauseTiming();
        growth = rssMB() - before;
        const QString last = screen.grdLogList->item(tallyquill::frmLogMain::kGridRows - 1,
                                                     screen.grdLogList->columnCount() - 1)
                                 ->text();
        if (screen.pager().downloaded() != kRecords
            || last != QStringLiteral("activity of record %1").arg(kRecords)) {
            state.SkipWithError("the grid did not end on the last record");
            break;
        }
        state.ResumeTiming();
    }
    state.counters["records"] = kRecords;
    state.counters["rss_growth_MB"] = growth;
    state.counters["bytes_per_record"] = growth * 1024 * 1024 / kRecords;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    tqbench::IsolateDataSources(dir);
    g_dsn = "tqbench_scroll";
    tallyquill::SetupEmbeddedDefault(g_dsn, (dir.path() + QStringLiteral("/scroll.sqlite")).toStdString());
    fillTable();
    benchmark::RegisterBenchmark("ScrollToTheEnd/100000", ScrollToTheEnd)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(3);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
