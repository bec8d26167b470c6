#pragma once

// The verbs: each adds its subcommand and options to the command line and
// answers what runs it.

#include "tool/Options.h"

namespace tallyquill::cli {

Verb setupWrite(CLI::App& app);
Verb setupList(CLI::App& app);
Verb setupApps(CLI::App& app);
Verb setupArchive(CLI::App& app);
Verb setupRetention(CLI::App& app);
Verb setupImport(CLI::App& app);
Verb setupCheck(CLI::App& app);
Verb setupSetup(CLI::App& app);
Verb setupView(CLI::App& app);
Verb setupSpool(CLI::App& app);
Verb setupDemo(CLI::App& app);
Verb setupIndex(CLI::App& app);
// Seals over closed days.
Verb setupSeal(CLI::App& app);
Verb setupVerify(CLI::App& app);
// verify --archive: files against their manifests, offline.
struct VerifyArchiveOptions {
    std::string archive, key, format = "text";
};
int runVerifyArchive(const VerifyArchiveOptions& o);

} // namespace tallyquill::cli
