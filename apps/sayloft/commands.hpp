#pragma once

#include <CLI/CLI.hpp>

namespace sayloft::cli {

// Each command family registers its subcommands on the root app. A subcommand's callback sets
// the process exit code through exitCode().
int& exitCode();

void addCaptureCommands(CLI::App& app);  // run, poll, import, status
void addNoteCommands(CLI::App& app);     // note show

}  // namespace sayloft::cli
