#include "tool/Help.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <vector>

namespace tallyquill::cli {

namespace {

const char* const kFooter = R"(Environment:
  TALLYQUILL_DSN       default for --dsn in every verb
  TALLYQUILL_APP       default for --app in every verb
  TALLYQUILL_PASSWORD  default for --password (other users cannot read it)

Dates (--from/--since, --to/--until): YYYY-MM-DD, optionally with a time
(YYYY-MM-DDTHH:MM:SS); dd/mm/yyyy where it cannot be misread (day above 12)
or with --date-order dmy|mdy; today, yesterday, tomorrow, now; -7d, -1w,
-12h, -30m, -90s, "2 hours ago"; 15:00 (today at that time). A day given as
--to includes all of it. Times of day: HH:MM:SS or H:MM[:SS].

Exit status:
   0  done (list: also when nothing matched)
   1  nothing was done (write: nothing was written; check: the table or its
      index is missing; view: no display)
   2  the database refused; its SQLSTATE and reason are on stderr
  64  bad usage: unknown option, bad value, invalid filter
  65  bad input data: import found lines it cannot restore exactly
  66  an input file cannot be opened
  69  the data source cannot be reached
  73  an output file cannot be created
  74  input/output error while writing
)";

// Each verb in the full help under a heading of its own, which help2man turns
// into a section of the manual page.
class VerbFormatter : public CLI::Formatter {
public:
    std::string make_expanded(const CLI::App* verb) const override
    {
        std::stringstream out;
        std::string path = verb->get_name();
        for (const CLI::App* p = verb->get_parent(); p && p->get_parent(); p = p->get_parent())
            path = p->get_name() + " " + path;
        out << "\n" << path << ":\n  " << verb->get_description() << "\n\n  "
            << make_usage(verb, "tallyquill " + path) << "\n";
        for (const CLI::Option* o : verb->get_options([](const CLI::Option* o) { return o->get_positional(); }))
            out << make_option(o, true);
        for (const CLI::Option* o : verb->get_options([verb](const CLI::Option* o) {
                 return o->nonpositional() && o != verb->get_help_ptr();
             }))
            out << make_option(o, false);
        for (const CLI::App* sub : verb->get_subcommands({}))
            out << make_expanded(sub);
        return out.str();
    }
};

} // namespace

std::string completionScript(const CLI::App& app)
{
    std::string verbs, cases;
    for (const CLI::App* verb : app.get_subcommands({})) {
        verbs += verb->get_name() + " ";
        std::string options = "--help";
        std::vector<const CLI::App*> parts{verb};
        for (const CLI::App* sub : verb->get_subcommands({})) {
            options += " " + sub->get_name();
            parts.push_back(sub);
        }
        std::set<std::string> seen{"help"};
        for (const CLI::App* part : parts)
            for (const CLI::Option* o : part->get_options())
                for (const std::string& name : o->get_lnames())
                    if (seen.insert(name).second)
                        options += " --" + name;
        cases += "    " + verb->get_name() + ") opts=\"" + options + "\" ;;\n";
    }
    return "# bash completion for tallyquill, made by tallyquill --bash-completion\n"
           "_tallyquill() {\n"
           "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} opts\n"
           "  if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
           "    COMPREPLY=($(compgen -W \"" + verbs + "--help --version\" -- \"$cur\")); return\n"
           "  fi\n"
           "  case $prev in\n"
           "    --output|--file|--database) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
           "    --daily) COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n"
           "    --format) COMPREPLY=($(compgen -W \"text csv json\" -- \"$cur\")); return ;;\n"
           "    --date-order) COMPREPLY=($(compgen -W \"dmy mdy\" -- \"$cur\")); return ;;\n"
           "    --dsn) COMPREPLY=($(compgen -W \"$(odbcinst -q -s 2>/dev/null | tr -d '[]')\" -- \"$cur\")); "
           "return ;;\n"
           "  esac\n"
           "  case ${COMP_WORDS[1]} in\n" + cases +
           "    *) opts= ;;\n"
           "  esac\n"
           "  if [[ $cur == -* || ${COMP_WORDS[1]} == spool ]]; then COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"));\n"
           "  elif [ \"${COMP_WORDS[1]}\" = import ]; then COMPREPLY=($(compgen -f -- \"$cur\")); fi\n"
           "}\n"
           "complete -F _tallyquill tallyquill\n";
}

// Builds the command line and runs the verb it names; with `completion`, only

namespace {

// A few lines a reader can copy, under each verb's help.
const std::map<std::string, const char*> kExamples = {
    {"write", "tallyquill write --dsn Tallyquill --app ORDERS --ws WS01 --user john --event login \"Signed on\""},
    {"list", "tallyquill list --since -7d --user john --event login\n"
             "  tallyquill list -n 50 -g 'refund|cancel' -o json\n"
             "  tallyquill list --since \"2 hours ago\" --follow"},
    {"apps", "tallyquill apps --dsn Tallyquill"},
    {"archive", "tallyquill archive --until -90d --daily /srv/archive --prefix orders_ --delete --dry-run\n"
                "  tallyquill archive --until 2026-03-31 --file q1.log"},
    {"retention", "tallyquill retention --keep 90d --daily /srv/archive --prefix orders_"},
    {"import", "tallyquill import /srv/archive/orders_20260301.log"},
    {"check", "tallyquill check --dsn Tallyquill --app ORDERS"},
    {"setup", "tallyquill setup\n  tallyquill setup --dsn Shared --postgres db.example:5432 --database logs --user tallyquill"},
    {"view", "tallyquill view --from -7d"},
    {"spool", "tallyquill spool status\n  tallyquill spool flush"},
    {"demo", "tallyquill demo --count 300 --days 7"},
    {"seal", "tallyquill seal --init\n  tallyquill seal --dsn Tallyquill\n"
             "  tallyquill seal --app ORDERS --reseal 2026-03-02 --reason \"WS7's spool, a week late\""},
    {"verify", "tallyquill verify --dsn Tallyquill --key SEED\n  tallyquill verify --app ORDERS --format json"},
};

// The edit distance of two words, capped: only near words matter.
size_t distance(const std::string& a, const std::string& b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string nearest(const std::string& word, const std::vector<std::string>& candidates)
{
    std::string best;
    size_t bestDistance = std::max<size_t>(2, word.size() / 3) + 1;
    for (const std::string& c : candidates) {
        const size_t d = c.rfind(word, 0) == 0 && word.size() >= 2 ? 1 : distance(word, c);
        if (d < bestDistance) {
            best = c;
            bestDistance = d;
        }
    }
    return best;
}

std::string firstSentence(const std::string& text)
{
    const size_t end = text.find(". ");
    return end == std::string::npos ? text : text.substr(0, end + 1);
}

} // namespace

std::string shortHelp(const CLI::App& app)
{
    std::stringstream out;
    out << app.get_description() << "\n\nUsage: tallyquill VERB [OPTIONS]\n\nVerbs:\n";
    for (const CLI::App* verb : app.get_subcommands({}))
        out << "  " << verb->get_name() << std::string(std::max<size_t>(1, 11 - verb->get_name().size()), ' ')
            << firstSentence(verb->get_description()) << "\n";
    out << "\nExamples:\n"
           "  tallyquill setup && tallyquill write --app ORDERS --ws WS01 --user john \"Signed on\"\n"
           "  tallyquill list --app ORDERS --since -1w -g refund\n"
           "  tallyquill archive --app ORDERS --until -90d --daily /srv/archive --prefix orders_ --delete\n"
           "\n--dsn defaults to $TALLYQUILL_DSN, --app to $TALLYQUILL_APP.\n"
           "tallyquill VERB --help: a verb's options and examples; tallyquill --help-all: every verb, the dates\n"
           "and exit statuses; man tallyquill: the same, with the files it uses.\n";
    return out.str();
}

std::string unknownVerbHint(const CLI::App& app, int argc, char** argv)
{
    if (argc < 2 || argv[1][0] == '-')
        return {};
    std::vector<std::string> verbs;
    for (const CLI::App* verb : app.get_subcommands({}))
        verbs.push_back(verb->get_name());
    const std::string word = argv[1];
    if (std::find(verbs.begin(), verbs.end(), word) != verbs.end())
        return {};
    const std::string near = nearest(word, verbs);
    return "'" + word + "' is not a verb" + (near.empty() ? std::string() : "; did you mean " + near + "?");
}

std::string unknownOptionHint(const CLI::App& verb, int argc, char** argv)
{
    std::vector<std::string> names;
    for (const CLI::Option* o : verb.get_options())
        for (const std::string& name : o->get_lnames())
            names.push_back("--" + name);
    for (int i = 2; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--")
            break;
        if (word.rfind("--", 0) != 0)
            continue;
        word = word.substr(0, word.find('='));
        if (std::find(names.begin(), names.end(), word) != names.end())
            continue;
        if (const std::string near = nearest(word, names); !near.empty())
            return word + " is not an option of " + verb.get_name() + "; did you mean " + near + "?";
    }
    return {};
}

void setupHelp(CLI::App& app)
{
    app.footer(kFooter);
    app.set_help_all_flag("--help-all", "Print every verb's options, the dates and exit statuses, and exit");
    auto formatter = std::make_shared<VerbFormatter>();
    formatter->column_width(32);
    formatter->label("SUBCOMMAND", "VERB");
    app.formatter(formatter);
}

void addExamples(CLI::App& app)
{
    for (CLI::App* verb : app.get_subcommands({}))
        if (const auto e = kExamples.find(verb->get_name()); e != kExamples.end()) {
            std::string footer = verb->get_footer();
            while (!footer.empty() && footer.back() == '\n')
                footer.pop_back();
            verb->footer(footer + "\n\nExamples:\n  " + e->second + "\n");
        }
}

} // namespace tallyquill::cli
