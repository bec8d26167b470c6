#include "tool/Options.h"


#include <cerrno>
#include <cstdlib>
#include <iostream>

namespace tallyquill::cli {

void addConnection(CLI::App* verb, Conn& c, const char* defaultDsn)
{
    const std::string what = defaultDsn ? "ODBC data source name (default " + std::string(defaultDsn) + ")"
                                        : std::string("ODBC data source name");
    auto* dsn = verb->add_option("--dsn", c.dsn, what)->type_name("DSN")->envname("TALLYQUILL_DSN");
    if (defaultDsn)
        c.dsn = defaultDsn;
    else
        dsn->required();
    verb->add_option("--login", c.login, "login sent as UID (default empty: the data source's own)")->type_name("ID");
    verb->add_option("--password", c.password, "password sent as PWD")->type_name("PW")->envname("TALLYQUILL_PASSWORD");
}

void addDates(CLI::App* verb, std::string& from, std::string& to, std::string& order)
{
    verb->add_option("--from,--since", from, "first day or instant, included (default: 24 hours ago)")->type_name("DATE");
    verb->add_option("--to,--until", to, "last day or instant, included")->type_name("DATE");
    verb->add_option("--date-order", order, "read a/b/yyyy as day/month (dmy) or month/day (mdy)")
        ->check(CLI::IsMember({"dmy", "mdy"}));
}

CLI::Option* addApp(CLI::App* verb, std::string& app, bool required)
{
    auto* o = verb->add_option("--app", app, "application ID: letters, digits and _ (names the table APPID_logs)")
                  ->type_name("APPID")
                  ->envname("TALLYQUILL_APP");
    return required ? o->required() : o;
}

const CLI::Validator kCount(
    [](std::string& value) -> std::string {
        char* end = nullptr;
        errno = 0;
        const long n = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || errno != 0 || n < 1 || n > 100000000)
            return "takes a whole number from 1 to 100000000, not \"" + value + "\"";
        return {};
    },
    "N");

CommandService serviceOf(const Conn& c) { return CommandService(q(c.dsn), q(c.login), q(c.password)); }

void showBadValue(const BadValue& e)
{
    if (e.messageId == 0) {
        std::cerr << "tallyquill: " << e.english << "\n";
        return;
    }
    command::ShowError(int16_t(e.messageId), q(e.english),
                       e.value.empty() ? QString() : QStringLiteral(": ") + q(e.value));
}

DateOrder dateOrderOf(const std::string& s)
{
    return s == "dmy" ? DateOrder::Dmy : s == "mdy" ? DateOrder::Mdy : DateOrder::Unset;
}

LineLayout layoutOf(const std::string& hide)
{
    LineLayout l;
    for (const QString& item : q(hide).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString k = item.trimmed().toLower();
        if (k == QLatin1String("app"))
            l.hideAppID = true;
        else if (k == QLatin1String("ws"))
            l.hideWsID = true;
        else if (k == QLatin1String("user"))
            l.hideUser = true;
        else if (k == QLatin1String("event"))
            l.hideEvent = true;
        else
            throw Usage("--hide takes app, ws, user and event, not " + item.toStdString());
    }
    return l;
}

std::string printable(const QString& text) { return command::Visible(text).toStdString(); }

} // namespace tallyquill::cli
