#pragma once

// The command's help: the footer, each verb under a heading of its own in the
// full help, and the bash completion script made from the verbs and options.

#include <CLI/CLI.hpp>

#include <string>

namespace tallyquill::cli {

// Sets the footer and the formatter of the full help (--help-all), and each
// verb's examples.
void setupHelp(CLI::App& app);
// The top-level help that fits one screen: the verbs, a few examples, where
// the rest is.
std::string shortHelp(const CLI::App& app);
// "did you mean list?" for a first word that is no verb, and for an option
// the verb does not have, as git does; empty when nothing is near enough.
std::string unknownVerbHint(const CLI::App& app, int argc, char** argv);
std::string unknownOptionHint(const CLI::App& verb, int argc, char** argv);
std::string completionScript(const CLI::App& app);
// Each verb's examples, under its options.
void addExamples(CLI::App& app);

} // namespace tallyquill::cli
