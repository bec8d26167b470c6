#pragma once

// The command's help: the footer, each verb under a heading of its own in the
// full help, and the bash completion script made from the verbs and options.

#include <CLI/CLI.hpp>

#include <string>

namespace tallyquill::cli {

// Sets the footer and the formatter of the full help.
void setupHelp(CLI::App& app);
std::string completionScript(const CLI::App& app);

} // namespace tallyquill::cli
