#pragma once

// What the verbs share: the connection and application options, the readings
// of --hide and --date-order, and the errors that end the command.

#include "tool/Dates.h"
#include "tool/Formats.h"
#include "service/Command.h"

#include <CLI/CLI.hpp>

#include <QString>

#include <functional>
#include <stdexcept>
#include <string>

namespace tallyquill::cli {

// A command line that cannot run as given; main adds where to find help.
struct Usage : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline QString q(const std::string& s) { return QString::fromStdString(s); }

// A verb on the command line and what runs it once the line is parsed.
struct Verb {
    CLI::App* app = nullptr;
    std::function<int()> run;
};

// Options every verb that reads the log shares.
struct Conn {
    std::string dsn, login, password;
};

// --dsn, --login and --password; with `defaultDsn`, --dsn may be left out.
void addConnection(CLI::App* verb, Conn& c, const char* defaultDsn = nullptr);
CLI::Option* addApp(CLI::App* verb, std::string& app, bool required = true);
// --from/--since, --to/--until and --date-order.
void addDates(CLI::App* verb, std::string& from, std::string& to, std::string& order);

// A whole number of at least 1, said in words a shell user reads.
extern const CLI::Validator kCount;

CommandService serviceOf(const Conn& c);

// The viewer's own message for a value it refuses, on stderr.
void showBadValue(const BadValue& e);

DateOrder dateOrderOf(const std::string& s);
// The columns --hide leaves out. Throws Usage.
LineLayout layoutOf(const std::string& hide);

// A field of an output line, with the line layout's stand-ins for the
// characters that would split or forge lines.
std::string printable(const QString& text);

} // namespace tallyquill::cli
