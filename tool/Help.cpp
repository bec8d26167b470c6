#include "tool/Help.h"

#include <memory>
#include <set>
#include <sstream>

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

void setupHelp(CLI::App& app)
{
    app.footer(kFooter);
    auto formatter = std::make_shared<VerbFormatter>();
    formatter->column_width(32);
    formatter->label("SUBCOMMAND", "VERB");
    app.formatter(formatter);
}

} // namespace tallyquill::cli
