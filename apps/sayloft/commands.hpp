#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace sayloft::cli {

// Each command family registers its subcommands on the root app. A subcommand's callback sets
// the process exit code through exitCode().
int& exitCode();

void addCaptureCommands(CLI::App& app);  // run, poll, import, status
void addBrowserCommands(CLI::App& app);  // menu, search, trash
void addNoteCommands(CLI::App& app);
void addSettingsCommands(CLI::App& app);  // settings, folders     // note show

// Extra lines for `sayloft status` from other command families.
std::vector<std::string> statusLines();
void addServiceCommands(CLI::App& app);  // pair, unpair
std::string pairingStatusLine();  // "Wendrel: connected (...)" or "not connected", for status

}  // namespace sayloft::cli
