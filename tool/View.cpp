// view and demo: the viewer's screen, and demonstration records to show on it.

#include "tool/Output.h"
#include "tool/Verbs.h"

#include "tallyquill/msg_logger.h"

#include <QDateTime>

#include <algorithm>
#include <iostream>
#include <iterator>

namespace tallyquill::cli {

namespace {

struct ViewOptions {
    Conn c;
    std::string app, caption, hide, userTitle, eventTitle, activityTitle, from, to, dateOrder;
};

int runView(const ViewOptions& o)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::cerr << "tallyquill: no display to open the viewer on (DISPLAY is not set)\n";
        return kNothingDone;
    }
    const LineLayout l = layoutOf(o.hide);
    const QDateTime now = QDateTime::currentDateTime();
    auto screenDate = [&](const std::string& text, Edge edge) {
        return text.empty() ? QString() : command::ShownDate(ParseWhen(q(text), dateOrderOf(o.dateOrder), edge, now).date);
    };
    command::ViewerSetup s;
    s.dsn = q(o.c.dsn);
    s.login = q(o.c.login);
    s.password = q(o.c.password);
    s.appId = q(o.app);
    s.caption = q(o.caption);
    s.userTitle = q(o.userTitle);
    s.eventTitle = q(o.eventTitle);
    s.activityTitle = q(o.activityTitle);
    s.hideAppID = l.hideAppID;
    s.hideWsID = l.hideWsID;
    s.hideUser = l.hideUser;
    s.hideEvent = l.hideEvent;
    s.firstStartDate = screenDate(o.from, Edge::Start);
    s.firstEndDate = screenDate(o.to, Edge::End);
    return command::ShowViewer(s) ? EX_OK : kNothingDone;
}

struct DemoOptions {
    Conn c;
    std::string app = "DEMO";
    int count = 300, days = 7;
};

int runDemo(const DemoOptions& o)
{
    struct Event {
        const char* user;
        const char* type;
        const char* text;
    };
    static const Event events[] = {
        {"john", "login", "Signed on"},
        {"john", "order", "Order %1 entered for ACME Ltd"},
        {"mary", "login", "Signed on"},
        {"mary", "print", "Printed invoice %1"},
        {"mary", "logout", "Signed off"},
        {"张伟", "登录", "用户登录系统"},
        {"张伟", "查询", "查询客户资料 %1"},
        {"李娜", "打印", "打印發票 %1 (繁體)"},
        {"ahmed", "error", "Printer PRN2 out of paper"},
        {"ahmed", "backup", "Nightly backup finished, %1 files"},
    };
    MsgLogger logger;
    logger.setDSN(o.c.dsn);
    logger.setLoginID(o.c.login);
    logger.setPassword(o.c.password);
    logger.setAppID(o.app);
    // Spread the stamps evenly over the days, oldest first, ending now.
    const QDateTime end = QDateTime::currentDateTime();
    const QDateTime start = QDateTime(end.date().addDays(1 - o.days), QTime(7, 0));
    const qint64 span = std::max<qint64>(1, start.secsTo(end));
    for (int i = 0; i < o.count; ++i) {
        const QDateTime at = start.addSecs(span * i / o.count);
        const Event& e = events[(i * 7 + i / 3) % std::size(events)];
        logger.setWorkstationID(
            QStringLiteral("WS%1").arg(1 + (i * 5 + i / 4) % 5, 2, 10, QLatin1Char('0')).toStdString());
        QString text = QString::fromUtf8(e.text);
        if (text.contains(QLatin1String("%1")))
            text = text.arg(1000 + i);
        if (command::WriteLogAt(logger, at, e.user, e.type, text.toStdString()) != 0) {
            const QString why = command::LastOpenFailure();
            std::cerr << "tallyquill: nothing was written" << (why.isEmpty() ? "" : ": ") << why.toStdString()
                      << "\n";
            return kNothingDone;
        }
    }
    std::cout << "Wrote " << o.count << " records to " << logger.AppID() << "_logs from "
              << start.date().toString(Qt::ISODate).toStdString() << " to "
              << end.date().toString(Qt::ISODate).toStdString() << "\n";
    return EX_OK;
}

} // namespace

Verb setupView(CLI::App& app)
{
    auto v = std::make_shared<ViewOptions>();
    CLI::App* view = app.add_subcommand("view", "Open the log viewer and return when it is closed (needs a "
                                                "display).");
    addConnection(view, v->c);
    addApp(view, v->app, false);
    view->add_option("--caption", v->caption, "the screen's title")->type_name("TEXT");
    view->add_option("--hide", v->hide, "hide these fields and columns: app,ws,user,event")->type_name("LIST");
    view->add_option("--user-title", v->userTitle, "title of the user field and column");
    view->add_option("--event-title", v->eventTitle, "title of the event type field and column");
    view->add_option("--activity-title", v->activityTitle, "title of the activity field and column");
    view->add_option("--from", v->from, "first day of the screen's starting range (default today)")
        ->type_name("DATE");
    view->add_option("--to", v->to, "last day of the screen's starting range")->type_name("DATE");
    view->add_option("--date-order", v->dateOrder, "read a/b/yyyy as dmy or mdy")->check(CLI::IsMember({"dmy", "mdy"}));
    return {view, [v] { return runView(*v); }};
}

Verb setupDemo(CLI::App& app)
{
    auto d = std::make_shared<DemoOptions>();
    CLI::App* demo = app.add_subcommand("demo", "Write varied demonstration records through the logger, as a "
                                                "host would.");
    addConnection(demo, d->c, "Tallyquill");
    demo->add_option("--app", d->app, "application ID (default DEMO)")->type_name("APPID")->envname("TALLYQUILL_APP");
    demo->add_option("--count", d->count, "records written (default 300)")->check(kCount);
    demo->add_option("--days", d->days, "days they are spread over, up to today (default 7)")
        ->check(kCount);
    return {demo, [d] { return runDemo(*d); }};
}

} // namespace tallyquill::cli
