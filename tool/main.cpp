// tallyquill: the command-line face of the library. It never opens a window
// for its headless verbs; messages go to stderr, results to stdout.

#include "tool/ExitCode.h"
#include "tool/Help.h"
#include "tool/Options.h"
#include "tool/Output.h"
#include "tool/Verbs.h"

#include "tallyquill/error.h"

#include <CLI/CLI.hpp>

#include <malloc.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

using namespace tallyquill;
using namespace tallyquill::cli;

// Builds the command line and runs the verb it names; with `completion`, only
// prints the completion script made from it.
int dispatch(int argc, char** argv, bool completion)
{
    CLI::App app{"tallyquill: write, list, archive and restore the activity log of Tallyquill applications",
                 "tallyquill"};
    app.set_version_flag("--version", std::string("tallyquill ") + TQ_VERSION);
    app.require_subcommand(1);
    setupHelp(app);

    // In this order in the help.
    const std::vector<Verb> verbs = {setupWrite(app),     setupList(app),  setupApps(app),  setupArchive(app),
                                     setupRetention(app), setupImport(app), setupCheck(app), setupSetup(app),
                                     setupView(app),      setupSpool(app), setupDemo(app),
                                     setupIndex(app), setupSeal(app), setupVerify(app)};
    for (CLI::App* verb : app.get_subcommands({}))
        verb->group("Verbs");
    addExamples(app);
    if (completion) {
        std::cout << completionScript(app);
        return EX_OK;
    }
    if (argc == 1) {
        std::cout << shortHelp(app);
        return EX_USAGE;
    }
    if (const std::string hint = unknownVerbHint(app, argc, argv); !hint.empty()) {
        std::cerr << "tallyquill: " << hint << "\n(see tallyquill --help)\n";
        return EX_USAGE;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForAllHelp&) {
        std::cout << app.help("", CLI::AppFormatMode::All);
        return EX_OK;
    } catch (const CLI::CallForHelp&) {
        std::cout << (app.get_subcommands().empty() ? shortHelp(app) : app.help());
        return EX_OK;
    } catch (const CLI::CallForVersion& e) {
        std::cout << e.what() << "\n";
        return EX_OK;
    } catch (const CLI::ParseError& e) {
        const std::string hint =
            app.get_subcommands().empty() ? std::string() : unknownOptionHint(*app.get_subcommands().front(), argc, argv);
        std::cerr << "tallyquill: " << e.what() << (hint.empty() ? "" : "; " + hint) << "\n(see tallyquill "
                  << (app.get_subcommands().empty() ? std::string() : app.get_subcommands().front()->get_name() + " ")
                  << "--help)\n";
        return EX_USAGE;
    }

    for (const Verb& verb : verbs)
        if (*verb.app)
            return verb.run();
    return EX_USAGE;
}

} // namespace

int main(int argc, char** argv)
{
    // "tallyquill help" as well as --help; the completion script is made at
    // build time.
    if (argc == 2 && std::strcmp(argv[1], "help") == 0)
        argv[1] = const_cast<char*>("--help");
    const bool completion = argc == 2 && std::strcmp(argv[1], "--bash-completion") == 0;
    // The user's character set, for file names and terminals; numbers keep
    // the C form in which options are given and reports are read.
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_NUMERIC, "C");
    // The drivers take and free result blocks fetch after fetch: heap given
    // back to the system would be faulted in again each time (a fifth of the
    // archive's processor time on PostgreSQL). GLIBC_TUNABLES, when set,
    // decides.
    if (!std::getenv("GLIBC_TUNABLES")) {
        mallopt(M_MMAP_THRESHOLD, 32 << 20);
        mallopt(M_TRIM_THRESHOLD, 256 << 20);
    }
    try {
        const int status = dispatch(argc, argv, completion);
        // Every verb's report goes through stdio; a full disk or a closed pipe
        // only shows when the buffer is written out, so check it once here
        // rather than letting the verb's status claim success.
        std::cout.flush();
        errno = 0;
        if (!std::cout || std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::cerr << "tallyquill: Cannot write to standard output: "
                      << (errno ? std::strerror(errno) : "write error") << "\n";
            return status == 0 ? ExitCodeFor(ErrorCategory::InputOutput) : status;
        }
        return status;
    } catch (const Usage& e) {
        std::cerr << "tallyquill: " << e.what() << "\n(see tallyquill --help)\n";
        return ExitCodeFor(ErrorCategory::Usage);
    } catch (const BadValue& e) {
        showBadValue(e);
        return ExitCodeFor(ErrorCategory::Usage);
    } catch (const cli::Failure& e) {
        std::cerr << "tallyquill: " << e.what() << "\n";
        return e.code;
    } catch (const DatabaseError& e) {
        std::cerr << "tallyquill: database error " << e.number() << " [" << e.sqlstate() << "]: " << e.description()
                  << "\n";
        return ExitCodeFor(Error::categoryOf(e));
    } catch (const InvalidTextError& e) {
        std::cerr << "tallyquill: " << e.what() << "; nothing was written\n";
        return ExitCodeFor(Error::categoryOf(e));
    } catch (const std::exception& e) {
        std::cerr << "tallyquill: " << e.what() << "\n";
        return ExitCodeFor(Error::categoryOf(e));
    }
}
