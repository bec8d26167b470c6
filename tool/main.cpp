// tallyquill: the command-line face of the library. It never opens a window
// for its headless verbs; every message goes to stderr.

#include "tallyquill/embedded.h"
#include "tallyquill/msg_logger.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kOk = 0;
constexpr int kNothingDone = 1;
constexpr int kDatabaseError = 2;
constexpr int kUsage = 64;

const char* const kUsageText = R"(usage: tallyquill <verb> [options]

Verbs:
  write   Write one row into <APPID>_logs.
  setup   Register the embedded SQLite data source for this user.

tallyquill write --dsn DSN [--login ID] [--password PW] --app APPID --ws WSID
                 [--user NAME] [--event TYPE] TEXT
  --dsn DSN        ODBC data source name (required)
  --login ID       login sent as UID (default empty)
  --password PW    password sent as PWD; prefer the TALLYQUILL_PASSWORD
                   environment variable, which other users cannot read
  --app APPID      application ID: letters, digits and _ (stored in capitals)
  --ws WSID        workstation ID (stored in capitals)
  --user NAME      user name (stored in capitals, default empty)
  --event TYPE     event type (stored in capitals, default empty)
  TEXT             the activity text, stored as given
  Exit status: 0 the row was written, 1 nothing was written, 2 the database
  refused (its SQLSTATE, number and description on stderr), 64 bad usage.

tallyquill setup [--dsn NAME] [--database FILE]
  Registers the per-user ODBC data source NAME (default Tallyquill) on a
  SQLite file (default $XDG_DATA_HOME/tallyquill/NAME.sqlite) with StepAPI=1,
  JournalMode=WAL, SyncPragma=NORMAL and a busy timeout, and prints the file's
  path. Running it again is harmless.

tallyquill --help   This text.
)";

struct UsageError {
    std::string message;
};

// Options of the form --name VALUE; everything else is a positional argument.
struct Args {
    std::map<std::string, std::string> options;
    std::vector<std::string> positional;

    std::optional<std::string> get(const std::string& name) const
    {
        auto it = options.find(name);
        if (it == options.end())
            return std::nullopt;
        return it->second;
    }
    std::string require(const std::string& name) const
    {
        auto v = get(name);
        if (!v || v->empty())
            throw UsageError{"missing --" + name};
        return *v;
    }
};

Args parse(int argc, char** argv, int first, const std::set<std::string>& known)
{
    Args args;
    bool onlyPositional = false;
    for (int i = first; i < argc; ++i) {
        std::string a = argv[i];
        if (!onlyPositional && a == "--") {
            onlyPositional = true;
        } else if (!onlyPositional && a.rfind("--", 0) == 0) {
            std::string name = a.substr(2);
            std::string value;
            if (auto eq = name.find('='); eq != std::string::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
            } else {
                if (i + 1 >= argc)
                    throw UsageError{"--" + name + " needs a value"};
                value = argv[++i];
            }
            if (!known.count(name))
                throw UsageError{"unknown option --" + name};
            args.options[name] = value;
        } else {
            args.positional.push_back(a);
        }
    }
    return args;
}

int runWrite(int argc, char** argv)
{
    Args a = parse(argc, argv, 2, {"dsn", "login", "password", "app", "ws", "user", "event"});
    if (a.positional.size() != 1)
        throw UsageError{"write takes exactly one TEXT argument"};
    tallyquill::MsgLogger logger;
    logger.setDSN(a.require("dsn"));
    logger.setLoginID(a.get("login").value_or(""));
    std::string password = a.get("password").value_or("");
    if (!a.get("password"))
        if (const char* env = std::getenv("TALLYQUILL_PASSWORD"))
            password = env;
    logger.setPassword(password);
    logger.setAppID(a.require("app"));
    logger.setWorkstationID(a.require("ws"));
    const int16_t rc = logger.WriteLog(a.get("user").value_or(""), a.get("event").value_or(""), a.positional[0]);
    if (rc != 0) {
        std::cerr << "tallyquill: nothing was written\n";
        return kNothingDone;
    }
    return kOk;
}

int runSetup(int argc, char** argv)
{
    Args a = parse(argc, argv, 2, {"dsn", "database"});
    if (!a.positional.empty())
        throw UsageError{"setup takes no arguments"};
    const std::string path = tallyquill::SetupEmbeddedDefault(a.get("dsn").value_or("Tallyquill"),
                                                              a.get("database").value_or(""));
    std::cout << path << "\n";
    return kOk;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << kUsageText;
        return kUsage;
    }
    const std::string verb = argv[1];
    if (verb == "--help" || verb == "-h" || verb == "help") {
        std::cout << kUsageText;
        return kOk;
    }
    for (int i = 2; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0) {
            std::cout << kUsageText;
            return kOk;
        }
    try {
        if (verb == "write")
            return runWrite(argc, argv);
        if (verb == "setup")
            return runSetup(argc, argv);
        throw UsageError{"unknown verb " + verb};
    } catch (const UsageError& e) {
        std::cerr << "tallyquill: " << e.message << "\n(see tallyquill --help)\n";
        return kUsage;
    } catch (const tallyquill::DatabaseError& e) {
        std::cerr << "tallyquill: database error " << e.number() << " [" << e.sqlstate() << "]: " << e.description()
                  << "\n";
        return kDatabaseError;
    } catch (const tallyquill::InvalidAppIdError& e) {
        std::cerr << "tallyquill: " << e.what() << "\n";
        return kNothingDone;
    } catch (const std::exception& e) {
        std::cerr << "tallyquill: " << e.what() << "\n";
        return kNothingDone;
    }
}
